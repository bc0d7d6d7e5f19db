#include "hblistiter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "brlog_testing.h"
#include "hbobj_testing.h"

namespace {

TEST(HBListIterator, EndStaysAtEndUntilReset) {
  brlist_t *list = nullptr;
  ASSERT_EQ(brlist__new(&list), 0);
  brlist__append(list, const_cast<char *>("one"));
  brlist__append(list, const_cast<char *>("two"));
  auto *iter = new HBListIterator(list, HBTYPE_STRING, HBLISTITER_OWNS_LIST, nullptr);
  hbtype_t type = HBTYPE_ANY;
  void *out = nullptr;
  ASSERT_EQ(iter->getNext(&type, &out), 0);
  EXPECT_EQ(type, HBTYPE_STRING);
  EXPECT_STREQ(static_cast<char *>(out), "one");
  type = HBTYPE_INT32;
  EXPECT_EQ(iter->getNext(&type, &out), BRERROR_INVALID_ARGUMENT);  // and advances
  type = HBTYPE_STRING;
  EXPECT_EQ(iter->getNext(&type, &out), BRERROR_OUT_OF_RANGE);
  EXPECT_EQ(iter->getNext(&type, &out), BRERROR_OUT_OF_RANGE);
  iter->reset();
  hbtype_t types[3] = {HBTYPE_STRING, HBTYPE_STRING, HBTYPE_STRING};
  void *outs[3] = {};
  EXPECT_EQ(iter->getManyNext(types, outs, 3), 2);
  EXPECT_STREQ(static_cast<char *>(outs[1]), "two");
  EXPECT_EQ(iter->getManyNext(types, outs, 3), BRERROR_OUT_OF_RANGE);
  iter->dnref();
}

TEST(HBListIterator, CopiedListHoldsOneReferencePerObject) {
  HBCounts counts;
  auto *a = new HBCountingObj(&counts);
  auto *b = new HBCountingObj(&counts);
  brlist_t *mine = nullptr;
  ASSERT_EQ(brlist__new(&mine), 0);
  brlist__append(mine, a);
  brlist__append(mine, nullptr);
  brlist__append(mine, b);
  auto *iter = new HBListIterator(mine, HBTYPE_IID_IHBOBJ, HBLISTITER_COPY_LIST, "items");
  EXPECT_EQ(a->refs(), 2);
  brlist__destroy(mine);

  hbtype_t type = HBTYPE_ANY;
  void *out = nullptr;
  ASSERT_EQ(iter->getNext(&type, &out), 0);
  EXPECT_EQ(type, HBTYPE_IID_IHBOBJ);
  EXPECT_EQ(out, a);
  EXPECT_EQ(a->refs(), 3);
  a->dnref();
  type = HBTYPE_IID_IHBOBJ;
  ASSERT_EQ(iter->getNext(&type, &out), 0);  // a null element
  EXPECT_EQ(out, nullptr);
  type = HBTYPE_IID_IHBMAP;
  EXPECT_EQ(iter->getNext(&type, &out), BRERROR_NO_ENTRY);  // b has no such interface

  void *named = nullptr;
  ASSERT_EQ(iter->getifc(HBTYPE_IID_IHBNAMEDARGUMENT, &named), 0);
  EXPECT_STREQ(static_cast<IHBNamedArgument *>(named)->getNamedArgumentName(), "items");
  static_cast<IHBNamedArgument *>(named)->dnref();

  auto *c = new HBCountingObj(&counts);
  EXPECT_EQ(iter->appendChild(c), 0);
  c->dnref();
  iter->dnref();
  a->dnref();
  b->dnref();
  EXPECT_EQ(counts.destroyed, 3);
  EXPECT_EQ(counts.uprefs + 3, counts.dnrefs);
}

TEST(HBListIterator, BorrowedListIsLeftToItsOwner) {
  brlist_t *list = nullptr;
  ASSERT_EQ(brlist__new(&list), 0);
  brlist__append(list, strdup("x"));
  auto *borrowed = new HBListIterator(list, HBTYPE_STRING, 0, nullptr);
  void *named = nullptr;
  EXPECT_EQ(borrowed->getifc(HBTYPE_IID_IHBNAMEDARGUMENT, &named), BRERROR_NO_ENTRY);
  HBCounts counts;
  auto *obj = new HBCountingObj(&counts);
  EXPECT_EQ(borrowed->appendChild(obj), BRERROR_INVALID_ARGUMENT);
  borrowed->dnref();
  EXPECT_EQ(list->count, 1u);
  // An owning iterator with FREE_PLAIN frees the heap strings and the list.
  auto *owner = new HBListIterator(list, HBTYPE_STRING,
                                   HBLISTITER_OWNS_LIST | HBLISTITER_FREE_PLAIN, nullptr);
  owner->dnref();
  obj->dnref();
  EXPECT_EQ(counts.destroyed, 1);

  auto *empty = new HBListIterator(nullptr, HBTYPE_IID_IHBOBJ, 0, nullptr);
  EXPECT_EQ(empty->getNext(nullptr, nullptr), BRERROR_OUT_OF_RANGE);
  auto *late = new HBCountingObj(&counts);
  EXPECT_EQ(empty->appendChild(late), 0);
  late->dnref();
  void *out = nullptr;
  EXPECT_EQ(empty->getNext(nullptr, &out), 0);
  EXPECT_EQ(out, late);
  late->dnref();
  empty->dnref();
  EXPECT_EQ(counts.destroyed, 2);
}

TEST(HBListIteratorDeathTest, CopyingPlainElementsAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        brlog__setThreadSink(brlogtest__stderrSink, BRLOG_ERROR, nullptr, nullptr);
        new HBListIterator(nullptr, HBTYPE_STRING, HBLISTITER_COPY_LIST, nullptr);
      },
      "\\[BRABRT\\|1\\|HBListIterator::HBListIterator\\(brlist_t \\*, hbtype_t, bruint_t, "
      "const brchar_t \\*\\):[0-9]+ +\\.ABORTING\\.");
}

TEST(HBObjIter, CopiesStringsAndChecksTheAskedTag) {
  char text[] = "alpha";
  brlist_t *list = nullptr;
  ASSERT_EQ(brlist__new(&list), 0);
  brlist__append(list, text);
  IHBIter *iter = nullptr;
  ASSERT_EQ(HBObjIter__new(&iter, HBTYPE_STRING, list, 0), 0);
  brlist__destroy(list);
  text[0] = 'A';
  hbtype_t type = HBTYPE_INT32;
  void *out = nullptr;
  EXPECT_EQ(iter->getNext(&type, &out), BRERROR_INVALID_ARGUMENT);
  type = HBTYPE_ANY;
  ASSERT_EQ(iter->getNext(&type, &out), 0);
  EXPECT_EQ(type, HBTYPE_STRING);
  EXPECT_STREQ(static_cast<char *>(out), "alpha");
  EXPECT_EQ(iter->getNext(&type, &out), BRERROR_OUT_OF_RANGE);
  iter->dnref();
}

TEST(HBObjIter, ReferencesBalanceForCopiedAdoptedAndSingleObjects) {
  HBCounts counts;
  auto *a = new HBCountingObj(&counts);
  brlist_t *list = nullptr;
  ASSERT_EQ(brlist__new(&list), 0);
  brlist__append(list, a);
  IHBIter *copied = nullptr;
  ASSERT_EQ(HBObjIter__new(&copied, HBTYPE_IID_IHBOBJ, list, 0), 0);
  EXPECT_EQ(a->refs(), 2);
  IHBIter *adopted = nullptr;
  a->upref();  // the adopted list's reference
  ASSERT_EQ(HBObjIter__new(&adopted, HBTYPE_IID_IHBOBJ, list, HBOBJITER_ADOPT), 0);
  IHBIter *single = nullptr;
  ASSERT_EQ(HBObjIter__newWithValue(&single, HBTYPE_IID_IHBOBJ, a, 0), 0);
  EXPECT_EQ(a->refs(), 4);
  void *out = nullptr;
  ASSERT_EQ(single->getNext(nullptr, &out), 0);
  EXPECT_EQ(out, a);
  a->dnref();
  copied->dnref();
  adopted->dnref();
  single->dnref();
  EXPECT_EQ(a->refs(), 1);
  a->dnref();
  EXPECT_EQ(counts.destroyed, 1);

  IHBIter *str = nullptr;
  ASSERT_EQ(HBObjIter__newWithValue(&str, HBTYPE_STRING, const_cast<char *>("one"), 0), 0);
  ASSERT_EQ(str->getNext(nullptr, &out), 0);
  EXPECT_STREQ(static_cast<char *>(out), "one");
  str->dnref();
}

TEST(HBObjIter, UnsupportedPlainTagStopsCopying) {
  brlist_t *list = nullptr;
  ASSERT_EQ(brlist__new(&list), 0);
  brlist__append(list, reinterpret_cast<void *>(7));
  IHBIter *iter = nullptr;
  BRLogCapture logs(BRLOG_ERROR);
  ASSERT_EQ(HBObjIter__new(&iter, HBTYPE_INT32, list, 0), 0);
  EXPECT_EQ(logs.lines,
            (std::vector<std::string>{"OBJITR|1|Unsupported object-iterator hbtype: 1073790976\n"}));
  EXPECT_EQ(iter->getNext(nullptr, nullptr), BRERROR_OUT_OF_RANGE);
  iter->dnref();
  brlist__destroy(list);
}

}  // namespace
