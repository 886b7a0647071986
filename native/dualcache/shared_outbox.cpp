#include "dualcache/shared_outbox.hpp"

namespace veltrax::store {

namespace {

template <typename Keys>
void forget(Keys &keys, std::string_view key) {
    if (auto found = keys.find(key); found != keys.end()) keys.erase(found);
}

}  // namespace

void SharedOutbox::wrote(std::string_view key, bool sent) {
    forget(unremoved_, key);
    if (sent)
        forget(unsent_, key);
    else
        unsent_.emplace(key);
}

void SharedOutbox::removed(std::string_view key, bool sent) {
    forget(unsent_, key);
    if (sent)
        forget(unremoved_, key);
    else
        unremoved_.emplace(key);
}

void SharedOutbox::lost(std::string_view key) {
    auto unsent = unsent_.find(key);
    if (unsent == unsent_.end()) return;
    unsent_.erase(unsent);
    unremoved_.emplace(key);
}

std::vector<SharedOutbox::Change> SharedOutbox::pending() const {
    std::vector<Change> changes;
    changes.reserve(size());
    for (const std::string &key : unremoved_) changes.push_back({Change::Kind::removal, key});
    for (const std::string &key : unsent_) changes.push_back({Change::Kind::write, key});
    return changes;
}

bool SharedOutbox::holds(const Change &change) const {
    return keys_of(change.kind).contains(change.key);
}

void SharedOutbox::settled(const Change &change) { forget(keys_of(change.kind), change.key); }

}  // namespace veltrax::store
