// hbstream_testing: scripted streams for the unit tests of stream users.
//
// ScriptedStream answers each read with the next step of its script (bytes
// or an error; 0 once the script is done) and records every write, taking
// at most `writeLimit` bytes per call and answering the queued write results
// first. Test-only; not part of libhbnode.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "hbstream.h"

class ScriptedStream : public IHBStream {
 public:
  struct Step {
    std::string bytes;
    brerror_t error = 0;
  };

  static ScriptedStream *create() { return new ScriptedStream(); }

  ScriptedStream &data(const std::string &bytes) {
    steps_.push_back({bytes, 0});
    return *this;
  }
  ScriptedStream &fail(brerror_t error) {
    steps_.push_back({"", error});
    return *this;
  }
  // Results handed out by the next writes before normal behaviour resumes.
  ScriptedStream &writeResults(std::initializer_list<brerror_t> results) {
    writeResults_.insert(writeResults_.end(), results);
    return *this;
  }
  // Runs before each read step is answered (tests move their clock here).
  std::function<void()> beforeRead;

  int32_t writeLimit = INT32_MAX;
  std::string written;
  std::vector<int32_t> writeSizes;
  int syncs = 0;
  int closes = 0;

  int32_t upref() override { return ++refs_; }
  int32_t dnref() override {
    int32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  brerror_t getifc(hbtype_t, void **) override { return BRERROR_NO_ENTRY; }

  brerror_t read(void *buffer, int32_t size) override {
    if (beforeRead) beforeRead();
    if (steps_.empty()) return 0;
    Step &step = steps_.front();
    if (step.error != 0) {
      brerror_t error = step.error;
      steps_.pop_front();
      return error;
    }
    int32_t n = static_cast<int32_t>(step.bytes.size()) < size
                    ? static_cast<int32_t>(step.bytes.size())
                    : size;
    memcpy(buffer, step.bytes.data(), n);
    step.bytes.erase(0, n);
    if (step.bytes.empty()) steps_.pop_front();
    return n;
  }
  brerror_t write(const void *data, int32_t size) override {
    if (!writeResults_.empty()) {
      brerror_t result = writeResults_.front();
      writeResults_.pop_front();
      if (result <= 0) return result;
      if (result < size) size = result;
    }
    if (size > writeLimit) size = writeLimit;
    written.append(static_cast<const char *>(data), size);
    writeSizes.push_back(size);
    return size;
  }
  int64_t seek(int64_t, int) override { return BRERROR_INVALID_ARGUMENT; }
  brerror_t sync() override {
    ++syncs;
    return 0;
  }
  brerror_t close() override {
    ++closes;
    return 0;
  }
  int64_t sendTo(IHBStream *destination, int64_t count) override {
    return HBStream__sendTo(this, destination, count);
  }

 private:
  ScriptedStream() = default;
  ~ScriptedStream() override = default;

  int32_t refs_ = 1;
  std::deque<Step> steps_;
  std::deque<brerror_t> writeResults_;
};
