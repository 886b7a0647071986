// Python values to stored bytes and back (the layout is in layout.hpp).
// Bar lists, the lists of records that pandas' to_dict(orient="records")
// gives, are stored column by column, and the containers and scalars they are
// made of have tags of their own; only values of other admitted types are
// pickled. Every value comes back with its exact type and value.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veltrax::store {

struct Encoded {
    std::string stored;
    std::size_t memory_bytes;  // what the value's Python objects take in memory
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

// Python errors of pickling reach the caller; a value that could not be read
// back without running code is a TypeError.
Encoded encode(nanobind::handle value);

// Throws FormatError when the bytes are damaged, forged, or cannot be rebuilt
// (a name the safe unpickler does not admit, more than memory allows, objects
// that would take more than `memory_budget` bytes), and UnknownFormat for a
// later format. Reading costs at most what the bytes and the budget allow, and
// lets other threads and Ctrl-C (KeyboardInterrupt) through as it goes.
Decoded decode(std::string_view stored, std::size_t memory_budget);

}  // namespace veltrax::store
