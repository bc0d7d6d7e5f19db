#include "brhashtable.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BrHashFunctions, StandardValues) {
  EXPECT_EQ(brht__strhash("ab"), 97u * 31u + 98u);
  EXPECT_EQ(brht__strhash(""), 0u);
  EXPECT_EQ(brht__strhash(nullptr), 0u);
  EXPECT_EQ(brht__strhash("a"), 97u);
  // Bytes count as signed: 0xE9 is -23.
  EXPECT_EQ(brht__strhash("\xE9"), static_cast<uint32_t>(-23));
  EXPECT_EQ(brht__strhash("x\xE9"), 120u * 31u + static_cast<uint32_t>(-23));
  EXPECT_EQ(brht__strcasehash("AbC"), brht__strhash("abc"));
  // 32-bit wrap-around.
  std::string longText(40, 'z');
  uint32_t expect = 'z';
  for (int i = 1; i < 40; i++) expect = expect * 31u + 'z';
  EXPECT_EQ(brht__strhash(longText.c_str()), expect);

  unsigned char uuid[16];
  for (int i = 0; i < 16; i++) uuid[i] = static_cast<unsigned char>(i == 3 ? 0xFF : 0);
  uuid[7] = 0x80;
  EXPECT_EQ(brht__uuidhash(uuid), 0xFF000000u + 0x80000000u);  // wraps
  EXPECT_EQ(brht__uuidhash(nullptr), 0u);

  int64_t big = 0x123456789LL;
  EXPECT_EQ(brht__pi64hash(&big), 0x23456789u);
  EXPECT_EQ(brht__directhash(reinterpret_cast<void *>(0x1234500000042ULL)), 0x00000042u);
}

TEST(BrHashFunctions, Compares) {
  int64_t a = -5, b = 3;
  EXPECT_EQ(brht__pi64cmp(&a, &b), -1);
  EXPECT_EQ(brht__pi64cmp(&b, &a), 1);
  EXPECT_EQ(brht__pi64cmp(&a, &a), 0);
  auto *low = reinterpret_cast<void *>(0x10);
  auto *high = reinterpret_cast<void *>(~static_cast<uintptr_t>(0));
  EXPECT_EQ(brht__directcmp(low, high), -1);
  EXPECT_EQ(brht__directcmp(high, low), 1);
  EXPECT_EQ(brht__directcmp(low, low), 0);
  EXPECT_EQ(brht__strcasecmp("ABC", "abc"), 0);
  EXPECT_LT(brht__strcmp("B", "a"), 0);
}

class BrHtTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(brht__new(&table_, brht__strhash, brht__strcmp, 4), 0); }
  void TearDown() override { brht__destroy(table_); }
  brht_t *table_ = nullptr;
};

TEST_F(BrHtTest, SetReplacesStoredKeyAndValue) {
  char key1[] = "alpha";
  char key2[] = "alpha";
  int v1 = 1, v2 = 2;
  ASSERT_EQ(brht__set(table_, key1, &v1), 0);
  ASSERT_EQ(brht__set(table_, key2, &v2), 0);
  EXPECT_EQ(brht__size(table_), 1u);
  void *storedKey = nullptr;
  void *value = nullptr;
  ASSERT_EQ(brht__lookupkey(table_, "alpha", &storedKey, &value), 0);
  EXPECT_EQ(storedKey, key2);
  EXPECT_EQ(value, &v2);
  EXPECT_EQ(brht__lookup(table_, "beta"), nullptr);
  EXPECT_EQ(brht__lookupkey(table_, "beta", nullptr, nullptr), BRERROR_NO_ENTRY);
}

TEST_F(BrHtTest, RemoveHandsBackStoredPair) {
  // More keys than buckets, so chains hold several nodes.
  const char *keys[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
  int vals[10];
  for (int i = 0; i < 10; i++) ASSERT_EQ(brht__set(table_, const_cast<char *>(keys[i]), &vals[i]), 0);
  void *storedKey = nullptr;
  void *value = nullptr;
  EXPECT_EQ(brht__remove(table_, "e", &storedKey, &value), 0);
  EXPECT_EQ(storedKey, keys[4]);
  EXPECT_EQ(value, &vals[4]);
  EXPECT_EQ(brht__remove(table_, "e", nullptr, nullptr), BRERROR_NO_ENTRY);
  EXPECT_EQ(brht__size(table_), 9u);
  for (int i = 0; i < 10; i++) {
    EXPECT_EQ(brht__lookup(table_, keys[i]), i == 4 ? nullptr : &vals[i]) << keys[i];
  }
}

TEST_F(BrHtTest, ForeachRemovesWhereCallbackSaysSo) {
  const char *keys[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
  int vals[8];
  for (int i = 0; i < 8; i++) {
    vals[i] = i;
    brht__set(table_, const_cast<char *>(keys[i]), &vals[i]);
  }
  auto dropOdd = [](void *, void *value, void *user) {
    ++*static_cast<int *>(user);
    return *static_cast<int *>(value) % 2;
  };
  int visits = 0;
  EXPECT_EQ(brht__foreach(table_, dropOdd, &visits), 4u);
  EXPECT_EQ(visits, 8);
  EXPECT_EQ(brht__size(table_), 4u);
  EXPECT_EQ(brht__lookup(table_, "b"), nullptr);
  EXPECT_EQ(brht__lookup(table_, "c"), &vals[2]);

  auto all = [](void *, void *, void *) { return 1; };
  EXPECT_EQ(brht__foreach(table_, all, nullptr), 4u);
  EXPECT_EQ(brht__size(table_), 0u);
  brht__set(table_, const_cast<char *>("x"), &vals[0]);
  EXPECT_EQ(brht__foreach(table_, nullptr, nullptr), 1u);
}

TEST(BrHtInit, CallerBlockAndDryAllocator) {
  brht_t table;
  brht__node_t *buckets[8];
  EXPECT_EQ(brht__init(nullptr, brht__directhash, brht__directcmp, 8, buckets, nullptr),
            BRERROR_FAULT);
  EXPECT_EQ(brht__init(&table, brht__directhash, brht__directcmp, 8, nullptr, nullptr),
            BRERROR_FAULT);
  brlist__node_allocator_t dry = {[](brlist__node_allocator_t *, void *) -> void * { return nullptr; },
                                  [](brlist__node_allocator_t *, void *) {}, nullptr};
  ASSERT_EQ(brht__init(&table, brht__directhash, brht__directcmp, 8, buckets, &dry), 0);
  int v = 0;
  EXPECT_EQ(brht__set(&table, &v, &v), BRERROR_NO_MEMORY);
  EXPECT_EQ(brht__size(&table), 0u);
  brht__deinit(&table);
}

}  // namespace
