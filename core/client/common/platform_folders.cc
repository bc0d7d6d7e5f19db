#include "platform_folders.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brlog.h"

namespace {

brerror_t put(char *buffer, size_t size, const char *head, const char *tail) {
  int n = snprintf(buffer, size, "%s%s", head, tail);
  if (n < 0) return BRERROR_UNSPECIFIED;
  return static_cast<size_t>(n) < size ? BRERROR_NONE : BRERROR_NAME_TOO_LONG;
}

const char *home_folder(char *scratch, size_t size) {
  const char *home = getenv("HOME");
  if (home && home[0] == '/') return home;
  struct passwd entry;
  struct passwd *found = nullptr;
  if (getpwuid_r(geteuid(), &entry, scratch, size, &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return nullptr;
}

brerror_t user_folder(char *buffer, size_t size, const char *xdg_variable,
                      const char *home_relative, const char *root_folder) {
  BRASSERT(buffer != nullptr);
  if (geteuid() == 0) return put(buffer, size, root_folder, "");
  const char *xdg = getenv(xdg_variable);
  if (xdg && xdg[0] == '/') return put(buffer, size, xdg, "");
  char scratch[4096];
  const char *home = home_folder(scratch, sizeof scratch);
  if (!home) return BRERROR_NO_ENTRY;
  return put(buffer, size, home, home_relative);
}

}  // namespace

brerror_t platform__getLogsFolder(char *buffer, size_t size) {
  return user_folder(buffer, size, "XDG_STATE_HOME", "/.local/state", "/var/log");
}

brerror_t platform__getCachesFolder(char *buffer, size_t size) {
  return user_folder(buffer, size, "XDG_CACHE_HOME", "/.cache", "/var/cache");
}

brerror_t platform__makeFolders(const char *path, mode_t mode) {
  BRASSERT(path != nullptr);
  char partial[4096];
  size_t length = strlen(path);
  if (length == 0) return BRERROR_INVALID_ARGUMENT;
  if (length >= sizeof partial) return BRERROR_NAME_TOO_LONG;
  memcpy(partial, path, length + 1);
  for (size_t i = 1; i <= length; i++) {
    if (partial[i] != '/' && partial[i] != 0) continue;
    char saved = partial[i];
    partial[i] = 0;
    if (mkdir(partial, mode) != 0 && errno != EEXIST) return brposix__maperrno(errno);
    partial[i] = saved;
  }
  struct stat st;
  if (stat(path, &st) != 0) return brposix__maperrno(errno);
  return S_ISDIR(st.st_mode) ? BRERROR_NONE : BRERROR_INVALID_ARGUMENT;
}
