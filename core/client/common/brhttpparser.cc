#include "brhttpparser.h"

#include <cstring>

#include "brstring.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int brhttpparser__findLine(const char *data, size_t length, size_t from, size_t *lineLength,
                           size_t *endLength) {
  for (size_t i = from; i < length; ++i) {
    if (data[i] == '\n') {
      *lineLength = i;
      *endLength = 1;
      return 1;
    }
    if (data[i] == '\r') {
      if (i + 1 == length) return 0;
      *lineLength = i;
      *endLength = data[i + 1] == '\n' ? 2 : 1;
      return 1;
    }
  }
  return 0;
}

brerror_t brhttpparser__parseStatusLine(const char *line, size_t *protoLength, int *code,
                                        const char **reason, const char **what) {
  const char *space = strchr(line, ' ');
  if (!space || space == line) {
    *what = "proto";
    return BRERROR_INVALID_ARGUMENT;
  }
  *protoLength = static_cast<size_t>(space - line);
  const char *p = space + 1;
  int value = 0;
  int digits = 0;
  while (*p >= '0' && *p <= '9') {
    if (++digits > 3) {
      *what = "code";
      return BRERROR_INVALID_ARGUMENT;
    }
    value = value * 10 + (*p - '0');
    ++p;
  }
  if (digits == 0) {
    *what = "code";
    return BRERROR_INVALID_ARGUMENT;
  }
  if (*p != ' ') {
    *what = "line";
    return BRERROR_INVALID_ARGUMENT;
  }
  *code = value;
  *reason = p + 1;
  return 0;
}

brerror_t brhttpparser__splitHeader(char *line, const char **name, const char **value) {
  char *colon = strchr(line, ':');
  if (!colon || colon == line) return BRERROR_INVALID_ARGUMENT;
  *colon = '\0';
  char *v = colon + 1;
  while (isBlank(*v)) ++v;
  size_t n = strlen(v);
  while (n > 0 && isBlank(v[n - 1])) v[--n] = '\0';
  *name = line;
  *value = v;
  return 0;
}

brerror_t brhttpparser__parseChunkSize(const char *line, int64_t *size) {
  const char *p = line;
  while (*p == '0' && brutil_hexDigitValue(p[1]) >= 0) ++p;
  uint64_t value = 0;
  int digits = 0;
  for (int d; (d = brutil_hexDigitValue(*p)) >= 0; ++p) {
    if (++digits > 15) return BRERROR_INVALID_ARGUMENT;
    value = value * 16 + static_cast<uint64_t>(d);
  }
  if (digits == 0) return BRERROR_INVALID_ARGUMENT;
  *size = static_cast<int64_t>(value);
  return 0;
}

brerror_t brhttpparser__parseLength(const char *text, int64_t *length) {
  const char *p = text;
  while (isBlank(*p)) ++p;
  uint64_t value = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (++digits > 19 || value > (uint64_t{1} << 62)) return BRERROR_INVALID_ARGUMENT;
  }
  while (isBlank(*p)) ++p;
  if (digits == 0 || *p != '\0') return BRERROR_INVALID_ARGUMENT;
  *length = static_cast<int64_t>(value);
  return 0;
}
