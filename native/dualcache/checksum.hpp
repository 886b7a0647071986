// XXH64, the checksum that seals every stored value.
#pragma once

#include <cstdint>
#include <string_view>

namespace veltrax::store {

std::uint64_t xxh64(std::string_view data, std::uint64_t seed = 0);

}  // namespace veltrax::store
