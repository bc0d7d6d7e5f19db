#include "brcache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "brlog.h"

namespace {

struct LogLines {
  std::vector<std::string> lines;
};

void capture(void *user, const char *tag, int severity, const char *format, va_list args) {
  char message[512];
  vsnprintf(message, sizeof message, format, args);
  static_cast<LogLines *>(user)->lines.push_back(std::string(tag) + "|" +
                                                 std::to_string(severity) + "|" + message);
}

class BrCacheTest : public ::testing::Test {
 protected:
  void make(int32_t capacity, int64_t maxAge) {
    ASSERT_EQ(brcache__newExpiration(&cache_, brht__strcmp, capacity, onRemove, this, maxAge), 0);
    brcache__setClock(cache_, [](void *user) { return *static_cast<int64_t *>(user); }, &now_);
  }
  void TearDown() override {
    brcache__destroy(cache_);
    brlog__setThreadSink(nullptr, 0, nullptr, nullptr);
  }
  brcache__node_s *add(const char *key) {
    return brcache__insert(cache_, const_cast<char *>(key), const_cast<char *>(key));
  }
  static void onRemove(brcache_t *, brcache__node_s *entry, void *user) {
    static_cast<BrCacheTest *>(user)->removed_.emplace_back(static_cast<const char *>(entry->key));
  }
  void captureLogs() { brlog__setThreadSink(capture, 20, &logs_, nullptr); }

  brcache_t *cache_ = nullptr;
  int64_t now_ = 1000;
  std::vector<std::string> removed_;
  LogLines logs_;
};

TEST_F(BrCacheTest, EvictsLeastRecentlyUsedAndAUseProtects) {
  make(2, 0);
  add("a");
  now_ += 1;
  add("b");
  now_ += 1;
  ASSERT_NE(brcache__findexact(cache_, "a"), nullptr);
  now_ += 1;
  brcache__node_s *c = add("c");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(removed_, std::vector<std::string>{"b"});
  EXPECT_EQ(brcache__size(cache_), 2u);
  EXPECT_EQ(brcache__findexact(cache_, "b"), nullptr);
  EXPECT_NE(brcache__findexact(cache_, "a"), nullptr);
}

TEST_F(BrCacheTest, SameTickEntriesLeaveInInsertionOrder) {
  make(3, 0);
  for (const char *k : {"k1", "k2", "k3", "k4", "k5"}) add(k);
  EXPECT_EQ(removed_, (std::vector<std::string>{"k1", "k2"}));
}

TEST_F(BrCacheTest, ExpiryDropsEntriesUnusedForMaxAge) {
  make(100, 500);
  add("old");
  now_ += 300;
  add("mid");
  now_ += 100;
  ASSERT_NE(brcache__find(cache_, "old"), nullptr);  // refreshed at 1400
  now_ += 450;                                         // 1850: "mid" (1300) is too old
  add("new");
  EXPECT_EQ(removed_, std::vector<std::string>{"mid"});
  now_ += 1000;
  add("last");
  EXPECT_EQ(removed_, (std::vector<std::string>{"mid", "old", "new"}));
  EXPECT_EQ(brcache__size(cache_), 1u);
}

TEST_F(BrCacheTest, LowerBoundFindAndRemovalCallbacks) {
  make(10, 0);
  add("b");
  add("d");
  brcache__node_s *found = brcache__find(cache_, "c");
  ASSERT_NE(found, nullptr);
  EXPECT_STREQ(static_cast<const char *>(found->key), "d");
  EXPECT_EQ(brcache__find(cache_, "e"), nullptr);
  EXPECT_EQ(brcache__findexact(cache_, "c"), nullptr);
  EXPECT_EQ(brcache__removenode(cache_, found), 0);
  EXPECT_EQ(removed_, std::vector<std::string>{"d"});
  add("x");
  add("y");
  brcache__removeall(cache_);
  EXPECT_EQ(removed_.size(), 4u);
  EXPECT_EQ(brcache__size(cache_), 0u);
}

TEST_F(BrCacheTest, ZeroCapacityNeverHandsBackAFreedEntry) {
  make(0, 0);
  brcache__node_s *first = add("first");
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(static_cast<const char *>(first->key), "first");
  EXPECT_TRUE(removed_.empty());
  brcache__node_s *second = add("second");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(removed_, std::vector<std::string>{"first"});
  EXPECT_EQ(brcache__size(cache_), 1u);
}

TEST_F(BrCacheTest, LogLines) {
  make(1, 0);
  captureLogs();
  add("one");
  now_ += 5;
  add("two");
  now_ += 2;
  brcache__logdump(cache_, "DUMPER", 8);
  ASSERT_GE(logs_.lines.size(), 7u);
  EXPECT_NE(logs_.lines[0].find("BRCACHE|17| + [+0] {0x"), std::string::npos) << logs_.lines[0];
  EXPECT_NE(logs_.lines[0].find("} one\n"), std::string::npos);
  EXPECT_EQ(logs_.lines[2], "BRCACHE|16|Cache Full (2) -- Killing Oldest Node\n");
  EXPECT_NE(logs_.lines[3].find("BRCACHE|17| - [+5] {"), std::string::npos) << logs_.lines[3];
  size_t n = logs_.lines.size();
  EXPECT_EQ(logs_.lines[n - 3], "DUMPER|8| <DUMP>\n");
  EXPECT_NE(logs_.lines[n - 2].find("DUMPER|8|   [+2] {"), std::string::npos);
  EXPECT_NE(logs_.lines[n - 2].find("} two\n"), std::string::npos);
  EXPECT_EQ(logs_.lines[n - 1], "DUMPER|8| </DUMP>\n");
}

TEST_F(BrCacheTest, PointerKeysAreLoggedAsPointers) {
  ASSERT_EQ(brcache__new(&cache_, brht__directcmp, 4, nullptr, nullptr), 0);
  captureLogs();
  brcache__insert(cache_, reinterpret_cast<void *>(0x1234), nullptr);
  ASSERT_EQ(logs_.lines.size(), 1u);
  EXPECT_NE(logs_.lines[0].find("} 0x1234\n"), std::string::npos) << logs_.lines[0];
}

TEST(BrCacheDeathTest, TreeMismatchAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  brcache_t *cache = nullptr;
  ASSERT_EQ(brcache__new(&cache, brht__strcmp, 4, nullptr, nullptr), 0);
  brcache__node_s *entry = brcache__insert(cache, const_cast<char *>("k"), nullptr);
  brrbtree__remove(cache->times, entry->timeNode);
  auto toStderr = [](void *, const char *tag, int, const char *format, va_list args) {
    fprintf(stderr, "%s ", tag);
    vfprintf(stderr, format, args);
  };
  EXPECT_DEATH(
      {
        brlog__addSink(toStderr, nullptr);
        brcache__size(cache);
      },
      "BRCACHE Tree Size Mismatch! 1 != 0\n"
      "BRABRT void brcache__sanitycheck\\(brcache_t \\*\\):[0-9]+   .ABORTING.");
}

}  // namespace
