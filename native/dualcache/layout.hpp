// The layout of a stored value (format version 1). Every value on disk is
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
// All numbers little-endian. A reader of a later format keeps reading version 1
// by this table; a version it does not know is a miss, not damage.
#pragma once

#include <cstdint>

namespace veltrax::store {

inline constexpr char frame_magic[2] = {'V', 'X'};
inline constexpr std::uint8_t format_version = 1;
inline constexpr std::size_t frame_header_size = 12;

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
};

enum class Cell : std::uint8_t { value = 0, none = 1, na = 2 };

enum class TimeUnit : std::uint8_t { s = 0, ms = 1, us = 2, ns = 3 };

}  // namespace veltrax::store
