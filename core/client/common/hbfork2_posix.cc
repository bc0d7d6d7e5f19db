#include "hbfork2_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "brlog.h"
#include "brthread.h"

namespace {

const char kTag[] = "FORK2";

class HBFork2Posix;

// Waits until `fd` is ready for `events`, at most `timeoutMs` (negative: no
// limit), restarting after signals with the time that is left. Returns 1
// when ready, 0 on time-out, or -errno.
int waitReady(int fd, short events, int32_t timeoutMs) {
  int64_t deadline = timeoutMs < 0 ? -1 : brthread__getticks() + timeoutMs;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      int64_t left = deadline - brthread__getticks();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    struct pollfd p = {fd, events, 0};
    int n = ::poll(&p, 1, wait);
    if (n >= 0) return n > 0 ? 1 : 0;
    if (errno != EINTR) return -errno;
  }
}

class HBFork2PosixStream final : public IHBStream {
 public:
  HBFork2PosixStream(int kind, int fd, HBFork2Posix *owner) : kind_(kind), fd_(fd), owner_(owner) {}

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override {
    int32_t n = refs_.release();
    if (n == 0) delete this;
    return n;
  }
  brerror_t getifc(hbtype_t id, void **out) override {
    if (id != HBTYPE_IID_IHBOBJ) return BRERROR_NO_ENTRY;
    upref();
    *out = static_cast<IHBObj *>(this);
    return BRERROR_NONE;
  }

  brerror_t read(void *buffer, int32_t size) override;
  brerror_t write(const void *data, int32_t size) override;
  int64_t seek(int64_t, int) override { return BRERROR_UNSUPPORTED; }
  brerror_t sync() override { return BRERROR_UNSUPPORTED; }
  brerror_t close() override {
    if (fd_ >= 0) {
      brlog(kTag, 16, "  +++ {%p}{%d} Closing pipe file descriptor\n", static_cast<void *>(this), fd_);
      ::close(fd_);
      fd_ = -1;
    }
    return BRERROR_NONE;
  }
  int64_t sendTo(IHBStream *destination, int64_t count) override;

  // The owner is going away: the stream keeps working on its own and no
  // longer asks the owner for the time-out.
  void detach() { owner_ = nullptr; }

 private:
  ~HBFork2PosixStream() override { close(); }
  int32_t timeoutMs() const;
  template <typename Io>
  brerror_t transfer(bool writing, int32_t size, Io io);

  HBRefCount refs_;
  int kind_;
  int fd_;
  HBFork2Posix *owner_;
};

class HBFork2Posix final : public IHBFork2 {
 public:
  explicit HBFork2Posix(uint32_t flags) : flags_(flags) {}

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override {
    int32_t n = refs_.release();
    if (n == 0) delete this;
    return n;
  }
  brerror_t getifc(hbtype_t id, void **out) override {
    if (id != HBTYPE_IID_IHBOBJ) return BRERROR_NO_ENTRY;
    upref();
    *out = static_cast<IHBObj *>(this);
    return BRERROR_NONE;
  }

  brerror_t run(char *const argv[], char *const envp[]) override;
  brerror_t kill(int signal) override;
  brerror_t setTimeout(int32_t ms) override {
    timeoutMs_ = ms;
    return BRERROR_NONE;
  }
  brerror_t getStream(int id, IHBStream **out) override;
  brerror_t waitExit(int32_t timeoutMs, int32_t *status) override;
  brerror_t setOOMAdj(int32_t value) override {
    oomAdj_ = value;
    return BRERROR_NONE;
  }

  int32_t timeoutMs() const { return timeoutMs_; }

 private:
  ~HBFork2Posix() override;

  HBRefCount refs_;
  uint32_t flags_;
  pid_t pid_ = -1;
  int32_t timeoutMs_ = 1000;
  HBFork2PosixStream *streams_[3] = {nullptr, nullptr, nullptr};
  int32_t oomAdj_ = 0;
};

int32_t HBFork2PosixStream::timeoutMs() const { return owner_ ? owner_->timeoutMs() : -1; }

// Reading and writing differ only in the pipe end allowed to do it, what to
// poll for, the system call and the words in the log; `io(len)` makes the
// call on fd_.
template <typename Io>
brerror_t HBFork2PosixStream::transfer(bool writing, int32_t size, Io io) {
  if (writing != (kind_ == HBFORK2_STREAM_STDIN)) {
    brlog(kTag, 16,
          writing ? "  +++ {%p}{%d} Tried to write to a reader\n" : "  +++ {%p}{%d} Tried to read from a writer\n",
          static_cast<void *>(this), fd_);
    return BRERROR_INVALID_ARGUMENT;
  }
  if (fd_ < 0) {
    brlog(kTag, 16,
          writing ? "  +++ {%p}{%d} Tried to write to an invalid handle\n"
                  : "  +++ {%p}{%d} Tried to read from an invalid handle\n",
          static_cast<void *>(this), fd_);
    return BRERROR_INVALID_ARGUMENT;
  }
  brlog(kTag, 18, writing ? "  +++ {%p}{%d} Writing %d bytes\n" : "  +++ {%p}{%d} Reading %d bytes\n",
        static_cast<void *>(this), fd_, size);
  int32_t timeout = timeoutMs();
  int ready = waitReady(fd_, writing ? POLLOUT : POLLIN, timeout);
  if (ready < 0) {
    brlog(kTag, 19, "  +++ {%p}{%d} Select failed: %d\n", static_cast<void *>(this), fd_, -ready);
    return brposix__maperrno(-ready);
  }
  if (ready == 0) {
    brlog(kTag, 18,
          writing ? "  +++ {%p}{%d} Can't write to STDIN after %d ms!\n"
                  : "  +++ {%p}{%d} Can't read from STDIN after %d ms!\n",
          static_cast<void *>(this), fd_, timeout);
    return BRERROR_TIMED_OUT;
  }
  ssize_t n;
  do {
    n = io(size < 0 ? 0 : static_cast<size_t>(size));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    int err = errno;
    brlog(kTag, 19, writing ? "  +++ {%p}{%d} Write error: %d\n" : "  +++ {%p}{%d} Read error: %d\n",
          static_cast<void *>(this), fd_, err);
    return brposix__maperrno(err);
  }
  brlog(kTag, 19, writing ? "  +++ {%p}{%d} Wrote %d bytes\n" : "  +++ {%p}{%d} Read %d bytes\n",
        static_cast<void *>(this), fd_, static_cast<int>(n));
  return static_cast<brerror_t>(n);
}

brerror_t HBFork2PosixStream::read(void *buffer, int32_t size) {
  return transfer(false, size, [&](size_t len) { return ::read(fd_, buffer, len); });
}

brerror_t HBFork2PosixStream::write(const void *data, int32_t size) {
  return transfer(true, size, [&](size_t len) { return ::write(fd_, data, len); });
}

int64_t HBFork2PosixStream::sendTo(IHBStream *destination, int64_t count) {
  return HBStream__sendTo(this, destination, count);
}

void closeAll(int fds[3][2]) {
  for (int i = 0; i < 3; i++) {
    for (int j = 0; j < 2; j++) {
      if (fds[i][j] >= 0) ::close(fds[i][j]);
      fds[i][j] = -1;
    }
  }
}

// Creates the child and replaces it with the program. The child shares the
// parent's memory until execve, so it runs only system calls on the values
// passed in: nothing that allocates, locks or logs.
__attribute__((noinline)) pid_t spawnChild(const int fds[3][2], bool errToOut, char *const argv[],
                                           char *const env[]) {
  pid_t pid = ::vfork();
  if (pid != 0) return pid;
  if (fds[0][0] >= 0) ::dup2(fds[0][0], 0);
  if (fds[1][1] >= 0) ::dup2(fds[1][1], 1);
  if (fds[2][1] >= 0) {
    ::dup2(fds[2][1], 2);
  } else if (errToOut) {
    ::dup2(1, 2);
  }
  if (::close_range(3, ~0U, 0) != 0) {
    for (int fd = 3; fd < 1024; fd++) ::close(fd);
  }
  ::execve(argv[0], argv, env);
  ::_exit(127);
}

brerror_t HBFork2Posix::run(char *const argv[], char *const envp[]) {
  BRASSERT(argv != nullptr && argv[0] != nullptr);
  // Index 0 stdin, 1 stdout, 2 stderr; [0] is the read end, [1] the write
  // end. Close-on-exec keeps the parent's ends out of the program; the
  // child's own ends lose the flag when they are duplicated onto 0..2.
  int fds[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  const uint32_t wanted[3] = {HBFORK2_PIPE_STDIN, HBFORK2_PIPE_STDOUT, HBFORK2_PIPE_STDERR};
  for (int i = 0; i < 3; i++) {
    if (!(flags_ & wanted[i])) continue;
    if (::pipe2(fds[i], O_CLOEXEC) != 0) {
      int err = errno;
      brlog(kTag, 1, "pipe() failed: %d\n", err);
      closeAll(fds);
      return brposix__maperrno(err);
    }
  }

  if (brlog_getverbosity() > 15) {
    char line[1024];
    size_t used = 0;
    line[0] = '\0';
    for (int i = 0; argv[i] != nullptr && used < sizeof line - 1; i++) {
      int n = snprintf(line + used, sizeof line - used, i ? " %s" : "%s", argv[i]);
      if (n < 0) break;
      used += static_cast<size_t>(n);
    }
    brlog(kTag, 16, "  +++ Forking '%s'...\n", line);
  }

  static char *const emptyEnv[] = {nullptr};
  char *const *env = envp ? envp : emptyEnv;
  const bool errToOut = (flags_ & HBFORK2_STDERR_TO_STDOUT) != 0;

  pid_t pid = spawnChild(fds, errToOut, argv, env);
  if (pid < 0) {
    int err = errno;
    brlog(kTag, 1, "  +++ vfork() failed %d\n", err);
    closeAll(fds);
    return brposix__maperrno(err);
  }

  brlog(kTag, 16, "  +++ [%d] Forked child process\n", static_cast<int>(pid));
  // Child ends: stdin's read end, stdout's and stderr's write ends.
  if (fds[0][0] >= 0) ::close(fds[0][0]);
  if (fds[1][1] >= 0) ::close(fds[1][1]);
  if (fds[2][1] >= 0) ::close(fds[2][1]);
  const int parentEnd[3] = {fds[0][1], fds[1][0], fds[2][0]};
  static const char *const kinds[3] = {
      "  +++ [%llu]{%p}{%d} Writing to child process stdin\n",
      "  +++ [%llu]{%p}{%d} Reading from child process stdout\n",
      "  +++ [%llu]{%p}{%d} Reading from child process stderr\n",
  };
  for (int i = 0; i < 3; i++) {
    if (parentEnd[i] < 0) continue;
    if (streams_[i]) {
      // A second run replaces the streams of the first.
      streams_[i]->close();
      streams_[i]->detach();
      streams_[i]->dnref();
    }
    streams_[i] = new HBFork2PosixStream(i + 1, parentEnd[i], this);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    brlog(kTag, 16, kinds[i], static_cast<unsigned long long>(pid), static_cast<void *>(streams_[i]),
          parentEnd[i]);
#pragma GCC diagnostic pop
  }
  pid_ = pid;
  return BRERROR_NONE;
}

brerror_t HBFork2Posix::kill(int) {
  if (pid_ < 0) return BRERROR_NO_ENTRY;
  brlog(kTag, 1, "  +++ [%d] SIGTERMing...\n", static_cast<int>(pid_));
  if (::kill(pid_, SIGTERM) != 0 && errno == ESRCH) return BRERROR_NO_ENTRY;
  return BRERROR_NONE;
}

brerror_t HBFork2Posix::getStream(int id, IHBStream **out) {
  if (id < HBFORK2_STREAM_STDIN || id > HBFORK2_STREAM_STDERR || streams_[id - 1] == nullptr) {
    brlog(kTag, 1, "  +++ [%llu] Failed to get stream ID: %d\n", static_cast<unsigned long long>(pid_), id);
    return BRERROR_NO_ENTRY;
  }
  streams_[id - 1]->upref();
  *out = streams_[id - 1];
  return BRERROR_NONE;
}

brerror_t HBFork2Posix::waitExit(int32_t timeoutMs, int32_t *status) {
  if (pid_ < 0) return BRERROR_ALREADY_HANDLED;
  const pid_t pid = pid_;
  int wstatus = 0;
  pid_t got;
  if (timeoutMs < 0) {
    do {
      got = ::waitpid(pid, &wstatus, 0);
    } while (got < 0 && errno == EINTR);
  } else {
    const int32_t polls = timeoutMs / 50 > 0 ? timeoutMs / 50 : 1;
    const int32_t nap = timeoutMs < 50 ? timeoutMs : 50;
    for (int32_t i = 0;; i++) {
      do {
        got = ::waitpid(pid, &wstatus, WNOHANG);
      } while (got < 0 && errno == EINTR);
      if (got != 0) break;
      if (nap > 0) ::usleep(static_cast<useconds_t>(nap) * 1000);
      if (i + 1 >= polls) return BRERROR_TIMED_OUT;
    }
  }

  if (got < 0) {
    int err = errno;
    // Whatever made the wait fail, the child cannot be waited for any more;
    // forgetting it keeps the destructor from waiting for ever.
    pid_ = -1;
    if (err == ECHILD) {
      brlog(kTag, 16, "  +++ [%d] (WAIT) No child process!\n", static_cast<int>(pid));
      return BRERROR_NO_ENTRY;
    }
    brlog(kTag, 1, "  +++ [%d] (WAIT) waitpid failed %d %d\n", static_cast<int>(pid), static_cast<int>(got), err);
    return brposix__maperrno(err);
  }

  pid_ = -1;
  if (WIFEXITED(wstatus)) {
    if (status) *status = WEXITSTATUS(wstatus);
    brlog(kTag, 16, "  +++ [%d] (WAIT) Child process exited: %d\n", static_cast<int>(pid), WEXITSTATUS(wstatus));
    return BRERROR_NONE;
  }
  if (WIFSIGNALED(wstatus)) {
    if (status) *status = -WTERMSIG(wstatus);
    brlog(kTag, 1, "  +++ [%d] (WAIT) Child process killed: %d\n", static_cast<int>(pid), WTERMSIG(wstatus));
    return BRERROR_NONE;
  }
  brlog(kTag, 1, "  +++ [%d] (WAIT) Unknown reason for wait to fail...\n", static_cast<int>(pid));
  return BRERROR_UNSPECIFIED;
}

HBFork2Posix::~HBFork2Posix() {
  for (auto &stream : streams_) {
    if (!stream) continue;
    stream->close();
    stream->detach();
    stream->dnref();
    stream = nullptr;
  }
  if (pid_ < 0) return;
  const pid_t pid = pid_;
  brlog(kTag, 16, "  +++ [%d] (DESTROY) Waiting for child process...\n", static_cast<int>(pid));
  int signal = SIGTERM;
  while (waitExit(5000, nullptr) == BRERROR_TIMED_OUT) {
    brlog(kTag, 16, "  +++ [%d] (DESTROY) Signaling child process [%d]...\n", static_cast<int>(pid), signal);
    ::kill(pid, signal);
    signal = SIGKILL;
  }
}

}  // namespace

brerror_t HBFork2__new(uint32_t flags, IHBFork2 **out) {
  BRASSERT(!((flags & 0x0100) && (flags & 0x0004)));
  *out = new HBFork2Posix(flags);
  return BRERROR_NONE;
}
