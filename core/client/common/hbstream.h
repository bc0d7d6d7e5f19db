// hbstream: the stream interfaces through which every byte of the system
// moves (files, sockets, pipes, HTTP bodies, memory), and the functions that
// work on any stream: the copy loop, the vectored write, the line reader and
// the adapters for the XML parser and writer.
//
// read and write return the bytes moved (read: 0 at end of data) or a
// negative brerror_t; seek returns the new position or an error. Streams are
// not locked: one thread uses a stream at a time; reference counts are atomic
// so a stream may be handed between threads. The functions below take no
// reference on the streams they are given.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "hbobj.h"

// Seek origins of the framework (not the system's numbers). Any other
// origin is logged and treated as HBSEEK_SET.
enum : int {
  HBSEEK_SET = 1,
  HBSEEK_CUR = 2,
  HBSEEK_END = 3,
};

// Open flags of file streams; permission bits of a created file go in bits
// 16..24 when HBSTREAM_MODE is set.
enum : uint32_t {
  HBSTREAM_READ = 0x0001,
  HBSTREAM_WRITE = 0x0002,
  HBSTREAM_MODE = 0x0008,
  HBSTREAM_CREATE = 0x1000,
  HBSTREAM_TRUNCATE = 0x2000,
  HBSTREAM_EXCLUSIVE = 0x4000,
};

class IHBStream : public IHBObj {
 public:
  virtual brerror_t read(void *buffer, int32_t size) = 0;
  virtual brerror_t write(const void *data, int32_t size) = 0;
  virtual int64_t seek(int64_t offset, int origin) = 0;
  virtual brerror_t sync() = 0;
  virtual brerror_t close() = 0;
  // Copies `count` bytes (all when negative) to `destination`; returns the
  // bytes written or the error when nothing was written.
  virtual int64_t sendTo(IHBStream *destination, int64_t count) = 0;
};

class IHBSeekableStream : public IHBStream {
 public:
  virtual brerror_t pread(void *buffer, int32_t size, int64_t offset) = 0;
  virtual brerror_t pwrite(const void *data, int32_t size, int64_t offset) = 0;
};

class IHBMemStream : public IHBSeekableStream {
 public:
  virtual brerror_t getBuffer(void **data, uint32_t *length) = 0;
  virtual brerror_t puts(const char *text) = 0;
  virtual brerror_t puts(int32_t value) = 0;
  virtual brerror_t puts(uint32_t value) = 0;
  virtual brerror_t puts(int64_t value) = 0;
  virtual brerror_t puts(uint64_t value) = 0;
};

class IHBBufferedReadStream : public IHBStream {
 public:
  // One line including its end, at most `size` bytes; 0 at end of data.
  virtual brerror_t gets(char *buffer, int32_t size) = 0;
};

class IHBStreamSpaceAlloc : public IHBObj {
 public:
  virtual brerror_t allocateSpace(int64_t size) = 0;
};

class IHBFileStream : public IHBObj {
 public:
  virtual brerror_t getFilePath(char *buffer, int32_t size) = 0;
};

class IHBPosixFileStream : public IHBFileStream {
 public:
  virtual int getFileDescriptor() = 0;
  virtual void returnFileDescriptor(int fd, int64_t bytes) = 0;
};

// Progress of the copy loop: the bytes written so far; non-zero stops it.
typedef int (*hbstream_progress_f)(int64_t total, void *user);

// Copies `count` bytes from `source` to `destination` (until the source
// ends when negative; nothing when 0). Returns the bytes written, or the
// error when it came before any byte was written.
int64_t HBStream__sendTo(IHBStream *source, IHBStream *destination, int64_t count);
int64_t HBStream__sendToHelper(IHBStream *source, IHBStream *destination, int64_t count,
                               hbstream_progress_f progress, void *user);

// Writes `count` (pointer, length) pairs. Up to 4,096 bytes in all are
// gathered into one write; more are written one by one. Returns the bytes
// written, or the error of the first write.
brerror_t HBStream__writevHelper(IHBStream *stream, const struct iovec *vector, int count);

// Called with each line (without its end) and, when the source times out,
// at most once a second with the partial line so far. Non-zero stops.
typedef int (*hbstream_line_f)(IHBStream *stream, const char *line, void *user);
// Milliseconds of a monotonic clock; tests pass their own.
typedef int64_t (*hbstream_clock_f)();

// Reads `stream` to its end, calling `callback` for every line ended by
// "\r" or "\n" and for a last line without an end. Returns the callback's
// non-zero result, the read error, -12 for a line longer than 4,095 bytes,
// or 0 at the end of data.
brerror_t HBStream__readLines(IHBStream *stream, int severity, hbstream_line_f callback,
                              void *user, hbstream_clock_f clock = nullptr);

// Callbacks for the XML parser and writer; `ctx` is an IHBStream. The reader
// returns the bytes read (0 at the end) or an error; the writer writes all
// `size` bytes and returns `size` or an error.
typedef brerror_t (*hbstream_xmlio_f)(void *ctx, void *buf, int32_t size);
brerror_t HBStream__xmlReader(void *ctx, void *buf, int32_t size);
brerror_t HBStream__xmlWriter(void *ctx, void *buf, int32_t size);
