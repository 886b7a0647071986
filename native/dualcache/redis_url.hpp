// Where the shared cache lives, read from a URL:
//   redis://[[user]:password@]host[:port][/db]
// Port 6379 and database 0 unless given. User and password may be %-encoded; a
// password alone authenticates as the default user. rediss:// (TLS) is refused:
// the hiredis Debian ships (0.14) has no TLS.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace veltrax::store {

// A cache URL that cannot be used. The text never holds the password.
class CacheUrlError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct RedisAddress {
    std::string host;  // a name, an IPv4 address, or an IPv6 address without brackets
    int port = 6379;
    int db = 0;
    std::string user;      // empty: the default user
    std::string password;  // empty: no AUTH

    // "redis://host:port/db": how logs and errors name the server, never with credentials.
    std::string described() const;
};

// Throws CacheUrlError.
RedisAddress parse_redis_url(std::string_view url);

}  // namespace veltrax::store
