#pragma once

#include <nanobind/nanobind.h>

namespace veltrax::candle_store {

// STALE_AFTER and KlineCache, after the module took in os, time, Path and DualCache.
void define_kline_cache(nanobind::module_ &module);

}  // namespace veltrax::candle_store
