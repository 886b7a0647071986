// The shared level of the store: a Redis that the shells of a desk share, behind
// each shell's memory and disk levels. It keeps opaque byte strings under keys of
// its own namespace (so one Redis can serve other users too); of a value it reads
// only the version its frame header carries (frame_version).
//
// Changes are conditional and each is one server-side script (redis_scripts.hpp),
// which keeps an index of the keys and when each last changed: listing costs what it
// returns, never a walk of the database. Local copies stay honest through client-side
// caching (redis_invalidations.hpp): while the level tracks the namespace, every
// change by anyone reaches `take_invalidations`; a copy known current in this
// `session` needs no round trip, any other is confirmed with `held`.
//
// Faults are not errors here. Redis absent, refusing AUTH, restarting, full, or
// dropping the connection: the operation answers "unavailable" within its timeout
// and the caller goes on with its local levels. The first failure of an outage is
// reported once through `warn`; the level then stays away (answering "unavailable"
// at once, without I/O) for a back-off that doubles from `first_retry` up to
// `longest_retry` (an OutagePolicy), and the first operation after it tries again.
// When that works the outage is over (`in_outage`); saying so is the caller's, who
// knows what it has to send back. A connection that dies between two operations (an
// idle connection closed by the server or a firewall) is replaced at once, without an
// outage. Any failure during a round trip (no answer, a reply that does not parse or
// is too large, no memory for it) drops the connection, so no half-read reply is left
// for the next command.
//
// How long one call may take: connecting costs at most 2 x `connect_timeout` (the
// main connection and the one invalidations arrive on; a host name is resolved first,
// without a bound: name the server by address to avoid that) and three round trips
// (AUTH and SELECT; CLIENT ID and SUBSCRIBE; CLIENT TRACKING), each at most
// `command_timeout`; then one or two round trips for the call itself (a script Redis
// no longer has is sent again in full), and as many more when it found its idle
// connection dropped and tried a fresh one.
//
// Thread-safe: one connection, guarded by a mutex; a call waits for the one before it.
// Calls never touch Python: the binding releases the GIL around them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dualcache/outage_policy.hpp"
#include "dualcache/redis_invalidations.hpp"
#include "dualcache/redis_url.hpp"
#include "dualcache/shared_seen.hpp"

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
        // access to it can plant one. Nothing larger is written either.
        std::size_t largest_value = std::size_t{64} << 20;
        // Client-side caching; without it no copy is ever known current (every one is
        // confirmed before use).
        bool track_changes = true;
        // How often the invalidation connection, quiet while nothing changes, is pinged.
        Milliseconds ping_every{5000};
        // Times the back-off; the I/O deadlines always use the steady clock.
        std::function<TimePoint()> clock = std::chrono::steady_clock::now;
    };

    struct Lookup {
        enum class Outcome { hit, miss, unavailable };
        Outcome outcome;
        std::string value;  // the stored bytes, on a hit
    };

    // What the level holds under a key, told by the value's header alone.
    struct Held {
        enum class Outcome { value, absent, foreign, unavailable };
        Outcome outcome;
        std::uint64_t version = 0;  // of the value

        // It holds a value, and another than this version.
        bool differs_from(std::uint64_t other) const {
            return outcome == Outcome::value && version != other;
        }
    };

    // What became of a conditional change (redis_scripts.hpp).
    struct Changed {
        enum class Outcome {
            applied,
            not_applied,  // a later change stands, or (a removal) a value its maker had not seen
            refused,      // Redis refused the script for this key (see refusal)
            unavailable,
        };
        Outcome outcome = Outcome::unavailable;
        bool held = false;    // a removal found a value there
        std::string refusal;  // Redis's error, when refused

        static Changed of(Outcome outcome, bool held = false, std::string refusal = {}) {
            Changed changed;
            changed.outcome = outcome;
            changed.held = held;
            changed.refusal = std::move(refusal);
            return changed;
        }
    };

    // `key_namespace` (e.g. "veltrax:kline:") goes before every key in Redis and is
    // never seen by the caller; it must end with ':'. Connects on first use, never here.
    RedisLevel(RedisAddress address, std::string key_namespace, Options options, Warn warn);
    ~RedisLevel();
    RedisLevel(const RedisLevel &) = delete;
    RedisLevel &operator=(const RedisLevel &) = delete;

    Lookup get(std::string_view key);
    Held held(std::string_view key);
    // A change made at `changed_ms` (milliseconds since the epoch) by a store that last
    // knew the level to hold `seen` under the key. A value over largest_value is not
    // sent: the caller is to share a removal instead.
    Changed put(std::string_view key, std::string_view value, SharedSeen seen,
                std::int64_t changed_ms);
    Changed erase(std::string_view key, SharedSeen seen, std::int64_t changed_ms);
    // Whether get would find a value there (a string of at most largest_value bytes);
    // nothing when Redis is unavailable.
    std::optional<bool> contains(std::string_view key);
    // From the index, sorted; nothing when Redis is unavailable.
    std::optional<std::vector<std::string>> keys();
    std::optional<std::vector<std::string>> keys_with_prefix(std::string_view prefix);

    // The tracking session: a copy confirmed (or written, or read) in it stays current
    // until an invalidation of its key is taken. 0 while nothing is tracked. A new
    // session begins whenever tracking (re)starts: what was confirmed before is not
    // known current any more. An atomic read: no I/O, no lock.
    std::uint64_t session() const { return session_.load(std::memory_order_relaxed); }
    // Invalidations (or the loss of their connection) waiting to be taken: one relaxed load.
    bool invalidations_waiting() const { return invalidated_.waiting(); }
    // The keys someone changed since the last take (without the namespace). A flush, or a
    // lost invalidation connection, ends the session instead.
    std::vector<std::string> take_invalidations();

    // Between the outage's warning and the "back" line. Reads a flag: no I/O, no lock.
    bool in_outage() const { return in_outage_.load(); }
    // Whether a call now would try Redis (no outage, or its wait is over).
    bool may_try();
    std::size_t largest_value() const { return options_.largest_value; }
    // "redis://host:port/db": how the level is named in logs, without credentials.
    const std::string &where() const { return where_; }

private:
    struct Script;
    template <typename Work>
    auto attempt(Work work) -> std::optional<decltype(work(std::declval<redis::Connection &>()))>;
    void connect();
    void end_session();
    void lost(const std::string &cause);
    Changed change(Script &script, std::string_view key, std::vector<std::string> arguments);
    std::string namespaced(std::string_view key) const;
    std::string without_password(std::string text) const;

    const RedisAddress address_;
    const std::string where_;
    const std::string namespace_;
    const std::string index_;    // the keys, in a sorted set
    const std::string changes_;  // when each key last changed
    const Options options_;
    const Warn warn_;
    std::unique_ptr<Script> write_, remove_, list_;

    Invalidated invalidated_;  // the listener's findings, synchronised by itself
    std::mutex mutex_;         // guards everything below
    std::unique_ptr<InvalidationListener> listener_;
    std::unique_ptr<redis::Connection> connection_;
    std::uint64_t sessions_ = 0;  // sessions begun
    std::atomic<std::uint64_t> session_{0};
    OutagePolicy outage_;
    std::atomic<bool> in_outage_{false};  // outage_ as read without the lock
};

}  // namespace veltrax::store
