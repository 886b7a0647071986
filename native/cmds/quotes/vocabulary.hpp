// The period words of the kline command and their per-period constants.
//
// Words are compared exactly (case-sensitive, untrimmed). Aliases are never
// folded into their canonical word: an alias finds only the tables that list
// it and otherwise takes the caller's default, which the accessors below hold.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace veltrax::kline {

template <typename Value, std::size_t N>
using Table = std::array<std::pair<std::string_view, Value>, N>;

// Period word (canonical or alias) to the broker's bar-size setting.
inline constexpr Table<std::string_view, 17> period_map{{
    {"1m", "1 min"},     {"5m", "5 mins"},    {"15m", "15 mins"}, {"30m", "30 mins"},
    {"1h", "1 hour"},    {"day", "1 day"},    {"week", "1 week"}, {"month", "1 month"},
    {"year", "1 month"}, {"minute", "1 min"}, {"hour", "1 hour"}, {"d", "1 day"},
    {"w", "1 week"},     {"m", "1 month"},    {"y", "1 month"},   {"1d", "1 day"},
    {"1mo", "1 month"},
}};

// Words that ask for split- and dividend-adjusted prices.
inline constexpr std::array<std::string_view, 2> adjust_keywords{"adj", "forward"};

// Broker bar-size setting to the length of one bar in seconds (a month is 30 days).
inline constexpr Table<std::int64_t, 9> bar_seconds{{
    {"1 secs", 1},
    {"1 min", 60},
    {"5 mins", 300},
    {"15 mins", 900},
    {"30 mins", 1800},
    {"1 hour", 3600},
    {"1 day", 86400},
    {"1 week", 604800},
    {"1 month", 2592000},
}};

// Canonical period to the number of bars returned when no count is given.
inline constexpr Table<std::int64_t, 9> period_default_count{{
    {"1m", 120},
    {"5m", 78},
    {"15m", 130},
    {"30m", 130},
    {"1h", 130},
    {"day", 250},
    {"week", 156},
    {"month", 60},
    {"year", 120},
}};

// Canonical period to the widening of the broker's look-back span (non-trading days).
inline constexpr Table<double, 2> duration_factor{{{"day", 1.4}, {"week", 1.02}}};

// Canonical period to the downloader's history range.
inline constexpr Table<std::string_view, 9> yf_period{{
    {"1m", "5d"},
    {"5m", "5d"},
    {"15m", "1mo"},
    {"30m", "1mo"},
    {"1h", "6mo"},
    {"day", "5y"},
    {"week", "max"},
    {"month", "max"},
    {"year", "max"},
}};

// Canonical period to the downloader's bar interval.
inline constexpr Table<std::string_view, 9> yf_interval{{
    {"1m", "1m"},
    {"5m", "5m"},
    {"15m", "15m"},
    {"30m", "30m"},
    {"1h", "60m"},
    {"day", "1d"},
    {"week", "1wk"},
    {"month", "1mo"},
    {"year", "1mo"},
}};

// Period words whose bars are shorter than a day.
inline constexpr std::array<std::string_view, 7> intraday_periods{
    "1m", "5m", "15m", "30m", "1h", "minute", "hour"};

template <typename Value, std::size_t N>
constexpr std::optional<Value> lookup(const Table<Value, N> &table, std::string_view key) {
    for (const auto &[name, value] : table)
        if (name == key) return value;
    return std::nullopt;
}

template <std::size_t N>
constexpr bool contains(const std::array<std::string_view, N> &words, std::string_view word) {
    for (std::string_view member : words)
        if (member == word) return true;
    return false;
}

constexpr bool is_period(std::string_view word) { return lookup(period_map, word).has_value(); }

// Regular trading hours only for bars of a day or longer; intraday bars
// include the hours outside them.
constexpr bool use_rth(std::string_view period) { return !contains(intraday_periods, period); }

constexpr bool is_adjust_keyword(std::string_view word) { return contains(adjust_keywords, word); }

// The lookups with the defaults every caller uses.
constexpr std::string_view bar_size_of(std::string_view period) {
    return lookup(period_map, period).value_or("1 day");
}
constexpr std::int64_t bar_seconds_of(std::string_view bar_size) {
    return lookup(bar_seconds, bar_size).value_or(86400);
}
constexpr std::int64_t default_count_of(std::string_view period) {
    return lookup(period_default_count, period).value_or(100);
}
constexpr double duration_factor_of(std::string_view period) {
    return lookup(duration_factor, period).value_or(1.0);
}
constexpr std::string_view yf_period_of(std::string_view period) {
    return lookup(yf_period, period).value_or("1y");
}
constexpr std::string_view yf_interval_of(std::string_view period) {
    return lookup(yf_interval, period).value_or("1d");
}

}  // namespace veltrax::kline
