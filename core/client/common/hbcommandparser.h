// hbcommandparser: the streaming decoder of SOAP replies. It turns the
// result element of a call (or a "QXError" / "VellooError" element) into
// the call's result map, block by block, on top of the streaming XML reader.
//
// Rules: element names lose their namespace prefix; inside the result each
// element's text is stored under its name in its parent's map (unescaped,
// trimmed unless typed "xsd:string", the empty text for an empty element);
// an element with children becomes a child map; a repeated name becomes a
// list (named after the element); the children of "messages", "features"
// and type-list elements of kind 1 form a list whatever their names. At
// most HBCMD_MAX_NAMES nested names are tracked; deeper elements are
// skipped. An element's text may be at most HBCMD_MAX_TEXT bytes and the
// stored result at most HBCMD_MAX_RESULT bytes: past either the decoder
// stops with -12 and keeps what it has stored.
//
// The decoder holds one reference on the result map from initParser to
// cleanupParser. One decoder belongs to one thread.
#pragma once

#include <cstdint>

#include "brxml.h"
#include "hbsoap.h"

class HBMap;
class HBListIterator;

constexpr int HBCMD_MAX_NAMES = 32;
constexpr int32_t HBCMD_NAME_MAX = 255;
constexpr int32_t HBCMD_MAX_TEXT = 64 * 1024;
constexpr int64_t HBCMD_MAX_RESULT = 16 * 1024 * 1024;

// The callbacks of the XML reader, as virtual functions.
class HBCommandParser {
 public:
  virtual ~HBCommandParser() = default;
  virtual void documentStart() = 0;
  virtual void documentEnd() = 0;
  virtual void elementStart(const char *name, const char **attributes) = 0;
  virtual void elementEnd(const char *name) = 0;
  virtual void characters(const char *text, int32_t length) = 0;

  // The table that hands the reader's events to a parser passed as `user`.
  static const BRXMLCallbacks callbacks;
};

class HBCommandParserCore : public HBCommandParser {
 public:
  HBCommandParserCore() = default;
  HBCommandParserCore(const HBCommandParserCore &) = delete;
  HBCommandParserCore &operator=(const HBCommandParserCore &) = delete;
  ~HBCommandParserCore() override;

  // Starts a reply for `method` into `resultMap` (one reference taken).
  // `typeList` (may be null) must outlive the parse.
  brerror_t initParser(const char *method, HBMap *resultMap, const HBSoapType_s *typeList);
  // Decodes what is complete in buffer[0..*length), moves the rest to the
  // front and sets *length to its size. 0, or the first error (which every
  // later call returns again, consuming its input): -16 for text before the
  // first element, -12 past the limits, -19 out of memory.
  brerror_t parseBuffer(char *buffer, int32_t *length);
  // After the last block: the first error, -24 when the document began but
  // did not end, -6 when it ended with elements still open, else 0.
  brerror_t finishParser();
  // Logs the result map at trace level and drops the reference on it.
  void cleanupParser();

  void documentStart() override {}
  void documentEnd() override { documentEnded_ = true; }
  void elementStart(const char *name, const char **attributes) override;
  void elementEnd(const char *name) override;
  void characters(const char *text, int32_t length) override;

 private:
  enum Kind : uint8_t { OUTSIDE, RESULT, ELEMENT };
  struct Level {
    char name[HBCMD_NAME_MAX + 1];
    Kind kind;
    bool typedString;
    bool hasChildren;
    bool isList;      // container is a list of the children
    void *container;  // HBMap or HBListIterator of the children, once one came
  };

  bool startsResult(const char *name) const;
  bool namesList(const char *name) const;
  // Opens the container of `level`'s children and stores it in its parent.
  brerror_t openContainer(int index);
  // Stores one value under `key` in the container of level `index`.
  brerror_t store(int index, const char *key, hbtype_t type, const void *value);
  brerror_t storeText(int index, const char *key, const char *text, int32_t length);
  void fail(brerror_t error);
  bool account(int64_t bytes);

  BRXMLParser xml_{};
  const char *method_ = nullptr;
  HBMap *result_ = nullptr;
  const HBSoapType_s *typeList_ = nullptr;
  Level levels_[HBCMD_MAX_NAMES];
  int depth_ = 0;
  int skipped_ = 0;  // open elements beyond the tracked depth
  bool inResult_ = false;
  bool resultSeen_ = false;
  bool documentEnded_ = false;
  brerror_t error_ = 0;
  char *text_ = nullptr;  // the innermost element's raw text
  int32_t textLength_ = 0;
  int32_t textCapacity_ = 0;
  int64_t stored_ = 0;
};

// The "QXError" text of a fault: code, description ("Unknown Error" when
// null), context and `extra` appended to it, XML-escaped. Returns the full
// length like snprintf.
int32_t HBCommandParser__faultText(char *buffer, int32_t size, int code, const char *description,
                                   const char *context, const char *extra);
