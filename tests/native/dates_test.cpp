#include "cmds/quotes/dates.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace veltrax::kline {
namespace {

using namespace std::chrono;

constexpr CalendarDate new_year_2026{year{2026}, January, day{1}};

TEST(DateWords, RecognisesTheThreeShapes) {
    for (const char *word : {"today", "yesterday", "2025-01-01", "2025-13-45", "0000-00-00"})
        EXPECT_TRUE(is_date_word(word)) << word;
}

TEST(DateWords, RejectsNearMisses) {
    for (const char *word : {"Today", "YESTERDAY", "2025-1-01", "20250101", "2025/01/01",
                             "2025-01-01T00:00", "", " 2025-01-01", "2025-01-01\n", "2025-01-0a"})
        EXPECT_FALSE(is_date_word(word)) << word;
}

TEST(ParseDate, RelativeWordsFollowTheCalendar) {
    EXPECT_EQ(parse_date("today", new_year_2026), new_year_2026);
    EXPECT_EQ(parse_date("yesterday", new_year_2026), (CalendarDate{year{2025}, December, day{31}}));
    EXPECT_EQ(parse_date("yesterday", CalendarDate{year{2024}, March, day{1}}),
              (CalendarDate{year{2024}, February, day{29}}));
}

TEST(ParseDate, ReadsIsoDates) {
    EXPECT_EQ(parse_date("2024-02-29", new_year_2026), (CalendarDate{year{2024}, February, day{29}}));
    EXPECT_EQ(parse_date("9999-12-31", new_year_2026), (CalendarDate{year{9999}, December, day{31}}));
}

TEST(ParseDate, RefusesDatesTheCalendarLacks) {
    for (const char *word : {"2025-02-29", "2025-13-45", "2025-00-10", "2025-04-31", "0000-01-01",
                             "2025-01-00", "not-a-date"})
        EXPECT_THROW(parse_date(word, new_year_2026), std::invalid_argument) << word;
}

TEST(FormatDate, PadsEveryField) {
    EXPECT_EQ(format_date(CalendarDate{year{33}, March, day{7}}), "0033-03-07");
    EXPECT_EQ(format_date(CalendarDate{year{2025}, December, day{31}}), "2025-12-31");
}

TEST(CalcDuration, DaysUpTo365ThenWholeYearsRoundedUp) {
    EXPECT_EQ(calc_duration(0), "0 D");
    EXPECT_EQ(calc_duration(1), "1 D");
    EXPECT_EQ(calc_duration(365), "365 D");
    EXPECT_EQ(calc_duration(366), "2 Y");
    EXPECT_EQ(calc_duration(730), "2 Y");
    EXPECT_EQ(calc_duration(731), "3 Y");
    EXPECT_EQ(calc_duration(-5), "-5 D");
}

TEST(DaysBetween, CountsCalendarDays) {
    EXPECT_EQ(days_between(CalendarDate{year{2025}, January, day{1}},
                           CalendarDate{year{2025}, June, day{1}}),
              151);
    EXPECT_EQ(days_between(CalendarDate{year{2024}, January, day{1}},
                           CalendarDate{year{2025}, June, day{1}}),
              517);
}

}  // namespace
}  // namespace veltrax::kline
