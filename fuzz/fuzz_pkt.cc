// Parses the input as a packet message from a buffer and from a stream that
// hands out bytes in pieces, converts each result into a map, and writes a
// buffer-parsed message back out to check that it reads back the same.
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>

#include "brlog.h"
#include "hbmap.h"
#include "hbpkt.h"
#include "hbpktconv.h"

namespace {

// A read-only stream over the input that returns at most `piece` bytes.
class PieceStream : public IHBStream {
 public:
  PieceStream(const uint8_t *data, size_t size, size_t piece)
      : data_(data), size_(size), piece_(piece) {}
  int32_t upref() override { return 1; }
  int32_t dnref() override { return 1; }
  brerror_t getifc(hbtype_t, void **) override { return BRERROR_NO_ENTRY; }
  brerror_t read(void *buffer, int32_t size) override {
    size_t n = std::min(std::min(static_cast<size_t>(size), piece_), size_ - pos_);
    memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return static_cast<brerror_t>(n);
  }
  brerror_t write(const void *, int32_t) override { return BRERROR_NOT_IMPLEMENTED; }
  int64_t seek(int64_t, int) override { return BRERROR_NOT_IMPLEMENTED; }
  brerror_t sync() override { return 0; }
  brerror_t close() override { return 0; }
  int64_t sendTo(IHBStream *, int64_t) override { return BRERROR_NOT_IMPLEMENTED; }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t piece_;
  size_t pos_ = 0;
};

void toMap(HBPKTMessage *message) {
  HBMap *map = new HBMap(nullptr, 4096, 4096, nullptr);
  HBPKTConv__messageToHBMap(message, map);
  map->dnref();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  brlog_setverbosity(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  size_t piece = 1 + data[0] % 64;
  data++;
  size--;

  HBPKTMessage *fromBuffer = nullptr;
  if (HBPKTMessage::createEmpty(&fromBuffer, nullptr) < 0) return 0;
  int64_t rc = fromBuffer->parseBuffer(data, static_cast<int64_t>(size), 0);
  if (rc > static_cast<int64_t>(size)) abort();
  toMap(fromBuffer);
  if (rc > 0) {
    int64_t length = fromBuffer->serializeStream(nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    if (fromBuffer->serializeBuffer(out.data(), length) != length) abort();
    HBPKTMessage *again = nullptr;
    if (HBPKTMessage::createEmpty(&again, nullptr) == 0) {
      if (again->parseBuffer(out.data(), length, 0) != length && length > 0) abort();
      if (again->serializeStream(nullptr) != length) abort();
      again->dnref();
    }
  }
  fromBuffer->dnref();

  HBPKTMessage *fromStream = nullptr;
  if (HBPKTMessage::createEmpty(&fromStream, nullptr) < 0) return 0;
  PieceStream stream(data, size, piece);
  fromStream->parseStream(&stream, 0);
  toMap(fromStream);
  fromStream->dnref();
  return 0;
}
