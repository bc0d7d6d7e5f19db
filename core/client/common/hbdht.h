// hbdht: the SHA-1/Base64 name hash that identifies albums across files.
//
// Reentrant; no state.
#pragma once

#include "brerror.h"

// Writes the Base64 form of the SHA-1 digest of `data` (`length` -1: the
// text's length) into `out`, in the URL alphabet with 62 written "_" and 63
// written "-": 28 characters with padding, 27 when `noPad` is non-zero.
// Returns 32, the size `out` needs (also when `out` is null), or -12 when
// `outSize` is below that.
brerror_t HBDHT__generateHash(const unsigned char *data, int length, char *out, unsigned outSize, int noPad);
