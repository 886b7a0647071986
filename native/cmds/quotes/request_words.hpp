// How the words typed after the symbol shape a kline request.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "cmds/quotes/dates.hpp"

namespace veltrax::kline {

using Words = std::span<const std::string_view>;

enum class RequestForm { latest, history, intraday };

// The first word picks the form: exactly "intraday", a date word, or anything
// else (including no word at all) for the latest bars.
RequestForm request_form(Words words);

// A slot of a request that a typed word may fill: which word, and its text
// (or the slot's default when no word filled it).
struct WordSlot {
    std::optional<std::size_t> word;
    std::string_view text;
};

// kline <symbol> [period] [count] [adj]: each slot is tried once, left to
// right, and a word that does not fit a slot is tried for the next one.
struct LatestWords {
    WordSlot period;
    std::int64_t count;
    WordSlot adjust;
};
LatestWords read_latest_words(Words words);

// kline <symbol> <start> [end] [period] [adj]. Throws std::invalid_argument
// when a date word is no real date.
struct RangeWords {
    CalendarDate start;
    CalendarDate end;
    WordSlot period;
    WordSlot adjust;
};
RangeWords read_range_words(Words words, CalendarDate today);

// The broker's price type for an adjustment word.
std::string_view price_type(std::string_view adjust);

// Calendar days a request for `count` bars must reach back, widened by the
// period's factor for days without trading.
std::int64_t latest_back_days(std::int64_t count, std::string_view period);

}  // namespace veltrax::kline
