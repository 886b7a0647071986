// Reading pickled bytes without running code: an unpickler that admits only
// the named types a stored value may hold.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

namespace veltrax::store {

// The value pickled in `bytes`. Python errors (pickle.UnpicklingError for a
// name that is not admitted) reach the caller.
nanobind::object safe_loads(std::string_view bytes);

}  // namespace veltrax::store
