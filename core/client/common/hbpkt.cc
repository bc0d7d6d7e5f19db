#include "hbpkt.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbserialize.h"
#include "hbstralloc.h"

namespace {

constexpr int32_t kIOBuffer = 4096;

int varintSize(uint64_t v) {
  int n = 1;
  while (v >= 0x80) {
    v >>= 7;
    n++;
  }
  return n;
}

int putVarint(uint8_t *out, uint64_t v) {
  int n = 0;
  while (v >= 0x80) {
    out[n++] = static_cast<uint8_t>((v & 0x7f) | 0x80);
    v >>= 7;
  }
  out[n++] = static_cast<uint8_t>(v);
  return n;
}

uint64_t keyOf(uint32_t field, HBPKTDataType_e type) {
  return (static_cast<uint64_t>(field) << 3) | type;
}

bool printable(const char *bytes, uint32_t length) {
  for (uint32_t i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

// The source of a parse: a caller's buffer, or a stream read through a
// 4,096-byte buffer.
struct HBPKTMessage::Reader {
  const uint8_t *data = nullptr;
  int64_t length = 0;
  int64_t position = 0;  // in `data`
  IHBStream *stream = nullptr;
  uint8_t buffer[kIOBuffer];
  int32_t bufferPos = 0;
  int32_t bufferFill = 0;
  int64_t consumed = 0;
  int64_t values = 0;
  brerror_t streamError = 0;

  // 1 for a byte, 0 at the end of the data, or the stream's error.
  brerror_t byte(uint8_t *out) {
    if (!stream) {
      if (position >= length) return 0;
      *out = data[position++];
      consumed++;
      return 1;
    }
    if (bufferPos == bufferFill) {
      brerror_t n = stream->read(buffer, kIOBuffer);
      if (n < 0) return streamError = n;
      if (n == 0) return 0;
      bufferPos = 0;
      bufferFill = n;
    }
    *out = buffer[bufferPos++];
    consumed++;
    return 1;
  }

  // Copies (or, with a null `out`, skips) exactly `n` bytes: 0, -24 at a
  // premature end, or the stream's error.
  brerror_t take(void *out, int64_t n) {
    uint8_t *to = static_cast<uint8_t *>(out);
    if (!stream) {
      if (length - position < n) return BRERROR_EOF;
      if (to) memcpy(to, data + position, static_cast<size_t>(n));
      position += n;
      consumed += n;
      return 0;
    }
    while (n > 0) {
      if (bufferPos == bufferFill) {
        brerror_t got = stream->read(buffer, kIOBuffer);
        if (got < 0) return streamError = got;
        if (got == 0) return BRERROR_EOF;
        bufferPos = 0;
        bufferFill = got;
      }
      int32_t piece = bufferFill - bufferPos;
      if (piece > n) piece = static_cast<int32_t>(n);
      if (to) {
        memcpy(to, buffer + bufferPos, static_cast<size_t>(piece));
        to += piece;
      }
      bufferPos += piece;
      consumed += piece;
      n -= piece;
    }
    return 0;
  }

  // 1 with the value, 0 at the end of the data before its first byte, -6
  // for a truncated or over-long integer, or the stream's error.
  brerror_t varint(uint64_t *out) {
    uint64_t value = 0;
    for (int shift = 0; shift < 70; shift += 7) {
      uint8_t b;
      brerror_t rc = byte(&b);
      if (rc < 0) return rc;
      if (rc == 0) return shift == 0 ? 0 : BRERROR_INVALID_ARGUMENT;
      if (shift == 63 && (b & 0x7e)) return BRERROR_INVALID_ARGUMENT;
      value |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) {
        *out = value;
        return 1;
      }
    }
    return BRERROR_INVALID_ARGUMENT;
  }
};

// The sink of a serialization: a caller's buffer, a stream behind a
// 4,096-byte buffer, or nothing (measuring).
struct HBPKTMessage::Writer {
  uint8_t *direct = nullptr;
  int64_t directSize = 0;
  IHBStream *stream = nullptr;
  uint8_t buffer[kIOBuffer];
  int32_t fill = 0;
  int64_t total = 0;

  brerror_t flush() {
    int32_t done = 0;
    while (done < fill) {
      brerror_t n = stream->write(buffer + done, fill - done);
      if (n < 0) return n;
      if (n == 0) return BRERROR_IO;
      done += n;
    }
    fill = 0;
    return 0;
  }

  brerror_t put(const void *data, int64_t n) {
    const uint8_t *from = static_cast<const uint8_t *>(data);
    if (direct) {
      if (directSize - total < n) return BRERROR_NO_SPACE;
      memcpy(direct + total, from, static_cast<size_t>(n));
      total += n;
      return 0;
    }
    while (n > 0) {
      if (fill == kIOBuffer) {
        brerror_t rc = flush();
        if (rc < 0) return rc;
      }
      int32_t piece = kIOBuffer - fill;
      if (piece > n) piece = static_cast<int32_t>(n);
      memcpy(buffer + fill, from, static_cast<size_t>(piece));
      fill += piece;
      from += piece;
      n -= piece;
      total += piece;
    }
    return 0;
  }

  brerror_t putVarint(uint64_t v) {
    uint8_t bytes[10];
    return put(bytes, ::putVarint(bytes, v));
  }
};

HBPKTMessage::HBPKTMessage(HBStringAllocator *allocator) : allocator_(allocator) {}

HBPKTMessage::~HBPKTMessage() {
  clearAll();
  free(fields_);
  allocator_->sadnref();
}

brerror_t HBPKTMessage::createEmpty(HBPKTMessage **out, HBPKTMessage *parent) {
  HBStringAllocator *allocator;
  if (parent) {
    allocator = parent->allocator_;
    allocator->saupref();
  } else {
    allocator = new (std::nothrow) HBStringAllocator(1024, 4096);
    if (!allocator) return BRERROR_NO_MEMORY;
  }
  auto *message = new (std::nothrow) HBPKTMessage(allocator);
  if (!message) {
    allocator->sadnref();
    return BRERROR_NO_MEMORY;
  }
  *out = message;
  return BRERROR_NONE;
}

int32_t HBPKTMessage::dnref() {
  int32_t count = refs_.release();
  if (count == 0) delete this;
  return count;
}

brerror_t HBPKTMessage::getifc(hbtype_t id, void **out) {
  if (id != HBTYPE_IID_IHBOBJ) return BRERROR_NO_ENTRY;
  upref();
  *out = static_cast<IHBObj *>(this);
  return BRERROR_NONE;
}

HBPKTMessage::Field *HBPKTMessage::findField(uint32_t number) {
  uint32_t lo = 0, hi = count_;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (fields_[mid].number < number) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < count_ && fields_[lo].number == number ? &fields_[lo] : nullptr;
}

HBPKTMessage::Field *HBPKTMessage::fieldFor(uint32_t number) {
  // Fields mostly arrive in order, so the end is tried first.
  uint32_t at = count_;
  if (count_ > 0 && fields_[count_ - 1].number >= number) {
    if (Field *found = findField(number)) return found;
    at = 0;
    while (fields_[at].number < number) at++;
  }
  if (count_ == capacity_) {
    uint32_t capacity = capacity_ ? capacity_ * 2 : 8;
    auto *grown = static_cast<Field *>(realloc(fields_, capacity * sizeof(Field)));
    if (!grown) return nullptr;
    fields_ = grown;
    capacity_ = capacity;
  }
  memmove(&fields_[at + 1], &fields_[at], (count_ - at) * sizeof(Field));
  fields_[at] = Field{number, nullptr, nullptr};
  count_++;
  return &fields_[at];
}

HBPKTValue *HBPKTMessage::newValue(HBPKTDataType_e type) {
  auto *value = static_cast<HBPKTValue *>(allocator_->allocMem(sizeof(HBPKTValue)));
  if (!value) return nullptr;
  memset(value, 0, sizeof *value);
  value->type = type;
  return value;
}

void HBPKTMessage::releaseValues(HBPKTValue *value) {
  // The values' memory stays in the arena; only nested messages hold
  // references of their own.
  for (; value; value = value->next) {
    if (value->type == HBPKT_TYPE_MESSAGE && value->message) value->message->dnref();
  }
}

void HBPKTMessage::clearAll() {
  for (uint32_t i = 0; i < count_; i++) releaseValues(fields_[i].first);
  count_ = 0;
}

void HBPKTMessage::appendValue(Field *field, HBPKTValue *value) {
  if (field->last) {
    field->last->next = value;
  } else {
    field->first = value;
  }
  field->last = value;
}

brerror_t HBPKTMessage::replaceWith(uint32_t number, HBPKTValue *value) {
  Field *field = fieldFor(number);
  if (!field) return BRERROR_NO_MEMORY;
  releaseValues(field->first);
  field->first = field->last = value;
  return BRERROR_NONE;
}

brerror_t HBPKTMessage::setFieldSInt(uint32_t field, int64_t v) {
  HBPKTValue *value = newValue(HBPKT_TYPE_SINT);
  if (!value) return BRERROR_NO_MEMORY;
  value->s = v;
  return replaceWith(field, value);
}

brerror_t HBPKTMessage::setFieldString(uint32_t field, const char *text) {
  if (!text) text = "";
  return setFieldStringN(field, text, static_cast<uint32_t>(strlen(text)));
}

brerror_t HBPKTMessage::setFieldStringN(uint32_t field, const void *bytes, uint32_t length) {
  HBPKTValue *value = newValue(HBPKT_TYPE_STRING);
  if (!value) return BRERROR_NO_MEMORY;
  auto *copy = static_cast<char *>(allocator_->allocMem(static_cast<ssize_t>(length) + 1));
  if (!copy) return BRERROR_NO_MEMORY;
  if (length) memcpy(copy, bytes, length);
  copy[length] = '\0';
  value->str.bytes = copy;
  value->str.length = length;
  return replaceWith(field, value);
}

brerror_t HBPKTMessage::setFieldMessage(uint32_t field, HBPKTMessage *message) {
  if (!message || message == this) return BRERROR_INVALID_ARGUMENT;
  HBPKTValue *value = newValue(HBPKT_TYPE_MESSAGE);
  if (!value) return BRERROR_NO_MEMORY;
  message->upref();
  value->message = message;
  brerror_t rc = replaceWith(field, value);
  if (rc < 0) message->dnref();
  return rc;
}

const HBPKTValue *HBPKTMessage::getFieldValue(uint32_t field, uint32_t index) {
  Field *f = findField(field);
  if (!f) return nullptr;
  HBPKTValue *value = f->first;
  for (; value && index > 0; index--) value = value->next;
  return value;
}

const char *HBPKTMessage::getFieldString(uint32_t field) {
  return getFieldStringNIdx(field, 0, nullptr);
}

const char *HBPKTMessage::getFieldStringN(uint32_t field, uint32_t *length) {
  return getFieldStringNIdx(field, 0, length);
}

const char *HBPKTMessage::getFieldStringNIdx(uint32_t field, uint32_t index, uint32_t *length) {
  const HBPKTValue *value = getFieldValue(field, index);
  if (!value || value->type != HBPKT_TYPE_STRING) return nullptr;
  if (length) *length = value->str.length;
  return value->str.bytes;
}

HBPKTMessage *HBPKTMessage::getFieldMessage(uint32_t field) { return getFieldMessageIdx(field, 0); }

HBPKTMessage *HBPKTMessage::getFieldMessageIdx(uint32_t field, uint32_t index) {
  const HBPKTValue *value = getFieldValue(field, index);
  return value && value->type == HBPKT_TYPE_MESSAGE ? value->message : nullptr;
}

bool HBPKTMessage::hasField(uint32_t field) {
  Field *f = findField(field);
  return f && f->first;
}

void HBPKTMessage::clearField(uint32_t field) {
  Field *f = findField(field);
  if (!f) return;
  releaseValues(f->first);
  uint32_t at = static_cast<uint32_t>(f - fields_);
  memmove(&fields_[at], &fields_[at + 1], (count_ - at - 1) * sizeof(Field));
  count_--;
}

int64_t HBPKTMessage::measure(int depth) {
  if (depth > HBPKT_MAX_DEPTH) {
    brlog("HBPKT", BRLOG_ERROR, "Message nested deeper than %d levels!\n", HBPKT_MAX_DEPTH);
    return BRERROR_INVALID_ARGUMENT;
  }
  int64_t size = 0;
  for (uint32_t i = 0; i < count_; i++) {
    for (HBPKTValue *v = fields_[i].first; v; v = v->next) {
      size += varintSize(keyOf(fields_[i].number, v->type));
      switch (v->type) {
        case HBPKT_TYPE_UINT: size += varintSize(v->u); break;
        case HBPKT_TYPE_SINT:
          size += varintSize((static_cast<uint64_t>(v->s) << 1) ^ static_cast<uint64_t>(v->s >> 63));
          break;
        case HBPKT_TYPE_DOUBLE:
        case HBPKT_TYPE_DOUBLE2: size += 8; break;
        case HBPKT_TYPE_STRING: size += varintSize(v->str.length) + v->str.length; break;
        case HBPKT_TYPE_MESSAGE: {
          int64_t nested = v->message->measure(depth + 1);
          if (nested < 0) return nested;
          size += varintSize(static_cast<uint64_t>(nested)) + nested;
          break;
        }
      }
    }
  }
  measured_ = size;
  return size;
}

brerror_t HBPKTMessage::writeRecords(Writer *w, int depth) {
  for (uint32_t i = 0; i < count_; i++) {
    for (HBPKTValue *v = fields_[i].first; v; v = v->next) {
      brerror_t rc = w->putVarint(keyOf(fields_[i].number, v->type));
      if (rc < 0) return rc;
      switch (v->type) {
        case HBPKT_TYPE_UINT: rc = w->putVarint(v->u); break;
        case HBPKT_TYPE_SINT:
          rc = w->putVarint((static_cast<uint64_t>(v->s) << 1) ^ static_cast<uint64_t>(v->s >> 63));
          break;
        case HBPKT_TYPE_DOUBLE:
        case HBPKT_TYPE_DOUBLE2: {
          uint64_t bits;
          memcpy(&bits, &v->d, 8);
          uint8_t bytes[8];
          for (int b = 0; b < 8; b++) bytes[b] = static_cast<uint8_t>(bits >> (8 * b));
          rc = w->put(bytes, 8);
          break;
        }
        case HBPKT_TYPE_STRING:
          rc = w->putVarint(v->str.length);
          if (rc == 0) rc = w->put(v->str.bytes, v->str.length);
          break;
        case HBPKT_TYPE_MESSAGE:
          rc = w->putVarint(static_cast<uint64_t>(v->message->measured_));
          if (rc == 0) rc = v->message->writeRecords(w, depth + 1);
          break;
      }
      if (rc < 0) return rc;
    }
  }
  return BRERROR_NONE;
}

int64_t HBPKTMessage::serializeStream(IHBStream *stream) {
  int64_t size = measure(0);
  if (size < 0 || !stream) return size;
  auto *w = new (std::nothrow) Writer;
  if (!w) return BRERROR_NO_MEMORY;
  w->stream = stream;
  brerror_t rc = writeRecords(w, 0);
  if (rc == 0) rc = w->flush();
  int64_t total = w->total;
  delete w;
  return rc < 0 ? rc : total;
}

int64_t HBPKTMessage::serializeBuffer(void *bytes, int64_t size) {
  int64_t needed = measure(0);
  if (needed < 0) return needed;
  if (needed > size) return BRERROR_NO_SPACE;
  if (needed == 0) return 0;
  auto *w = new (std::nothrow) Writer;
  if (!w) return BRERROR_NO_MEMORY;
  w->direct = static_cast<uint8_t *>(bytes);
  w->directSize = size;
  brerror_t rc = writeRecords(w, 0);
  int64_t total = w->total;
  delete w;
  return rc < 0 ? rc : total;
}

// `limit`: the bytes this message spans, or -1 for "to the end of the
// stream". Returns 0 or an error.
int64_t HBPKTMessage::parseRecords(Reader *r, int64_t limit, int depth) {
  const int64_t start = r->consumed;
  for (;;) {
    int64_t used = r->consumed - start;
    if (limit >= 0 && used >= limit) return 0;
    int64_t left = limit >= 0 ? limit - used : INT64_MAX;
    if (r->stream && r->consumed > HBPKT_MAX_STREAM_BYTES) {
      brlog("HBPKT", BRLOG_ERROR, "Packet stream longer than %lld bytes!\n",
            static_cast<long long>(HBPKT_MAX_STREAM_BYTES));
      return BRERROR_NO_SPACE;
    }
    uint64_t key;
    brerror_t rc = r->varint(&key);
    if (rc < 0) return rc;
    if (rc == 0) {
      if (limit < 0) return 0;
      return BRERROR_INVALID_ARGUMENT;
    }
    if (limit >= 0 && r->consumed - start > limit) {
      brlog("HBPKT", BRLOG_ERROR, "Record key runs past the end of its message!\n");
      return BRERROR_INVALID_ARGUMENT;
    }
    if ((key >> 3) > UINT32_MAX) {
      brlog("HBPKT", BRLOG_ERROR, "Field number out of range: %llu\n",
            static_cast<unsigned long long>(key >> 3));
      return BRERROR_INVALID_ARGUMENT;
    }
    uint32_t number = static_cast<uint32_t>(key >> 3);
    int type = static_cast<int>(key & 7);
    if (type > HBPKT_TYPE_MESSAGE) {
      brlog("HBPKT", BRLOG_WARNING, "Did not recognize type: %lld\n", static_cast<long long>(type));
      continue;
    }
    if (++r->values > HBPKT_MAX_VALUES) {
      brlog("HBPKT", BRLOG_ERROR, "Packet holds more than %lld values!\n",
            static_cast<long long>(HBPKT_MAX_VALUES));
      return BRERROR_NO_SPACE;
    }
    HBPKTValue *value = newValue(static_cast<HBPKTDataType_e>(type));
    if (!value) return BRERROR_NO_MEMORY;
    switch (type) {
      case HBPKT_TYPE_UINT:
      case HBPKT_TYPE_SINT: {
        uint64_t v;
        rc = r->varint(&v);
        if (rc <= 0) return rc < 0 ? rc : BRERROR_INVALID_ARGUMENT;
        if (limit >= 0 && r->consumed - start > limit) return BRERROR_INVALID_ARGUMENT;
        if (type == HBPKT_TYPE_UINT) {
          value->u = v;
        } else {
          value->s = static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
        }
        break;
      }
      case HBPKT_TYPE_DOUBLE:
      case HBPKT_TYPE_DOUBLE2: {
        uint8_t bytes[8];
        left = limit >= 0 ? limit - (r->consumed - start) : INT64_MAX;
        if (left < 8 || r->take(bytes, 8) < 0) {
          brlog("HBPKT", BRLOG_ERROR, "Truncated floating-point value!\n");
          return r->streamError ? r->streamError : BRERROR_INVALID_ARGUMENT;
        }
        uint64_t bits = 0;
        for (int b = 7; b >= 0; b--) bits = (bits << 8) | bytes[b];
        memcpy(&value->d, &bits, 8);
        break;
      }
      case HBPKT_TYPE_STRING:
      case HBPKT_TYPE_MESSAGE: {
        uint64_t length;
        rc = r->varint(&length);
        if (rc <= 0) return rc < 0 ? rc : BRERROR_INVALID_ARGUMENT;
        left = limit >= 0 ? limit - (r->consumed - start) : INT64_MAX;
        if (!r->stream) left = left < r->length - r->position ? left : r->length - r->position;
        bool isString = type == HBPKT_TYPE_STRING;
        // The key and length themselves may already run past a nested end.
        if (left < 0 || length > static_cast<uint64_t>(left)) {
          brlog("HBPKT", BRLOG_ERROR, "Wanted to consume %lld bytes for %s, but I only have %lld left!\n",
                static_cast<long long>(length), isString ? "string" : "msg",
                static_cast<long long>(left < 0 || left == INT64_MAX ? 0 : left));
          return BRERROR_INVALID_ARGUMENT;
        }
        if (!isString) {
          if (depth + 1 > HBPKT_MAX_DEPTH) {
            brlog("HBPKT", BRLOG_ERROR, "Message nested deeper than %d levels!\n", HBPKT_MAX_DEPTH);
            return BRERROR_INVALID_ARGUMENT;
          }
          HBPKTMessage *nested;
          rc = createEmpty(&nested, this);
          if (rc < 0) return rc;
          value->message = nested;
          Field *field = fieldFor(number);
          if (!field) {
            nested->dnref();
            return BRERROR_NO_MEMORY;
          }
          appendValue(field, value);
          int64_t nrc = nested->parseRecords(r, static_cast<int64_t>(length), depth + 1);
          if (nrc < 0) return nrc;
          continue;
        }
        if (r->stream && length > HBPKT_MAX_STREAM_STRING) {
          brlog("HBPKT", BRLOG_ERROR, "Cowardly refusing to allocate more than 4k in a shot!\n");
          // Its bytes are passed over so that the next record is read in
          // step.
          rc = r->take(nullptr, static_cast<int64_t>(length));
          if (rc < 0) return rc == BRERROR_EOF ? BRERROR_INVALID_ARGUMENT : rc;
          continue;
        }
        auto *copy = static_cast<char *>(allocator_->allocMem(static_cast<ssize_t>(length) + 1));
        if (!copy) return BRERROR_NO_MEMORY;
        rc = r->take(copy, static_cast<int64_t>(length));
        if (rc < 0) return rc == BRERROR_EOF ? BRERROR_INVALID_ARGUMENT : rc;
        copy[length] = '\0';
        value->str.bytes = copy;
        value->str.length = static_cast<uint32_t>(length);
        break;
      }
    }
    Field *field = fieldFor(number);
    if (!field) return BRERROR_NO_MEMORY;
    appendValue(field, value);
  }
}

int64_t HBPKTMessage::parseBuffer(const void *bytes, int64_t length, uint32_t) {
  clearAll();
  if (!bytes || length <= 0) return 0;
  auto *r = new (std::nothrow) Reader;
  if (!r) return BRERROR_NO_MEMORY;
  r->data = static_cast<const uint8_t *>(bytes);
  r->length = length;
  int64_t rc = parseRecords(r, length, 0);
  int64_t consumed = r->consumed;
  delete r;
  if (rc < 0) return rc;
  if (consumed > 0 && count_ == 0) {
    brlog("HBPKT", BRLOG_WARNING, "Got some bytes but could not parse anything!\n");
    return 0;
  }
  return consumed;
}

int64_t HBPKTMessage::parseStream(IHBStream *stream, uint32_t) {
  clearAll();
  if (!stream) return BRERROR_INVALID_ARGUMENT;
  auto *r = new (std::nothrow) Reader;
  if (!r) return BRERROR_NO_MEMORY;
  r->stream = stream;
  int64_t rc = parseRecords(r, -1, 0);
  int64_t consumed = r->consumed;
  delete r;
  if (rc < 0) return rc;
  if (consumed > 0 && count_ == 0) {
    brlog("HBPKT", BRLOG_WARNING, "Got some bytes but could not parse anything!\n");
    return 0;
  }
  return consumed;
}

void HBPKTMessage::dumpLog(const char *tag, int level) {
  if (level > g_brlog_maxthreshold.load(std::memory_order_relaxed)) return;
  dumpAt(tag, level, 0);
}

void HBPKTMessage::dumpAt(const char *tag, int level, int depth) {
  int indent = depth * 3;
  const char *kind = getFieldString(0);
  bool isMap = kind && strcmp(kind, "map") == 0;
  for (uint32_t i = 0; i < count_; i++) {
    uint32_t number = fields_[i].number;
    for (HBPKTValue *v = fields_[i].first; v; v = v->next) {
      switch (v->type) {
        case HBPKT_TYPE_UINT:
          brlog(tag, level, "%*s[%u] uint %llu\n", indent, "", number,
                static_cast<unsigned long long>(v->u));
          break;
        case HBPKT_TYPE_SINT:
          brlog(tag, level, "%*s[%u] sint %lld\n", indent, "", number, static_cast<long long>(v->s));
          break;
        case HBPKT_TYPE_DOUBLE:
        case HBPKT_TYPE_DOUBLE2:
          brlog(tag, level, "%*s[%u] double %.17g\n", indent, "", number, v->d);
          break;
        case HBPKT_TYPE_STRING: {
          const char *text = v->str.bytes;
          char scratch[32];
          if (isMap && number > 0 && number % 2 == 0) {
            text = HBRPCSerialize__loggedValue(getFieldString(number - 1), text, scratch,
                                               sizeof scratch);
          }
          if (printable(text, static_cast<uint32_t>(strlen(text)))) {
            brlog(tag, level, "%*s[%u] string(%u) '%.128s'\n", indent, "", number, v->str.length,
                  text);
          } else {
            brlog(tag, level, "%*s[%u] string(%u) (binary)\n", indent, "", number, v->str.length);
          }
          break;
        }
        case HBPKT_TYPE_MESSAGE:
          brlog(tag, level, "%*s[%u] message\n", indent, "", number);
          if (depth < HBPKT_MAX_DEPTH) v->message->dumpAt(tag, level, depth + 1);
          break;
      }
    }
  }
}
