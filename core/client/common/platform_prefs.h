// platform_prefs: per-domain preference files, the Linux form of the
// per-application preference store.
//
// One file per domain, "<folder>/<domain>.conf", one "name=value" line per
// entry in UTF-8 with "\\", "\n" and "\=" escapes. The folder is
// $KX_CONFIG_DIR when set; else /etc/kexaro for root and
// $XDG_CONFIG_HOME/kexaro (default ~/.config/kexaro) for other users.
//
// Thread- and process-safe: a write takes an exclusive flock on
// "<domain>.conf.lock", re-reads the file, applies its change, writes a
// temporary file in the same folder, fsyncs it and renames it over the old
// one. Readers take no lock: they always see a whole old or new file.
#pragma once

#include <string>

#include "brerror.h"

// The folder of the preference files, without a trailing slash.
std::string platformprefs__folder();

// A domain must be a plain file name: not empty, no "/", not starting
// with ".".
bool platformprefs__validDomain(const char *domain);

// 0 and the value of `name` in `domain`; -3 when the file or the name is
// absent; another mapped error when the file cannot be read.
brerror_t platformprefs__read(const char *domain, const char *name, std::string *value);

// Stores `value` for `name`, or removes the name when `value` is null. The
// change is on disk when this returns 0.
brerror_t platformprefs__write(const char *domain, const char *name, const char *value);

// Tests only: called during a write after the new file is written and
// before it replaces the old one, with the lock held.
void platformprefs__setBeforeRenameHook(void (*hook)());
