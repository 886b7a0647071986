// The disk level keeping the shared level's outbox: the changes of entries the shared
// level did not get, one row per key (its latest change), written in the same
// transaction as the entry, so that they outlive the process that made them; any later
// process on the machine reads them and sends them.
#include "dualcache/disk_level.hpp"
#include "dualcache/disk_sqlite.hpp"

namespace veltrax::store {

namespace {

using Change = SharedOutbox::Change;

std::int64_t as_column(std::uint64_t bits) { return static_cast<std::int64_t>(bits); }

}  // namespace

void DiskLevel::step_outbox(std::string_view key, OutboxStep step) {
    if (step.kind == OutboxStep::Kind::none || !has_outbox_) return;
    if (step.kind == OutboxStep::Kind::clear) {
        Statement::Use clear(*statements_->clear_unsent);
        clear.text(1, key).step();
        return;
    }
    const Change &change = *step.change;
    Statement::Use keep(*statements_->keep_unsent);
    keep.text(1, key)
        .integer(2, change.kind == Change::Kind::removal)
        .integer(3, change.changed_ms)
        .integer(4, static_cast<std::int64_t>(change.seen.state))
        .integer(5, as_column(change.seen.version))
        .integer(6, as_column(change.bytes))
        .integer(7, change.set_aside);
    keep.step();
}

std::vector<Change> DiskLevel::unsent_changes() {
    return guarded([&] {
        std::vector<Change> changes;
        if (!has_outbox_) return changes;
        Statement::Use use(*statements_->unsent);
        while (use.step()) {
            auto seen = static_cast<SharedSeen::State>(use.integer(3));
            if (seen > SharedSeen::State::value) seen = SharedSeen::State::unknown;
            changes.push_back({use.integer(1) ? Change::Kind::removal : Change::Kind::write,
                               std::string(use.bytes(0)), use.integer(2),
                               SharedSeen{seen, static_cast<std::uint64_t>(use.integer(4))},
                               static_cast<std::uint64_t>(use.integer(5)), use.integer(6) != 0});
        }
        return changes;
    });
}

bool DiskLevel::has_unsent_change(std::string_view key) {
    return guarded([&] {
        if (!has_outbox_) return false;
        Statement::Use use(*statements_->has_unsent);
        use.text(1, key);
        return use.step();
    });
}

void DiskLevel::settle_change(const Change &change) { on_change(&Statements::settle_unsent, change); }

void DiskLevel::set_change_aside(const Change &change) {
    on_change(&Statements::set_unsent_aside, change);
}

// A statement on the change's row, if the row still holds that change.
void DiskLevel::on_change(std::optional<Statement> Statements::*statement, const Change &change) {
    guarded([&] {
        if (read_only_ || !has_outbox_) return;
        Statement::Use use(*(statements_->*statement));
        use.text(1, change.key)
            .integer(2, change.changed_ms)
            .integer(3, change.kind == Change::Kind::removal)
            .step();
    });
}

}  // namespace veltrax::store
