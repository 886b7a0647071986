#pragma once

#include <nanobind/nanobind.h>

namespace veltrax::kline {

// The period tables as read-only module values, then the word and date functions.
void define_vocabulary(nanobind::module_ &module);

}  // namespace veltrax::kline
