#include "hbpktconv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hblistiter.h"
#include "hbmap.h"
#include "hbrpc_testing.h"
#include "hbserialize.h"
#include "hbstr.h"

using hbrpctest::Flat;
using hbrpctest::LogCapture;

namespace {

HBRef<HBPKTMessage> newMessage() {
  HBRef<HBPKTMessage> m;
  EXPECT_EQ(HBPKTMessage::createEmpty(m.out(), nullptr), 0);
  return m;
}

HBRef<HBMap> newMap() { return HBRef<HBMap>(new HBMap(nullptr, 4096, 4096, nullptr)); }

// Through the wire and back into a map.
Flat roundTrip(HBPKTMessage *m, brerror_t *rc = nullptr) {
  int64_t size = m->serializeStream(nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  EXPECT_EQ(m->serializeBuffer(bytes.data(), size), size);
  auto back = newMessage();
  EXPECT_EQ(back->parseBuffer(bytes.data(), size, 0), size);
  auto map = newMap();
  brerror_t r = HBPKTConv__messageToHBMap(back.get(), map.get());
  if (rc) *rc = r;
  else EXPECT_EQ(r, 0);
  return hbrpctest::flatten(map.get());
}

// A list of two maps and one text.
HBRef<HBListIterator> sampleList(HBMap *owner, const char *name) {
  HBRef<HBListIterator> list(new HBListIterator(nullptr, HBTYPE_IID_IHBOBJ, HBLISTITER_OWNS_LIST, name));
  for (const char *n : {"a", "b"}) {
    HBRef<HBMap> item(owner->createChild(nullptr));
    item->setAtKey("name", n, 0);
    list->appendChild(static_cast<IHBMap *>(item.get()));
  }
  HBRef<HBStrHeap> text(new HBStrHeap("t"));
  list->appendChild(static_cast<IHBStr *>(text.get()));
  list->reset();
  return list;
}

TEST(HBPKTConvTest, ArgumentsBecomeNumberedPairsOfAMapMessage) {
  auto map = newMap();
  map->setAtKey("k", "v", 0);
  auto list = sampleList(map.get(), nullptr);
  HBSoapArg_s args[] = {
      {"valtoken", "demo-token", HBTYPE_STRING},
      {"skipped", reinterpret_cast<void *>(5), HBTYPE_INT32},
      {"empty", nullptr, 0},
      {"props", static_cast<IHBMap *>(map.get()), HBTYPE_IID_IHBMAP},
      {"items", static_cast<IHBIter *>(list.get()), HBTYPE_IID_IHBITER},
  };
  auto m = newMessage();
  ASSERT_EQ(HBPKTConv__soapArgsToMessage(args, 5, m.get()), 0);
  EXPECT_STREQ(m->getFieldString(0), "map");
  EXPECT_STREQ(m->getFieldString(1), "valtoken");
  EXPECT_STREQ(m->getFieldString(2), "demo-token");
  EXPECT_STREQ(m->getFieldString(3), "empty");
  EXPECT_STREQ(m->getFieldString(4), "");
  EXPECT_STREQ(m->getFieldString(5), "props");
  EXPECT_STREQ(m->getFieldMessage(6)->getFieldString(0), "map");
  EXPECT_STREQ(m->getFieldMessage(8)->getFieldString(0), "iter");
  EXPECT_FALSE(m->hasField(9));
  EXPECT_EQ(roundTrip(m.get()), (Flat{{"valtoken", "demo-token"},
                                      {"empty", ""},
                                      {"props.k", "v"},
                                      {"items[0].name", "a"},
                                      {"items[1].name", "b"},
                                      {"items[2]", "t"}}));
  // The list can be read again after the conversion.
  hbtype_t type = HBTYPE_ANY;
  void *first = nullptr;
  ASSERT_EQ(list->getNext(&type, &first), 0);
  static_cast<IHBObj *>(first)->dnref();
}

brerror_t fromPairs(HBPKTMessage *m, ...) {
  va_list list;
  va_start(list, m);
  brerror_t rc = HBPKTConv__valistToMessage(list, m);
  va_end(list);
  return rc;
}

TEST(HBPKTConvTest, VariadicPairsFollowTheArrayAndNoArgumentsMeanAnEmptyMessage) {
  auto empty = newMessage();
  ASSERT_EQ(HBPKTConv__soapArgsToMessage(nullptr, 0, empty.get()), 0);
  ASSERT_EQ(fromPairs(empty.get(), nullptr), 0);
  EXPECT_EQ(empty->serializeStream(nullptr), 0);

  HBSoapArg_s args[] = {{"a", "1", HBTYPE_STRING}};
  auto m = newMessage();
  ASSERT_EQ(HBPKTConv__soapArgsToMessage(args, 1, m.get()), 0);
  ASSERT_EQ(fromPairs(m.get(), "b", "2", "c", nullptr, nullptr), 0);
  EXPECT_STREQ(m->getFieldString(3), "b");
  EXPECT_STREQ(m->getFieldString(5), "c");
  EXPECT_EQ(roundTrip(m.get()), (Flat{{"a", "1"}, {"b", "2"}, {"c", ""}}));
}

// A record with a text, a number, an object and an unsupported plain field.
class Record : public IHBRPCSerializable {
 public:
  int32_t upref() override { return ++refs_; }
  int32_t dnref() override {
    int32_t count = --refs_;
    if (count == 0) delete this;
    return count;
  }
  brerror_t getifc(hbtype_t id, void **out) override {
    if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBRPCSERIALIZABLE) return BRERROR_NO_ENTRY;
    upref();
    *out = static_cast<IHBRPCSerializable *>(this);
    return 0;
  }
  const HBRPCSerializableField_s *getRPCFieldTable() override {
    static const HBRPCSerializableField_s table[] = {{"name", HBTYPE_STRING},
                                                     {"size", HBTYPE_INT},
                                                     {"child", HBTYPE_IID_IHBMAP},
                                                     {"id", HBTYPE_UUID},
                                                     {nullptr, 0}};
    return table;
  }
  brerror_t getRPCFieldText(int index, char *buffer, int32_t size) override {
    if (index == 0) return HBRPCSerialize__stringHelper(buffer, size, "pic.jpg");
    return HBRPCSerialize__int64Helper(buffer, size, 1LL << 40);
  }
  brerror_t getRPCFieldObject(int, hbtype_t iid, void **out) override {
    return HBRPCSerialize__objectHelper(static_cast<IHBMap *>(child), iid, out);
  }
  HBMap *child = nullptr;

 private:
  ~Record() { child->dnref(); }
  int32_t refs_ = 1;
};

TEST(HBPKTConvTest, MapsWithNumbersIdentifiersAndRecordsConvert) {
  auto map = newMap();
  map->setAtKey("text", "hello", 0);
  map->setAtKey("count", HBTYPE_INT32, reinterpret_cast<void *>(-42), 0);
  unsigned char uuid[16];
  for (int i = 0; i < 16; i++) uuid[i] = static_cast<unsigned char>('A' + i);
  map->setAtKey("uuid", HBTYPE_UUID, uuid, 0);
  auto *record = new Record;
  record->child = map->createChild(nullptr);
  record->child->setAtKey("x", "y", 0);
  map->setAtKey("record", HBTYPE_IID_IHBRPCSERIALIZABLE, static_cast<IHBRPCSerializable *>(record), 0);
  record->dnref();

  auto m = newMessage();
  ASSERT_EQ(HBPKTConv__mapToMessage(map.get(), m.get()), 0);
  EXPECT_EQ(roundTrip(m.get()), (Flat{{"text", "hello"},
                                      {"count", "-42"},
                                      {"uuid", "ABCDEFGHIJKLMNOP"},
                                      {"record.name", "pic.jpg"},
                                      {"record.size", "1099511627776"},
                                      {"record.child.x", "y"},
                                      {"record.id", "___UNSUPPORTED_TYPE___"}}));

  auto bad = newMap();
  bad->setAtKey("null", HBTYPE_NULL, nullptr, 0);
  auto b = newMessage();
  EXPECT_EQ(HBPKTConv__mapToMessage(bad.get(), b.get()), BRERROR_UNSUPPORTED);
}

TEST(HBPKTConvTest, DecodingRules) {
  LogCapture log;
  // A value field missing: the empty text.
  auto m = newMessage();
  m->setFieldString(0, "map");
  m->setFieldString(1, "a");
  m->setFieldString(3, "b");
  m->setFieldSInt(4, 7);
  EXPECT_EQ(roundTrip(m.get()), (Flat{{"a", ""}, {"b", "7"}}));
  EXPECT_TRUE(log.has("no value specified for field: 1 key: a, assuming empty string"));

  // A key that is not a string: -6, earlier entries kept.
  auto k = newMessage();
  k->setFieldString(0, "map");
  k->setFieldString(1, "a");
  k->setFieldString(2, "1");
  k->setFieldSInt(3, 5);
  brerror_t rc = 0;
  EXPECT_EQ(roundTrip(k.get(), &rc), (Flat{{"a", "1"}}));
  EXPECT_EQ(rc, BRERROR_INVALID_ARGUMENT);
  EXPECT_TRUE(log.has("Supposedly parsing a map-message, but I have not key at field: 3"));

  // Not a map message.
  auto i = newMessage();
  i->setFieldString(0, "iter");
  i->setFieldString(1, "x");
  roundTrip(i.get(), &rc);
  EXPECT_EQ(rc, BRERROR_INVALID_ARGUMENT);
}

TEST(HBPKTConvTest, DecodedListsTakeTheCommonTypeOfTheirItems) {
  auto map = newMap();
  auto maps = sampleList(map.get(), nullptr);
  auto m = newMessage();
  HBSoapArg_s args[] = {{"mixed", static_cast<IHBIter *>(maps.get()), HBTYPE_IID_IHBITER}};
  ASSERT_EQ(HBPKTConv__soapArgsToMessage(args, 1, m.get()), 0);
  // A second list of texts only.
  HBRef<HBPKTMessage> texts;
  HBPKTMessage::createEmpty(texts.out(), m.get());
  texts->setFieldString(0, "iter");
  texts->setFieldString(1, "p");
  texts->setFieldString(2, "q");
  m->setFieldString(3, "texts");
  m->setFieldMessage(4, texts.get());

  auto out = newMap();
  ASSERT_EQ(HBPKTConv__messageToHBMap(m.get(), out.get()), 0);
  for (const auto &[key, expected] :
       {std::pair<const char *, hbtype_t>{"mixed", HBTYPE_IID_IHBOBJ}, {"texts", HBTYPE_IID_IHBSTR}}) {
    IHBIter *iter = nullptr;
    ASSERT_EQ(out->getAtKey(key, HBTYPE_IID_IHBITER, reinterpret_cast<void **>(&iter)), 0);
    hbtype_t type = HBTYPE_ANY;
    void *item = nullptr;
    ASSERT_EQ(iter->getNext(&type, &item), 0);
    EXPECT_EQ(type, expected) << key;
    static_cast<IHBObj *>(item)->dnref();
    iter->dnref();
  }
}

}  // namespace
