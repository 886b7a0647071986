// Pieces every request mode (broker and fallback) shares: the cache and its
// keys, printing, log lines and result mappings, and the names they use.
//
// Each goes through the name the module or the class holds at that moment, so
// the host or a test can replace any of them. While a name still holds the
// module's own definition, the C++ behind it is called directly.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>
#include <utility>

#include "cmds/quotes/module_namespace.hpp"
#include "cmds/quotes/request.hpp"
#include "cmds/quotes/vocabulary.hpp"
#include "common/interned.hpp"
#include "common/module_globals.hpp"

namespace veltrax::kline {

// Module globals and attributes the modes use.
inline constinit Interned asyncio_name{"asyncio"}, get_cache_name{"_get_cache"}, candle_store_name{"_candle_store"},
    kline_cache_name{"KlineCache"}, logger_name{"logger"}, print_frame_name{"printFrame"};
inline constinit Interned count_key_name{"count_key"}, range_key_name{"range_key"},
    intraday_key_name{"intraday_key"}, get_name{"get"}, set_name{"set"},
    try_larger_count_name{"try_larger_count"};
inline constinit Interned kline_method{"_kline"}, history_method{"_history"}, intraday_method{"_intraday"},
    run_yfinance_method{"_run_yfinance"}, kline_yfinance_method{"_kline_yfinance"},
    history_yfinance_method{"_history_yfinance"}, intraday_yfinance_method{"_intraday_yfinance"},
    yf_history_method{"_yf_history"};
inline constinit Interned symbol_name{"symbol"}, rest_name{"rest"}, state_name{"state"}, ib_name{"ib"};
inline constinit Interned info_level{"info"}, warning_level{"warning"}, error_level{"error"};

// Result keys and the texts of results.
inline constinit Interned symbol_key{"symbol"}, period_key{"period"}, count_key{"count"},
    adjust_key{"adjust"}, start_key{"start"}, end_key{"end"}, type_key{"type"}, bars_key{"bars"},
    cached_key{"cached"}, source_key{"source"}, error_key{"error"};
inline constinit Interned intraday_text{"intraday"}, ibkr_source{"ibkr"}, yfinance_source{"yfinance"},
    cache_source{"cache"};

// True while self.<name> is the module's own method (see resolves_to).
inline bool own_method(nb::handle self, const Interned &name) {
    return resolves_to(self, name, globals.original(name));
}

// The process-wide KlineCache (what `_get_cache()` returns).
nb::object bar_cache();

// The KlineCache key of a request (KlineCache.count_key and its kin).
nb::object count_key_of(nb::handle symbol, const LatestRequest &request);
nb::object range_key_of(nb::handle symbol, const RangeRequest &request);
nb::object intraday_key_of(nb::handle symbol);

// cache.get(key): the bars stored under the key, or None.
nb::object cached_bars(nb::handle cache, nb::handle key);

inline void print_table(nb::handle table, nb::handle title) { globals.get(print_frame_name)(table, title); }

// Log lines go through the host's logger: a "{}" template and its values.
template <typename... Values>
void log(const Interned &level, const Interned &message, Values &&...values) {
    globals.get(logger_name).attr(level.get())(message.get(), std::forward<Values>(values)...);
}

// " (adjusted)" for adjusted prices, else nothing.
inline const char *adjusted_suffix(std::string_view adjust) {
    return is_adjust_keyword(adjust) ? " (adjusted)" : "";
}

// mapping[key] = value, for result mappings built key by key in their order.
inline void put(nb::handle mapping, const Interned &key, nb::handle value) {
    int failed = PyDict_CheckExact(mapping.ptr()) ? PyDict_SetItem(mapping.ptr(), key.get().ptr(), value.ptr())
                                                  : PyObject_SetItem(mapping.ptr(), key.get().ptr(), value.ptr());
    if (failed) throw nb::python_error();
}

}  // namespace veltrax::kline
