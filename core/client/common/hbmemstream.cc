#include "hbmemstream.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brlog.h"

HBMemStream::HBMemStream(uint32_t flags, void *buffer, uint32_t capacity, IHBStream *downstream)
    : flags_(flags),
      data_(static_cast<char *>(buffer)),
      capacity_(capacity),
      increment_(capacity),
      downstream_(downstream) {
  if (downstream_) downstream_->upref();
  if ((flags_ & HBMEMSTREAM_ALLOC) && capacity_ > 0) {
    data_ = static_cast<char *>(calloc(capacity_, 1));
    flags_ |= HBMEMSTREAM_OWNED;
    flags_ &= ~HBMEMSTREAM_BORROWED;
  }
}

HBMemStream::~HBMemStream() {
  if (downstream_) {
    flush();
    downstream_->dnref();
  }
  if (flags_ & HBMEMSTREAM_OWNED) free(data_);
}

int32_t HBMemStream::upref() { return refs_.retain(); }

int32_t HBMemStream::dnref() {
  int32_t left = refs_.release();
  if (left == 0) delete this;
  return left;
}

brerror_t HBMemStream::getifc(hbtype_t id, void **out) {
  if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBSTREAM && id != HBTYPE_IID_IHBSEEKABLESTREAM)
    return BRERROR_NO_ENTRY;
  *out = static_cast<IHBMemStream *>(this);
  upref();
  return 0;
}

uint32_t HBMemStream::readLimit() const {
  return (flags_ & HBSTREAM_WRITE) ? fill_ : capacity_;
}

brerror_t HBMemStream::flush() {
  if (!downstream_) return 0;
  uint32_t done = 0;
  brerror_t result = 0;
  while (done < fill_) {
    brerror_t put = downstream_->write(data_ + done, static_cast<int32_t>(fill_ - done));
    if (put == BRERROR_TIMED_OUT || put == BRERROR_TRY_AGAIN) continue;
    if (put <= 0) {
      result = put < 0 ? put : BRERROR_IO;
      break;
    }
    done += put;
  }
  if (done > 0) {
    memmove(data_, data_ + done, fill_ - done);
    fill_ -= done;
    readPos_ = readPos_ > done ? readPos_ - done : 0;
  }
  return result;
}

bool HBMemStream::grow(uint64_t needed) {
  if (needed <= capacity_) return true;
  if (!(flags_ & HBMEMSTREAM_GROW)) return false;
  uint64_t target = needed + increment_;
  if (target > UINT32_MAX) target = needed;
  if (target > UINT32_MAX) return false;
  char *bigger;
  if (flags_ & HBMEMSTREAM_OWNED) {
    bigger = static_cast<char *>(realloc(data_, target));
    if (!bigger) return false;
  } else {
    // Not ours to reallocate: the caller's buffer is copied once.
    bigger = static_cast<char *>(malloc(target));
    if (!bigger) return false;
    if (capacity_ > 0) memcpy(bigger, data_, capacity_);
    flags_ = (flags_ | HBMEMSTREAM_OWNED) & ~HBMEMSTREAM_BORROWED;
  }
  memset(bigger + capacity_, 0, target - capacity_);
  data_ = bigger;
  capacity_ = static_cast<uint32_t>(target);
  return true;
}

brerror_t HBMemStream::read(void *buffer, int32_t size) {
  if (!(flags_ & HBSTREAM_READ)) return BRERROR_INVALID_ARGUMENT;
  if (size <= 0) return 0;
  const uint32_t limit = readLimit();
  if (readPos_ >= limit) return 0;
  uint32_t n = limit - readPos_;
  if (n > static_cast<uint32_t>(size)) n = size;
  memcpy(buffer, data_ + readPos_, n);
  readPos_ += n;
  return static_cast<brerror_t>(n);
}

brerror_t HBMemStream::write(const void *data, int32_t size) {
  if (!(flags_ & HBSTREAM_WRITE)) return BRERROR_INVALID_ARGUMENT;
  if (size < 0) return BRERROR_INVALID_ARGUMENT;
  const uint32_t n = static_cast<uint32_t>(size);

  if ((flags_ & HBMEMSTREAM_WRITETHROUGH) && downstream_) {
    if (n == 0 || capacity_ - fill_ < n) {
      brerror_t err = flush();
      if (err < 0) return err;
    }
    if (n > capacity_) {
      const char *from = static_cast<const char *>(data);
      uint32_t done = 0;
      while (done < n) {
        brerror_t put = downstream_->write(from + done, static_cast<int32_t>(n - done));
        if (put == BRERROR_TIMED_OUT || put == BRERROR_TRY_AGAIN) continue;
        if (put == 0) put = BRERROR_IO;
        if (put < 0) return done > 0 ? static_cast<brerror_t>(done) : put;
        done += put;
      }
      return size;
    }
  } else if (capacity_ - fill_ < n) {
    grow(static_cast<uint64_t>(fill_) + n);
  }

  uint32_t room = capacity_ > fill_ ? capacity_ - fill_ : 0;
  uint32_t take = n < room ? n : room;
  if (take > 0) memcpy(data_ + fill_, data, take);
  fill_ += take;
  return static_cast<brerror_t>(take);
}

int64_t HBMemStream::seek(int64_t offset, int origin) {
  const bool writeOnly = (flags_ & (HBSTREAM_READ | HBSTREAM_WRITE)) == HBSTREAM_WRITE;
  int64_t base;
  switch (origin) {
    case HBSEEK_SET: base = 0; break;
    case HBSEEK_END: base = capacity_; break;
    case HBSEEK_CUR: base = writeOnly ? fill_ : readPos_; break;
    default:
      brlog("HBSTRM", 2, "Invalid whence: %d -- Setting to SEEK_SET\n", origin);
      base = 0;
      break;
  }
  const int64_t target = base + offset;
  if (target < 0 || target > UINT32_MAX) return BRERROR_INVALID_ARGUMENT;

  if (writeOnly) {
    // Positions past the buffer exist only where the buffer can grow.
    if (target > capacity_ && !grow(static_cast<uint64_t>(target))) return BRERROR_OUT_OF_RANGE;
    fill_ = static_cast<uint32_t>(target);
  } else {
    if (flags_ & HBSTREAM_WRITE)
      brlog("HBSTRM", 16,
            "Stream is read/write -- just seeking read pointer from %u to %lld at %d = %lld\n",
            readPos_, static_cast<long long>(offset), origin, static_cast<long long>(target));
    readPos_ = static_cast<uint32_t>(target);
  }
  return target;
}

brerror_t HBMemStream::pread(void *buffer, int32_t size, int64_t offset) {
  if (!(flags_ & HBSTREAM_READ)) return BRERROR_INVALID_ARGUMENT;
  if (offset < 0 || size < 0) return BRERROR_INVALID_ARGUMENT;
  const uint32_t limit = readLimit();
  if (static_cast<uint64_t>(offset) >= limit) return 0;
  uint32_t n = limit - static_cast<uint32_t>(offset);
  if (n > static_cast<uint32_t>(size)) n = size;
  memcpy(buffer, data_ + offset, n);
  return static_cast<brerror_t>(n);
}

brerror_t HBMemStream::pwrite(const void *data, int32_t size, int64_t offset) {
  if (!(flags_ & HBSTREAM_WRITE)) return BRERROR_INVALID_ARGUMENT;
  if (flags_ & HBMEMSTREAM_WRITETHROUGH) return BRERROR_UNSUPPORTED;
  if (offset < 0 || size < 0 || offset > UINT32_MAX) return BRERROR_INVALID_ARGUMENT;
  const uint64_t end = static_cast<uint64_t>(offset) + size;
  if (end > capacity_) grow(end);
  if (static_cast<uint64_t>(offset) > capacity_) return BRERROR_OUT_OF_RANGE;
  uint32_t take = capacity_ - static_cast<uint32_t>(offset);
  if (take > static_cast<uint32_t>(size)) take = size;
  if (take > 0) memcpy(data_ + offset, data, take);
  // Bytes between the old fill and the offset become part of the data.
  if (offset + take > fill_) fill_ = static_cast<uint32_t>(offset + take);
  return static_cast<brerror_t>(take);
}

brerror_t HBMemStream::getBuffer(void **data, uint32_t *length) {
  *data = data_;
  *length = (flags_ & HBSTREAM_WRITE) ? fill_ : capacity_;
  return 0;
}

brerror_t HBMemStream::puts(const char *text) {
  if (!text) text = "(null)";
  return write(text, static_cast<int32_t>(strlen(text)));
}

brerror_t HBMemStream::puts(int32_t value) {
  char text[16];
  int n = snprintf(text, sizeof text, "%d", value);
  return write(text, n);
}

brerror_t HBMemStream::puts(uint32_t value) {
  char text[16];
  int n = snprintf(text, sizeof text, "%u", value);
  return write(text, n);
}

brerror_t HBMemStream::puts(int64_t value) {
  char text[24];
  int n = snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  return write(text, n);
}

brerror_t HBMemStream::puts(uint64_t value) {
  char text[24];
  int n = snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  return write(text, n);
}

brerror_t HBMemStream::sync() {
  if (!downstream_) return 0;
  brerror_t err = flush();
  if (err < 0) return err;
  return downstream_->sync();
}

brerror_t HBMemStream::close() { return 0; }

int64_t HBMemStream::sendTo(IHBStream *destination, int64_t count) {
  return HBStream__sendToHelper(this, destination, count, nullptr, nullptr);
}

brerror_t HBMemStream__new(IHBMemStream **out, void *buffer, uint32_t capacity, uint32_t flags,
                           IHBStream *downstream) {
  if (!(flags & (HBSTREAM_READ | HBSTREAM_WRITE))) return BRERROR_INVALID_ARGUMENT;
  if (!buffer && capacity > 0 && !(flags & HBMEMSTREAM_ALLOC)) return BRERROR_INVALID_ARGUMENT;
  HBMemStream *stream = new (std::nothrow) HBMemStream(flags, buffer, capacity, downstream);
  if (!stream) return BRERROR_NO_MEMORY;
  if (!stream->valid()) {
    stream->dnref();
    return BRERROR_NO_MEMORY;
  }
  *out = stream;
  return 0;
}
