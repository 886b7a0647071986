// The disk level noticing other processes' commits: a cheap look at the WAL
// index header in shared memory first, SQLite's data_version only when it moved.
#include "dualcache/disk_level.hpp"
#include "dualcache/disk_sqlite.hpp"

namespace veltrax::store {

namespace {

// The WAL index header (two copies of 48 bytes) at the start of the WAL index,
// as SQLite's unix VFS lays it out; its first word is the index format version.
constexpr std::uint32_t wal_index_format = 3007000;
constexpr std::size_t wal_index_header_words = 24;
constexpr int wal_index_region_size = 32768;

}  // namespace

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

}  // namespace veltrax::store
