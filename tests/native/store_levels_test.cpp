#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dualcache/disk_level.hpp"
#include "dualcache/memory_level.hpp"

namespace veltrax::store {
namespace {

namespace fs = std::filesystem;

TEST(MemoryLevel, LeastRecentlyUsedLeaveFirst) {
    MemoryLevel<std::string> memory(10);
    memory.put("a", "A", 4, 1, 1);
    memory.put("b", "B", 4, 2, 1);
    ASSERT_NE(memory.find("a"), nullptr);  // a is now the most recent
    std::vector<std::string> gone = memory.put("c", "C", 4, 3, 1);
    EXPECT_EQ(gone, std::vector<std::string>{"B"});
    EXPECT_EQ(memory.find("b"), nullptr);
    EXPECT_EQ(memory.find("a")->value, "A");
    EXPECT_EQ(memory.bytes(), 8u);
}

TEST(MemoryLevel, ReplacingGivesBackTheOldValue) {
    MemoryLevel<std::string> memory(100);
    memory.put("a", "old", 10, 1, 1);
    EXPECT_EQ(memory.put("a", "new", 20, 2, 1), std::vector<std::string>{"old"});
    EXPECT_EQ(memory.size(), 1u);
    EXPECT_EQ(memory.bytes(), 20u);
    EXPECT_EQ(memory.find("a")->stamp, 2u);
}

TEST(MemoryLevel, TooLargeForTheLimitIsNotKept) {
    MemoryLevel<std::string> memory(10);
    memory.put("a", "A", 5, 1, 1);
    EXPECT_EQ(memory.put("a", "huge", 11, 2, 1), (std::vector<std::string>{"A", "huge"}));
    EXPECT_EQ(memory.size(), 0u);
    EXPECT_EQ(memory.bytes(), 0u);
}

TEST(MemoryLevel, LoweringTheLimitEvicts) {
    MemoryLevel<std::string> memory(100);
    for (char key = 'a'; key <= 'e'; ++key) memory.put(std::string(1, key), "v", 10, 1, 1);
    EXPECT_EQ(memory.set_limit(25).size(), 3u);
    EXPECT_NE(memory.find("e"), nullptr);
    EXPECT_NE(memory.find("d"), nullptr);
    EXPECT_EQ(memory.find("c"), nullptr);
    EXPECT_EQ(memory.clear().size(), 2u);
    EXPECT_EQ(memory.bytes(), 0u);
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

    DiskLevel open() {
        return DiskLevel(directory_, [this](const char *message, std::vector<std::string> values) {
            warnings_.push_back(message + (values.empty() ? "" : " " + values.back()));
        });
    }

    fs::path directory_;
    std::vector<std::string> warnings_;
};

TEST_F(DiskLevelTest, KeepsRowsAcrossConnections) {
    {
        DiskLevel disk = open();
        std::uint64_t stamp = disk.put("k", std::string("a\0b", 3));
        EXPECT_EQ(disk.get("k")->stamp, stamp);
        EXPECT_NE(disk.put("k", "again"), stamp);
        EXPECT_TRUE(disk.erase_if("gone", 1) == false);
    }
    DiskLevel disk = open();
    EXPECT_EQ(disk.get("k")->value, "again");
    EXPECT_FALSE(disk.erase_if("k", 12345));
    EXPECT_TRUE(disk.erase("k"));
    EXPECT_FALSE(disk.get("k"));
    EXPECT_TRUE(warnings_.empty());
}

TEST_F(DiskLevelTest, KeysWithPrefixAreExactlyThoseThatBeginWithIt) {
    DiskLevel disk = open();
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

TEST_F(DiskLevelTest, AFileThatIsNoDatabaseIsSetAside) {
    fs::create_directories(directory_);
    std::ofstream(directory_ / "cache.db") << std::string(8192, 'x');
    DiskLevel disk = open();
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_NE(warnings_[0].find("started an empty store"), std::string::npos);
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
    DiskLevel disk = open();
    EXPECT_EQ(warnings_.size(), 1u);
    EXPECT_EQ(disk.count(), 0);
}

TEST_F(DiskLevelTest, AnImpossibleDirectoryNamesItsPath) {
    fs::create_directories(directory_);
    std::ofstream(directory_ / "plain-file") << "x";
    fs::path inside_a_file = directory_ / "plain-file" / "store";
    try {
        DiskLevel disk(inside_a_file, [](const char *, std::vector<std::string>) {});
        FAIL() << "opened a store inside a file";
    } catch (const StoreError &error) {
        EXPECT_NE(std::string(error.what()).find(inside_a_file.string()), std::string::npos);
    }
}

}  // namespace
}  // namespace veltrax::store
