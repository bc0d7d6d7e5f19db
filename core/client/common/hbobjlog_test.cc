#include "hbobjlog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brlog_testing.h"
#include "hbobj_testing.h"
#include "hbstr.h"

namespace {

// An IHBMap that is not an HBMap: it forwards to one but hides its class.
class ForwardingMap : public IHBMap {
 public:
  explicit ForwardingMap(HBMap *inner) : inner_(inner) { inner_->upref(); }
  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override {
    int32_t count = refs_.release();
    if (count == 0) delete this;
    return count;
  }
  brerror_t getifc(hbtype_t id, void **out) override {
    if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBMAP) return BRERROR_NO_ENTRY;
    upref();
    *out = static_cast<IHBMap *>(this);
    return BRERROR_NONE;
  }
  brerror_t getAtKey(const char *key, hbtype_t *type, void **out) override {
    return inner_->getAtKey(key, type, out);
  }
  const char *getStringAtKey(const char *key) override { return inner_->getStringAtKey(key); }
  brerror_t iterateKeys(IHBIter **out) override { return inner_->iterateKeys(out); }
  brerror_t getAtKey(const char *key, hbtype_t type, void **out) override {
    return inner_->getAtKey(key, type, out);
  }

 private:
  ~ForwardingMap() override { inner_->dnref(); }
  HBRefCount refs_;
  HBMap *inner_;
};

class HBObjLogTest : public ::testing::Test {
 protected:
  std::vector<std::string> withoutPointers() const {
    std::vector<std::string> out;
    for (std::string line : logs_.lines) {
      size_t at = line.find("} 0x");
      if (at != std::string::npos) line = line.substr(0, at + 2) + "PTR\n";
      out.push_back(line);
    }
    return out;
  }
  // Only the dumps' own lines (tag "TEST"), not the arena's.
  BRLogCapture logs_{20, "TEST"};
};

TEST_F(HBObjLogTest, MapWithNestedValues) {
  auto *map = new HBMap(nullptr, 512, 512, nullptr);
  map->setAtKey("name", "file.jpg", 0);
  map->setAtKey("size", HBTYPE_INT32, reinterpret_cast<void *>(-5), 0);
  HBMap *child = map->createChild(nullptr);
  child->setAtKey("id", "7", 0);
  map->setAtKey("child", HBTYPE_IID_IHBMAP, static_cast<IHBMap *>(child), 0);
  child->dnref();
  brlist_t *list = nullptr;
  brlist__new(&list);
  brlist__append(list, const_cast<char *>("x"));
  brlist__append(list, const_cast<char *>("y"));
  auto *items = new HBListIterator(list, HBTYPE_STRING, HBLISTITER_OWNS_LIST, "items");
  map->setAtKey("list", HBTYPE_IID_IHBITER, static_cast<IHBIter *>(items), 0);
  items->dnref();
  auto *str = new HBStrHeap("boxed");
  map->setAtKey("str", HBTYPE_IID_IHBSTR, static_cast<IHBStr *>(str), 0);
  str->dnref();

  HBMap__logMap("TEST", 8, map);
  EXPECT_EQ(withoutPointers(), (std::vector<std::string>{
                                   "TEST|8|  -- [child] -> {0x10000001} PTR\n",
                                   "TEST|8|     -- [id] -> [7]\n",
                                   "TEST|8|  -- [list] -> {0x10000002} PTR\n",
                                   "TEST|8|     -- Str(items) -> [x]\n",
                                   "TEST|8|     -- Str(items) -> [y]\n",
                                   "TEST|8|  -- [name] -> [file.jpg]\n",
                                   "TEST|8|  -- [size] -> [-5]\n",
                                   "TEST|8|  -- [str] -> {0x10000008} PTR\n",
                                   "TEST|8|     -- Str -> [boxed]\n",
                               }));

  // Another IHBMap goes through its keys the same way.
  logs_.lines.clear();
  auto *other = new ForwardingMap(map);
  IHBObj__log("TEST", 8, other);
  EXPECT_EQ(logs_.lines.size(), 9u);
  EXPECT_EQ(logs_.lines[5], "TEST|8|  -- [name] -> [file.jpg]\n");
  EXPECT_STREQ(IHBMap__getStringAtKey(other, "name"), "file.jpg");
  EXPECT_STREQ(IHBMap__getStringAtKey(other, "str"), "boxed");
  EXPECT_EQ(IHBMap__getStringAtKey(other, "size"), nullptr);
  other->dnref();
  map->dnref();
}

TEST_F(HBObjLogTest, ListIteratorFromItsPositionThenReset) {
  auto *map = new HBMap(nullptr, 128, 128, nullptr);
  brlist_t *list = nullptr;
  brlist__new(&list);
  auto *items = new HBListIterator(list, HBTYPE_IID_IHBMAP, HBLISTITER_OWNS_LIST, nullptr);
  items->appendChild(static_cast<IHBMap *>(map));
  items->appendChild(static_cast<IHBMap *>(map));
  map->setAtKey("k", "v", 0);
  items->getNext(nullptr, nullptr);
  HBListIterator__logIterator("TEST", 8, items);
  EXPECT_EQ(withoutPointers(), (std::vector<std::string>{
                                   "TEST|8|  -- [0] -> {0x10000001} PTR\n",
                                   "TEST|8|     -- [k] -> [v]\n",
                               }));
  void *out = nullptr;
  EXPECT_EQ(items->getNext(nullptr, &out), 0);  // reset: the first element again
  static_cast<IHBObj *>(out)->dnref();
  items->dnref();
  map->dnref();
}

TEST_F(HBObjLogTest, SecretsAreMaskedAndUnknownObjectsNamed) {
  auto *map = new HBMap(nullptr, 256, 256, nullptr);
  map->setAtKey("valtoken", "abcdef123456", 0);
  map->setAtKey("Password", "hunter2", 0);
  HBMap__logMap("TEST", 8, map);
  map->dnref();
  EXPECT_EQ(logs_.lines, (std::vector<std::string>{
                             "TEST|8|  -- [Password] -> [hunt\xE2\x80\xA6]\n",
                             "TEST|8|  -- [valtoken] -> [abcd\xE2\x80\xA6]\n",
                         }));
  logs_.lines.clear();
  IHBIter *iter = nullptr;
  HBObjIter__newWithValue(&iter, HBTYPE_STRING, const_cast<char *>("s"), 0);
  IHBObj__log("TEST", 8, iter);
  iter->dnref();
  ASSERT_EQ(logs_.lines.size(), 1u);
  EXPECT_EQ(logs_.lines[0].rfind("TEST|8|  ---> {UNKNOWN-IHBOBJ} 0x", 0), 0u);
}

TEST_F(HBObjLogTest, DeepAndCyclicStructuresAreCutOff) {
  auto *map = new HBMap(nullptr, 256, 256, nullptr);
  map->setAtKey("self", HBTYPE_IID_IHBMAP, static_cast<IHBMap *>(map), 0);
  HBMap__logMap("TEST", 8, map);
  // Levels 0 to 84, one line each, then the cut-off line.
  ASSERT_EQ(logs_.lines.size(), static_cast<size_t>(HBOBJLOG_MAX_DEPTH + 2));
  EXPECT_EQ(logs_.lines.back(), "TEST|8|" + std::string(3 * HBOBJLOG_MAX_DEPTH, ' ') +
                                    "  -- ... (nested deeper than 84 levels, not shown)\n");
  map->removeAtKey("self");  // breaks the reference cycle
  map->dnref();
}

// The sink would drop those lines anyway: what shows that the dump stopped
// early is that nobody asked the nested object for an interface.
TEST_F(HBObjLogTest, NothingIsWalkedAboveTheThreshold) {
  HBCounts counts;
  auto *probe = new HBCountingObj(&counts);
  auto *map = new HBMap(nullptr, 128, 128, nullptr);
  map->setAtKey("k", "v", 0);
  map->setAtKey("probe", HBTYPE_IID_IHBOBJ, probe, 0);
  probe->dnref();
  HBMap__logMap("TEST", 33, map);
  IHBObj__log("TEST", 33, static_cast<IHBMap *>(map));
  EXPECT_TRUE(logs_.lines.empty());
  EXPECT_EQ(counts.getifcs, 0);

  HBMap__logMap("TEST", 8, map);
  EXPECT_GT(counts.getifcs, 0);
  EXPECT_EQ(logs_.lines.size(), 3u);
  map->dnref();
}

}  // namespace
