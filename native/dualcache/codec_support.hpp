// What the encoder and the decoder share: the Python objects they use, looked
// up once, pandas' Timestamp fields, and the sizes of the objects a value becomes.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "dualcache/layout.hpp"

namespace veltrax::store::codec {

namespace nb = nanobind;

// Deeper nesting is pickled whole.
inline constexpr int max_depth = 32;
inline constexpr std::int64_t micros_per_day = 86'400'000'000;

nb::object owned(PyObject *object);

// A reference kept for the life of the interpreter.
PyObject *leaked(nb::object object);

// The Python objects the codec needs, looked up once and kept for the life of
// the interpreter.
struct Python {
    PyObject *dumps;
    PyObject *loads;
    PyObject *protocol;
    PyObject *unit_name;
    PyObject *nanosecond_name;
    PyObject *year_name;
};

const Python &python();

// pandas' NA and Timestamp. A value can only be one of them once pandas is
// loaded, so storing never imports pandas; reading a column of timestamps does.
struct Pandas {
    PyObject *na = nullptr;
    PyObject *timestamp = nullptr;
    PyObject *datetime_index = nullptr;
    PyObject *frombuffer = nullptr;
    PyObject *dtypes[4] = {};  // datetime64 in each TimeUnit
};

const Pandas *pandas_if_loaded();
const Pandas &pandas_for_reading();

std::chrono::year_month_day civil_from_days(std::int64_t days);
std::int64_t floor_div(std::int64_t a, std::int64_t b);

// Rough sizes of the Python objects a value becomes, for the memory level's bound.
constexpr std::size_t dict_bytes(std::size_t items) { return 64 + 26 * items; }
constexpr std::size_t list_bytes(std::size_t items) { return 56 + 8 * items; }
std::size_t column_bytes(ColumnKind kind, std::size_t rows, std::size_t data_size);

// The text as UTF-8; none for lone surrogates.
std::optional<std::string_view> utf8_of(PyObject *text);
bool is_naive(PyObject *value);
std::optional<TimeUnit> unit_of(PyObject *timestamp);
std::optional<std::int64_t> timestamp_value(PyObject *timestamp, TimeUnit unit);

}  // namespace veltrax::store::codec
