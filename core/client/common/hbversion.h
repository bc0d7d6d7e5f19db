// hbversion: version texts such as "Service 4.5.5_14" read into four numbers.
//
// Reentrant; logs under "IMPORT".
#pragma once

#include <cstdint>

#include "brerror.h"

// Four numbers, most significant first.
struct hbversion_t {
  uint32_t parts[4];
};

// Reads the part of `text` after its last blank (all of it when there is
// none): up to four decimal numbers separated by "." or "_"; parts that are
// missing stay 0. Any other character ends the reading with a warning.
// Always returns 0.
brerror_t hbversion__parse(const char *text, hbversion_t *version);
