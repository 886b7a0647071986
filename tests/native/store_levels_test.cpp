#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dualcache/outage_policy.hpp"
#include "dualcache/disk_level.hpp"
#include "dualcache/memory_level.hpp"

namespace veltrax::store {
namespace {

namespace fs = std::filesystem;

using Memory = MemoryLevel<std::string>;

// An entry of `value_bytes` under a one-letter key takes this much.
std::size_t taken(std::size_t value_bytes) { return value_bytes + Memory::bookkeeping("k"); }

TEST(MemoryLevel, LeastRecentlyUsedLeaveFirst) {
    Memory memory(taken(4) * 2);
    memory.put("a", "A", 4, 1, 1);
    memory.put("b", "B", 4, 2, 1);
    ASSERT_NE(memory.find("a"), nullptr);  // a is now the most recent
    std::vector<std::string> gone = memory.put("c", "C", 4, 3, 1);
    EXPECT_EQ(gone, std::vector<std::string>{"B"});
    EXPECT_EQ(memory.find("b"), nullptr);
    EXPECT_EQ(memory.find("a")->value, "A");
    EXPECT_EQ(memory.bytes(), taken(4) * 2);
}

TEST(MemoryLevel, ReplacingGivesBackTheOldValue) {
    Memory memory(1000);
    memory.put("a", "old", 10, 1, 1);
    EXPECT_EQ(memory.put("a", "new", 20, 2, 1), std::vector<std::string>{"old"});
    EXPECT_EQ(memory.size(), 1u);
    EXPECT_EQ(memory.bytes(), taken(20));
    EXPECT_EQ(memory.find("a")->stamp, 2u);
}

TEST(MemoryLevel, TooLargeForTheLimitIsNotKept) {
    Memory memory(taken(10));
    memory.put("a", "A", 5, 1, 1);
    EXPECT_EQ(memory.put("a", "huge", 11, 2, 1), (std::vector<std::string>{"A", "huge"}));
    EXPECT_EQ(memory.size(), 0u);
    EXPECT_EQ(memory.bytes(), 0u);
}

TEST(MemoryLevel, LoweringTheLimitEvicts) {
    Memory memory(taken(10) * 5);
    for (char key = 'a'; key <= 'e'; ++key) memory.put(std::string(1, key), "v", 10, 1, 1);
    EXPECT_EQ(memory.set_limit(taken(10) * 2 + 5).size(), 3u);
    EXPECT_NE(memory.find("e"), nullptr);
    EXPECT_NE(memory.find("d"), nullptr);
    EXPECT_EQ(memory.find("c"), nullptr);
    EXPECT_EQ(memory.clear().size(), 2u);
    EXPECT_EQ(memory.bytes(), 0u);
}

TEST(MemoryLevel, WhatOnlyMemoryHasLeavesLast) {
    Memory memory(taken(10) * 2 + 3);
    memory.put("a", "only here", 10, 0, 1, "abc");
    memory.put("b", "B", 10, 1, 1);
    EXPECT_EQ(memory.unsynced(), 1u);
    // a is the least recently used, yet b leaves: the disk still has b.
    EXPECT_EQ(memory.put("c", "C", 10, 2, 1), std::vector<std::string>{"B"});
    ASSERT_NE(memory.find("a"), nullptr);
    EXPECT_EQ(memory.bytes(), taken(10) * 2 + 3);

    memory.synced(*memory.find("a"), 7, 2);
    EXPECT_EQ(memory.unsynced(), 0u);
    EXPECT_EQ(memory.find("a")->stamp, 7u);
    EXPECT_EQ(memory.bytes(), taken(10) * 2);
    EXPECT_EQ(memory.drop_synced().size(), 2u);
}

TEST(MemoryLevel, DroppingWhatTheDiskHasKeepsWhatItHasNot) {
    Memory memory(10'000);
    memory.put("a", "A", 10, 1, 1);
    memory.put("b", "B", 10, 0, 1, "bytes");
    EXPECT_EQ(memory.drop_synced(), std::vector<std::string>{"A"});
    EXPECT_EQ(memory.keys(), std::vector<std::string>{"b"});
    EXPECT_EQ(memory.unsynced_entries().size(), 1u);
    EXPECT_TRUE(memory.take_used().empty());  // the disk has no row for b to mark
}

TEST(OutagePolicy, AWriteFailureLeavesReadsAndEveryFailureWaitsItsTurn) {
    using Clock = OutagePolicy::Clock;
    OutagePolicy disk = OutagePolicy::fixed(std::chrono::seconds(30));
    Clock::time_point now{};
    EXPECT_TRUE(disk.whole());
    EXPECT_TRUE(disk.failed(false, now));   // starts an outage: reported
    EXPECT_TRUE(disk.readable());
    EXPECT_FALSE(disk.writable());
    EXPECT_FALSE(disk.failed(true, now));  // the same outage: not reported again
    EXPECT_FALSE(disk.readable());
    EXPECT_FALSE(disk.due(now + std::chrono::seconds(29)));
    EXPECT_TRUE(disk.due(now + std::chrono::seconds(30)));
    EXPECT_FALSE(disk.restored(false, now + std::chrono::seconds(30)));  // readable only
    EXPECT_TRUE(disk.readable());
    EXPECT_FALSE(disk.due(now + std::chrono::seconds(59)));
    EXPECT_TRUE(disk.restored(true, now + std::chrono::seconds(60)));
    EXPECT_TRUE(disk.whole());
    EXPECT_FALSE(disk.due(now + std::chrono::hours(1)));
}

TEST(OutagePolicy, WaitsGrowToTheirLongestAndStartOverAfterARecovery) {
    using namespace std::chrono_literals;
    struct Case {
        const char *name;
        OutagePolicy policy;
        std::vector<std::chrono::seconds> waits;  // after each of the failures in a row
    };
    std::vector<Case> cases{
        {"fixed (the disk)", OutagePolicy::fixed(30s), {30s, 30s, 30s}},
        {"doubling (Redis)", OutagePolicy(1s, 4s), {1s, 2s, 4s, 4s}},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        OutagePolicy::Clock::time_point now{};
        for (int round = 0; round < 2; ++round) {  // the same waits after a recovery
            for (std::chrono::seconds wait : c.waits) {
                c.policy.failed(true, now);
                EXPECT_FALSE(c.policy.due(now + wait - 1ms));
                now += wait;
                EXPECT_TRUE(c.policy.due(now));
            }
            EXPECT_TRUE(c.policy.restored(true, now));
        }
    }
}

TEST(PrefixEnd, IsTheLeastTextAfterThePrefix) {
    EXPECT_EQ(prefix_end("SPY:"), "SPY;");
    EXPECT_EQ(prefix_end(""), "");
    EXPECT_EQ(prefix_end("a\xff\xff"), "b");
    EXPECT_EQ(prefix_end("\xff"), "");
}

class DiskLevelTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = fs::temp_directory_path() /
                     ("disk-level-" + std::to_string(std::random_device{}()));
    }
    void TearDown() override { fs::remove_all(directory_); }

    DiskLevel::Log log() {
        return [this](DiskLevel::Level, const char *message, std::vector<std::string> values) {
            std::string line = message;
            for (const std::string &value : values) line.append(" ").append(value);
            lines_.push_back(line);
        };
    }

    std::unique_ptr<DiskLevel> opened(std::uint64_t limit = std::uint64_t{1} << 30) {
        auto disk = std::make_unique<DiskLevel>(directory_, limit, log());
        disk->open();
        return disk;
    }

    fs::path directory_;
    std::vector<std::string> lines_;
};

TEST_F(DiskLevelTest, KeepsRowsAcrossConnections) {
    {
        auto disk = opened();
        std::uint64_t stamp = disk->put("k", std::string("a\0b", 3));
        EXPECT_EQ(disk->get("k")->stamp, stamp);
        EXPECT_NE(disk->put("k", "again"), stamp);
        EXPECT_TRUE(disk->erase_if("gone", 1) == false);
    }
    auto owned = opened();
    DiskLevel &disk = *owned;
    EXPECT_EQ(disk.get("k")->value, "again");
    EXPECT_FALSE(disk.erase_if("k", 12345));
    EXPECT_TRUE(disk.erase("k"));
    EXPECT_FALSE(disk.get("k"));
    EXPECT_TRUE(lines_.empty());
}

TEST_F(DiskLevelTest, KeysWithPrefixAreExactlyThoseThatBeginWithIt) {
    auto owned = opened();
    DiskLevel &disk = *owned;
    for (const char *key : {"SPY:day", "SPY:week", "SPYG:day", "SPX", "SP", "\xc3\xa9t\xc3\xa9", "\xf4\x8f\xbf\xbf"})
        disk.put(key, "v");
    EXPECT_EQ(disk.keys_with_prefix("SPY:"), (std::vector<std::string>{"SPY:day", "SPY:week"}));
    EXPECT_EQ(disk.keys_with_prefix("SP").size(), 5u);
    EXPECT_EQ(disk.keys_with_prefix("\xc3\xa9"), (std::vector<std::string>{"\xc3\xa9t\xc3\xa9"}));
    EXPECT_EQ(disk.keys_with_prefix("\xf4\x8f\xbf\xbf"), (std::vector<std::string>{"\xf4\x8f\xbf\xbf"}));
    EXPECT_EQ(disk.keys_with_prefix("").size(), 7u);
    EXPECT_EQ(disk.keys().size(), 7u);
    EXPECT_EQ(disk.count(), 7);
}

TEST_F(DiskLevelTest, OverItsLimitTheLeastRecentlyUsedGo) {
    constexpr std::uint64_t limit = 1 << 20;
    auto owned = opened(limit);
    DiskLevel &disk = *owned;
    std::string value(100'000, 'x');
    disk.put("kept", value);
    for (int n = 0; n < 30; ++n) {
        std::string key = "e";
        key += std::to_string(n);
        disk.put(key, value, {"kept"});  // kept is read between writes
        EXPECT_LE(disk.count() * value.size(), limit);
    }
    std::vector<std::string> keys = disk.keys();
    EXPECT_TRUE(disk.get("kept"));
    EXPECT_TRUE(disk.get("e29"));
    EXPECT_FALSE(disk.get("e0"));
    EXPECT_GE(keys.size(), 6u);  // down to nine tenths of the limit, no further
    EXPECT_LE(fs::file_size(directory_ / "cache.db"), limit + limit / 4);
    ASSERT_FALSE(lines_.empty());
    EXPECT_NE(lines_.back().find("least recently used"), std::string::npos);
}

TEST_F(DiskLevelTest, TheFilesLogIncludedStayWithinTheLimit) {
    constexpr std::uint64_t limit = 512 << 10;
    auto owned = opened(limit);
    DiskLevel &disk = *owned;
    std::string value(10'000, 'x');
    std::uint64_t most = 0;
    for (int n = 0; n < 100; ++n) {
        std::string key = "e";
        key += std::to_string(n);
        disk.put(key, value);
        most = std::max(most, disk.data_bytes() + disk.log_bytes());
    }
    EXPECT_LE(most, limit);
    EXPECT_TRUE(disk.get("e99"));
    // One larger than the entries' share is not written, and the older value under its key goes.
    disk.put("e99", std::string(limit, 'y'));
    EXPECT_FALSE(disk.get("e99"));
    EXPECT_LE(disk.data_bytes() + disk.log_bytes(), limit);
    EXPECT_NE(lines_.back().find("did not take an entry"), std::string::npos) << lines_.back();
}

TEST_F(DiskLevelTest, AFileThatIsNoDatabaseIsSetAside) {
    fs::create_directories(directory_);
    std::ofstream(directory_ / "cache.db") << std::string(8192, 'x');
    auto owned = opened();
    DiskLevel &disk = *owned;
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_NE(lines_[0].find("started an empty store"), std::string::npos);
    disk.put("k", "v");
    EXPECT_EQ(disk.get("k")->value, "v");
    int aside = 0;
    for (const auto &entry : fs::directory_iterator(directory_))
        aside += entry.path().filename().string().starts_with("cache.db.damaged-");
    EXPECT_EQ(aside, 1);
}

TEST_F(DiskLevelTest, ADatabaseOfAnotherProgramIsSetAside) {
    fs::create_directories(directory_);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((directory_ / "cache.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE entries (key TEXT PRIMARY KEY, value BLOB)", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    auto owned = opened();
    DiskLevel &disk = *owned;
    EXPECT_EQ(lines_.size(), 1u);
    EXPECT_EQ(disk.count(), 0);
}

TEST_F(DiskLevelTest, AnOpenThatFailedCanBeTriedAgain) {
    fs::create_directories(directory_ / "cache.db");  // a directory in the way
    DiskLevel disk(directory_, 1 << 20, log());
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            disk.open();
            FAIL() << "opened a store where a directory stands";
        } catch (const StoreError &error) {
            EXPECT_NE(std::string(error.what()).find((directory_ / "cache.db").string()),
                      std::string::npos);
            EXPECT_NE(error.reason().find("Is a directory"), std::string::npos) << error.reason();
        }
        EXPECT_FALSE(disk.is_open());
        EXPECT_THROW(disk.get("k"), StoreError);
    }
    fs::remove(directory_ / "cache.db");
    disk.open();
    disk.put("k", "v");
    EXPECT_EQ(disk.get("k")->value, "v");
}

TEST_F(DiskLevelTest, AnImpossibleDirectoryNamesItsPath) {
    fs::create_directories(directory_);
    std::ofstream(directory_ / "plain-file") << "x";
    fs::path inside_a_file = directory_ / "plain-file" / "store";
    DiskLevel disk(inside_a_file, 1 << 20, [](DiskLevel::Level, const char *, std::vector<std::string>) {});
    try {
        disk.open();
        FAIL() << "opened a store inside a file";
    } catch (const StoreError &error) {
        EXPECT_NE(std::string(error.what()).find(inside_a_file.string()), std::string::npos);
    }
}

}  // namespace
}  // namespace veltrax::store
