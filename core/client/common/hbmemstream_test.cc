#include "hbmemstream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hbstream_testing.h"

namespace {

constexpr uint32_t kOwnedGrowableRW = 0x70003;

std::string contents(IHBMemStream *stream) {
  void *data = nullptr;
  uint32_t length = 0;
  stream->getBuffer(&data, &length);
  return std::string(static_cast<char *>(data), length);
}

}  // namespace

TEST(HBMemStreamTest, FixedBufferTakesWhatFitsGrowableGrowsByInitialCapacity) {
  struct Case {
    uint32_t flags;
    brerror_t written;
    uint32_t capacity;
  } cases[] = {
      {HBSTREAM_READ | HBSTREAM_WRITE | HBMEMSTREAM_OWNED | HBMEMSTREAM_ALLOC, 8, 8},
      {kOwnedGrowableRW, 10, 18},
  };
  for (const Case &c : cases) {
    HBRef<IHBMemStream> stream;
    ASSERT_EQ(HBMemStream__new(stream.out(), nullptr, 8, c.flags), 0);
    EXPECT_EQ(stream->write("0123456789", 10), c.written) << std::hex << c.flags;
    EXPECT_EQ(stream->seek(0, HBSEEK_END), c.capacity) << std::hex << c.flags;
    EXPECT_EQ(contents(stream.get()), std::string("0123456789", c.written));
  }
}

TEST(HBMemStreamTest, BorrowedBufferIsCopiedOnGrowthAndLeftAlone) {
  char mine[4] = {'a', 'b', 'c', 'd'};
  HBRef<IHBMemStream> stream;
  ASSERT_EQ(HBMemStream__new(stream.out(), mine, sizeof mine,
                             HBSTREAM_WRITE | HBMEMSTREAM_GROW | HBMEMSTREAM_BORROWED),
            0);
  EXPECT_EQ(stream->write("wx", 2), 2);
  EXPECT_EQ(memcmp(mine, "wxcd", 4), 0);
  EXPECT_EQ(stream->write("yz12", 4), 4);
  EXPECT_EQ(contents(stream.get()), "wxyz12");
  EXPECT_EQ(memcmp(mine, "wxcd", 4), 0);
}

TEST(HBMemStreamTest, AccessFlagsAreEnforced) {
  char buffer[8] = "abcdefg";
  IHBMemStream *none = nullptr;
  EXPECT_EQ(HBMemStream__new(&none, buffer, 8, HBMEMSTREAM_GROW), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(none, nullptr);

  HBRef<IHBMemStream> readOnly;
  ASSERT_EQ(HBMemStream__new(readOnly.out(), buffer, 7, HBSTREAM_READ), 0);
  EXPECT_EQ(readOnly->write("x", 1), BRERROR_INVALID_ARGUMENT);
  char out[16] = {};
  // A read-only stream over a given buffer reads up to its capacity.
  EXPECT_EQ(readOnly->read(out, sizeof out), 7);
  EXPECT_STREQ(out, "abcdefg");

  HBRef<IHBMemStream> writeOnly;
  ASSERT_EQ(HBMemStream__new(writeOnly.out(), nullptr, 8, 0x70002), 0);
  EXPECT_EQ(writeOnly->read(out, 1), BRERROR_INVALID_ARGUMENT);
}

TEST(HBMemStreamTest, ReadAfterSeekPastEndAnswersEndOfData) {
  char buffer[4] = {'a', 'b', 'c', 'd'};
  HBRef<IHBMemStream> readOnly;
  ASSERT_EQ(HBMemStream__new(readOnly.out(), buffer, 4, HBSTREAM_READ), 0);
  HBRef<IHBMemStream> readWrite;
  ASSERT_EQ(HBMemStream__new(readWrite.out(), nullptr, 4, kOwnedGrowableRW), 0);
  ASSERT_EQ(readWrite->write("abcd", 4), 4);

  for (IHBMemStream *stream : {readOnly.get(), readWrite.get()}) {
    EXPECT_EQ(stream->seek(100, HBSEEK_SET), 100);
    char out[8];
    EXPECT_EQ(stream->read(out, sizeof out), 0);
    EXPECT_EQ(stream->pread(out, sizeof out, 100), 0);
    EXPECT_EQ(stream->seek(2, HBSEEK_SET), 2);
    EXPECT_EQ(stream->read(out, sizeof out), 2);
  }
}

TEST(HBMemStreamTest, SeekMovesReadPointerOrFillByAccess) {
  HBRef<IHBMemStream> readWrite;
  ASSERT_EQ(HBMemStream__new(readWrite.out(), nullptr, 16, kOwnedGrowableRW), 0);
  readWrite->write("abcdef", 6);
  char out[8] = {};
  ASSERT_EQ(readWrite->read(out, 2), 2);
  // Read-write: the current position is the read pointer; writes still append.
  EXPECT_EQ(readWrite->seek(1, HBSEEK_CUR), 3);
  readWrite->write("gh", 2);
  EXPECT_EQ(readWrite->read(out, sizeof out), 5);
  EXPECT_EQ(std::string(out, 5), "defgh");
  EXPECT_EQ(readWrite->seek(-4, HBSEEK_END), 12);

  HBRef<IHBMemStream> writeOnly;
  ASSERT_EQ(HBMemStream__new(writeOnly.out(), nullptr, 16, 0x70002), 0);
  writeOnly->write("abcdef", 6);
  // Write-only: seeking sets the fill, so the next write overwrites.
  EXPECT_EQ(writeOnly->seek(-2, HBSEEK_CUR), 4);
  writeOnly->write("XYZ", 3);
  EXPECT_EQ(contents(writeOnly.get()), "abcdXYZ");
}

TEST(HBMemStreamTest, PositionalWriteLandsAtItsOffset) {
  HBRef<IHBMemStream> stream;
  ASSERT_EQ(HBMemStream__new(stream.out(), nullptr, 8, kOwnedGrowableRW), 0);
  stream->write("abcdef", 6);
  EXPECT_EQ(stream->pwrite("XY", 2, 1), 2);
  EXPECT_EQ(stream->pwrite("tail", 4, 10), 4);
  char out[4] = {};
  EXPECT_EQ(stream->pread(out, 3, 0), 3);
  EXPECT_EQ(std::string(out, 3), "aXY");
  EXPECT_EQ(contents(stream.get()), std::string("aXYdef\0\0\0\0tail", 14));
  // The read position did not move.
  EXPECT_EQ(stream->read(out, 2), 2);
  EXPECT_EQ(std::string(out, 2), "aX");
}

TEST(HBMemStreamTest, PutsFormatsTextsAndNumbers) {
  HBRef<IHBMemStream> stream;
  ASSERT_EQ(HBMemStream__new(stream.out(), nullptr, 4, kOwnedGrowableRW), 0);
  stream->puts(static_cast<const char *>(nullptr));
  stream->puts(" ");
  stream->puts(int32_t{-5});
  stream->puts(" ");
  stream->puts(uint32_t{4000000000u});
  stream->puts(" ");
  stream->puts(int64_t{-9000000000});
  stream->puts(" ");
  stream->puts(uint64_t{18000000000000000000ull});
  EXPECT_EQ(contents(stream.get()), "(null) -5 4000000000 -9000000000 18000000000000000000");
}

class WriteThroughTest : public ::testing::Test {
 protected:
  void SetUp() override {
    downstream_ = ScriptedStream::create();
    ASSERT_EQ(HBMemStream__new(stream_.out(), nullptr, 4096,
                               HBSTREAM_WRITE | HBMEMSTREAM_OWNED | HBMEMSTREAM_ALLOC |
                                   HBMEMSTREAM_WRITETHROUGH,
                               downstream_),
              0);
  }
  void TearDown() override {
    stream_.reset();
    downstream_->dnref();
  }
  ScriptedStream *downstream_ = nullptr;
  HBRef<IHBMemStream> stream_;
};

TEST_F(WriteThroughTest, LargeWriteFlushesBufferThenPassesStraightOn) {
  EXPECT_EQ(stream_->write("head", 4), 4);
  EXPECT_TRUE(downstream_->written.empty());
  const std::string big(10000, 'b');
  EXPECT_EQ(stream_->write(big.data(), 10000), 10000);
  ASSERT_EQ(downstream_->writeSizes.size(), 2u);
  EXPECT_EQ(downstream_->writeSizes[0], 4);
  EXPECT_EQ(downstream_->writeSizes[1], 10000);
  EXPECT_EQ(downstream_->written, "head" + big);
}

TEST_F(WriteThroughTest, SmallWritesCollectUntilFullOrExplicitFlush) {
  const std::string chunk(1000, 'c');
  for (int i = 0; i < 5; ++i) ASSERT_EQ(stream_->write(chunk.data(), 1000), 1000);
  // The fifth write did not fit: the first four went down in one write.
  ASSERT_EQ(downstream_->writeSizes.size(), 1u);
  EXPECT_EQ(downstream_->writeSizes[0], 4000);
  EXPECT_EQ(stream_->write(nullptr, 0), 0);
  EXPECT_EQ(downstream_->written.size(), 5000u);
  stream_->write("end", 3);
  EXPECT_EQ(stream_->sync(), 0);
  EXPECT_EQ(downstream_->syncs, 1);
  EXPECT_EQ(downstream_->written.size(), 5003u);
}

TEST_F(WriteThroughTest, FlushRetriesPartialAndTimedOutWritesKeepsRestOnError) {
  stream_->write("abcdefgh", 8);
  downstream_->writeResults({3, BRERROR_TIMED_OUT, BRERROR_TRY_AGAIN, 2, BRERROR_IO});
  EXPECT_EQ(stream_->write(nullptr, 0), BRERROR_IO);
  EXPECT_EQ(downstream_->written, "abcde");
  EXPECT_EQ(contents(stream_.get()), "fgh");
  EXPECT_EQ(stream_->write(nullptr, 0), 0);
  EXPECT_EQ(downstream_->written, "abcdefgh");
}

TEST_F(WriteThroughTest, DestructionFlushes) {
  stream_->write("last words", 10);
  stream_.reset();
  EXPECT_EQ(downstream_->written, "last words");
}
