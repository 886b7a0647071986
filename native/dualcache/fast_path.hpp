// get and [] are the memory hit's path: raw CPython entry points, with no
// argument conversion between the caller and the lookup.
#pragma once

#include <nanobind/nanobind.h>

namespace veltrax::store {

// The type slots that put them on DualCache; `store_error` is the Python type
// a StoreError becomes.
PyType_Slot *fast_path_slots(PyObject *store_error);

}  // namespace veltrax::store
