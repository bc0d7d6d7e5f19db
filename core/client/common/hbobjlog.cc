#include "hbobjlog.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "brlog.h"
#include "hbstr.h"

namespace {

constexpr size_t kIndentBuffer = 256;

void logObjectAt(const char *tag, int severity, IHBObj *object, int depth);
void logMapAt(const char *tag, int severity, IHBMap *map, int depth);

// Three blanks per level.
class Indent {
 public:
  explicit Indent(int depth) {
    size_t blanks = static_cast<size_t>(depth) * 3;
    if (blanks > kIndentBuffer - 1) blanks = kIndentBuffer - 1;
    memset(text_, ' ', blanks);
    text_[blanks] = '\0';
  }
  const char *get() const { return text_; }

 private:
  char text_[kIndentBuffer];
};

// True when the level may be shown; else logs the cut-off line once.
bool enter(const char *tag, int severity, int depth) {
  if (depth <= HBOBJLOG_MAX_DEPTH) return true;
  brlog(tag, severity, "%s  -- ... (nested deeper than %d levels, not shown)\n",
        Indent(HBOBJLOG_MAX_DEPTH).get(), HBOBJLOG_MAX_DEPTH);
  return false;
}

bool namesSecret(const char *key) {
  return key && (strcasestr(key, "token") || strcasestr(key, "password"));
}

std::string shown(const char *key, const char *text) {
  if (!text) return "(null)";
  if (!namesSecret(key)) return text;
  return std::string(text, strnlen(text, 4)) + "\xE2\x80\xA6";
}

void logValue(const char *tag, int severity, const char *indent, const char *key, hbtype_t type,
              void *value, int depth) {
  if (type == HBTYPE_STRING) {
    brlog(tag, severity, "%s  -- [%s] -> [%s]\n", indent, key,
          shown(key, static_cast<const char *>(value)).c_str());
  } else if (type == HBTYPE_INT32) {
    brlog(tag, severity, "%s  -- [%s] -> [%d]\n", indent, key,
          static_cast<int>(reinterpret_cast<intptr_t>(value)));
  } else {
    brlog(tag, severity, "%s  -- [%s] -> {0x%x} %p\n", indent, key, type, value);
    if (!hbtype__isPlain(type) && value) {
      logObjectAt(tag, severity, static_cast<IHBObj *>(value), depth + 1);
    }
  }
}

void logHBMapAt(const char *tag, int severity, HBMap *map, int depth) {
  if (!enter(tag, severity, depth)) return;
  Indent indent(depth);
  HBRef<IHBIter> keys;
  if (map->iterateKeys(keys.out()) != BRERROR_NONE) return;
  void *key = nullptr;
  while (keys->getNext(nullptr, &key) == BRERROR_NONE) {
    HBMapEntry *entry = map->getAtKey(static_cast<const char *>(key));
    if (!entry) {
      brlog(tag, severity, "%s  -- [%s] -> NULL\n", indent.get(), static_cast<const char *>(key));
      continue;
    }
    logValue(tag, severity, indent.get(), entry->key, entry->type, entry->value, depth);
  }
}

// Any other IHBMap, through its keys and getAtKey.
void logMapAt(const char *tag, int severity, IHBMap *map, int depth) {
  void *self = nullptr;
  if (map->getifc(HBTYPE_CID_HBMAP, &self) == BRERROR_NONE) {
    HBRef<HBMap> hbmap(static_cast<HBMap *>(self));
    logHBMapAt(tag, severity, hbmap.get(), depth);
    return;
  }
  if (!enter(tag, severity, depth)) return;
  Indent indent(depth);
  HBRef<IHBIter> keys;
  if (map->iterateKeys(keys.out()) != BRERROR_NONE) return;
  void *key = nullptr;
  while (keys->getNext(nullptr, &key) == BRERROR_NONE) {
    const char *name = static_cast<const char *>(key);
    hbtype_t type = HBTYPE_ANY;
    void *value = nullptr;
    if (map->getAtKey(name, &type, &value) != BRERROR_NONE) {
      brlog(tag, severity, "%s  -- [%s] -> NULL\n", indent.get(), name);
      continue;
    }
    logValue(tag, severity, indent.get(), name, type, value, depth);
    if (!hbtype__isPlain(type) && value) static_cast<IHBObj *>(value)->dnref();
  }
}

void logObjectAt(const char *tag, int severity, IHBObj *object, int depth) {
  if (!enter(tag, severity, depth)) return;
  void *ifc = nullptr;
  if (!object) {
    brlog(tag, severity, "%s  ---> {UNKNOWN-IHBOBJ} %p\n", Indent(depth).get(), nullptr);
  } else if (object->getifc(HBTYPE_CID_HBLISTITERATOR, &ifc) == BRERROR_NONE) {
    HBRef<HBListIterator> iter(static_cast<HBListIterator *>(ifc));
    HBListIterator__logIteratorAt(tag, severity, iter.get(), depth);
  } else if (object->getifc(HBTYPE_IID_IHBMAP, &ifc) == BRERROR_NONE) {
    HBRef<IHBMap> map(static_cast<IHBMap *>(ifc));
    logMapAt(tag, severity, map.get(), depth);
  } else if (object->getifc(HBTYPE_IID_IHBSTR, &ifc) == BRERROR_NONE) {
    HBRef<IHBStr> str(static_cast<IHBStr *>(ifc));
    const char *text = str->getString();
    brlog(tag, severity, "%s  -- Str -> [%s]\n", Indent(depth).get(), text ? text : "(null)");
  } else {
    brlog(tag, severity, "%s  ---> {UNKNOWN-IHBOBJ} %p\n", Indent(depth).get(),
          static_cast<void *>(object));
  }
}

}  // namespace

void HBListIterator__logIteratorAt(const char *tag, int severity, HBListIterator *iterator,
                                   int depth) {
  if (!enter(tag, severity, depth)) return;
  Indent indent(depth);
  const char *name = iterator->name_;
  hbtype_t type = iterator->elementType_;
  int index = 0;
  for (brlist__node_t *node = iterator->position_; node; node = node->next, index++) {
    if (type == HBTYPE_STRING) {
      const char *text = node->value ? static_cast<const char *>(node->value) : "(null)";
      if (name) {
        brlog(tag, severity, "%s  -- Str(%s) -> [%s]\n", indent.get(), name, text);
      } else {
        brlog(tag, severity, "%s  -- Str -> [%s]\n", indent.get(), text);
      }
      continue;
    }
    if (name) {
      brlog(tag, severity, "%s  -- (%s)[%d] -> {0x%x} %p\n", indent.get(), name, index, type,
            node->value);
    } else {
      brlog(tag, severity, "%s  -- [%d] -> {0x%x} %p\n", indent.get(), index, type, node->value);
    }
    if (!hbtype__isPlain(type) && node->value) {
      logObjectAt(tag, severity, static_cast<IHBObj *>(node->value), depth + 1);
    }
  }
  iterator->reset();
}

// A dump nobody would see is not walked at all.
void HBMap__logMap(const char *tag, int severity, IHBMap *map) {
  if (severity > g_brlog_maxthreshold) return;
  logMapAt(tag, severity, map, 0);
}

void HBListIterator__logIterator(const char *tag, int severity, HBListIterator *iterator) {
  if (severity > g_brlog_maxthreshold) {
    iterator->reset();
    return;
  }
  HBListIterator__logIteratorAt(tag, severity, iterator, 0);
}

void IHBObj__log(const char *tag, int severity, IHBObj *object) {
  if (severity > g_brlog_maxthreshold) return;
  logObjectAt(tag, severity, object, 0);
}
