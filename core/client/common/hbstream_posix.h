// hbstream_posix: streams over POSIX file descriptors (files, pipes,
// sockets) and temporary files, and the open-flag and mmap helpers.
//
// Every factory hands the caller one reference. The stream owns its
// descriptor and closes it at close() or destruction; every descriptor it
// holds is close-on-exec. A temporary stream created without a path buffer
// deletes its file when closed. Not locked: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hbstream.h"

class HBStreamPosix : public IHBStream, public IHBStreamSpaceAlloc, public IHBPosixFileStream {
 public:
  // Takes ownership of `fd`; `path` may be null (wrapped descriptor).
  HBStreamPosix(int fd, uint32_t flags, const char *path, bool socket);

  int32_t upref() override;
  int32_t dnref() override;
  brerror_t getifc(hbtype_t id, void **out) override;

  brerror_t read(void *buffer, int32_t size) override;
  brerror_t write(const void *data, int32_t size) override;
  int64_t seek(int64_t offset, int origin) override;
  brerror_t sync() override;
  brerror_t close() override;
  int64_t sendTo(IHBStream *destination, int64_t count) override;

  brerror_t allocateSpace(int64_t size) override;

  brerror_t getFilePath(char *buffer, int32_t size) override;
  int getFileDescriptor() override;
  void returnFileDescriptor(int fd, int64_t bytes) override;

 protected:
  ~HBStreamPosix() override;

  int fd_;
  uint32_t flags_;
  std::string path_;
  bool hasPath_;

 private:
  HBRefCount refs_;
  bool socket_;
};

// A temporary file that is deleted when the stream is closed.
class HBStreamPosixTemp : public HBStreamPosix {
 public:
  HBStreamPosixTemp(int fd, uint32_t flags, const char *path);
  brerror_t close() override;

 protected:
  ~HBStreamPosixTemp() override;

 private:
  std::string unlinkPath_;
};

// Wraps an open descriptor or socket (no path); -6 for flags without a read
// or write bit.
brerror_t HBStream__newForFD(IHBStream **out, int fd, uint32_t flags);
brerror_t HBStream__newForSocket(IHBStream **out, int socket, uint32_t flags);

// Opens `path` with stream flags (HBSTREAM_*): -6 for invalid flags,
// otherwise the mapped error of the failed open.
brerror_t HBStream__newRaw(IHBStream **out, const char *path, uint32_t flags);
brerror_t HBStream__newFromPath(IHBStream **out, const char *path, const void *reserved,
                                uint32_t flags);

// The system open flags (without O_CLOEXEC) for stream flags, or -6.
int HBStream__mapFlags(uint32_t flags);

// Creates "<directory>/vqz_XXXXXX" ("/tmp" when `directory` is null). With
// `pathOut` (at least strlen(directory) + 12 bytes, else -12) the name is
// returned and the file stays after close; without it the file is deleted
// when the stream closes.
brerror_t HBStream__newTempStream(IHBStream **out, uint32_t flags, char *pathOut, int32_t size);
brerror_t HBStream__newTempStreamIn(IHBStream **out, uint32_t flags, const char *directory,
                                    char *pathOut, int32_t size);

// Maps a private view of `fd` (readable with flags bit 0, writable with
// bit 1); *address is the hint on entry and the mapping on return.
brerror_t HBStream__mmap(int fd, void **address, int64_t offset, size_t length, uint32_t flags);
brerror_t HBStream__munmap(void *address, size_t length);
