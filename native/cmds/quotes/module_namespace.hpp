// The kline module's namespace: the host names it took in when loaded, and
// its one piece of state, the cache holder.
#pragma once

#include <utility>

#include "common/module_globals.hpp"

namespace veltrax::kline {

namespace nb = nanobind;

extern ModuleGlobals globals;

// Imports the host's facilities into the module, in load order.
void take_in_host_names(nb::module_ module);

// Log lines go through the host's logger: a "{}" template and its values.
template <typename... Values>
void log(const char *level, const char *message, Values &&...values) {
    globals.get("logger").attr(level)(message, std::forward<Values>(values)...);
}

}  // namespace veltrax::kline
