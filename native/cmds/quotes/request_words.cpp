#include "cmds/quotes/request_words.hpp"

#include <cmath>
#include <limits>

#include "cmds/quotes/vocabulary.hpp"
#include "common/integers.hpp"

namespace veltrax::kline {

RequestForm request_form(const Words &words) {
    if (words.empty()) return RequestForm::latest;
    if (words.front() == "intraday") return RequestForm::intraday;
    if (is_date_word(words.front())) return RequestForm::history;
    return RequestForm::latest;
}

LatestWords read_latest_words(const Words &words) {
    LatestWords request{"day", default_count_of("day"), "none"};
    std::size_t next = 0;
    if (next < words.size() && is_period(words[next])) {
        request.period = words[next++];
        request.count = default_count_of(request.period);
    }
    if (next < words.size()) {
        if (std::optional<std::int64_t> count = parse_integer(words[next])) {
            request.count = *count;
            ++next;
        }
    }
    if (next < words.size()) request.adjust = words[next];
    return request;
}

RangeWords read_range_words(const Words &words, CalendarDate today) {
    RangeWords request{parse_date(words.at(0), today), today, "day", "none"};
    std::size_t next = 1;
    if (next < words.size() && is_date_word(words[next])) request.end = parse_date(words[next++], today);
    if (next < words.size() && is_period(words[next])) request.period = words[next++];
    if (next < words.size()) request.adjust = words[next];
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
