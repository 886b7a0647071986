#include "dualcache/checksum.hpp"

#include <bit>
#include <cstring>

namespace veltrax::store {

namespace {

constexpr std::uint64_t prime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t prime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t prime3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t prime4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t prime5 = 0x27D4EB2F165667C5ULL;

static_assert(std::endian::native == std::endian::little,
              "stored values are little-endian; a big-endian port needs byte swaps here");

std::uint64_t read64(const char *p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

std::uint32_t read32(const char *p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

std::uint64_t round(std::uint64_t acc, std::uint64_t input) {
    acc += input * prime2;
    acc = std::rotl(acc, 31);
    return acc * prime1;
}

std::uint64_t merge_round(std::uint64_t acc, std::uint64_t value) {
    acc ^= round(0, value);
    return acc * prime1 + prime4;
}

}  // namespace

std::uint64_t xxh64(std::string_view data, std::uint64_t seed) {
    const char *p = data.data();
    const char *const end = p + data.size();
    std::uint64_t hash;
    if (data.size() >= 32) {
        std::uint64_t v1 = seed + prime1 + prime2;
        std::uint64_t v2 = seed + prime2;
        std::uint64_t v3 = seed;
        std::uint64_t v4 = seed - prime1;
        const char *const last_stripe = end - 32;
        do {
            v1 = round(v1, read64(p));
            v2 = round(v2, read64(p + 8));
            v3 = round(v3, read64(p + 16));
            v4 = round(v4, read64(p + 24));
            p += 32;
        } while (p <= last_stripe);
        hash = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
        hash = merge_round(hash, v1);
        hash = merge_round(hash, v2);
        hash = merge_round(hash, v3);
        hash = merge_round(hash, v4);
    } else {
        hash = seed + prime5;
    }
    hash += data.size();
    for (; p + 8 <= end; p += 8) {
        hash ^= round(0, read64(p));
        hash = std::rotl(hash, 27) * prime1 + prime4;
    }
    if (p + 4 <= end) {
        hash ^= static_cast<std::uint64_t>(read32(p)) * prime1;
        hash = std::rotl(hash, 23) * prime2 + prime3;
        p += 4;
    }
    for (; p < end; ++p) {
        hash ^= static_cast<std::uint64_t>(static_cast<unsigned char>(*p)) * prime5;
        hash = std::rotl(hash, 11) * prime1;
    }
    hash ^= hash >> 33;
    hash *= prime2;
    hash ^= hash >> 29;
    hash *= prime3;
    hash ^= hash >> 32;
    return hash;
}

}  // namespace veltrax::store
