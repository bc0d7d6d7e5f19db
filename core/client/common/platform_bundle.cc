#include "platform_bundle.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brlog.h"

namespace {

bool isFolder(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

brerror_t put(char *buffer, size_t size, const char *text) {
  int n = snprintf(buffer, size, "%s", text);
  if (n < 0) return BRERROR_UNSPECIFIED;
  return static_cast<size_t>(n) < size ? BRERROR_NONE : BRERROR_NAME_TOO_LONG;
}

}  // namespace

brerror_t platform__getBundleFolder(char *buffer, size_t size) {
  BRASSERT(buffer != nullptr);
  const char *named = getenv("JADEWELL_BUNDLE");
  if (named && named[0]) return isFolder(named) ? put(buffer, size, named) : BRERROR_NO_ENTRY;
  char program[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", program, sizeof program - 1);
  if (n <= 0) return BRERROR_NO_ENTRY;
  program[n] = '\0';
  char *slash = strrchr(program, '/');
  if (!slash) return BRERROR_NO_ENTRY;
  *slash = '\0';
  char bundle[PATH_MAX];
  if (snprintf(bundle, sizeof bundle, "%s/../share/jadewell", program) >= static_cast<int>(sizeof bundle)) {
    return BRERROR_NO_ENTRY;
  }
  return isFolder(bundle) ? put(buffer, size, bundle) : BRERROR_NO_ENTRY;
}

brerror_t platform__getBundleResource(const char *subdirectory, const char *name, char *buffer, size_t size) {
  BRASSERT(subdirectory != nullptr && name != nullptr && buffer != nullptr);
  char bundle[PATH_MAX];
  brerror_t rc = platform__getBundleFolder(bundle, sizeof bundle);
  if (rc != BRERROR_NONE) return rc;
  int n = snprintf(buffer, size, "%s/%s/%s", bundle, subdirectory, name);
  if (n < 0) return BRERROR_UNSPECIFIED;
  if (static_cast<size_t>(n) >= size) return BRERROR_NAME_TOO_LONG;
  return access(buffer, F_OK) == 0 ? BRERROR_NONE : BRERROR_NO_ENTRY;
}
