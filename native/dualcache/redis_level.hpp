// The shared level of the store: a Redis that the shells of a desk share, behind
// each shell's memory and disk levels. It keeps opaque byte strings under keys of
// its own namespace (so one Redis can serve other users too) and never looks
// inside a value.
//
// Faults are not errors here. Redis absent, refusing AUTH, restarting, full, or
// dropping the connection: the operation answers "unavailable" within its timeout
// and the caller goes on with its local levels. The first failure of an outage is
// reported once through `warn`; the level then stays away (answering "unavailable"
// at once, without I/O) for a back-off that doubles from `first_retry` up to
// `longest_retry` (an OutagePolicy), and the first operation after it tries again.
// When that works the outage is over (`in_outage`); saying so is the caller's, who
// knows what it has to send back. A connection that dies between two operations (an idle connection closed
// by the server or a firewall) is replaced at once, without an outage.
//
// How long one call may take: connecting costs at most `connect_timeout` (a host name
// is resolved first, without a bound: name the server by address to avoid that), and
// each round trip at most `command_timeout` (AUTH and SELECT share one): a call costs
// at most connect_timeout + 2 x command_timeout, and one command_timeout more when it
// found its idle connection dropped and tried a fresh one. The listings make one round
// trip per SCAN step of 1000 keys.
//
// Thread-safe: one connection, guarded by a mutex; a call waits for the one before it.
// Calls never touch Python: the binding releases the GIL around them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dualcache/outage_policy.hpp"
#include "dualcache/redis_url.hpp"

namespace veltrax::store {

namespace redis {
class Connection;
}

class RedisLevel {
public:
    using Milliseconds = std::chrono::milliseconds;
    using TimePoint = std::chrono::steady_clock::time_point;
    // A log line: a template with "{}" for each value. Called with the level's lock
    // held, so it must not call the level.
    using Warn = std::function<void(const char *message, std::vector<std::string> values)>;

    struct Options {
        Milliseconds connect_timeout{1000};
        Milliseconds command_timeout{1000};
        Milliseconds first_retry{1000};
        Milliseconds longest_retry{30000};
        // A stored value larger than this is read as a miss (with a warning), not
        // taken into memory: Redis holds up to 512 MiB at a key, and anyone with
        // access to it can plant one.
        std::size_t largest_value = std::size_t{64} << 20;
        // Times the back-off; the I/O deadlines always use the steady clock.
        std::function<TimePoint()> clock = std::chrono::steady_clock::now;
    };

    struct Lookup {
        enum class Outcome { hit, miss, unavailable };
        Outcome outcome;
        std::string value;  // the stored bytes, on a hit
    };

    // `key_namespace` (e.g. "veltrax:kline:") goes before every key in Redis and is
    // never seen by the caller; it must not be empty. Connects on first use, never
    // here.
    RedisLevel(RedisAddress address, std::string key_namespace, Options options, Warn warn);
    ~RedisLevel();
    RedisLevel(const RedisLevel &) = delete;
    RedisLevel &operator=(const RedisLevel &) = delete;

    Lookup get(std::string_view key);
    // True when Redis stored the value, false when it is unavailable.
    bool put(std::string_view key, std::string_view value);
    // Whether the key was there; nothing when Redis is unavailable.
    std::optional<bool> erase(std::string_view key);
    // Whether get would find a value there (a string of at most largest_value bytes);
    // nothing when Redis is unavailable.
    std::optional<bool> contains(std::string_view key);
    // Sorted and without repeats; nothing when Redis is unavailable. A cursor SCAN,
    // never the blocking KEYS; glob characters in the prefix match only themselves.
    std::optional<std::vector<std::string>> keys();
    std::optional<std::vector<std::string>> keys_with_prefix(std::string_view prefix);

    // Between the outage's warning and the "back" line. Reads a flag: no I/O, no lock.
    bool in_outage() const { return in_outage_.load(); }
    // "redis://host:port/db": how the level is named in logs, without credentials.
    const std::string &where() const { return where_; }

private:
    template <typename Work>
    auto attempt(Work work) -> std::optional<decltype(work(std::declval<redis::Connection &>()))>;
    void lost(const std::string &cause);
    std::string namespaced(std::string_view key) const;
    std::string without_password(std::string text) const;

    const RedisAddress address_;
    const std::string where_;
    const std::string namespace_;
    const Options options_;
    const Warn warn_;

    std::mutex mutex_;  // guards everything below
    std::unique_ptr<redis::Connection> connection_;
    OutagePolicy outage_;
    std::atomic<bool> in_outage_{false};  // outage_ as read without the lock
};

}  // namespace veltrax::store
