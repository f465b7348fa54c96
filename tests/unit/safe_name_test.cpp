// Names from the manifest must stay inside the directory they are copied into,
// under the rules of either platform, whichever platform runs the test.
#include <gtest/gtest.h>

#include "update/safe_name.h"

namespace {

bool Safe(const char* name, PathStyle style) { return UnsafeNameReason(name, style) == nullptr; }

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

TEST(SafeName, WindowsChangesTrailingDotsAndBlanks) {
    EXPECT_TRUE(WindowsWouldChangeName("a.bmp ", 6));
    EXPECT_TRUE(WindowsWouldChangeName("a.bmp.", 6));
    EXPECT_FALSE(WindowsWouldChangeName("a.bmp", 5));
    EXPECT_FALSE(WindowsWouldChangeName(" a.bmp", 6));
}

}  // namespace
