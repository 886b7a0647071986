// DualCache: the memory level in front of the disk level and, optionally, a
// shared level (Redis) that the shells of a desk have in common. Python values in
// and out; the disk's and the shared level's work runs without the GIL, under the
// store's own lock (store_lock.hpp).
//
// The levels behind memory are reached in four places only: reading a miss
// (load, then load_shared), writing (store), removing (remove) and listing keys
// (listed); store.cpp combines them. The disk's failures go through disk_failed
// and its return through retry_disk, which writes back what memory kept meanwhile
// (store_disk.cpp). The shared level reports its own outages and backs off by
// itself; what it missed meanwhile is kept in its outbox (SharedOutbox, and in
// cache.db beside the entries) and sent by catch_up_shared once it answers again
// (store_shared.cpp). Both levels' outages follow one OutagePolicy.
//
// With a shared level, a local copy is answered only while the shared level holds
// the same value or none: a copy the shared level's tracking keeps current (its
// session, memory only) is answered at once; any other is confirmed first (a round
// trip for the value's version), and when the shared level holds another value, that
// one is read, kept and answered instead.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "dualcache/codec.hpp"
#include "dualcache/disk_level.hpp"
#include "dualcache/memory_level.hpp"
#include "dualcache/outage_policy.hpp"
#include "dualcache/redis_level.hpp"
#include "dualcache/shared_outbox.hpp"
#include "dualcache/store_lock.hpp"
#include "dualcache/store_settings.hpp"

namespace veltrax::store {

// The lines that report a stored value a level holds that could not be read.
struct UnreadableLines {
    const char *later_format;
    const char *removed;
    const char *left;
};

class DualCache {
public:
    // `directory` is the pathlib.Path shown to users; `path` the same as the
    // file system spells it. A disk level that cannot be opened is reported and
    // tried again later: constructing never fails for it. The shared level is
    // not reached until it is first used.
    DualCache(nanobind::object directory, std::string path, Limits limits,
              std::optional<SharedLevel> shared);
    // Closes the store first when that was not done.
    ~DualCache();
    DualCache(const DualCache &) = delete;
    DualCache &operator=(const DualCache &) = delete;
    // Closes every store still open (as the interpreter exits).
    static void close_every_open();

    // The value under the key: from memory while the disk row is unchanged, else from disk.
    std::optional<nanobind::object> lookup(nanobind::handle key);
    void store(nanobind::handle key, nanobind::handle value);
    // KeyError when no level had the key (and every level could be asked).
    void remove(nanobind::handle key);
    bool contains(nanobind::handle key);
    nanobind::list keys();
    nanobind::list keys_with_prefix(nanobind::handle prefix);
    // The keys this machine's levels hold: never a round trip to the shared level.
    nanobind::list local_keys();
    // Removes every entry for which stale(key, value) is true, from every level; entries
    // only the shared level holds are read without being kept here. How many went.
    std::int64_t prune(nanobind::handle stale);
    std::int64_t size();
    nanobind::dict stats();
    // None without a shared level; else its url (without credentials), state (ok or
    // unavailable), unsent (changes it is still to be sent), unsent_bytes (their values)
    // and set_aside (changes it refused, kept on this machine only).
    nanobind::object shared_state();

    std::size_t memory_limit();
    void set_memory_limit(std::size_t limit);
    std::uint64_t disk_limit();
    void set_disk_limit(std::uint64_t limit);

    // Writes what only memory holds to the disk, or says in one line what it could not.
    void close();

    nanobind::object directory;

private:
    using Memory = MemoryLevel<nanobind::object>;
    using Clock = OutagePolicy::Clock;
    // A stored value decoded with the store's lock let go (decoding runs Python code).
    struct Reading {
        std::optional<Decoded> decoded;
        std::string refused;  // why not, when not
        bool later_format = false;
    };

    // What a change did at the shared level, for the local levels to record with it.
    struct Sharing {
        SharedCopy copy;                             // a written value's, for memory
        std::optional<SharedOutbox::Change> unsent;  // kept for the shared level
        bool settled = false;                        // it has the key's latest change
        bool held = false;                           // a removal found a value there
        bool asked = true;                           // it could be asked
        OutboxStep outbox() const {
            return unsent ? OutboxStep::keep(*unsent)
                          : settled ? OutboxStep::clear() : OutboxStep{};
        }
    };

    // Combining the levels (store.cpp).
    void let_go(std::vector<nanobind::object> gone);
    // Every operation starts here; one that must not reach the shared level (a listing of
    // the local keys, on a keystroke) says so.
    void usable(bool may_reach_shared = true);
    Memory::Entry *still_current(std::string_view text, std::uint64_t epoch);
    std::optional<nanobind::object> answer(StoreLock::Held &busy, std::string_view text,
                                           Memory::Entry &entry, std::uint64_t epoch);
    std::optional<nanobind::object> load(StoreLock::Held &busy, std::string_view text,
                                         std::uint64_t epoch);
    Reading read_unlocked(StoreLock::Held &busy, std::string_view stored);
    void unreadable(const UnreadableLines &lines, std::string_view text, const std::string &where,
                    const Reading &reading, const std::function<bool()> &remove);
    void keep_locally(std::string_view text, nanobind::object value, std::size_t memory_bytes,
                      std::string_view stored, std::uint64_t epoch, SharedCopy shared = {},
                      OutboxStep outbox = {});
    // KeyError's case: no level had the key (and every level could be asked).
    bool remove_key(std::string_view text, std::optional<SharedSeen> seen);
    std::vector<std::string> listed(const std::string *prefix, bool with_shared = true);

    // The disk's outages and write-back (store_disk.cpp).
    struct WriteBack {
        std::size_t written = 0;
        std::vector<Memory::Entry *> no_room;  // entries the disk had no room for
        std::string why;                       // the disk's words for it
    };
    void open_disk();
    void retry_disk();
    WriteBack write_back(bool closing);
    void set_aside(const WriteBack &done);
    void write_back_before_closing();
    void disk_failed(const StoreError &error, bool reading);
    void give_uses();
    std::vector<std::string> uses_to_give();
    void synchronise();
    std::uint64_t current_epoch();

    // The shared level (store_shared.cpp).
    void open_shared(SharedLevel shared, Clock::duration retry_after);
    // A call of the shared level, without the GIL.
    template <typename Call>
    auto shared_call(Call call) -> decltype(call()) {
        bool was_away = shared_->in_outage();
        auto result = without_gil(call);
        shared_answered(was_away);
        return result;
    }
    void shared_answered(bool was_away);
    bool shared_may_hold(std::string_view text) const;
    bool shared_current(const Memory::Entry &entry) const {
        return entry.shared.session != 0 && entry.shared.session == shared_->session();
    }
    bool unsent_here(std::string_view text);
    void follow_invalidations();
    std::optional<nanobind::object> confirmed(StoreLock::Held &busy, std::string_view text,
                                              std::uint64_t epoch);
    std::optional<nanobind::object> load_shared(StoreLock::Held &busy, std::string_view text,
                                                std::uint64_t epoch);
    // The value under the key as the shared level holds it, not kept here; its version.
    std::optional<std::pair<nanobind::object, SharedSeen>> read_shared(StoreLock::Held &busy,
                                                                       std::string_view text);
    SharedCopy as_confirmed(const RedisLevel::Held &held, std::uint64_t version) const;
    Sharing share(std::string_view text, std::string_view stored);
    Sharing unshare(std::string_view text, std::optional<SharedSeen> seen);
    SharedOutbox::Change keep_for_shared(SharedOutbox::Change change,
                                         const RedisLevel::Changed &result);
    void set_aside(const SharedOutbox::Change &change, const std::string &refusal);
    void report_refusal(std::string_view text, const std::string &refusal);
    void settle(const SharedOutbox::Change &change);
    template <typename Work>
    void on_disk(Work work);
    void keep_outbox_within_bounds();
    void catch_up_shared();

    StoreLock lock_;  // held for every operation
    std::string directory_text_;
    Memory memory_;
    std::set<std::string, std::less<>> reported_;  // unreadable keys already logged
    std::uint64_t writes_ = 0;  // by this store, to tell a read overtaken by a write
    bool closed_ = false;

    DiskLevel disk_;
    OutagePolicy disk_state_;
    // Keys removed while the disk could not be written: removed there on its return.
    std::set<std::string, std::less<>> removed_while_away_;
    // Keys read from disk that memory did not keep, whose use the disk is still to hear of.
    std::set<std::string, std::less<>> uses_pending_;
    Clock::time_point uses_given_ = Clock::now();
    std::uint64_t generation_ = 0;  // of the disk's file, as memory last followed it

    std::unique_ptr<RedisLevel> shared_;  // none: no shared level
    SharedOutbox outbox_;                 // what the shared level missed while it was away
    bool outbox_read_ = false;            // cache.db's part of it, once the disk could be read
};

}  // namespace veltrax::store
