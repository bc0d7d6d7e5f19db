// hbbufstream: a buffered reader with line reads over another stream.
//
// Holds one reference on its source until close-time release or
// releaseReadFrom. The buffer is its own 4,096 bytes unless the caller
// supplies one, which must outlive the reader. Read-only: write and seek
// return -6. Not locked: one thread at a time.
#pragma once

#include <cstdint>

#include "hbstream.h"

class HBBufStream : public IHBBufferedReadStream {
 public:
  // Takes a reference on `source`. With a null `buffer` allocates `size`
  // bytes of its own.
  HBBufStream(IHBStream *source, char *buffer, int32_t size);

  int32_t upref() override;
  int32_t dnref() override;
  brerror_t getifc(hbtype_t id, void **out) override;

  brerror_t read(void *buffer, int32_t size) override;
  brerror_t write(const void *data, int32_t size) override;
  int64_t seek(int64_t offset, int origin) override;
  brerror_t sync() override;
  brerror_t close() override;
  int64_t sendTo(IHBStream *destination, int64_t count) override;

  brerror_t gets(char *buffer, int32_t size) override;

  // Bytes buffered and not yet read.
  int32_t getBufferedBytes() const { return fill_ - pos_; }
  // Detaches the source and hands its reference to *out (released when
  // `out` is null); the reader then ends after its buffered bytes.
  brerror_t releaseReadFrom(IHBStream **out);

  bool valid() const { return buffer_ != nullptr; }

 protected:
  ~HBBufStream() override;

 private:
  // Reads once into the free end of the buffer: >0 bytes added, 0 at the
  // end of the source, or the source's error.
  brerror_t fillMore();

  HBRefCount refs_;
  bool ownBuffer_;
  bool eof_ = false;
  // A source error met after part of a line was returned; reported next.
  brerror_t pendingError_ = 0;
  char *buffer_;
  int32_t size_;
  int32_t fill_ = 0;
  int32_t pos_ = 0;
  IHBStream *source_;
};

// A reader with its own 4,096-byte buffer, or over the caller's `buffer` of
// `size` bytes.
brerror_t HBBufStream__new(HBBufStream **out, IHBStream *source, char *buffer = nullptr,
                           int32_t size = 0);
