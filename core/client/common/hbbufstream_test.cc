#include "hbbufstream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hbstream_testing.h"

namespace {

// Calls gets with `size` until it returns 0 or an error; each result is the
// returned bytes, with "|nul" appended when a NUL followed them.
std::vector<std::string> allLines(HBBufStream *reader, int32_t size) {
  std::vector<std::string> lines;
  for (;;) {
    std::vector<char> buffer(size + 1, '#');
    brerror_t n = reader->gets(buffer.data(), size);
    if (n <= 0) {
      if (n < 0) lines.push_back("error " + std::to_string(n));
      return lines;
    }
    std::string line(buffer.data(), n);
    if (n < size && buffer[n] == '\0') line += "|nul";
    lines.push_back(line);
  }
}

class HBBufStreamTest : public ::testing::Test {
 protected:
  void TearDown() override {
    reader_.reset();
    if (source_) source_->dnref();
  }
  HBBufStream *make(char *buffer = nullptr, int32_t size = 0) {
    EXPECT_EQ(HBBufStream__new(reader_.out(), source_, buffer, size), 0);
    return reader_.get();
  }
  ScriptedStream *source_ = ScriptedStream::create();
  HBRef<HBBufStream> reader_;
};

}  // namespace

TEST_F(HBBufStreamTest, GetsReturnsLinesWithTheirEnds) {
  struct Case {
    int32_t size;
    std::vector<std::string> expected;
  } cases[] = {
      {64, {"ab\r\n|nul", "cd|nul"}},
      {3, {"ab\r", "\n|nul", "cd|nul"}},
  };
  for (const Case &c : cases) {
    ScriptedStream *source = ScriptedStream::create();
    source->data("ab\r\ncd");
    HBRef<HBBufStream> reader;
    ASSERT_EQ(HBBufStream__new(reader.out(), source), 0);
    source->dnref();
    EXPECT_EQ(allLines(reader.get(), c.size), c.expected) << "size " << c.size;
  }
}

TEST_F(HBBufStreamTest, GetsJoinsPiecesAcrossTimeOuts) {
  source_->data("fir").fail(BRERROR_TIMED_OUT).data("st\nsec").fail(BRERROR_TRY_AGAIN).data("ond\n");
  EXPECT_EQ(allLines(make(), 64), (std::vector<std::string>{"first\n|nul", "second\n|nul"}));
}

TEST_F(HBBufStreamTest, LineLongerThanBufferComesInBufferSizedParts) {
  char small[4];
  source_->data("abcdefg\nh");
  EXPECT_EQ(allLines(make(small, sizeof small), 64),
            (std::vector<std::string>{"abcd|nul", "efg\n|nul", "h|nul"}));
}

TEST_F(HBBufStreamTest, SourceFailureEndsLineAndIsReportedWhenNothingIsBuffered) {
  source_->data("part").fail(BRERROR_IO);
  EXPECT_EQ(allLines(make(), 64), (std::vector<std::string>{"part|nul", "error -8"}));
}

TEST_F(HBBufStreamTest, ReadServesBufferThenSource) {
  source_->data("0123456789");
  HBBufStream *reader = make();
  char out[16] = {};
  EXPECT_EQ(reader->read(out, 4), 4);
  EXPECT_EQ(reader->getBufferedBytes(), 6);
  EXPECT_EQ(reader->read(out, sizeof out), 6);
  EXPECT_EQ(std::string(out, 6), "456789");
  EXPECT_EQ(reader->read(out, sizeof out), 0);
  EXPECT_EQ(reader->write("x", 1), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(reader->seek(0, HBSEEK_SET), BRERROR_INVALID_ARGUMENT);
}

TEST_F(HBBufStreamTest, ReleasedSourceEndsReaderAfterBufferedBytes) {
  source_->data("line one\nline two\n").data("kept for the new owner");
  HBBufStream *reader = make();
  char line[64];
  ASSERT_EQ(reader->gets(line, sizeof line), 9);
  EXPECT_EQ(reader->getBufferedBytes(), 9);
  IHBStream *detached = nullptr;
  ASSERT_EQ(reader->releaseReadFrom(&detached), 0);
  ASSERT_EQ(detached, source_);
  detached->dnref();
  EXPECT_EQ(reader->gets(line, sizeof line), 9);
  EXPECT_STREQ(line, "line two\n");
  EXPECT_EQ(reader->gets(line, sizeof line), 0);
  char rest[64];
  EXPECT_EQ(source_->read(rest, sizeof rest), 22);
}

TEST_F(HBBufStreamTest, CloseClosesSource) {
  make()->close();
  EXPECT_EQ(source_->closes, 1);
}
