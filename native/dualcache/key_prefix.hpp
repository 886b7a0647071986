// Keys that begin with a prefix, as a range of texts compared byte by byte: the
// disk's and the shared level's listings by prefix both read such a range.
#pragma once

#include <string>
#include <string_view>

namespace veltrax::store {

// The least text above every text that begins with `prefix`, or "" when there is none.
inline std::string prefix_end(std::string_view prefix) {
    std::string end(prefix);
    while (!end.empty() && static_cast<unsigned char>(end.back()) == 0xFF) end.pop_back();
    if (!end.empty()) end.back() = static_cast<char>(static_cast<unsigned char>(end.back()) + 1);
    return end;
}

}  // namespace veltrax::store
