#include "cmds/quotes/dates.hpp"

#include <ctime>
#include <cstdio>
#include <stdexcept>

namespace veltrax::kline {

namespace {

constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

int digits_value(std::string_view digits) {
    int value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

}  // namespace

bool is_date_word(std::string_view word) {
    if (word == "today" || word == "yesterday") return true;
    if (word.size() != 10) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        bool separator = i == 4 || i == 7;
        if (separator ? word[i] != '-' : !is_ascii_digit(word[i])) return false;
    }
    return true;
}

CalendarDate parse_date(std::string_view word, CalendarDate today) {
    using namespace std::chrono;
    if (word == "today") return today;
    if (word == "yesterday") return CalendarDate{sys_days{today} - days{1}};
    if (!is_date_word(word))
        throw std::invalid_argument("not a date (expected YYYY-MM-DD): " + std::string(word));
    int y = digits_value(word.substr(0, 4));
    unsigned m = static_cast<unsigned>(digits_value(word.substr(5, 2)));
    unsigned d = static_cast<unsigned>(digits_value(word.substr(8, 2)));
    CalendarDate date{year{y}, month{m}, day{d}};
    if (y == 0 || !date.ok())
        throw std::invalid_argument("not a valid calendar date: " + std::string(word));
    return date;
}

CalendarDate local_today() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    using namespace std::chrono;
    return CalendarDate{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                        day{static_cast<unsigned>(local.tm_mday)}};
}

std::string format_date(CalendarDate date) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

std::int64_t days_between(CalendarDate start, CalendarDate end) {
    using namespace std::chrono;
    return (sys_days{end} - sys_days{start}).count();
}

std::string calc_duration(std::int64_t back_days) {
    if (back_days <= 365) return std::to_string(back_days) + " D";
    std::int64_t years = back_days / 365 + (back_days % 365 != 0 ? 1 : 0);
    return std::to_string(years) + " Y";
}

}  // namespace veltrax::kline
