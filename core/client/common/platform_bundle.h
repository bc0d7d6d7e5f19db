// platform_bundle: where this platform keeps the application bundle, the
// install tree "<prefix>/share/jadewell" with "bin" (the media probe,
// ffmpeg), "ui", the string table and the registered defaults.
//
// The folder is JADEWELL_BUNDLE when that names one (tests and the demo run
// from the build tree's "bundle/share/jadewell"), else "share/jadewell"
// beside the "bin" folder of the running program. Nothing is cached or
// created. Thread-safe as long as nobody changes the environment meanwhile.
#pragma once

#include <cstddef>

#include "brerror.h"

// -3 when there is no bundle folder, -28 when `size` is too small.
brerror_t platform__getBundleFolder(char *buffer, size_t size);

// "<bundle>/<subdirectory>/<name>" when that file exists: 0; -3 when it
// does not or there is no bundle, -28 when `size` is too small.
brerror_t platform__getBundleResource(const char *subdirectory, const char *name, char *buffer, size_t size);
