// IOpKline, the kline command class, and the process-wide bar cache holder.
#pragma once

#include <nanobind/nanobind.h>

namespace veltrax::kline {

// The module's one KlineCache, created on first use.
nanobind::object get_cache();

// Builds IOpKline as a dataclass of the host's IOp and registers it as "kline".
void define_command(nanobind::module_ &module);

}  // namespace veltrax::kline
