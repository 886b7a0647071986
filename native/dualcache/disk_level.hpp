// The disk level of the store: one SQLite database, cache.db, in the store's
// directory. WAL journal (readers never wait for a writer, a killed writer
// loses at most its own transaction), a busy timeout for two processes at
// once, bound parameters only. A damaged or foreign database file is moved
// aside and the store starts afresh. The files are bounded by a limit: the
// write-ahead log is kept to a share of it, and past the rest the least
// recently used entries are removed.
//
// Plain C++ over SQLite's C API: it never touches Python, so the store calls
// it without holding the GIL. Its parts: the file's life and recovery
// (disk_file.cpp), its write-ahead log (disk_log.cpp), noticing other
// processes' commits (disk_changes.cpp), the entries (disk_entries.cpp), and
// the statements they share (disk_sqlite.hpp).
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dualcache/key_prefix.hpp"
#include "dualcache/shared_outbox.hpp"

namespace veltrax::store {

// A failure of the store itself (cannot create or open it, disk full, I/O
// error, busy past the timeout). what() names the path; reason() is the cause
// alone, for a log line that names the path itself.
class StoreError : public std::runtime_error {
public:
    StoreError(const std::string &message, std::string reason, bool no_room = false)
        : std::runtime_error(message), reason_(std::move(reason)), no_room_(no_room) {}
    explicit StoreError(const std::string &message) : StoreError(message, message) {}
    const std::string &reason() const { return reason_; }
    // The file system had no room for what was written.
    bool no_room() const { return no_room_; }

private:
    std::string reason_;
    bool no_room_;
};

struct Row {
    std::string value;
    std::uint64_t stamp;  // new on every write, so a reader can tell whether a row changed
};

// What a write or removal of an entry does, in the same transaction, to the key's
// change in the shared level's outbox (kept beside the entries, so that a change the
// shared level did not get outlives the process that made it).
struct OutboxStep {
    enum class Kind { none, keep, clear };
    Kind kind = Kind::none;
    const SharedOutbox::Change *change = nullptr;  // to keep

    static OutboxStep keep(const SharedOutbox::Change &change) { return {Kind::keep, &change}; }
    // The shared level got the key's latest change.
    static OutboxStep clear() { return {Kind::clear, nullptr}; }
};

class DiskLevel {
public:
    enum class Level { info, warning };
    // A log line: a template with "{}" for each value.
    using Log = std::function<void(Level level, const char *message, std::vector<std::string> values)>;

    // Opens nothing: open() does.
    DiskLevel(std::filesystem::path directory, std::uint64_t limit, Log log);
    ~DiskLevel();
    DiskLevel(const DiskLevel &) = delete;
    DiskLevel &operator=(const DiskLevel &) = delete;

    // Creates the directory and the database as needed; throws StoreError. A
    // database that cannot be opened for writing (a read-only directory, a full
    // disk) is opened for reading only.
    void open();
    void close();
    bool is_open() const { return db_ != nullptr; }
    bool read_only() const { return read_only_; }
    // Why a database open for reading only cannot be written.
    const std::string &read_only_reason() const { return read_only_reason_; }

    std::optional<Row> get(std::string_view key);
    std::optional<std::uint64_t> stamp_of(std::string_view key);
    // Writes the row and records, in the same transaction, that it and `used`
    // (keys read since their use was last recorded) were used now; then removes
    // the least recently used entries while the stored bytes are over the
    // limit. Returns the stamp of the new row. A row larger than the entries
    // may take in all is not written (the older one under its key goes). When
    // the disk has no room, the space the log took is given back and the write
    // tried once more.
    std::uint64_t put(std::string_view key, std::string_view value,
                      const std::vector<std::string> &used = {}, OutboxStep outbox = {});
    void record_use(const std::vector<std::string> &used);
    bool erase(std::string_view key, OutboxStep outbox = {});
    // Removes the row only if it is still the one with this stamp.
    bool erase_if(std::string_view key, std::uint64_t stamp);
    std::vector<std::string> keys();
    std::vector<std::string> keys_with_prefix(std::string_view prefix);
    std::int64_t count();

    // The shared level's outbox as kept here (disk_outbox.cpp): every change in it (none
    // in a file made before it had one), whether the key has one, and a change settled
    // (gone, if it is still the key's latest) or set aside.
    std::vector<SharedOutbox::Change> unsent_changes();
    bool has_unsent_change(std::string_view key);
    void settle_change(const SharedOutbox::Change &change);
    void set_change_aside(const SharedOutbox::Change &change);

    // What the files take: the database, and its log (the write-ahead log and its index).
    std::uint64_t data_bytes() const;
    std::uint64_t log_bytes() const;
    // What the files may take, the log's share included.
    std::uint64_t limit() const { return limit_; }
    void set_limit(std::uint64_t limit);

    // The log (disk_log.cpp). Its pages copied into the database, where that
    // needs no waiting for other processes.
    void checkpoint_log();
    // Its pages copied into the database and the file cut to nothing; true when
    // that gave space back.
    bool reclaim_log();

    // Moves on whenever another connection commits: entries read before may
    // then be out of date. Checking is split in two so that the cheap half
    // needs no SQLite call: maybe_changed() compares the WAL index header in
    // shared memory with what it saw last; only when it moved (or cannot be
    // watched) does refresh_epoch() ask SQLite.
    std::uint64_t epoch() const { return epoch_; }
    bool maybe_changed();
    void refresh_epoch();
    // Moves on whenever the database file was set aside or replaced: entries read
    // before no longer describe the disk.
    std::uint64_t generation() const { return generation_; }

    const std::filesystem::path &directory() const { return directory_; }
    const std::filesystem::path &file() const { return file_; }

private:
    class Statement;
    struct Statements;
    class Damaged;
    class Transaction;

    // The file (disk_file.cpp).
    void open_once();
    void open_connection(bool immutable);
    void configure();
    void use_write_ahead_log();
    void prepare_schema();
    void close_connection();
    void set_aside(const std::string &reason);
    void follow_replaced_file();
    void exec(const char *sql);
    std::int64_t integer(const char *sql);
    [[noreturn]] void fail(int rc, std::string_view what) const;
    void check(int rc, std::string_view what) const;
    template <typename Operation>
    auto guarded(Operation operation) -> decltype(operation());

    // The log (disk_log.cpp).
    std::uint64_t checkpoint_at() const;
    std::uint64_t entries_limit() const;
    void keep_log_within_limit();
    static int committed(void *level, sqlite3 *db, const char *name, int pages);
    bool checkpoint(int mode);

    // Other processes' commits (disk_changes.cpp).
    void watch_shared_memory();
    std::int64_t data_version();

    // The entries (disk_entries.cpp).
    void record(Statement &statement, const std::vector<std::string> &keys, std::int64_t now);
    void keep_within_limit(std::string_view written);
    bool remove_row(std::string_view key);
    std::uint64_t used_bytes();
    std::uint64_t next_stamp();

    // The outbox (disk_outbox.cpp).
    void step_outbox(std::string_view key, OutboxStep step);
    void on_change(std::optional<Statement> Statements::*statement,
                   const SharedOutbox::Change &change);

    std::filesystem::path directory_;
    std::filesystem::path file_;
    std::uint64_t limit_;
    std::uint64_t page_size_ = 0;  // of the open database
    Log log_;
    sqlite3 *db_ = nullptr;
    Statements *statements_ = nullptr;
    bool read_only_ = false;
    bool immutable_ = false;
    bool has_outbox_ = false;  // the file has the outbox's table
    std::string read_only_reason_;
    std::optional<std::pair<dev_t, ino_t>> identity_;  // of the file this connection opened
    const volatile std::uint32_t *wal_index_ = nullptr;
    std::uint32_t wal_index_seen_[24] = {};
    std::int64_t data_version_ = -1;
    std::uint64_t epoch_ = 1;
    std::uint64_t generation_ = 0;
    std::mt19937_64 stamps_;
};

}  // namespace veltrax::store
