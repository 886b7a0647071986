// Python values to stored bytes and back (the layout is in layout.hpp).
// Bar lists, the lists of records that pandas' to_dict(orient="records")
// gives, are stored column by column; any other value is pickled. Every value
// comes back with its exact type and value.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veltrax::store {

struct Encoded {
    std::string stored;
    std::size_t memory_bytes;  // estimated size of the value as Python objects
};

struct Decoded {
    nanobind::object value;
    std::size_t memory_bytes;
};

// A stored value of a format version this build does not know: written by a
// later version, so neither damage nor something to remove.
class UnknownFormat : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Python errors of pickling reach the caller.
Encoded encode(nanobind::handle value);

// Throws FormatError when the bytes are damaged or cannot be rebuilt, and
// UnknownFormat for a later format.
Decoded decode(std::string_view stored);

}  // namespace veltrax::store
