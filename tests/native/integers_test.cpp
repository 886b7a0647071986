#include "common/integers.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace veltrax {
namespace {

TEST(ParseInteger, ReadsWhatPythonIntReads) {
    EXPECT_EQ(parse_integer("200"), 200);
    EXPECT_EQ(parse_integer(" 42\t"), 42);
    EXPECT_EQ(parse_integer("+7"), 7);
    EXPECT_EQ(parse_integer("-3"), -3);
    EXPECT_EQ(parse_integer("1_000"), 1000);
    EXPECT_EQ(parse_integer("007"), 7);
    EXPECT_EQ(parse_integer("0"), 0);
    EXPECT_EQ(parse_integer("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(parse_integer("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
}

TEST(ParseInteger, RefusesEverythingElse) {
    for (const char *text : {"", " ", "adj", "1.5", "1e3", "_1", "1_", "1__0", "- 1", "+-1", "0x10",
                             "12a", "9223372036854775808", "-9223372036854775809", "1 2"})
        EXPECT_FALSE(parse_integer(text).has_value()) << '"' << text << '"';
}

}  // namespace
}  // namespace veltrax
