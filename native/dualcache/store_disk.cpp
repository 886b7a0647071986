// The disk as the store keeps it: its outages, the write-back of what memory kept
// meanwhile, the uses of entries it is to hear of, and following its changes.
#include "dualcache/store.hpp"

#include <cstdint>
#include <cstdio>

#include "dualcache/python_values.hpp"

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
        WriteBack done = write_back(false);
        set_aside(done);
        if (disk_state_.restored(true, now))
            lock_.log(DiskLevel::Level::info,
                      "The cache store {} works again; wrote {} entries kept in memory to it",
                      {disk_.file().string(), std::to_string(done.written)});
    } catch (const StoreError &) {
        disk_state_.failed(!disk_.is_open(), now);  // the same outage: not reported again
    }
}

// What the disk missed while it was away: removals, then the entries only memory
// holds, least recently used first, as the disk is to order them. The space the log
// took while the disk was full is given back first, and the log is checkpointed
// after each entry, so that it never holds the room the next one needs. An entry the
// disk has no room for stops none of the others; when none fit, the disk is still
// full: that error goes up. Entries set aside before wait for the store to close.
DualCache::WriteBack DualCache::write_back(bool closing) {
    without_gil([&] { disk_.reclaim_log(); });
    for (auto key = removed_while_away_.begin(); key != removed_while_away_.end();) {
        without_gil([&] { disk_.erase(*key); });
        key = removed_while_away_.erase(key);
    }
    WriteBack done;
    std::optional<StoreError> full;
    std::size_t refused_bytes = SIZE_MAX;  // what is at least this large meets a full disk too
    std::uint64_t epoch = disk_.epoch();
    std::vector<Memory::Entry *> entries = memory_.unsynced_entries();
    for (auto next = entries.rbegin(); next != entries.rend(); ++next) {
        Memory::Entry &entry = **next;
        if (entry.set_aside && !closing) continue;
        if (entry.unsynced.size() < refused_bytes) {
            try {
                std::uint64_t stamp = without_gil([&] {
                    std::uint64_t written = disk_.put(entry.key, entry.unsynced);
                    disk_.checkpoint_log();
                    return written;
                });
                memory_.synced(entry, stamp, epoch);
                ++done.written;
                continue;
            } catch (const StoreError &error) {
                if (!error.no_room()) throw;
                full = error;
                refused_bytes = entry.unsynced.size();
            }
        }
        done.no_room.push_back(&entry);
    }
    if (full && !done.written) throw *full;
    if (full) done.why = full->reason();
    synchronise();
    return done;
}

namespace {

// "entry 'K' (N bytes)", "N entries (M bytes): 'A', 'B', 'C' and 4 more"
template <typename Entries>
std::string described(const Entries &entries) {
    constexpr std::size_t named = 3;
    std::size_t bytes = 0;
    std::string keys;
    for (std::size_t n = 0; n < entries.size(); ++n) {
        bytes += entries[n]->unsynced.size();
        if (n < named) keys += (n ? ", " : "") + shown(entries[n]->key);
    }
    if (entries.size() == 1) return "entry " + keys + " (" + std::to_string(bytes) + " bytes)";
    if (entries.size() > named) keys += " and " + std::to_string(entries.size() - named) + " more";
    return std::to_string(entries.size()) + " entries (" + std::to_string(bytes) + " bytes): " + keys;
}

}  // namespace

void DualCache::set_aside(const WriteBack &done) {
    if (done.no_room.empty()) return;
    for (Memory::Entry *entry : done.no_room) entry->set_aside = true;
    lock_.log(DiskLevel::Level::warning,
              "The cache store {} has no room for {} ({}); kept in memory only, to be written "
              "as the store closes",
              {disk_.file().string(), described(done.no_room), done.why});
}

// The last chance for what only memory holds: what the disk cannot take now is lost,
// and said so.
void DualCache::write_back_before_closing() {
    if (!memory_.unsynced() && removed_while_away_.empty()) return;
    WriteBack done;
    try {
        if (!disk_.is_open() || disk_.read_only()) without_gil([&] { disk_.open(); });
        synchronise();
        if (disk_.read_only()) throw StoreError(disk_.read_only_reason());
        done = write_back(true);
    } catch (const StoreError &error) {
        done.why = error.reason();
    }
    std::vector<Memory::Entry *> lost = memory_.unsynced_entries();
    std::size_t removals = removed_while_away_.size();
    if (lost.empty() && !removals) {
        if (done.written)
            lock_.log(DiskLevel::Level::info, "The cache store {} took {} entries kept in memory as it closed",
                      {disk_.file().string(), std::to_string(done.written)});
        return;
    }
    std::string what = lost.empty() ? "no entry" : described(lost);
    if (removals)
        what += "; " + std::to_string(removals) + " removed entries may be read from it again";
    lock_.log(DiskLevel::Level::warning,
              "The cache store {} could not take what only memory held as it closed ({}): lost {}",
              {disk_.file().string(), done.why, what});
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
