// What a store is made with, resolved from its arguments and the environment: its
// bounds, and where its shared level is ($VELTRAX_CACHE_URL unless given) under which
// key namespace ("veltrax:[$VELTRAX_CACHE_NAMESPACE:]name:").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "dualcache/outage_policy.hpp"
#include "dualcache/redis_url.hpp"

namespace veltrax::store {

struct Limits {
    static constexpr std::size_t default_memory_bytes = std::size_t{256} << 20;
    static constexpr std::uint64_t default_disk_bytes = std::uint64_t{2} << 30;
    static constexpr double default_retry_seconds = 30;

    std::size_t memory_bytes = default_memory_bytes;
    std::uint64_t disk_bytes = default_disk_bytes;
    OutagePolicy::Clock::duration retry_after;
};

// Where the shared level is, and the namespace of the store's keys there.
struct SharedLevel {
    RedisAddress address;
    std::string key_namespace;
};

// The namespace of a store's keys in the shared level. `space` keeps stores apart
// that share one Redis database yet must not share entries (the simulated feed's
// bars and the market's).
std::string shared_key_namespace(std::string_view space, std::string_view name);

// The shared level of the store `name`: at `given_url`, else at $VELTRAX_CACHE_URL;
// none when that is empty. A bad URL given is the caller's mistake (CacheUrlError);
// a bad variable is reported once and the store goes on with its local levels, so
// a cache setting never stops a command.
std::optional<SharedLevel> shared_level(const std::optional<std::string> &given_url,
                                        std::string_view name);

}  // namespace veltrax::store
