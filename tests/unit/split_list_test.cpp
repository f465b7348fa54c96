// Splitting a manifest list into file names.
#include <gtest/gtest.h>

#include "update/split_list.h"

namespace {

using Names = std::vector<std::string>;

TEST(SplitList, SplitsOnEveryDelimiterByteAndTrimsNothing) {
    const struct {
        const char* delimiters;
        std::string text;
        Names names;
    } cases[] = {
        // Empty and delimiter-only texts give no names.
        {",", "", {}}, {"", "", {}}, {",", ",,,", {}},
        // Runs of delimiters separate like one.
        {",", "a,,b,", {"a", "b"}}, {",", ",a,b", {"a", "b"}}, {",", "a.bmp", {"a.bmp"}},
        // Nothing is trimmed.
        {",", "a , b, ", {"a ", " b", " "}},
        // Every delimiter byte counts, none without delimiters; a GBK trail byte is no comma.
        {",;", "a;b,c;;,d", {"a", "b", "c", "d"}}, {"", "a,b", {"a,b"}}, {",", "\xD6\xD0,x", {"\xD6\xD0", "x"}},
        // The text ends at its first zero byte.
        {",", std::string("a,\0b", 4), {"a"}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.names, SplitList(c.delimiters, c.text)) << c.text;
}

}  // namespace
