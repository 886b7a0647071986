// What the encoder and the decoder share: the Python objects they use, looked
// up once, pandas' Timestamp fields, and what the objects of a value take in
// memory (the memory level's bound counts it).
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

// The Python objects the codec needs, looked up once and kept for the life of
// the interpreter.
struct Python {
    PyObject *dumps;
    PyObject *protocol;
    PyObject *unit_name;
    PyObject *nanosecond_name;
    PyObject *year_name;
    PyObject *sizeof_name;
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

// The text as UTF-8; none for lone surrogates.
std::optional<std::string_view> utf8_of(PyObject *text);
bool is_naive(PyObject *value);
bool is_timestamp(const Pandas *pandas, PyObject *value);
std::optional<TimeUnit> unit_of(PyObject *timestamp);
std::optional<std::int64_t> timestamp_value(PyObject *timestamp, TimeUnit unit);

// ---- memory

// What the allocator hands out for a request: pymalloc's 16-byte size classes
// up to 512 bytes, malloc's chunks (a word of header, 16-byte aligned) above.
constexpr std::size_t allocated(std::size_t requested) {
    return requested <= 512 ? (requested + 15) / 16 * 16 : (requested + 8 + 15) / 16 * 16;
}

// A list object holding `items` references.
std::size_t list_bytes(std::size_t items);

// A dict with its key table, as sys.getsizeof counts it, in allocated blocks.
std::size_t dict_bytes(PyObject *dict);

// A scalar's own bytes; nothing for the objects every value shares (None, the
// booleans, small ints, pd.NA).
std::size_t object_bytes(PyObject *object);

// A value with everything it holds (containers followed to max_depth, each
// counted once however often it is held).
std::size_t value_bytes(PyObject *value);

}  // namespace veltrax::store::codec
