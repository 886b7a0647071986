// What the bar cache module offers the other extension modules, through the
// capsule `veltrax.gateway.candle_store._api`: its own KlineCache class and
// functions, so that a caller can tell them from replacements, and a direct
// entry to `KlineCache.get` for a caller that has made sure they are in place.
#pragma once

#include <Python.h>

namespace veltrax::candle_store {

struct KlineCacheApi {
    static constexpr const char *capsule_name = "veltrax.gateway.candle_store._api";

    // The class and the objects its attributes held when the module made them
    // (kept for the life of the process).
    PyObject *kline_cache;
    PyObject *count_key;
    PyObject *range_key;
    PyObject *intraday_key;
    PyObject *get;

    // KlineCache.get(cache, key), for `cache` of exactly that class and a str
    // key: a new reference, or NULL with a Python error set.
    PyObject *(*get_bars)(PyObject *cache, PyObject *key);
};

}  // namespace veltrax::candle_store
