// brcrypto: the SHA-1 digest, a small random generator and random UUIDs.
//
// The generator is POSIX rand_r on one 32-bit seed word: cheap identifiers
// (task ids, boundaries), not key material. A brcrypto_state belongs to its
// creator and must not be used by two threads at once without a lock; every
// other function is reentrant, and bruuid_generate_random with a null state
// is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brerror.h"

constexpr size_t BRCRYPTO_SHA1_SIZE = 20;

// With a null `out`: returns 20. Returns -12 when `size` is below 20;
// otherwise writes the SHA-1 digest of the data and returns 20.
int brcrypto_sha1(const void *data, size_t length, uint8_t *out, size_t size);

// The generator: rand_r's seed word.
struct brcrypto_state {
  unsigned int seed;
};

// Allocates a generator seeded from 4 bytes of /dev/urandom (when that cannot
// be read, from the monotonic clock). The caller owns it and frees it with
// brcrypto__shutdown. Returns 0 (-19 when out of memory).
brerror_t brcrypto__initialize(brcrypto_state **state);
void brcrypto__shutdown(brcrypto_state *state);

// Fills `n` bytes from successive rand_r results in host byte order (the
// last, partial word gives its first bytes). Returns `n`.
int brcrypto__genrandom(brcrypto_state *state, void *out, int n);

typedef uint8_t bruuid_t[16];

enum : int {
  BRUUID_COMPACT = 1,  // 32 hex digits instead of the 8-4-4-4-12 form
};

// 16 random bytes, with no version or variant bits set. A null `state` uses a
// fresh generator for this call. Returns 0.
brerror_t bruuid_generate_random(brcrypto_state *state, bruuid_t uuid);

// Lower-case hex, compact with BRUUID_COMPACT, else "-" between the groups.
// Returns the length (32 or 36), or -12 when it does not fit with its NUL.
int bruuid_to_string(const bruuid_t uuid, char *out, size_t size, int flags);
int bruuid_generate_randomstr(brcrypto_state *state, char *out, size_t size, int flags);

// Reads hex digit pairs (either case) into successive bytes, skipping "-"
// anywhere, until 16 bytes are filled or the text ends between pairs; bytes
// not reached are 0. Returns 0, or -1 at any other character (including a
// text that ends inside a pair).
brerror_t bruuid_from_string(const char *text, bruuid_t uuid);
