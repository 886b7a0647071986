#include "dualcache/store.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <stdexcept>

#include "dualcache/bytes_io.hpp"
#include "dualcache/codec.hpp"

namespace veltrax::store {

namespace nb = nanobind;

namespace {

// Uses of entries that memory holds are given to the disk with every write;
// a store that only reads gives them with a read from disk at most this often.
constexpr auto use_interval = std::chrono::seconds(60);
// Keys read from disk and not kept in memory, whose use the disk is to hear of.
constexpr std::size_t max_uses_pending = 4096;

std::string_view key_text(nb::handle key) {
    if (!PyUnicode_Check(key.ptr())) {
        PyErr_Format(PyExc_TypeError, "cache keys are str, not %.100s", Py_TYPE(key.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

// Text as Python sees it: bytes that are not UTF-8 (a path's) kept as surrogates.
nb::object text_object(std::string_view text) {
    PyObject *object = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                            "surrogateescape");
    if (!object) throw nb::python_error();
    return nb::steal(object);
}

// nanobind's list() and dict() take what PyList_New and PyDict_New give unchecked.
nb::list new_list() {
    PyObject *list = PyList_New(0);
    if (!list) throw nb::python_error();
    return nb::steal<nb::list>(list);
}

nb::dict new_dict() {
    PyObject *dict = PyDict_New();
    if (!dict) throw nb::python_error();
    return nb::steal<nb::dict>(dict);
}

nb::list text_list(const std::vector<std::string> &texts) {
    nb::list list = new_list();
    for (const std::string &text : texts) list.append(text_object(text));
    return list;
}

// A key as repr() shows it, for log lines; made without Python, which may be
// out of memory when an entry is refused.
std::string shown(std::string_view key) {
    std::string out = "'";
    for (char c : key) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\'' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string seconds_text(Availability::Clock::duration duration) {
    double seconds = std::chrono::duration<double>(duration).count();
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

template <typename Work>
auto without_gil(Work &&work) -> decltype(work()) {
    nb::gil_scoped_release released;
    return work();
}

}  // namespace

ModuleGlobals &module_globals() {
    static ModuleGlobals globals;
    return globals;
}

// The store's lock, held for one operation. Waiting for it never holds the GIL:
// its holder may need the GIL to finish. Python code never runs while it is
// held (it could call the store again): log lines gathered meanwhile are
// written, and values that left memory are released, once it is let go.
class DualCache::Busy {
public:
    explicit Busy(DualCache &cache) : cache_(cache) { acquire(); }
    ~Busy() {
        if (held_) release();
    }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

    void acquire() {
        // Only this thread ever finds its own id here: no ordering is needed.
        std::thread::id me = std::this_thread::get_id();
        if (cache_.holder_.load(std::memory_order_relaxed) == me)
            throw std::runtime_error("DualCache was used by code that it was running itself");
        if (!cache_.mutex_.try_lock()) {
            nb::gil_scoped_release released;
            cache_.mutex_.lock();
        }
        cache_.holder_.store(me, std::memory_order_relaxed);
        held_ = true;
    }

    void release() noexcept {
        std::vector<LogLine> lines;
        std::vector<nb::object> gone;
        if (!cache_.log_.empty()) lines.swap(cache_.log_);
        if (!cache_.gone_.empty()) gone.swap(cache_.gone_);
        cache_.holder_.store(std::thread::id(), std::memory_order_relaxed);
        cache_.mutex_.unlock();
        held_ = false;
        for (const LogLine &line : lines) write(line);
        gone.clear();
    }

private:
    static void write(const LogLine &line) noexcept {
        try {
            nb::list values = new_list();
            for (const std::string &value : line.values) values.append(text_object(value));
            const char *level = line.level == DiskLevel::Level::info ? "info" : "warning";
            module_globals().get("logger").attr(level)(line.message, *values);
        } catch (nb::python_error &error) {
            error.discard_as_unraisable("logging a line of the cache store");
        } catch (...) {
        }
    }

    DualCache &cache_;
    bool held_ = false;
};

DualCache::DualCache(nb::object directory_path, std::string path, Limits limits)
    : directory(std::move(directory_path)),
      directory_text_(nb::str(directory).c_str()),
      disk_(std::move(path), limits.disk_bytes,
            [this](DiskLevel::Level level, const char *message, std::vector<std::string> values) {
                log(level, message, std::move(values));
            }),
      memory_(limits.memory_bytes),
      disk_state_(limits.retry_after) {
    Busy busy(*this);
    open_disk();
}

void DualCache::log(DiskLevel::Level level, const char *message, std::vector<std::string> values) {
    log_.push_back({level, message, std::move(values)});
}

void DualCache::let_go(std::vector<nb::object> gone) {
    std::move(gone.begin(), gone.end(), std::back_inserter(gone_));
    // An entry only memory had, that memory could not keep: the disk's older
    // value under its key must not be read in its place.
    for (std::string &key : memory_.take_lost()) removed_while_away_.insert(std::move(key));
}

// ---------------------------------------------------------------- the disk's state

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

// Every operation starts here; a memory hit reads no clock while the disk is whole.
void DualCache::usable() {
    if (closed_) throw StoreError("the cache store in '" + directory_text_ + "' is closed");
    if (!disk_state_.whole() && disk_state_.due(Clock::now())) retry_disk();
}

void DualCache::disk_failed(const StoreError &error, bool reading) {
    if (!disk_state_.failed(reading, Clock::now())) return;
    std::vector<std::string> values{disk_.file().string(), error.reason(),
                                    seconds_text(disk_state_.retry_after())};
    if (reading)
        log(DiskLevel::Level::warning,
            "The cache store {} cannot be used ({}); keeping entries in memory and trying it "
            "again every {}",
            std::move(values));
    else
        log(DiskLevel::Level::warning,
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
            log(DiskLevel::Level::info,
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

// ---------------------------------------------------------------- operations

std::optional<nb::object> DualCache::lookup(nb::handle key) {
    std::string_view text = key_text(key);
    Busy busy(*this);
    usable();
    if (!removed_while_away_.empty() && removed_while_away_.count(text)) return std::nullopt;
    std::uint64_t epoch = current_epoch();
    if (Memory::Entry *entry = memory_.find(text)) {
        // What only memory has, or what cannot be checked, is served as it is.
        if (!entry->unsynced.empty() || !disk_state_.readable() || entry->checked == epoch) {
            entry->used = true;
            return entry->value;
        }
        if (std::optional<nb::object> value = still_current(text, epoch)) return value;
    }
    if (!disk_state_.readable()) return std::nullopt;
    return load(busy, text, epoch);
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
    if (std::optional<nb::object> old = memory_.erase(text)) gone_.push_back(std::move(*old));
    return std::nullopt;
}

std::optional<nb::object> DualCache::load(Busy &busy, std::string_view text, std::uint64_t epoch) {
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

    // Decoding runs Python code, so the lock is let go meanwhile.
    std::uint64_t writes = writes_;
    std::optional<Decoded> decoded;
    std::string refused;
    bool later_format = false;
    busy.release();
    try {
        decoded = decode(row->value);
    } catch (const UnknownFormat &error) {
        refused = error.what();
        later_format = true;
    } catch (const FormatError &error) {
        refused = error.what();
    }
    busy.acquire();

    if (decoded) {
        // Another thread's write to this store may have overtaken the read: only
        // the latest is kept.
        if (writes == writes_ && !closed_) {
            let_go(memory_.put(std::string(text), decoded->value, decoded->memory_bytes,
                               row->stamp, epoch));
            if (!memory_.find(text) && uses_pending_.size() < max_uses_pending)
                uses_pending_.emplace(text);
        }
        return std::move(decoded->value);
    }
    if (closed_) return std::nullopt;
    if (later_format) {
        if (reported_.emplace(text).second)
            log(DiskLevel::Level::warning,
                "Cache entry {} in {} has {}, which this version cannot read; left it",
                {shown(text), directory_text_, refused});
        return std::nullopt;
    }
    bool removed = false;
    if (disk_state_.writable()) {
        try {
            without_gil([&] { disk_.erase_if(text, row->stamp); });
            removed = true;
        } catch (const StoreError &error) {
            disk_failed(error, false);
        }
        synchronise();
    }
    if (removed || reported_.emplace(text).second)
        log(DiskLevel::Level::warning,
            removed ? "Cache entry {} in {} could not be read ({}); removed it"
                    : "Cache entry {} in {} could not be read ({}); left it (the store cannot be "
                      "written)",
            {shown(text), directory_text_, refused});
    return std::nullopt;
}

void DualCache::store(nb::handle key, nb::handle value) {
    std::string_view text = key_text(key);
    Encoded encoded = encode(value);
    Busy busy(*this);
    usable();
    std::uint64_t epoch = current_epoch();
    ++writes_;
    if (auto removed = removed_while_away_.find(text); removed != removed_while_away_.end())
        removed_while_away_.erase(removed);
    if (disk_state_.writable()) {
        try {
            std::vector<std::string> used = uses_to_give();
            std::uint64_t stamp =
                without_gil([&] { return disk_.put(text, encoded.stored, used); });
            uses_given_ = Clock::now();
            synchronise();
            let_go(memory_.put(std::string(text), nb::borrow(value), encoded.memory_bytes, stamp,
                               epoch));
            return;
        } catch (const StoreError &error) {
            disk_failed(error, false);
        }
    }
    // Kept in memory only, with its stored bytes, until the disk takes it.
    let_go(memory_.put(std::string(text), nb::borrow(value), encoded.memory_bytes, 0, epoch,
                       std::move(encoded.stored)));
}

void DualCache::remove(nb::handle key) {
    std::string_view text = key_text(key);
    Busy busy(*this);
    usable();
    current_epoch();
    ++writes_;
    std::optional<nb::object> in_memory = memory_.erase(text);
    bool was_in_memory = in_memory.has_value();
    if (in_memory) gone_.push_back(std::move(*in_memory));
    bool asked = disk_state_.writable();
    bool on_disk = false;
    if (asked) {
        try {
            on_disk = without_gil([&] { return disk_.erase(text); });
            synchronise();
        } catch (const StoreError &error) {
            disk_failed(error, false);
            asked = false;
        }
    }
    if (!asked) removed_while_away_.emplace(text);
    if (!was_in_memory && !on_disk && asked) {
        busy.release();
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
}

bool DualCache::contains(nb::handle key) {
    std::string_view text = key_text(key);
    Busy busy(*this);
    usable();
    if (removed_while_away_.count(text)) return false;
    std::uint64_t epoch = current_epoch();
    Memory::Entry *entry = memory_.find(text);
    if (entry && (!entry->unsynced.empty() || !disk_state_.readable() || entry->checked == epoch))
        return true;
    if (!disk_state_.readable()) return false;
    try {
        bool found = without_gil([&] { return disk_.stamp_of(text).has_value(); });
        synchronise();
        return found;
    } catch (const StoreError &error) {
        disk_failed(error, true);
        return entry != nullptr;
    }
}

// Every key the levels hold (those beginning with `prefix`), sorted.
std::vector<std::string> DualCache::listed(const std::string *prefix) {
    usable();
    std::vector<std::string> keys;
    bool from_disk = disk_state_.readable();
    if (from_disk) {
        try {
            keys = without_gil([&] { return prefix ? disk_.keys_with_prefix(*prefix) : disk_.keys(); });
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
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

nb::list DualCache::keys() {
    std::vector<std::string> keys;
    {
        Busy busy(*this);
        keys = listed(nullptr);
    }
    return text_list(keys);
}

nb::list DualCache::keys_with_prefix(nb::handle prefix) {
    std::string text(key_text(prefix));
    std::vector<std::string> keys;
    {
        Busy busy(*this);
        keys = listed(&text);
    }
    return text_list(keys);
}

std::int64_t DualCache::size() {
    Busy busy(*this);
    usable();
    if (disk_state_.whole() && !memory_.unsynced() && removed_while_away_.empty()) {
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
    std::uint64_t disk_bytes, disk_limit;
    std::size_t memory_entries, memory_bytes, memory_limit, memory_only;
    const char *disk = "ok";
    {
        Busy busy(*this);
        disk_bytes = disk_.bytes_on_disk();
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
    stats["disk_bytes"] = disk_bytes;
    stats["disk_limit"] = disk_limit;
    stats["disk"] = disk;
    stats["memory_entries"] = memory_entries;
    stats["memory_bytes"] = memory_bytes;
    stats["memory_limit"] = memory_limit;
    stats["memory_only"] = memory_only;
    return stats;
}

std::size_t DualCache::memory_limit() {
    Busy busy(*this);
    return memory_.limit();
}

void DualCache::set_memory_limit(std::size_t limit) {
    Busy busy(*this);
    let_go(memory_.set_limit(limit));
}

std::uint64_t DualCache::disk_limit() {
    Busy busy(*this);
    return disk_.limit();
}

void DualCache::set_disk_limit(std::uint64_t limit) {
    Busy busy(*this);
    disk_.set_limit(limit);
}

void DualCache::close() {
    Busy busy(*this);
    if (closed_) return;
    if (disk_state_.writable()) give_uses();
    closed_ = true;
    let_go(memory_.clear());
    without_gil([&] { disk_.close(); });
}

}  // namespace veltrax::store
