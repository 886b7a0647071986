// The disk level of the store: one SQLite database, cache.db, in the store's
// directory. WAL journal (readers never wait for a writer, a killed writer
// loses at most its own transaction), a busy timeout for two processes at
// once, bound parameters only. A damaged or foreign database file is moved
// aside and the store starts afresh.
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

namespace veltrax::store {

// A failure of the store itself (cannot create or open it, disk full, busy past
// the timeout); the message names the path.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Row {
    std::string value;
    std::uint64_t stamp;  // new on every write, so a reader can tell whether a row changed
};

// The least text above every text that begins with `prefix`, or "" when there is none.
std::string prefix_end(std::string_view prefix);

class DiskLevel {
public:
    // A log line: a template with "{}" for each value.
    using Warn = std::function<void(const char *message, std::vector<std::string> values)>;

    // Creates the directory and the database as needed; throws StoreError.
    DiskLevel(std::filesystem::path directory, Warn warn);
    ~DiskLevel();
    DiskLevel(const DiskLevel &) = delete;
    DiskLevel &operator=(const DiskLevel &) = delete;

    std::optional<Row> get(std::string_view key);
    std::optional<std::uint64_t> stamp_of(std::string_view key);
    // Returns the stamp of the new row.
    std::uint64_t put(std::string_view key, std::string_view value);
    bool erase(std::string_view key);
    // Removes the row only if it is still the one with this stamp.
    bool erase_if(std::string_view key, std::uint64_t stamp);
    std::vector<std::string> keys();
    std::vector<std::string> keys_with_prefix(std::string_view prefix);
    std::int64_t count();
    std::uint64_t bytes_on_disk() const;

    // Moves on when another connection has committed since the last call. Cheap
    // while nothing changed: it compares the WAL index header in shared memory.
    std::uint64_t change_epoch();
    // Moves on whenever the database file was set aside or replaced: entries read
    // before no longer describe the disk.
    std::uint64_t generation() const { return generation_; }

    void close();
    bool closed() const { return db_ == nullptr; }
    const std::filesystem::path &directory() const { return directory_; }
    const std::filesystem::path &file() const { return file_; }

private:
    class Statement;
    struct Statements;
    class Damaged;

    void open();
    void open_connection();
    void use_write_ahead_log();
    void prepare_schema();
    void close_connection();
    void set_aside(const std::string &reason);
    void follow_replaced_file();
    void watch_shared_memory();
    std::int64_t data_version();
    std::uint64_t next_stamp();
    void exec(const char *sql);
    std::int64_t integer(const char *sql);
    [[noreturn]] void fail(int rc, std::string_view what) const;
    void check(int rc, std::string_view what) const;
    template <typename Operation>
    auto guarded(Operation operation) -> decltype(operation());

    std::filesystem::path directory_;
    std::filesystem::path file_;
    Warn warn_;
    sqlite3 *db_ = nullptr;
    Statements *statements_ = nullptr;
    std::optional<std::pair<dev_t, ino_t>> identity_;  // of the file this connection opened
    const volatile std::uint32_t *wal_index_ = nullptr;
    std::uint32_t wal_index_seen_[24] = {};
    std::int64_t data_version_ = -1;
    std::uint64_t epoch_ = 1;
    std::uint64_t generation_ = 0;
    std::mt19937_64 stamps_;
};

}  // namespace veltrax::store
