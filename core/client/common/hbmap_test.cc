#include "hbmap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "brlog_testing.h"
#include "hbobj_testing.h"
#include "hbstr.h"
#include "hbstralloc.h"

namespace {

void *asValue(intptr_t n) { return reinterpret_cast<void *>(n); }

std::vector<std::string> keysOf(IHBMap *map) {
  std::vector<std::string> keys;
  HBRef<IHBIter> iter;
  EXPECT_EQ(map->iterateKeys(iter.out()), 0);
  void *key = nullptr;
  while (iter->getNext(nullptr, &key) == 0) keys.emplace_back(static_cast<char *>(key));
  return keys;
}

class HBMapTest : public ::testing::Test {
 protected:
  void SetUp() override { map_ = new HBMap(nullptr, 512, 512, nullptr); }
  void TearDown() override {
    if (map_) map_->dnref();
  }
  HBMap *map_ = nullptr;
  HBCounts counts_;
};

TEST_F(HBMapTest, NullValuesOnlyForNullAndNumberTags) {
  EXPECT_EQ(map_->setAtKey("a", HBTYPE_STRING, nullptr, 0), BRERROR_NULL_VALUE);
  EXPECT_EQ(map_->setAtKey("a", HBTYPE_IID_IHBMAP, nullptr, 0), BRERROR_NULL_VALUE);
  EXPECT_EQ(map_->setAtKey("a", HBTYPE_INT32, nullptr, 0), 0);
  EXPECT_EQ(map_->setAtKey("n", HBTYPE_NULL, nullptr, 0), 0);
  EXPECT_EQ(map_->setAtKey(nullptr, "v", 0), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(map_->setAtKey("x", HBTYPE_ANY, "v", 0), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(map_->getMapSize(), 2u);
}

TEST_F(HBMapTest, KeysAndStringsAreCopiedUnlessToldOtherwise) {
  char key[] = "key";
  char value[] = "value";
  ASSERT_EQ(map_->setAtKey(key, value, 0), 0);
  key[0] = 'K';
  value[0] = 'V';
  EXPECT_STREQ(map_->getStringAtKey("key"), "value");
  ASSERT_EQ(map_->setAtKey(key, value, HBMAP_SET_NO_COPY), 0);
  EXPECT_EQ(map_->getStringAtKey("Key"), value);
  EXPECT_EQ(map_->getAtKey("Key")->key, key);
}

TEST_F(HBMapTest, ReplaceDropsTheOldReferenceAndNoReplaceCollides) {
  BRLogCapture logs(20);
  auto *first = new HBCountingObj(&counts_);
  auto *second = new HBCountingObj(&counts_);
  ASSERT_EQ(map_->setAtKey("a", HBTYPE_IID_IHBOBJ, first, 0), 0);
  EXPECT_EQ(first->refs(), 2);
  ASSERT_EQ(map_->setAtKey("a", HBTYPE_IID_IHBOBJ, second, 0), 0);
  EXPECT_EQ(first->refs(), 1);
  EXPECT_EQ(second->refs(), 2);
  EXPECT_EQ(map_->setAtKey("a", HBTYPE_IID_IHBOBJ, first, HBMAP_SET_NO_REPLACE), BRERROR_EXISTS);
  ASSERT_EQ(logs.lines.size(), 1u);
  EXPECT_EQ(logs.lines[0], "HBMAP|1|Collision in Map: 'a'\n");
  EXPECT_EQ(first->refs(), 1);
  EXPECT_EQ(map_->getMapSize(), 1u);
  first->dnref();
  second->dnref();
  EXPECT_EQ(counts_.destroyed, 1);  // the map still holds the second
  map_->dnref();
  map_ = nullptr;
  EXPECT_EQ(counts_.destroyed, 2);
  EXPECT_EQ(counts_.uprefs + 2, counts_.dnrefs);
}

TEST_F(HBMapTest, ReplacingAValueWithItselfKeepsItAlive) {
  auto *obj = new HBCountingObj(&counts_);
  ASSERT_EQ(map_->setAtKey("a", HBTYPE_IID_IHBOBJ, obj, 0), 0);
  obj->dnref();  // the map holds the only reference now
  ASSERT_EQ(map_->setAtKey("a", HBTYPE_IID_IHBOBJ, map_->getAtKey("a")->value, 0), 0);
  EXPECT_EQ(counts_.destroyed, 0);
  EXPECT_EQ(obj->refs(), 1);
  EXPECT_EQ(map_->removeAtKey("a"), 0);
  EXPECT_EQ(counts_.destroyed, 1);
  EXPECT_EQ(map_->removeAtKey("a"), BRERROR_NO_ENTRY);
}

TEST_F(HBMapTest, KeyOrderAndInsertionOrder) {
  for (const char *k : {"b", "a", "C", "B"}) map_->setAtKey(k, "v", 0);
  EXPECT_EQ(keysOf(map_), (std::vector<std::string>{"B", "C", "a", "b"}));

  auto *ordered = new HBMap("ordered", 256, 256, nullptr);
  ASSERT_EQ(ordered->setFlags(HBMAP_FLAG_INSERTION_ORDER), 0);
  EXPECT_EQ(ordered->getFlags(), HBMAP_FLAG_OWNS_ALLOCATOR | HBMAP_FLAG_INSERTION_ORDER);
  for (const char *k : {"b", "a", "C", "B"}) ordered->setAtKey(k, "v", 0);
  EXPECT_EQ(keysOf(ordered), (std::vector<std::string>{"b", "a", "C", "B"}));
  ordered->setAtKey("a", "again", 0);  // a replaced key moves to the end
  ordered->removeAtKey("C");
  EXPECT_EQ(keysOf(ordered), (std::vector<std::string>{"b", "B", "a"}));

  HBMap *child = ordered->createChild("kid");
  for (const char *k : {"z", "y"}) child->setAtKey(k, "v", 0);
  EXPECT_EQ(keysOf(child), (std::vector<std::string>{"z", "y"}));
  child->dnref();
  ordered->dnref();
}

TEST(HBMapDeathTest, SwitchingOrderOnAFilledMapAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto *map = new HBMap(nullptr, 128, 128, nullptr);
  map->setAtKey("k", "v", 0);
  EXPECT_DEATH(
      {
        brlog__setThreadSink(brlogtest__stderrSink, BRLOG_ERROR, nullptr, nullptr);
        map->setFlags(HBMAP_FLAG_INSERTION_ORDER);
      },
      "\\[BRABRT\\|1\\|brerror_t HBMap::setFlags\\(bruint_t\\):[0-9]+ +\\.ABORTING\\.");
  EXPECT_EQ(map->setFlags(0x0400), 0);  // other changeable bits are fine
  EXPECT_EQ(map->setFlags(0), 0);
  EXPECT_EQ(map->getFlags(), HBMAP_FLAG_OWNS_ALLOCATOR);
  map->dnref();
}

TEST_F(HBMapTest, GetAtKeyForms) {
  auto *str = new HBStrHeap("from object");
  map_->setAtKey("s", "text", 0);
  map_->setAtKey("i", HBTYPE_INT32, asValue(42), 0);
  map_->setAtKey("o", HBTYPE_IID_IHBSTR, static_cast<IHBStr *>(str), 0);
  str->dnref();

  struct Case {
    const char *key;
    hbtype_t asked;
    brerror_t pointerForm;
    hbtype_t typeAfter;
    brerror_t fixedForm;
  } cases[] = {
      {"s", HBTYPE_ANY, 0, HBTYPE_STRING, BRERROR_NO_ENTRY},
      {"s", HBTYPE_STRING, 0, HBTYPE_STRING, 0},
      {"s", HBTYPE_INT32, BRERROR_UNSUPPORTED, HBTYPE_INT32, BRERROR_NO_ENTRY},
      {"i", HBTYPE_INT32, 0, HBTYPE_INT32, 0},
      {"o", HBTYPE_ANY, 0, HBTYPE_IID_IHBSTR, BRERROR_NO_ENTRY},
      {"o", HBTYPE_IID_IHBRPCARGUMENTVALUE, 0, HBTYPE_IID_IHBRPCARGUMENTVALUE, 0},
      {"o", HBTYPE_IID_IHBMAP, BRERROR_NO_ENTRY, HBTYPE_IID_IHBMAP, BRERROR_NO_ENTRY},
      {"missing", HBTYPE_ANY, BRERROR_NO_ENTRY, HBTYPE_ANY, BRERROR_NO_ENTRY},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.key) + " asked " + std::to_string(c.asked));
    hbtype_t type = c.asked;
    void *out = nullptr;
    EXPECT_EQ(map_->getAtKey(c.key, &type, &out), c.pointerForm);
    EXPECT_EQ(type, c.typeAfter);
    if (c.pointerForm == 0 && !hbtype__isPlain(type)) static_cast<IHBObj *>(out)->dnref();
    out = nullptr;
    EXPECT_EQ(map_->getAtKey(c.key, c.asked, &out), c.fixedForm);
    if (c.fixedForm == 0 && !hbtype__isPlain(c.asked)) static_cast<IHBObj *>(out)->dnref();
  }
  hbtype_t type = HBTYPE_ANY;
  void *out = nullptr;
  ASSERT_EQ(map_->getAtKey("s", &type, &out), 0);
  EXPECT_STREQ(static_cast<char *>(out), "text");
  EXPECT_EQ(map_->getAtKey("s", nullptr, nullptr), 0);
  type = HBTYPE_ANY;
  EXPECT_EQ(map_->getAtKey("i", &type, nullptr), 0);
  EXPECT_EQ(type, HBTYPE_INT32);
  EXPECT_STREQ(map_->getStringAtKey("o"), "from object");
  EXPECT_EQ(map_->getStringAtKey("i"), nullptr);
  EXPECT_STREQ(IHBMap__getStringAtKey(map_, "o"), "from object");
}

TEST_F(HBMapTest, NamedMapsAnswerTheNamedArgumentInterface) {
  void *out = nullptr;
  EXPECT_EQ(map_->getifc(HBTYPE_IID_IHBNAMEDARGUMENT, &out), BRERROR_NO_ENTRY);
  auto *named = new HBMap("args", 128, 128, nullptr);
  ASSERT_EQ(named->getifc(HBTYPE_IID_IHBNAMEDARGUMENT, &out), 0);
  EXPECT_STREQ(static_cast<IHBNamedArgument *>(out)->getNamedArgumentName(), "args");
  static_cast<IHBNamedArgument *>(out)->dnref();
  ASSERT_EQ(named->getifc(HBTYPE_CID_HBMAP, &out), 0);
  EXPECT_EQ(out, named);
  named->dnref();
  named->dnref();
}

TEST_F(HBMapTest, FailureLeavesTheMapUnchanged) {
  // A 256-byte arena that cannot grow.
  auto *sa = new HBStringAllocator(malloc(256), 256, 0);
  auto *map = new HBMap(nullptr, sa, nullptr);
  sa->sadnref();
  ASSERT_EQ(map->setAtKey("a", "short", 0), 0);
  std::string huge(300, 'h');
  {
    BRLogCapture logs(BRLOG_ERROR);
    EXPECT_EQ(map->setAtKey("a", huge.c_str(), 0), BRERROR_NO_MEMORY);
    EXPECT_EQ(logs.lines, (std::vector<std::string>{"HBMAP|1|OOM in Map allocator: 'a'\n"}));
  }
  EXPECT_STREQ(map->getStringAtKey("a"), "short");
  auto *obj = new HBCountingObj(&counts_);
  int added = 0;
  while (map->setAtKey(("k" + std::to_string(added)).c_str(), HBTYPE_IID_IHBOBJ, obj, 0) == 0) {
    added++;
  }
  EXPECT_EQ(obj->refs(), 1 + added);
  EXPECT_EQ(map->getMapSize(), static_cast<uint32_t>(1 + added));
  map->dnref();
  EXPECT_EQ(obj->refs(), 1);
  obj->dnref();
}

TEST_F(HBMapTest, FlushKeepsTheNameAndSpareSharedArenas) {
  auto *parent = new HBCountingObj(&counts_);
  auto *map = new HBMap("named", 64, 64, parent);
  EXPECT_EQ(parent->refs(), 2);
  HBMap *child = map->createChild("child");
  child->setAtKey("kept", "child value", 0);
  for (int i = 0; i < 50; i++) map->setAtKey(("key" + std::to_string(i)).c_str(), "value", 0);
  map->flush();
  EXPECT_EQ(map->getMapSize(), 0u);
  EXPECT_STREQ(map->getNamedArgumentName(), "named");
  // The child shares the arena: its strings must survive the flush.
  for (int i = 0; i < 50; i++) map->setAtKey(("key" + std::to_string(i)).c_str(), "other", 0);
  EXPECT_STREQ(child->getStringAtKey("kept"), "child value");
  child->dnref();

  // Once alone, a flush rewinds the arena.
  map->flush();
  EXPECT_EQ(map->getAllocator()->getAllocatedSize(), 64u);
  EXPECT_STREQ(map->getNamedArgumentName(), "named");
  auto *other = new HBCountingObj(&counts_);
  map->setReferenceParent(other);
  EXPECT_EQ(parent->refs(), 1);
  map->dnref();
  EXPECT_EQ(other->refs(), 1);
  parent->dnref();
  other->dnref();
  EXPECT_EQ(counts_.destroyed, 2);
}

TEST_F(HBMapTest, RemoveByValueTakesTheFirstInKeyOrder) {
  auto *obj = new HBCountingObj(&counts_);
  map_->setAtKey("b", HBTYPE_IID_IHBOBJ, obj, 0);
  map_->setAtKey("a", HBTYPE_IID_IHBOBJ, obj, 0);
  map_->setAtKey("n", HBTYPE_INT32, asValue(7), 0);
  EXPECT_EQ(map_->removeByValueSlowly(HBTYPE_INT32, obj), BRERROR_NO_ENTRY);
  EXPECT_EQ(map_->removeByValueSlowly(HBTYPE_ANY, obj), 0);
  EXPECT_EQ(keysOf(map_), (std::vector<std::string>{"b", "n"}));
  EXPECT_EQ(map_->removeByValueSlowly(HBTYPE_INT32, asValue(7)), 0);
  EXPECT_EQ(obj->refs(), 2);
  obj->dnref();
}

TEST_F(HBMapTest, IteratorKeepsItsMapAlive) {
  map_->setAtKey("only", "v", 0);
  IHBIter *iter = nullptr;
  ASSERT_EQ(map_->iterateKeys(&iter), 0);
  map_->dnref();
  map_ = nullptr;
  hbtype_t type = HBTYPE_INT32;
  void *key = nullptr;
  EXPECT_EQ(iter->getNext(&type, &key), BRERROR_UNSUPPORTED);
  type = HBTYPE_ANY;
  ASSERT_EQ(iter->getNext(&type, &key), 0);
  EXPECT_EQ(type, HBTYPE_STRING);
  EXPECT_STREQ(static_cast<char *>(key), "only");
  EXPECT_EQ(iter->getNext(&type, &key), BRERROR_OUT_OF_RANGE);
  iter->dnref();  // frees the map (ASan reports a leak otherwise)
}

TEST_F(HBMapTest, IterateValuesOfStringsAndObjects) {
  for (const char *k : {"c", "a", "b"}) map_->setAtKey(k, (std::string("v") + k).c_str(), 0);
  auto *obj = new HBCountingObj(&counts_);
  map_->setAtKey("z", HBTYPE_IID_IHBOBJ, obj, 0);

  EXPECT_EQ(HBMap__iterateValues(map_, nullptr, nullptr), 4);
  hbtype_t type = HBTYPE_ANY;
  IHBIter *values = nullptr;
  // The first value fixes the kind; the object at "z" is skipped.
  ASSERT_EQ(HBMap__iterateValues(map_, &type, &values), 3);
  EXPECT_EQ(type, HBTYPE_STRING);
  std::vector<std::string> seen;
  void *out = nullptr;
  while (values->getNext(nullptr, &out) == 0) seen.emplace_back(static_cast<char *>(out));
  EXPECT_EQ(seen, (std::vector<std::string>{"va", "vb", "vc"}));
  values->dnref();

  auto *objects = new HBMap(nullptr, 256, 256, nullptr);
  objects->setAtKey("x", HBTYPE_IID_IHBOBJ, obj, 0);
  objects->setAtKey("y", HBTYPE_IID_IHBOBJ, obj, 0);
  type = HBTYPE_IID_IHBOBJ;
  ASSERT_EQ(HBMap__iterateValues(objects, &type, &values), 2);
  EXPECT_EQ(obj->refs(), 1 + 3 + 2);
  values->dnref();
  EXPECT_EQ(obj->refs(), 1 + 3);
  objects->dnref();
  obj->dnref();
  EXPECT_EQ(obj->refs(), 1);  // the fixture's map holds the last one
}

TEST(HBMapIterateValues, NullMapIsReported) {
  BRLogCapture logs(20);
  hbtype_t type = HBTYPE_ANY;
  IHBIter *out = nullptr;
  EXPECT_EQ(HBMap__iterateValues(nullptr, &type, &out), BRERROR_INVALID_ARGUMENT);
  ASSERT_EQ(logs.lines.size(), 1u);
  EXPECT_EQ(logs.lines[0].rfind("VERIFY|1|hbmap:", 0), 0u) << logs.lines[0];
  EXPECT_NE(logs.lines[0].find(" VERIFY(inMap != ((brptrint_t)0)) failed!\n"), std::string::npos);
}

}  // namespace
