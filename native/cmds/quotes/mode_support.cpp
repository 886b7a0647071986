#include "cmds/quotes/mode_support.hpp"

#include <string>

#include "cmds/quotes/command.hpp"
#include "common/python.hpp"
#include "gateway/cache_keys.hpp"
#include "gateway/kline_cache_api.hpp"

namespace veltrax::kline {

namespace {

// True while `cls` is the cache module's own KlineCache and its attribute
// `name` is still `original`.
bool own_attribute(nb::handle cls, const Interned &name, PyObject *original) {
    if (cls.ptr() != cache_api->kline_cache) return false;
    PyObject *found = PyObject_GetAttr(cls.ptr(), name.get().ptr());
    if (!found) throw nb::python_error();
    Py_DECREF(found);  // the class keeps it; only its identity matters here
    return found == original;
}

nb::object as_str(const std::string &text) { return nb::str(text.data(), text.size()); }

}  // namespace

nb::object bar_cache() {
    nb::object get_cache_now = globals.get(get_cache_name);
    if (globals.holds_original(get_cache_name, get_cache_now)) return process_cache();
    return get_cache_now();
}

nb::object count_key_of(nb::handle symbol, const LatestRequest &request) {
    nb::object keys = globals.get(kline_cache_name);
    if (own_attribute(keys, count_key_name, cache_api->count_key))
        return as_str(candle_store::count_key(text_of(symbol, "the symbol"), request.words.period.text,
                                              request.words.adjust.text, request.words.count));
    return keys.attr(count_key_name.get())(symbol, request.period, request.adjust, request.count);
}

nb::object range_key_of(nb::handle symbol, const RangeRequest &request) {
    nb::object keys = globals.get(kline_cache_name);
    if (own_attribute(keys, range_key_name, cache_api->range_key))
        return as_str(candle_store::range_key(text_of(symbol, "the symbol"), request.words.period.text,
                                              request.words.adjust.text, text_of(request.start, "the start"),
                                              text_of(request.end, "the end")));
    return keys.attr(range_key_name.get())(symbol, request.period, request.adjust, request.start, request.end);
}

nb::object intraday_key_of(nb::handle symbol) {
    return globals.get(kline_cache_name).attr(intraday_key_name.get())(symbol);
}

nb::object cached_bars(nb::handle cache, nb::handle key) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(cache.ptr()));
    if (own_attribute(type, get_name, cache_api->get)) {
        nb::object bars = nb::steal(cache_api->get_bars(cache.ptr(), key.ptr()));
        if (!bars.is_valid()) throw nb::python_error();
        return bars;
    }
    return cache.attr(get_name.get())(key);
}

}  // namespace veltrax::kline
