#include "hblogsink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <semaphore>
#include <sstream>
#include <string>
#include <vector>

#include "brlog.h"
#include "brthread.h"
#include "hbstream.h"

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Collects what the sink writes; `on_write` runs before each write.
class CollectStream : public IHBStream {
 public:
  std::string bytes;
  int writes = 0;
  std::function<void()> on_write;

  int32_t upref() override { return 1; }
  int32_t dnref() override { return 1; }
  brerror_t getifc(hbtype_t, void **) override { return BRERROR_NO_ENTRY; }
  brerror_t read(void *, int32_t) override { return BRERROR_NOT_IMPLEMENTED; }
  brerror_t write(const void *data, int32_t size) override {
    if (on_write) on_write();
    writes++;
    bytes.append(static_cast<const char *>(data), static_cast<size_t>(size));
    return size;
  }
  int64_t seek(int64_t, int) override { return BRERROR_NOT_IMPLEMENTED; }
  brerror_t sync() override { return 0; }
  brerror_t close() override { return 0; }
  int64_t sendTo(IHBStream *, int64_t) override { return BRERROR_NOT_IMPLEMENTED; }
};

// Sends one file descriptor into a file while alive.
class FdCapture {
 public:
  FdCapture(int fd, const std::string &path) : fd_(fd), path_(path) {
    fflush(nullptr);
    saved_ = dup(fd);
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, fd);
    close(file);
  }
  std::string finish() {
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    return read_file(path_);
  }

 private:
  int fd_;
  int saved_;
  std::string path_;
};

// Runs `body` on a runtime thread named `name` and waits for it.
void on_thread(const char *name, std::function<void()> body) {
  brthread_t thread = nullptr;
  ASSERT_EQ(brthread__new(
                &thread,
                [](void *p) -> void * {
                  (*static_cast<std::function<void()> *>(p))();
                  return nullptr;
                },
                &body, name),
            0);
  brthread__join(thread);
}

std::atomic<int64_t> g_now{1000};
int64_t fake_clock() { return g_now.load(); }

const char kFileStamp[] = "\\[\\d{8}-\\d{6}\\.\\d{3}\\]";
const char kConsoleStamp[] = "\\[\\d{6}\\.\\d{3}\\]";
const char kBannerStamp[] = "\\[\\d{8}-\\d{6}\\]";

class HBLogSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/kx-logsink-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    dir_ = base;
    log_ = dir_ + "/test.log";
    saved_verbosity_ = brlog_getverbosity();
    g_now = 1000;
    hblogsink__setClock(fake_clock);
  }
  void TearDown() override {
    while (inits_ > 0) destroy();
    hblogsink__setClock(nullptr);
    brlog_setverbosity(saved_verbosity_);
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  void init(uint32_t flags, int32_t max_rotations = 1, const std::string &path = "") {
    ASSERT_EQ(hblogsink__initEx("test", (path.empty() ? log_ : path).c_str(), nullptr, flags,
                                nullptr, max_rotations),
              0);
    inits_++;
  }
  void destroy() {
    hblogsink__destroy();
    inits_--;
  }
  std::string dump() {
    CollectStream out;
    EXPECT_EQ(hblogsink__dumpMemoryLog(&out), 0);
    return out.bytes;
  }

  std::string dir_;
  std::string log_;
  int inits_ = 0;
  int saved_verbosity_ = 0;
};

TEST_F(HBLogSinkTest, LineFormsCutAndPadThreadAndTagAndShowSeverityInHex) {
  struct Case {
    const char *tag;
    int severity;
    const char *columns;
  };
  const Case cases[] = {
      {"LONGTAG8", 2, "\\[LOGTES\\]\\[LONGTA\\]\\[02\\]"},
      {"ABC", 18, "\\[LOGTES\\]\\[ABC   \\]\\[12\\]"},
      {"TRACE", 35, "\\[LOGTES\\]\\[TRACE \\]\\[23\\]"},
  };
  brlog_setverbosity(35);
  init(HBLOGSINK_MEMLOG | HBLOGSINK_STDOUT);
  FdCapture out(STDOUT_FILENO, dir_ + "/stdout");
  on_thread("LOGTESTTHREAD", [&] {
    for (const Case &c : cases) brlog(c.tag, c.severity, "message %d\n", c.severity);
  });
  // Only the test's own lines: the thread's start line is there too.
  auto messages = [](const std::string &text) {
    std::vector<std::string> kept;
    for (const std::string &line : lines_of(text)) {
      if (line.find("] message ") != std::string::npos) kept.push_back(line);
    }
    return kept;
  };
  std::vector<std::string> echoed = messages(out.finish());
  std::vector<std::string> ring = messages(dump());
  std::vector<std::string> file = messages(read_file(log_));
  ASSERT_EQ(file.size(), 3u);
  ASSERT_EQ(echoed.size(), 3u);
  ASSERT_EQ(ring.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    SCOPED_TRACE(cases[i].tag);
    std::string tail = std::string(cases[i].columns) + " message " +
                       std::to_string(cases[i].severity);
    EXPECT_TRUE(std::regex_match(file[i], std::regex(kFileStamp + tail))) << file[i];
    EXPECT_TRUE(std::regex_match(echoed[i], std::regex(kConsoleStamp + tail))) << echoed[i];
    EXPECT_EQ(ring[i], echoed[i]);
  }
}

TEST_F(HBLogSinkTest, ConsoleEchoGoesToStandardOutputOrElseStandardError) {
  struct Case {
    uint32_t flags;
    bool out;
    bool err;
  };
  const Case cases[] = {
      {HBLOGSINK_STDOUT, true, false},
      {HBLOGSINK_STDERR, false, true},
      {HBLOGSINK_STDOUT | HBLOGSINK_STDERR, true, false},
      {0, false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.flags);
    init(c.flags | HBLOGSINK_NOFILE);
    FdCapture out(STDOUT_FILENO, dir_ + "/stdout");
    FdCapture err(STDERR_FILENO, dir_ + "/stderr");
    brlog("ECHO", 8, "echoed\n");
    std::string err_text = err.finish();
    std::string out_text = out.finish();
    destroy();
    EXPECT_EQ(out_text.find("[ECHO  ][08] echoed\n") != std::string::npos, c.out) << out_text;
    EXPECT_EQ(err_text.find("[ECHO  ][08] echoed\n") != std::string::npos, c.err) << err_text;
  }
  EXPECT_FALSE(file_exists(log_));
}

TEST_F(HBLogSinkTest, LongMessageIsCutAndKeepsItsLineEnd) {
  init(0);
  std::string longtext(5000, 'x');
  brlog("CUT", 8, "%s\n", longtext.c_str());
  brlog("CUT", 8, "next\n");
  std::vector<std::string> file = lines_of(read_file(log_));
  ASSERT_EQ(file.size(), 2u);
  // 4,094 bytes of message: 4,093 characters and the line end.
  std::string prefix = file[0].substr(0, file[0].find("] ") + 2);
  EXPECT_EQ(file[0].substr(prefix.size()), std::string(4093, 'x'));
  EXPECT_NE(file[1].find("] next"), std::string::npos);
}

TEST_F(HBLogSinkTest, MessagesAboveTheThresholdAreNotWritten) {
  init(0);
  brlog_setverbosity(8);
  brlog("T", 16, "hidden\n");
  hblogsink__setLogSeverity(16);
  brlog("T", 16, "shown\n");
  std::string text = read_file(log_);
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  EXPECT_NE(text.find("shown"), std::string::npos);
}

TEST_F(HBLogSinkTest, ThreadSinkTakesWhatTheGlobalThresholdHides) {
  init(0);
  brlog_setverbosity(8);
  static std::vector<std::string> mine;
  mine.clear();
  brlog__setThreadSink(
      [](void *, const char *, int, const char *format, va_list args) {
        char line[256];
        vsnprintf(line, sizeof line, format, args);
        mine.push_back(line);
      },
      20, nullptr, nullptr);
  brlog("T", 16, "debug\n");
  brlog("T", 2, "warning\n");
  brlog__setThreadSink(nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(mine, (std::vector<std::string>{"debug\n", "warning\n"}));
  std::string text = read_file(log_);
  EXPECT_EQ(text.find("debug"), std::string::npos);
  EXPECT_NE(text.find("warning"), std::string::npos);
}

TEST_F(HBLogSinkTest, RotatesAfterTwelveHoursWithBothBannersAndReplacesTheUploadFile) {
  {
    std::ofstream stale(log_ + ".toupload");
    stale << "stale\n";
  }
  init(0);
  brlog("T", 8, "first\n");
  g_now = 1000 + 43200000;
  brlog("T", 8, "second\n");
  EXPECT_FALSE(read_file(log_ + ".toupload").find("second") != std::string::npos);
  g_now = 1000 + 43200001;
  brlog("T", 8, "third\n");

  std::regex rotating(kBannerStamp +
                      std::string("\\[[^\\]]{6}\\]\\[LOGROT\\]\\[08\\] -------- ROTATING LOG FILE --------"));
  std::regex rotated(kBannerStamp +
                     std::string("\\[[^\\]]{6}\\]\\[LOGROT\\]\\[08\\] -------- LOG FILE ROTATED --------"));
  std::vector<std::string> old = lines_of(read_file(log_ + ".toupload"));
  ASSERT_EQ(old.size(), 3u);
  EXPECT_NE(old[0].find("] first"), std::string::npos);
  EXPECT_NE(old[1].find("] second"), std::string::npos);
  EXPECT_TRUE(std::regex_match(old[2], rotating)) << old[2];
  std::vector<std::string> now = lines_of(read_file(log_));
  ASSERT_EQ(now.size(), 2u);
  EXPECT_TRUE(std::regex_match(now[0], rotated)) << now[0];
  EXPECT_NE(now[1].find("] third"), std::string::npos);
  // The two banners carry the same time and thread.
  EXPECT_EQ(old[2].substr(0, old[2].find("[LOGROT]")), now[0].substr(0, now[0].find("[LOGROT]")));

  g_now = 1000 + 2 * 43200001;
  brlog("T", 8, "fourth\n");
  std::string replaced = read_file(log_ + ".toupload");
  EXPECT_NE(replaced.find("third"), std::string::npos);
  EXPECT_EQ(replaced.find("first"), std::string::npos);
}

TEST_F(HBLogSinkTest, SeveralRotatedFilesAreNumberedAndReused) {
  init(0, 3);
  const int64_t step = 43200001;
  for (int i = 0; i < 5; i++) {
    g_now = 1000 + i * step;
    brlog("T", 8, "line %d\n", i);
  }
  EXPECT_FALSE(file_exists(log_ + ".toupload"));
  // line 0 went to .1, line 1 to .2, line 2 to .3, line 3 replaced .1.
  EXPECT_NE(read_file(log_ + ".toupload.1").find("line 3"), std::string::npos);
  EXPECT_EQ(read_file(log_ + ".toupload.1").find("line 0"), std::string::npos);
  EXPECT_NE(read_file(log_ + ".toupload.2").find("line 1"), std::string::npos);
  EXPECT_NE(read_file(log_ + ".toupload.3").find("line 2"), std::string::npos);
  EXPECT_NE(read_file(log_).find("line 4"), std::string::npos);
}

TEST_F(HBLogSinkTest, NoRotationWhenTurnedOff) {
  init(HBLOGSINK_NOROTATE);
  brlog("T", 8, "first\n");
  g_now = 1000 + 3 * 43200001LL;
  brlog("T", 8, "second\n");
  EXPECT_FALSE(file_exists(log_ + ".toupload"));
  EXPECT_EQ(lines_of(read_file(log_)).size(), 2u);
}

// The lock holder blocks inside its rotation check, the second look at the
// clock of a thread that holds the log lock.
namespace lockclock {
thread_local int t_role = 0;
thread_local int t_calls = 0;
std::binary_semaphore holder_inside{0}, release_holder{0}, waiter_waiting{0};
enum { kHolder = 1, kImpatient = 2, kPatient = 3 };

int64_t clock() {
  t_calls++;
  if (t_role == kHolder && t_calls == 2) {
    holder_inside.release();
    release_holder.acquire();
  }
  // The impatient writer's budget is spent by its second look.
  if (t_role == kImpatient) return g_now.load() + 300 * (t_calls - 1);
  if (t_role == kPatient && t_calls == 2) waiter_waiting.release();
  return g_now.load();
}
}  // namespace lockclock

TEST_F(HBLogSinkTest, WriterThatCannotGetTheLockWithinItsBudgetWritesToStandardError) {
  init(HBLOGSINK_MEMLOG);
  hblogsink__setClock(lockclock::clock);
  brthread_t holder = nullptr;
  ASSERT_EQ(brthread__new(
                &holder,
                [](void *) -> void * {
                  lockclock::t_role = lockclock::kHolder;
                  brlog("T", 8, "from the holder\n");
                  return nullptr;
                },
                nullptr, "HOLDER"),
            0);
  lockclock::holder_inside.acquire();

  FdCapture err(STDERR_FILENO, dir_ + "/stderr");
  on_thread("IMPATIENT", [] {
    lockclock::t_role = lockclock::kImpatient;
    brlog("T", 8, "gave up %d\n", 1);
  });
  std::string fallback = err.finish();

  brthread_t patient = nullptr;
  ASSERT_EQ(brthread__new(
                &patient,
                [](void *) -> void * {
                  lockclock::t_role = lockclock::kPatient;
                  brlog("T", 8, "waited\n");
                  return nullptr;
                },
                nullptr, "PATIENT"),
            0);
  lockclock::waiter_waiting.acquire();
  lockclock::release_holder.release();
  brthread__join(holder);
  brthread__join(patient);

  EXPECT_TRUE(std::regex_match(fallback, std::regex(kConsoleStamp + std::string("\\[IMPATI\\]\\[T     \\]\\[08\\] gave up 1\n"))))
      << fallback;
  std::string file = read_file(log_);
  EXPECT_EQ(file.find("gave up"), std::string::npos);
  EXPECT_LT(file.find("from the holder"), file.find("waited"));
  EXPECT_NE(file.find("waited"), std::string::npos);
}

// Checks that the dumped lines are numbered ring lines, consecutive and
// ending with the last one logged; returns the first number.
int expect_consecutive(const std::vector<std::string> &lines, int logged) {
  std::regex form(kConsoleStamp + std::string("\\[[^\\]]{6}\\]\\[RING  \\]\\[08\\] (\\d{6}) \\.{80}"));
  int first = -1;
  int expected = -1;
  for (const std::string &line : lines) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, form)) << line;
    if (m.empty()) return -1;
    int number = std::stoi(m[1]);
    if (first < 0) first = number;
    if (expected >= 0) {
      EXPECT_EQ(number, expected);
    }
    expected = number + 1;
  }
  EXPECT_EQ(expected, logged);
  return first;
}

TEST_F(HBLogSinkTest, RingWrapsAndDumpsOldestFirst) {
  init(HBLOGSINK_MEMLOG | HBLOGSINK_NOFILE);
  std::string pad(80, '.');
  int logged = 0;
  // Up to the first wrap: the line that did not fit went to the start.
  while (hblogsink__getMemoryLogWraps() == 0) brlog("RING", 8, "%06d %s\n", logged++, pad.c_str());
  std::vector<std::string> lines = lines_of(dump());
  ASSERT_FALSE(lines.empty());
  EXPECT_GT(expect_consecutive(lines, logged), 0);

  while (hblogsink__getMemoryLogWraps() < 3) brlog("RING", 8, "%06d %s\n", logged++, pad.c_str());
  lines = lines_of(dump());
  expect_consecutive(lines, logged);
  // Nearly a full ring is kept.
  EXPECT_GT(lines.size() * (lines.front().size() + 1), 60000u);
}

TEST_F(HBLogSinkTest, DumpStopsWithMarkerWhenTheWriterOvertakesIt) {
  init(HBLOGSINK_MEMLOG | HBLOGSINK_NOFILE);
  std::string pad(80, '.');
  int logged = 0;
  while (hblogsink__getMemoryLogWraps() == 0) brlog("RING", 8, "%06d %s\n", logged++, pad.c_str());
  CollectStream out;
  out.on_write = [&] {
    // Between two chunks, a whole ring of new lines.
    if (out.writes == 0) {
      for (int i = 0; i < 1000; i++) brlog("RING", 8, "%06d %s\n", logged++, pad.c_str());
    }
  };
  ASSERT_EQ(hblogsink__dumpMemoryLog(&out), 0);
  EXPECT_EQ(out.writes, 2);
  const std::string marker = "(((MEMLOG WPTR CAUGHT UP)))\n";
  ASSERT_GT(out.bytes.size(), marker.size());
  EXPECT_EQ(out.bytes.substr(out.bytes.size() - marker.size()), marker);
  EXPECT_LE(out.bytes.size() - marker.size(), 16384u);
}

TEST_F(HBLogSinkTest, FourThreadsLoggingAtOnceNeverInterleaveALine) {
  init(HBLOGSINK_MEMLOG);
  constexpr int kLines = 2000;
  std::vector<brthread_t> threads(4);
  static std::atomic<int> ready;
  ready = 0;
  for (int t = 0; t < 4; t++) {
    char name[8];
    snprintf(name, sizeof name, "W%d", t);
    ASSERT_EQ(brthread__new(
                  &threads[t],
                  [](void *p) -> void * {
                    int t = static_cast<int>(reinterpret_cast<intptr_t>(p));
                    std::string body(40 + 10 * t, static_cast<char>('a' + t));
                    ready++;
                    while (ready < 4) {
                    }
                    for (int i = 0; i < kLines; i++) brlog("MT", 8, "%d %d %s\n", t, i, body.c_str());
                    return nullptr;
                  },
                  reinterpret_cast<void *>(static_cast<intptr_t>(t)), name),
              0);
  }
  for (brthread_t t : threads) brthread__join(t);

  std::regex form(kFileStamp + std::string("\\[W(\\d)    \\]\\[MT    \\]\\[08\\] (\\d) (\\d+) ([a-d]+)"));
  int next[4] = {0, 0, 0, 0};
  for (const std::string &line : lines_of(read_file(log_))) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, form)) << line;
    int t = std::stoi(m[1]);
    ASSERT_EQ(std::stoi(m[2]), t);
    ASSERT_EQ(std::stoi(m[3]), next[t]++);
    ASSERT_EQ(m[4].str(), std::string(40 + 10 * t, static_cast<char>('a' + t)));
  }
  for (int t = 0; t < 4; t++) EXPECT_EQ(next[t], kLines);
  std::regex ring_form(kConsoleStamp + std::string("\\[W(\\d)    \\]\\[MT    \\]\\[08\\] (\\d) (\\d+) ([a-d]+)"));
  for (const std::string &line : lines_of(dump())) {
    ASSERT_TRUE(std::regex_match(line, ring_form)) << line;
  }
}

TEST_F(HBLogSinkTest, InitAndDestroyAreCounted) {
  init(0);
  std::string other = dir_ + "/other.log";
  init(0, 1, other);
  brlog("T", 8, "one\n");
  EXPECT_FALSE(file_exists(other));
  destroy();
  brlog("T", 8, "two\n");
  destroy();
  brlog("T", 8, "three\n");
  std::string text = read_file(log_);
  EXPECT_NE(text.find("one"), std::string::npos);
  EXPECT_NE(text.find("two"), std::string::npos);
  EXPECT_EQ(text.find("three"), std::string::npos);
}

TEST_F(HBLogSinkTest, LargeOldLogIsAnnounced) {
  {
    std::ofstream big(log_);
    big << std::string(1048577, 'o') << "\n";
  }
  init(0);
  std::string text = read_file(log_);
  std::string last = text.substr(text.rfind('\n', text.size() - 2) + 1);
  EXPECT_TRUE(std::regex_match(last, std::regex(kFileStamp + std::string("\\[[^\\]]{6}\\]\\[HBSRVC\\]\\[08\\] Uploading Old Log in hblogsink__init\\.\\.\\.\n"))))
      << last;
}

TEST_F(HBLogSinkTest, BareNameGoesIntoTheLogsFolder) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: the Logs folder is /var/log";
  const char *old = getenv("XDG_STATE_HOME");
  std::string saved = old ? old : "";
  setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
  init(0, 1, "bare.log");
  brlog("T", 8, "in the logs folder\n");
  if (old) {
    setenv("XDG_STATE_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_STATE_HOME");
  }
  std::string expected = dir_ + "/state/ZV ZX 4417 Hard Drive Utility/bare.log";
  EXPECT_NE(read_file(expected).find("in the logs folder"), std::string::npos);
}

TEST_F(HBLogSinkTest, ChildProcessLogsWithoutRepeatingTheParentsBufferedLines) {
  init(HBLOGSINK_NOFLUSH);
  brlog("T", 8, "parent line still buffered\n");
  std::string child_out = dir_ + "/child-stdout";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = open(child_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    __hblogsink__log__inchildpid("XCODE", 8, "child %d\n", 7);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  destroy();

  EXPECT_TRUE(std::regex_match(read_file(child_out), std::regex(kConsoleStamp + std::string("\\[FORKPI\\]\\[XCODE \\]\\[08\\] child 7\n"))))
      << read_file(child_out);
  std::vector<std::string> file = lines_of(read_file(log_));
  ASSERT_EQ(file.size(), 2u);
  EXPECT_TRUE(std::regex_match(file[0], std::regex(kFileStamp + std::string("\\[FORKPI\\]\\[XCODE \\]\\[08\\] child 7"))))
      << file[0];
  EXPECT_NE(file[1].find("parent line still buffered"), std::string::npos);
}

// Seconds since local midnight of a "[HHMMSS.mmm]" stamp, or -1.
int stamp_seconds(const std::string &line) {
  std::smatch m;
  if (!std::regex_search(line, m, std::regex("^\\[(\\d\\d)(\\d\\d)(\\d\\d)\\."))) return -1;
  return std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]);
}

int local_seconds_now() {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  return tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

// A child forked before the parent wrote any line still shows local time.
TEST_F(HBLogSinkTest, ChildProcessLineIsInLocalTimeRightAfterInit) {
  const char *old = getenv("TZ");
  std::string saved = old ? old : "";
  // Half an hour off any whole-hour zone the machine may be in.
  setenv("TZ", "KXT-5:30", 1);
  tzset();
  init(HBLOGSINK_NOFILE);
  std::string child_out = dir_ + "/child-stdout";
  int before = local_seconds_now();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = open(child_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    __hblogsink__log__inchildpid("XCODE", 8, "child\n");
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  int after = local_seconds_now();
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  if (after < before) GTEST_SKIP() << "local midnight passed during the test";
  int shown = stamp_seconds(read_file(child_out));
  EXPECT_GE(shown, before) << read_file(child_out);
  EXPECT_LE(shown, after) << read_file(child_out);
}

TEST_F(HBLogSinkTest, DumpWithoutRingIsABadState) {
  init(HBLOGSINK_NOFILE);
  CollectStream out;
  EXPECT_EQ(hblogsink__dumpMemoryLog(&out), BRERROR_BAD_STATE);
  EXPECT_TRUE(out.bytes.empty());
}

}  // namespace
