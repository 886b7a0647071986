// The disk level's entries: reading, writing (with their uses, for the least
// recently used to go first past the limit), removing and listing them.
#include <algorithm>
#include <chrono>

#include "dualcache/disk_level.hpp"
#include "dualcache/disk_sqlite.hpp"

namespace veltrax::store {

namespace {

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::uint64_t DiskLevel::next_stamp() {
    std::uint64_t stamp;
    do stamp = stamps_();
    while (stamp == 0);
    return stamp;
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
                             const std::vector<std::string> &used, OutboxStep outbox) {
    std::uint64_t stamp = next_stamp();
    bool fits = key.size() + value.size() <= entries_limit();
    auto write = [&] {
        guarded([&] {
            if (read_only_) fail(SQLITE_READONLY, "writing an entry");
            Transaction transaction(*this);
            std::int64_t now = now_ms();
            record(*statements_->used, used, now);
            if (fits) {
                Statement::Use use(statements_->put);
                use.text(1, key).integer(2, static_cast<std::int64_t>(stamp)).blob(3, value);
                use.step();
                record(*statements_->used, {std::string(key)}, now);
            } else {
                // Written, it would go again at once as the least recently used.
                remove_row(key);
            }
            step_outbox(key, outbox);
            keep_within_limit(key);
            transaction.commit();
        });
    };
    try {
        write();
    } catch (const StoreError &error) {
        if (!error.no_room() || !reclaim_log()) throw;
        write();
    }
    if (!fits)
        log_(Level::info,
             "The cache store {} did not take an entry of {} bytes: its limit of {} bytes leaves "
             "{} bytes for entries",
             {file_.string(), std::to_string(key.size() + value.size()), std::to_string(limit_),
              std::to_string(entries_limit())});
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
    std::uint64_t limit = entries_limit();
    std::uint64_t used = used_bytes();
    if (used <= limit) return;
    // Down to nine tenths, so that the next writes do not each remove entries again.
    std::uint64_t goal = limit - limit / 10;
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
            remove_row(key);
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

bool DiskLevel::remove_row(std::string_view key) {
    Statement::Use use(statements_->erase);
    use.text(1, key).step();
    bool removed = use.changes() > 0;
    Statement::Use forget(*statements_->forget_use);
    forget.text(1, key).step();
    return removed;
}

bool DiskLevel::erase(std::string_view key, OutboxStep outbox) {
    return guarded([&] {
        if (read_only_) fail(SQLITE_READONLY, "removing an entry");
        Transaction transaction(*this);
        bool removed = remove_row(key);
        step_outbox(key, outbox);
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

}  // namespace veltrax::store
