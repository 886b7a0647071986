// The Python face of corbel.dualcache.
#pragma once

#include <nanobind/nanobind.h>

namespace veltrax::store {

void bind_dualcache(nanobind::module_ &module);

}  // namespace veltrax::store
