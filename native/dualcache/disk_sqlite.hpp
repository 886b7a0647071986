// Inside the disk level: the SQLite statements, transactions and errors its
// parts share, and the guard every operation on the open file runs under.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "dualcache/disk_level.hpp"

namespace veltrax::store {

// A path in single quotes, as messages name it.
std::string quoted(const std::filesystem::path &path);

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
        if (level.has_outbox_) {
            unsent.emplace(level,
                           "SELECT key, removal, changed, seen, seen_version, bytes, set_aside "
                           "FROM shared_outbox");
            has_unsent.emplace(level, "SELECT 1 FROM shared_outbox WHERE key = ?1");
        }
        if (level.read_only_) return;
        if (level.has_outbox_) {
            keep_unsent.emplace(
                level,
                "INSERT OR REPLACE INTO shared_outbox (key, removal, changed, seen, seen_version, "
                "bytes, set_aside) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
            clear_unsent.emplace(level, "DELETE FROM shared_outbox WHERE key = ?1");
            settle_unsent.emplace(level,
                                  "DELETE FROM shared_outbox "
                                  "WHERE key = ?1 AND changed = ?2 AND removal = ?3");
            set_unsent_aside.emplace(level,
                                     "UPDATE shared_outbox SET set_aside = 1 "
                                     "WHERE key = ?1 AND changed = ?2 AND removal = ?3");
        }
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
    // Only where the file has the outbox's table (the last four: and can be written).
    std::optional<Statement> unsent, has_unsent, keep_unsent, clear_unsent, settle_unsent,
        set_unsent_aside;
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

// An operation on the open file, which follows a file another process put in its
// place, and sets aside a damaged one and starts afresh (once).
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

}  // namespace veltrax::store
