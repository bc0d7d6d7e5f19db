// Test helpers of the RPC modules: a log capture for the calling thread and
// a flattening of result maps into "path=value" lines ("files[0].name",
// "service.name") so that tests compare whole results at once.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "brlog.h"
#include "hblistiter.h"
#include "hbmap.h"
#include "hbstr.h"

namespace hbrpctest {

// Collects the calling thread's log lines at every severity up to 35.
class LogCapture {
 public:
  LogCapture() { brlog__setThreadSink(sink, 35, this, nullptr); }
  ~LogCapture() { brlog__setThreadSink(nullptr, 0, nullptr, nullptr); }
  bool has(const std::string &piece) const {
    for (const auto &line : lines) {
      if (line.find(piece) != std::string::npos) return true;
    }
    return false;
  }
  std::string all() const {
    std::string text;
    for (const auto &line : lines) text += line;
    return text;
  }
  std::vector<std::string> lines;

 private:
  static void sink(void *user, const char *tag, int, const char *format, va_list args) {
    char message[1024];
    vsnprintf(message, sizeof message, format, args);
    static_cast<LogCapture *>(user)->lines.push_back(std::string(tag) + "|" + message);
  }
};

using Flat = std::map<std::string, std::string>;

inline void flattenObject(const std::string &path, IHBObj *object, Flat *out);

inline void flattenMap(const std::string &prefix, IHBMap *map, Flat *out) {
  IHBIter *keys = nullptr;
  if (map->iterateKeys(&keys) < 0) return;
  hbtype_t keyType = HBTYPE_STRING;
  void *key;
  while (keys->getNext(&keyType, &key) >= 0) {
    const char *name = static_cast<const char *>(key);
    std::string path = prefix.empty() ? name : prefix + "." + name;
    hbtype_t type = HBTYPE_ANY;
    void *value = nullptr;
    ASSERT_EQ(map->getAtKey(name, &type, &value), 0);
    if (type == HBTYPE_STRING) {
      (*out)[path] = static_cast<const char *>(value);
    } else if (!hbtype__isPlain(type)) {
      flattenObject(path, static_cast<IHBObj *>(value), out);
      static_cast<IHBObj *>(value)->dnref();
    } else {
      (*out)[path] = "(plain)";
    }
  }
  keys->dnref();
}

inline void flattenObject(const std::string &path, IHBObj *object, Flat *out) {
  void *ifc = nullptr;
  if (object->getifc(HBTYPE_IID_IHBMAP, &ifc) == 0) {
    flattenMap(path, static_cast<IHBMap *>(ifc), out);
    static_cast<IHBObj *>(ifc)->dnref();
  } else if (object->getifc(HBTYPE_IID_IHBSTR, &ifc) == 0) {
    (*out)[path] = static_cast<IHBStr *>(ifc)->getString();
    static_cast<IHBObj *>(ifc)->dnref();
  } else if (object->getifc(HBTYPE_IID_IHBITER, &ifc) == 0) {
    auto *list = static_cast<IHBIter *>(ifc);
    hbtype_t type = HBTYPE_ANY;
    void *item = nullptr;
    int index = 0;
    while (list->getNext(&type, &item) >= 0) {
      std::string itemPath = path + "[" + std::to_string(index++) + "]";
      if (hbtype__isPlain(type)) {
        (*out)[itemPath] = "(plain)";
      } else {
        flattenObject(itemPath, static_cast<IHBObj *>(item), out);
        static_cast<IHBObj *>(item)->dnref();
      }
      type = HBTYPE_ANY;
    }
    void *again = nullptr;
    if (list->getifc(HBTYPE_CID_HBLISTITERATOR, &again) == 0) {
      static_cast<HBListIterator *>(again)->reset();
      static_cast<HBListIterator *>(again)->dnref();
    }
    if (index == 0) (*out)[path] = "[]";
    list->dnref();
  } else {
    (*out)[path] = "(object)";
  }
}

inline Flat flatten(IHBMap *map) {
  Flat out;
  flattenMap("", map, &out);
  return out;
}

inline std::string show(const Flat &flat) {
  std::string text;
  for (const auto &[k, v] : flat) text += k + "=" + v + "\n";
  return text;
}

}  // namespace hbrpctest
