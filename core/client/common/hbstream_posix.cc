#include "hbstream_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "brlog.h"
#include "brstring.h"

namespace {

void setCloseOnExec(int fd) {
  int current = fcntl(fd, F_GETFD);
  if (current >= 0 && !(current & FD_CLOEXEC)) fcntl(fd, F_SETFD, current | FD_CLOEXEC);
}

bool validAccess(uint32_t flags) { return (flags & (HBSTREAM_READ | HBSTREAM_WRITE)) != 0; }

brerror_t wrap(IHBStream **out, int fd, uint32_t flags, bool socket) {
  if (!validAccess(flags)) return BRERROR_INVALID_ARGUMENT;
  setCloseOnExec(fd);
  HBStreamPosix *stream = new (std::nothrow) HBStreamPosix(fd, flags, nullptr, socket);
  if (!stream) return BRERROR_NO_MEMORY;
  *out = stream;
  return 0;
}

}  // namespace

HBStreamPosix::HBStreamPosix(int fd, uint32_t flags, const char *path, bool socket)
    : fd_(fd), flags_(flags), path_(path ? path : ""), hasPath_(path != nullptr), socket_(socket) {}

HBStreamPosix::~HBStreamPosix() { HBStreamPosix::close(); }

int32_t HBStreamPosix::upref() { return refs_.retain(); }

int32_t HBStreamPosix::dnref() {
  int32_t left = refs_.release();
  if (left == 0) delete this;
  return left;
}

brerror_t HBStreamPosix::getifc(hbtype_t id, void **out) {
  switch (id) {
    case HBTYPE_IID_IHBOBJ:
    case HBTYPE_IID_IHBSTREAM:
      *out = static_cast<IHBStream *>(this);
      break;
    case HBTYPE_IID_IHBSTREAMSPACEALLOC:
      *out = static_cast<IHBStreamSpaceAlloc *>(this);
      break;
    case HBTYPE_IID_IHBPOSIXFILESTREAM:
      *out = static_cast<IHBPosixFileStream *>(this);
      break;
    case HBTYPE_IID_IHBFILESTREAM:
      if (!hasPath_) return BRERROR_NO_ENTRY;
      *out = static_cast<IHBFileStream *>(this);
      break;
    default:
      return BRERROR_NO_ENTRY;
  }
  upref();
  return 0;
}

brerror_t HBStreamPosix::read(void *buffer, int32_t size) {
  if (size < 0) return BRERROR_INVALID_ARGUMENT;
  ssize_t got;
  do {
    got = ::read(fd_, buffer, size);
  } while (got < 0 && errno == EINTR);
  if (got >= 0) return static_cast<brerror_t>(got);
  int err = errno;
  if (err != EAGAIN && err != EWOULDBLOCK)
    brlog("HBSTRM", 1, "READ(%d, %p, %d) FAILED [%d] %s\n", fd_, buffer, size, err, strerror(err));
  return brposix__maperrno(err);
}

brerror_t HBStreamPosix::write(const void *data, int32_t size) {
  if (!(flags_ & HBSTREAM_WRITE) || size < 0) return BRERROR_INVALID_ARGUMENT;
  ssize_t put;
  do {
    // A peer that went away must come back as an error, not as SIGPIPE.
    put = socket_ ? ::send(fd_, data, size, MSG_NOSIGNAL) : ::write(fd_, data, size);
  } while (put < 0 && errno == EINTR);
  if (put >= 0) return static_cast<brerror_t>(put);
  int err = errno;
  brlog("HBSTRM", 1, "WRITE(%d, %p, %d) FAILED [%d] %s\n", fd_, data, size, err, strerror(err));
  return brposix__maperrno(err);
}

int64_t HBStreamPosix::seek(int64_t offset, int origin) {
  int whence;
  switch (origin) {
    case HBSEEK_SET: whence = SEEK_SET; break;
    case HBSEEK_CUR: whence = SEEK_CUR; break;
    case HBSEEK_END: whence = SEEK_END; break;
    default:
      brlog("HBSTRM", 2, "Invalid whence: %d -- Setting to SEEK_SET\n", origin);
      whence = SEEK_SET;
      break;
  }
  off_t at = lseek(fd_, offset, whence);
  if (at >= 0) return at;
  int err = errno;
  brlog("HBSTRM", 1, "SEEK(%d, %lld, %d) FAILED [%d] %s\n", fd_, static_cast<long long>(offset),
        origin, err, strerror(err));
  return brposix__maperrno(err);
}

brerror_t HBStreamPosix::sync() {
  if (fd_ >= 0) fsync(fd_);
  return 0;
}

brerror_t HBStreamPosix::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  return 0;
}

int64_t HBStreamPosix::sendTo(IHBStream *destination, int64_t count) {
  return HBStream__sendToHelper(this, destination, count, nullptr, nullptr);
}

brerror_t HBStreamPosix::allocateSpace(int64_t size) {
  brlog("HBSTRM", 32, "ALLOCATING SPACE(%lld)\n", static_cast<long long>(size));
  if (size <= 0) return 0;
  const off_t here = lseek(fd_, 0, SEEK_CUR);
  if (here < 0) {
    brlog("HBSTRM", 1, " -- Failed to set file pointer: %d\n", brposix__maperrno(errno));
    return BRERROR_IO;
  }
  const int64_t tail = size < 4 ? size : 4;
  const off_t end = here + size - tail;
  if (lseek(fd_, end, SEEK_SET) < 0) {
    brlog("HBSTRM", 1, " -- Failed to set file pointer: %d\n", brposix__maperrno(errno));
    lseek(fd_, here, SEEK_SET);
    return BRERROR_IO;
  }
  static const char zeros[4] = {0, 0, 0, 0};
  ssize_t put = ::write(fd_, zeros, tail);
  brerror_t result = 0;
  if (put != tail) {
    brlog("HBSTRM", 1, " -- Failed to write at offset %lld: %d\n", static_cast<long long>(end),
          put < 0 ? brposix__maperrno(errno) : BRERROR_IO);
    result = BRERROR_IO;
  }
  lseek(fd_, here, SEEK_SET);
  return result;
}

brerror_t HBStreamPosix::getFilePath(char *buffer, int32_t size) {
  if (!hasPath_) return BRERROR_NO_ENTRY;
  if (buffer && size > 0) {
    buffer[0] = '\0';
    brstrcatn(buffer, path_.c_str(), static_cast<size_t>(size));
  }
  return static_cast<brerror_t>(path_.size());
}

int HBStreamPosix::getFileDescriptor() {
  brlog("HBSTRM", 8, "GIVING SENDTO MY FD: %d\n", fd_);
  return fd_;
}

void HBStreamPosix::returnFileDescriptor(int fd, int64_t bytes) {
  brlog("HBSTRM", 8, "SENDTO GAVE MY FD BACK: %d %d (%lld bytes)\n", fd, fd_,
        static_cast<long long>(bytes));
}

HBStreamPosixTemp::HBStreamPosixTemp(int fd, uint32_t flags, const char *path)
    : HBStreamPosix(fd, flags, path, false), unlinkPath_(path) {}

HBStreamPosixTemp::~HBStreamPosixTemp() { HBStreamPosixTemp::close(); }

brerror_t HBStreamPosixTemp::close() {
  HBStreamPosix::close();
  if (!unlinkPath_.empty()) {
    brlog("TMPSTRM", 8, "Unlinking Temporary Stream @ '%s'\n", unlinkPath_.c_str());
    unlink(unlinkPath_.c_str());
    unlinkPath_.clear();
  }
  return 0;
}

brerror_t HBStream__newForFD(IHBStream **out, int fd, uint32_t flags) {
  return wrap(out, fd, flags, false);
}

brerror_t HBStream__newForSocket(IHBStream **out, int socket, uint32_t flags) {
  return wrap(out, socket, flags, true);
}

int HBStream__mapFlags(uint32_t flags) {
  int mapped;
  switch (flags & (HBSTREAM_READ | HBSTREAM_WRITE)) {
    case HBSTREAM_READ: mapped = O_RDONLY; break;
    case HBSTREAM_WRITE: mapped = O_WRONLY; break;
    case HBSTREAM_READ | HBSTREAM_WRITE: mapped = O_RDWR; break;
    default: return BRERROR_INVALID_ARGUMENT;
  }
  if (flags & HBSTREAM_CREATE) mapped |= O_CREAT;
  if (flags & HBSTREAM_TRUNCATE) mapped |= O_TRUNC;
  if (flags & HBSTREAM_EXCLUSIVE) mapped |= O_EXCL;
  return mapped;
}

brerror_t HBStream__newRaw(IHBStream **out, const char *path, uint32_t flags) {
  int mapped = HBStream__mapFlags(flags);
  if (mapped < 0) {
    brlog("HBSTREAM", 2, "  -- Aborting open file '%s' because flags couldn't be mapped: %d\n",
          path, flags);
    return BRERROR_INVALID_ARGUMENT;
  }
  mode_t mode = (flags & HBSTREAM_MODE) ? ((flags >> 16) & 0777) : 0666;
  int fd;
  do {
    fd = open(path, mapped | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    brlog("HBSTREAM", 2, "  -- Failed to open file '%s' (o%o): %d %s\n", path, mapped, err,
          strerror(err));
    return brposix__maperrno(err);
  }
  HBStreamPosix *stream = new (std::nothrow) HBStreamPosix(fd, flags, path, false);
  if (!stream) {
    ::close(fd);
    return BRERROR_NO_MEMORY;
  }
  *out = stream;
  return 0;
}

brerror_t HBStream__newFromPath(IHBStream **out, const char *path, const void *reserved,
                                uint32_t flags) {
  (void)reserved;
  brerror_t err = HBStream__newRaw(out, path, flags);
  if (err < 0) {
    const char *slash = strrchr(path, '/');
    brlog("HBFILE", 2, "  -- Failed to open file '%s' @ '%s' Error: %d\n",
          slash ? slash + 1 : path, path, err);
  }
  return err;
}

brerror_t HBStream__newTempStream(IHBStream **out, uint32_t flags, char *pathOut, int32_t size) {
  return HBStream__newTempStreamIn(out, flags, nullptr, pathOut, size);
}

brerror_t HBStream__newTempStreamIn(IHBStream **out, uint32_t flags, const char *directory,
                                    char *pathOut, int32_t size) {
  if (!directory) directory = "/tmp";
  const size_t dirlen = strlen(directory);
  if (pathOut && (size < 0 || static_cast<size_t>(size) < dirlen + 12)) return BRERROR_NO_SPACE;
  if (!validAccess(flags)) return BRERROR_INVALID_ARGUMENT;

  std::string name(directory);
  if (name.empty() || name.back() != '/') name += '/';
  name += "vqz_XXXXXX";
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    brlog("TMPSTRM", 1, "  -- Failed to create temp file '%s': %d %s\n", name.c_str(), err,
          strerror(err));
    return brposix__maperrno(err);
  }

  HBStreamPosix *stream;
  if (pathOut) {
    memcpy(pathOut, name.c_str(), name.size() + 1);
    stream = new (std::nothrow) HBStreamPosix(fd, flags, name.c_str(), false);
  } else {
    stream = new (std::nothrow) HBStreamPosixTemp(fd, flags, name.c_str());
  }
  if (!stream) {
    ::close(fd);
    unlink(name.c_str());
    return BRERROR_NO_MEMORY;
  }
  *out = stream;
  return 0;
}

brerror_t HBStream__mmap(int fd, void **address, int64_t offset, size_t length, uint32_t flags) {
  int prot = PROT_NONE;
  if (flags & HBSTREAM_READ) prot |= PROT_READ;
  if (flags & HBSTREAM_WRITE) prot |= PROT_WRITE;
  void *mapped = mmap(*address, length, prot, MAP_PRIVATE, fd, offset);
  if (mapped == MAP_FAILED) return brposix__maperrno(errno);
  *address = mapped;
  return 0;
}

brerror_t HBStream__munmap(void *address, size_t length) {
  if (munmap(address, length) != 0) return brposix__maperrno(errno);
  return 0;
}
