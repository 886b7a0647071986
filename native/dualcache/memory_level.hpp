// The memory level of the store: entries by key, bounded by what they take;
// the least recently used go first (they stay on disk). An entry the disk has
// not got yet (written while the disk was away) leaves only when nothing else
// can: it is the one copy there is. Each entry knows how it stands with the shared
// level, if the store has one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dualcache/shared_seen.hpp"

namespace veltrax::store {

// A memory entry and the shared level.
struct SharedCopy {
    std::uint64_t version = 0;  // of this value's frame
    // The shared level's tracking session in which it was last known to hold this value
    // (or none at the key); 0: not known now. Taking an invalidation of the key resets it.
    std::uint64_t session = 0;
    SharedSeen seen;  // what the shared level held under the key, as last known here

    static SharedCopy of(std::uint64_t version) {
        SharedCopy copy;
        copy.version = version;
        return copy;
    }
};

template <typename Value>
class MemoryLevel {
public:
    struct Entry {
        std::string key;
        Value value;
        std::size_t bytes;      // the value's, its bookkeeping's, and its unsynced bytes'
        std::uint64_t stamp;    // the disk row this value was read from or written as
        std::uint64_t checked;  // change epoch at which the stamp was last known current
        std::string unsynced;   // the stored bytes, while the disk has not got them
        SharedCopy shared;
        bool used = true;        // read since its use was last given to the disk
        bool set_aside = false;  // the disk had no room for it: written again as the store closes
    };

    // What an entry's key and place in the level take, beside its value.
    static std::size_t bookkeeping(std::string_view key) {
        constexpr std::size_t list_node = sizeof(Entry) + 2 * sizeof(void *);
        constexpr std::size_t index_node = 4 * sizeof(void *) + sizeof(std::size_t);
        return list_node + index_node + (key.size() > 15 ? key.size() + 1 : 0);
    }

    explicit MemoryLevel(std::size_t limit) : limit_(limit) {}

    // The entry, now the most recently used; null when absent.
    Entry *find(std::string_view key) {
        auto found = index_.find(key);
        if (found == index_.end()) return nullptr;
        if (found->second != order_.begin()) order_.splice(order_.begin(), order_, found->second);
        return &*found->second;
    }

    // The entry, left where it is in the order of use; null when absent.
    const Entry *peek(std::string_view key) const {
        auto found = index_.find(key);
        return found == index_.end() ? nullptr : &*found->second;
    }
    Entry *peek(std::string_view key) {
        auto found = index_.find(key);
        return found == index_.end() ? nullptr : &*found->second;
    }

    // Stores or replaces an entry; `value_bytes` is what the value takes. One
    // larger than the whole limit is not kept. Returns the values that left (the
    // replaced one and those pushed out), for the caller to release once the
    // level is consistent again: releasing a value may run arbitrary code.
    std::vector<Value> put(std::string key, Value value, std::size_t value_bytes,
                           std::uint64_t stamp, std::uint64_t checked, std::string unsynced = {},
                           SharedCopy shared = {}) {
        std::vector<Value> gone;
        if (auto old = erase(key)) gone.push_back(std::move(*old));
        std::size_t bytes = value_bytes + bookkeeping(key) + unsynced.size();
        if (bytes > limit_) {
            if (!unsynced.empty()) lost_.push_back(std::move(key));
            gone.push_back(std::move(value));
            return gone;
        }
        unsynced_ += !unsynced.empty();
        order_.push_front(Entry{std::move(key), std::move(value), bytes, stamp, checked,
                                std::move(unsynced), shared});
        index_.emplace(order_.front().key, order_.begin());
        bytes_ += bytes;
        shrink_to(limit_, gone);
        return gone;
    }

    std::optional<Value> erase(std::string_view key) {
        auto found = index_.find(key);
        if (found == index_.end()) return std::nullopt;
        auto node = found->second;
        index_.erase(found);
        forget(*node);
        std::optional<Value> value(std::move(node->value));
        order_.erase(node);
        return value;
    }

    // The disk has the entry now, as the row with this stamp.
    void synced(Entry &entry, std::uint64_t stamp, std::uint64_t checked) {
        if (entry.unsynced.empty()) return;
        bytes_ -= entry.unsynced.size();
        entry.bytes -= entry.unsynced.size();
        entry.unsynced = std::string();
        --unsynced_;
        entry.stamp = stamp;
        entry.checked = checked;
    }

    std::vector<Entry *> unsynced_entries() {
        std::vector<Entry *> entries;
        if (unsynced_)
            for (Entry &entry : order_)
                if (!entry.unsynced.empty()) entries.push_back(&entry);
        return entries;
    }

    // The keys read since this was last asked, least recently used first.
    std::vector<std::string> take_used() {
        std::vector<std::string> keys;
        for (auto entry = order_.rbegin(); entry != order_.rend(); ++entry)
            if (entry->used && entry->unsynced.empty()) {
                keys.push_back(entry->key);
                entry->used = false;
            }
        return keys;
    }

    // Keys of entries the disk had not got that left all the same (memory could
    // not hold them): what the disk has under them is out of date.
    std::vector<std::string> take_lost() { return std::exchange(lost_, {}); }

    std::vector<std::string> keys() const {
        std::vector<std::string> keys;
        for (const Entry &entry : order_) keys.push_back(entry.key);
        return keys;
    }

    std::vector<Value> set_limit(std::size_t limit) {
        limit_ = limit;
        std::vector<Value> gone;
        shrink_to(limit_, gone);
        return gone;
    }

    // Drops what the disk also has: after the disk's file was replaced it no
    // longer describes the disk. Entries the disk has not got stay.
    std::vector<Value> drop_synced() {
        std::vector<Value> gone;
        for (auto entry = order_.begin(); entry != order_.end();) {
            if (!entry->unsynced.empty()) {
                ++entry;
                continue;
            }
            index_.erase(entry->key);
            forget(*entry);
            gone.push_back(std::move(entry->value));
            entry = order_.erase(entry);
        }
        return gone;
    }

    std::vector<Value> clear() {
        std::vector<Value> gone;
        while (!order_.empty()) pop(std::prev(order_.end()), gone);
        lost_.clear();
        return gone;
    }

    std::size_t size() const { return index_.size(); }
    std::size_t unsynced() const { return unsynced_; }
    std::size_t bytes() const { return bytes_; }
    std::size_t limit() const { return limit_; }

private:
    using Node = typename std::list<Entry>::iterator;

    void forget(const Entry &entry) {
        bytes_ -= entry.bytes;
        unsynced_ -= !entry.unsynced.empty();
    }

    // The least recently used entry the disk has, else the least recently used.
    void shrink_to(std::size_t limit, std::vector<Value> &gone) {
        while (bytes_ > limit && !order_.empty()) {
            Node victim = std::prev(order_.end());
            if (unsynced_ && unsynced_ < order_.size())
                while (!victim->unsynced.empty()) --victim;
            pop(victim, gone);
        }
    }

    void pop(Node node, std::vector<Value> &gone) {
        if (!node->unsynced.empty()) lost_.push_back(node->key);
        index_.erase(node->key);
        forget(*node);
        gone.push_back(std::move(node->value));
        order_.erase(node);
    }

    std::size_t limit_;
    std::size_t bytes_ = 0;
    std::size_t unsynced_ = 0;  // entries the disk has not got
    std::vector<std::string> lost_;
    std::list<Entry> order_;    // most recently used first; nodes never move, so keys can be viewed
    std::unordered_map<std::string_view, Node> index_;
};

}  // namespace veltrax::store
