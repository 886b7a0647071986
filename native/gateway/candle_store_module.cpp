// The bar cache module: KlineCache over the host's two-level DualCache store.
#include <nanobind/nanobind.h>

#include "gateway/kline_cache.hpp"

NB_MODULE(candle_store, module) {
    module.doc() = "The kline bar cache: keys, staleness per period, larger-count reuse.";
    veltrax::candle_store::define_kline_cache(module);
}
