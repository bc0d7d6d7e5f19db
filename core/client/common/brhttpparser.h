// brhttpparser: the pure text side of the HTTP client: finding line ends,
// and reading status lines, header lines, chunk-size lines and decimal
// lengths. Nothing here does I/O or allocates; every function works on the
// caller's bytes, writes only through its out-parameters and is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brerror.h"

// Looks for the end of the line that starts `data`. A line ends at CR LF, a
// lone LF or a lone CR. Returns 1 and sets *lineLength (without the end)
// and *endLength (1 or 2) when the line is complete; 0 when more bytes are
// needed (including a CR that is the last byte, which may yet be followed by
// LF). `from` is where the previous, incomplete search stopped.
int brhttpparser__findLine(const char *data, size_t length, size_t from, size_t *lineLength,
                           size_t *endLength);

// "PROTO SP CODE SP REASON" in a NUL-terminated line. The protocol is the
// text before the first space, the code 1 to 3 decimal digits, which must
// be followed by a space; the reason is the rest (may be empty).
// -6 with *what naming the part that failed ("proto", "line", "code").
brerror_t brhttpparser__parseStatusLine(const char *line, size_t *protoLength, int *code,
                                        const char **reason, const char **what);

// Splits "Name: value" in place at the first colon (written as NUL) and
// skips the spaces and tabs after it; trailing spaces and tabs of the value
// are cut. -6 for a line without a colon or with an empty name.
brerror_t brhttpparser__splitHeader(char *line, const char **name, const char **value);

// The leading hexadecimal number of a chunk-size line (extensions after it
// are ignored). -6 when there is no digit or the size does not fit in 60
// bits (leading zeros do not count).
brerror_t brhttpparser__parseChunkSize(const char *line, int64_t *size);

// A decimal length with optional surrounding spaces; -6 for anything else
// or a value above 2^62.
brerror_t brhttpparser__parseLength(const char *text, int64_t *length);
