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
// What the parser builds goes through HBJSONSink, which owns every container
// it opens until it is handed to its parent. One parser belongs to one
// thread.
#pragma once

#include <cstdint>

#include "brerror.h"

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
  ~HBJSONParser() { releaseLevels(); }

  // Resets the parser to build into `sink`.
  void initWithSink(HBJSONSink *sink);

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

  HBJSONSink *sink_ = nullptr;
  Level levels_[kMaxDepth];
  int depth_ = 0;
  char quote_ = 0;
  brerror_t error_ = 0;
};
