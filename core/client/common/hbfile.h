// hbfile: path, directory, file-status and MIME-type functions.
//
// Every function returns a brerror_t with errno mapped by brposix__maperrno
// unless its comment says otherwise; paths are at most HBFILE_MAX_PATH
// bytes. No state is kept: all functions are thread-safe as far as the file
// system is. Returned MIME and extension texts are static.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "brerror.h"

constexpr int32_t HBFILE_MAX_PATH = 4127;
// Attribute bit of a name whose last component begins with ".".
constexpr int32_t HBFILE_ATTR_HIDDEN = 0x10000000;

// Flags of HBFile__createDirectory and HBFile__rmdir.
enum : uint32_t {
  HBFILE_RMDIR_RECURSIVE = 0x1,
  HBFILE_MKDIR_PARENTS = 0x2,
  HBFILE_MKDIR_MODE = 0x8,  // permission bits in bits 16..24
};

struct HBFileStat {
  int32_t isDirectory;
  int64_t size;
  int64_t blocks;
  int64_t blockSize;
  int64_t ctime;  // creation (fixed, ms) or status change (broken, s)
  int64_t mtime;  // ms (fixed) or s (broken)
};

struct HBFileStatFS {
  int64_t blockSize;
  int64_t unit;  // always 1,024
  int64_t totalBlocks;
  int64_t freeBlocks;
  int64_t availBlocks;
  int64_t totalNodes;
  int64_t freeNodes;
};

// The owner record of HBFile__setOwnership (12 bytes).
struct HBFileOwner {
  uint32_t uid;
  uint32_t gid;
  uint32_t mode;
};

// Canonicalises `path` first (-6 when a ".." climbs above its start). An
// existing directory is not an error, an existing file in its place is
// (-23); a read-only file system gives -27.
brerror_t HBFile__createDirectory(const char *path, uint32_t flags);
// A path with "*" deletes every match (0 even when some fail).
brerror_t HBFile__unlink(const char *path);
// With HBFILE_RMDIR_RECURSIVE deletes the whole tree; symbolic links inside
// it are removed, never followed.
brerror_t HBFile__rmdir(const char *path, uint32_t flags);
brerror_t HBFile__truncate(const char *path, int64_t length);
brerror_t HBFile__utimes(const char *path, const struct timeval times[2]);
// Super-user only, with a 12-byte HBFileOwner record; else -1.
brerror_t HBFile__setOwnership(const char *path, const void *owner, int32_t size);
// -1 when the path does not exist, HBFILE_ATTR_HIDDEN or 0.
int32_t HBFile__getFileAttributes(const char *path);
brerror_t HBFile__setFileAttributes(const char *path, int32_t attributes);
brerror_t HBFile__moveFile(const char *from, const char *to);
// The resolved absolute path: -6 when it cannot be resolved, -12 when it
// does not fit; else its length.
brerror_t HBFile__getFullPathName(const char *path, char *buffer, int32_t size);
brerror_t HBFile__canonicalizePath(const char *path, char *buffer, int32_t size);
// "tmpdir", then "tempdir" from the configuration store, else "/tmp";
// returns the length, or -12 when it does not fit.
brerror_t HBFile__getTempDir(char *buffer, int32_t size);
brerror_t HBFile__stat_fixed(const char *path, HBFileStat *record);
brerror_t HBFile__stat_broken(const char *path, HBFileStat *record);
brerror_t HBFile__statFS(const char *path, HBFileStatFS *record);

// Splits `text` in place at any of `separators`, skipping empty parts, into
// at most `max` parts; returns the number of parts.
int32_t HBFile__tokenizeString(char *text, char **parts, int32_t max, const char *separators);
int32_t HBFile__breakPathApart(char *text, char **parts, int32_t max);
// Appends "/" when missing; -12 when the path is empty or does not fit.
brerror_t HBFile__checkTrailingSlash(char *path, int32_t size);
// "prefix_123": -6 without "_" or without a decimal number after it, -12
// when the prefix does not fit.
brerror_t HBFile__parseSpaceFileID(const char *text, char *prefix, int32_t size,
                                   int64_t *number);
// Copies `source` with the characters that file systems refuse replaced by
// "_"; the copy is always NUL-terminated. Returns its length.
brerror_t HBFile__makeSafeFilename(const char *source, char *destination, int32_t size);

// "application/octet-stream" for names and extensions not in the table.
const char *HBFile__mimeForFileName(const char *name);
const char *HBFile__mimeForExt(const char *ext);
// Null for a MIME type not in the table.
const char *HBFile__extForMime(const char *mime);
