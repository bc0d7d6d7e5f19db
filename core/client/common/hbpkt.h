// hbpkt: HBPKTMessage, the packet encoding of RPC calls: a set of numbered
// fields, each holding one or more values (integers, doubles, byte strings,
// nested messages), written as records of a variable-length key (field * 8 +
// wire type) and their data.
//
// A message and the messages nested in it share one string allocator; every
// message holds a reference on it, and a parent holds one reference on each
// nested message, so a nested message may outlive its parent. Pointers from
// the getters stay valid until the field is set or cleared, or the message
// is parsed again or dies. Reading guards against hostile input: every
// declared length is checked, nesting is bounded, and a stream parse takes
// at most HBPKT_MAX_STREAM_BYTES and byte strings of at most 4,096 bytes
// (longer ones are skipped). Not locked: one thread uses a message at a
// time; reference counts are atomic.
#pragma once

#include <cstdint>

#include "hbobj.h"
#include "hbstream.h"

class HBStringAllocator;
class HBPKTMessage;

enum HBPKTDataType_e : uint8_t {
  HBPKT_TYPE_UINT = 0,
  HBPKT_TYPE_SINT = 1,
  HBPKT_TYPE_DOUBLE = 2,
  HBPKT_TYPE_DOUBLE2 = 3,
  HBPKT_TYPE_STRING = 4,
  HBPKT_TYPE_MESSAGE = 5,
};

// Messages nested deeper than this are refused by the readers and writers.
constexpr int HBPKT_MAX_DEPTH = 32;
// A byte string read from a stream may be at most this long.
constexpr uint32_t HBPKT_MAX_STREAM_STRING = 4096;
// A stream parse stops with -12 past this many bytes or values.
constexpr int64_t HBPKT_MAX_STREAM_BYTES = 16 * 1024 * 1024;
constexpr int64_t HBPKT_MAX_VALUES = 256 * 1024;

// One value of a field. Byte strings are followed by a NUL in memory.
struct HBPKTValue {
  HBPKTValue *next;
  HBPKTDataType_e type;
  union {
    uint64_t u;
    int64_t s;
    double d;
    struct {
      const char *bytes;
      uint32_t length;
    } str;
    HBPKTMessage *message;
  };
};

class HBPKTMessage final : public IHBObj {
 public:
  // A new, empty message on `parent`'s allocator, or on a new one.
  static brerror_t createEmpty(HBPKTMessage **out, HBPKTMessage *parent);

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override;
  // Answers HBTYPE_IID_IHBOBJ only.
  brerror_t getifc(hbtype_t id, void **out) override;

  // Each setter replaces the field's values with one value; -19 when out of
  // memory (the field is then unchanged).
  brerror_t setFieldSInt(uint32_t field, int64_t value);
  brerror_t setFieldString(uint32_t field, const char *text);
  brerror_t setFieldStringN(uint32_t field, const void *bytes, uint32_t length);
  // Takes a reference on `message`; -6 for a null message or this one.
  brerror_t setFieldMessage(uint32_t field, HBPKTMessage *message);

  // The first (or index-th) value, when it is a byte string or a nested
  // message; else null. Strings are NUL-terminated; messages are borrowed.
  const char *getFieldString(uint32_t field);
  const char *getFieldStringN(uint32_t field, uint32_t *length);
  const char *getFieldStringNIdx(uint32_t field, uint32_t index, uint32_t *length);
  HBPKTMessage *getFieldMessage(uint32_t field);
  HBPKTMessage *getFieldMessageIdx(uint32_t field, uint32_t index);
  // The index-th value of any type; null when absent.
  const HBPKTValue *getFieldValue(uint32_t field, uint32_t index);
  bool hasField(uint32_t field);
  void clearField(uint32_t field);

  // Writes the records, in field order, through a 4,096-byte buffer; with
  // no stream only measures. The bytes written (or to write), or an error.
  int64_t serializeStream(IHBStream *stream);
  // The bytes written, or -12 when `size` is too small.
  int64_t serializeBuffer(void *bytes, int64_t size);

  // Both replace the message's fields and take no flags yet (pass 0). The
  // bytes consumed; 0 when bytes were read but no field came of them; -6
  // for malformed records (a declared length past the end, a truncated
  // integer or double, too deep a nesting); -12 past the limits above; a
  // stream's read error. On failure the fields read so far stay.
  int64_t parseBuffer(const void *bytes, int64_t length, uint32_t flags);
  // Reads to the end of the stream.
  int64_t parseStream(IHBStream *stream, uint32_t flags);

  // One line per value; values under secret keys of map messages masked.
  void dumpLog(const char *tag, int level);

  HBStringAllocator *getAllocator() const { return allocator_; }

 private:
  struct Field {
    uint32_t number;
    HBPKTValue *first;
    HBPKTValue *last;
  };
  struct Reader;
  struct Writer;

  explicit HBPKTMessage(HBStringAllocator *allocator);
  ~HBPKTMessage() override;

  Field *findField(uint32_t number);
  // The field, created empty when absent; null when out of memory.
  Field *fieldFor(uint32_t number);
  HBPKTValue *newValue(HBPKTDataType_e type);
  void releaseValues(HBPKTValue *value);
  void clearAll();
  // Appends a value (parsing keeps every value of a repeated field).
  void appendValue(Field *field, HBPKTValue *value);
  brerror_t replaceWith(uint32_t number, HBPKTValue *value);

  int64_t measure(int depth);
  brerror_t writeRecords(Writer *writer, int depth);
  int64_t parseRecords(Reader *reader, int64_t limit, int depth);
  void dumpAt(const char *tag, int level, int depth);

  HBRefCount refs_;
  HBStringAllocator *allocator_;
  Field *fields_ = nullptr;  // sorted by number
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
  int64_t measured_ = 0;  // size of the records, from the last measure()
};
