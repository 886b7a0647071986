#include "dualcache/store.hpp"

#include <algorithm>
#include <tuple>
#include <stdexcept>

#include "dualcache/bytes_io.hpp"
#include "dualcache/codec.hpp"
#include "dualcache/frame.hpp"
#include "dualcache/python_values.hpp"
#include "dualcache/redis_scripts.hpp"

namespace veltrax::store {

namespace nb = nanobind;

namespace {

// Uses of entries that memory holds are given to the disk with every write;
// a store that only reads gives them with a read from disk at most this often.
constexpr auto use_interval = std::chrono::seconds(60);
// Keys read from disk and not kept in memory, whose use the disk is to hear of.
constexpr std::size_t max_uses_pending = 4096;
// The changes kept for the shared level while it is away; no older ones than it
// remembers change times for.
constexpr SharedOutbox::Bounds outbox_bounds{10'000, std::uint64_t{256} << 20,
                                             redis_scripts::retention_ms};
const UnreadableLines disk_unreadable{
    "Cache entry {} in {} has {}, which this version cannot read; left it",
    "Cache entry {} in {} could not be read ({}); removed it",
    "Cache entry {} in {} could not be read ({}); left it (the store cannot be written)"};

// The stores not destroyed yet, to be closed as the interpreter exits; changed and
// read with the GIL held.
std::set<DualCache *> &open_stores() {
    static std::set<DualCache *> stores;
    return stores;
}

}  // namespace

DualCache::DualCache(nb::object directory_path, std::string path, Limits limits,
                     std::optional<SharedLevel> shared)
    : directory(std::move(directory_path)),
      directory_text_(nb::str(directory).c_str()),
      memory_(limits.memory_bytes),
      disk_(std::move(path), limits.disk_bytes,
            [this](DiskLevel::Level level, const char *message, std::vector<std::string> values) {
                lock_.log(level, message, std::move(values));
            }),
      disk_state_(OutagePolicy::fixed(limits.retry_after)),
      outbox_(outbox_bounds) {
    if (shared) open_shared(std::move(*shared), limits.retry_after);
    {
        StoreLock::Held busy(lock_);
        open_disk();
    }
    open_stores().insert(this);
}

DualCache::~DualCache() {
    open_stores().erase(this);
    nb::error_scope pending;  // an error on its way up stays as it was
    try {
        close();
    } catch (...) {
    }
}

void DualCache::close_every_open() {
    std::vector<DualCache *> stores(open_stores().begin(), open_stores().end());
    for (DualCache *store : stores) {
        // Closing one runs Python code, which may let go of another.
        if (!open_stores().count(store)) continue;
        try {
            store->close();
        } catch (const std::exception &) {
        }
    }
}

void DualCache::let_go(std::vector<nb::object> gone) {
    lock_.release_later(std::move(gone));
    // An entry only memory had, that memory could not keep: the disk's older
    // value under its key must not be read in its place, nor the shared level's,
    // when that has not got the new value either.
    for (std::string &key : memory_.take_lost()) {
        outbox_.lost(key);
        removed_while_away_.insert(std::move(key));
    }
}

// A memory hit reads no clock while the disk is whole and the shared level has
// nothing to catch up on; with a shared level it takes the invalidations waiting (an
// atomic read when there are none), and sends what the shared level missed once it
// may be tried again, so that a process that only gets hits notices its return.
void DualCache::usable(bool may_reach_shared) {
    if (closed_) throw StoreError("the cache store in '" + directory_text_ + "' is closed");
    if (!disk_state_.whole() && disk_state_.due(Clock::now())) retry_disk();
    if (!shared_) return;
    if (shared_->invalidations_waiting()) follow_invalidations();
    if (!outbox_read_ && disk_state_.readable()) {
        outbox_read_ = true;
        try {
            outbox_.load(without_gil([&] { return disk_.unsent_changes(); }));
        } catch (const StoreError &error) {
            disk_failed(error, true);
        }
    }
    if (may_reach_shared && outbox_.to_send() && (!shared_->in_outage() || shared_->may_try()))
        catch_up_shared();
}

// ---------------------------------------------------------------- operations

std::optional<nb::object> DualCache::lookup(nb::handle key) {
    std::string_view text = key_text(key);
    StoreLock::Held busy(lock_);
    usable();
    bool disk_may_hold = removed_while_away_.empty() || !removed_while_away_.count(text);
    std::uint64_t epoch = current_epoch();
    if (Memory::Entry *entry = memory_.find(text)) {
        // What only memory has, or what cannot be checked, is served as it is.
        bool current = !entry->unsynced.empty() || !disk_state_.readable() || entry->checked == epoch;
        if (!current) entry = still_current(text, epoch);
        if (entry) return answer(busy, text, *entry, epoch);
    }
    if (disk_state_.readable() && disk_may_hold)
        if (std::optional<nb::object> value = load(busy, text, epoch)) return value;
    if (!shared_may_hold(text)) return std::nullopt;
    return load_shared(busy, text, epoch);
}

// Another process committed since this entry was last checked: is its row the same?
// The entry if so (or if that cannot be told); none once it left memory.
DualCache::Memory::Entry *DualCache::still_current(std::string_view text, std::uint64_t epoch) {
    std::optional<std::uint64_t> stamp;
    try {
        stamp = without_gil([&] { return disk_.stamp_of(text); });
    } catch (const StoreError &error) {
        disk_failed(error, true);
        return memory_.find(text);
    }
    synchronise();
    Memory::Entry *entry = memory_.find(text);
    if (!entry) return nullptr;
    if (stamp && *stamp == entry->stamp) {
        entry->checked = epoch;
        return entry;
    }
    if (std::optional<nb::object> old = memory_.erase(text)) lock_.release_later(std::move(*old));
    return nullptr;
}

// A memory entry that the local levels hold as current: answered when the shared level
// cannot hold another value, else once it is confirmed there.
std::optional<nb::object> DualCache::answer(StoreLock::Held &busy, std::string_view text,
                                            Memory::Entry &entry, std::uint64_t epoch) {
    entry.used = true;
    if (!shared_ || shared_current(entry) || !shared_may_hold(text)) return entry.value;
    return confirmed(busy, text, epoch);
}

DualCache::Reading DualCache::read_unlocked(StoreLock::Held &busy, std::string_view stored) {
    Reading reading;
    // A read may make as much as memory may hold: a smaller limit (0 keeps nothing
    // in memory) means keep less, not read less.
    std::size_t budget = std::max(memory_.limit(), Limits::default_memory_bytes);
    busy.release();
    try {
        reading.decoded = decode(stored, budget);
    } catch (const UnknownFormat &error) {
        reading.refused = error.what();
        reading.later_format = true;
    } catch (const FormatError &error) {
        reading.refused = error.what();
    }
    busy.acquire();
    return reading;
}

std::optional<nb::object> DualCache::load(StoreLock::Held &busy, std::string_view text,
                                          std::uint64_t epoch) {
    if (disk_state_.writable() && Clock::now() - uses_given_ > use_interval) give_uses();
    std::optional<Row> row;
    try {
        row = without_gil([&] { return disk_.get(text); });
    } catch (const StoreError &error) {
        disk_failed(error, true);
        return std::nullopt;
    }
    synchronise();
    if (!row) return std::nullopt;

    // No invalidation covers what the disk holds: confirmed with the shared level first.
    SharedCopy copy = SharedCopy::of(frame_version(row->value));
    if (shared_may_hold(text)) {
        RedisLevel::Held held = shared_call([&] { return shared_->held(text); });
        if (held.differs_from(copy.version) && !unsent_here(text))
            if (std::optional<nb::object> fresher = load_shared(busy, text, epoch)) return fresher;
        copy = as_confirmed(held, copy.version);
    }

    std::uint64_t writes = writes_;
    Reading reading = read_unlocked(busy, row->value);
    if (reading.decoded) {
        // Another thread's write to this store may have overtaken the read: only
        // the latest is kept.
        if (writes == writes_ && !closed_) {
            let_go(memory_.put(std::string(text), reading.decoded->value,
                               reading.decoded->memory_bytes, row->stamp, epoch, {}, copy));
            if (!memory_.find(text) && uses_pending_.size() < max_uses_pending)
                uses_pending_.emplace(text);
        }
        return std::move(reading.decoded->value);
    }
    if (closed_) return std::nullopt;
    unreadable(disk_unreadable, text, directory_text_, reading, [&] {
        if (!disk_state_.writable()) return false;
        bool removed = false;
        try {
            without_gil([&] { disk_.erase_if(text, row->stamp); });
            removed = true;
        } catch (const StoreError &error) {
            disk_failed(error, false);
        }
        synchronise();
        return removed;
    });
    return std::nullopt;
}

// A value that could not be read: one of a later format is left for the version that
// reads it; anything else is removed where that can be done, and said each time it
// is, else once.
void DualCache::unreadable(const UnreadableLines &lines, std::string_view text,
                           const std::string &where, const Reading &reading,
                           const std::function<bool()> &remove) {
    bool removed = !reading.later_format && remove();
    if (removed || reported_.emplace(text).second)
        lock_.log(DiskLevel::Level::warning,
                  reading.later_format ? lines.later_format : removed ? lines.removed : lines.left,
                  {shown(text), where, reading.refused});
}

// Into the disk and memory; while the disk cannot take it, memory keeps its stored
// bytes too. The disk's outbox row of the key takes `outbox` in the same transaction.
void DualCache::keep_locally(std::string_view text, nb::object value, std::size_t memory_bytes,
                             std::string_view stored, std::uint64_t epoch, SharedCopy shared,
                             OutboxStep outbox) {
    if (auto removed = removed_while_away_.find(text); removed != removed_while_away_.end())
        removed_while_away_.erase(removed);
    if (disk_state_.writable()) {
        try {
            std::vector<std::string> used = uses_to_give();
            std::uint64_t stamp =
                without_gil([&] { return disk_.put(text, stored, used, outbox); });
            uses_given_ = Clock::now();
            synchronise();
            let_go(memory_.put(std::string(text), std::move(value), memory_bytes, stamp, epoch,
                               {}, shared));
            return;
        } catch (const StoreError &error) {
            disk_failed(error, false);
        }
    }
    let_go(memory_.put(std::string(text), std::move(value), memory_bytes, 0, epoch,
                       std::string(stored), shared));
}

// The shared level first: what it did decides what the local levels record.
void DualCache::store(nb::handle key, nb::handle value) {
    std::string_view text = key_text(key);
    Encoded encoded = encode(value);
    StoreLock::Held busy(lock_);
    usable();
    std::uint64_t epoch = current_epoch();
    ++writes_;
    Sharing sharing = share(text, encoded.stored);
    keep_locally(text, nb::borrow(value), encoded.memory_bytes, encoded.stored, epoch,
                 sharing.copy, sharing.outbox());
}

void DualCache::remove(nb::handle key) {
    std::string_view text = key_text(key);
    StoreLock::Held busy(lock_);
    if (!remove_key(text, std::nullopt)) {
        busy.release();
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
}

// `seen`: what the shared level was known to hold under the key, when not the memory
// entry's knowledge.
bool DualCache::remove_key(std::string_view text, std::optional<SharedSeen> seen) {
    usable();
    current_epoch();
    ++writes_;
    Sharing sharing = unshare(text, seen);
    std::optional<nb::object> in_memory = memory_.erase(text);
    bool found = in_memory.has_value() || sharing.held;
    if (in_memory) lock_.release_later(std::move(*in_memory));
    bool disk_asked = disk_state_.writable();
    if (disk_asked) {
        try {
            found = without_gil([&] { return disk_.erase(text, sharing.outbox()); }) || found;
            synchronise();
        } catch (const StoreError &error) {
            disk_failed(error, false);
            disk_asked = false;
        }
    }
    if (!disk_asked) removed_while_away_.emplace(text);
    return found || !disk_asked || !sharing.asked;
}

bool DualCache::contains(nb::handle key) {
    std::string_view text = key_text(key);
    StoreLock::Held busy(lock_);
    usable();
    bool disk_may_hold = removed_while_away_.empty() || !removed_while_away_.count(text);
    std::uint64_t epoch = current_epoch();
    Memory::Entry *entry = memory_.find(text);
    if (entry && (!entry->unsynced.empty() || !disk_state_.readable() || entry->checked == epoch))
        return true;
    if (disk_state_.readable() && disk_may_hold) {
        try {
            bool found = without_gil([&] { return disk_.stamp_of(text).has_value(); });
            synchronise();
            if (found) return true;
        } catch (const StoreError &error) {
            disk_failed(error, true);
            if (entry) return true;
        }
    }
    if (!shared_may_hold(text)) return false;
    return shared_call([&] { return shared_->contains(text); }).value_or(false);
}

// Every key the levels hold (those beginning with `prefix`), sorted.
std::vector<std::string> DualCache::listed(const std::string *prefix, bool with_shared) {
    usable(with_shared);
    std::vector<std::string> keys;
    bool from_disk = disk_state_.readable();
    if (from_disk) {
        try {
            keys = without_gil(
                [&] { return prefix ? disk_.keys_with_prefix(*prefix) : disk_.keys(); });
            synchronise();
        } catch (const StoreError &error) {
            disk_failed(error, true);
            from_disk = false;
        }
    }
    // What only memory has, or all it has while the disk cannot be read.
    std::vector<std::string> in_memory;
    if (from_disk)
        for (Memory::Entry *entry : memory_.unsynced_entries()) in_memory.push_back(entry->key);
    else
        in_memory = memory_.keys();
    for (std::string &key : in_memory)
        if (!prefix || key.starts_with(*prefix)) keys.push_back(std::move(key));
    std::erase_if(keys, [&](const std::string &key) { return removed_while_away_.count(key) > 0; });
    if (shared_ && with_shared) {
        std::optional<std::vector<std::string>> shared = shared_call(
            [&] { return prefix ? shared_->keys_with_prefix(*prefix) : shared_->keys(); });
        if (shared)
            for (std::string &key : *shared)
                if (outbox_.may_list(key)) keys.push_back(std::move(key));
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

nb::list DualCache::keys() {
    std::vector<std::string> keys;
    {
        StoreLock::Held busy(lock_);
        keys = listed(nullptr);
    }
    return text_list(keys);
}

nb::list DualCache::local_keys() {
    std::vector<std::string> keys;
    {
        StoreLock::Held busy(lock_);
        keys = listed(nullptr, false);
    }
    return text_list(keys);
}

nb::list DualCache::keys_with_prefix(nb::handle prefix) {
    std::string text(key_text(prefix));
    std::vector<std::string> keys;
    {
        StoreLock::Held busy(lock_);
        keys = listed(&text);
    }
    return text_list(keys);
}

std::int64_t DualCache::prune(nb::handle stale) {
    std::vector<std::string> keys;
    {
        StoreLock::Held busy(lock_);
        keys = listed(nullptr);
    }
    std::int64_t removed = 0;
    for (const std::string &text : keys) {
        nb::object key = text_object(text);
        std::optional<nb::object> value;
        std::optional<SharedSeen> seen;  // of what only the shared level holds
        {
            StoreLock::Held busy(lock_);
            usable();
            bool here = memory_.peek(text) != nullptr;
            if (!here && disk_state_.readable()) {
                try {
                    here = without_gil([&] { return disk_.stamp_of(text).has_value(); });
                } catch (const StoreError &error) {
                    disk_failed(error, true);
                }
            }
            if (!here && shared_may_hold(text))
                if (auto shared = read_shared(busy, text)) std::tie(value, seen) = std::move(*shared);
        }
        // What this machine holds is read as any lookup reads it: confirmed with the
        // shared level, so that a fresher value there is judged, not this copy.
        if (!seen) value = lookup(key);
        if (!value) continue;
        int is_stale = PyObject_IsTrue(stale(key, *value).ptr());
        if (is_stale < 0) throw nb::python_error();
        if (!is_stale) continue;
        StoreLock::Held busy(lock_);
        if (remove_key(text, seen)) ++removed;
    }
    return removed;
}

std::int64_t DualCache::size() {
    StoreLock::Held busy(lock_);
    usable();
    if (!shared_ && disk_state_.whole() && !memory_.unsynced() && removed_while_away_.empty()) {
        try {
            return without_gil([&] { return disk_.count(); });
        } catch (const StoreError &error) {
            disk_failed(error, true);
        }
    }
    return static_cast<std::int64_t>(listed(nullptr).size());
}

nb::dict DualCache::stats() {
    std::int64_t entries = size();
    std::uint64_t data_bytes, log_bytes, disk_limit;
    std::size_t memory_entries, memory_bytes, memory_limit, memory_only;
    const char *disk = "ok";
    {
        StoreLock::Held busy(lock_);
        data_bytes = disk_.data_bytes();
        log_bytes = disk_.log_bytes();
        disk_limit = disk_.limit();
        memory_entries = memory_.size();
        memory_bytes = memory_.bytes();
        memory_limit = memory_.limit();
        memory_only = memory_.unsynced();
        if (!disk_state_.readable()) disk = "unavailable";
        else if (!disk_state_.writable()) disk = "read-only";
    }
    nb::dict stats = new_dict();
    stats["directory"] = text_object(directory_text_);
    stats["entries"] = entries;
    stats["disk_bytes"] = data_bytes + log_bytes;
    stats["disk_data_bytes"] = data_bytes;
    stats["disk_log_bytes"] = log_bytes;
    stats["disk_limit"] = disk_limit;
    stats["disk"] = disk;
    stats["memory_entries"] = memory_entries;
    stats["memory_bytes"] = memory_bytes;
    stats["memory_limit"] = memory_limit;
    stats["memory_only"] = memory_only;
    stats["shared"] = shared_state();
    return stats;
}

nb::object DualCache::shared_state() {
    std::string url;
    bool away;
    std::size_t unsent, set_aside;
    std::uint64_t unsent_bytes;
    {
        StoreLock::Held busy(lock_);
        if (!shared_) return nb::none();
        url = shared_->where();
        away = shared_->in_outage();
        unsent = outbox_.to_send();
        set_aside = outbox_.set_aside();
        unsent_bytes = outbox_.bytes();
    }
    nb::dict state = new_dict();
    state["url"] = text_object(url);
    state["state"] = away ? "unavailable" : "ok";
    state["unsent"] = unsent;
    state["unsent_bytes"] = unsent_bytes;
    state["set_aside"] = set_aside;
    return state;
}

std::size_t DualCache::memory_limit() {
    StoreLock::Held busy(lock_);
    return memory_.limit();
}

void DualCache::set_memory_limit(std::size_t limit) {
    StoreLock::Held busy(lock_);
    let_go(memory_.set_limit(limit));
}

std::uint64_t DualCache::disk_limit() {
    StoreLock::Held busy(lock_);
    return disk_.limit();
}

void DualCache::set_disk_limit(std::uint64_t limit) {
    StoreLock::Held busy(lock_);
    without_gil([&] { disk_.set_limit(limit); });
}

void DualCache::close() {
    StoreLock::Held busy(lock_);
    if (closed_) return;
    write_back_before_closing();
    if (disk_state_.writable()) give_uses();
    closed_ = true;
    let_go(memory_.clear());
    without_gil([&] {
        disk_.close();
        shared_.reset();
    });
}

}  // namespace veltrax::store
