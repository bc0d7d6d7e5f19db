// hbfork2_posix: runs another program as a child process with optional pipes
// to its standard input, output and error, and waits for it with a time-out.
//
// HBFork2__new hands the caller one reference. getStream hands out the pipe
// ends as IHBStream objects with one new reference each; they stay usable
// after the child has exited (a reader then delivers what is left and the
// end of data) and are closed when the HBFork2 object is destroyed. The
// destructor blocks until the child is gone, signalling it (SIGTERM, then
// SIGKILL) every 5 s. One object and its streams serve one thread at a time;
// nothing is locked. All log lines use the tag "FORK2".
#pragma once

#include <cstdint>

#include "hbobj.h"
#include "hbstream.h"

enum : uint32_t {
  HBFORK2_PIPE_STDIN = 0x001,   // stream 1: the parent writes the child's stdin
  HBFORK2_PIPE_STDOUT = 0x002,  // stream 2: the parent reads the child's stdout
  HBFORK2_PIPE_STDERR = 0x004,  // stream 3: the parent reads the child's stderr
  HBFORK2_STDERR_TO_STDOUT = 0x100,  // excludes HBFORK2_PIPE_STDERR
};

enum : int {
  HBFORK2_STREAM_STDIN = 1,
  HBFORK2_STREAM_STDOUT = 2,
  HBFORK2_STREAM_STDERR = 3,
};

class IHBFork2 : public IHBObj {
 public:
  // Starts argv[0] with the null-terminated `argv` and `envp` (null gives an
  // empty environment). A program that cannot be started shows up as exit
  // status 127 in waitExit, not as a failure here.
  virtual brerror_t run(char *const argv[], char *const envp[]) = 0;
  // Sends SIGTERM to the child whatever `signal` says; -3 when it is gone.
  virtual brerror_t kill(int signal) = 0;
  // Time-out of every later pipe read or write; negative waits without limit.
  virtual brerror_t setTimeout(int32_t ms) = 0;
  virtual brerror_t getStream(int id, IHBStream **out) = 0;
  // 0 once the child is gone, with its exit code (0..255) or the negated
  // signal number in *status; -11 when it still runs after `timeoutMs`
  // (negative: no limit); -25 without a child.
  virtual brerror_t waitExit(int32_t timeoutMs, int32_t *status) = 0;
  // Stored only; it has no effect on this platform.
  virtual brerror_t setOOMAdj(int32_t value) = 0;
};

// `flags` combines HBFORK2_* bits; HBFORK2_STDERR_TO_STDOUT together with
// HBFORK2_PIPE_STDERR is a programming error and aborts.
brerror_t HBFork2__new(uint32_t flags, IHBFork2 **out);
