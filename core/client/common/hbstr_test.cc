#include "hbstr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "hbstralloc.h"

namespace {

TEST(HBStr, HeapStringOwnsACopy) {
  char source[] = "hello";
  auto *str = new HBStrHeap(source);
  source[0] = 'j';
  EXPECT_STREQ(str->getString(), "hello");
  EXPECT_EQ(str->dnref(), 0);

  auto *empty = new HBStrHeap(nullptr);
  EXPECT_EQ(empty->getString(), nullptr);
  empty->dnref();

  HBStrHeap *adopted = HBStrHeap::wrapAllocatedString(strdup("taken"));
  ASSERT_NE(adopted, nullptr);
  EXPECT_STREQ(adopted->getString(), "taken");
  adopted->dnref();
}

TEST(HBStr, InterfacesAndArgumentValue) {
  auto *str = new HBStrHeap("value");
  void *ifc = nullptr;
  for (hbtype_t id : {HBTYPE_IID_IHBOBJ, HBTYPE_IID_IHBSTR, HBTYPE_IID_IHBRPCARGUMENTVALUE}) {
    ASSERT_EQ(str->getifc(id, &ifc), 0) << std::hex << id;
    static_cast<IHBObj *>(ifc)->dnref();
  }
  ifc = nullptr;
  EXPECT_EQ(str->getifc(HBTYPE_IID_IHBMAP, &ifc), BRERROR_NO_ENTRY);
  EXPECT_EQ(ifc, nullptr);

  ASSERT_EQ(str->getifc(HBTYPE_IID_IHBRPCARGUMENTVALUE, &ifc), 0);
  auto *arg = static_cast<IHBRPCArgumentValue *>(ifc);
  hbtype_t type = HBTYPE_ANY;
  void *out = nullptr;
  EXPECT_EQ(arg->getRPCArgumentValue(&type, &out), 0);
  EXPECT_EQ(type, HBTYPE_STRING);
  EXPECT_STREQ(static_cast<char *>(out), "value");
  type = HBTYPE_INT32;
  EXPECT_EQ(arg->getRPCArgumentValue(&type, &out), BRERROR_INVALID_ARGUMENT);
  arg->dnref();
  EXPECT_EQ(str->dnref(), 0);
}

TEST(HBStr, StaticStringIgnoresCounting) {
  static HBStrStatic literal("forever");
  literal.upref();
  literal.dnref();
  literal.dnref();
  EXPECT_STREQ(literal.getString(), "forever");
}

TEST(HBStr, ArenaStringHoldsItsAllocator) {
  auto *sa = new HBStringAllocator(128, 128);
  auto *str = new HBStrSA(sa, "abcdef", 4);
  EXPECT_EQ(sa->getReferenceCount(), 2);
  sa->sadnref();  // the string keeps the arena alive
  EXPECT_STREQ(str->getString(), "abcd");
  auto *whole = new HBStrSA(sa, "whole", -1);
  EXPECT_STREQ(whole->getString(), "whole");
  whole->dnref();
  str->dnref();  // frees the arena too (ASan would report a leak)
}

}  // namespace
