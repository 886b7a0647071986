// The shared level as the store uses it: reading a miss from it, sending it every
// change, and catching it up on what it missed while it was away (its outbox).
#include "dualcache/store.hpp"

#include <algorithm>

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
    if (std::size_t changes = outbox_.size())
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

// A write reaches the shared level now, or once it answers again.
void DualCache::share(std::string_view text, std::string_view stored) {
    if (!shared_) return;
    bool sent = shared_call([&] { return shared_->put(text, stored); });
    outbox_.wrote(text, sent);
}

// What the shared level missed while it was away, for a while at most in each
// operation: removals, then the latest value of each key written meanwhile, read
// back from the disk (or from memory, which keeps what the disk has not got).
void DualCache::catch_up_shared() {
    Clock::time_point until = Clock::now() + shared_catch_up_time;
    for (const SharedOutbox::Change &change : outbox_.pending()) {
        if (Clock::now() >= until) return;
        if (!outbox_.holds(change)) continue;  // settled by a step before
        const std::string &key = change.key;
        if (change.kind == SharedOutbox::Change::Kind::removal) {
            if (!shared_call([&] { return shared_->erase(key); })) return;
            outbox_.settled(change);
            continue;
        }
        std::optional<std::string> stored;
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
        // Gone here since (removed from the disk for room): what the shared level
        // holds under the key is older than what was written, so it goes too.
        bool done = stored ? shared_call([&] { return shared_->put(key, *stored); })
                           : shared_call([&] { return shared_->erase(key); }).has_value();
        if (!done) return;
        outbox_.settled(change);
    }
    synchronise();
}

// A miss of the local levels that the shared level answers: kept locally.
std::optional<nb::object> DualCache::load_shared(StoreLock::Held &busy, std::string_view text,
                                                 std::uint64_t epoch) {
    RedisLevel::Lookup found = shared_call([&] { return shared_->get(text); });
    if (found.outcome != RedisLevel::Lookup::Outcome::hit) return std::nullopt;

    std::uint64_t writes = writes_;
    Reading reading = read_unlocked(busy, found.value);
    if (reading.decoded) {
        if (writes == writes_ && !closed_)
            keep_locally(text, reading.decoded->value, reading.decoded->memory_bytes, found.value,
                         epoch);
        return std::move(reading.decoded->value);
    }
    if (closed_) return std::nullopt;
    // Damaged or forged: no reader of the desk can use it.
    unreadable(shared_unreadable, text, shared_->where(), reading,
               [&] { return shared_call([&] { return shared_->erase(text); }).has_value(); });
    return std::nullopt;
}

}  // namespace veltrax::store
