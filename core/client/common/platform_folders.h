// platform_folders: where this platform keeps per-user logs and caches.
//
// Logs: $XDG_STATE_HOME, else ~/.local/state; /var/log for a process running
// as root. Caches: $XDG_CACHE_HOME, else ~/.cache; /var/cache for root. A
// relative XDG value is ignored, as the XDG rules ask. The folders are named,
// not created; platform__makeFolders creates one with its parents.
// Thread-safe as long as nobody changes the environment meanwhile.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "brerror.h"

// -3 when no folder can be found (no home), -28 when `size` is too small.
brerror_t platform__getLogsFolder(char *buffer, size_t size);
brerror_t platform__getCachesFolder(char *buffer, size_t size);

// Creates `path` and every missing folder above it with `mode`; 0 when it
// exists already.
brerror_t platform__makeFolders(const char *path, mode_t mode);
