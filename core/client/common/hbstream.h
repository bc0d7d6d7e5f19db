// hbstream: the stream interfaces through which every byte of the system
// moves (files, sockets, pipes, HTTP bodies, memory).
//
// read and write return the bytes moved (read: 0 at end of data) or a
// negative brerror_t; seek returns the new position or an error. Streams are
// not locked: one thread uses a stream at a time; reference counts are atomic
// so a stream may be handed between threads.
#pragma once

#include <sys/types.h>

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
