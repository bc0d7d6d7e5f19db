#include "hbproperties.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex g_instanceLock;
HBProperties *g_instance = nullptr;  // guarded by g_instanceLock

// Whole text as a number with base detection, within [low, high].
brerror_t parseInteger(const char *text, int64_t low, int64_t high, int64_t *out) {
  if (*text == '\0') return BRERROR_UNSPECIFIED;
  char *end = nullptr;
  errno = 0;
  long long value = strtoll(text, &end, 0);
  if (errno != 0 || *end != '\0' || value < low || value > high) return BRERROR_UNSPECIFIED;
  *out = value;
  return 0;
}

}  // namespace

brerror_t HBProperties::getPropertyInt(const char *name, int32_t *out) {
  char text[32];
  brerror_t err = getProperty(name, text, sizeof text);
  if (err < 0) return err;
  int64_t value;
  err = parseInteger(text, INT32_MIN, INT32_MAX, &value);
  if (err < 0) return err;
  *out = static_cast<int32_t>(value);
  return 0;
}

brerror_t HBProperties::putPropertyInt(const char *name, int32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  return putProperty(name, text);
}

brerror_t HBProperties::getPropertyInt64(const char *name, int64_t *out) {
  char text[32];
  brerror_t err = getProperty(name, text, sizeof text);
  if (err < 0) return err;
  return parseInteger(text, INT64_MIN, INT64_MAX, out);
}

brerror_t HBProperties::putPropertyInt64(const char *name, int64_t value) {
  char text[24];
  snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  return putProperty(name, text);
}

brerror_t HBProperties__setInstance(HBProperties *store) {
  if (store) store->upref();
  HBProperties *previous;
  {
    std::lock_guard<std::mutex> guard(g_instanceLock);
    previous = g_instance;
    g_instance = store;
  }
  if (previous) previous->dnref();
  return 0;
}

brerror_t HBProperties__getInstance(HBProperties **out) {
  std::lock_guard<std::mutex> guard(g_instanceLock);
  if (!g_instance) return BRERROR_NO_ENTRY;
  g_instance->upref();
  *out = g_instance;
  return 0;
}

brerror_t HBProperites__getProperty(const char *name, char *buffer, int32_t size) {
  HBRef<HBProperties> store;
  brerror_t err = HBProperties__getInstance(store.out());
  if (err < 0) return err;
  return store->getProperty(name, buffer, size);
}
