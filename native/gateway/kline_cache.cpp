#include "gateway/kline_cache.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <string>
#include <string_view>

#include "common/module_globals.hpp"
#include "common/python.hpp"
#include "gateway/cache_keys.hpp"
#include "gateway/kline_cache_api.hpp"

namespace veltrax::candle_store {

namespace nb = nanobind;
using namespace nb::literals;

namespace {

ModuleGlobals globals;

constinit Interned time_module{"time"}, time_function{"time"}, os_module{"os"}, path_class{"Path"},
    dual_cache_class{"DualCache"};
constinit Interned bars_field{"bars"}, cached_at_field{"cached_at"};
constinit Interned get_method{"get"}, set_item{"__setitem__"}, delete_item{"__delitem__"},
    keys_method{"keys"}, keys_with_prefix{"keys_with_prefix"};

// The wall clock as the host's time.time() reads it.
double now() { return nb::cast<double>(globals.get(time_module).attr(time_function.get())()); }

// entry.get(name, fallback) for the dict a cache entry is.
nb::object field_of(nb::handle entry, const Interned &name, nb::handle fallback) {
    if (!PyDict_Check(entry.ptr())) throw nb::type_error("a cache entry must be a dict");
    PyObject *value = PyDict_GetItemWithError(entry.ptr(), name.get().ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(value ? value : fallback.ptr());
}

bool entry_is_stale(nb::handle entry, std::string_view key) {
    return is_stale(nb::cast<double>(field_of(entry, cached_at_field, nb::int_(0))), now(), key);
}

class KlineCache {
public:
    explicit KlineCache(nb::object data_dir) {
        nb::object os = globals.get(os_module);
        if (data_dir.is_none()) {
            data_dir = os.attr("environ").attr("get")("VELTRAX_DATA_DIR");
            if (data_dir.is_none()) data_dir = os.attr("path").attr("expanduser")("~/.veltrax");
        }
        nb::object directory = globals.get(path_class)(data_dir);
        nb::str prefix = nb::str(directory.attr("__truediv__")("cache-"));
        cache = globals.get(dual_cache_class)("kline", "cachePrefix"_a = prefix);
        by_prefix_ = nb::hasattr(cache, "keys_with_prefix");
    }

    nb::object get(nb::str key) {
        nb::object entry = cache.attr(get_method.get())(key);
        if (entry.is_none()) return nb::none();
        if (entry_is_stale(entry, text_of(key, "the key"))) {
            forget(key);
            return nb::none();
        }
        return field_of(entry, bars_field, nb::none());
    }

    // Deletes a key; another shell on the same store may have deleted it between
    // our read and this delete, which leaves the same outcome.
    void forget(nb::handle key) {
        try {
            cache.attr(delete_item.get())(key);
        } catch (nb::python_error &failure) {
            if (!failure.matches(PyExc_KeyError)) throw;
        }
    }

    void set(nb::str key, nb::list bars) {
        nb::dict entry = new_dict();
        entry[bars_field.get()] = bars;
        entry[cached_at_field.get()] = now();
        cache.attr(set_item.get())(key, entry);
    }

    nb::object try_larger_count(nb::str symbol, nb::str period, nb::str adjust, std::int64_t count) {
        std::string prefix = count_key_prefix(text_of(symbol, "the symbol"), text_of(period, "the period"),
                                              text_of(adjust, "the adjustment"));
        std::int64_t best_count = 0;
        nb::object best_key = nb::none();
        for (nb::handle key : keys_from(prefix)) {
            std::optional<std::int64_t> cached = cached_count(text_of(key, "a stored key"), prefix);
            if (!cached) continue;
            if (*cached >= count && (best_count == 0 || *cached < best_count)) {
                best_count = *cached;
                best_key = nb::borrow(key);
            }
        }
        if (best_key.is_none()) return nb::none();
        nb::object bars = get(nb::borrow<nb::str>(best_key));
        if (bars.is_none()) return nb::none();
        Py_ssize_t size = PyObject_Length(bars.ptr());
        if (size < 0) throw nb::python_error();
        if (size == 0 || size < count) return nb::none();
        return last(bars, count);
    }

    std::int64_t invalidate(nb::str symbol) {
        std::string prefix = std::string(text_of(symbol, "the symbol")) + ":";
        nb::list doomed = new_list();
        for (nb::handle key : keys_from(prefix))
            if (text_of(key, "a stored key").starts_with(prefix)) doomed.append(key);
        for (nb::handle key : doomed) forget(key);
        return static_cast<std::int64_t>(nb::len(doomed));
    }

    nb::object cache;

private:
    // The stored keys that may begin with `prefix`: just those when the store
    // can look keys up by prefix (a cost that grows with one symbol's entries),
    // else every key. Callers test the prefix either way.
    nb::object keys_from(const std::string &prefix) {
        if (by_prefix_) return cache.attr(keys_with_prefix.get())(prefix);
        return cache.attr(keys_method.get())();
    }

    bool by_prefix_ = false;
};

nb::object stale_after_table() {
    nb::dict table;
    for (const auto &[name, seconds] : stale_after) table[nb::cast(name)] = seconds;
    return nb::module_::import_("types").attr("MappingProxyType")(table);
}

PyObject *get_bars(PyObject *cache, PyObject *key) {
    try {
        return nb::inst_ptr<KlineCache>(cache)->get(nb::borrow<nb::str>(key)).release().ptr();
    } catch (...) {
        set_python_error(std::current_exception());
        return nullptr;
    }
}

// The class's own attributes, as the module defined them.
PyObject *own(nb::handle cls, const char *name) { return nb::getattr(cls, name).release().ptr(); }

}  // namespace

void define_kline_cache(nb::module_ &module) {
    globals.bind(module);
    globals.import_module("os", "os");
    globals.import_module("time", "time");
    globals.take_in("pathlib", {"Path"});
    globals.take_in("corbel.dualcache", {"DualCache"});
    module.attr("STALE_AFTER") = stale_after_table();

    auto text = [](const char *what) {
        return [what](nb::handle value) { return text_of(value, what); };
    };
    auto symbol_text = text("the symbol"), period_text = text("the period"), adjust_text = text("the adjustment");
    nb::class_<KlineCache> cls(module, "KlineCache",
                               "Bar lists of kline requests, kept in a DualCache store under\n"
                               "<data dir>/cache-kline and aged per period.");
    cls.def(nb::init<nb::object>(), "data_dir"_a.none() = nb::none(),
            nb::sig("def __init__(self, data_dir: str | os.PathLike[str] | None = None) -> None"))
        .def_prop_ro(
            "cache", [](KlineCache &self) { return self.cache; },
            nb::for_getter(nb::sig("def cache(self, /) -> corbel.dualcache.DualCache")),
            nb::for_getter("The DualCache that holds the entries."))
        .def_static(
            "count_key",
            [=](nb::str symbol, nb::str period, nb::str adjust, std::int64_t count) {
                return count_key(symbol_text(symbol), period_text(period), adjust_text(adjust), count);
            },
            "symbol"_a, "period"_a, "adjust"_a, "count"_a, "SYMBOL:period:adjust:count_N")
        .def_static(
            "intraday_key",
            [=](nb::str symbol) { return intraday_key(symbol_text(symbol.attr("upper")())); }, "symbol"_a,
            "SYMBOL:intraday:full, the symbol upper-cased")
        .def_static(
            "range_key",
            [=](nb::str symbol, nb::str period, nb::str adjust, nb::str start, nb::str end) {
                return range_key(symbol_text(symbol), period_text(period), adjust_text(adjust),
                                 text_of(start, "the start"), text_of(end, "the end"));
            },
            "symbol"_a, "period"_a, "adjust"_a, "start"_a, "end"_a, "SYMBOL:period:adjust:START_END")
        .def("get", &KlineCache::get, "key"_a, nb::sig("def get(self, key: str) -> list[typing.Any] | None"),
             "The bars stored under the key, or None (a stale entry is deleted).")
        .def("set", &KlineCache::set, "key"_a, "bars"_a,
             nb::sig("def set(self, key: str, bars: list[typing.Any]) -> None"),
             "Store the bars under the key with the current time.")
        .def_static(
            "_is_stale",
            [](nb::dict entry, nb::str key) { return entry_is_stale(entry, text_of(key, "the key")); },
            "entry"_a, "key"_a)
        .def("try_larger_count", &KlineCache::try_larger_count, "symbol"_a, "period"_a, "adjust"_a, "count"_a,
             nb::sig("def try_larger_count(self, symbol: str, period: str, adjust: str, count: int) "
                     "-> list[typing.Any] | None"),
             "The last `count` bars of the smallest cached larger count, or None.")
        .def("invalidate", &KlineCache::invalidate, "symbol"_a,
             "Remove every entry of the symbol; returns how many went.");

    static const KlineCacheApi api{cls.ptr(), own(cls, "count_key"), own(cls, "range_key"),
                                   own(cls, "intraday_key"), own(cls, "get"), get_bars};
    module.attr("_api") = nb::capsule(&api, KlineCacheApi::capsule_name);
}

}  // namespace veltrax::candle_store
