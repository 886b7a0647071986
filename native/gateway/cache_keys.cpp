#include "gateway/cache_keys.hpp"

#include "common/integers.hpp"

namespace veltrax::candle_store {

namespace {

std::string joined(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string text;
    text.reserve(size);
    for (std::string_view part : parts) text += part;
    return text;
}

}  // namespace

std::string count_key_prefix(std::string_view symbol, std::string_view period,
                             std::string_view adjust) {
    return joined({symbol, ":", period, ":", adjust, ":count_"});
}

std::string count_key(std::string_view symbol, std::string_view period, std::string_view adjust,
                      std::int64_t count) {
    return count_key_prefix(symbol, period, adjust) + std::to_string(count);
}

std::string range_key(std::string_view symbol, std::string_view period, std::string_view adjust,
                      std::string_view start, std::string_view end) {
    return joined({symbol, ":", period, ":", adjust, ":", start, "_", end});
}

std::string intraday_key(std::string_view upper_symbol) {
    return joined({upper_symbol, ":intraday:full"});
}

std::string_view staleness_class(std::string_view key) {
    std::size_t first = key.find(':');
    if (first == std::string_view::npos) return "day";
    std::string_view after = key.substr(first + 1);
    return after.substr(0, after.find(':'));
}

std::int64_t max_age_of(std::string_view staleness_class) {
    for (const auto &[name, seconds] : stale_after)
        if (name == staleness_class) return seconds;
    return default_stale_after;
}

bool is_stale(double cached_at, double now, std::string_view key) {
    return now - cached_at > static_cast<double>(max_age_of(staleness_class(key)));
}

std::optional<std::int64_t> cached_count(std::string_view key, std::string_view prefix) {
    if (!key.starts_with(prefix)) return std::nullopt;
    std::string_view written = key.substr(prefix.size());
    std::optional<std::int64_t> count = parse_integer(written);
    if (!count || std::to_string(*count) != written) return std::nullopt;
    return count;
}

}  // namespace veltrax::candle_store
