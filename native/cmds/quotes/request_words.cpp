#include "cmds/quotes/request_words.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "cmds/quotes/vocabulary.hpp"
#include "common/integers.hpp"

namespace veltrax::kline {

namespace {

constexpr std::string_view default_period = "day";
constexpr std::string_view default_adjust = "none";

}  // namespace

RequestForm request_form(Words words) {
    if (words.empty()) return RequestForm::latest;
    if (words.front() == "intraday") return RequestForm::intraday;
    if (is_date_word(words.front())) return RequestForm::history;
    return RequestForm::latest;
}

LatestWords read_latest_words(Words words) {
    LatestWords request{{std::nullopt, default_period}, default_count_of(default_period), {std::nullopt, default_adjust}};
    std::size_t next = 0;
    if (next < words.size() && is_period(words[next])) {
        request.period = {next, words[next]};
        request.count = default_count_of(words[next++]);
    }
    if (next < words.size()) {
        if (std::optional<std::int64_t> count = parse_integer(words[next])) {
            request.count = *count;
            ++next;
        }
    }
    if (next < words.size()) request.adjust = {next, words[next]};
    return request;
}

RangeWords read_range_words(Words words, CalendarDate today) {
    if (words.empty()) throw std::out_of_range("a date range needs a start date");
    RangeWords request{parse_date(words[0], today), today, {std::nullopt, default_period},
                       {std::nullopt, default_adjust}};
    std::size_t next = 1;
    if (next < words.size() && is_date_word(words[next])) request.end = parse_date(words[next++], today);
    if (next < words.size() && is_period(words[next])) {
        request.period = {next, words[next]};
        ++next;
    }
    if (next < words.size()) request.adjust = {next, words[next]};
    return request;
}

std::string_view price_type(std::string_view adjust) {
    return is_adjust_keyword(adjust) ? "ADJUSTED_LAST" : "TRADES";
}

std::int64_t latest_back_days(std::int64_t count, std::string_view period) {
    // The product is exact in 128 bits and rounded once to a double, as an
    // arbitrary-precision integer would be.
    __int128 span_seconds = static_cast<__int128>(count) * bar_seconds_of(bar_size_of(period));
    double days = std::ceil(static_cast<double>(span_seconds) * duration_factor_of(period) / 86400.0);
    constexpr double limit = 9.2e18;
    if (days > limit) return std::numeric_limits<std::int64_t>::max();
    if (days < -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(days);
}

}  // namespace veltrax::kline
