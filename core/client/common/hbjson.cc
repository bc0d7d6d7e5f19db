#include "hbjson.h"

#include <cstring>
#include <memory>

#include "brlog.h"
#include "hblistiter.h"
#include "hbmap.h"
#include "hbstr.h"
#include "hbstralloc.h"

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isTokenChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool isQuote(char c) { return c == '"' || c == '\''; }

const char *const kStateNames[] = {
    "TOP",        "MAPSTART", "MAPKEY",   "MAPKEYSEP", "MAPVAL",  "MAPSEP",
    "ARRAYSTART", "ARRAYVAL", "ARRAYSEP", "TOKEN",     "QSTRING", "FINISHED",
};

}  // namespace

const char *HBJSONParser::getStateName(int state) {
  if (state < 0 || state > FINISHED) return "UNKNOWN";
  return kStateNames[state];
}

void HBJSONParser::releaseLevels() {
  // Level 0 holds the root, which the sink's owner keeps.
  for (int i = depth_ - 1; i >= 1; i--) {
    Level &level = levels_[i];
    if (level.container) sink_->dropContainer(level.container, level.isList);
  }
  depth_ = 0;
}

brerror_t HBJSONMapSink::openMap(void *parent, void **out) {
  if (!parent) {
    *out = root;
    return BRERROR_NONE;
  }
  HBMap *child = root->createChild(nullptr);
  if (!child) return BRERROR_NO_MEMORY;
  *out = child;
  return BRERROR_NONE;
}

brerror_t HBJSONMapSink::openList(void *, void **out) {
  *out = new HBListIterator(nullptr, HBTYPE_IID_IHBOBJ, HBLISTITER_OWNS_LIST, nullptr);
  return BRERROR_NONE;
}

brerror_t HBJSONMapSink::keepKey(void *map, const char *text, int32_t length, const char **out) {
  *out = static_cast<HBMap *>(map)->getAllocator()->adoptString(text, length);
  return *out ? BRERROR_NONE : BRERROR_NO_MEMORY;
}

// A null key means the container is a list.
brerror_t HBJSONMapSink::setString(void *container, const char *key, const char *text,
                                   int32_t length) {
  if (key) return static_cast<HBMap *>(container)->setAtKey(key, HBTYPE_STRING, text, 0);
  HBRef<HBStrSA> str(new HBStrSA(root->getAllocator(), text, length));
  if (!str->getString()) return BRERROR_NO_MEMORY;
  return static_cast<HBListIterator *>(container)->appendChild(static_cast<IHBStr *>(str.get()));
}

brerror_t HBJSONMapSink::setContainer(void *container, const char *key, void *child,
                                      bool childIsList) {
  // Stored as their interface pointers, which is what readers get back.
  IHBObj *object;
  hbtype_t type;
  if (childIsList) {
    object = static_cast<IHBIter *>(static_cast<HBListIterator *>(child));
    type = HBTYPE_IID_IHBITER;
  } else {
    object = static_cast<IHBMap *>(static_cast<HBMap *>(child));
    type = HBTYPE_IID_IHBMAP;
  }
  HBRef<IHBObj> held(object);
  if (key) return static_cast<HBMap *>(container)->setAtKey(key, type, object, 0);
  return static_cast<HBListIterator *>(container)->appendChild(object);
}

void HBJSONMapSink::closeList(void *list) { static_cast<HBListIterator *>(list)->reset(); }

void HBJSONMapSink::dropContainer(void *container, bool isList) {
  if (isList) {
    static_cast<HBListIterator *>(container)->dnref();
  } else {
    static_cast<HBMap *>(container)->dnref();
  }
}

brerror_t HBJSONParser::initParser(HBMap *map) {
  cleanupParser();
  if (map) {
    map->upref();
  } else {
    map = new HBMap(nullptr, 1024, 1024, nullptr);
    if (!map->getAllocator()) {
      map->dnref();
      return BRERROR_NO_MEMORY;
    }
  }
  // Switching the order of a map that already holds entries is not allowed.
  if (map->getMapSize() == 0) map->setFlags(map->getFlags() | HBMAP_FLAG_INSERTION_ORDER);
  mapSink_.root = map;
  initWithSink(&mapSink_);
  return BRERROR_NONE;
}

void HBJSONParser::cleanupParser() {
  if (sink_) releaseLevels();
  sink_ = nullptr;
  if (mapSink_.root) {
    mapSink_.root->dnref();
    mapSink_.root = nullptr;
  }
  depth_ = 0;
  quote_ = 0;
  error_ = 0;
}

void HBJSONParser::initWithSink(HBJSONSink *sink) {
  if (sink_) releaseLevels();
  sink_ = sink;
  depth_ = 1;
  levels_[0] = Level{TOP, TOP, false, nullptr, nullptr};
  quote_ = 0;
  error_ = 0;
}

brerror_t HBJSONParser::fail(brerror_t error, const char *format, char c, int32_t offset) {
  const Level &level = levels_[depth_ - 1];
  brlog("HBJSON", BRLOG_WARNING, format, depth_, getStateName(level.state), c, offset);
  error_ = error;
  return error;
}

brerror_t HBJSONParser::push(State state, State parentNext, char c, int32_t offset) {
  if (depth_ >= kMaxDepth) {
    return fail(BRERROR_NO_MEMORY, "DEPTH EXCEEDED IN STATE %d - '%s': '%c' @ %d\n", c, offset);
  }
  Level &parent = levels_[depth_ - 1];
  Level level{state, parent.state, state == ARRAYSTART, nullptr, nullptr};
  if (state == MAPSTART || state == ARRAYSTART) {
    brerror_t rc = state == MAPSTART ? sink_->openMap(parent.container, &level.container)
                                     : sink_->openList(parent.container, &level.container);
    if (rc < 0) {
      error_ = rc;
      return rc;
    }
  }
  parent.state = parentNext;
  levels_[depth_++] = level;
  return BRERROR_NONE;
}

brerror_t HBJSONParser::completeScalar(char *text, int32_t length) {
  depth_--;
  Level &parent = levels_[depth_ - 1];
  brerror_t rc;
  if (parent.state == MAPKEYSEP) {
    rc = sink_->keepKey(parent.container, text, length, &parent.key);
  } else {
    rc = sink_->setString(parent.container, parent.isList ? nullptr : parent.key, text, length);
  }
  if (rc < 0) error_ = rc;
  return rc;
}

brerror_t HBJSONParser::closeContainer() {
  if (depth_ == 1) {
    levels_[0].state = FINISHED;
    return BRERROR_NONE;
  }
  Level child = levels_[--depth_];
  Level &parent = levels_[depth_ - 1];
  if (child.isList) sink_->closeList(child.container);
  brerror_t rc = sink_->setContainer(parent.container, parent.isList ? nullptr : parent.key,
                                     child.container, child.isList);
  if (rc < 0) error_ = rc;
  return rc;
}

brerror_t HBJSONParser::parseBuffer(char *text, int32_t *length) {
  BRASSERT(sink_ && length && (text || *length == 0));
  if (error_ < 0) return error_;
  const int32_t len = *length;
  int32_t pos = 0;
  while (pos < len) {
    Level &level = levels_[depth_ - 1];
    const char c = text[pos];
    if (level.state == TOKEN || level.state == QSTRING) {
      int32_t start = pos;
      int32_t end = pos;
      if (level.state == TOKEN) {
        while (end < len && isTokenChar(text[end])) end++;
      } else {
        end++;  // the opening quote
        while (end < len && text[end] != quote_) end += text[end] == '\\' ? 2 : 1;
      }
      if (end >= len) {
        // Start the item over once the caller has appended more.
        levels_[depth_ - 2].state = level.resumeState;
        depth_--;
        memmove(text, text + start, static_cast<size_t>(len - start));
        *length = len - start;
        return BRERROR_TRY_AGAIN;
      }
      brerror_t rc;
      if (level.state == TOKEN) {
        char saved = text[end];
        text[end] = '\0';
        rc = completeScalar(text + start, end - start);
        text[end] = saved;
        pos = end;
      } else {
        // Only a backslash before a double quote is decoded.
        int32_t out = start + 1;
        for (int32_t in = start + 1; in < end; in++) {
          // Pairs as the scan above did, so a hidden character never is
          // the closing quote.
          if (text[in] == '\\') {
            if (text[in + 1] != '"') text[out++] = '\\';
            in++;
          }
          text[out++] = text[in];
        }
        text[out] = '\0';
        rc = completeScalar(text + start + 1, out - start - 1);
        pos = end + 1;
      }
      if (rc < 0) {
        *length = start;
        return rc;
      }
      continue;
    }
    if (isSpace(c)) {
      pos++;
      continue;
    }
    brerror_t rc = BRERROR_NONE;
    bool bad = false;
    switch (level.state) {
      case TOP:
        if (c == '{') {
          rc = sink_->openMap(nullptr, &level.container);
          if (rc < 0) error_ = rc;
          level.state = MAPKEY;
          pos++;
        } else {
          bad = true;
        }
        break;
      case MAPSTART:
      case ARRAYSTART:
        if (c == (level.state == MAPSTART ? '}' : ']')) {
          rc = closeContainer();
          pos++;
        } else {
          level.state = level.state == MAPSTART ? MAPKEY : ARRAYVAL;
        }
        break;
      case MAPKEY:
        if (isQuote(c)) {
          quote_ = c;
          rc = push(QSTRING, MAPKEYSEP, c, pos);
        } else if (isTokenChar(c)) {
          rc = push(TOKEN, MAPKEYSEP, c, pos);
        } else {
          bad = true;
        }
        break;
      case MAPKEYSEP:
        if (c == ':') {
          level.state = MAPVAL;
          pos++;
        } else if (c == '}') {
          rc = closeContainer();
          pos++;
        } else {
          bad = true;
        }
        break;
      case MAPVAL:
      case ARRAYVAL: {
        State next = level.state == MAPVAL ? MAPSEP : ARRAYSEP;
        if (isQuote(c)) {
          quote_ = c;
          rc = push(QSTRING, next, c, pos);
        } else if (isTokenChar(c)) {
          rc = push(TOKEN, next, c, pos);
        } else if (c == '[') {
          rc = push(ARRAYSTART, next, c, pos);
          pos++;
        } else if (c == '{') {
          rc = push(MAPSTART, next, c, pos);
          pos++;
        } else {
          bad = true;
        }
        break;
      }
      case MAPSEP:
      case ARRAYSEP: {
        bool isMap = level.state == MAPSEP;
        if (c == ',') {
          level.state = isMap ? MAPKEY : ARRAYVAL;
          pos++;
        } else if (c == (isMap ? '}' : ']')) {
          rc = closeContainer();
          pos++;
        } else {
          bad = true;
        }
        break;
      }
      case FINISHED:
        *length = pos;
        return fail(BRERROR_BAD_STATE, "BAD CHARACTER IN STATE %d - '%s': '%c' @ %d\n", c, pos);
      default:
        bad = true;
        break;
    }
    if (bad) {
      *length = pos;
      return fail(BRERROR_INVALID_ARGUMENT, "BAD CHARACTER IN STATE %d - '%s': '%c' @ %d\n", c,
                  pos);
    }
    if (rc < 0) {
      *length = pos;
      return rc;
    }
  }
  *length = 0;
  return BRERROR_NONE;
}

brerror_t HBJSON__parseBuffer(HBMap **out, char *text, int32_t length) {
  BRASSERT(out);
  HBJSONParser parser;
  brerror_t rc = parser.initParser(nullptr);
  if (rc < 0) return rc;
  int32_t left = length;
  rc = parser.parseBuffer(text, &left);
  if (rc < 0) return rc;
  // An unclosed root would otherwise pass for a whole document.
  if (!parser.isFinished()) return BRERROR_TRY_AGAIN;
  HBMap *map = parser.getMap();
  map->upref();
  *out = map;
  return length;
}

brerror_t HBJSON__parseStream(HBMap **out, IHBStream *stream) {
  BRASSERT(out && stream);
  constexpr int32_t kBufferSize = 4096;
  std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  HBJSONParser parser;
  brerror_t rc = parser.initParser(nullptr);
  if (rc < 0) return rc;
  int32_t fill = 0;
  for (;;) {
    brerror_t n = stream->read(buffer.get() + fill, kBufferSize - fill);
    if (n < 0) return n;
    if (n == 0) break;
    fill += n;
    int32_t length = fill;
    rc = parser.parseBuffer(buffer.get(), &length);
    if (rc == BRERROR_TRY_AGAIN) {
      fill = length;
      if (fill == kBufferSize) {
        brlog("HBJSON", BRLOG_ERROR, "NOT ENOUGH BUFFER ROOM TO PARSE: %d\n", fill);
        return BRERROR_NO_SPACE;
      }
      continue;
    }
    if (rc < 0) return rc;
    fill = 0;
  }
  if (fill > 0 || !parser.isFinished()) return BRERROR_TRY_AGAIN;
  HBMap *map = parser.getMap();
  map->upref();
  *out = map;
  return BRERROR_NONE;
}
