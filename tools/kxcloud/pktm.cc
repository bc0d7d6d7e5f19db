#include "pktm.h"

#include <cstring>
#include <map>
#include <vector>

namespace kxcloud {
namespace {

enum WireType { kUInt = 0, kSInt = 1, kDouble = 2, kDouble2 = 3, kBytes = 4, kMessage = 5 };

struct Record {
  int type = 0;
  uint64_t u = 0;
  int64_t s = 0;
  double d = 0;
  std::string bytes;  // kBytes payload or kMessage body
};

// Fields in number order; each holds its values in wire order.
using Fields = std::map<uint32_t, std::vector<Record>>;

bool get_varint(const unsigned char *&p, const unsigned char *end, uint64_t *v) {
  uint64_t r = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (p == end) return false;
    unsigned char b = *p++;
    r |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) {
      *v = r;
      return true;
    }
  }
  return false;
}

bool parse_fields(const std::string &msg, Fields *fields, std::string *error) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(msg.data());
  const unsigned char *end = p + msg.size();
  while (p < end) {
    uint64_t key;
    if (!get_varint(p, end, &key)) {
      *error = "truncated record key";
      return false;
    }
    if (key >> 3 > UINT32_MAX) {
      *error = "field number out of range";
      return false;
    }
    Record r;
    r.type = static_cast<int>(key & 7);
    switch (r.type) {
      case kUInt:
        if (!get_varint(p, end, &r.u)) { *error = "truncated varint"; return false; }
        break;
      case kSInt: {
        uint64_t z;
        if (!get_varint(p, end, &z)) { *error = "truncated varint"; return false; }
        r.s = static_cast<int64_t>(z >> 1) ^ -static_cast<int64_t>(z & 1);
        break;
      }
      case kDouble:
      case kDouble2: {
        if (end - p < 8) { *error = "truncated double"; return false; }
        uint64_t bits = 0;
        for (int i = 7; i >= 0; --i) bits = (bits << 8) | p[i];
        std::memcpy(&r.d, &bits, 8);
        p += 8;
        break;
      }
      case kBytes:
      case kMessage: {
        uint64_t len;
        if (!get_varint(p, end, &len) || len > static_cast<uint64_t>(end - p)) {
          *error = "declared length exceeds the message";
          return false;
        }
        r.bytes.assign(reinterpret_cast<const char *>(p), len);
        p += len;
        break;
      }
      default:
        // Unknown wire types carry no data we can measure; the record is
        // skipped after its key, as the client's reader does.
        continue;
    }
    (*fields)[static_cast<uint32_t>(key >> 3)].push_back(std::move(r));
  }
  return true;
}

std::string number_text(const Record &r) {
  char buf[64];
  switch (r.type) {
    case kUInt: return std::to_string(r.u);
    case kSInt: return std::to_string(r.s);
    case kDouble:
    case kDouble2: std::snprintf(buf, sizeof buf, "%.17g", r.d); return buf;
    default: return r.bytes;
  }
}

bool decode_value(const Record &r, int depth, Value *out, std::string *error);

bool decode_message(const std::string &body, int depth, Value *out, std::string *error) {
  if (depth > 32) {
    *error = "messages nested too deeply";
    return false;
  }
  Fields f;
  if (!parse_fields(body, &f, error)) return false;
  auto tag = f.find(0);
  std::string kind = (tag != f.end() && tag->second[0].type == kBytes) ? tag->second[0].bytes : "";
  if (kind == "iter") {
    *out = Value::list();
    for (uint32_t i = 1;; ++i) {
      auto it = f.find(i);
      if (it == f.end()) break;
      Value item;
      if (!decode_value(it->second[0], depth + 1, &item, error)) return false;
      out->items.push_back(std::move(item));
    }
    return true;
  }
  if (kind != "map") {
    *error = "nested message is neither a map nor a list";
    return false;
  }
  *out = Value::map();
  for (uint32_t k = 1;; k += 2) {
    auto key = f.find(k);
    if (key == f.end()) break;
    if (key->second[0].type != kBytes) {
      *error = "map key at field " + std::to_string(k) + " is not a string";
      return false;
    }
    Value v;
    auto val = f.find(k + 1);
    if (val != f.end() && !decode_value(val->second[0], depth + 1, &v, error)) return false;
    out->entries.emplace_back(key->second[0].bytes, std::move(v));
  }
  return true;
}

bool decode_value(const Record &r, int depth, Value *out, std::string *error) {
  if (r.type == kMessage) return decode_message(r.bytes, depth, out, error);
  *out = Value(number_text(r));
  return true;
}

void put_key(std::string *out, uint32_t field, int type) {
  pktm_put_varint(out, (static_cast<uint64_t>(field) << 3) | static_cast<uint64_t>(type));
}

std::string encode_value(const Value &v);

std::string encode_list(const Value &list) {
  std::string out;
  pktm_put_string(&out, 0, "iter");
  uint32_t n = 1;
  for (auto &item : list.items) {
    if (item.kind == Value::Kind::Text) pktm_put_string(&out, n++, item.text);
    else pktm_put_message(&out, n++, encode_value(item));
  }
  return out;
}

std::string encode_value(const Value &v) {
  return v.kind == Value::Kind::List ? encode_list(v) : pktm_encode_map(v);
}

}  // namespace

void pktm_put_varint(std::string *out, uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

void pktm_put_string(std::string *out, uint32_t field, const std::string &bytes) {
  put_key(out, field, kBytes);
  pktm_put_varint(out, bytes.size());
  *out += bytes;
}

void pktm_put_message(std::string *out, uint32_t field, const std::string &message) {
  put_key(out, field, kMessage);
  pktm_put_varint(out, message.size());
  *out += message;
}

void pktm_put_sint(std::string *out, uint32_t field, int64_t v) {
  put_key(out, field, kSInt);
  pktm_put_varint(out, (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
}

void pktm_put_double(std::string *out, uint32_t field, double v) {
  put_key(out, field, kDouble);
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(bits >> (8 * i)));
}

std::string pktm_encode_map(const Value &map) {
  std::string out;
  pktm_put_string(&out, 0, "map");
  uint32_t k = 1;
  for (auto &e : map.entries) {
    pktm_put_string(&out, k, e.first);
    if (e.second.kind == Value::Kind::Text) pktm_put_string(&out, k + 1, e.second.text);
    else pktm_put_message(&out, k + 1, encode_value(e.second));
    k += 2;
  }
  return out;
}

bool pktm_decode_args(const std::string &message, Args *args, std::string *error) {
  args->clear();
  if (message.empty()) return true;  // a call without arguments may send no body
  Value v;
  if (!decode_message(message, 0, &v, error)) return false;
  if (v.kind != Value::Kind::Map) {
    *error = "request is not a map message";
    return false;
  }
  *args = std::move(v.entries);
  return true;
}

}  // namespace kxcloud
