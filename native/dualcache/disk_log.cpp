// The disk level's write-ahead log. SQLite appends every commit to cache.db-wal
// and copies it into cache.db at a checkpoint; left to itself it checkpoints
// after 1,000 pages and never gives the log's space back. Here the log is kept
// to a share of the store's limit: checkpointed once it holds half its share
// (SQLite's own 1,000 pages where the limit allows), and cut back to its share
// as it starts over (not further: overwriting the file is faster than growing
// it again); checkpointed and cut to nothing once it holds its whole share
// (another process kept the earlier checkpoints from finishing, or one commit
// was that large). After a full disk, the space the log took is given back.
#include <algorithm>
#include <string>

#include "dualcache/disk_level.hpp"
#include "dualcache/disk_sqlite.hpp"

namespace veltrax::store {

namespace {

constexpr std::uint64_t sqlite_checkpoint_pages = 1000;
// The log's half share, as a part of the limit.
constexpr std::uint64_t checkpoint_part = 16;
// The log's index beside it (cache.db-shm), while the log holds fewer than 4,096 pages.
constexpr std::uint64_t log_index_bytes = 32 * 1024;

}  // namespace

std::uint64_t DiskLevel::checkpoint_at() const {
    return std::max(page_size_, std::min(sqlite_checkpoint_pages * page_size_, limit_ / checkpoint_part));
}

std::uint64_t DiskLevel::entries_limit() const {
    return limit_ - std::min(limit_, 2 * checkpoint_at() + log_index_bytes);
}

void DiskLevel::set_limit(std::uint64_t limit) {
    limit_ = limit;
    if (db_ && !read_only_) keep_log_within_limit();
}

void DiskLevel::keep_log_within_limit() {
    // A hook of one's own replaces SQLite's checkpoints after 1,000 pages.
    sqlite3_wal_hook(db_, &DiskLevel::committed, this);
    exec(("PRAGMA journal_size_limit = " + std::to_string(2 * checkpoint_at())).c_str());
}

int DiskLevel::committed(void *level, sqlite3 *, const char *, int pages) {
    auto &disk = *static_cast<DiskLevel *>(level);
    std::uint64_t log = static_cast<std::uint64_t>(pages) * disk.page_size_;
    if (log >= 2 * disk.checkpoint_at())
        disk.checkpoint(SQLITE_CHECKPOINT_TRUNCATE);
    else if (log >= disk.checkpoint_at())
        disk.checkpoint(SQLITE_CHECKPOINT_PASSIVE);
    return SQLITE_OK;  // the commit stands, whatever the checkpoint met
}

void DiskLevel::checkpoint_log() {
    if (db_ && !read_only_) checkpoint(SQLITE_CHECKPOINT_PASSIVE);
}

bool DiskLevel::reclaim_log() {
    if (!db_ || read_only_) return false;
    std::uint64_t before = log_bytes();
    return checkpoint(SQLITE_CHECKPOINT_TRUNCATE) && log_bytes() < before;
}

bool DiskLevel::checkpoint(int mode) {
    return sqlite3_wal_checkpoint_v2(db_, "main", mode, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace veltrax::store
