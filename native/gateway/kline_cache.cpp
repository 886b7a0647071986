#include "gateway/kline_cache.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <string>
#include <string_view>

#include "common/module_globals.hpp"
#include "common/python.hpp"
#include "gateway/cache_keys.hpp"

namespace veltrax::candle_store {

namespace nb = nanobind;
using namespace nb::literals;

namespace {

ModuleGlobals globals;

// The wall clock as the host's time.time() reads it.
double now() { return nb::cast<double>(globals.get("time").attr("time")()); }

std::string_view text_of(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

// entry.get(name, fallback) for the dict a cache entry is.
nb::object field_of(nb::handle entry, const char *name, nb::handle fallback) {
    if (!PyDict_Check(entry.ptr())) throw nb::type_error("a cache entry must be a dict");
    PyObject *value = PyDict_GetItemWithError(entry.ptr(), nb::str(name).ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(value ? value : fallback.ptr());
}

bool entry_is_stale(nb::handle entry, std::string_view key) {
    return is_stale(nb::cast<double>(field_of(entry, "cached_at", nb::int_(0))), now(), key);
}

class KlineCache {
public:
    explicit KlineCache(nb::object data_dir) {
        if (data_dir.is_none()) {
            data_dir = globals.get("os").attr("environ").attr("get")("VELTRAX_DATA_DIR");
            if (data_dir.is_none())
                data_dir = globals.get("os").attr("path").attr("expanduser")("~/.veltrax");
        }
        nb::object directory = globals.get("Path")(data_dir);
        nb::str prefix = nb::str(directory.attr("__truediv__")("cache-"));
        cache = globals.get("DualCache")("kline", "cachePrefix"_a = prefix);
        by_prefix_ = nb::hasattr(cache, "keys_with_prefix");
    }

    nb::object get(nb::str key) {
        nb::object entry = cache.attr("get")(key);
        if (entry.is_none()) return nb::none();
        if (entry_is_stale(entry, text_of(key))) {
            forget(key);
            return nb::none();
        }
        return field_of(entry, "bars", nb::none());
    }

    // Deletes a key; another shell on the same store may have deleted it between
    // our read and this delete, which leaves the same outcome.
    void forget(nb::handle key) {
        try {
            cache.attr("__delitem__")(key);
        } catch (nb::python_error &failure) {
            if (!failure.matches(PyExc_KeyError)) throw;
        }
    }

    void set(nb::str key, nb::list bars) {
        nb::dict entry;
        entry["bars"] = bars;
        entry["cached_at"] = now();
        cache.attr("__setitem__")(key, entry);
    }

    nb::object try_larger_count(std::string_view symbol, std::string_view period,
                                std::string_view adjust, std::int64_t count) {
        std::string prefix = count_key_prefix(symbol, period, adjust);
        std::int64_t best_count = 0;
        nb::object best_key = nb::none();
        for (nb::handle key : keys_from(prefix)) {
            std::optional<std::int64_t> cached = cached_count(text_of(key), prefix);
            if (!cached) continue;
            if (*cached >= count && (best_count == 0 || *cached < best_count)) {
                best_count = *cached;
                best_key = nb::borrow(key);
            }
        }
        if (best_key.is_none() || text_of(best_key).empty()) return nb::none();
        nb::object bars = get(nb::borrow<nb::str>(best_key));
        if (bars.is_none()) return nb::none();
        Py_ssize_t size = PyObject_Length(bars.ptr());
        if (size < 0) throw nb::python_error();
        if (size == 0 || size < count) return nb::none();
        return last(bars, count);
    }

    std::int64_t invalidate(std::string_view symbol) {
        std::string prefix = std::string(symbol) + ":";
        nb::list doomed;
        for (nb::handle key : keys_from(prefix))
            if (text_of(key).starts_with(prefix)) doomed.append(key);
        for (nb::handle key : doomed) forget(key);
        return static_cast<std::int64_t>(nb::len(doomed));
    }

    nb::object cache;

private:
    // The stored keys that may begin with `prefix`: just those when the store
    // can look keys up by prefix (a cost that grows with one symbol's entries),
    // else every key. Callers test the prefix either way.
    nb::object keys_from(const std::string &prefix) {
        if (by_prefix_) return cache.attr("keys_with_prefix")(prefix);
        return cache.attr("keys")();
    }

    bool by_prefix_ = false;
};

nb::object stale_after_table() {
    nb::dict table;
    for (const auto &[name, seconds] : stale_after) table[nb::cast(name)] = seconds;
    return nb::module_::import_("types").attr("MappingProxyType")(table);
}

}  // namespace

void define_kline_cache(nb::module_ &module) {
    globals.bind(module);
    globals.import_module("os", "os");
    globals.import_module("time", "time");
    globals.take_in("pathlib", {"Path"});
    globals.take_in("corbel.dualcache", {"DualCache"});
    module.attr("STALE_AFTER") = stale_after_table();

    nb::class_<KlineCache>(module, "KlineCache",
                           "Bar lists of kline requests, kept in a DualCache store under\n"
                           "<data dir>/cache-kline and aged per period.")
        .def(nb::init<nb::object>(), "data_dir"_a.none() = nb::none())
        .def_ro("cache", &KlineCache::cache, "The DualCache that holds the entries.")
        .def_static("count_key", &count_key, "symbol"_a, "period"_a, "adjust"_a, "count"_a)
        .def_static(
            "intraday_key",
            [](nb::str symbol) { return intraday_key(text_of(symbol.attr("upper")())); },
            "symbol"_a)
        .def_static("range_key", &range_key, "symbol"_a, "period"_a, "adjust"_a, "start"_a,
                    "end"_a)
        .def("get", &KlineCache::get, "key"_a,
             "The bars stored under the key, or None (a stale entry is deleted).")
        .def("set", &KlineCache::set, "key"_a, "bars"_a,
             "Store the bars under the key with the current time.")
        .def_static(
            "_is_stale", [](nb::dict entry, std::string_view key) { return entry_is_stale(entry, key); },
            "entry"_a, "key"_a)
        .def("try_larger_count", &KlineCache::try_larger_count, "symbol"_a, "period"_a,
             "adjust"_a, "count"_a,
             "The last `count` bars of the smallest cached larger count, or None.")
        .def("invalidate", &KlineCache::invalidate, "symbol"_a,
             "Remove every entry of the symbol; returns how many went.");
}

}  // namespace veltrax::candle_store
