#include "dualcache/shared_outbox.hpp"

#include <algorithm>

namespace veltrax::store {

namespace {

bool older(const SharedOutbox::Change &a, const SharedOutbox::Change &b) {
    return a.changed_ms != b.changed_ms ? a.changed_ms < b.changed_ms : a.key < b.key;
}

}  // namespace

const SharedOutbox::Change &SharedOutbox::record(Change change) {
    auto found = changes_.find(change.key);
    if (found != changes_.end()) {
        change.seen = found->second.seen;  // the shared level has got none of them
        erase(found);
    }
    change.set_aside = false;
    if (change.kind == Change::Kind::removal) change.bytes = 0;
    bytes_ += change.bytes;
    std::string key = change.key;
    return changes_.insert_or_assign(std::move(key), std::move(change)).first->second;
}

void SharedOutbox::sent(std::string_view key) {
    if (auto found = changes_.find(key); found != changes_.end()) erase(found);
}

void SharedOutbox::lost(std::string_view key) {
    auto found = changes_.find(key);
    if (found == changes_.end() || found->second.kind != Change::Kind::write) return;
    Change removal = found->second;
    removal.kind = Change::Kind::removal;
    record(std::move(removal));
}

void SharedOutbox::load(std::vector<Change> changes) {
    for (Change &change : changes) {
        auto found = changes_.find(change.key);
        if (found != changes_.end() && found->second.changed_ms >= change.changed_ms) continue;
        if (found != changes_.end()) erase(found);
        bytes_ += change.kind == Change::Kind::write ? change.bytes : 0;
        set_aside_ += change.set_aside;
        std::string key = change.key;
        changes_.emplace(std::move(key), std::move(change));
    }
}

bool SharedOutbox::may_list(std::string_view key) const {
    auto found = changes_.find(key);
    return found == changes_.end() || found->second.kind != Change::Kind::removal;
}

std::vector<SharedOutbox::Change> SharedOutbox::pending() const {
    std::vector<Change> changes;
    changes.reserve(to_send());
    for (const auto &[key, change] : changes_)
        if (!change.set_aside) changes.push_back(change);
    std::sort(changes.begin(), changes.end(), older);
    return changes;
}

bool SharedOutbox::holds(const Change &change) const {
    auto found = changes_.find(change.key);
    return found != changes_.end() && !found->second.set_aside &&
           found->second.kind == change.kind && found->second.changed_ms == change.changed_ms;
}

void SharedOutbox::settled(const Change &change) {
    if (holds(change)) erase(changes_.find(change.key));
}

void SharedOutbox::set_aside(const Change &change) {
    if (!holds(change)) return;
    changes_.find(change.key)->second.set_aside = true;
    ++set_aside_;
}

std::vector<SharedOutbox::Change> SharedOutbox::over_bounds(std::int64_t now_ms) {
    std::vector<Change> gone;
    bool too_many = changes_.size() > bounds_.changes || bytes_ > bounds_.bytes;
    bool too_old = false;
    for (const auto &[key, change] : changes_) too_old = too_old || now_ms - change.changed_ms > bounds_.age_ms;
    if (!too_many && !too_old) return gone;
    std::vector<Change> by_age;
    by_age.reserve(changes_.size());
    for (const auto &[key, change] : changes_) by_age.push_back(change);
    std::sort(by_age.begin(), by_age.end(), older);
    for (Change &change : by_age) {
        bool keep = now_ms - change.changed_ms <= bounds_.age_ms &&
                    changes_.size() <= bounds_.changes && bytes_ <= bounds_.bytes;
        if (keep) break;
        erase(changes_.find(change.key));
        gone.push_back(std::move(change));
    }
    return gone;
}

void SharedOutbox::erase(std::map<std::string, Change, std::less<>>::iterator change) {
    bytes_ -= change->second.kind == Change::Kind::write ? change->second.bytes : 0;
    set_aside_ -= change->second.set_aside;
    changes_.erase(change);
}

}  // namespace veltrax::store
