#include "hbbufstream.h"

#include <cstring>
#include <new>
#include <utility>

#include "brlog.h"

namespace {
constexpr int32_t kDefaultBuffer = 4096;
}

HBBufStream::HBBufStream(IHBStream *source, char *buffer, int32_t size)
    : ownBuffer_(buffer == nullptr),
      buffer_(buffer ? buffer : new (std::nothrow) char[size]),
      size_(size),
      source_(source) {
  if (source_) source_->upref();
}

HBBufStream::~HBBufStream() {
  if (source_) source_->dnref();
  if (ownBuffer_) delete[] buffer_;
}

int32_t HBBufStream::upref() { return refs_.retain(); }

int32_t HBBufStream::dnref() {
  int32_t left = refs_.release();
  if (left == 0) delete this;
  return left;
}

brerror_t HBBufStream::getifc(hbtype_t id, void **out) {
  if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBSTREAM) return BRERROR_NO_ENTRY;
  *out = static_cast<IHBStream *>(this);
  upref();
  return 0;
}

brerror_t HBBufStream::fillMore() {
  if (eof_ || !source_) {
    eof_ = true;
    return 0;
  }
  brerror_t got = source_->read(buffer_ + fill_, size_ - fill_);
  if (got == 0) eof_ = true;
  if (got > 0) fill_ += got;
  return got;
}

brerror_t HBBufStream::read(void *buffer, int32_t size) {
  if (size <= 0) return 0;
  if (pos_ == fill_) {
    pos_ = fill_ = 0;
    if (pendingError_ < 0) return std::exchange(pendingError_, 0);
    brerror_t got = fillMore();
    if (got <= 0) return got;
  }
  int32_t n = fill_ - pos_;
  if (n > size) n = size;
  memcpy(buffer, buffer_ + pos_, n);
  pos_ += n;
  return n;
}

brerror_t HBBufStream::gets(char *buffer, int32_t size) {
  if (size <= 0) return BRERROR_INVALID_ARGUMENT;
  if (pos_ == fill_ && pendingError_ < 0) return std::exchange(pendingError_, 0);
  int32_t line = 0;
  brerror_t failure = 0;
  int32_t scanned = pos_;
  for (;;) {
    const void *end = memchr(buffer_ + scanned, '\n', fill_ - scanned);
    if (end) {
      line = static_cast<int32_t>(static_cast<const char *>(end) - (buffer_ + pos_)) + 1;
      break;
    }
    scanned = fill_;
    if (eof_ || !source_ || fill_ - pos_ >= size_) {
      line = fill_ - pos_;
      break;
    }
    if (pos_ > 0) {
      memmove(buffer_, buffer_ + pos_, fill_ - pos_);
      fill_ -= pos_;
      scanned -= pos_;
      pos_ = 0;
    }
    brerror_t got = fillMore();
    if (got == BRERROR_TIMED_OUT || got == BRERROR_TRY_AGAIN) continue;
    if (got < 0) {
      failure = got;
      line = fill_ - pos_;
      break;
    }
  }
  // A source failure must not pass for the end of data: it is reported now
  // when nothing was buffered, else by the next call.
  if (line == 0) return failure;
  if (failure < 0) pendingError_ = failure;
  const int32_t n = line < size ? line : size;
  memcpy(buffer, buffer_ + pos_, n);
  pos_ += n;
  if (n < size) buffer[n] = '\0';
  return n;
}

brerror_t HBBufStream::write(const void *, int32_t) { return BRERROR_INVALID_ARGUMENT; }

int64_t HBBufStream::seek(int64_t, int) {
  brlog("BUFSTR", 2, "SEEKING NOT IMPLEMENTED!\n");
  return BRERROR_INVALID_ARGUMENT;
}

brerror_t HBBufStream::sync() { return 0; }

brerror_t HBBufStream::close() { return source_ ? source_->close() : 0; }

int64_t HBBufStream::sendTo(IHBStream *destination, int64_t count) {
  return HBStream__sendToHelper(this, destination, count, nullptr, nullptr);
}

brerror_t HBBufStream::releaseReadFrom(IHBStream **out) {
  if (out) {
    *out = source_;
  } else if (source_) {
    source_->dnref();
  }
  source_ = nullptr;
  return 0;
}

brerror_t HBBufStream__new(HBBufStream **out, IHBStream *source, char *buffer, int32_t size) {
  if (!source) return BRERROR_INVALID_ARGUMENT;
  if (buffer && size <= 0) return BRERROR_INVALID_ARGUMENT;
  if (!buffer) size = kDefaultBuffer;
  HBBufStream *stream = new (std::nothrow) HBBufStream(source, buffer, size);
  if (!stream) return BRERROR_NO_MEMORY;
  if (!stream->valid()) {
    stream->dnref();
    return BRERROR_NO_MEMORY;
  }
  *out = stream;
  return 0;
}
