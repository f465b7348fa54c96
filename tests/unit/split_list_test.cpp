// Splitting a manifest list into file names.
#include <gtest/gtest.h>

#include "update/transfer.h"

namespace {

using Names = std::vector<std::string>;

TEST(SplitList, EmptyAndDelimiterOnlyTextsGiveNoNames) {
    EXPECT_EQ(Names{}, SplitList(",", ""));
    EXPECT_EQ(Names{}, SplitList("", ""));
    EXPECT_EQ(Names{}, SplitList(",", ",,,"));
}

TEST(SplitList, RunsOfDelimitersSeparateLikeOne) {
    EXPECT_EQ((Names{"a", "b"}), SplitList(",", "a,,b,"));
    EXPECT_EQ((Names{"a", "b"}), SplitList(",", ",a,b"));
    EXPECT_EQ((Names{"a.bmp"}), SplitList(",", "a.bmp"));
}

TEST(SplitList, NothingIsTrimmed) {
    EXPECT_EQ((Names{"a ", " b", " "}), SplitList(",", "a , b, "));
}

TEST(SplitList, EveryDelimiterByteCounts) {
    EXPECT_EQ((Names{"a", "b", "c", "d"}), SplitList(",;", "a;b,c;;,d"));
    EXPECT_EQ((Names{"a,b"}), SplitList("", "a,b"));
    // Bytes are compared as they are: a GBK trail byte is no comma.
    EXPECT_EQ((Names{"\xD6\xD0", "x"}), SplitList(",", "\xD6\xD0,x"));
}

TEST(SplitList, TextEndsAtItsFirstZeroByte) {
    EXPECT_EQ((Names{"a"}), SplitList(",", std::string("a,\0b", 4)));
}

}  // namespace
