#include "gateway/cache_keys.hpp"

#include <gtest/gtest.h>

namespace veltrax::candle_store {
namespace {

TEST(CacheKeys, ThreeForms) {
    EXPECT_EQ(count_key("SPY", "day", "none", 250), "SPY:day:none:count_250");
    EXPECT_EQ(count_key("spy", "d", "adj", -3), "spy:d:adj:count_-3");
    EXPECT_EQ(range_key("SPY", "1m", "adj", "2025-01-01", "2025-06-01"),
              "SPY:1m:adj:2025-01-01_2025-06-01");
    EXPECT_EQ(intraday_key("SPY"), "SPY:intraday:full");
    EXPECT_EQ(count_key_prefix("SPY", "day", "none"), "SPY:day:none:count_");
}

TEST(Staleness, ClassIsTheSecondField) {
    EXPECT_EQ(staleness_class("SPY:1m:none:count_5"), "1m");
    EXPECT_EQ(staleness_class("SPY:intraday:full"), "intraday");
    EXPECT_EQ(staleness_class("SPY"), "day");
    EXPECT_EQ(staleness_class("SPY:"), "");
    EXPECT_EQ(staleness_class("SPY:week"), "week");
}

TEST(Staleness, LimitsPerClass) {
    EXPECT_EQ(max_age_of("1m"), 60);
    EXPECT_EQ(max_age_of("week"), 259200);
    EXPECT_EQ(max_age_of("year"), 604800);
    EXPECT_EQ(max_age_of("intraday"), 120);
    EXPECT_EQ(max_age_of("minute"), 86400);
    EXPECT_EQ(max_age_of(""), 86400);
}

TEST(Staleness, StrictlyOlderThanTheLimit) {
    EXPECT_FALSE(is_stale(1000.0, 1060.0, "SPY:1m:none:count_5"));
    EXPECT_TRUE(is_stale(1000.0, 1061.0, "SPY:1m:none:count_5"));
    EXPECT_FALSE(is_stale(1000.0, 1061.0, "SPY:day:none:count_5"));
    EXPECT_FALSE(is_stale(1000.0, 1061.0, "SPY:minute:none:count_5"));
    EXPECT_TRUE(is_stale(0.0, 1e9, "SPY:day:none:count_5"));
    EXPECT_FALSE(is_stale(2000.0, 1000.0, "SPY:1m:none:count_5"));
    EXPECT_TRUE(is_stale(0.0, 86401.0, "SPY"));
}

TEST(CachedCount, OnlyTheIntegerAsCountKeyWritesIt) {
    constexpr const char *prefix = "SPY:day:adj:count_";
    EXPECT_EQ(cached_count("SPY:day:adj:count_500", prefix), 500);
    EXPECT_EQ(cached_count("SPY:day:adj:count_-2", prefix), -2);
    EXPECT_EQ(cached_count("SPY:day:adj:count_0", prefix), 0);
    for (const char *other : {"SPY:day:adj:count_abc", "SPY:day:adj:count_", "SPY:day:adj:count_x:count_250",
                              "SPY:day:adj:count_ 250", "SPY:day:adj:count_+250", "SPY:day:adj:count_0250",
                              "SPY:day:adj:count_2_50", "SPY:day:none:count_250"})
        EXPECT_FALSE(cached_count(other, prefix).has_value()) << other;
}

}  // namespace
}  // namespace veltrax::candle_store
