#include "hbcommandparser.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "brlog.h"
#include "hblistiter.h"
#include "hbmap.h"
#include "hbobjlog.h"
#include "hbstr.h"

namespace {

const char *localName(const char *name) {
  const char *colon = strchr(name, ':');
  return colon ? colon + 1 : name;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Every stored entry is charged its bytes plus this, for the result limit.
constexpr int64_t kEntryCost = 48;

HBCommandParser *parserOf(void *user) { return static_cast<HBCommandParser *>(user); }

}  // namespace

const BRXMLCallbacks HBCommandParser::callbacks = {
    [](BRXMLParser *, void *user) { parserOf(user)->documentStart(); },
    [](BRXMLParser *, void *user) { parserOf(user)->documentEnd(); },
    [](BRXMLParser *, const char *name, const char **attributes, void *user) {
      parserOf(user)->elementStart(name, attributes);
    },
    [](BRXMLParser *, const char *name, void *user) { parserOf(user)->elementEnd(name); },
    [](BRXMLParser *, const char *text, int32_t length, void *user) {
      parserOf(user)->characters(text, length);
    },
    nullptr,
};

HBCommandParserCore::~HBCommandParserCore() { cleanupParser(); }

brerror_t HBCommandParserCore::initParser(const char *method, HBMap *resultMap,
                                          const HBSoapType_s *typeList) {
  cleanupParser();
  BRXMLParser__init(&xml_);
  method_ = method ? method : "";
  result_ = resultMap;
  if (result_) result_->upref();
  typeList_ = typeList;
  depth_ = 0;
  skipped_ = 0;
  inResult_ = false;
  resultSeen_ = false;
  documentEnded_ = false;
  error_ = result_ ? 0 : BRERROR_INVALID_ARGUMENT;
  textLength_ = 0;
  stored_ = 0;
  return error_;
}

void HBCommandParserCore::cleanupParser() {
  if (result_) {
    brlog("SOAP", BRLOG_TRACE, "Full Response Arguments (MAP-MODE):\n");
    if (BRLOG_TRACE <= g_brlog_maxthreshold.load(std::memory_order_relaxed)) {
      HBMap__logMap("SOAP", BRLOG_TRACE, result_);
    }
    result_->dnref();
    result_ = nullptr;
  }
  free(text_);
  text_ = nullptr;
  textLength_ = textCapacity_ = 0;
}

void HBCommandParserCore::fail(brerror_t error) {
  if (error_ == 0) error_ = error;
}

bool HBCommandParserCore::account(int64_t bytes) {
  stored_ += bytes + kEntryCost;
  if (stored_ <= HBCMD_MAX_RESULT) return true;
  brlog("SOAP", BRLOG_ERROR, "Reply larger than %lld bytes -- stopping here\n",
        static_cast<long long>(HBCMD_MAX_RESULT));
  fail(BRERROR_NO_SPACE);
  return false;
}

brerror_t HBCommandParserCore::parseBuffer(char *buffer, int32_t *length) {
  if (error_ < 0) {
    *length = 0;
    return error_;
  }
  int32_t consumed = *length;
  brerror_t rc = BRXMLParser__parse_buffer(&xml_, buffer, &consumed, &callbacks, this);
  if (rc < 0) fail(rc);
  if (error_ < 0) {
    *length = 0;
    return error_;
  }
  memmove(buffer, buffer + consumed, static_cast<size_t>(*length - consumed));
  *length -= consumed;
  return BRERROR_NONE;
}

brerror_t HBCommandParserCore::finishParser() {
  if (error_ < 0) return error_;
  if (!xml_.started) return BRERROR_NONE;
  if (!documentEnded_) {
    brlog("SOAP", BRLOG_ERROR, "Reply ended inside the document!\n");
    return BRERROR_EOF;
  }
  if (depth_ > 0 || skipped_ > 0) {
    brlog("SOAP", BRLOG_ERROR, "Reply ended with %d elements still open!\n", depth_ + skipped_);
    return BRERROR_INVALID_ARGUMENT;
  }
  return BRERROR_NONE;
}

bool HBCommandParserCore::startsResult(const char *name) const {
  if (strcmp(name, "QXError") == 0 || strcmp(name, "VellooError") == 0) return true;
  size_t n = strlen(method_);
  if (strncmp(name, method_, n) != 0) return false;
  const char *suffix = name + n;
  return *suffix == '\0' || strcasecmp(suffix, "response") == 0 ||
         strcasecmp(suffix, "result") == 0;
}

bool HBCommandParserCore::namesList(const char *name) const {
  if (strcmp(name, "messages") == 0 || strcmp(name, "features") == 0) return true;
  for (const HBSoapType_s *t = typeList_; t && t->name; t++) {
    if (t->kind == HBSOAP_TYPE_LIST && strcmp(t->name, name) == 0) return true;
  }
  return false;
}

brerror_t HBCommandParserCore::openContainer(int index) {
  Level &level = levels_[index];
  if (level.kind == RESULT) {
    level.container = result_;
    level.isList = false;
    return BRERROR_NONE;
  }
  if (!account(static_cast<int64_t>(strlen(level.name)))) return error_;
  IHBObj *object;
  hbtype_t type;
  if (namesList(level.name)) {
    brlog("SOAP", BRLOG_DEBUG2, "SPECIAL LIST-CONVERT: %s\n", level.name);
    auto *list = new (std::nothrow)
        HBListIterator(nullptr, HBTYPE_IID_IHBOBJ, HBLISTITER_OWNS_LIST, nullptr);
    if (!list) return BRERROR_NO_MEMORY;
    level.container = list;
    level.isList = true;
    object = static_cast<IHBIter *>(list);
    type = HBTYPE_IID_IHBITER;
  } else {
    HBMap *map = result_->createChild(nullptr);
    if (!map) return BRERROR_NO_MEMORY;
    level.container = map;
    level.isList = false;
    object = static_cast<IHBMap *>(map);
    type = HBTYPE_IID_IHBMAP;
  }
  // The parent's container now holds the reference.
  HBRef<IHBObj> held(object);
  return store(index - 1, level.name, type, object);
}

brerror_t HBCommandParserCore::storeText(int index, const char *key, const char *text,
                                         int32_t length) {
  if (!account(length + static_cast<int64_t>(strlen(key)))) return error_;
  Level &parent = levels_[index];
  if (!parent.isList) {
    auto *map = static_cast<HBMap *>(parent.container);
    if (!map->getAtKey(key)) return map->setAtKey(key, HBTYPE_STRING, text, 0);
  }
  // In a list (or becoming one), a text travels as a string object.
  HBRef<HBStrSA> str(new (std::nothrow) HBStrSA(result_->getAllocator(), text, length));
  if (!str || !str->getString()) return BRERROR_NO_MEMORY;
  return store(index, key, HBTYPE_IID_IHBSTR, static_cast<IHBStr *>(str.get()));
}

brerror_t HBCommandParserCore::store(int index, const char *key, hbtype_t type,
                                     const void *value) {
  Level &parent = levels_[index];
  if (parent.isList) {
    auto *list = static_cast<HBListIterator *>(parent.container);
    brerror_t rc = list->appendChild(static_cast<IHBObj *>(const_cast<void *>(value)));
    list->reset();
    return rc;
  }
  auto *map = static_cast<HBMap *>(parent.container);
  HBMapEntry *existing = map->getAtKey(key);
  if (!existing) return map->setAtKey(key, type, value, 0);

  // A repeated name: its values gather in a list named after it.
  void *ifc = nullptr;
  if (existing->type == HBTYPE_IID_IHBITER &&
      static_cast<IHBObj *>(existing->value)->getifc(HBTYPE_CID_HBLISTITERATOR, &ifc) == 0) {
    HBRef<HBListIterator> list(static_cast<HBListIterator *>(ifc));
    const char *name = list->getNamedArgumentName();
    if (name && strcmp(name, key) == 0) {
      brerror_t rc = list->appendChild(static_cast<IHBObj *>(const_cast<void *>(value)));
      list->reset();
      return rc;
    }
  }
  brlog("SOAP", BRLOG_DEBUG2, "LIST-CONVERT: %s\n", key);
  HBRef<HBListIterator> list(
      new (std::nothrow) HBListIterator(nullptr, HBTYPE_IID_IHBOBJ, HBLISTITER_OWNS_LIST, key));
  if (!list) return BRERROR_NO_MEMORY;
  brerror_t rc;
  if (existing->type == HBTYPE_STRING) {
    const char *earlier = static_cast<const char *>(existing->value);
    HBRef<HBStrSA> str(new (std::nothrow) HBStrSA(result_->getAllocator(), earlier, -1));
    if (!str || !str->getString()) return BRERROR_NO_MEMORY;
    rc = list->appendChild(static_cast<IHBStr *>(str.get()));
  } else {
    rc = list->appendChild(static_cast<IHBObj *>(existing->value));
  }
  if (rc == 0) rc = list->appendChild(static_cast<IHBObj *>(const_cast<void *>(value)));
  if (rc < 0) return rc;
  list->reset();
  return map->setAtKey(key, HBTYPE_IID_IHBITER, static_cast<IHBIter *>(list.get()), 0);
}

void HBCommandParserCore::elementStart(const char *rawName, const char **attributes) {
  if (error_ < 0) return;
  if (depth_ >= HBCMD_MAX_NAMES || skipped_ > 0) {
    if (skipped_ == 0) {
      brlog("SOAP", BRLOG_WARNING,
            "WOW That is a deeply nested xml fragment. You will need to increase the size of the "
            "names array\n");
    }
    skipped_++;
    return;
  }
  const char *name = localName(rawName);
  Level &level = levels_[depth_];
  snprintf(level.name, sizeof level.name, "%s", name);
  level.typedString = false;
  level.hasChildren = false;
  level.isList = false;
  level.container = nullptr;
  textLength_ = 0;

  if (!inResult_) {
    level.kind = OUTSIDE;
    if (!resultSeen_ && startsResult(level.name)) {
      level.kind = RESULT;
      inResult_ = true;
      resultSeen_ = true;
      openContainer(depth_);
    }
    depth_++;
    return;
  }

  level.kind = ELEMENT;
  for (const char **a = attributes; a && a[0]; a += 2) {
    if (strcmp(localName(a[0]), "type") == 0 && strcmp(localName(a[1]), "string") == 0) {
      level.typedString = true;
    }
  }
  Level &parent = levels_[depth_ - 1];
  depth_++;
  if (!parent.hasChildren) {
    parent.hasChildren = true;
    if (!parent.container) {
      brerror_t rc = openContainer(depth_ - 2);
      if (rc < 0) fail(rc);
    }
  }
}

void HBCommandParserCore::characters(const char *text, int32_t length) {
  if (error_ < 0 || !inResult_ || skipped_ > 0 || depth_ == 0) return;
  if (levels_[depth_ - 1].hasChildren) return;
  if (textLength_ + length > HBCMD_MAX_TEXT) {
    brlog("SOAP", BRLOG_ERROR, "Text of <%s> longer than %d bytes -- stopping here\n",
          levels_[depth_ - 1].name, HBCMD_MAX_TEXT);
    fail(BRERROR_NO_SPACE);
    return;
  }
  if (textLength_ + length + 1 > textCapacity_) {
    int32_t capacity = textCapacity_ ? textCapacity_ : 256;
    while (capacity < textLength_ + length + 1) capacity *= 2;
    auto *grown = static_cast<char *>(realloc(text_, static_cast<size_t>(capacity)));
    if (!grown) {
      fail(BRERROR_NO_MEMORY);
      return;
    }
    text_ = grown;
    textCapacity_ = capacity;
  }
  memcpy(text_ + textLength_, text, static_cast<size_t>(length));
  textLength_ += length;
}

void HBCommandParserCore::elementEnd(const char *rawName) {
  if (skipped_ > 0) {
    skipped_--;
    return;
  }
  if (error_ < 0 || depth_ == 0) return;
  const char *name = localName(rawName);
  Level &level = levels_[depth_ - 1];
  if (strncmp(level.name, name, HBCMD_NAME_MAX) != 0) {
    brlog("SOAP", BRLOG_WARNING, " -- ACK We are in element: <%s> but end tag is <%s>\n",
          level.name, name);
    return;
  }
  depth_--;
  if (level.kind == RESULT) {
    inResult_ = false;
    return;
  }
  if (level.kind != ELEMENT || level.hasChildren) return;

  char empty[1] = {0};
  char *text = textLength_ > 0 ? text_ : empty;
  int32_t length = textLength_;
  textLength_ = 0;
  if (length > 0) {
    text[length] = '\0';
    BRXMLParser__unescape(text, &length);
    if (!level.typedString) {
      int32_t start = 0;
      while (start < length && isBlank(text[start])) start++;
      while (length > start && isBlank(text[length - 1])) length--;
      text += start;
      length -= start;
      text[length] = '\0';
    }
  }
  brerror_t rc = storeText(depth_ - 1, level.name, text, length);
  if (rc < 0) fail(rc);
}

int32_t HBCommandParser__faultText(char *buffer, int32_t size, int code, const char *description,
                                   const char *context, const char *extra) {
  // The parts are escaped so that the text stays well-formed XML whatever
  // the service put in them.
  auto append = [](void *ctx, void *data, int32_t length) -> brerror_t {
    static_cast<std::string *>(ctx)->append(static_cast<const char *>(data),
                                            static_cast<size_t>(length));
    return length;
  };
  std::string escaped[3];
  const char *parts[3] = {description ? description : "Unknown Error", context ? context : "",
                          extra ? extra : ""};
  for (int i = 0; i < 3; i++) BRXMLParser__escapeToStream(parts[i], append, &escaped[i]);
  char scratch[1];
  if (!buffer || size <= 0) {
    buffer = scratch;
    size = sizeof scratch;
  }
  int n = snprintf(buffer, static_cast<size_t>(size),
                   "<QXError><errorCode>%d</errorCode><errorDescription>%s</errorDescription>"
                   "<errorContext>%s%s</errorContext></QXError>",
                   code, escaped[0].c_str(), escaped[1].c_str(), escaped[2].c_str());
  return n < 0 ? BRERROR_INVALID_ARGUMENT : n;
}
