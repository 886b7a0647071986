// The kline module's namespace: the host names it took in when loaded, and
// its one piece of state, the cache holder.
#pragma once

#include "common/module_globals.hpp"
#include "gateway/kline_cache_api.hpp"

namespace veltrax::kline {

namespace nb = nanobind;

extern ModuleGlobals globals;

// The cache module's own KlineCache and functions, from its capsule.
extern const candle_store::KlineCacheApi *cache_api;

// Imports the host's facilities into the module, in load order.
void take_in_host_names(nb::module_ module);

}  // namespace veltrax::kline
