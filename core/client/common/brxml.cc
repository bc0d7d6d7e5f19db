#include "brxml.h"

#include <cstdlib>
#include <cstring>

#include "brlog.h"
#include "brunicode.h"

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Offsets of one collected attribute inside the text.
struct AttributeSpan {
  int32_t name, nameEnd;
  int32_t value, valueEnd;  // value < 0: no "=", the value is empty
};

struct StartTag {
  int32_t nameEnd;
  bool selfClosing;
  int count;
  AttributeSpan attributes[BRXML_MAX_ATTRIBUTES];
};

int32_t skipSpace(const char *t, int32_t pos, int32_t len) {
  while (pos < len && isSpace(t[pos])) pos++;
  return pos;
}

// Reads a start tag whose name begins at `pos` without changing the text.
// Returns the offset after its ">", or -1 when the tag is not complete.
int32_t scanStartTag(const char *t, int32_t pos, int32_t len, StartTag *tag) {
  while (pos < len && !isSpace(t[pos]) && t[pos] != '/' && t[pos] != '>') pos++;
  tag->nameEnd = pos;
  tag->selfClosing = false;
  tag->count = 0;
  for (;;) {
    pos = skipSpace(t, pos, len);
    if (pos >= len) return -1;
    if (t[pos] == '>') return pos + 1;
    if (t[pos] == '/') {
      if (++pos >= len) return -1;
      if (t[pos] == '>') {
        tag->selfClosing = true;
        return pos + 1;
      }
      continue;
    }
    AttributeSpan span;
    span.name = pos;
    while (pos < len && !isSpace(t[pos]) && t[pos] != '=' && t[pos] != '>' && t[pos] != '/') {
      pos++;
    }
    span.nameEnd = pos;
    span.value = span.valueEnd = -1;
    int32_t after = skipSpace(t, pos, len);
    if (after >= len) return -1;
    if (t[after] == '=') {
      pos = skipSpace(t, after + 1, len);
      if (pos >= len) return -1;
      if (t[pos] == '"' || t[pos] == '\'') {
        const void *close = memchr(t + pos + 1, t[pos], static_cast<size_t>(len - pos - 1));
        if (!close) return -1;
        span.value = pos + 1;
        span.valueEnd = static_cast<int32_t>(static_cast<const char *>(close) - t);
        pos = span.valueEnd + 1;
      } else {
        span.value = pos;
        while (pos < len && !isSpace(t[pos]) && t[pos] != '>') pos++;
        if (pos >= len) return -1;
        span.valueEnd = pos;
      }
    }
    if (tag->count < BRXML_MAX_ATTRIBUTES) tag->attributes[tag->count++] = span;
  }
}

bool isRoot(const BRXMLParser *parser, const char *name) {
  size_t length = strlen(name);
  if (static_cast<int32_t>(length) != parser->rootLength) return false;
  size_t kept = length < BRXML_ROOT_NAME_MAX ? length : BRXML_ROOT_NAME_MAX;
  return memcmp(name, parser->rootName, kept) == 0;
}

// Text is handed over NUL-terminated; the byte after it is put back.
void reportText(BRXMLParser *parser, char *text, int32_t length, const BRXMLCallbacks *cb,
                void *user) {
  if (!cb || !cb->characters || length <= 0) return;
  char saved = text[length];
  text[length] = '\0';
  cb->characters(parser, text, length, user);
  text[length] = saved;
}

void handleStartTag(BRXMLParser *parser, char *t, int32_t namePos, const StartTag &tag,
                    const BRXMLCallbacks *cb, void *user) {
  // The tag has been read to its end, so the terminators may be overwritten.
  const char *attributes[2 * BRXML_MAX_ATTRIBUTES + 1];
  int n = 0;
  for (int i = 0; i < tag.count; i++) {
    const AttributeSpan &a = tag.attributes[i];
    attributes[n++] = t + a.name;
    attributes[n++] = a.value < 0 ? "" : t + a.value;
  }
  attributes[n] = nullptr;
  t[tag.nameEnd] = '\0';
  for (int i = 0; i < tag.count; i++) {
    t[tag.attributes[i].nameEnd] = '\0';
    if (tag.attributes[i].value >= 0) t[tag.attributes[i].valueEnd] = '\0';
  }
  const char *name = t + namePos;
  bool opensDocument = !parser->started;
  if (opensDocument) {
    parser->started = true;
    size_t length = strlen(name);
    size_t kept = length < BRXML_ROOT_NAME_MAX ? length : BRXML_ROOT_NAME_MAX;
    memcpy(parser->rootName, name, kept);
    parser->rootName[kept] = '\0';
    parser->rootLength = static_cast<int32_t>(length);
    if (cb && cb->documentStart) cb->documentStart(parser, user);
  }
  if (cb && cb->elementStart) cb->elementStart(parser, name, attributes, user);
  if (tag.selfClosing && cb && cb->elementEnd) cb->elementEnd(parser, name, user);
  // A self-closing root is the whole document.
  if (tag.selfClosing && opensDocument && cb && cb->documentEnd) cb->documentEnd(parser, user);
}

// The replacement for one byte, or null to copy it.
const char *escapeOf(unsigned char c, bool tag) {
  switch (c) {
    case '"': return "&quot;";
    case '&': return "&amp;";
    case '\'': return "&#x27;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '\t': return tag ? "_" : nullptr;
    case '\n':
    case '\r': return nullptr;
    case ' ': return tag ? "_" : nullptr;
    default: return c < 0x20 ? "_" : nullptr;
  }
}

brerror_t escapeInto(const char *text, char *output, int32_t size, bool tag) {
  if (!text) {
    brlog("BRXML", BRLOG_ERROR, "NOT ESCAPING NULL STRING\n");
    return BRERROR_UNSPECIFIED;
  }
  if (!output || size <= 0) return BRERROR_UNSPECIFIED;
  int32_t out = 0;
  for (const char *p = text; *p; p++) {
    const char *replacement = escapeOf(static_cast<unsigned char>(*p), tag);
    int32_t pieceLength = replacement ? static_cast<int32_t>(strlen(replacement)) : 1;
    // The piece and the final NUL must both fit.
    if (pieceLength >= size - out) {
      output[out] = '\0';
      return BRERROR_UNSPECIFIED;
    }
    if (replacement) {
      memcpy(output + out, replacement, static_cast<size_t>(pieceLength));
    } else {
      output[out] = *p;
    }
    out += pieceLength;
  }
  output[out] = '\0';
  return out;
}

brerror_t escapeToStream(const char *text, hbstream_xmlio_f write, void *stream, bool tag) {
  if (!text) {
    brlog("BRXML", BRLOG_ERROR, "NOT ESCAPING NULL STRING\n");
    return BRERROR_UNSPECIFIED;
  }
  brerror_t total = 0;
  const char *run = text;
  auto flushRun = [&](const char *end) -> brerror_t {
    if (end == run) return 0;
    brerror_t rc = write(stream, const_cast<char *>(run), static_cast<int32_t>(end - run));
    if (rc < 0) return rc;
    total += static_cast<brerror_t>(end - run);
    return 0;
  };
  const char *p = text;
  for (; *p; p++) {
    const char *replacement = escapeOf(static_cast<unsigned char>(*p), tag);
    if (!replacement) continue;
    brerror_t rc = flushRun(p);
    if (rc < 0) return rc;
    int32_t length = static_cast<int32_t>(strlen(replacement));
    rc = write(stream, const_cast<char *>(replacement), length);
    if (rc < 0) return rc;
    total += length;
    run = p + 1;
  }
  brerror_t rc = flushRun(p);
  return rc < 0 ? rc : total;
}

// The code point of "#123" or "#x7B"; -1 when it is not a number.
int64_t numericEntity(const char *name, int32_t length) {
  if (length < 2 || name[0] != '#') return -1;
  int base = 10;
  int32_t i = 1;
  if (name[1] == 'x' || name[1] == 'X') {
    base = 16;
    i = 2;
    if (length < 3) return -1;
  }
  int64_t value = 0;
  for (; i < length; i++) {
    char c = name[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return -1;
    }
    value = value * base + digit;
    if (value > 0x10FFFF) return -1;
  }
  return value;
}

}  // namespace

void BRXMLParser__init(BRXMLParser *parser) { memset(parser, 0, sizeof *parser); }

brerror_t BRXMLParser__parse_buffer(BRXMLParser *parser, char *text, int32_t *length,
                                    const BRXMLCallbacks *cb, void *user) {
  BRASSERT(parser && length && (text || *length == 0));
  const int32_t len = *length;
  int32_t pos = 0;
  while (pos < len) {
    if (text[pos] != '<') {
      const void *lt = memchr(text + pos, '<', static_cast<size_t>(len - pos));
      int32_t end = lt ? static_cast<int32_t>(static_cast<const char *>(lt) - text) : len;
      if (!parser->started) {
        for (int32_t i = pos; i < end; i++) {
          if (!isSpace(text[i])) {
            int shown = len - i < 64 ? len - i : 64;
            brlog("XML", BRLOG_ERROR, "Bad XML input: %.*s!\n", shown, text + i);
            *length = i;
            return BRERROR_UNSUPPORTED;
          }
        }
        pos = end;
        continue;
      }
      if (!lt) {
        // Keep the last byte back so that the run can be NUL-terminated
        // without writing past the caller's text.
        reportText(parser, text + pos, end - 1 - pos, cb, user);
        if (end - 1 > pos) pos = end - 1;
        break;
      }
      reportText(parser, text + pos, end - pos, cb, user);
      pos = end;
      continue;
    }
    if (pos + 1 >= len) break;
    char kind = text[pos + 1];
    if (kind == '!' || kind == '?' || kind == '/') {
      const void *gt = memchr(text + pos, '>', static_cast<size_t>(len - pos));
      if (!gt) break;
      int32_t close = static_cast<int32_t>(static_cast<const char *>(gt) - text);
      if (kind == '/') {
        int32_t nameEnd = pos + 2;
        while (nameEnd < close && !isSpace(text[nameEnd])) nameEnd++;
        text[nameEnd] = '\0';
        const char *name = text + pos + 2;
        if (cb && cb->elementEnd) cb->elementEnd(parser, name, user);
        if (parser->started && isRoot(parser, name) && cb && cb->documentEnd) {
          cb->documentEnd(parser, user);
        }
      }
      pos = close + 1;
      continue;
    }
    StartTag tag;
    int32_t next = scanStartTag(text, pos + 1, len, &tag);
    if (next < 0) break;
    handleStartTag(parser, text, pos + 1, tag, cb, user);
    pos = next;
  }
  *length = pos;
  return BRERROR_NONE;
}

brerror_t BRXMLParser__parse_stream(BRXMLParser *parser, hbstream_xmlio_f read,
                                    void *readContext, const BRXMLCallbacks *cb, void *user) {
  BRASSERT(parser && read);
  bool owned = false;
  if (!parser->buffer) {
    parser->buffer = static_cast<char *>(malloc(BRXML_BUFFER_SIZE));
    if (!parser->buffer) return BRERROR_UNSPECIFIED;
    parser->bufferSize = BRXML_BUFFER_SIZE;
    owned = true;
  }
  if (parser->bufferSize <= 0) return BRERROR_UNSPECIFIED;
  parser->bufferFill = 0;
  brerror_t rc = BRERROR_NONE;
  for (;;) {
    if (parser->bufferFill == parser->bufferSize) {
      // One tag fills the whole buffer and can never complete.
      rc = BRERROR_NO_SPACE;
      break;
    }
    brerror_t n = read(readContext, parser->buffer + parser->bufferFill,
                       parser->bufferSize - parser->bufferFill);
    if (n < 0) {
      rc = n;
      break;
    }
    if (n == 0) break;
    parser->bufferFill += n;
    int32_t consumed = parser->bufferFill;
    rc = BRXMLParser__parse_buffer(parser, parser->buffer, &consumed, cb, user);
    memmove(parser->buffer, parser->buffer + consumed,
            static_cast<size_t>(parser->bufferFill - consumed));
    parser->bufferFill -= consumed;
    if (rc < 0) break;
  }
  if (owned) {
    free(parser->buffer);
    parser->buffer = nullptr;
    parser->bufferSize = 0;
    parser->bufferFill = 0;
  }
  return rc;
}

brerror_t BRXMLParser__escape(const char *text, char *output, int32_t size) {
  return escapeInto(text, output, size, false);
}

brerror_t BRXMLParser__escapeTag(const char *text, char *output, int32_t size) {
  return escapeInto(text, output, size, true);
}

brerror_t BRXMLParser__escapeToStream(const char *text, hbstream_xmlio_f write, void *stream) {
  return escapeToStream(text, write, stream, false);
}

brerror_t BRXMLParser__escapeTagToStream(const char *text, hbstream_xmlio_f write,
                                         void *stream) {
  return escapeToStream(text, write, stream, true);
}

brerror_t BRXMLParser__unescape(char *text, int32_t *length) {
  BRASSERT(text && length);
  const int32_t len = *length;
  int32_t in = 0, out = 0;
  brerror_t rc = BRERROR_NONE;
  while (in < len) {
    if (text[in] != '&') {
      text[out++] = text[in++];
      continue;
    }
    int32_t end = in + 1;
    while (end < len && text[end] != ';' && !isSpace(text[end])) end++;
    if (end >= len) {
      // No ";" follows: the rest cannot be decoded and is dropped.
      in = len;
      break;
    }
    if (text[end] != ';') {
      rc = BRERROR_UNSPECIFIED;
      memmove(text + out, text + in, static_cast<size_t>(len - in));
      out += len - in;
      in = len;
      break;
    }
    const char *name = text + in + 1;
    int32_t nameLength = end - in - 1;
    char single = 0;
    if (nameLength == 3 && memcmp(name, "amp", 3) == 0) {
      single = '&';
    } else if (nameLength == 4 && memcmp(name, "apos", 4) == 0) {
      single = '\'';
    } else if (nameLength == 4 && memcmp(name, "quot", 4) == 0) {
      single = '"';
    } else if (nameLength == 2 && memcmp(name, "lt", 2) == 0) {
      single = '<';
    } else if (nameLength == 2 && memcmp(name, "gt", 2) == 0) {
      single = '>';
    }
    if (single) {
      text[out++] = single;
    } else {
      int64_t codepoint = numericEntity(name, nameLength);
      if (codepoint > 0) {
        // A numeric reference is at least one byte longer than its UTF-8
        // form, so the output never overtakes the input.
        char utf8[4];
        int n = brunicode_cptoutf8(static_cast<uint32_t>(codepoint), utf8, sizeof utf8);
        if (n > 0) {
          memcpy(text + out, utf8, static_cast<size_t>(n));
          out += n;
        }
      } else {
        // end + 1 <= len, and the caller's text has room for a NUL there.
        char saved = text[end + 1];
        text[end + 1] = '\0';
        brlog("BRXML", BRLOG_WARNING, "UNHANDLED ESCAPE SEQUENCE: %d at %s\n", nameLength + 2,
              text + in);
        text[end + 1] = saved;
      }
    }
    in = end + 1;
  }
  text[out] = '\0';
  *length = out;
  return rc;
}
