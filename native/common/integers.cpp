#include "common/integers.hpp"

#include <limits>

namespace veltrax {

namespace {

constexpr bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::int64_t> parse_integer(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !is_digit(text.front()) || !is_digit(text.back())) return std::nullopt;

    // Accumulate as a negative number so that the minimum value fits too.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    char previous = '0';
    for (char c : text) {
        if (c == '_') {
            if (previous == '_') return std::nullopt;
        } else if (is_digit(c)) {
            int digit = c - '0';
            if (value < (lowest + digit) / 10) return std::nullopt;
            value = value * 10 - digit;
        } else {
            return std::nullopt;
        }
        previous = c;
    }
    if (!negative) {
        if (value == lowest) return std::nullopt;
        value = -value;
    }
    return value;
}

}  // namespace veltrax
