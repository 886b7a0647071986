// The shared level's outbox: which changes made here it is still to get, and what it
// keeps of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dualcache/shared_outbox.hpp"

namespace veltrax::store {
namespace {

using Change = SharedOutbox::Change;
using Kind = Change::Kind;

constexpr SharedOutbox::Bounds roomy{100, 1000, 10'000};

Change change(Kind kind, std::string key, std::int64_t at, SharedSeen seen = {},
              std::uint64_t bytes = 0) {
    return {kind, std::move(key), at, seen, bytes};
}

std::vector<std::string> pending_keys(const SharedOutbox &outbox) {
    std::vector<std::string> keys;
    for (const Change &kept : outbox.pending()) keys.push_back(kept.key);
    return keys;
}

TEST(SharedOutbox, TheLatestChangeOfAKeyIsKeptWithWhatWasSeenBeforeTheFirst) {
    SharedOutbox outbox(roomy);
    outbox.record(change(Kind::write, "k", 10, SharedSeen::value(7), 100));
    outbox.record(change(Kind::removal, "k", 20, SharedSeen::absent()));
    ASSERT_EQ(outbox.pending().size(), 1u);
    Change kept = outbox.pending()[0];
    EXPECT_EQ(kept.kind, Kind::removal);
    EXPECT_EQ(kept.changed_ms, 20);
    EXPECT_EQ(kept.seen, SharedSeen::value(7));  // the shared level got neither
    EXPECT_EQ(outbox.bytes(), 0u);
    EXPECT_FALSE(outbox.may_read("k"));
    EXPECT_FALSE(outbox.may_list("k"));

    // Overtaken while being sent: the change sent is not the one kept.
    outbox.record(change(Kind::write, "k", 30, {}, 50));
    EXPECT_FALSE(outbox.holds(kept));
    outbox.settled(kept);
    EXPECT_EQ(outbox.size(), 1u);
    EXPECT_TRUE(outbox.may_list("k"));

    // Memory let go of the unsent write: what the shared level holds is older, so a removal.
    outbox.lost("k");
    EXPECT_EQ(outbox.pending()[0].kind, Kind::removal);
    EXPECT_EQ(outbox.pending()[0].changed_ms, 30);

    outbox.sent("k");
    EXPECT_TRUE(outbox.empty());
    EXPECT_TRUE(outbox.may_read("k"));
}

TEST(SharedOutbox, ARefusedChangeIsSetAsideUntilTheKeyChangesAgain) {
    SharedOutbox outbox(roomy);
    Change refused = outbox.record(change(Kind::write, "a", 10, {}, 5));
    outbox.record(change(Kind::write, "b", 11, {}, 5));
    outbox.set_aside(refused);
    EXPECT_EQ(pending_keys(outbox), std::vector<std::string>{"b"});
    EXPECT_EQ(outbox.set_aside(), 1u);
    EXPECT_EQ(outbox.to_send(), 1u);
    EXPECT_FALSE(outbox.may_read("a"));  // this machine's value stands against the shared one
    outbox.record(change(Kind::write, "a", 12, {}, 5));
    EXPECT_EQ(pending_keys(outbox), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(outbox.set_aside(), 0u);
}

TEST(SharedOutbox, PastItsBoundsTheOldestChangesGo) {
    struct Case {
        const char *name;
        SharedOutbox::Bounds bounds;
        std::int64_t now;
        std::vector<std::string> kept;
    };
    // Writes of 40 bytes made at 10, 20, 30 (a, b, c) and a removal at 40 (d).
    const Case cases[] = {
        {"within", roomy, 100, {"a", "b", "c", "d"}},
        {"too many", {3, 1000, 10'000}, 100, {"b", "c", "d"}},
        {"values too large", {100, 80, 10'000}, 100, {"b", "c", "d"}},
        {"too old", {100, 1000, 75}, 100, {"c", "d"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SharedOutbox outbox(c.bounds);
        for (auto [key, at] : {std::pair{"a", 10}, {"b", 20}, {"c", 30}})
            outbox.record(change(Kind::write, key, at, {}, 40));
        outbox.record(change(Kind::removal, "d", 40));
        std::size_t before = outbox.size();
        std::vector<Change> gone = outbox.over_bounds(c.now);
        EXPECT_EQ(pending_keys(outbox), c.kept);
        EXPECT_EQ(gone.size() + outbox.size(), before);
        EXPECT_EQ(outbox.bytes(), 40 * (c.kept.size() - 1));
    }
}

TEST(SharedOutbox, ChangesReadBackFromTheDiskGiveWayToLaterOnes) {
    SharedOutbox outbox(roomy);
    outbox.record(change(Kind::write, "a", 50, {}, 10));
    Change aside = change(Kind::write, "c", 5, {}, 10);
    aside.set_aside = true;
    outbox.load({change(Kind::removal, "a", 40), change(Kind::removal, "b", 60), aside});
    EXPECT_EQ(pending_keys(outbox), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(outbox.pending()[0].kind, Kind::write);
    EXPECT_EQ(outbox.set_aside(), 1u);
    EXPECT_EQ(outbox.bytes(), 20u);
}

}  // namespace
}  // namespace veltrax::store
