// Integers written as text, read the way Python's int(text) reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace veltrax {

// Surrounding whitespace, an optional sign, decimal digits with single
// underscores between them ("1_000"). Anything else, or a value beyond 64
// bits, is not an integer.
std::optional<std::int64_t> parse_integer(std::string_view text);

}  // namespace veltrax
