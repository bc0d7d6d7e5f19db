// hbproperties_macos: the configuration store over the platform's
// per-application preference domains (platform_prefs on Linux), with an
// optional table of registered defaults.
//
// HBPropertiesMacOS__new hands the caller one reference and does not install
// the store as the process instance. Every read goes to the preference file
// and every write is on disk when it returns, so stores of the same domain
// in several threads or processes see each other's changes. Thread-safe.
#pragma once

#include "hbproperties.h"

// `domain` null: the program's own domain (its executable name). -6 for a
// domain that is not a plain file name. `defaults` (ended by a null name)
// is copied, entries with a null value skipped; null for none.
brerror_t HBPropertiesMacOS__new(HBProperties **out, const char *domain,
                                 const HBPropertyDefault *defaults);
