#include "hbfork2_posix.h"

#include "brlog.h"
#include "hbmemstream.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>

#include <string>
#include <vector>

namespace {

HBRef<IHBFork2> makeFork(uint32_t flags) {
  HBRef<IHBFork2> fork;
  EXPECT_EQ(HBFork2__new(flags, fork.out()), 0);
  return fork;
}

HBRef<IHBStream> stream(IHBFork2 *fork, int id) {
  HBRef<IHBStream> s;
  EXPECT_EQ(fork->getStream(id, s.out()), 0);
  return s;
}

// Reads until the end of data; a read error fails the test.
std::string readAll(IHBStream *s) {
  std::string all;
  char buffer[4096];
  for (;;) {
    brerror_t n = s->read(buffer, sizeof buffer);
    EXPECT_GE(n, 0);
    if (n <= 0) return all;
    all.append(buffer, static_cast<size_t>(n));
  }
}

brerror_t runShell(IHBFork2 *fork, const char *script) {
  char *argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"), const_cast<char *>(script), nullptr};
  return fork->run(argv, nullptr);
}

brerror_t runArgs(IHBFork2 *fork, std::vector<const char *> args, char *const *envp = nullptr) {
  args.push_back(nullptr);
  return fork->run(const_cast<char *const *>(args.data()), envp);
}

TEST(HBFork2, ReadsChildOutputToItsEndAndReportsExitCode) {
  auto fork = makeFork(HBFORK2_PIPE_STDOUT);
  // Larger than a pipe's buffer, so the child blocks until the parent reads.
  ASSERT_EQ(runShell(fork.get(), "printf '{\"a\": 1}'; head -c 200000 /dev/zero | tr '\\0' x; exit 3"), 0);
  auto out = stream(fork.get(), HBFORK2_STREAM_STDOUT);
  std::string text = readAll(out.get());
  EXPECT_EQ(text.substr(0, 8), "{\"a\": 1}");
  EXPECT_EQ(text.size(), 8u + 200000u);
  int32_t status = -1;
  EXPECT_EQ(fork->waitExit(10000, &status), 0);
  EXPECT_EQ(status, 3);
  // The stream outlives the child: it stays at its end.
  char byte;
  EXPECT_EQ(out->read(&byte, 1), 0);
}

TEST(HBFork2, WritesStdinAndReadsItBack) {
  auto fork = makeFork(HBFORK2_PIPE_STDIN | HBFORK2_PIPE_STDOUT);
  ASSERT_EQ(runArgs(fork.get(), {"/bin/cat"}), 0);
  auto in = stream(fork.get(), HBFORK2_STREAM_STDIN);
  auto out = stream(fork.get(), HBFORK2_STREAM_STDOUT);
  const char data[] = "hello through the pipe";
  ASSERT_EQ(in->write(data, sizeof data - 1), static_cast<brerror_t>(sizeof data - 1));
  ASSERT_EQ(in->close(), 0);
  EXPECT_EQ(readAll(out.get()), data);
  int32_t status = -1;
  EXPECT_EQ(fork->waitExit(10000, &status), 0);
  EXPECT_EQ(status, 0);
}

TEST(HBFork2, SendToCopiesChildOutputIntoAnotherStream) {
  auto fork = makeFork(HBFORK2_PIPE_STDOUT);
  ASSERT_EQ(runShell(fork.get(), "head -c 100000 /dev/zero | tr '\\0' y; printf end"), 0);
  auto out = stream(fork.get(), HBFORK2_STREAM_STDOUT);
  HBRef<IHBMemStream> copy;
  ASSERT_EQ(HBMemStream__new(copy.out(), nullptr, 4096, HBSTREAM_READ | HBSTREAM_WRITE | HBMEMSTREAM_ALLOC |
                                                             HBMEMSTREAM_GROW),
            0);
  // A limited count stops inside the output; the rest follows with -1.
  EXPECT_EQ(out->sendTo(copy.get(), 10), 10);
  EXPECT_EQ(out->sendTo(copy.get(), -1), 100000 - 10 + 3);
  void *bytes = nullptr;
  uint32_t length = 0;
  copy->getBuffer(&bytes, &length);
  std::string text(static_cast<const char *>(bytes), length);
  EXPECT_EQ(text, std::string(100000, 'y') + "end");
  int32_t status = -1;
  EXPECT_EQ(fork->waitExit(10000, &status), 0);
  EXPECT_EQ(status, 0);
}

TEST(HBFork2, StderrGoesToItsOwnPipeOrJoinsStdout) {
  {
    auto fork = makeFork(HBFORK2_PIPE_STDOUT | HBFORK2_PIPE_STDERR);
    ASSERT_EQ(runShell(fork.get(), "echo out; echo err >&2"), 0);
    EXPECT_EQ(readAll(stream(fork.get(), HBFORK2_STREAM_STDOUT).get()), "out\n");
    EXPECT_EQ(readAll(stream(fork.get(), HBFORK2_STREAM_STDERR).get()), "err\n");
    EXPECT_EQ(fork->waitExit(10000, nullptr), 0);
  }
  {
    auto fork = makeFork(HBFORK2_PIPE_STDOUT | HBFORK2_STDERR_TO_STDOUT);
    ASSERT_EQ(runShell(fork.get(), "echo out; echo err >&2"), 0);
    EXPECT_EQ(readAll(stream(fork.get(), HBFORK2_STREAM_STDOUT).get()), "out\nerr\n");
    EXPECT_EQ(fork->waitExit(10000, nullptr), 0);
  }
}

TEST(HBFork2, ChildGetsExactlyTheGivenEnvironment) {
  {
    auto fork = makeFork(HBFORK2_PIPE_STDOUT);
    ASSERT_EQ(runArgs(fork.get(), {"/usr/bin/env"}), 0);
    EXPECT_EQ(readAll(stream(fork.get(), HBFORK2_STREAM_STDOUT).get()), "");
    EXPECT_EQ(fork->waitExit(10000, nullptr), 0);
  }
  {
    auto fork = makeFork(HBFORK2_PIPE_STDOUT);
    char *envp[] = {const_cast<char *>("KX_ONE=1"), nullptr};
    ASSERT_EQ(runArgs(fork.get(), {"/usr/bin/env"}, envp), 0);
    EXPECT_EQ(readAll(stream(fork.get(), HBFORK2_STREAM_STDOUT).get()), "KX_ONE=1\n");
    EXPECT_EQ(fork->waitExit(10000, nullptr), 0);
  }
}

TEST(HBFork2, ChildInheritsNoDescriptorAboveStderr) {
  // One inherited descriptor in the classic range and one above 1023, both
  // without close-on-exec.
  int low = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(low, 3);
  int high = ::fcntl(low, F_DUPFD, 1500);
  ASSERT_GE(high, 1500);
  auto fork = makeFork(HBFORK2_PIPE_STDOUT);
  std::string script;
  for (int fd : {0, 1, 2, low, high}) {
    script += "[ -e /proc/$$/fd/" + std::to_string(fd) + " ] && echo " + std::to_string(fd) + ";";
  }
  ASSERT_EQ(runShell(fork.get(), script.c_str()), 0);
  std::string fds = readAll(stream(fork.get(), HBFORK2_STREAM_STDOUT).get());
  EXPECT_EQ(fork->waitExit(10000, nullptr), 0);
  ::close(low);
  ::close(high);
  EXPECT_EQ(fds, "0\n1\n2\n");
}

TEST(HBFork2, WaitExitZeroOnRunningChildTimesOutAndKeepsIt) {
  auto fork = makeFork(HBFORK2_PIPE_STDIN);
  ASSERT_EQ(runArgs(fork.get(), {"/bin/cat"}), 0);
  int32_t status = 77;
  EXPECT_EQ(fork->waitExit(0, &status), BRERROR_TIMED_OUT);
  EXPECT_EQ(fork->waitExit(120, &status), BRERROR_TIMED_OUT);
  EXPECT_EQ(status, 77);
  // cat ends when its input does; the child was kept and is found now.
  stream(fork.get(), HBFORK2_STREAM_STDIN)->close();
  EXPECT_EQ(fork->waitExit(10000, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(fork->waitExit(10000, &status), BRERROR_ALREADY_HANDLED);
}

TEST(HBFork2, MissingProgramExitsWith127) {
  auto fork = makeFork(0);
  ASSERT_EQ(runArgs(fork.get(), {"/nonexistent/kx-no-such-program"}), 0);
  int32_t status = 0;
  EXPECT_EQ(fork->waitExit(10000, &status), 0);
  EXPECT_EQ(status, 127);
}

TEST(HBFork2, SignalledChildReportsNegatedSignal) {
  {
    auto fork = makeFork(0);
    ASSERT_EQ(runShell(fork.get(), "kill -9 $$"), 0);
    int32_t status = 0;
    EXPECT_EQ(fork->waitExit(10000, &status), 0);
    EXPECT_EQ(status, -SIGKILL);
  }
  {
    // kill() always sends SIGTERM, whatever it is asked for.
    auto fork = makeFork(HBFORK2_PIPE_STDIN);
    ASSERT_EQ(runArgs(fork.get(), {"/bin/cat"}), 0);
    EXPECT_EQ(fork->kill(SIGKILL), 0);
    int32_t status = 0;
    EXPECT_EQ(fork->waitExit(-1, &status), 0);
    EXPECT_EQ(status, -SIGTERM);
    EXPECT_EQ(fork->kill(SIGTERM), BRERROR_NO_ENTRY);
  }
}

TEST(HBFork2, PipeReadTimesOutWhenChildWritesNothing) {
  auto fork = makeFork(HBFORK2_PIPE_STDIN | HBFORK2_PIPE_STDOUT);
  ASSERT_EQ(fork->setTimeout(100), 0);
  ASSERT_EQ(runArgs(fork.get(), {"/bin/cat"}), 0);
  auto out = stream(fork.get(), HBFORK2_STREAM_STDOUT);
  char buffer[16];
  EXPECT_EQ(out->read(buffer, sizeof buffer), BRERROR_TIMED_OUT);
  stream(fork.get(), HBFORK2_STREAM_STDIN)->close();
  EXPECT_EQ(fork->waitExit(10000, nullptr), 0);
}

TEST(HBFork2, MisusedStreamsAndStateAreRefused) {
  auto fork = makeFork(HBFORK2_PIPE_STDIN | HBFORK2_PIPE_STDOUT);
  int32_t status = 0;
  EXPECT_EQ(fork->waitExit(100, &status), BRERROR_ALREADY_HANDLED);
  ASSERT_EQ(runArgs(fork.get(), {"/bin/cat"}), 0);
  HBRef<IHBStream> none;
  EXPECT_EQ(fork->getStream(HBFORK2_STREAM_STDERR, none.out()), BRERROR_NO_ENTRY);
  EXPECT_EQ(fork->getStream(0, none.out()), BRERROR_NO_ENTRY);
  auto in = stream(fork.get(), HBFORK2_STREAM_STDIN);
  auto out = stream(fork.get(), HBFORK2_STREAM_STDOUT);
  char byte = 'x';
  EXPECT_EQ(in->read(&byte, 1), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(out->write(&byte, 1), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(out->seek(0, HBSEEK_SET), BRERROR_UNSUPPORTED);
  EXPECT_EQ(out->sync(), BRERROR_UNSUPPORTED);
  void *ifc = nullptr;
  EXPECT_EQ(out->getifc(HBTYPE_IID_IHBSTREAM, &ifc), BRERROR_NO_ENTRY);
  EXPECT_EQ(in->close(), 0);
  EXPECT_EQ(in->close(), 0);
  EXPECT_EQ(in->write(&byte, 1), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(fork->waitExit(10000, nullptr), 0);
}

TEST(HBFork2, ReleasingWithRunningChildSignalsItAndReapsIt) {
  auto fork = makeFork(HBFORK2_PIPE_STDOUT);
  ASSERT_EQ(runShell(fork.get(), "echo $$; exec sleep 60"), 0);
  HBRef<IHBStream> out = stream(fork.get(), HBFORK2_STREAM_STDOUT);
  char line[32] = {0};
  ASSERT_GT(out->read(line, sizeof line - 1), 0);
  pid_t pid = static_cast<pid_t>(atoi(line));
  ASSERT_GT(pid, 0);
  fork.reset();  // waits 5 s, then SIGTERM ends the sleep
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  // The caller's stream reference survives its owner, closed.
  EXPECT_EQ(out->read(line, 1), BRERROR_INVALID_ARGUMENT);
}

void toStderr(void *, const char *tag, int, const char *format, va_list args) {
  fprintf(stderr, "%s ", tag);
  vfprintf(stderr, format, args);
}

TEST(HBFork2DeathTest, StderrPipeAndStderrToStdoutAbort) {
  IHBFork2 *fork = nullptr;
  EXPECT_DEATH(
      {
        brlog__addSink(toStderr, nullptr);
        HBFork2__new(HBFORK2_PIPE_STDERR | HBFORK2_STDERR_TO_STDOUT, &fork);
      },
      "ASSERT !\\(\\(flags & 0x0100\\) && \\(flags & 0x0004\\)\\)");
}

}  // namespace
