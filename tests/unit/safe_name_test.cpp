// Names from the manifest must stay inside the directory they are copied into.
#include <gtest/gtest.h>

#include "update/safe_name.h"

namespace {

bool Safe(const char* name) { return UnsafeNameReason(name) == nullptr; }

TEST(SafeName, OrdinaryNamesAndSubdirectoriesPass) {
    for (const char* name : {"a.bmp", "sub/file.bmp", "sub\\file.bmp", "..a", "a..", "a..b",
                             "./x", ".hidden", "name with spaces.png", "\xD6\xD0.bmp"}) {
        EXPECT_TRUE(Safe(name)) << name;
    }
}

TEST(SafeName, EscapesAreRefusedInEitherSeparatorStyle) {
    for (const char* name : {"..", "../x", "..\\x", "a/../../x", "a\\..\\..\\x", "a/..", "/etc/x",
                             "\\x", "\\\\server\\share\\x", "//server/x", "C:x", "c:\\x", "Z:/x"}) {
        EXPECT_FALSE(Safe(name)) << name;
    }
}

TEST(SafeName, ControlBytesAreRefused) {
    EXPECT_FALSE(Safe("a\nb"));
    EXPECT_FALSE(Safe("a\tb"));
    EXPECT_FALSE(Safe("a\x7f"));
}

TEST(SafeName, PlatformSpecificNames) {
#if defined(_WIN32)
    for (const char* name : {"name:stream", "a:b", "CON", "nul.txt", "sub/Com1", "LPT9.log",
                             "AUX ", ".. ", "...", " ..", "sub/. ./x"}) {
        EXPECT_FALSE(Safe(name)) << name;
    }
    EXPECT_TRUE(Safe("console.txt"));
    EXPECT_TRUE(Safe("COM10"));
    // Trailing dots and spaces are dropped, which is harmless unless only dots remain.
    EXPECT_TRUE(Safe("x."));
    EXPECT_TRUE(Safe("sub /x "));
#else
    // Only the platform's own rules apply: these are ordinary file names here.
    for (const char* name : {"name:stream", "CON", "nul.txt", "x.", "...", ".. "}) {
        EXPECT_TRUE(Safe(name)) << name;
    }
#endif
}

}  // namespace
