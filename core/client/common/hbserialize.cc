#include "hbserialize.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

int32_t formatted(char *buffer, int32_t size, const char *format, va_list args) {
  // Measuring goes through a scratch buffer so that vsnprintf always has
  // somewhere to write.
  char scratch[256];
  if (!buffer || size <= 0) {
    buffer = scratch;
    size = sizeof scratch;
  }
  int n = vsnprintf(buffer, static_cast<size_t>(size), format, args);
  return n < 0 ? BRERROR_INVALID_ARGUMENT : n;
}

}  // namespace

int32_t HBRPCSerialize__intHelper(char *buffer, int32_t size, int32_t value) {
  return HBRPCSerialize__sprintfHelper(buffer, size, "%d", value);
}

int32_t HBRPCSerialize__int64Helper(char *buffer, int32_t size, int64_t value) {
  return HBRPCSerialize__sprintfHelper(buffer, size, "%lld", static_cast<long long>(value));
}

int32_t HBRPCSerialize__sprintfHelper(char *buffer, int32_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int32_t n = formatted(buffer, size, format, args);
  va_end(args);
  return n;
}

int32_t HBRPCSerialize__stringHelper(char *buffer, int32_t size, const char *text) {
  if (!text) text = "";
  size_t length = strlen(text);
  if (buffer && size > 0) {
    size_t copied = length < static_cast<size_t>(size) - 1 ? length : static_cast<size_t>(size) - 1;
    memcpy(buffer, text, copied);
    buffer[copied] = '\0';
  }
  return static_cast<int32_t>(length);
}

brerror_t HBRPCSerialize__objectHelper(IHBObj *object, hbtype_t iid, void **out) {
  if (!object) return BRERROR_NO_ENTRY;
  if (iid == HBTYPE_ANY) {
    object->upref();
    *out = object;
    return BRERROR_NONE;
  }
  return object->getifc(iid, out);
}

const char *HBRPCSerialize__loggedValue(const char *name, const char *value, char *scratch,
                                        int32_t size) {
  if (!value) return "";
  if (!name) return value;
  if (strcasestr(name, "password")) return "XXXXXXXXXXXX";
  if (!strcasestr(name, "token")) return value;
  snprintf(scratch, static_cast<size_t>(size), "%.4s\xE2\x80\xA6", value);
  return scratch;
}
