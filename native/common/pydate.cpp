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

}  // namespace veltrax
