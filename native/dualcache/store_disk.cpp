// The disk as the store keeps it: its outages, the write-back of what memory kept
// meanwhile, the uses of entries it is to hear of, and following its changes.
#include "dualcache/store.hpp"

#include <cstdio>

namespace veltrax::store {

namespace nb = nanobind;

namespace {

std::string seconds_text(OutagePolicy::Clock::duration duration) {
    double seconds = std::chrono::duration<double>(duration).count();
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

}  // namespace

void DualCache::open_disk() {
    try {
        without_gil([&] { disk_.open(); });
    } catch (const StoreError &error) {
        disk_failed(error, true);
        return;
    }
    synchronise();
    if (disk_.read_only()) disk_failed(StoreError(disk_.read_only_reason()), false);
}

void DualCache::disk_failed(const StoreError &error, bool reading) {
    if (!disk_state_.failed(reading, Clock::now())) return;
    std::vector<std::string> values{disk_.file().string(), error.reason(),
                                    seconds_text(disk_state_.longest_retry())};
    if (reading)
        lock_.log(DiskLevel::Level::warning,
                  "The cache store {} cannot be used ({}); keeping entries in memory and trying "
                  "it again every {}",
                  std::move(values));
    else
        lock_.log(DiskLevel::Level::warning,
                  "The cache store {} cannot be written ({}); keeping new entries in memory and "
                  "trying it again every {}",
                  std::move(values));
}

// A reopen that fails leaves the disk as it was (unusable) and is tried again later.
void DualCache::retry_disk() {
    Clock::time_point now = Clock::now();
    try {
        if (!disk_.is_open() || disk_.read_only()) without_gil([&] { disk_.open(); });
        synchronise();
        disk_state_.restored(false, now);  // it can be read, whatever writing back meets
        if (disk_.read_only()) return;
        std::size_t written = write_back();
        if (disk_state_.restored(true, now))
            lock_.log(DiskLevel::Level::info,
                      "The cache store {} works again; wrote {} entries kept in memory to it",
                      {disk_.file().string(), std::to_string(written)});
    } catch (const StoreError &) {
        disk_state_.failed(!disk_.is_open(), now);  // the same outage: not reported again
    }
}

// What the disk missed while it was away: removals, then entries only memory holds.
std::size_t DualCache::write_back() {
    for (auto key = removed_while_away_.begin(); key != removed_while_away_.end();) {
        without_gil([&] { disk_.erase(*key); });
        key = removed_while_away_.erase(key);
    }
    std::size_t written = 0;
    std::uint64_t epoch = disk_.epoch();
    for (Memory::Entry *entry : memory_.unsynced_entries()) {
        std::uint64_t stamp = without_gil([&] { return disk_.put(entry->key, entry->unsynced); });
        memory_.synced(*entry, stamp, epoch);
        ++written;
    }
    synchronise();
    return written;
}

std::vector<std::string> DualCache::uses_to_give() {
    std::vector<std::string> used = memory_.take_used();
    used.insert(used.end(), uses_pending_.begin(), uses_pending_.end());
    uses_pending_.clear();
    return used;
}

void DualCache::give_uses() {
    uses_given_ = Clock::now();
    std::vector<std::string> used = uses_to_give();
    if (used.empty()) return;
    try {
        without_gil([&] { disk_.record_use(used); });
    } catch (const StoreError &error) {
        disk_failed(error, false);
    }
}

// After the disk level set its file aside or followed a replaced one, what
// memory holds from the disk no longer describes it.
void DualCache::synchronise() {
    if (disk_.generation() == generation_) return;
    generation_ = disk_.generation();
    let_go(memory_.drop_synced());
}

std::uint64_t DualCache::current_epoch() {
    if (disk_state_.readable() && disk_.maybe_changed()) {
        try {
            without_gil([&] { disk_.refresh_epoch(); });
        } catch (const StoreError &error) {
            disk_failed(error, true);
        }
        synchronise();
    }
    return disk_.epoch();
}

}  // namespace veltrax::store
