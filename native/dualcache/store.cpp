#include "dualcache/store.hpp"

#include <algorithm>
#include <stdexcept>

#include "dualcache/bytes_io.hpp"
#include "dualcache/codec.hpp"
#include "dualcache/python_values.hpp"

namespace veltrax::store {

namespace nb = nanobind;

namespace {

// Uses of entries that memory holds are given to the disk with every write;
// a store that only reads gives them with a read from disk at most this often.
constexpr auto use_interval = std::chrono::seconds(60);
// Keys read from disk and not kept in memory, whose use the disk is to hear of.
constexpr std::size_t max_uses_pending = 4096;
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
      disk_state_(OutagePolicy::fixed(limits.retry_after)) {
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

// Every operation starts here; a memory hit reads no clock while the disk is whole
// and the shared level has nothing to catch up on.
void DualCache::usable() {
    if (closed_) throw StoreError("the cache store in '" + directory_text_ + "' is closed");
    if (!disk_state_.whole() && disk_state_.due(Clock::now())) retry_disk();
    if (shared_ && !outbox_.empty() && !shared_->in_outage()) catch_up_shared();
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
        if (!entry->unsynced.empty() || !disk_state_.readable() || entry->checked == epoch) {
            entry->used = true;
            return entry->value;
        }
        if (std::optional<nb::object> value = still_current(text, epoch)) return value;
    }
    if (disk_state_.readable() && disk_may_hold)
        if (std::optional<nb::object> value = load(busy, text, epoch)) return value;
    if (!shared_may_hold(text)) return std::nullopt;
    return load_shared(busy, text, epoch);
}

// Another process committed since this entry was last checked: is its row the same?
std::optional<nb::object> DualCache::still_current(std::string_view text, std::uint64_t epoch) {
    std::optional<std::uint64_t> stamp;
    try {
        stamp = without_gil([&] { return disk_.stamp_of(text); });
    } catch (const StoreError &error) {
        disk_failed(error, true);
        Memory::Entry *entry = memory_.find(text);
        return entry ? std::optional(entry->value) : std::nullopt;
    }
    synchronise();
    Memory::Entry *entry = memory_.find(text);
    if (!entry) return std::nullopt;
    if (stamp && *stamp == entry->stamp) {
        entry->checked = epoch;
        entry->used = true;
        return entry->value;
    }
    if (std::optional<nb::object> old = memory_.erase(text)) lock_.release_later(std::move(*old));
    return std::nullopt;
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

    std::uint64_t writes = writes_;
    Reading reading = read_unlocked(busy, row->value);
    if (reading.decoded) {
        // Another thread's write to this store may have overtaken the read: only
        // the latest is kept.
        if (writes == writes_ && !closed_) {
            let_go(memory_.put(std::string(text), reading.decoded->value,
                               reading.decoded->memory_bytes, row->stamp, epoch));
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
// bytes too.
void DualCache::keep_locally(std::string_view text, nb::object value, std::size_t memory_bytes,
                             std::string_view stored, std::uint64_t epoch) {
    if (auto removed = removed_while_away_.find(text); removed != removed_while_away_.end())
        removed_while_away_.erase(removed);
    if (disk_state_.writable()) {
        try {
            std::vector<std::string> used = uses_to_give();
            std::uint64_t stamp = without_gil([&] { return disk_.put(text, stored, used); });
            uses_given_ = Clock::now();
            synchronise();
            let_go(memory_.put(std::string(text), std::move(value), memory_bytes, stamp, epoch));
            return;
        } catch (const StoreError &error) {
            disk_failed(error, false);
        }
    }
    let_go(memory_.put(std::string(text), std::move(value), memory_bytes, 0, epoch,
                       std::string(stored)));
}

void DualCache::store(nb::handle key, nb::handle value) {
    std::string_view text = key_text(key);
    Encoded encoded = encode(value);
    StoreLock::Held busy(lock_);
    usable();
    std::uint64_t epoch = current_epoch();
    ++writes_;
    keep_locally(text, nb::borrow(value), encoded.memory_bytes, encoded.stored, epoch);
    share(text, encoded.stored);
}

void DualCache::remove(nb::handle key) {
    std::string_view text = key_text(key);
    StoreLock::Held busy(lock_);
    usable();
    current_epoch();
    ++writes_;
    std::optional<nb::object> in_memory = memory_.erase(text);
    bool found = in_memory.has_value();
    if (in_memory) lock_.release_later(std::move(*in_memory));
    bool disk_asked = disk_state_.writable();
    if (disk_asked) {
        try {
            found = without_gil([&] { return disk_.erase(text); }) || found;
            synchronise();
        } catch (const StoreError &error) {
            disk_failed(error, false);
            disk_asked = false;
        }
    }
    if (!disk_asked) removed_while_away_.emplace(text);
    bool shared_asked = true;
    if (shared_) {
        std::optional<bool> erased = shared_call([&] { return shared_->erase(text); });
        shared_asked = erased.has_value();
        if (erased) found = *erased || found;
        outbox_.removed(text, shared_asked);
    }
    if (!found && disk_asked && shared_asked) {
        busy.release();
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
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
std::vector<std::string> DualCache::listed(const std::string *prefix) {
    usable();
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
    if (shared_) {
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

nb::list DualCache::keys_with_prefix(nb::handle prefix) {
    std::string text(key_text(prefix));
    std::vector<std::string> keys;
    {
        StoreLock::Held busy(lock_);
        keys = listed(&text);
    }
    return text_list(keys);
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
    std::size_t unsent;
    {
        StoreLock::Held busy(lock_);
        if (!shared_) return nb::none();
        url = shared_->where();
        away = shared_->in_outage();
        unsent = outbox_.size();
    }
    nb::dict state = new_dict();
    state["url"] = text_object(url);
    state["state"] = away ? "unavailable" : "ok";
    state["unsent"] = unsent;
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
