// brxml: the streaming XML reader of RPC replies, and XML escaping.
//
// The parser does not validate: it reports the document, elements with
// their attributes, and raw text to a table of callbacks, and accepts the
// document in pieces. It works in place: NUL bytes are written at the ends
// of names and values, so the pointers handed to callbacks stay valid only
// during the callback. A text run is NUL-terminated during its callback and
// its following byte restored afterwards. "<!" and "<?" constructs are
// skipped; `cdata` is never called. One parser belongs to one thread.
#pragma once

#include <cstdint>

#include "brerror.h"
#include "hbstream.h"

constexpr int BRXML_ROOT_NAME_MAX = 49;
constexpr int BRXML_MAX_ATTRIBUTES = 49;
constexpr int32_t BRXML_BUFFER_SIZE = 4096;

struct BRXMLParser;

// Any entry may be null. `attributes` is name, value, name, value, ...,
// ended by a null name.
struct BRXMLCallbacks {
  void (*documentStart)(BRXMLParser *parser, void *user);
  void (*documentEnd)(BRXMLParser *parser, void *user);
  void (*elementStart)(BRXMLParser *parser, const char *name, const char **attributes,
                       void *user);
  void (*elementEnd)(BRXMLParser *parser, const char *name, void *user);
  void (*characters)(BRXMLParser *parser, const char *text, int32_t length, void *user);
  void (*cdata)(BRXMLParser *parser, const char *text, int32_t length, void *user);
};

// A caller may set `buffer` and `bufferSize` before parse_stream to supply
// its own read buffer (which stays the caller's).
struct BRXMLParser {
  bool started;
  char rootName[BRXML_ROOT_NAME_MAX + 1];
  int32_t rootLength;  // length of the root element's full name
  char *buffer;
  int32_t bufferSize;
  int32_t bufferFill;
};

void BRXMLParser__init(BRXMLParser *parser);

// Parses what is complete in `text` and sets *length to the bytes consumed;
// the caller offers the rest again with more data. 0, or -16 when text
// other than white space comes before the first element.
brerror_t BRXMLParser__parse_buffer(BRXMLParser *parser, char *text, int32_t *length,
                                    const BRXMLCallbacks *callbacks, void *user);

// Reads with `read` until it returns 0 or less and parses as it goes.
// Returns a negative read result, -12 when one element tag does not fit in
// the buffer, -1 when no buffer can be had, else the last parse result.
brerror_t BRXMLParser__parse_stream(BRXMLParser *parser, hbstream_xmlio_f read,
                                    void *readContext, const BRXMLCallbacks *callbacks,
                                    void *user);

// Writes the escaped text and a NUL into `output` (`size` bytes); returns
// the length, or -1 for a null text or when an entity or the NUL would not
// fit (`output` then holds the whole pieces that fit). The tag forms also
// turn blanks and tabs into "_".
brerror_t BRXMLParser__escape(const char *text, char *output, int32_t size);
brerror_t BRXMLParser__escapeTag(const char *text, char *output, int32_t size);

// The same, handing each piece to `write(stream, piece, length)` (for
// example HBStream__xmlWriter). Returns the bytes handed over, -1 for a
// null text, or the first failed write's result.
brerror_t BRXMLParser__escapeToStream(const char *text, hbstream_xmlio_f write, void *stream);
brerror_t BRXMLParser__escapeTagToStream(const char *text, hbstream_xmlio_f write,
                                         void *stream);

// Decodes entities in place in `text` (which has room for a NUL after
// *length bytes), NUL-terminates it and sets *length. 0, or -1 when white
// space occurs inside an entity (the rest is then kept as it was).
brerror_t BRXMLParser__unescape(char *text, int32_t *length);
