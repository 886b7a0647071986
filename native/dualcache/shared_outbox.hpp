// The changes the shared level is still to get from this machine: writes and
// removals made while it was away, and the rules for keeping and settling them.
// Plain C++: the store sends the changes (a write's value is read back from its local
// levels as it is sent) and keeps them durably in cache.db beside its entries; this
// is the set it works from.
//
// One change per key, the latest: a later change of a key replaces the earlier one,
// yet keeps what the shared level was known to hold before the first of them (what
// the conditional change compares). A change Redis refused for its key is set aside:
// kept (so the shared level's value under the key is not read in place of this
// machine's), never sent again until the key changes anew. The outbox is bounded in
// changes and in the bytes of values to send, and in age (a change older than the
// shared level remembers change times for cannot be ordered): past a bound, the oldest
// changes go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "dualcache/shared_seen.hpp"

namespace veltrax::store {

class SharedOutbox {
public:
    struct Change {
        enum class Kind : std::uint8_t { write, removal };
        Kind kind;
        std::string key;
        std::int64_t changed_ms;  // when it was made, in milliseconds since the epoch
        SharedSeen seen;          // what the shared level held before it, as known here
        std::uint64_t bytes = 0;  // of the value to send (a write)
        bool set_aside = false;   // refused by the shared level
    };

    struct Bounds {
        std::size_t changes = 10'000;
        std::uint64_t bytes = std::uint64_t{256} << 20;
        std::int64_t age_ms;
    };

    explicit SharedOutbox(Bounds bounds) : bounds_(bounds) {}
    const Bounds &bounds() const { return bounds_; }

    // A change the shared level did not get: kept, merged with an earlier one of its key.
    // Returns the change as kept.
    const Change &record(Change change);
    // A change of the key reached the shared level (or was overtaken there): nothing of
    // the key is left to send.
    void sent(std::string_view key);
    // Memory let go of the only copy of an unsent write: what the shared level holds under
    // the key is older than what was written, so it is to be removed instead.
    void lost(std::string_view key);
    // Changes kept elsewhere (cache.db); a key's later change wins.
    void load(std::vector<Change> changes);

    // Whether the shared level's value under the key may be read: not while it is
    // still to get a change of it made here (or refused one).
    bool may_read(std::string_view key) const { return !changes_.contains(key); }
    // Whether a key the shared level lists is one the store holds: not once removed here.
    bool may_list(std::string_view key) const;

    std::size_t size() const { return changes_.size(); }
    bool empty() const { return changes_.empty(); }
    std::size_t to_send() const { return changes_.size() - set_aside_; }
    std::size_t set_aside() const { return set_aside_; }
    std::uint64_t bytes() const { return bytes_; }

    // The changes to send, oldest first.
    std::vector<Change> pending() const;
    // Whether the change is still to be sent (not settled, set aside, nor overtaken).
    bool holds(const Change &change) const;
    // The shared level got the change, or it needs sending no more.
    void settled(const Change &change);
    void set_aside(const Change &change);
    // Takes out the changes past the bounds (older than their age at `now_ms`, then the
    // oldest while there are too many or their values too large), for the caller to
    // forget and report.
    std::vector<Change> over_bounds(std::int64_t now_ms);

private:
    void erase(std::map<std::string, Change, std::less<>>::iterator change);

    Bounds bounds_;
    std::map<std::string, Change, std::less<>> changes_;
    std::size_t set_aside_ = 0;
    std::uint64_t bytes_ = 0;  // of the writes kept
};

}  // namespace veltrax::store
