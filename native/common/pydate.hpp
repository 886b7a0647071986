// Calendar dates as Python datetime.date objects.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>

namespace veltrax {

nanobind::object to_python_date(std::chrono::year_month_day date);

}  // namespace veltrax
