// The changes the shared level is still to get from this store: keys written or
// removed here while it was away, and the rules for settling them. Plain C++: the
// store sends the changes; this keeps them, in the order they are to be sent
// (removals, then writes, whose latest value the store reads as it sends them).
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace veltrax::store {

class SharedOutbox {
public:
    struct Change {
        enum class Kind { removal, write };
        Kind kind;
        std::string key;
    };

    // A write or removal of the key here; `sent` when the shared level got it too.
    // The latest change of a key is the one that counts.
    void wrote(std::string_view key, bool sent);
    void removed(std::string_view key, bool sent);
    // Memory let go of the only copy of an unsent write: what the shared level holds
    // under the key is older than what was written, so it is to be removed instead.
    void lost(std::string_view key);

    // Whether the shared level's value under the key may be read: not while it is
    // still to get a change of it made here.
    bool may_read(std::string_view key) const {
        return !unsent_.contains(key) && !unremoved_.contains(key);
    }
    // Whether a key the shared level lists is one the store holds: not once removed here.
    bool may_list(std::string_view key) const { return !unremoved_.contains(key); }

    std::size_t size() const { return unsent_.size() + unremoved_.size(); }
    bool empty() const { return size() == 0; }

    // The changes to send now, removals first.
    std::vector<Change> pending() const;
    // Whether the change is still to be sent (not settled, nor overtaken by another).
    bool holds(const Change &change) const;
    // The shared level got the change.
    void settled(const Change &change);

private:
    using Keys = std::set<std::string, std::less<>>;
    Keys &keys_of(Change::Kind kind) { return kind == Change::Kind::write ? unsent_ : unremoved_; }
    const Keys &keys_of(Change::Kind kind) const {
        return kind == Change::Kind::write ? unsent_ : unremoved_;
    }

    Keys unsent_;     // written here, whose latest value the shared level has not got
    Keys unremoved_;  // removed here, which the shared level may still hold
};

}  // namespace veltrax::store
