#include "dualcache/redis_url.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <optional>

namespace veltrax::store {

namespace {

constexpr std::string_view expected_form = "redis://[user:password@]host:port/db";

[[noreturn]] void refuse(std::string_view problem) {
    throw CacheUrlError("cache URL not usable: " + std::string(problem) + " (expected " +
                        std::string(expected_form) + ")");
}

std::string lowered(std::string_view text) {
    std::string result(text);
    std::ranges::transform(result, result.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::optional<int> number_in(std::string_view digits, int largest) {
    int value = 0;
    if (digits.empty() ||
        !std::ranges::all_of(digits, [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value > largest)
        return std::nullopt;
    return value;
}

// Undoes %XX escapes; `what` names the part in the error, never its text.
std::string percent_decoded(std::string_view text, std::string_view what) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            result += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            refuse(std::string(what) + " has a bad %-escape");
        unsigned byte = 0;
        std::from_chars(text.data() + i + 1, text.data() + i + 3, byte, 16);
        result += static_cast<char>(byte);
        i += 2;
    }
    return result;
}

}  // namespace

std::string RedisAddress::described() const {
    bool ipv6 = host.find(':') != std::string::npos;
    return "redis://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/" +
           std::to_string(db);
}

RedisAddress parse_redis_url(std::string_view url) {
    std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string_view::npos) refuse("no redis:// at the start");
    std::string scheme = lowered(url.substr(0, scheme_end));
    if (scheme == "rediss")
        refuse(
            "rediss:// (TLS) needs a hiredis with TLS support (1.0 or later), and this build's "
            "hiredis (Debian's 0.14) has none; reach Redis over a trusted network, or through a "
            "TLS tunnel with redis://");
    if (scheme != "redis") refuse("the scheme must be redis://");
    std::string_view rest = url.substr(scheme_end + 3);

    RedisAddress address;
    // The last '@' ends the credentials, so a password with an unescaped '@', '/' or '?' still
    // works. No part of the URL is repeated in an error: a mistyped one may have its password
    // where the host or port belongs.
    std::size_t at = rest.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view credentials = rest.substr(0, at);
        rest = rest.substr(at + 1);
        std::size_t colon = credentials.find(':');
        if (colon == std::string_view::npos)
            refuse(
                "a user needs a password (user:password@), or give the password alone as "
                ":password@");
        address.user = percent_decoded(credentials.substr(0, colon), "the user");
        address.password = percent_decoded(credentials.substr(colon + 1), "the password");
        if (address.password.empty() && !address.user.empty())
            refuse("the user has an empty password");
    }
    if (rest.find_first_of("?#") != std::string_view::npos)
        refuse("it takes no ?options or #fragment");

    std::size_t path_start = rest.find('/');
    std::string_view authority = rest.substr(0, path_start);
    std::string_view path = path_start == std::string_view::npos ? "" : rest.substr(path_start + 1);

    std::string_view host_and_port = authority;
    if (authority.starts_with('[')) {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) refuse("an IPv6 address needs its closing ']'");
        address.host = authority.substr(1, close - 1);
        host_and_port = authority.substr(close + 1);
        if (!host_and_port.empty() && !host_and_port.starts_with(':'))
            refuse("text after the IPv6 address");
    } else {
        address.host = authority.substr(0, authority.find(':'));
    }
    std::size_t colon = host_and_port.find(':');
    std::optional<std::string_view> port;
    if (colon != std::string_view::npos) port = host_and_port.substr(colon + 1);
    if (address.host.empty()) refuse("no host");
    if (port) {
        std::optional<int> number = number_in(*port, std::numeric_limits<std::uint16_t>::max());
        if (!number || *number == 0) refuse("the port must be a number from 1 to 65535");
        address.port = *number;
    }
    if (!path.empty()) {
        std::optional<int> number = number_in(path, std::numeric_limits<int>::max());
        if (!number) refuse("the database after '/' must be a number");
        address.db = *number;
    }
    return address;
}

}  // namespace veltrax::store
