#include "dualcache/frame.hpp"

#include <xxhash.h>

#include <cstring>

#include "dualcache/layout.hpp"

namespace veltrax::store {

namespace {

// The checksum covers version and flags too: a flipped version byte is damage,
// not a value from a later format.
std::uint64_t header_seed(std::uint8_t version, std::uint8_t flags) {
    return static_cast<std::uint64_t>(version) << 8 | flags;
}

std::uint64_t checksum(std::string_view body, std::uint64_t seed) {
    return XXH64(body.data(), body.size(), seed);
}

}  // namespace

ByteWriter start_frame() {
    ByteWriter writer;
    writer.grow(frame_header_size);
    return writer;
}

std::string seal_frame(ByteWriter &&writer, std::uint8_t version) {
    std::string &bytes = writer.bytes();
    std::uint64_t sum = checksum(std::string_view(bytes).substr(frame_header_size),
                                 header_seed(version, 0));
    bytes[0] = frame_magic[0];
    bytes[1] = frame_magic[1];
    bytes[2] = static_cast<char>(version);
    bytes[3] = 0;
    std::memcpy(bytes.data() + 4, &sum, sizeof sum);
    return std::move(bytes);
}

std::uint64_t frame_version(std::string_view stored) {
    std::uint64_t sum = 0;
    if (stored.size() >= frame_header_size && stored[0] == frame_magic[0] &&
        stored[1] == frame_magic[1])
        std::memcpy(&sum, stored.data() + frame_version_offset, sizeof sum);
    return sum;
}

Frame open_frame(std::string_view stored) {
    if (stored.size() < frame_header_size) throw FormatError("shorter than a frame header");
    if (stored[0] != frame_magic[0] || stored[1] != frame_magic[1])
        throw FormatError("not a value this store wrote");
    std::uint64_t sum;
    std::memcpy(&sum, stored.data() + 4, sizeof sum);
    std::string_view body = stored.substr(frame_header_size);
    auto version = static_cast<std::uint8_t>(stored[2]);
    auto flags = static_cast<std::uint8_t>(stored[3]);
    if (checksum(body, header_seed(version, flags)) != sum) throw FormatError("checksum mismatch");
    return {version, flags, body};
}

}  // namespace veltrax::store
