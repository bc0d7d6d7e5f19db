// hbjson: the incremental JSON reader of service replies and the client's
// own files.
//
// The parser accepts a subset of JSON: the root is an object with at least
// one member; values are strings (double or single quotes; only a backslash
// before a double quote is decoded, every other escape stays as written),
// bare tokens of 0-9, A-Z, a-z and "_" (numbers, true, false, null: kept as
// text), objects and arrays, nested at most 32 levels deep counting every
// open string or token. Keys may be strings or bare tokens. A document may
// arrive in pieces: when a string or token runs to the end of the text the
// parser keeps its start for the next call.
//
// The result is an HBMap in document order (flag 0x100) on one arena:
// strings and tokens are HBTYPE_STRING values, objects child maps
// (HBTYPE_IID_IHBMAP), arrays HBListIterators of IHBObj elements
// (HBTYPE_IID_IHBITER) whose strings are HBStrSA objects. The parser holds
// one reference on its result until cleanupParser; the wrappers hand one to
// the caller. Underneath, the state machine builds through HBJSONSink, which
// owns every container it opens until it is handed to its parent. One parser
// belongs to one thread.
#pragma once

#include <cstdint>

#include "brerror.h"
#include "hbstream.h"

class HBMap;

// Receives the items of a document. Containers are opaque handles; a
// container handed to setContainer belongs to its parent from then on,
// even when the call fails; one not yet handed over is released with
// dropContainer. The root map stays with the sink's owner.
class HBJSONSink {
 public:
  virtual ~HBJSONSink() = default;
  // The root map (parent null) or a child of `parent`.
  virtual brerror_t openMap(void *parent, void **out) = 0;
  virtual brerror_t openList(void *parent, void **out) = 0;
  // Copies a key so that it outlives the text it came from.
  virtual brerror_t keepKey(void *map, const char *text, int32_t length, const char **out) = 0;
  // Stores under `key` in a map, or appends to a list when `key` is null.
  // `text` is NUL-terminated.
  virtual brerror_t setString(void *container, const char *key, const char *text,
                              int32_t length) = 0;
  virtual brerror_t setContainer(void *container, const char *key, void *child,
                                 bool childIsList) = 0;
  // A list is complete.
  virtual void closeList(void *list) = 0;
  virtual void dropContainer(void *container, bool isList) = 0;
};

// Builds into an HBMap and its children.
class HBJSONMapSink : public HBJSONSink {
 public:
  HBMap *root = nullptr;

  brerror_t openMap(void *parent, void **out) override;
  brerror_t openList(void *parent, void **out) override;
  brerror_t keepKey(void *map, const char *text, int32_t length, const char **out) override;
  brerror_t setString(void *container, const char *key, const char *text,
                      int32_t length) override;
  brerror_t setContainer(void *container, const char *key, void *child,
                         bool childIsList) override;
  void closeList(void *list) override;
  void dropContainer(void *container, bool isList) override;
};

class HBJSONParser {
 public:
  enum State : uint8_t {
    TOP = 0,
    MAPSTART,
    MAPKEY,
    MAPKEYSEP,
    MAPVAL,
    MAPSEP,
    ARRAYSTART,
    ARRAYVAL,
    ARRAYSEP,
    TOKEN,
    QSTRING,
    FINISHED,
  };
  static constexpr int kMaxDepth = 32;

  HBJSONParser() = default;
  HBJSONParser(const HBJSONParser &) = delete;
  HBJSONParser &operator=(const HBJSONParser &) = delete;
  ~HBJSONParser() { cleanupParser(); }

  // Resets the parser to build into `map` (one reference taken), or into a
  // new map of a 1,024/1,024-byte arena when `map` is null. Insertion order
  // is switched on when the map is still empty. -19 when no map can be had.
  brerror_t initParser(HBMap *map);
  // Resets the parser to build into `sink` (which stays the caller's).
  void initWithSink(HBJSONSink *sink);
  // Releases the result map and every unfinished container.
  void cleanupParser();
  // The result so far (no reference added); null before initParser.
  HBMap *getMap() const { return mapSink_.root; }

  // Consumes what it can of text[0..*length). 0 when everything was
  // consumed (*length set to 0); -2 when a string or token runs to the end:
  // its start is moved to the front of `text` and *length set to its size,
  // for the caller to append more and call again. -6 for a character not
  // allowed in its place, -19 past 32 levels, -5 for more than white space
  // after the root object; *length is then the offset of that character and
  // every later call returns the same error. The text is changed in place.
  brerror_t parseBuffer(char *text, int32_t *length);

  bool isFinished() const { return depth_ == 1 && levels_[0].state == FINISHED; }
  static const char *getStateName(int state);

 private:
  struct Level {
    State state;
    State resumeState;  // string and token levels: the parent's state before
    bool isList;
    void *container;
    const char *key;
  };

  brerror_t push(State state, State parentNext, char c, int32_t offset);
  brerror_t fail(brerror_t error, const char *format, char c, int32_t offset);
  brerror_t completeScalar(char *text, int32_t length);
  brerror_t closeContainer();
  void releaseLevels();

  HBJSONMapSink mapSink_;
  HBJSONSink *sink_ = nullptr;
  Level levels_[kMaxDepth];
  int depth_ = 0;
  char quote_ = 0;
  brerror_t error_ = 0;
};

// Parses one complete document from text[0..length) (changed in place).
// Returns the bytes consumed (> 0) and the map in *out (one reference), or
// the parser's error; -2 when the text ends before the root object closes.
brerror_t HBJSON__parseBuffer(HBMap **out, char *text, int32_t length);

// Reads `stream` to its end through a 4,096-byte buffer and parses as it
// goes. 0 and the map in *out (one reference); -12 when one string or token
// does not fit in the buffer ("NOT ENOUGH BUFFER ROOM TO PARSE"), -2 when
// the stream ends before the root object closes, the parser's error, or the
// stream's read error.
brerror_t HBJSON__parseStream(HBMap **out, IHBStream *stream);
