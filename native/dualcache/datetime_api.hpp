// CPython's datetime C API is a static pointer in each file that includes
// datetime.h: every file that uses its macros loads it for itself, first.
#pragma once

#include <nanobind/nanobind.h>

#include <datetime.h>

namespace veltrax::store {

static inline void load_datetime_api() {
    if (PyDateTimeAPI) return;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nanobind::python_error();
}

}  // namespace veltrax::store
