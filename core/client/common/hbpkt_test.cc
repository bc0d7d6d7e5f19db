#include "hbpkt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hbmemstream.h"
#include "hbrpc_testing.h"

using hbrpctest::LogCapture;

namespace {

HBRef<HBPKTMessage> newMessage() {
  HBRef<HBPKTMessage> m;
  EXPECT_EQ(HBPKTMessage::createEmpty(m.out(), nullptr), 0);
  return m;
}

std::string bytesOf(HBPKTMessage *m) {
  int64_t size = m->serializeStream(nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  EXPECT_EQ(m->serializeBuffer(out.data(), size), size);
  return out;
}

std::string hex(const std::string &bytes) {
  std::string out;
  char two[4];
  for (unsigned char c : bytes) {
    snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

// A memory stream holding `bytes`, read from the start.
HBRef<IHBMemStream> streamOf(const std::string &bytes) {
  HBRef<IHBMemStream> s;
  EXPECT_EQ(HBMemStream__new(s.out(), nullptr, 0, HBSTREAM_READ | HBSTREAM_WRITE | HBMEMSTREAM_GROW), 0);
  if (!bytes.empty()) {
    EXPECT_EQ(s->write(bytes.data(), static_cast<int32_t>(bytes.size())),
              static_cast<int32_t>(bytes.size()));
  }
  return s;
}

TEST(HBPKTMessageTest, SignedIntegersAreZigZagVarints) {
  const struct {
    int64_t value;
    const char *hex;
  } cases[] = {
      {0, "0800"},
      {-1, "0801"},
      {1, "0802"},
      {-64, "087f"},
      {64, "088001"},
      {300, "08d804"},
      {INT64_MAX, "08feffffffffffffffff01"},
      {INT64_MIN, "08ffffffffffffffffff01"},
  };
  for (const auto &c : cases) {
    auto m = newMessage();
    ASSERT_EQ(m->setFieldSInt(1, c.value), 0);
    // Field 1, type 1: key 9.
    std::string expected = std::string("09") + (c.hex + 2);
    EXPECT_EQ(hex(bytesOf(m.get())), expected) << c.value;
    auto back = newMessage();
    std::string bytes = bytesOf(m.get());
    EXPECT_EQ(back->parseBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), 0),
              static_cast<int64_t>(bytes.size()));
    const HBPKTValue *v = back->getFieldValue(1, 0);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, HBPKT_TYPE_SINT);
    EXPECT_EQ(v->s, c.value);
  }
}

TEST(HBPKTMessageTest, RecordsOfEveryTypeReadFromBufferAndStream) {
  // field 0 uint 150; field 1 sint -3; field 2 double 1.5 (type 2) and
  // field 3 double -2 (type 3); field 4 "hi"; field 5 nested {1: "x"}.
  static const char kRecords[] =
      "\x00\x96\x01"
      "\x09\x05"
      "\x12\x00\x00\x00\x00\x00\x00\xf8\x3f"
      "\x1b\x00\x00\x00\x00\x00\x00\x00\xc0"
      "\x24\x02hi"
      "\x2d\x03\x0c\x01x";
  std::string bytes(kRecords, sizeof kRecords - 1);
  ASSERT_EQ(bytes.size(), 3u + 2 + 9 + 9 + 4 + 5);
  for (int form = 0; form < 2; form++) {
    auto m = newMessage();
    int64_t rc;
    if (form == 0) {
      rc = m->parseBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), 0);
    } else {
      auto s = streamOf(bytes);
      rc = m->parseStream(s.get(), 0);
    }
    ASSERT_EQ(rc, static_cast<int64_t>(bytes.size())) << form;
    EXPECT_EQ(m->getFieldValue(0, 0)->u, 150u);
    EXPECT_EQ(m->getFieldValue(1, 0)->s, -3);
    EXPECT_EQ(m->getFieldValue(2, 0)->d, 1.5);
    EXPECT_EQ(m->getFieldValue(3, 0)->d, -2.0);
    EXPECT_STREQ(m->getFieldString(4), "hi");
    ASSERT_NE(m->getFieldMessage(5), nullptr);
    EXPECT_STREQ(m->getFieldMessage(5)->getFieldString(1), "x");
    // Written back byte for byte.
    EXPECT_EQ(hex(bytesOf(m.get())), hex(bytes));
  }
}

TEST(HBPKTMessageTest, RepeatedFieldsKeepTheirValuesInOrderAndFieldsMayComeInAnyOrder) {
  // field 2 "b", field 1 "a1", field 2 "c", field 1 "a2".
  std::string bytes = "\x14\x01" "b" "\x0c\x02" "a1" "\x14\x01" "c" "\x0c\x02" "a2";
  auto m = newMessage();
  ASSERT_EQ(m->parseBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), 0),
            static_cast<int64_t>(bytes.size()));
  uint32_t length = 0;
  EXPECT_STREQ(m->getFieldStringNIdx(1, 0, &length), "a1");
  EXPECT_STREQ(m->getFieldStringNIdx(1, 1, &length), "a2");
  EXPECT_EQ(m->getFieldStringNIdx(1, 2, &length), nullptr);
  EXPECT_STREQ(m->getFieldStringNIdx(2, 1, &length), "c");
  // Written in field order, values in order.
  EXPECT_EQ(bytesOf(m.get()), std::string("\x0c\x02" "a1" "\x0c\x02" "a2" "\x14\x01" "b"
                                          "\x14\x01" "c"));
  // A setter replaces all values.
  ASSERT_EQ(m->setFieldString(1, "z"), 0);
  EXPECT_EQ(m->getFieldStringNIdx(1, 1, &length), nullptr);
  EXPECT_STREQ(m->getFieldString(1), "z");
  m->clearField(2);
  EXPECT_FALSE(m->hasField(2));
  EXPECT_TRUE(m->hasField(1));
}

TEST(HBPKTMessageTest, NestedMessagesAndBinaryStringsRoundTrip) {
  auto m = newMessage();
  HBRef<HBPKTMessage> child;
  ASSERT_EQ(HBPKTMessage::createEmpty(child.out(), m.get()), 0);
  std::string binary("a\0b\xff", 4);
  ASSERT_EQ(child->setFieldStringN(7, binary.data(), 4), 0);
  ASSERT_EQ(child->setFieldString(1000000, std::string(300, 'q').c_str()), 0);
  ASSERT_EQ(m->setFieldMessage(3, child.get()), 0);
  ASSERT_EQ(m->setFieldString(0, "map"), 0);
  EXPECT_EQ(m->setFieldMessage(4, m.get()), BRERROR_INVALID_ARGUMENT);
  std::string bytes = bytesOf(m.get());

  auto back = newMessage();
  ASSERT_EQ(back->parseBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), 0),
            static_cast<int64_t>(bytes.size()));
  HBPKTMessage *nested = back->getFieldMessageIdx(3, 0);
  ASSERT_NE(nested, nullptr);
  uint32_t length = 0;
  const char *got = nested->getFieldStringN(7, &length);
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(std::string(got, length), binary);
  EXPECT_EQ(std::string(nested->getFieldString(1000000)), std::string(300, 'q'));
  // A nested message outlives its parent through its own reference.
  nested->upref();
  back.reset();
  EXPECT_STREQ(nested->getFieldString(1000000) + 299, "q");
  nested->dnref();
}

TEST(HBPKTMessageTest, SerializingMeasuresWritesStreamsAndRefusesSmallBuffers) {
  auto m = newMessage();
  EXPECT_EQ(m->serializeStream(nullptr), 0);
  ASSERT_EQ(m->setFieldString(1, std::string(10000, 'x').c_str()), 0);
  int64_t size = m->serializeStream(nullptr);
  EXPECT_EQ(size, 1 + 2 + 10000);
  char small[100];
  EXPECT_EQ(m->serializeBuffer(small, sizeof small), BRERROR_NO_SPACE);
  auto s = streamOf("");
  EXPECT_EQ(m->serializeStream(s.get()), size);
  void *data;
  uint32_t length;
  ASSERT_EQ(s->getBuffer(&data, &length), 0);
  EXPECT_EQ(length, static_cast<uint32_t>(size));
}

struct BadCase {
  const char *what;
  std::string bytes;
  int64_t bufferResult;
  const char *logged;
};

TEST(HBPKTMessageTest, MalformedInputStopsWithAnErrorAndKeepsEarlierFields) {
  const BadCase cases[] = {
      {"string longer than the rest", std::string("\x0c\x01" "a" "\x14\x09" "abc", 8),
       BRERROR_INVALID_ARGUMENT, "Wanted to consume 9 bytes for string, but I only have 3 left!"},
      {"message longer than the rest", std::string("\x0c\x01" "a" "\x15\x05\x08", 6),
       BRERROR_INVALID_ARGUMENT, "Wanted to consume 5 bytes for msg, but I only have 1 left!"},
      {"length running past a nested end", std::string("\x0c\x01" "a" "\x15\x02\x0c\x81\x01", 8),
       BRERROR_INVALID_ARGUMENT, nullptr},
      {"truncated integer", std::string("\x0c\x01" "a" "\x10\x80", 5), BRERROR_INVALID_ARGUMENT,
       nullptr},
      {"truncated double", std::string("\x0c\x01" "a" "\x12\x00\x00\x00", 6),
       BRERROR_INVALID_ARGUMENT, nullptr},
      {"over-long integer", std::string("\x0c\x01" "a" "\x10") + std::string(11, '\xff'),
       BRERROR_INVALID_ARGUMENT, nullptr},
  };
  for (const BadCase &c : cases) {
    for (int form = 0; form < 2; form++) {
      LogCapture log;
      auto m = newMessage();
      int64_t rc;
      if (form == 0) {
        rc = m->parseBuffer(c.bytes.data(), static_cast<int64_t>(c.bytes.size()), 0);
      } else {
        auto s = streamOf(c.bytes);
        rc = m->parseStream(s.get(), 0);
      }
      // A stream has no declared end: a long string there is just cut short.
      EXPECT_LT(rc, 0) << c.what << " form " << form;
      if (form == 0) {
        EXPECT_EQ(rc, c.bufferResult) << c.what;
      }
      EXPECT_STREQ(m->getFieldString(1), "a") << c.what;
      if (c.logged && form == 0) {
        EXPECT_TRUE(log.has(c.logged)) << c.what << log.all();
      }
    }
  }
}

TEST(HBPKTMessageTest, UnknownWireTypesAreSkippedAfterTheKey) {
  LogCapture log;
  auto m = newMessage();
  std::string bytes = "\x0e\x0c\x01" "a";  // field 1 type 6, then field 1 "a"
  EXPECT_EQ(m->parseBuffer(bytes.data(), 4, 0), 4);
  EXPECT_STREQ(m->getFieldString(1), "a");
  EXPECT_TRUE(log.has("Did not recognize type: 6"));

  auto none = newMessage();
  EXPECT_EQ(none->parseBuffer("\x0f\x07", 2, 0), 0);
  EXPECT_TRUE(log.has("Got some bytes but could not parse anything!"));
}

TEST(HBPKTMessageTest, NestingDeeperThanTheLimitIsRefused) {
  std::string inner = "\x08\x01";
  for (int i = 0; i < HBPKT_MAX_DEPTH + 2; i++) {
    std::string wrapped = "\x0d";
    wrapped += static_cast<char>(inner.size() < 128 ? inner.size() : 0);
    ASSERT_LT(inner.size(), 128u);
    inner = wrapped + inner;
  }
  auto m = newMessage();
  EXPECT_EQ(m->parseBuffer(inner.data(), static_cast<int64_t>(inner.size()), 0),
            BRERROR_INVALID_ARGUMENT);
  auto s = streamOf(inner);
  EXPECT_EQ(m->parseStream(s.get(), 0), BRERROR_INVALID_ARGUMENT);
}

TEST(HBPKTMessageTest, StreamRefusesStringsOver4kAndStaysInStep) {
  LogCapture log;
  std::string bytes = "\x0c";
  bytes += "\x88\x27";  // 5000
  bytes += std::string(5000, 'z');
  bytes += "\x14\x02" "ok";
  bytes += "\x1c";
  bytes += "\x80\x20";  // exactly 4096
  bytes += std::string(4096, 'k');
  auto m = newMessage();
  auto s = streamOf(bytes);
  EXPECT_EQ(m->parseStream(s.get(), 0), static_cast<int64_t>(bytes.size()));
  EXPECT_FALSE(m->hasField(1));
  EXPECT_STREQ(m->getFieldString(2), "ok");
  uint32_t length = 0;
  m->getFieldStringN(3, &length);
  EXPECT_EQ(length, 4096u);
  EXPECT_TRUE(log.has("Cowardly refusing to allocate more than 4k in a shot!"));

  // From a buffer the long string is kept.
  auto b = newMessage();
  EXPECT_EQ(b->parseBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), 0),
            static_cast<int64_t>(bytes.size()));
  b->getFieldStringN(1, &length);
  EXPECT_EQ(length, 5000u);
}

TEST(HBPKTMessageTest, EndlessStreamsStopAtTheValueLimit) {
  std::string bytes;
  while (bytes.size() < 2 * (HBPKT_MAX_VALUES + 10)) bytes += "\x08\x01";
  auto m = newMessage();
  auto s = streamOf(bytes);
  EXPECT_EQ(m->parseStream(s.get(), 0), BRERROR_NO_SPACE);
  auto b = newMessage();
  EXPECT_EQ(b->parseBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), 0),
            BRERROR_NO_SPACE);
}

TEST(HBPKTMessageTest, DumpLogMasksSecretValuesOfMapMessages) {
  auto m = newMessage();
  m->setFieldString(0, "map");
  m->setFieldString(1, "password");
  m->setFieldString(2, "hunter2");
  m->setFieldString(3, "valtoken");
  m->setFieldString(4, "abcdefgh");
  m->setFieldString(5, "email");
  m->setFieldString(6, "me@example.test");
  LogCapture log;
  m->dumpLog("PKT-S", 16);
  std::string all = log.all();
  EXPECT_EQ(all.find("hunter2"), std::string::npos);
  EXPECT_EQ(all.find("abcdefgh"), std::string::npos);
  EXPECT_NE(all.find("XXXXXXXXXXXX"), std::string::npos);
  EXPECT_NE(all.find("abcd\xE2\x80\xA6"), std::string::npos);
  EXPECT_NE(all.find("me@example.test"), std::string::npos);
}

}  // namespace
