#include "hbserialize.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hbobj_testing.h"

namespace {

TEST(HBRPCSerializeTest, TextHelpersCutTerminateAndReturnTheFullLength) {
  char buf[5];
  EXPECT_EQ(HBRPCSerialize__intHelper(buf, sizeof buf, -123456), 7);
  EXPECT_STREQ(buf, "-123");
  EXPECT_EQ(HBRPCSerialize__int64Helper(buf, sizeof buf, 1LL << 40), 13);
  EXPECT_STREQ(buf, "1099");
  EXPECT_EQ(HBRPCSerialize__stringHelper(buf, sizeof buf, "abcdefgh"), 8);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(HBRPCSerialize__stringHelper(buf, sizeof buf, nullptr), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(HBRPCSerialize__sprintfHelper(buf, sizeof buf, "%s-%d", "ab", 7), 4);
  EXPECT_STREQ(buf, "ab-7");

  // A null buffer measures, even past the 256-byte scratch.
  std::string longText(1000, 'x');
  EXPECT_EQ(HBRPCSerialize__stringHelper(nullptr, 0, longText.c_str()), 1000);
  EXPECT_EQ(HBRPCSerialize__sprintfHelper(nullptr, 0, "%s", longText.c_str()), 1000);
  EXPECT_EQ(HBRPCSerialize__int64Helper(nullptr, 0, -1), 2);
  // A zero size writes nothing.
  buf[0] = 'Z';
  EXPECT_EQ(HBRPCSerialize__stringHelper(buf, 0, "abc"), 3);
  EXPECT_EQ(buf[0], 'Z');
}

TEST(HBRPCSerializeTest, ObjectHelperHandsOutTheObjectOrItsInterface) {
  HBCounts counts;
  auto *obj = new HBCountingObj(&counts);
  void *out = nullptr;
  EXPECT_EQ(HBRPCSerialize__objectHelper(obj, HBTYPE_ANY, &out), 0);
  EXPECT_EQ(out, obj);
  EXPECT_EQ(obj->refs(), 2);
  EXPECT_EQ(HBRPCSerialize__objectHelper(obj, HBTYPE_IID_IHBOBJ, &out), 0);
  EXPECT_EQ(obj->refs(), 3);
  EXPECT_EQ(HBRPCSerialize__objectHelper(obj, HBTYPE_IID_IHBMAP, &out), BRERROR_NO_ENTRY);
  EXPECT_EQ(HBRPCSerialize__objectHelper(nullptr, HBTYPE_ANY, &out), BRERROR_NO_ENTRY);
  obj->dnref();
  obj->dnref();
  obj->dnref();
  EXPECT_EQ(counts.destroyed, 1);
}

TEST(HBRPCSerializeTest, LoggedValueMasksPasswordsAndTokens) {
  char scratch[32];
  EXPECT_STREQ(HBRPCSerialize__loggedValue("password", "hunter2", scratch, sizeof scratch),
               "XXXXXXXXXXXX");
  EXPECT_STREQ(HBRPCSerialize__loggedValue("NewPassword", "x", scratch, sizeof scratch),
               "XXXXXXXXXXXX");
  EXPECT_STREQ(HBRPCSerialize__loggedValue("valtoken", "abcdefgh", scratch, sizeof scratch),
               "abcd\xE2\x80\xA6");
  EXPECT_STREQ(HBRPCSerialize__loggedValue("filename", "a.jpg", scratch, sizeof scratch), "a.jpg");
  EXPECT_STREQ(HBRPCSerialize__loggedValue("filename", nullptr, scratch, sizeof scratch), "");
}

}  // namespace
