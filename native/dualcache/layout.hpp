// The layout of a stored value. Every value on disk is
//
//   frame    'V' 'X'  version:u8  flags:u8 (0)  xxh64(body, seed version<<8|flags):u64  body
//   body     value
//   value    tag:u8 then, by tag,
//            none | false | true | na (pd.NA)            nothing more
//            int      i64            float   f64 bits (NaN payload and -0.0 kept)
//            str      len:varint utf8
//            dict     n:varint, n x (key: len utf8, value)     an exact dict of str keys
//            records  rows:varint cols:varint, cols x (name: len utf8, column)
//                     a list of exact dicts sharing one key order (a bar list)
//            pickle   len:varint pickle bytes                   anything else
//   version 2 adds
//            list      n:varint, n x value                      an exact list
//            date      i32 days since 1970-01-01
//            datetime  i64 microseconds since 1970-01-01 (naive, fold 0)
//            timestamp unit:u8 i64 (naive pd.Timestamp, fold 0)
//   column   kind:u8  has_mask:u8  [mask: rows x u8 (0 value, 1 None, 2 pd.NA)]
//            [unit:u8, timestamp only: 0 s, 1 ms, 2 us, 3 ns]  len:varint data
//            data by kind (a masked row keeps a zero or empty slot):
//            int64 / float64     rows x 8 bytes
//            bool                rows x 1 byte
//            date                rows x i32 days since 1970-01-01
//            datetime            rows x i64 microseconds since 1970-01-01 (naive, fold 0)
//            timestamp           rows x i64 in its unit (naive pd.Timestamp, fold 0)
//            str                 rows x (len:varint utf8)
//            empty               nothing (every row is None or pd.NA)
//            pickle              the pickled list of the column's values
//            values (version 2)  rows x value, never masked: a column of mixed kinds
// All numbers little-endian. A value is sealed with the lowest version that
// holds it, so a reader of version 1 reads every value that needs nothing of
// version 2. A version the reader does not know is a miss, not damage; so is
// a flag (none is defined yet).
//
// Pickled bytes are read by an unpickler that admits only the types named in
// safe_unpickler.cpp; a value that needs any other is refused when written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrax::store {

inline constexpr char frame_magic[2] = {'V', 'X'};
inline constexpr std::uint8_t first_format_version = 1;
inline constexpr std::uint8_t format_version = 2;
inline constexpr std::size_t frame_header_size = 12;
// Where the checksum (the value's version) lies in the header, and its size.
inline constexpr std::size_t frame_version_offset = 4;
inline constexpr std::size_t frame_version_size = 8;

enum class Tag : std::uint8_t {
    none = 0,
    false_ = 1,
    true_ = 2,
    na = 3,
    int64 = 4,
    float64 = 5,
    str = 6,
    dict = 7,
    records = 8,
    pickle = 9,
    // version 2
    list = 10,
    date = 11,
    datetime = 12,
    timestamp = 13,
};

enum class ColumnKind : std::uint8_t {
    int64 = 0,
    float64 = 1,
    boolean = 2,
    date = 3,
    datetime = 4,
    timestamp = 5,
    str = 6,
    empty = 7,
    pickle = 8,
    // version 2
    values = 9,
};

enum class Cell : std::uint8_t { value = 0, none = 1, na = 2 };

enum class TimeUnit : std::uint8_t { s = 0, ms = 1, us = 2, ns = 3 };

}  // namespace veltrax::store
