// Sealing a stored value: magic, format version and a checksum over the body.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dualcache/bytes_io.hpp"

namespace veltrax::store {

// A writer with room for the frame header; the body follows.
ByteWriter start_frame();

// Fills in the header of a frame begun by start_frame, for a body of the given
// format version; returns the stored bytes.
std::string seal_frame(ByteWriter &&writer, std::uint8_t version);

struct Frame {
    std::uint8_t version;
    std::uint8_t flags;
    std::string_view body;
};

// The checksum a sealed frame carries: its version, as the shared level compares
// values; 0 for bytes that are no frame.
std::uint64_t frame_version(std::string_view stored);

// Checks magic and checksum; throws FormatError when the bytes are not an intact frame.
// Version and flags are returned unchecked: whether they can be read is the decoder's call.
Frame open_frame(std::string_view stored);

}  // namespace veltrax::store
