// IOpKline, the kline command class, and the process-wide bar cache holder.
#pragma once

#include <nanobind/nanobind.h>

namespace veltrax::kline {

// _get_cache, the accessor of the module's one KlineCache (created on first
// use), and its holder _candle_store, empty.
void define_cache_holder(nanobind::module_ &module);

// What _get_cache returns.
nanobind::object process_cache();

// Builds IOpKline as a dataclass of the host's IOp and registers it as "kline".
void define_command(nanobind::module_ &module);

}  // namespace veltrax::kline
