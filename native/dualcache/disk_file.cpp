// The disk level's file: making, opening (for reading only when it cannot be
// written), configuring and closing it; setting aside a damaged one; following one
// another process put in its place; and SQLite's errors as StoreError.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "dualcache/disk_level.hpp"
#include "dualcache/disk_sqlite.hpp"

namespace veltrax::store {

namespace fs = std::filesystem;

namespace {

// PRAGMA application_id of our databases ("VXDC"); anything else in cache.db is not ours.
constexpr std::int64_t application_id = 0x56584443;
// The recency and outbox tables came later without a new schema version: older
// versions ignore them, and their entries (with no recency row) count as least
// recently used.
constexpr std::int64_t schema_version = 1;
constexpr int busy_timeout_ms = 10'000;

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

}  // namespace

std::string quoted(const fs::path &path) {
    std::string text(1, '\'');
    text.append(path.string()).push_back('\'');
    return text;
}

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
    has_outbox_ = integer("SELECT count(*) FROM sqlite_schema WHERE name = 'shared_outbox'") == 1;
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
    page_size_ = static_cast<std::uint64_t>(integer("PRAGMA page_size"));
    keep_log_within_limit();
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
            if (read_only_ || integer("SELECT count(*) FROM sqlite_schema "
                                      "WHERE name IN ('recency', 'shared_outbox')") == 2)
                return;
            Transaction transaction(*this);
            exec("CREATE TABLE IF NOT EXISTS recency "
                 "(key TEXT PRIMARY KEY NOT NULL, used INTEGER NOT NULL) WITHOUT ROWID");
            // The shared level's changes still to send (disk_outbox.cpp); older versions
            // ignore it.
            exec("CREATE TABLE IF NOT EXISTS shared_outbox (key TEXT PRIMARY KEY NOT NULL, "
                 "removal INTEGER NOT NULL, changed INTEGER NOT NULL, seen INTEGER NOT NULL, "
                 "seen_version INTEGER NOT NULL, bytes INTEGER NOT NULL, "
                 "set_aside INTEGER NOT NULL) WITHOUT ROWID");
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

std::uint64_t DiskLevel::data_bytes() const { return size_of(file_); }

std::uint64_t DiskLevel::log_bytes() const {
    return size_of(with_suffix(file_, "-wal")) + size_of(with_suffix(file_, "-shm"));
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
    bool no_room = primary == SQLITE_FULL || (primary == SQLITE_IOERR && system_error == ENOSPC);
    throw StoreError("the cache store " + quoted(file_) + " failed " + std::string(what) + ": " +
                         reason,
                     reason, no_room);
}

}  // namespace veltrax::store
