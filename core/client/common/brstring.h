// brstring: byte-string helpers with fixed, locale-independent rules.
//
// Case rules are ASCII only; bytes of 128 and above are left alone. Texts are
// NUL-terminated unless a length is passed. Functions that fill a buffer
// never write past the `size` they are given. Everything here is reentrant
// and keeps no state; the caller owns every buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brerror.h"

// Compare after lowering each ASCII byte: the difference of the first pair
// of lowered bytes that differ, as unsigned values (0 when equal).
int brstrcasecmp(const char *a, const char *b);
int brstrncasecmp(const char *a, const char *b, size_t n);

// Lowers `length` bytes in place (-1: up to the NUL). Returns the number of
// bytes examined; 0 for any other length of 0 or less.
int brstrdowncase(char *text, int length);

// Appends as much of `src` as fits, with the NUL, to the text in `dst`
// (a buffer of `size` bytes). Returns `dst`; null, with nothing changed,
// when `dst` holds no NUL within `size` bytes.
char *brstrcatn(char *dst, const char *src, size_t size);

// Cuts trailing white space in place; returns the first byte that is not
// white space (the terminating NUL for an all-blank text).
char *brstrtrim(char *text);

// Canonicalises a path in place: drops empty and "." segments and a trailing
// "/", and lets each ".." remove the segment before it. "./a//b/./c/../d/"
// becomes "a/b/d"; "/" becomes "". The result is never longer than the input.
// Returns 0, or -6 when a ".." has nothing to remove (the text is then left
// empty).
brerror_t brstrcanon(char *path);

// The first occurrence of the needle in the data, or null. An empty needle
// is found at the start.
const void *brmemmem(const void *data, size_t dataLength, const void *needle,
                     size_t needleLength);

// Unsigned parsing after leading white space, without sign and without
// overflow detection (values wrap). Base 16 skips an optional "0x" and reads
// up to 8 digits (the 64-bit form: 16); base 10 reads up to 10 digits
// (20). Base 0 picks 16 after "0x", stops at a "0" followed by a digit
// (octal is not read, the result is 0 with `end` at that "0") and reads
// decimal otherwise. Other bases give 0. `end` (optional) receives the
// position after the last digit read, or after the white space when there
// was none.
uint32_t brstrtoul(const char *text, const char **end, int base);
uint64_t brstrtoull(const char *text, const char **end, int base);
// As above after an optional "+" or "-"; "-" negates the result.
int32_t brstrtol(const char *text, const char **end, int base);
int64_t brstrtoll(const char *text, const char **end, int base);

// Formats `value` in radix 10 or 16 (lower-case digits). With `pad` 0: the
// shortest form and a NUL, returning the digit count (`out` needs 21 bytes
// for any 64-bit value). With a pad character: exactly `width` characters
// (leading places filled with `pad`, only the lowest `width` digits when
// there are more) and a NUL, returning `width`. Any other radix logs and
// returns -16 (brustostr: -1) without writing.
int brultostr(uint32_t value, char *out, int width, int radix, char pad);
int brulltostr(uint64_t value, char *out, int width, int radix, char pad);
int brustostr(uint16_t value, char *out, int width, int radix, char pad);

// Host-order UCS-2 (`count` -1: up to a 0 unit) to UTF-8, each unit on its
// own (surrogates become three-byte forms). A leading U+FEFF is skipped; a
// leading byte-swapped mark (0xFFFE) is refused with a log line and gives 0.
// Writes whole characters while they fit with a NUL, and always the NUL when
// `size` > 0. Returns the length of the whole conversion without the NUL:
// a result >= `size` means the output was cut.
int brstr_ucs2_to_utf8(const uint16_t *units, int count, char *out, size_t size);

// Latin-1 bytes (up to `length` or a NUL; -1: the NUL) to UTF-8, keeping a
// byte for the NUL; logs and stops when the next character does not fit.
// Returns the bytes written plus one for the NUL; with a null `out`, the
// size needed.
int brstr_latin1_to_utf8(const char *text, int length, char *out, size_t size);

// The value of one hexadecimal digit of either case, or -1.
int brutil_hexDigitValue(char c);

// Two lower-case hex digits per byte, for as many bytes as fit with a NUL.
// Returns 0.
brerror_t brutil_toHexString(const void *data, size_t length, char *out, size_t size);

// A printable form of bytes for log lines ("\0", "\n", "\r", "\\", "\xNN",
// other bytes as themselves). Writes whole escapes while they fit with a
// NUL, and always the NUL when `size` > 0. Returns the full length needed
// without the NUL: a result >= `size` means the output was cut.
int brutil_pescape(char *out, size_t size, const void *data, size_t length);
