// Test-only memory stream for the image tests, the image fuzz target and the
// thumbnail benchmark: reads from and appends to a std::string, can hand out
// reads in small pieces, records the size of every write and can be told to
// fail writes. One thread at a time; not part of libhbnode.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "hbstream.h"

class HBImgTestStream final : public IHBStream {
 public:
  explicit HBImgTestStream(std::string data = {}, int32_t maxRead = 0)
      : data_(std::move(data)), maxRead_(maxRead) {}

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override {
    int32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
  }
  brerror_t getifc(hbtype_t id, void **out) override {
    if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBSTREAM) return BRERROR_NO_ENTRY;
    upref();
    *out = static_cast<IHBStream *>(this);
    return BRERROR_NONE;
  }

  brerror_t read(void *buffer, int32_t size) override {
    if (size < 0) return BRERROR_INVALID_ARGUMENT;
    size_t n = std::min(static_cast<size_t>(size), data_.size() - pos_);
    if (maxRead_ > 0) n = std::min(n, static_cast<size_t>(maxRead_));
    memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<brerror_t>(n);
  }
  brerror_t write(const void *data, int32_t size) override {
    if (size < 0) return BRERROR_INVALID_ARGUMENT;
    if (failWrites_) return BRERROR_IO;
    data_.append(static_cast<const char *>(data), static_cast<size_t>(size));
    writes_.push_back(size);
    return size;
  }
  int64_t seek(int64_t offset, int origin) override {
    int64_t base = origin == HBSEEK_CUR ? static_cast<int64_t>(pos_)
                   : origin == HBSEEK_END ? static_cast<int64_t>(data_.size())
                                          : 0;
    int64_t to = base + offset;
    if (to < 0) return BRERROR_INVALID_ARGUMENT;
    pos_ = std::min(static_cast<size_t>(to), data_.size());
    return static_cast<int64_t>(pos_);
  }
  brerror_t sync() override { return BRERROR_NONE; }
  brerror_t close() override { return BRERROR_NONE; }
  int64_t sendTo(IHBStream *, int64_t) override { return BRERROR_NOT_IMPLEMENTED; }

  const std::string &data() const { return data_; }
  const std::vector<int32_t> &writes() const { return writes_; }
  void failWrites() { failWrites_ = true; }

 private:
  HBRefCount refs_;
  std::string data_;
  size_t pos_ = 0;
  int32_t maxRead_;
  bool failWrites_ = false;
  std::vector<int32_t> writes_;
};
