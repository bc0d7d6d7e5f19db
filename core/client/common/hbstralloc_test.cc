#include "hbstralloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "brlog_testing.h"

namespace {

bool aligned8(const void *p) { return reinterpret_cast<uintptr_t>(p) % 8 == 0; }

TEST(HBStringAllocator, AllocMemAlignsAndRejectsEmptyRequests) {
  HBStringAllocator sa(256, 256);
  EXPECT_EQ(sa.allocMem(0), nullptr);
  EXPECT_EQ(sa.allocMem(-5), nullptr);
  char *previous = nullptr;
  for (ssize_t len : {1, 3, 13, 8, 5}) {
    auto *p = static_cast<char *>(sa.allocMem(len));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(aligned8(p));
    if (previous) {
      EXPECT_GT(p, previous);
    }
    memset(p, 'x', static_cast<size_t>(len));
    previous = p;
  }
  EXPECT_EQ(sa.getAllocatedSize(), 256u);
}

TEST(HBStringAllocator, GrowsByMultiplesOfGrowSize) {
  HBStringAllocator sa(100, 1000);
  ASSERT_NE(sa.allocMem(50), nullptr);
  // 2,500 + 7 bytes do not fit 1,000: the block is three grow sizes.
  auto *big = static_cast<char *>(sa.allocMem(2500));
  ASSERT_NE(big, nullptr);
  memset(big, 'y', 2500);
  EXPECT_EQ(sa.getAllocatedSize(), 100u + 3000u);
  ASSERT_NE(sa.allocMem(10), nullptr);  // still fits the 3,000-byte block
  EXPECT_EQ(sa.getAllocatedSize(), 3100u);
  ASSERT_NE(sa.allocMem(600), nullptr);
  EXPECT_EQ(sa.getAllocatedSize(), 4100u);
}

TEST(HBStringAllocator, FlushFreesFullBlocksAndReusesTheCurrentOne) {
  HBStringAllocator sa(64, 64);
  char *first = sa.adoptString("0123456789012345678901234567890123456789", -1);
  ASSERT_NE(first, nullptr);
  for (int i = 0; i < 10; i++) ASSERT_NE(sa.adoptString("another string of text", -1), nullptr);
  EXPECT_GT(sa.getAllocatedSize(), 64u);
  sa.flushAllocator();
  EXPECT_EQ(sa.getAllocatedSize(), 64u);
  char *again = sa.adoptString("x", -1);
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(again, "x");
}

TEST(HBStringAllocator, CallersBufferNeverGrows) {
  auto *buffer = static_cast<char *>(malloc(64));
  auto *sa = new HBStringAllocator(buffer, 64, 0);  // frees the buffer
  EXPECT_NE(sa->allocMem(40), nullptr);
  EXPECT_EQ(sa->allocMem(40), nullptr);
  EXPECT_EQ(sa->getAllocatedSize(), 64u);
  EXPECT_EQ(sa->sadnref(), 0);

  alignas(8) char stackBuffer[32];
  HBStringAllocatorOnStack onStack(stackBuffer, sizeof stackBuffer);
  char *text = onStack.adoptString("abcdef", 3);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "abc");
  EXPECT_GE(text, stackBuffer);
  EXPECT_LT(text, stackBuffer + sizeof stackBuffer);
  EXPECT_EQ(onStack.adoptString(nullptr, -1), nullptr);
  EXPECT_EQ(onStack.adoptString("this does not fit in what is left", -1), nullptr);
}

TEST(HBStringAllocator, WithoutBlockOrGrowSizeNothingIsHandedOut) {
  HBStringAllocator sa(0, 0);
  EXPECT_EQ(sa.adoptString("a", -1), nullptr);
  HBStringAllocator lazy(0, 128);
  EXPECT_NE(lazy.adoptString("a", -1), nullptr);
  EXPECT_EQ(lazy.getAllocatedSize(), 128u);
}

TEST(HBStringAllocator, ArenaListsAndTreesTakeNodesFromTheArena) {
  HBStringAllocator sa(4096, 4096);
  brlist_t *list = HBStringAllocator__allocList(&sa);
  brrbtree_t *tree = HBStringAllocator__allocTree(&sa, brht__strcmp);
  ASSERT_NE(list, nullptr);
  ASSERT_NE(tree, nullptr);
  const char *words[] = {"delta", "alpha", "charlie", "bravo"};
  for (const char *w : words) {
    ASSERT_EQ(brlist__append(list, const_cast<char *>(w)), 0);
    ASSERT_NE(brrbtree__insert(tree, const_cast<char *>(w), nullptr), nullptr);
  }
  EXPECT_EQ(sa.getAllocatedSize(), 4096u);
  EXPECT_STREQ(static_cast<char *>(brrbtree__first(tree)->key), "alpha");
  // Releasing arena nodes is a no-op; the structures stay usable.
  brlist__removenode(list, list->first);
  brrbtree__remove(tree, brrbtree__first(tree));
  EXPECT_EQ(list->count, 3u);
  EXPECT_STREQ(static_cast<char *>(brrbtree__first(tree)->key), "bravo");
}

TEST(HBStringAllocatorDeathTest, OnStackArenaRefusesReferenceCounting) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  alignas(8) char buffer[32];
  HBStringAllocatorOnStack onStack(buffer, sizeof buffer);
  const char *said = "\\[STRALLOC\\|1\\|You can't reference count an on-stack string buffer!\\]";
  EXPECT_DEATH(
      {
        brlog__setThreadSink(brlogtest__stderrSink, BRLOG_ERROR, nullptr, nullptr);
        onStack.saupref();
      },
      said);
  EXPECT_DEATH(
      {
        brlog__setThreadSink(brlogtest__stderrSink, BRLOG_ERROR, nullptr, nullptr);
        onStack.sadnref();
      },
      said);
}

TEST(HBStringAllocator, ReferenceCountKeepsItAlive) {
  auto *sa = new HBStringAllocator(64, 64);
  EXPECT_EQ(sa->saupref(), 2);
  EXPECT_EQ(sa->sadnref(), 1);
  EXPECT_NE(sa->adoptString("still here", -1), nullptr);
  EXPECT_EQ(sa->sadnref(), 0);
}

}  // namespace
