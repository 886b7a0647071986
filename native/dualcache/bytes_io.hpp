// Little-endian writing and bounds-checked reading of the stored value layout.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veltrax::store {

static_assert(std::endian::native == std::endian::little,
              "stored values are little-endian; a big-endian port needs byte swaps here");

// A stored value that cannot be what this program wrote: cut, bit-flipped, or not ours.
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ByteWriter {
public:
    void u8(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }

    template <typename Fixed>
    void fixed(Fixed value) {
        static_assert(std::is_trivially_copyable_v<Fixed>);
        std::memcpy(grow(sizeof value), &value, sizeof value);
    }

    // LEB128: seven bits a byte, low bits first.
    void varint(std::uint64_t value) {
        while (value >= 0x80) {
            u8(static_cast<std::uint8_t>(value | 0x80));
            value >>= 7;
        }
        u8(static_cast<std::uint8_t>(value));
    }

    void raw(std::string_view bytes) { out_.append(bytes); }

    // A length, then the bytes.
    void text(std::string_view bytes) {
        varint(bytes.size());
        raw(bytes);
    }

    // Room for `size` more bytes, written by the caller through the pointer.
    char *grow(std::size_t size) {
        std::size_t at = out_.size();
        out_.resize(at + size);
        return out_.data() + at;
    }

    std::size_t size() const { return out_.size(); }
    std::string &bytes() { return out_; }

private:
    std::string out_;
};

class ByteReader {
public:
    explicit ByteReader(std::string_view bytes) : at_(bytes.data()), end_(at_ + bytes.size()) {}

    std::uint8_t u8() { return static_cast<std::uint8_t>(*take(1).data()); }

    template <typename Fixed>
    Fixed fixed() {
        Fixed value;
        std::memcpy(&value, take(sizeof value).data(), sizeof value);
        return value;
    }

    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            std::uint8_t byte = u8();
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) return value;
        }
        throw FormatError("a length runs past 64 bits");
    }

    // A count of items of `item_size` bytes each that must still fit in what is left.
    std::size_t count(std::size_t item_size) {
        std::uint64_t n = varint();
        if (item_size && n > left() / item_size) throw FormatError("a count runs past the end");
        return static_cast<std::size_t>(n);
    }

    std::string_view take(std::size_t size) {
        if (size > left()) throw FormatError("the value is cut short");
        std::string_view bytes(at_, size);
        at_ += size;
        return bytes;
    }

    std::string_view text() { return take(count(1)); }

    std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

private:
    const char *at_;
    const char *end_;
};

}  // namespace veltrax::store
