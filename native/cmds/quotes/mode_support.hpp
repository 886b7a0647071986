// Pieces every request mode (broker and fallback) shares: the cache, printing,
// and result mappings with their keys in order.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string_view>
#include <utility>

#include "cmds/quotes/module_namespace.hpp"
#include "cmds/quotes/vocabulary.hpp"

namespace veltrax::kline {

// The process-wide KlineCache, through the module's _get_cache.
inline nb::object bar_cache() { return globals.get("_get_cache")(); }

// KlineCache's static key builders.
inline nb::object cache_keys() { return globals.get("KlineCache"); }

inline void print_table(nb::handle table, nb::handle title) { globals.get("printFrame")(table, title); }

// " (adjusted)" for adjusted prices, else nothing.
inline const char *adjusted_suffix(std::string_view adjust) {
    return is_adjust_keyword(adjust) ? " (adjusted)" : "";
}

// A result mapping with its keys in the given order.
inline nb::dict mapping(std::initializer_list<std::pair<const char *, nb::object>> items) {
    nb::dict result;
    for (const auto &[key, value] : items) result[key] = value;
    return result;
}

template <typename T>
nb::object py(T &&value) {
    return nb::cast(std::forward<T>(value));
}

}  // namespace veltrax::kline
