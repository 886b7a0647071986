// Date words typed after the symbol, calendar dates, and broker durations.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrax::kline {

using CalendarDate = std::chrono::year_month_day;

// "today", "yesterday", or text of the exact shape YYYY-MM-DD (no calendar check).
bool is_date_word(std::string_view word);

// The date a date word names, relative to `today`. Throws std::invalid_argument
// for text that is not a real calendar date (month 13, 30 February, year 0).
CalendarDate parse_date(std::string_view word, CalendarDate today);

// The current date of the machine's local clock and zone.
CalendarDate local_today();

// YYYY-MM-DD, as dates are written in titles, logs, cache keys and results.
std::string format_date(CalendarDate date);

// Whole days from `start` to `end` (negative when end comes first).
std::int64_t days_between(CalendarDate start, CalendarDate end);

// The broker's durationStr for a look-back of `back_days`: days up to 365,
// whole years (rounded up) beyond.
std::string calc_duration(std::int64_t back_days);

}  // namespace veltrax::kline
