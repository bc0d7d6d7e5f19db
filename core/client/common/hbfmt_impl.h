// hbfmt_impl: helpers shared by the format implementations (hbfmt*.cc):
// byte-order reads, calendar conversion, the stream for embedded pictures
// and its report, the album identity, and the alignment of a slice on the
// offset an implementation expects (with gathering across slices).
// Internal to the media parsers; all functions are reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hbfmt.h"
#include "hbstream.h"

inline uint16_t hbfmt__be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t hbfmt__be24(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}
inline uint32_t hbfmt__be32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}
inline uint64_t hbfmt__be64(const uint8_t *p) {
  return static_cast<uint64_t>(hbfmt__be32(p)) << 32 | hbfmt__be32(p + 4);
}
inline uint16_t hbfmt__le16(const uint8_t *p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }
inline uint32_t hbfmt__le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 |
         p[0];
}

// Milliseconds since 1970 of a UTC calendar time; false when a field is out
// of range (month 0, hour 24 ...), as cameras write "0000:00:00 00:00:00"
// for an unset clock.
bool hbfmt__utcToMs(int year, int month, int day, int hour, int minute, int second, int64_t *ms);

// Finds `need` bytes (below 256) at file offset `at` in the slice:
// 0 with *p set and info->used covering them; 1 when `at` lies beyond the
// slice (info->wantOffset asks the parser for it: return 0 to the parser);
// -2 when only part of them is there (the rest is carried to the next
// slice); -5 when `at` lies before the slice (those bytes are gone).
brerror_t hbfmt__at(HBFormatImplInfo_t *info, int64_t at, int32_t need, const uint8_t **p);

// The bytes of the slice from file offset `at` on, for regions read in
// pieces: 0 with *p and *count (at least 1), info->used not changed;
// 1 when `at` lies beyond the slice (info->wantOffset asks for it); -5 when
// it lies before.
brerror_t hbfmt__span(HBFormatImplInfo_t *info, int64_t at, const uint8_t **p, int32_t *count);

// Appends the slice's bytes from *pos up to file offset `end` to *out,
// moving *pos and info->used along: 1 once *pos reaches `end`, else the
// value parseSlice hands to the parser (0 to wait for the next slice, or
// -5).
brerror_t hbfmt__gather(HBFormatImplInfo_t *info, int64_t *pos, int64_t end, std::vector<uint8_t> *out);

// Writes the slice's bytes from *pos up to file offset `end` into *picture,
// moving *pos and info->used along: 1 once *pos reaches `end` or the
// picture could not be stored (then it is released and *picture is null),
// else the value parseSlice hands to the parser.
brerror_t hbfmt__fillPicture(HBFormatImplInfo_t *info, int64_t *pos, int64_t end, IHBMemStream **picture);

// Reports the whole picture, rewound, as "vqz-tn" with its MIME type; the
// picture keeps the caller's reference.
void hbfmt__reportPicture(IHBFormatImplSink *sink, IHBMemStream *picture, const char *mime);

// Reports the album identity "vqz-UniqueAlbumID" made from `text`.
void hbfmt__reportAlbumHash(IHBFormatImplSink *sink, const std::string &text);

// A growable read/write memory stream for picture bytes with room for
// `expected` bytes (at most 16 MiB reserved up front): writes append, reads
// and seeks move the read position.
brerror_t hbfmt__newPictureStream(uint32_t expected, IHBMemStream **out);

// The video probe's program: the bundle's "bin/kxxc_probe", else
// "<installdir setting>/kxxc_probe", else "./kxxc_probe", the first that is
// an executable file. Searched on every call (the factory keeps the first
// answer for the process); -3 with an empty `out` when none is found.
brerror_t hbfmtkxxcprobe__findProgram(char *out, size_t size);

// Milliseconds since 1970 of a probe date "YYYY-MM-DDTHH:MM:SS±HHMM" (the
// zone read as one signed number); false when it does not read as one.
bool hbfmtkxxcprobe__parseDate(const char *text, int64_t *ms);

// The ID3v1 genre name of `index` (0 "Blues" ... 147), "Unknown" otherwise.
const char *id3v1__genreName(int index);
