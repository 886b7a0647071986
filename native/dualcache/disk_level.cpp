#include "dualcache/disk_level.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstring>
#include <ctime>

namespace veltrax::store {

namespace fs = std::filesystem;

namespace {

// PRAGMA application_id of our databases ("VXDC"); anything else in cache.db is not ours.
constexpr std::int64_t application_id = 0x56584443;
constexpr std::int64_t schema_version = 1;
constexpr int busy_timeout_ms = 10'000;
// The WAL index header (two copies of 48 bytes) at the start of the WAL index,
// as SQLite's unix VFS lays it out; its first word is the index format version.
constexpr std::uint32_t wal_index_format = 3007000;
constexpr std::size_t wal_index_header_words = 24;
constexpr int wal_index_region_size = 32768;

std::string quoted(const fs::path &path) { return "'" + path.string() + "'"; }

std::optional<std::pair<dev_t, ino_t>> identity_of(const fs::path &path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return std::pair{info.st_dev, info.st_ino};
}

std::uint64_t size_of(const fs::path &path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

fs::path with_suffix(const fs::path &path, std::string_view suffix) {
    return fs::path(path.string() + std::string(suffix));
}

}  // namespace

std::string prefix_end(std::string_view prefix) {
    std::string end(prefix);
    while (!end.empty() && static_cast<unsigned char>(end.back()) == 0xFF) end.pop_back();
    if (!end.empty()) end.back() = static_cast<char>(static_cast<unsigned char>(end.back()) + 1);
    return end;
}

// An error that means the database file itself is damaged or not ours.
class DiskLevel::Damaged : public StoreError {
public:
    using StoreError::StoreError;
};

// A prepared statement, reset and unbound whenever a use of it ends.
class DiskLevel::Statement {
public:
    Statement(const DiskLevel &level, const char *sql) : level_(level) {
        level.check(sqlite3_prepare_v3(level.db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_,
                                       nullptr),
                    "preparing a statement");
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    class Use {
    public:
        explicit Use(Statement &statement) : statement_(statement) {}
        ~Use() {
            sqlite3_reset(statement_.statement_);
            sqlite3_clear_bindings(statement_.statement_);
        }
        Use(const Use &) = delete;
        Use &operator=(const Use &) = delete;

        Use &text(int index, std::string_view text) {
            bound(sqlite3_bind_text64(statement_.statement_, index, text.data(), text.size(),
                                      SQLITE_STATIC, SQLITE_UTF8));
            return *this;
        }
        Use &blob(int index, std::string_view bytes) {
            bound(sqlite3_bind_blob64(statement_.statement_, index, bytes.data(), bytes.size(),
                                      SQLITE_STATIC));
            return *this;
        }
        Use &integer(int index, std::int64_t value) {
            bound(sqlite3_bind_int64(statement_.statement_, index, value));
            return *this;
        }

        // True while there is a row to read.
        bool step() {
            int rc = sqlite3_step(statement_.statement_);
            if (rc == SQLITE_ROW) return true;
            if (rc == SQLITE_DONE) return false;
            statement_.level_.fail(rc, "reading or writing an entry");
        }

        std::int64_t integer(int column) const {
            return sqlite3_column_int64(statement_.statement_, column);
        }
        std::string_view bytes(int column) const {
            const void *data = sqlite3_column_blob(statement_.statement_, column);
            int size = sqlite3_column_bytes(statement_.statement_, column);
            if (!data && size > 0) statement_.level_.fail(SQLITE_NOMEM, "reading an entry");
            return {static_cast<const char *>(data), static_cast<std::size_t>(size)};
        }
        int changes() const { return sqlite3_changes(statement_.level_.db_); }

    private:
        void bound(int rc) { statement_.level_.check(rc, "binding a parameter"); }
        Statement &statement_;
    };

private:
    const DiskLevel &level_;
    sqlite3_stmt *statement_ = nullptr;
};

struct DiskLevel::Statements {
    explicit Statements(const DiskLevel &level)
        : get(level, "SELECT stamp, value FROM entries WHERE key = ?1"),
          stamp(level, "SELECT stamp FROM entries WHERE key = ?1"),
          put(level,
              "INSERT INTO entries (key, stamp, value) VALUES (?1, ?2, ?3) "
              "ON CONFLICT (key) DO UPDATE SET stamp = excluded.stamp, value = excluded.value"),
          erase(level, "DELETE FROM entries WHERE key = ?1"),
          erase_if(level, "DELETE FROM entries WHERE key = ?1 AND stamp = ?2"),
          keys(level, "SELECT key FROM entries ORDER BY key"),
          keys_from(level, "SELECT key FROM entries WHERE key >= ?1 ORDER BY key"),
          keys_between(level, "SELECT key FROM entries WHERE key >= ?1 AND key < ?2 ORDER BY key"),
          count(level, "SELECT count(*) FROM entries"),
          data_version(level, "PRAGMA data_version") {}

    Statement get, stamp, put, erase, erase_if, keys, keys_from, keys_between, count, data_version;
};

DiskLevel::DiskLevel(fs::path directory, Warn warn)
    : directory_(std::move(directory)),
      file_(directory_ / "cache.db"),
      warn_(std::move(warn)),
      stamps_(std::random_device{}()) {
    std::error_code error;
    fs::create_directories(directory_, error);
    if (error)
        throw StoreError("cannot create the cache directory " + quoted(directory_) + ": " +
                         error.message());
    if (!fs::is_directory(directory_, error))
        throw StoreError("the cache directory " + quoted(directory_) + " is not a directory");
    open();
}

DiskLevel::~DiskLevel() { close_connection(); }

void DiskLevel::open() {
    for (int attempt = 0;; ++attempt) {
        try {
            open_connection();
            prepare_schema();
            statements_ = new Statements(*this);
            break;
        } catch (const Damaged &damage) {
            if (attempt > 0) throw StoreError("the cache store " + quoted(file_) + " " + damage.what());
            set_aside(damage.what());
        } catch (...) {
            close_connection();
            throw;
        }
    }
    watch_shared_memory();
    data_version_ = data_version();
}

void DiskLevel::open_connection() {
    int rc = sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc != SQLITE_OK) {
        std::string reason = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        int system_error = db_ ? sqlite3_system_errno(db_) : 0;
        if (system_error) reason += std::string(" (") + std::strerror(system_error) + ")";
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw StoreError("cannot open the cache store " + quoted(file_) + ": " + reason);
    }
    identity_ = identity_of(file_);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busy_timeout_ms);
    // Takes effect only as a new file is made: fewer, larger pages for entries of
    // megabytes read and write faster.
    exec("PRAGMA page_size = 16384");
    use_write_ahead_log();
    // In WAL mode NORMAL survives a killed process; only a power cut may drop the last commits.
    exec("PRAGMA synchronous = NORMAL");
}

void DiskLevel::use_write_ahead_log() {
    // Switching a new file to WAL needs it to itself for a moment, and SQLite
    // does not wait for that: another process may be making the same new file.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(busy_timeout_ms);
    while (integer("SELECT journal_mode = 'wal' FROM pragma_journal_mode") != 1) {
        int rc = sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            if (integer("SELECT journal_mode = 'wal' FROM pragma_journal_mode") == 1) return;
            throw StoreError("cannot keep the cache store " + quoted(file_) +
                             " in write-ahead-log mode (is it on a network file system?)");
        }
        if ((rc & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() > deadline)
            fail(rc, "switching to write-ahead logging");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void DiskLevel::prepare_schema() {
    for (;;) {
        std::int64_t application = integer("PRAGMA application_id");
        if (application == application_id) {
            if (integer("PRAGMA user_version") > schema_version)
                throw StoreError("the cache store " + quoted(file_) +
                                 " was written by a newer version of this program");
            if (integer("SELECT count(*) FROM pragma_table_info('entries') "
                        "WHERE name IN ('key', 'stamp', 'value')") != 3)
                throw Damaged("has no entries table of the expected shape");
            return;
        }
        if (application != 0 || integer("SELECT count(*) FROM sqlite_schema") != 0)
            throw Damaged("is not a cache store of this program");
        // A fresh file: the first of two processes to get here creates the table.
        exec("BEGIN IMMEDIATE");
        try {
            if (integer("PRAGMA application_id") == 0 &&
                integer("SELECT count(*) FROM sqlite_schema") == 0) {
                exec("CREATE TABLE entries (key TEXT PRIMARY KEY NOT NULL, "
                     "stamp INTEGER NOT NULL, value BLOB NOT NULL)");
                exec(("PRAGMA application_id = " + std::to_string(application_id)).c_str());
                exec(("PRAGMA user_version = " + std::to_string(schema_version)).c_str());
            }
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
}

void DiskLevel::close_connection() {
    delete statements_;
    statements_ = nullptr;
    wal_index_ = nullptr;  // SQLite's mapping goes with the connection
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

void DiskLevel::close() { close_connection(); }

void DiskLevel::set_aside(const std::string &reason) {
    close_connection();
    ++generation_;
    ++epoch_;
    std::optional<std::pair<dev_t, ino_t>> now = identity_of(file_);
    bool still_ours = now && (!identity_ || *now == *identity_);
    identity_.reset();
    // Another process may have set it aside already and started afresh.
    if (!still_ours) return;
    fs::path aside;
    for (int n = 0;; ++n) {
        aside = with_suffix(file_, ".damaged-" + std::to_string(std::time(nullptr)) + "-" +
                                       std::to_string(::getpid()) + "-" + std::to_string(n));
        if (!fs::exists(aside)) break;
    }
    if (::rename(file_.c_str(), aside.c_str()) != 0)
        throw StoreError("the cache store " + quoted(file_) + " " + reason +
                         ", and it cannot be moved aside: " + std::strerror(errno));
    // A WAL left beside a new database would be replayed into it: it goes with its database.
    ::rename(with_suffix(file_, "-wal").c_str(), with_suffix(aside, "-wal").c_str());
    ::unlink(with_suffix(file_, "-shm").c_str());
    warn_("The cache store {} {}; moved it to {} and started an empty store",
          {file_.string(), reason, aside.string()});
}

void DiskLevel::follow_replaced_file() {
    if (identity_ && identity_of(file_) == identity_) return;
    // Another process moved a damaged file aside: use the one now in its place.
    close_connection();
    ++generation_;
    ++epoch_;
    open();
}

void DiskLevel::watch_shared_memory() {
    // SQLite's own mapping of the index, through its VFS: opening the -shm file
    // here and closing it again would drop the locks SQLite holds on it (POSIX
    // locks belong to the process, not to the descriptor).
    sqlite3_file *file = nullptr;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        !file || !file->pMethods || file->pMethods->iVersion < 2 || !file->pMethods->xShmMap)
        return;
    volatile void *region = nullptr;
    if (file->pMethods->xShmMap(file, 0, wal_index_region_size, 0, &region) != SQLITE_OK ||
        !region)
        return;
    wal_index_ = static_cast<const volatile std::uint32_t *>(region);
    if (wal_index_[0] != wal_index_format) {
        wal_index_ = nullptr;
        return;
    }
    for (std::size_t i = 0; i < wal_index_header_words; ++i) wal_index_seen_[i] = wal_index_[i];
}

std::uint64_t DiskLevel::change_epoch() {
    if (!db_) return epoch_;
    if (wal_index_) {
        bool same = true;
        for (std::size_t i = 0; i < wal_index_header_words; ++i) {
            std::uint32_t word = wal_index_[i];
            same = same && word == wal_index_seen_[i];
            wal_index_seen_[i] = word;
        }
        if (same) return epoch_;
    }
    // Something committed: ours leave data_version alone, another connection's move it.
    std::int64_t version = guarded([&] { return data_version(); });
    if (version != data_version_) {
        data_version_ = version;
        ++epoch_;
    }
    return epoch_;
}

std::int64_t DiskLevel::data_version() {
    Statement::Use use(statements_->data_version);
    use.step();
    return use.integer(0);
}

std::uint64_t DiskLevel::next_stamp() {
    std::uint64_t stamp;
    do stamp = stamps_();
    while (stamp == 0);
    return stamp;
}

template <typename Operation>
auto DiskLevel::guarded(Operation operation) -> decltype(operation()) {
    if (!db_) throw StoreError("the cache store in " + quoted(directory_) + " is closed");
    follow_replaced_file();
    try {
        return operation();
    } catch (const Damaged &damage) {
        set_aside(damage.what());
        open();
        return operation();
    }
}

std::optional<Row> DiskLevel::get(std::string_view key) {
    return guarded([&]() -> std::optional<Row> {
        Statement::Use use(statements_->get);
        use.text(1, key);
        if (!use.step()) return std::nullopt;
        return Row{std::string(use.bytes(1)), static_cast<std::uint64_t>(use.integer(0))};
    });
}

std::optional<std::uint64_t> DiskLevel::stamp_of(std::string_view key) {
    return guarded([&]() -> std::optional<std::uint64_t> {
        Statement::Use use(statements_->stamp);
        use.text(1, key);
        if (!use.step()) return std::nullopt;
        return static_cast<std::uint64_t>(use.integer(0));
    });
}

std::uint64_t DiskLevel::put(std::string_view key, std::string_view value) {
    std::uint64_t stamp = next_stamp();
    guarded([&] {
        Statement::Use use(statements_->put);
        use.text(1, key).integer(2, static_cast<std::int64_t>(stamp)).blob(3, value);
        use.step();
    });
    return stamp;
}

bool DiskLevel::erase(std::string_view key) {
    return guarded([&] {
        Statement::Use use(statements_->erase);
        use.text(1, key);
        use.step();
        return use.changes() > 0;
    });
}

bool DiskLevel::erase_if(std::string_view key, std::uint64_t stamp) {
    return guarded([&] {
        Statement::Use use(statements_->erase_if);
        use.text(1, key).integer(2, static_cast<std::int64_t>(stamp));
        use.step();
        return use.changes() > 0;
    });
}

std::vector<std::string> DiskLevel::keys() {
    return guarded([&] {
        std::vector<std::string> keys;
        Statement::Use use(statements_->keys);
        while (use.step()) keys.emplace_back(use.bytes(0));
        return keys;
    });
}

std::vector<std::string> DiskLevel::keys_with_prefix(std::string_view prefix) {
    std::string end = prefix_end(prefix);
    return guarded([&] {
        std::vector<std::string> keys;
        Statement::Use use(end.empty() ? statements_->keys_from : statements_->keys_between);
        use.text(1, prefix);
        if (!end.empty()) use.text(2, end);
        while (use.step()) {
            std::string_view key = use.bytes(0);
            if (key.starts_with(prefix)) keys.emplace_back(key);
        }
        return keys;
    });
}

std::int64_t DiskLevel::count() {
    return guarded([&] {
        Statement::Use use(statements_->count);
        use.step();
        return use.integer(0);
    });
}

std::uint64_t DiskLevel::bytes_on_disk() const {
    return size_of(file_) + size_of(with_suffix(file_, "-wal"));
}

void DiskLevel::exec(const char *sql) {
    check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), sql);
}

std::int64_t DiskLevel::integer(const char *sql) {
    sqlite3_stmt *statement = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(statement);
    std::int64_t value = rc == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) rc = SQLITE_OK;
    sqlite3_finalize(statement);
    check(rc, sql);
    return value;
}

void DiskLevel::check(int rc, std::string_view what) const {
    if (rc != SQLITE_OK) fail(rc, what);
}

void DiskLevel::fail(int rc, std::string_view what) const {
    std::string reason = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    int primary = rc & 0xFF;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)
        throw Damaged("is damaged (" + reason + ")");
    throw StoreError("the cache store " + quoted(file_) + " failed " + std::string(what) + ": " +
                     reason);
}

}  // namespace veltrax::store
