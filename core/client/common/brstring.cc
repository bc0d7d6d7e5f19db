#include "brstring.h"

#include <cstring>

#include "brlog.h"

namespace {

constexpr char kDigits[] = "0123456789abcdef";

unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// The shared body of the unsigned parsers; `hex_digits` and `dec_digits`
// are the digit limits of the result width.
uint64_t parse_unsigned(const char *text, const char **end, int base, int hex_digits,
                        int dec_digits) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  while (is_space(*s)) s++;
  bool has_hex_prefix = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  if (base == 0) {
    if (has_hex_prefix) {
      base = 16;
    } else if (s[0] == '0' && is_digit(s[1])) {
      if (end) *end = reinterpret_cast<const char *>(s);
      return 0;
    } else {
      base = 10;
    }
  }
  uint64_t value = 0;
  if (base == 16) {
    if (has_hex_prefix) s += 2;
    int digit;
    for (int i = 0; i < hex_digits && (digit = brutil_hexDigitValue(*s)) >= 0; i++, s++) {
      value = value * 16 + static_cast<uint64_t>(digit);
    }
  } else if (base == 10) {
    for (int i = 0; i < dec_digits && is_digit(*s); i++, s++) {
      value = value * 10 + static_cast<uint64_t>(*s - '0');
    }
  }
  if (end) *end = reinterpret_cast<const char *>(s);
  return value;
}

const char *skip_sign(const char *text, bool *negative) {
  while (is_space(static_cast<unsigned char>(*text))) text++;
  *negative = *text == '-';
  if (*text == '-' || *text == '+') text++;
  return text;
}

int format_unsigned(uint64_t value, char *out, int width, int radix, char pad) {
  if (pad == 0) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = kDigits[value % static_cast<unsigned>(radix)];
      value /= static_cast<unsigned>(radix);
    } while (value != 0);
    for (int i = 0; i < n; i++) out[i] = digits[n - 1 - i];
    out[n] = 0;
    return n;
  }
  if (width < 0) width = 0;
  int i = width;
  out[i] = 0;
  while (i > 0 && value != 0) {
    out[--i] = kDigits[value % static_cast<unsigned>(radix)];
    value /= static_cast<unsigned>(radix);
  }
  if (i == width && i > 0) out[--i] = '0';
  while (i > 0) out[--i] = pad;
  return width;
}

// The formatters' common entry: radix 10 and 16 only, else a log line that
// names the caller and its own error value.
int format_radix(uint64_t value, char *out, int width, int radix, char pad, const char *caller,
                 int unsupported) {
  if (radix != 10 && radix != 16) {
    brlog("BRSTR", 2, "TODO: Implement radix %d in %s", radix, caller);
    return unsupported;
  }
  return format_unsigned(value, out, width, radix, pad);
}

// Appends bytes to a bounded buffer while whole pieces fit with a NUL; once
// one does not fit nothing more is written, so the output stays a prefix.
struct BoundedText {
  char *out;
  size_t size;
  size_t needed = 0;
  size_t written = 0;
  bool cut = false;

  void put(const char *piece, size_t n) {
    if (!cut && out && written + n < size) {
      memcpy(out + written, piece, n);
      written += n;
    } else {
      cut = true;
    }
    needed += n;
  }
  void finish() {
    if (out && size > 0) out[written] = 0;
  }
};

}  // namespace

int brstrcasecmp(const char *a, const char *b) {
  if (a == b) return 0;
  const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
  const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
  for (;; x++, y++) {
    int d = lower(*x) - lower(*y);
    if (d != 0 || *x == 0) return d;
  }
}

int brstrncasecmp(const char *a, const char *b, size_t n) {
  if (a == b) return 0;
  const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
  const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
  for (size_t i = 0; i < n; i++) {
    int d = lower(x[i]) - lower(y[i]);
    if (d != 0 || x[i] == 0) return d;
  }
  return 0;
}

int brstrdowncase(char *text, int length) {
  if (length == -1) length = static_cast<int>(strlen(text));
  if (length <= 0) return 0;
  for (int i = 0; i < length; i++) {
    text[i] = static_cast<char>(lower(static_cast<unsigned char>(text[i])));
  }
  return length;
}

char *brstrcatn(char *dst, const char *src, size_t size) {
  size_t used = strnlen(dst, size);
  if (used >= size) return nullptr;
  size_t room = size - used - 1;
  size_t n = strnlen(src, room);
  memcpy(dst + used, src, n);
  dst[used + n] = 0;
  return dst;
}

char *brstrtrim(char *text) {
  size_t n = strlen(text);
  while (n > 0 && is_space(static_cast<unsigned char>(text[n - 1]))) n--;
  text[n] = 0;
  while (is_space(static_cast<unsigned char>(*text))) text++;
  return text;
}

brerror_t brstrcanon(char *path) {
  brlog("BRSTR", 19, "Canoning: %s\n", path);
  // Segments are copied down to `w`; `w` never passes the read position, so
  // the work is done in place.
  const bool absolute = path[0] == '/';
  size_t w = 0;
  size_t r = 0;
  while (path[r] != 0) {
    while (path[r] == '/') r++;
    size_t start = r;
    while (path[r] != 0 && path[r] != '/') r++;
    size_t len = r - start;
    if (len == 0 || (len == 1 && path[start] == '.')) continue;
    if (len == 2 && path[start] == '.' && path[start + 1] == '.') {
      if (w == 0) {
        path[0] = 0;
        return BRERROR_INVALID_ARGUMENT;
      }
      while (w > 0 && path[w - 1] != '/') w--;
      if (w > 0) w--;
      continue;
    }
    if (absolute || w > 0) path[w++] = '/';
    memmove(path + w, path + start, len);
    w += len;
  }
  path[w] = 0;
  brlog("BRSTR", 19, "Canoned:  %s\n", path);
  return 0;
}

const void *brmemmem(const void *data, size_t dataLength, const void *needle,
                     size_t needleLength) {
  if (needleLength == 0) return data;
  if (needleLength > dataLength) return nullptr;
  const unsigned char *d = static_cast<const unsigned char *>(data);
  const unsigned char *n = static_cast<const unsigned char *>(needle);
  const unsigned char *last = d + (dataLength - needleLength);
  for (const unsigned char *p = d; p <= last; p++) {
    p = static_cast<const unsigned char *>(memchr(p, n[0], static_cast<size_t>(last - p) + 1));
    if (!p) return nullptr;
    if (memcmp(p, n, needleLength) == 0) return p;
  }
  return nullptr;
}

uint32_t brstrtoul(const char *text, const char **end, int base) {
  return static_cast<uint32_t>(parse_unsigned(text, end, base, 8, 10));
}

uint64_t brstrtoull(const char *text, const char **end, int base) {
  return parse_unsigned(text, end, base, 16, 20);
}

int32_t brstrtol(const char *text, const char **end, int base) {
  bool negative;
  uint32_t v = brstrtoul(skip_sign(text, &negative), end, base);
  return static_cast<int32_t>(negative ? 0u - v : v);
}

int64_t brstrtoll(const char *text, const char **end, int base) {
  bool negative;
  uint64_t v = brstrtoull(skip_sign(text, &negative), end, base);
  return static_cast<int64_t>(negative ? 0u - v : v);
}

int brultostr(uint32_t value, char *out, int width, int radix, char pad) {
  return format_radix(value, out, width, radix, pad, "brultostr", BRERROR_UNSUPPORTED);
}

int brulltostr(uint64_t value, char *out, int width, int radix, char pad) {
  return format_radix(value, out, width, radix, pad, "brultostr", BRERROR_UNSUPPORTED);
}

int brustostr(uint16_t value, char *out, int width, int radix, char pad) {
  return format_radix(value, out, width, radix, pad, "brustostr", BRERROR_UNSPECIFIED);
}

int brstr_ucs2_to_utf8(const uint16_t *units, int count, char *out, size_t size) {
  BoundedText text{out, size};
  int i = 0;
  auto more = [&]() { return count < 0 ? units[i] != 0 : i < count; };
  if (more() && units[0] == 0xFFFE) {
    brlog("BRSTR", 2, "ACK: Incoming UTF-16 string not host-order!\n");
    text.finish();
    return 0;
  }
  if (more() && units[0] == 0xFEFF) i++;
  for (; more(); i++) {
    uint16_t u = units[i];
    char b[3];
    size_t n;
    if (u < 0x80) {
      b[0] = static_cast<char>(u);
      n = 1;
    } else if (u < 0x800) {
      b[0] = static_cast<char>(0xC0 | (u >> 6));
      b[1] = static_cast<char>(0x80 | (u & 0x3F));
      n = 2;
    } else {
      b[0] = static_cast<char>(0xE0 | (u >> 12));
      b[1] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      b[2] = static_cast<char>(0x80 | (u & 0x3F));
      n = 3;
    }
    text.put(b, n);
  }
  text.finish();
  return static_cast<int>(text.needed);
}

int brstr_latin1_to_utf8(const char *text, int length, char *out, size_t size) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  size_t w = 0;
  for (int i = 0; (length < 0 || i < length) && s[i] != 0; i++) {
    size_t n = s[i] < 0x80 ? 1 : 2;
    if (out) {
      if (size == 0 || w + n > size - 1) {
        brlog("UTF8", 1, "No more room converting Latin-1 to UTF-8!\n");
        break;
      }
      if (n == 1) {
        out[w] = static_cast<char>(s[i]);
      } else {
        out[w] = static_cast<char>(0xC0 | (s[i] >> 6));
        out[w + 1] = static_cast<char>(0x80 | (s[i] & 0x3F));
      }
    }
    w += n;
  }
  if (!out) return static_cast<int>(w + 1);
  if (size == 0) return 0;
  out[w] = 0;
  return static_cast<int>(w + 1);
}

int brutil_hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

brerror_t brutil_toHexString(const void *data, size_t length, char *out, size_t size) {
  if (size == 0) return 0;
  const unsigned char *d = static_cast<const unsigned char *>(data);
  size_t n = (size - 1) / 2;
  if (n > length) n = length;
  for (size_t i = 0; i < n; i++) {
    out[2 * i] = kDigits[d[i] >> 4];
    out[2 * i + 1] = kDigits[d[i] & 0xF];
  }
  out[2 * n] = 0;
  return 0;
}

int brutil_pescape(char *out, size_t size, const void *data, size_t length) {
  BoundedText text{out, size};
  const unsigned char *d = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < length; i++) {
    unsigned char c = d[i];
    char esc[4] = {'\\', 0, 0, 0};
    switch (c) {
      case 0: esc[1] = '0'; text.put(esc, 2); break;
      case '\n': esc[1] = 'n'; text.put(esc, 2); break;
      case '\r': esc[1] = 'r'; text.put(esc, 2); break;
      case '\\': esc[1] = '\\'; text.put(esc, 2); break;
      default:
        if (c < 32 || c > 126) {
          esc[1] = 'x';
          esc[2] = kDigits[c >> 4];
          esc[3] = kDigits[c & 0xF];
          text.put(esc, 4);
        } else {
          text.put(reinterpret_cast<const char *>(&c), 1);
        }
    }
  }
  text.finish();
  return static_cast<int>(text.needed);
}
