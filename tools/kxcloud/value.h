// value.h - the argument and result tree shared by both RPC encodings.
//
// A call's arguments and a reply's results are ordered lists of named values;
// a value is a text, a map (ordered, names may repeat) or a list. The SOAP and
// packet codecs translate between this tree and the wire; the method table only
// ever sees the tree. Plain value type: no sharing, no locking.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kxcloud {

struct Value {
  enum class Kind { Text, Map, List };
  using Entries = std::vector<std::pair<std::string, Value>>;

  Kind kind = Kind::Text;
  std::string text;
  Entries entries;           // Kind::Map
  std::vector<Value> items;  // Kind::List

  Value() = default;
  Value(std::string t) : text(std::move(t)) {}
  Value(const char *t) : text(t) {}

  static Value map() { Value v; v.kind = Kind::Map; return v; }
  static Value list() { Value v; v.kind = Kind::List; return v; }

  // Map helpers; the first entry of a name wins when a name repeats.
  Value &set(const std::string &name, Value v) {
    for (auto &e : entries)
      if (e.first == name) { e.second = std::move(v); return e.second; }
    entries.emplace_back(name, std::move(v));
    return entries.back().second;
  }
  const Value *find(const std::string &name) const {
    for (auto &e : entries)
      if (e.first == name) return &e.second;
    return nullptr;
  }
};

// Arguments of a call, in the order the client wrote them.
using Args = Value::Entries;

inline const std::string *arg(const Args &args, const std::string &name) {
  for (auto &a : args)
    if (a.first == name && a.second.kind == Value::Kind::Text) return &a.second.text;
  return nullptr;
}

}  // namespace kxcloud
