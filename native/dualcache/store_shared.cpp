// The shared level as the store uses it: keeping local copies honest (invalidations,
// confirming a copy before it is answered), reading a miss from it, sending it every
// change as a conditional one, and catching it up on what it missed while it was away
// (its outbox, kept in cache.db beside the entries).
#include <algorithm>
#include <chrono>

#include "dualcache/frame.hpp"
#include "dualcache/python_values.hpp"
#include "dualcache/store.hpp"

namespace veltrax::store {

namespace nb = nanobind;

namespace {

// How long one operation may spend sending the shared level what it missed while it
// was away; the rest goes with the operations after it.
constexpr auto shared_catch_up_time = std::chrono::milliseconds(100);
// The shared level is first tried again this soon after a failure; the wait doubles
// up to the store's retryAfter.
constexpr auto shared_first_retry = std::chrono::milliseconds(1000);

const UnreadableLines shared_unreadable{
    "Shared cache entry {} at {} has {}, which this version cannot read; left it",
    "Shared cache entry {} at {} could not be read ({}); removed it",
    "Shared cache entry {} at {} could not be read ({}); left it (the shared cache went away)"};

// When a change is made, by this machine's clock: the desk's clocks already agree for
// freshness, and the shared level orders changes by it.
std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

void DualCache::open_shared(SharedLevel shared, OutagePolicy::Clock::duration retry_after) {
    RedisLevel::Options options;
    options.longest_retry = std::chrono::ceil<RedisLevel::Milliseconds>(retry_after);
    options.first_retry =
        std::min<RedisLevel::Milliseconds>(shared_first_retry, options.longest_retry);
    // The level calls this with the store's lock held (every call is made under it).
    shared_ = std::make_unique<RedisLevel>(
        std::move(shared.address), std::move(shared.key_namespace), options,
        [this](const char *message, std::vector<std::string> values) {
            lock_.log(DiskLevel::Level::warning, message, std::move(values));
        });
}

// The level reports its outages itself; their end is reported here, with what it
// is still to be sent.
void DualCache::shared_answered(bool was_away) {
    if (!was_away || shared_->in_outage()) return;
    if (std::size_t changes = outbox_.to_send())
        lock_.log(DiskLevel::Level::info,
                  "The shared cache {} works again; sending it the {} made while it was away",
                  {shared_->where(),
                   std::to_string(changes) + (changes == 1 ? " change" : " changes")});
    else
        lock_.log(DiskLevel::Level::info, "The shared cache {} works again", {shared_->where()});
}

// Whether a key may be read from the shared level: never when what it holds there is
// older than what this store wrote or removed since.
bool DualCache::shared_may_hold(std::string_view text) const {
    return shared_ && !closed_ && outbox_.may_read(text);
}

// Whether this machine has a change of the key the shared level has not got: made by
// this store, or by another process on the machine (cache.db's outbox), whose copy
// then stands against the shared level's value.
bool DualCache::unsent_here(std::string_view text) {
    if (!outbox_.may_read(text)) return true;
    if (!disk_state_.readable()) return false;
    try {
        return without_gil([&] { return disk_.has_unsent_change(text); });
    } catch (const StoreError &error) {
        disk_failed(error, true);
        return false;
    }
}

// Someone changed these keys: the copies memory holds are to be confirmed again.
void DualCache::follow_invalidations() {
    for (const std::string &key : without_gil([&] { return shared_->take_invalidations(); }))
        if (Memory::Entry *entry = memory_.peek(key)) entry->shared.session = 0;
}

// How a copy of `version` stands once the shared level told what it holds.
SharedCopy DualCache::as_confirmed(const RedisLevel::Held &held, std::uint64_t version) const {
    SharedCopy copy = SharedCopy::of(version);
    switch (held.outcome) {
        case RedisLevel::Held::Outcome::unavailable: return copy;
        case RedisLevel::Held::Outcome::value:
            if (held.version != version) return copy;
            copy.seen = SharedSeen::value(version);
            break;
        case RedisLevel::Held::Outcome::absent: copy.seen = SharedSeen::absent(); break;
        case RedisLevel::Held::Outcome::foreign: break;  // not a value of the desk's
    }
    copy.session = shared_->session();
    return copy;
}

// A copy memory holds that no invalidation covers: answered if the shared level holds
// it too, or nothing; else the shared level's value is.
std::optional<nb::object> DualCache::confirmed(StoreLock::Held &busy, std::string_view text,
                                               std::uint64_t epoch) {
    Memory::Entry *entry = memory_.peek(text);
    nb::object local = entry->value;
    std::uint64_t version = entry->shared.version;
    RedisLevel::Held held = shared_call([&] { return shared_->held(text); });
    if (held.differs_from(version) && !unsent_here(text)) {
        if (std::optional<nb::object> fresher = load_shared(busy, text, epoch)) return fresher;
        return local;
    }
    if (Memory::Entry *still = memory_.peek(text); still && still->shared.version == version)
        still->shared = as_confirmed(held, version);
    return local;
}

// A miss of the local levels that the shared level answers: kept locally.
std::optional<nb::object> DualCache::load_shared(StoreLock::Held &busy, std::string_view text,
                                                 std::uint64_t epoch) {
    RedisLevel::Lookup found = shared_call([&] { return shared_->get(text); });
    if (found.outcome != RedisLevel::Lookup::Outcome::hit) return std::nullopt;
    std::uint64_t version = frame_version(found.value);
    SharedCopy copy{version, shared_->session(), SharedSeen::value(version)};

    std::uint64_t writes = writes_;
    Reading reading = read_unlocked(busy, found.value);
    if (reading.decoded) {
        if (writes == writes_ && !closed_)
            keep_locally(text, reading.decoded->value, reading.decoded->memory_bytes, found.value,
                         epoch, copy);
        return std::move(reading.decoded->value);
    }
    if (closed_) return std::nullopt;
    // Damaged or forged: no reader of the desk can use it. What was read goes, unless
    // someone wrote since (bytes that are no frame have no version to compare: what was
    // there before now goes).
    SharedSeen read = version ? SharedSeen::value(version) : SharedSeen{};
    unreadable(shared_unreadable, text, shared_->where(), reading, [&] {
        RedisLevel::Changed removed =
            shared_call([&] { return shared_->erase(text, read, now_ms()); });
        return removed.outcome == RedisLevel::Changed::Outcome::applied;
    });
    return std::nullopt;
}

std::optional<std::pair<nb::object, SharedSeen>> DualCache::read_shared(StoreLock::Held &busy,
                                                                        std::string_view text) {
    RedisLevel::Lookup found = shared_call([&] { return shared_->get(text); });
    if (found.outcome != RedisLevel::Lookup::Outcome::hit) return std::nullopt;
    Reading reading = read_unlocked(busy, found.value);
    if (!reading.decoded) return std::nullopt;
    return std::pair{std::move(reading.decoded->value), SharedSeen::value(frame_version(found.value))};
}

// A write goes to the shared level before the local levels: a change it did not get is
// kept for it, and the disk keeps it in the same transaction as the entry.
DualCache::Sharing DualCache::share(std::string_view text, std::string_view stored) {
    Sharing sharing;
    sharing.copy = SharedCopy::of(frame_version(stored));
    if (!shared_) return sharing;
    const Memory::Entry *entry = memory_.peek(text);
    SharedSeen seen = entry ? entry->shared.seen : SharedSeen{};
    std::int64_t changed = now_ms();
    if (stored.size() > shared_->largest_value()) {
        // Never shared (no one would read it back); what the desk holds under the key is
        // older, so it goes unless someone changed it later.
        lock_.log(DiskLevel::Level::warning,
                  "Cache entry {} is {} bytes, more than the shared cache {} takes; kept on "
                  "this machine only",
                  {shown(text), std::to_string(stored.size()), shared_->where()});
        sharing = unshare(text, SharedSeen{});
        sharing.copy = SharedCopy::of(frame_version(stored));
        return sharing;
    }
    RedisLevel::Changed result =
        shared_call([&] { return shared_->put(text, stored, seen, changed); });
    switch (result.outcome) {
        case RedisLevel::Changed::Outcome::applied:
            sharing.copy.session = shared_->session();
            sharing.copy.seen = SharedSeen::value(sharing.copy.version);
            [[fallthrough]];
        case RedisLevel::Changed::Outcome::not_applied:  // a later change stands there
            outbox_.sent(text);
            sharing.settled = true;
            return sharing;
        case RedisLevel::Changed::Outcome::refused:
        case RedisLevel::Changed::Outcome::unavailable:
            break;
    }
    sharing.asked = false;
    sharing.unsent = keep_for_shared(
        {SharedOutbox::Change::Kind::write, std::string(text), changed, seen, stored.size()},
        result);
    sharing.copy.seen = sharing.unsent->seen;
    return sharing;
}

// A removal goes to the shared level before the local levels, as a write does.
DualCache::Sharing DualCache::unshare(std::string_view text, std::optional<SharedSeen> seen) {
    Sharing sharing;
    if (!shared_) return sharing;
    if (!seen) {
        const Memory::Entry *entry = memory_.peek(text);
        seen = entry ? entry->shared.seen : SharedSeen{};
    }
    std::int64_t changed = now_ms();
    RedisLevel::Changed result =
        shared_call([&] { return shared_->erase(text, *seen, changed); });
    sharing.held = result.held;
    if (result.outcome == RedisLevel::Changed::Outcome::applied ||
        result.outcome == RedisLevel::Changed::Outcome::not_applied) {
        outbox_.sent(text);
        sharing.settled = true;
        return sharing;
    }
    sharing.asked = false;
    sharing.unsent =
        keep_for_shared({SharedOutbox::Change::Kind::removal, std::string(text), changed, *seen},
                        result);
    return sharing;
}

// The disk's copy of the outbox follows, where the disk can be written (a store that
// can only read it keeps what it settled in memory: sent again, it changes nothing).
template <typename Work>
void DualCache::on_disk(Work work) {
    if (!disk_state_.writable()) return;
    try {
        without_gil(work);
    } catch (const StoreError &error) {
        disk_failed(error, false);
    }
}

// A change the shared level did not get (or refused): kept for it, within the outbox's
// bounds. The change as kept.
SharedOutbox::Change DualCache::keep_for_shared(SharedOutbox::Change change,
                                                const RedisLevel::Changed &result) {
    SharedOutbox::Change kept = outbox_.record(std::move(change));
    if (result.outcome == RedisLevel::Changed::Outcome::refused) {
        outbox_.set_aside(kept);
        kept.set_aside = true;
        report_refusal(kept.key, result.refusal);
    }
    keep_outbox_within_bounds();
    return kept;
}

// A key the shared level refuses (its ACL, a script error): one line, and the change
// stays on this machine, sent no more until the key changes again.
void DualCache::set_aside(const SharedOutbox::Change &change, const std::string &refusal) {
    outbox_.set_aside(change);
    report_refusal(change.key, refusal);
    on_disk([&] { disk_.set_change_aside(change); });
}

void DualCache::report_refusal(std::string_view text, const std::string &refusal) {
    lock_.log(DiskLevel::Level::warning,
              "The shared cache {} refused the change of {} ({}); it stays on this machine only",
              {shared_->where(), shown(text), refusal});
}

void DualCache::settle(const SharedOutbox::Change &change) {
    outbox_.settled(change);
    on_disk([&] { disk_.settle_change(change); });
}

void DualCache::keep_outbox_within_bounds() {
    std::vector<SharedOutbox::Change> gone = outbox_.over_bounds(now_ms());
    if (gone.empty()) return;
    lock_.log(DiskLevel::Level::warning,
              "The shared cache {} will not get {} of the changes made while it was away: it "
              "is kept at most {} changes ({} bytes of values) made within the last {} days; "
              "the oldest went",
              {shared_->where(), std::to_string(gone.size()),
               std::to_string(outbox_.bounds().changes), std::to_string(outbox_.bounds().bytes),
               std::to_string(outbox_.bounds().age_ms / (24 * 3600 * 1000))});
    for (const SharedOutbox::Change &change : gone) on_disk([&] { disk_.settle_change(change); });
}

// What the shared level missed while it was away, oldest first, for a while at most in
// each operation; a write's latest value is read back from the disk (or from memory,
// which keeps what the disk has not got), and goes with the time it was made.
void DualCache::catch_up_shared() {
    keep_outbox_within_bounds();
    Clock::time_point until = Clock::now() + shared_catch_up_time;
    for (const SharedOutbox::Change &change : outbox_.pending()) {
        if (Clock::now() >= until) break;
        if (!outbox_.holds(change)) continue;  // settled by a step before
        const std::string &key = change.key;
        std::optional<std::string> stored;
        if (change.kind == SharedOutbox::Change::Kind::write) {
            if (const Memory::Entry *entry = memory_.peek(key); entry && !entry->unsynced.empty()) {
                stored = entry->unsynced;
            } else if (!removed_while_away_.count(key)) {
                if (!disk_state_.readable()) continue;  // not known now: later
                try {
                    if (std::optional<Row> row = without_gil([&] { return disk_.get(key); }))
                        stored = std::move(row->value);
                } catch (const StoreError &error) {
                    disk_failed(error, true);
                    continue;
                }
            }
            // Gone here since (removed for room): nothing of it is left to share.
            if (!stored) {
                settle(change);
                continue;
            }
        }
        RedisLevel::Changed result = shared_call([&] {
            if (!stored) return shared_->erase(key, change.seen, change.changed_ms);
            if (stored->size() > shared_->largest_value())
                return shared_->erase(key, SharedSeen{}, change.changed_ms);
            return shared_->put(key, *stored, change.seen, change.changed_ms);
        });
        if (result.outcome == RedisLevel::Changed::Outcome::unavailable) break;
        if (result.outcome == RedisLevel::Changed::Outcome::refused) {
            set_aside(change, result.refusal);
            continue;
        }
        settle(change);
        // The copy memory holds is the shared level's now, or a later change stands there.
        Memory::Entry *entry = memory_.peek(key);
        if (entry && stored && entry->shared.version == frame_version(*stored)) {
            bool applied = result.outcome == RedisLevel::Changed::Outcome::applied;
            entry->shared.session = applied ? shared_->session() : 0;
            entry->shared.seen = applied ? SharedSeen::value(entry->shared.version) : SharedSeen{};
        }
    }
    synchronise();
}

}  // namespace veltrax::store
