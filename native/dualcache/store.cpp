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
// How long one operation may spend sending the shared level what it missed while it
// was away; the rest goes with the operations after it.
constexpr auto shared_catch_up_time = std::chrono::milliseconds(100);
// The shared level is first tried again this soon after a failure; the wait doubles
// up to the store's retryAfter.
constexpr auto shared_first_retry = std::chrono::milliseconds(1000);

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

const UnreadableLines disk_unreadable{
    "Cache entry {} in {} has {}, which this version cannot read; left it",
    "Cache entry {} in {} could not be read ({}); removed it",
    "Cache entry {} in {} could not be read ({}); left it (the store cannot be written)"};
const UnreadableLines shared_unreadable{
    "Shared cache entry {} at {} has {}, which this version cannot read; left it",
    "Shared cache entry {} at {} could not be read ({}); removed it",
    "Shared cache entry {} at {} could not be read ({}); left it (the shared cache went away)"};

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

DualCache::DualCache(nb::object directory_path, std::string path, Limits limits,
                     std::optional<SharedLevel> shared)
    : directory(std::move(directory_path)),
      directory_text_(nb::str(directory).c_str()),
      disk_(std::move(path), limits.disk_bytes,
            [this](DiskLevel::Level level, const char *message, std::vector<std::string> values) {
                log(level, message, std::move(values));
            }),
      memory_(limits.memory_bytes),
      disk_state_(limits.retry_after) {
    if (shared) {
        RedisLevel::Options options;
        options.longest_retry = std::chrono::ceil<RedisLevel::Milliseconds>(limits.retry_after);
        options.first_retry = std::min<RedisLevel::Milliseconds>(shared_first_retry, options.longest_retry);
        // The level calls this with the store's lock held (every call is made under it).
        shared_ = std::make_unique<RedisLevel>(
            std::move(shared->address), std::move(shared->key_namespace), options,
            [this](const char *message, std::vector<std::string> values) {
                log(DiskLevel::Level::warning, message, std::move(values));
            });
    }
    Busy busy(*this);
    open_disk();
}

void DualCache::log(DiskLevel::Level level, const char *message, std::vector<std::string> values) {
    log_.push_back({level, message, std::move(values)});
}

void DualCache::let_go(std::vector<nb::object> gone) {
    std::move(gone.begin(), gone.end(), std::back_inserter(gone_));
    // An entry only memory had, that memory could not keep: the disk's older
    // value under its key must not be read in its place, nor the shared level's,
    // when that has not got the new value either.
    for (std::string &key : memory_.take_lost()) {
        if (auto unsent = shared_unsent_.find(key); unsent != shared_unsent_.end()) {
            shared_unsent_.erase(unsent);
            shared_unremoved_.insert(key);
        }
        removed_while_away_.insert(std::move(key));
    }
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

// Every operation starts here; a memory hit reads no clock while the disk is whole
// and the shared level has nothing to catch up on.
void DualCache::usable() {
    if (closed_) throw StoreError("the cache store in '" + directory_text_ + "' is closed");
    if (!disk_state_.whole() && disk_state_.due(Clock::now())) retry_disk();
    if (shared_ && shared_changes() != 0 && !shared_->in_outage()) catch_up_shared();
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

// ---------------------------------------------------------------- the shared level's state

// A call of the shared level, without the GIL. The level reports its outages
// itself; their end is reported here, with what it is still to be sent.
template <typename Call>
auto DualCache::shared_call(Call call) -> decltype(call()) {
    bool was_away = shared_->in_outage();
    auto result = without_gil(call);
    if (was_away && !shared_->in_outage()) {
        if (std::size_t changes = shared_changes())
            log(DiskLevel::Level::info,
                "The shared cache {} works again; sending it the {} made while it was away",
                {shared_->where(),
                 std::to_string(changes) + (changes == 1 ? " change" : " changes")});
        else
            log(DiskLevel::Level::info, "The shared cache {} works again", {shared_->where()});
    }
    return result;
}

// Whether a key may be read from the shared level: never when what it holds there is
// older than what this store wrote or removed since.
bool DualCache::shared_may_hold(std::string_view text) const {
    return shared_ && !closed_ && !shared_unsent_.count(text) && !shared_unremoved_.count(text);
}

// A write reaches the shared level now, or once it answers again.
void DualCache::share(std::string_view text, std::string_view stored) {
    if (!shared_) return;
    bool sent = shared_call([&] { return shared_->put(text, stored); });
    if (auto unremoved = shared_unremoved_.find(text); unremoved != shared_unremoved_.end())
        shared_unremoved_.erase(unremoved);
    if (!sent)
        shared_unsent_.emplace(text);
    else if (auto unsent = shared_unsent_.find(text); unsent != shared_unsent_.end())
        shared_unsent_.erase(unsent);
}

// What the shared level missed while it was away, for a while at most in each
// operation: removals, then the latest value of each key written meanwhile, read
// back from the disk (or from memory, which keeps what the disk has not got).
void DualCache::catch_up_shared() {
    Clock::time_point until = Clock::now() + shared_catch_up_time;
    while (!shared_unremoved_.empty() && Clock::now() < until) {
        const std::string &key = *shared_unremoved_.begin();
        if (!shared_call([&] { return shared_->erase(key); })) return;
        shared_unremoved_.erase(shared_unremoved_.begin());
    }
    std::vector<std::string> unsent(shared_unsent_.begin(), shared_unsent_.end());
    for (const std::string &key : unsent) {
        if (Clock::now() >= until) return;
        if (!shared_unsent_.count(key)) continue;  // settled by a step before
        std::optional<std::string> stored;
        if (const Memory::Entry *entry = memory_.peek(key); entry && !entry->unsynced.empty()) {
            stored = entry->unsynced;
        } else if (!removed_while_away_.count(key)) {
            if (!disk_state_.readable()) continue;  // not known now: later
            try {
                if (std::optional<Row> row = without_gil([&] { return disk_.get(key); }))
                    stored = std::move(row->value);
            } catch (const StoreError &error) {
                disk_failed(error, true);
                continue;
            }
        }
        // Gone here since (removed from the disk for room): what the shared level
        // holds under the key is older than what was written, so it goes too.
        bool done = stored ? shared_call([&] { return shared_->put(key, *stored); })
                           : shared_call([&] { return shared_->erase(key); }).has_value();
        if (!done) return;
        shared_unsent_.erase(key);
    }
    synchronise();
}

// ---------------------------------------------------------------- operations

std::optional<nb::object> DualCache::lookup(nb::handle key) {
    std::string_view text = key_text(key);
    Busy busy(*this);
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
    if (std::optional<nb::object> old = memory_.erase(text)) gone_.push_back(std::move(*old));
    return std::nullopt;
}

DualCache::Reading DualCache::read_unlocked(Busy &busy, std::string_view stored) {
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
template <typename Remove>
void DualCache::unreadable(const UnreadableLines &lines, std::string_view text,
                           const std::string &where, const Reading &reading, Remove remove) {
    bool removed = !reading.later_format && remove();
    if (removed || reported_.emplace(text).second)
        log(DiskLevel::Level::warning,
            reading.later_format ? lines.later_format : removed ? lines.removed : lines.left,
            {shown(text), where, reading.refused});
}

// A miss of the local levels that the shared level answers: kept locally.
std::optional<nb::object> DualCache::load_shared(Busy &busy, std::string_view text,
                                                 std::uint64_t epoch) {
    RedisLevel::Lookup found = shared_call([&] { return shared_->get(text); });
    if (found.outcome != RedisLevel::Lookup::Outcome::hit) return std::nullopt;

    std::uint64_t writes = writes_;
    Reading reading = read_unlocked(busy, found.value);
    if (reading.decoded) {
        if (writes == writes_ && !closed_)
            keep_locally(text, reading.decoded->value, reading.decoded->memory_bytes, found.value,
                         epoch);
        return std::move(reading.decoded->value);
    }
    if (closed_) return std::nullopt;
    // Damaged or forged: no reader of the desk can use it.
    unreadable(shared_unreadable, text, shared_->where(), reading,
               [&] { return shared_call([&] { return shared_->erase(text); }).has_value(); });
    return std::nullopt;
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
    Busy busy(*this);
    usable();
    std::uint64_t epoch = current_epoch();
    ++writes_;
    keep_locally(text, nb::borrow(value), encoded.memory_bytes, encoded.stored, epoch);
    share(text, encoded.stored);
}

void DualCache::remove(nb::handle key) {
    std::string_view text = key_text(key);
    Busy busy(*this);
    usable();
    current_epoch();
    ++writes_;
    std::optional<nb::object> in_memory = memory_.erase(text);
    bool found = in_memory.has_value();
    if (in_memory) gone_.push_back(std::move(*in_memory));
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
        if (auto unsent = shared_unsent_.find(text); unsent != shared_unsent_.end())
            shared_unsent_.erase(unsent);
        std::optional<bool> erased = shared_call([&] { return shared_->erase(text); });
        shared_asked = erased.has_value();
        if (erased) {
            found = *erased || found;
            if (auto unremoved = shared_unremoved_.find(text); unremoved != shared_unremoved_.end())
                shared_unremoved_.erase(unremoved);
        } else {
            shared_unremoved_.emplace(text);
        }
    }
    if (!found && disk_asked && shared_asked) {
        busy.release();
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
}

bool DualCache::contains(nb::handle key) {
    std::string_view text = key_text(key);
    Busy busy(*this);
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
    if (shared_) {
        std::optional<std::vector<std::string>> shared = shared_call(
            [&] { return prefix ? shared_->keys_with_prefix(*prefix) : shared_->keys(); });
        if (shared)
            for (std::string &key : *shared)
                if (!shared_unremoved_.count(key)) keys.push_back(std::move(key));
    }
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
    stats["shared"] = shared_state();
    return stats;
}

nb::object DualCache::shared_state() {
    std::string url;
    bool away;
    std::size_t unsent;
    {
        Busy busy(*this);
        if (!shared_) return nb::none();
        url = shared_->where();
        away = shared_->in_outage();
        unsent = shared_changes();
    }
    nb::dict state = new_dict();
    state["url"] = text_object(url);
    state["state"] = away ? "unavailable" : "ok";
    state["unsent"] = unsent;
    return state;
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
    without_gil([&] {
        disk_.close();
        shared_.reset();
    });
}

}  // namespace veltrax::store
