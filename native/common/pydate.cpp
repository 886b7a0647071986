#include "common/pydate.hpp"

#include <datetime.h>

namespace veltrax {

nanobind::object to_python_date(std::chrono::year_month_day date) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw nanobind::python_error();
    }
    PyObject *value = PyDate_FromDate(static_cast<int>(date.year()),
                                      static_cast<int>(static_cast<unsigned>(date.month())),
                                      static_cast<int>(static_cast<unsigned>(date.day())));
    if (!value) throw nanobind::python_error();
    return nanobind::steal(value);
}

std::int64_t days_since_epoch(int year, int month, int day) {
    using namespace std::chrono;
    return sys_days(std::chrono::year(year) / month / day).time_since_epoch().count();
}

std::int64_t wall_clock_micros(PyObject *value) {
    std::int64_t days = days_since_epoch(PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                                         PyDateTime_GET_DAY(value));
    std::int64_t seconds = PyDateTime_DATE_GET_HOUR(value) * 3600 +
                           PyDateTime_DATE_GET_MINUTE(value) * 60 + PyDateTime_DATE_GET_SECOND(value);
    return (days * 86'400 + seconds) * 1'000'000 + PyDateTime_DATE_GET_MICROSECOND(value);
}

}  // namespace veltrax
