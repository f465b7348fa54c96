// Names from the manifest must stay inside the directory they are copied into,
// under the rules of either platform, whichever platform runs the test.
#include <gtest/gtest.h>

#include "os/os.h"
#include "target/case_fold.h"
#include "update/path_style.h"
#include "update/safe_name.h"

namespace {

bool Safe(const char* name, PathStyle style, const CodePage& codePage = {}) {
    return UnsafeNameReason(name, style, codePage) == nullptr;
}

const PathStyle kStyles[] = {PathStyle::kWindows, PathStyle::kPosix};

TEST(SafeName, RefusedOrAcceptedInBothStyles) {
    struct Case {
        const char* name;
        bool safe;
    };
    const Case cases[] = {
        {"a.bmp", true}, {"sub/file.bmp", true}, {"sub\\file.bmp", true}, {"..a", true},
        {"a..", true}, {"a..b", true}, {"./x", true}, {".hidden", true},
        {"name with spaces.png", true}, {"\xD6\xD0.bmp", true}, {".relayhive.tmp2", true},
        // Escapes, in either separator style.
        {"..", false}, {"../x", false}, {"..\\x", false}, {"a/../../x", false},
        {"a\\..\\..\\x", false}, {"a/..", false}, {"/etc/x", false}, {"\\x", false},
        {"\\\\server\\share\\x", false}, {"//server/x", false}, {"C:x", false}, {"c:\\x", false},
        {"Z:/x", false},
        // Control bytes would break the one-line reports.
        {"a\nb", false}, {"a\tb", false}, {"a\x7f", false},
        // The scratch file's own name, anywhere in the name.
        {".relayhive.tmp", false}, {"sub/.relayhive.tmp", false}, {".relayhive.tmp\\x", false},
    };
    for (PathStyle style : kStyles) {
        for (const Case& c : cases) {
            EXPECT_EQ(c.safe, Safe(c.name, style)) << c.name << " style " << static_cast<int>(style);
        }
    }
}

TEST(SafeName, WindowsOnlyRules) {
    // Streams, devices with any extension, names Windows shortens to "..", and
    // the scratch name in another case or with the dots and blanks Windows drops.
    for (const char* name : {"name:stream", "ab:c", "CON", "nul.txt", "sub/Com1", "LPT9.log", "AUX ",
                             "conin$", "CONOUT$.x", ".. ", "...", " ..", "sub/. ./x",
                             ".RELAYHIVE.TMP", ".relayhive.tmp.", ".relayhive.tmp .", "x/.Relayhive.Tmp"}) {
        EXPECT_FALSE(Safe(name, PathStyle::kWindows)) << name;
        EXPECT_TRUE(Safe(name, PathStyle::kPosix)) << name;
    }
    // Trailing dots and blanks are dropped, which is harmless unless only dots remain.
    for (const char* name : {"console.txt", "COM10", "LPT", "x.", "sub /x ", "nul-x"}) {
        EXPECT_TRUE(Safe(name, PathStyle::kWindows)) << name;
    }
}

TEST(SafeName, DoubleByteCharactersAreReadWhole) {
    // 0x81 0x5C is one GBK character, not a byte and a separator, to Windows with code page 936.
    CodePage gbk;
    ASSERT_TRUE(LoadCodePage(936, &gbk));
    for (const char* name : {"\x81\x5c" "CON.txt", "a\x81\\..\\x.bmp", "\x81\x5c.."}) {
        EXPECT_TRUE(Safe(name, PathStyle::kWindows, gbk)) << name;
        EXPECT_FALSE(Safe(name, PathStyle::kWindows) && Safe(name, PathStyle::kPosix, gbk)) << name;
    }
    EXPECT_TRUE(Safe("x\x81", PathStyle::kWindows, gbk));  // a lead byte with nothing after it
    // A separator that follows a whole character still separates.
    for (const char* name : {"\x81\x5c\\..\\x.bmp", "\xD6\xD0/../x", "\xbb\x5c\\NUL"}) {
        EXPECT_FALSE(Safe(name, PathStyle::kWindows, gbk)) << name;
    }
}

TEST(SafeName, EachCodePageReadsItsOwnCharacters) {
    struct Case {
        unsigned codePage;
        const char* name;
        bool safe;
    };
    // Superscripts one to three are device digits wherever the code page has them; the trail
    // byte of 932's 0x95 0x5C hides a '\\'; fullwidth and dotless letters are not ASCII ones.
    const Case cases[] = {
        {1252, "COM\xB9.bmp", false}, {1252, "lpt\xB2", false}, {1252, "sub/Lpt\xB3 .x", false},
        {1252, "COM\xB4", true}, {1252, "COM\xB9\xB9", true}, {936, "COM\xB9", true},
        {kUtf8CodePage, "COM\xC2\xB9", false}, {kUtf8CodePage, "COM\xE2\x81\xB4", true},
        {932, "\x95\x5C..", true}, {932, "\x95\x5C\\..\\..\\x", false}, {932, "\xB1\\..", false},
        {932, "\x82\x6D\x82\x74\x82\x6B", true}, {1254, ".relayh\xFDve.tmp", true},
        {1252, ".RELAYHIVE.TMP", false},
    };
    for (const Case& c : cases) {
        CodePage codePage;
        ASSERT_TRUE(LoadCodePage(c.codePage, &codePage));
        EXPECT_EQ(c.safe, Safe(c.name, PathStyle::kWindows, codePage)) << c.name << " in " << c.codePage;
    }
}

// The build's table against the system's own, where there is one (Windows, Wine).
TEST(SafeName, LetterCaseIsTheSystems) {
    char16_t upper = 0;
    if (!os::SystemUpcase(u'a', &upper)) GTEST_SKIP() << "no system upcase here";
    int differ = 0;
    for (char32_t unit = 0; unit < 0x10000; ++unit) {
        ASSERT_TRUE(os::SystemUpcase(static_cast<char16_t>(unit), &upper));
        if (upper == WindowsUpcase(static_cast<char16_t>(unit))) continue;
        if (++differ <= 20) ADD_FAILURE() << std::hex << "U+" << unit << ": system U+" << upper;
    }
    EXPECT_EQ(0, differ);
}

TEST(SafeName, WindowsChangesTrailingDotsAndBlanks) {
    std::string_view changed;
    EXPECT_TRUE(WindowsChangedComponent("d. /a.bmp", {}, &changed));
    EXPECT_EQ("d. ", changed);
    EXPECT_TRUE(WindowsChangedComponent("a.bmp.", {}, &changed));
    EXPECT_FALSE(WindowsChangedComponent("a.bmp", {}, &changed));
    EXPECT_FALSE(WindowsChangedComponent(" a.bmp", {}, &changed));
}

}  // namespace
