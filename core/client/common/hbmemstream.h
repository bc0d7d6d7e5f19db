// hbmemstream: a stream over a memory buffer: fixed, growable, or a
// write-through buffer in front of another stream.
//
// Ownership: the buffer is freed with the stream when HBMEMSTREAM_OWNED is
// set (HBMEMSTREAM_ALLOC allocates one of the capacity and owns it); a
// HBMEMSTREAM_BORROWED buffer stays the caller's and is copied on the first
// growth. A downstream stream is held with one reference; a write-through
// stream must be flushed (0-byte write, sync, or destruction) before the
// downstream data is complete. Not locked: one thread at a time.
#pragma once

#include <cstdint>

#include "hbstream.h"

// Combined with HBSTREAM_READ and HBSTREAM_WRITE.
constexpr uint32_t HBMEMSTREAM_OWNED = 0x10000;
constexpr uint32_t HBMEMSTREAM_GROW = 0x20000;
constexpr uint32_t HBMEMSTREAM_ALLOC = 0x40000;
constexpr uint32_t HBMEMSTREAM_BORROWED = 0x80000;
constexpr uint32_t HBMEMSTREAM_WRITETHROUGH = 0x100000;

class HBMemStream : public IHBMemStream {
 public:
  // Takes a reference on `downstream` (may be null).
  HBMemStream(uint32_t flags, void *buffer, uint32_t capacity, IHBStream *downstream);

  int32_t upref() override;
  int32_t dnref() override;
  brerror_t getifc(hbtype_t id, void **out) override;

  brerror_t read(void *buffer, int32_t size) override;
  brerror_t write(const void *data, int32_t size) override;
  int64_t seek(int64_t offset, int origin) override;
  brerror_t sync() override;
  brerror_t close() override;
  int64_t sendTo(IHBStream *destination, int64_t count) override;

  // Positional reads and writes leave the read and write positions alone; a
  // write beyond the fill extends it. Not supported on write-through
  // streams (-16).
  brerror_t pread(void *buffer, int32_t size, int64_t offset) override;
  brerror_t pwrite(const void *data, int32_t size, int64_t offset) override;

  brerror_t getBuffer(void **data, uint32_t *length) override;
  brerror_t puts(const char *text) override;
  brerror_t puts(int32_t value) override;
  brerror_t puts(uint32_t value) override;
  brerror_t puts(int64_t value) override;
  brerror_t puts(uint64_t value) override;

  bool valid() const { return data_ != nullptr || capacity_ == 0; }

 protected:
  ~HBMemStream() override;

 private:
  brerror_t flush();
  // Makes room for `needed` bytes in all (growable streams only).
  bool grow(uint64_t needed);
  // The end of readable data.
  uint32_t readLimit() const;

  HBRefCount refs_;
  uint32_t flags_;
  char *data_;
  uint32_t capacity_;
  uint32_t increment_;
  uint32_t readPos_ = 0;
  uint32_t fill_ = 0;
  IHBStream *downstream_;
};

// -6 unless `flags` has HBSTREAM_READ or HBSTREAM_WRITE. `downstream` is
// for HBMEMSTREAM_WRITETHROUGH streams.
brerror_t HBMemStream__new(IHBMemStream **out, void *buffer, uint32_t capacity, uint32_t flags,
                           IHBStream *downstream = nullptr);
