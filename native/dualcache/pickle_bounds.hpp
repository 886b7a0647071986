// What reading a stored pickle may cost, found from its opcodes alone, before
// Python's unpickler makes anything of it. Python's unpickler trusts its input:
// a memo slot numbered 200,000,000 makes it allocate a table of that many
// slots, a length field is allocated before the bytes are read, and an object
// referred to many times (tuples of tuples that share their items) is hashed,
// compared or copied in full at each reference. None of that is what a pickle
// of this store's writing looks like.
#pragma once

#include <cstddef>
#include <string_view>

namespace veltrax::store {

// An object and its slot in a container, at most (a set's or dict's slot with
// the table's spare room included).
inline constexpr std::size_t pickle_object_bytes = 128;

// An upper bound of the memory and work of reading `pickle`, in bytes: every
// object it makes at pickle_object_bytes plus its text or bytes, and every
// reference to an object made earlier (a memo fetch) at the whole cost of that
// object, as if it were a copy. Throws FormatError when the bytes are not one
// whole pickle of the opcodes a pickler of protocol 2 to 5 writes, when a memo
// slot is numbered out of the order picklers number them, or when the bound
// passes `budget`.
std::size_t pickle_bound(std::string_view pickle, std::size_t budget);

}  // namespace veltrax::store
