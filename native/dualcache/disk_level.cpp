#include "dualcache/disk_level.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace veltrax::store {

namespace fs = std::filesystem;

namespace {

// PRAGMA application_id of our databases ("VXDC"); anything else in cache.db is not ours.
constexpr std::int64_t application_id = 0x56584443;
// The recency table came later without a new schema version: older versions
// ignore it, and their entries (with no recency row) count as least recently used.
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

// What a file takes; nothing for anything else (a directory in the way of cache.db).
std::uint64_t size_of(const fs::path &path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    return static_cast<std::uint64_t>(info.st_size);
}

fs::path with_suffix(const fs::path &path, std::string_view suffix) {
    return fs::path(path.string() + std::string(suffix));
}

// A path as the text of an SQLite URI ("file:" + path): its own '%', '?' and '#' escaped.
std::string uri_of(const fs::path &path) {
    std::string uri = "file:";
    for (char c : path.string()) {
        if (c == '%' || c == '?' || c == '#') {
            const char *hex = "0123456789ABCDEF";
            uri += '%';
            uri += hex[static_cast<unsigned char>(c) >> 4];
            uri += hex[static_cast<unsigned char>(c) & 0xF];
        } else {
            uri += c;
        }
    }
    return uri;
}

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
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
          data_version(level, "PRAGMA data_version"),
          page_count(level, "PRAGMA page_count"),
          free_pages(level, "PRAGMA freelist_count"),
          page_size(level, "PRAGMA page_size") {
        if (level.read_only_) return;
        used.emplace(level,
                     "INSERT INTO recency (key, used) SELECT key, ?2 FROM entries WHERE key = ?1 "
                     "ON CONFLICT (key) DO UPDATE SET used = excluded.used");
        forget_use.emplace(level, "DELETE FROM recency WHERE key = ?1");
        least_used.emplace(level,
                           "SELECT e.key, length(e.key) + length(e.value) FROM entries AS e "
                           "LEFT JOIN recency AS r ON r.key = e.key "
                           "ORDER BY coalesce(r.used, 0), e.key LIMIT 64");
    }

    Statement get, stamp, put, erase, erase_if, keys, keys_from, keys_between, count, data_version,
        page_count, free_pages, page_size;
    // Only where the database can be written.
    std::optional<Statement> used, forget_use, least_used;
};

// BEGIN IMMEDIATE ... COMMIT; rolled back unless committed.
class DiskLevel::Transaction {
public:
    explicit Transaction(DiskLevel &level) : level_(level) { level.exec("BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!committed_) sqlite3_exec(level_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    void commit() {
        level_.exec("COMMIT");
        committed_ = true;
    }

private:
    DiskLevel &level_;
    bool committed_ = false;
};

DiskLevel::DiskLevel(fs::path directory, std::uint64_t limit, Log log)
    : directory_(std::move(directory)),
      file_(directory_ / "cache.db"),
      limit_(limit),
      log_(std::move(log)),
      stamps_(std::random_device{}()) {}

DiskLevel::~DiskLevel() { close_connection(); }

void DiskLevel::open() {
    close_connection();
    std::error_code error;
    fs::create_directories(directory_, error);
    if (error)
        throw StoreError("cannot create the cache directory " + quoted(directory_) + ": " +
                             error.message(),
                         "cannot create its directory: " + error.message());
    if (!fs::is_directory(directory_, error))
        throw StoreError("the cache directory " + quoted(directory_) + " is not a directory",
                         "its directory is not a directory");
    std::optional<std::pair<dev_t, ino_t>> before = identity_;
    for (int attempt = 0;; ++attempt) {
        try {
            open_once();
            break;
        } catch (const Damaged &damage) {
            close_connection();
            if (attempt > 0)
                throw StoreError("the cache store " + quoted(file_) + " " + damage.what(),
                                 damage.what());
            set_aside(damage.what());
        } catch (...) {
            close_connection();
            throw;
        }
    }
    // Whatever happened while no connection was open is unknown: entries read
    // before are checked again, and dropped if another file took this one's place.
    if (before && identity_ != before) ++generation_;
    ++epoch_;
    watch_shared_memory();
    data_version_ = data_version();
}

void DiskLevel::open_once() {
    open_connection(false);
    try {
        configure();
        prepare_schema();
    } catch (const Damaged &) {
        throw;
    } catch (const StoreError &error) {
        // The database cannot be opened for writing, nor read the way that needs
        // (the WAL's shared-memory file beside it cannot be made or grown: a
        // read-only directory, a full disk). It is read as a file nobody changes,
        // which it is while that lasts; opening it for writing is tried again
        // later. Waiting for another process's lock is no such case.
        int primary = sqlite3_errcode(db_) & 0xFF;
        close_connection();
        if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED || !fs::is_regular_file(file_)) throw;
        std::string why = ::access(directory_.c_str(), W_OK) != 0 ? "its directory cannot be written"
                                                                  : error.reason();
        open_connection(true);
        read_only_reason_ = why;
        try {
            prepare_schema();
        } catch (const Damaged &damage) {
            // Not set aside on what a read-only look saw: the file is not ours to move now.
            throw StoreError("the cache store " + quoted(file_) + " " + damage.what(), damage.what());
        }
    }
    statements_ = new Statements(*this);
}

void DiskLevel::open_connection(bool immutable) {
    std::string name = immutable ? uri_of(file_) + "?immutable=1" : file_.string();
    int flags = immutable ? SQLITE_OPEN_READONLY | SQLITE_OPEN_URI
                          : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    int rc = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string reason = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        int system_error = db_ ? sqlite3_system_errno(db_) : 0;
        // A new file in a directory that cannot be written: SQLite falls back to opening it for
        // reading, and reports that attempt's "No such file or directory"; the cause is the directory.
        std::error_code ignored;
        if (!immutable && !fs::exists(file_, ignored) && ::access(directory_.c_str(), W_OK) != 0) {
            system_error = errno;
            reason = "its directory cannot be written";
        }
        if (system_error) reason += std::string(": ") + std::strerror(system_error);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw StoreError("cannot open the cache store " + quoted(file_) + ": " + reason, reason);
    }
    identity_ = identity_of(file_);
    immutable_ = immutable;
    read_only_ = sqlite3_db_readonly(db_, "main") == 1;
    read_only_reason_ = "the file cannot be written";
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busy_timeout_ms);
}

void DiskLevel::configure() {
    if (read_only_) {
        integer("PRAGMA schema_version");  // the first read: fails here if the file cannot be read
        return;
    }
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
                                 " in write-ahead-log mode (is it on a network file system?)",
                             "it cannot be kept in write-ahead-log mode");
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
                                     " was written by a newer version of this program",
                                 "it was written by a newer version of this program");
            if (integer("SELECT count(*) FROM pragma_table_info('entries') "
                        "WHERE name IN ('key', 'stamp', 'value')") != 3)
                throw Damaged("has no entries table of the expected shape");
            if (read_only_ || integer("SELECT count(*) FROM sqlite_schema WHERE name = 'recency'"))
                return;
            Transaction transaction(*this);
            exec("CREATE TABLE IF NOT EXISTS recency "
                 "(key TEXT PRIMARY KEY NOT NULL, used INTEGER NOT NULL) WITHOUT ROWID");
            transaction.commit();
            return;
        }
        if (application != 0 || integer("SELECT count(*) FROM sqlite_schema") != 0)
            throw Damaged("is not a cache store of this program");
        if (read_only_)
            throw StoreError("the cache store " + quoted(file_) + " is new and cannot be written",
                             "it is new and cannot be written");
        // A fresh file: the first of two processes to get here creates the tables.
        Transaction transaction(*this);
        if (integer("PRAGMA application_id") == 0 &&
            integer("SELECT count(*) FROM sqlite_schema") == 0) {
            exec("CREATE TABLE entries (key TEXT PRIMARY KEY NOT NULL, "
                 "stamp INTEGER NOT NULL, value BLOB NOT NULL)");
            exec(("PRAGMA application_id = " + std::to_string(application_id)).c_str());
            exec(("PRAGMA user_version = " + std::to_string(schema_version)).c_str());
        }
        transaction.commit();
    }
}

void DiskLevel::close_connection() {
    delete statements_;
    statements_ = nullptr;
    wal_index_ = nullptr;  // SQLite's mapping goes with the connection
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    read_only_ = false;
    immutable_ = false;
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
    if (::rename(file_.c_str(), aside.c_str()) != 0) {
        std::string cause = reason + ", and it cannot be moved aside: " + std::strerror(errno);
        throw StoreError("the cache store " + quoted(file_) + " " + cause, cause);
    }
    // A WAL left beside a new database would be replayed into it: it goes with its database.
    ::rename(with_suffix(file_, "-wal").c_str(), with_suffix(aside, "-wal").c_str());
    ::unlink(with_suffix(file_, "-shm").c_str());
    log_(Level::warning, "The cache store {} {}; moved it to {} and started an empty store",
         {file_.string(), reason, aside.string()});
}

void DiskLevel::follow_replaced_file() {
    if (identity_ && identity_of(file_) == identity_) return;
    // Another process moved a damaged file aside: use the one now in its place.
    open();
}

void DiskLevel::watch_shared_memory() {
    // SQLite's own mapping of the index, through its VFS: opening the -shm file
    // here and closing it again would drop the locks SQLite holds on it (POSIX
    // locks belong to the process, not to the descriptor).
    sqlite3_file *file = nullptr;
    if (immutable_ ||
        sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
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

bool DiskLevel::maybe_changed() {
    // A file opened as immutable is one nobody can change.
    if (!db_ || immutable_) return false;
    if (!wal_index_) return true;
    bool same = true;
    for (std::size_t i = 0; i < wal_index_header_words; ++i) {
        std::uint32_t word = wal_index_[i];
        same = same && word == wal_index_seen_[i];
        wal_index_seen_[i] = word;
    }
    return !same;
}

void DiskLevel::refresh_epoch() {
    // Something committed: ours leave data_version alone, another connection's move it.
    std::int64_t version = guarded([&] { return data_version(); });
    if (version != data_version_) {
        data_version_ = version;
        ++epoch_;
    }
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
    if (!db_)
        throw StoreError("the cache store in " + quoted(directory_) + " is closed", "it is closed");
    follow_replaced_file();
    try {
        return operation();
    } catch (const Damaged &damage) {
        if (immutable_) throw StoreError("the cache store " + quoted(file_) + " " + damage.what(), damage.what());
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

void DiskLevel::record(Statement &statement, const std::vector<std::string> &keys,
                       std::int64_t now) {
    for (const std::string &key : keys) {
        Statement::Use use(statement);
        use.text(1, key).integer(2, now);
        use.step();
    }
}

std::uint64_t DiskLevel::put(std::string_view key, std::string_view value,
                             const std::vector<std::string> &used) {
    std::uint64_t stamp = next_stamp();
    guarded([&] {
        if (read_only_) fail(SQLITE_READONLY, "writing an entry");
        Transaction transaction(*this);
        {
            Statement::Use use(statements_->put);
            use.text(1, key).integer(2, static_cast<std::int64_t>(stamp)).blob(3, value);
            use.step();
        }
        std::int64_t now = now_ms();
        record(*statements_->used, used, now);
        record(*statements_->used, {std::string(key)}, now);
        keep_within_limit(key);
        transaction.commit();
    });
    return stamp;
}

void DiskLevel::record_use(const std::vector<std::string> &used) {
    guarded([&] {
        if (read_only_ || used.empty()) return;
        Transaction transaction(*this);
        record(*statements_->used, used, now_ms());
        transaction.commit();
    });
}

std::uint64_t DiskLevel::used_bytes() {
    auto value_of = [](Statement &statement) {
        Statement::Use use(statement);
        use.step();
        return static_cast<std::uint64_t>(use.integer(0));
    };
    std::uint64_t pages = value_of(statements_->page_count);
    std::uint64_t free = value_of(statements_->free_pages);
    return (pages - std::min(pages, free)) * value_of(statements_->page_size);
}

void DiskLevel::keep_within_limit(std::string_view written) {
    std::uint64_t used = used_bytes();
    if (used <= limit_) return;
    // Down to nine tenths, so that the next writes do not each remove entries again.
    std::uint64_t goal = limit_ - limit_ / 10;
    std::int64_t removed = 0;
    std::uint64_t removed_bytes = 0;
    bool written_removed = false;
    while (used > goal) {
        std::vector<std::pair<std::string, std::uint64_t>> oldest;
        {
            Statement::Use use(*statements_->least_used);
            while (use.step()) oldest.emplace_back(use.bytes(0), use.integer(1));
        }
        if (oldest.empty()) break;
        std::uint64_t freed = 0;
        for (const auto &[key, bytes] : oldest) {
            Statement::Use erase(statements_->erase);
            erase.text(1, key).step();
            Statement::Use forget(*statements_->forget_use);
            forget.text(1, key).step();
            freed += bytes;
            removed_bytes += bytes;
            ++removed;
            written_removed = written_removed || key == written;
            if (freed >= used - goal) break;
        }
        used = used_bytes();
    }
    log_(Level::info,
         "The cache store {} was over its limit of {} bytes; removed {} least recently used "
         "entries ({} bytes){}",
         {file_.string(), std::to_string(limit_), std::to_string(removed),
          std::to_string(removed_bytes), written_removed ? ", the new one among them" : ""});
}

bool DiskLevel::erase(std::string_view key) {
    return guarded([&] {
        if (read_only_) fail(SQLITE_READONLY, "removing an entry");
        Transaction transaction(*this);
        Statement::Use use(statements_->erase);
        use.text(1, key);
        use.step();
        bool removed = use.changes() > 0;
        Statement::Use forget(*statements_->forget_use);
        forget.text(1, key).step();
        transaction.commit();
        return removed;
    });
}

bool DiskLevel::erase_if(std::string_view key, std::uint64_t stamp) {
    return guarded([&] {
        if (read_only_) fail(SQLITE_READONLY, "removing an entry");
        Transaction transaction(*this);
        Statement::Use use(statements_->erase_if);
        use.text(1, key).integer(2, static_cast<std::int64_t>(stamp));
        use.step();
        bool removed = use.changes() > 0;
        if (removed) {
            Statement::Use forget(*statements_->forget_use);
            forget.text(1, key).step();
        }
        transaction.commit();
        return removed;
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
    std::string reason = db_ && sqlite3_errcode(db_) == rc ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    int primary = rc & 0xFF;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)
        throw Damaged("is damaged (" + reason + ")");
    int system_error = db_ ? sqlite3_system_errno(db_) : 0;
    if (system_error && primary == SQLITE_IOERR) reason += std::string(": ") + std::strerror(system_error);
    throw StoreError("the cache store " + quoted(file_) + " failed " + std::string(what) + ": " +
                         reason,
                     reason);
}

}  // namespace veltrax::store
