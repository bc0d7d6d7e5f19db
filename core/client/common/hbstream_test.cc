#include "hbstream.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "hbmemstream.h"
#include "hbstream_posix.h"
#include "hbstream_testing.h"

namespace {

// Holds a scripted stream for the length of a test.
struct Scripted {
  Scripted() : stream(ScriptedStream::create()) {}
  ~Scripted() { stream->dnref(); }
  ScriptedStream *operator->() const { return stream; }
  ScriptedStream *stream;
};

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return bytes;
}

}  // namespace

TEST(SendToTest, CountLimitsOrCopiesToEnd) {
  struct Case {
    int64_t count;
    int64_t expected;
    const char *copied;
  } cases[] = {
      {-1, 3, "abc"},
      {5, 3, "abc"},
      {2, 2, "ab"},
      {0, 0, ""},
  };
  for (const Case &c : cases) {
    Scripted source, destination;
    source->data("abc");
    EXPECT_EQ(source->sendTo(destination.stream, c.count), c.expected) << c.count;
    EXPECT_EQ(destination->written, c.copied) << c.count;
  }
}

TEST(SendToTest, CopiesPipeThroughPartialWrites) {
  const std::string payload = pattern(1 << 20);
  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  std::thread writer([&] {
    size_t done = 0;
    while (done < payload.size()) {
      size_t piece = std::min<size_t>(payload.size() - done, 7001);
      ssize_t put = write(pipes[1], payload.data() + done, piece);
      if (put <= 0) break;
      done += put;
    }
    close(pipes[1]);
  });
  HBRef<IHBStream> source;
  ASSERT_EQ(HBStream__newForFD(source.out(), pipes[0], HBSTREAM_READ), 0);
  Scripted destination;
  destination->writeLimit = 1000;
  destination->writeResults({17, 1, 0, 0});

  std::vector<int64_t> totals;
  auto progress = [](int64_t total, void *user) {
    static_cast<std::vector<int64_t> *>(user)->push_back(total);
    return 0;
  };
  EXPECT_EQ(HBStream__sendToHelper(source.get(), destination.stream, -1, progress, &totals),
            static_cast<int64_t>(payload.size()));
  writer.join();
  EXPECT_TRUE(destination->written == payload);
  ASSERT_FALSE(totals.empty());
  EXPECT_EQ(totals[0], 17);
  EXPECT_EQ(totals[1], 18);
  EXPECT_EQ(totals.back(), static_cast<int64_t>(payload.size()));
  EXPECT_EQ(totals.size(), destination->writeSizes.size());
}

TEST(SendToTest, ProgressCallbackStopsCopy) {
  Scripted source, destination;
  source->data(std::string(10000, 'x'));
  destination->writeLimit = 1000;
  auto stopAtThree = [](int64_t total, void *) { return total >= 3000 ? 1 : 0; };
  EXPECT_EQ(HBStream__sendToHelper(source.stream, destination.stream, -1, stopAtThree, nullptr),
            3000);
}

TEST(SendToTest, FailuresReturnErrorOnlyWhenNothingWasWritten) {
  {
    Scripted source, destination;
    source->fail(BRERROR_IO);
    EXPECT_EQ(HBStream__sendTo(source.stream, destination.stream, -1), BRERROR_IO);
  }
  {
    Scripted source, destination;
    source->data("abcd").fail(BRERROR_CONNECTION_RESET);
    EXPECT_EQ(HBStream__sendTo(source.stream, destination.stream, -1), 4);
  }
  {
    Scripted source, destination;
    source->data("abcdef");
    destination->writeResults({2, BRERROR_NO_SPACE});
    EXPECT_EQ(HBStream__sendTo(source.stream, destination.stream, -1), 2);
  }
  {
    Scripted source, destination;
    source->data("abc");
    destination->writeResults({BRERROR_NO_CONNECTION});
    EXPECT_EQ(HBStream__sendTo(source.stream, destination.stream, -1), BRERROR_NO_CONNECTION);
  }
}

TEST(SendToTest, DestinationThatNeverAcceptsEndsCopy) {
  Scripted source, destination;
  source->data("abc");
  std::vector<brerror_t> zeros(1000, 0);
  for (brerror_t zero : zeros) destination->writeResults({zero});
  EXPECT_EQ(HBStream__sendTo(source.stream, destination.stream, -1), BRERROR_IO);
}

TEST(WritevHelperTest, SmallVectorsLeaveInOneWrite) {
  Scripted stream;
  std::string a = "GET / HTTP/1.1\r\n", b = "Host: x\r\n", c = "\r\n";
  struct iovec vector[] = {{a.data(), a.size()}, {nullptr, 0}, {b.data(), b.size()},
                           {c.data(), c.size()}};
  EXPECT_EQ(HBStream__writevHelper(stream.stream, vector, 4),
            static_cast<brerror_t>(a.size() + b.size() + c.size()));
  EXPECT_EQ(stream->writeSizes.size(), 1u);
  EXPECT_EQ(stream->written, a + b + c);
}

TEST(WritevHelperTest, LargeVectorsAreWrittenInTurnAndStopAtShortWrite) {
  std::string head(100, 'h'), body(5000, 'b'), tail(10, 't');
  struct iovec vector[] = {{head.data(), head.size()}, {body.data(), body.size()},
                           {tail.data(), tail.size()}};
  {
    Scripted stream;
    EXPECT_EQ(HBStream__writevHelper(stream.stream, vector, 3), 5110);
    EXPECT_EQ(stream->writeSizes, (std::vector<int32_t>{100, 5000, 10}));
  }
  {
    Scripted stream;
    stream->writeResults({100, 300});
    EXPECT_EQ(HBStream__writevHelper(stream.stream, vector, 3), 400);
  }
  {
    Scripted stream;
    stream->writeResults({BRERROR_NO_CONNECTION});
    EXPECT_EQ(HBStream__writevHelper(stream.stream, vector, 3), BRERROR_NO_CONNECTION);
  }
  {
    Scripted stream;
    stream->writeResults({100, BRERROR_NO_CONNECTION});
    EXPECT_EQ(HBStream__writevHelper(stream.stream, vector, 3), 100);
  }
}

namespace {

struct LineLog {
  std::vector<std::string> lines;
  int stopAfter = -1;
};

int collect(IHBStream *, const char *line, void *user) {
  LineLog *log = static_cast<LineLog *>(user);
  log->lines.push_back(line);
  return static_cast<int>(log->lines.size()) == log->stopAfter ? 42 : 0;
}

}  // namespace

TEST(ReadLinesTest, CarriageReturnAndNewlineEachEndALine) {
  Scripted stream;
  stream->data("a\r").data("\nb\nlast");
  LineLog log;
  EXPECT_EQ(HBStream__readLines(stream.stream, 16, collect, &log), 0);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"a", "", "b", "last"}));
}

TEST(ReadLinesTest, CallbackResultStopsReading) {
  Scripted stream;
  stream->data("one\ntwo\nthree\n");
  LineLog log;
  log.stopAfter = 2;
  EXPECT_EQ(HBStream__readLines(stream.stream, 16, collect, &log), 42);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"one", "two"}));
}

TEST(ReadLinesTest, ReadErrorAndOverlongLineEndReading) {
  {
    Scripted stream;
    stream->data("ok\npart").fail(BRERROR_CONNECTION_RESET);
    LineLog log;
    EXPECT_EQ(HBStream__readLines(stream.stream, 16, collect, &log), BRERROR_CONNECTION_RESET);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"ok"}));
  }
  for (size_t length : {4096u, 5000u}) {
    Scripted stream;
    stream->data(std::string(length, 'x') + "\n");
    LineLog log;
    EXPECT_EQ(HBStream__readLines(stream.stream, 16, collect, &log), BRERROR_NO_SPACE) << length;
    EXPECT_TRUE(log.lines.empty());
  }
}

TEST(ReadLinesTest, LineOf4095BytesIsStillALine) {
  for (const char *end : {"\n", "\r\n"}) {
    Scripted stream;
    const std::string longest(4095, 'x');
    stream->data(std::string("a\n") + longest).data(end).data("b\n");
    LineLog log;
    EXPECT_EQ(HBStream__readLines(stream.stream, 16, collect, &log), 0);
    std::vector<std::string> expected{"a", longest};
    if (end[0] == '\r') expected.push_back("");
    expected.push_back("b");
    EXPECT_EQ(log.lines, expected);
  }
}

namespace {
int64_t g_fakeNow = 0;
int64_t fakeClock() { return g_fakeNow; }
}  // namespace

TEST(ReadLinesTest, TimeOutsReportPartialLineAtMostOncePerSecond) {
  g_fakeNow = 10000;
  Scripted stream;
  // Each step advances the clock by 400 ms before it is answered.
  stream->beforeRead = [] { g_fakeNow += 400; };
  stream->data("ab")
      .fail(BRERROR_TIMED_OUT)   // 10800: 800 ms since start, too soon
      .fail(BRERROR_TIMED_OUT)   // 11200: progress "ab"
      .fail(BRERROR_TIMED_OUT)   // 11600: too soon after the last callback
      .data("c\n")               // 12000: line "abc"
      .fail(BRERROR_TIMED_OUT)   // 12400: too soon after the line
      .fail(BRERROR_TIMED_OUT)   // 12800
      .fail(BRERROR_TIMED_OUT);  // 13200: progress with an empty partial line
  LineLog log;
  EXPECT_EQ(HBStream__readLines(stream.stream, 16, collect, &log, fakeClock), 0);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"ab", "abc", ""}));
}

TEST(XmlAdaptersTest, ReadAndWriteThroughAnyStream) {
  HBRef<IHBMemStream> memory;
  ASSERT_EQ(HBMemStream__new(memory.out(), nullptr, 4, 0x70003), 0);
  hbstream_xmlio_f writer = HBStream__xmlWriter;
  hbstream_xmlio_f reader = HBStream__xmlReader;
  char text[] = "<a>b</a>";
  EXPECT_EQ(writer(memory.get(), text, 8), 8);
  char out[16] = {};
  EXPECT_EQ(reader(memory.get(), out, sizeof out), 8);
  EXPECT_STREQ(out, "<a>b</a>");
  EXPECT_EQ(reader(memory.get(), out, sizeof out), 0);

  Scripted partial;
  partial->writeLimit = 3;
  EXPECT_EQ(writer(partial.stream, text, 8), 8);
  EXPECT_EQ(partial->written, "<a>b</a>");
}
