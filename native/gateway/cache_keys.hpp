// Keys of the bar cache and the age at which their entries go stale.
//
// Keys are colon-separated texts in three forms:
//   count     SYMBOL:period:adjust:count_N
//   range     SYMBOL:period:adjust:START_END
//   intraday  SYMBOL:intraday:full
// The second field names the staleness class.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace veltrax::candle_store {

// Staleness class to maximum age in seconds.
inline constexpr std::array<std::pair<std::string_view, std::int64_t>, 10> stale_after{{
    {"1m", 60},
    {"5m", 300},
    {"15m", 900},
    {"30m", 1800},
    {"1h", 3600},
    {"day", 86400},
    {"week", 259200},
    {"month", 604800},
    {"year", 604800},
    {"intraday", 120},
}};

// Every class outside the table (period aliases, any other word) lives a day.
inline constexpr std::int64_t default_stale_after = 86400;

std::string count_key(std::string_view symbol, std::string_view period, std::string_view adjust,
                      std::int64_t count);

// The count key without its count: every cached count of one request shape.
std::string count_key_prefix(std::string_view symbol, std::string_view period,
                             std::string_view adjust);

std::string range_key(std::string_view symbol, std::string_view period, std::string_view adjust,
                      std::string_view start, std::string_view end);

// `upper_symbol` is already upper-cased (Unicode rules belong to the caller).
std::string intraday_key(std::string_view upper_symbol);

// The second colon-separated field, or "day" for a key without a colon.
std::string_view staleness_class(std::string_view key);

std::int64_t max_age_of(std::string_view staleness_class);

// Older than the limit of the key's class; an entry exactly at the limit, or
// from the future after the clock was set back, is fresh.
bool is_stale(double cached_at, double now, std::string_view key);

// The count of a key that count_key made with this prefix: the text after the
// prefix must be that integer exactly as count_key writes it. A key that merely
// begins with the prefix (an adjustment word holding ":count_", say) has none.
std::optional<std::int64_t> cached_count(std::string_view key, std::string_view prefix);

}  // namespace veltrax::candle_store
