// The packet codec: the client's wire rules, and hostile input.
#include "pktm.h"

#include <gtest/gtest.h>

namespace kxcloud {
namespace {

TEST(Pktm, VarintsAndZigZagFollowTheWireForm) {
  std::string s;
  pktm_put_varint(&s, 300);
  EXPECT_EQ(s, "\xac\x02");
  struct { int64_t v; std::string wire; } cases[] = {
      {0, std::string("\x09\x00", 2)}, {-1, "\x09\x01"}, {1, "\x09\x02"}, {-64, "\x09\x7f"}};
  for (auto &c : cases) {
    std::string w;
    pktm_put_sint(&w, 1, c.v);
    EXPECT_EQ(w, c.wire) << c.v;
  }
}

TEST(Pktm, RequestArgumentsDecodeWithNestedMapsListsAndNumbers) {
  std::string inner;
  pktm_put_string(&inner, 0, "iter");
  pktm_put_string(&inner, 1, "a");
  pktm_put_string(&inner, 2, "b");
  std::string msg;
  pktm_put_string(&msg, 0, "map");
  pktm_put_string(&msg, 1, "valtoken");
  pktm_put_string(&msg, 2, "t");
  pktm_put_string(&msg, 3, "list");
  pktm_put_message(&msg, 4, inner);
  pktm_put_string(&msg, 5, "n");
  pktm_put_sint(&msg, 6, -5);
  pktm_put_string(&msg, 7, "d");
  pktm_put_double(&msg, 8, 1.5);
  pktm_put_string(&msg, 9, "missing");
  Args args;
  std::string err;
  ASSERT_TRUE(pktm_decode_args(msg, &args, &err)) << err;
  ASSERT_EQ(args.size(), 5u);
  EXPECT_EQ(args[0].second.text, "t");
  ASSERT_EQ(args[1].second.kind, Value::Kind::List);
  EXPECT_EQ(args[1].second.items[1].text, "b");
  EXPECT_EQ(args[2].second.text, "-5");
  EXPECT_EQ(args[3].second.text, "1.5");
  EXPECT_EQ(args[4].second.text, "") << "a key without a value is the empty text";
}

TEST(Pktm, ReplyEncodingRoundTrips) {
  Value m = Value::map();
  Value &files = m.set("files", Value::list());
  Value f = Value::map();
  f.set("fileid", "7");
  files.items.push_back(f);
  m.set("count", "1");
  Args back;
  std::string err;
  ASSERT_TRUE(pktm_decode_args(pktm_encode_map(m), &back, &err)) << err;
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].first, "files");
  EXPECT_EQ(back[0].second.items.at(0).find("fileid")->text, "7");
  EXPECT_EQ(back[1].second.text, "1");
}

TEST(Pktm, MalformedMessagesAreRefused) {
  std::string deep = "";
  for (int i = 0; i < 40; ++i) {
    std::string m;
    pktm_put_string(&m, 0, "map");
    pktm_put_string(&m, 1, "k");
    if (!deep.empty()) pktm_put_message(&m, 2, deep);
    deep = m;
  }
  std::string numeric_key;
  pktm_put_string(&numeric_key, 0, "map");
  pktm_put_sint(&numeric_key, 1, 3);
  const std::string cases[] = {
      "\x22\x05" "ab",            // string longer than the message
      "\x2a\xff\xff\xff\xff\x0f",  // nested length far past the end
      "\x12\x01\x02",             // truncated double
      "\x08\xff",                 // truncated varint
      deep, numeric_key};
  for (auto &c : cases) {
    Args a;
    std::string err;
    EXPECT_FALSE(pktm_decode_args(c, &a, &err));
  }
}

}  // namespace
}  // namespace kxcloud
