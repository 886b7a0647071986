// The memory level of the store: entries by key, bounded by their estimated
// size; the least recently used go first (they stay on disk).
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

namespace veltrax::store {

template <typename Value>
class MemoryLevel {
public:
    struct Entry {
        std::string key;
        Value value;
        std::size_t bytes;
        std::uint64_t stamp;    // the disk row this value was read from or written as
        std::uint64_t checked;  // change epoch at which the stamp was last known current
    };

    explicit MemoryLevel(std::size_t limit) : limit_(limit) {}

    // The entry, now the most recently used; null when absent.
    Entry *find(std::string_view key) {
        auto found = index_.find(key);
        if (found == index_.end()) return nullptr;
        if (found->second != order_.begin()) order_.splice(order_.begin(), order_, found->second);
        return &*found->second;
    }

    // Stores or replaces an entry. One larger than the whole limit is not kept.
    // Returns the values that left (the replaced one and those pushed out), for
    // the caller to release once the level is consistent again: releasing a
    // value may run arbitrary code.
    std::vector<Value> put(std::string key, Value value, std::size_t bytes, std::uint64_t stamp,
                           std::uint64_t checked) {
        std::vector<Value> gone;
        if (auto old = erase(key)) gone.push_back(std::move(*old));
        if (bytes > limit_) {
            gone.push_back(std::move(value));
            return gone;
        }
        order_.push_front(Entry{std::move(key), std::move(value), bytes, stamp, checked});
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
        bytes_ -= node->bytes;
        std::optional<Value> value(std::move(node->value));
        order_.erase(node);
        return value;
    }

    std::vector<Value> set_limit(std::size_t limit) {
        limit_ = limit;
        std::vector<Value> gone;
        shrink_to(limit_, gone);
        return gone;
    }

    std::vector<Value> clear() {
        std::vector<Value> gone;
        while (!order_.empty()) pop_last(gone);
        return gone;
    }

    std::size_t size() const { return index_.size(); }
    std::size_t bytes() const { return bytes_; }
    std::size_t limit() const { return limit_; }

private:
    void shrink_to(std::size_t limit, std::vector<Value> &gone) {
        while (bytes_ > limit && !order_.empty()) pop_last(gone);
    }

    void pop_last(std::vector<Value> &gone) {
        Entry &last = order_.back();
        index_.erase(last.key);
        bytes_ -= last.bytes;
        gone.push_back(std::move(last.value));
        order_.pop_back();
    }

    std::size_t limit_;
    std::size_t bytes_ = 0;
    std::list<Entry> order_;  // most recently used first; nodes never move, so keys can be viewed
    std::unordered_map<std::string_view, typename std::list<Entry>::iterator> index_;
};

}  // namespace veltrax::store
