// hbbase64: Base64 text with the standard alphabet and the service's URL
// alphabet.
//
// The URL alphabet swaps the RFC 4648 URL characters: value 62 is "_" and 63
// is "-". Decoding takes either alphabet. Reentrant; the maps are constant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brerror.h"

enum : int {
  HBBASE64_NOPAD = 1,    // leave out the "=" padding
  HBBASE64_URLSAFE = 2,  // use g_base64EncodeURLMap
};

// The value given to bytes that are not Base64 characters.
constexpr uint8_t HBBASE64_ILLEGAL = 0xFF;

extern const char g_base64EncodeMap[65];
extern const char g_base64EncodeURLMap[65];
// "+" and "_" give 62, "/" and "-" give 63, "=" gives 0, every byte that is
// not a Base64 character gives HBBASE64_ILLEGAL.
extern const uint8_t g_base64DecodeMap[256];

// With a null `out`: returns 4 * ceil(length / 3). Returns -12 when `size` is
// below that and -6 for flags other than the two above. Otherwise writes the
// text, a NUL when `size` leaves room for one, and returns its length (which
// is shorter than the computed size with HBBASE64_NOPAD).
int hbbase64__encode(const void *data, size_t length, char *out, size_t size, int flags);

// `length` -1: up to the NUL. A missing final padding counts as "=". With a
// null `out`: returns ceil(length / 4) * 3. Returns -6 (and logs) for a byte
// that is not in g_base64DecodeMap, -12 when the bytes do not fit in `size`.
// Otherwise writes the bytes, a NUL when room is left, and returns their
// number. `flags` is accepted for symmetry and has no effect.
int hbbase64__decode(const char *text, int length, void *out, size_t size, int flags);
