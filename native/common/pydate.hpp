// Calendar dates as Python datetime.date objects.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <cstdint>

namespace veltrax {

nanobind::object to_python_date(std::chrono::year_month_day date);

// Days from 1970-01-01 to the given calendar date (negative before it).
std::int64_t days_since_epoch(int year, int month, int day);

// Microseconds since 1970-01-01 00:00 of a datetime's own fields: its wall
// clock, whatever its zone or fold. The caller has checked it is a datetime.
std::int64_t wall_clock_micros(PyObject *datetime);

}  // namespace veltrax
