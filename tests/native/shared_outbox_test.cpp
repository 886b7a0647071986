// The shared level's outbox: which changes made here it is still to get.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dualcache/shared_outbox.hpp"

namespace veltrax::store {
namespace {

using Kind = SharedOutbox::Change::Kind;

enum class Step { wrote_sent, wrote_unsent, removed_sent, removed_unsent, lost, send_all };

struct Case {
    const char *name;
    std::vector<Step> steps;  // all on the key "k"
    bool may_read;
    bool may_list;
    std::vector<Kind> pending;  // the changes left for "k"
};

void apply(SharedOutbox &outbox, Step step) {
    switch (step) {
        case Step::wrote_sent: return outbox.wrote("k", true);
        case Step::wrote_unsent: return outbox.wrote("k", false);
        case Step::removed_sent: return outbox.removed("k", true);
        case Step::removed_unsent: return outbox.removed("k", false);
        case Step::lost: return outbox.lost("k");
        case Step::send_all:
            for (const SharedOutbox::Change &change : outbox.pending()) outbox.settled(change);
    }
}

TEST(SharedOutbox, TheLatestChangeOfAKeyIsTheOneItKeeps) {
    const std::vector<Case> cases{
        {"sent at once", {Step::wrote_sent}, true, true, {}},
        {"a write while away", {Step::wrote_unsent}, false, true, {Kind::write}},
        {"a removal while away", {Step::removed_unsent}, false, false, {Kind::removal}},
        {"written again once back", {Step::wrote_unsent, Step::wrote_sent}, true, true, {}},
        {"written after a removal while away",
         {Step::removed_unsent, Step::wrote_unsent}, false, true, {Kind::write}},
        {"removed after a write while away",
         {Step::wrote_unsent, Step::removed_unsent}, false, false, {Kind::removal}},
        {"an unsent write memory let go becomes a removal",
         {Step::wrote_unsent, Step::lost}, false, false, {Kind::removal}},
        {"a sent write memory let go stays sent", {Step::wrote_sent, Step::lost}, true, true, {}},
        {"caught up", {Step::wrote_unsent, Step::removed_unsent, Step::send_all}, true, true, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SharedOutbox outbox;
        for (Step step : c.steps) apply(outbox, step);
        EXPECT_EQ(outbox.may_read("k"), c.may_read);
        EXPECT_EQ(outbox.may_list("k"), c.may_list);
        std::vector<Kind> pending;
        for (const SharedOutbox::Change &change : outbox.pending()) pending.push_back(change.kind);
        EXPECT_EQ(pending, c.pending);
        EXPECT_EQ(outbox.size(), c.pending.size());
    }
}

TEST(SharedOutbox, RemovalsGoFirstAndAChangeOvertakenMeanwhileIsNotSettled) {
    SharedOutbox outbox;
    outbox.wrote("a", false);
    outbox.removed("b", false);
    std::vector<SharedOutbox::Change> pending = outbox.pending();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].key, "b");
    EXPECT_EQ(pending[0].kind, Kind::removal);
    outbox.removed("a", false);  // while the catch-up is under way
    EXPECT_FALSE(outbox.holds(pending[1]));
    outbox.settled(pending[1]);
    EXPECT_EQ(outbox.size(), 2u);  // the removal of "a" is still to go
}

}  // namespace
}  // namespace veltrax::store
