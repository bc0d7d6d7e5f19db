#include "hbfile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "brlog.h"
#include "brstring.h"
#include "hbproperties.h"

namespace {

struct MimeEntry {
  const char *mime;
  const char *ext;
};

constexpr MimeEntry kMimeTable[] = {
    {"audio/mpeg", "mp3"},
    {"audio/mpg", "mp3"},
    {"audio/x-ms-wma", "wma"},
    {"audio/x-wav", "wav"},
    {"audio/mp4", "m4a"},
    {"audio/mp4a-latm", "aac"},
    {"audio/aac", "aac"},
    {"audio/x-matroska", "mka"},
    {"image/jpeg", "jpg"},
    {"image/jpeg", "jpeg"},
    {"image/jpg", "jpg"},
    {"image/jpg", "jpeg"},
    {"image/png", "png"},
    {"image/gif", "gif"},
    {"image/bmp", "bmp"},
    {"video/mpeg", "mpg"},
    {"video/mpeg", "mpeg"},
    {"video/mpeg", "vob"},
    {"video/mpeg", "mts"},
    {"video/mpeg", "m2t"},
    {"video/mpeg", "m2ts"},
    {"video/MP2T", "ts"},
    {"video/x-ms-wmv", "wmv"},
    {"video/quicktime", "mov"},
    {"video/mp4", "mp4"},
    {"video/mp4", "m4v"},
    {"video/avi", "avi"},
    {"video/mp4", "3gp"},
    {"video/x-matroska", "mkv"},
    {"text/plain", "txt"},
    {"text/html", "html"},
    {"text/html", "htm"},
    {"text/xml", "xml"},
    {"text/css", "css"},
    {"image/x-icon", "ico"},
    {"text/javascript", "js"},
    {"application/pdf", "pdf"},
    {"application/vnd.apple.mpegurl", "m3u8"},
    {"application/vnd.ms-excel", "xls"},
    {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "xlsx"},
    {"application/vnd.ms-powerpoint", "ppt"},
    {"application/vnd.openxmlformats-officedocument.presentationml.presentation", "pptx"},
    {"application/msword", "doc"},
    {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx"},
};

constexpr const char *kDefaultMime = "application/octet-stream";

brerror_t mapped(int result) { return result == 0 ? 0 : brposix__maperrno(errno); }

brerror_t copyOut(const std::string &text, char *buffer, int32_t size) {
  if (size <= 0 || text.size() >= static_cast<size_t>(size)) return BRERROR_NO_SPACE;
  memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<brerror_t>(text.size());
}

// Depth first; symbolic links are removed as links, so the walk never
// leaves the tree it was asked to delete.
void removeTree(const std::string &path) {
  DIR *dir = opendir(path.c_str());
  if (!dir) {
    brlog("HBFILE", 2, "Failed to opendir '%s' %d\n", path.c_str(), brposix__maperrno(errno));
    return;
  }
  while (struct dirent *entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    std::string child = path + "/" + entry->d_name;
    struct stat st;
    if (lstat(child.c_str(), &st) != 0) {
      brlog("HBFILE", 2, "Failed to stat '%s' %d\n", child.c_str(), brposix__maperrno(errno));
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      removeTree(child);
      if (rmdir(child.c_str()) != 0)
        brlog("HBFILE", 2, "Failed to HBFile__unlink '%s' %d\n", child.c_str(),
              brposix__maperrno(errno));
    } else if (unlink(child.c_str()) != 0) {
      brlog("HBFILE", 2, "Failed to HBFile__unlink '%s' %d\n", child.c_str(),
            brposix__maperrno(errno));
    }
  }
  closedir(dir);
}

void fillStat(const struct statx &sx, HBFileStat *record) {
  record->isDirectory = S_ISDIR(sx.stx_mode) ? 1 : 0;
  record->size = static_cast<int64_t>(sx.stx_size);
  record->blocks = static_cast<int64_t>(sx.stx_blocks);
  record->blockSize = sx.stx_blksize;
}

int64_t millis(const struct statx_timestamp &t) {
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Number of bytes of a UTF-8 sequence from its lead byte; 0 for a byte that
// cannot start one.
int sequenceLength(unsigned char c) {
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF4) return 4;
  return 0;
}

}  // namespace

brerror_t HBFile__createDirectory(const char *path, uint32_t flags) {
  char canon[HBFILE_MAX_PATH + 1];
  if (strlen(path) > HBFILE_MAX_PATH) return BRERROR_NAME_TOO_LONG;
  strcpy(canon, path);
  if (brstrcanon(canon) < 0) return BRERROR_INVALID_ARGUMENT;
  if (canon[0] == '\0') strcpy(canon, path[0] == '/' ? "/" : ".");
  const mode_t mode = (flags & HBFILE_MKDIR_MODE) ? ((flags >> 16) & 0777) : 0777;

  if (flags & HBFILE_MKDIR_PARENTS) {
    for (char *slash = strchr(canon + 1, '/'); slash; slash = strchr(slash + 1, '/')) {
      *slash = '\0';
      int made = mkdir(canon, mode);
      int err = errno;
      *slash = '/';
      if (made != 0 && err != EEXIST) break;  // the final mkdir reports it
    }
  }

  if (mkdir(canon, mode) == 0) return 0;
  const int err = errno;
  struct stat st;
  if (err == EEXIST && stat(canon, &st) == 0 && S_ISDIR(st.st_mode)) {
    brlog("HBFILE", 32, "Directory already exists: %s\n", canon);
    return 0;
  }
  brlog("HBFILE", 1, "ERROR: Can't create directory [%s:0%o]: %d %s\n", canon, mode, err,
        strerror(err));
  if (err == EROFS) return BRERROR_READ_ONLY;
  return brposix__maperrno(err);
}

brerror_t HBFile__unlink(const char *path) {
  brlog("HBFILE", 8, " HBFile__unlink invoked with path: %s\n", path);
  if (!strchr(path, '*')) return mapped(unlink(path));
  glob_t matches;
  int found = glob(path, GLOB_NOSORT, nullptr, &matches);
  if (found == 0) {
    for (size_t i = 0; i < matches.gl_pathc; ++i) unlink(matches.gl_pathv[i]);
  }
  globfree(&matches);
  return 0;
}

brerror_t HBFile__rmdir(const char *path, uint32_t flags) {
  if (!(flags & HBFILE_RMDIR_RECURSIVE)) return mapped(rmdir(path));
  char *resolved = realpath(path, nullptr);
  if (!resolved) return brposix__maperrno(errno);
  std::string root(resolved);
  free(resolved);
  removeTree(root);
  return mapped(rmdir(root.c_str()));
}

brerror_t HBFile__truncate(const char *path, int64_t length) {
  return mapped(truncate(path, length));
}

brerror_t HBFile__utimes(const char *path, const struct timeval times[2]) {
  return mapped(utimes(path, times));
}

brerror_t HBFile__setOwnership(const char *path, const void *owner, int32_t size) {
  if (geteuid() != 0 || !owner || size != static_cast<int32_t>(sizeof(HBFileOwner)))
    return BRERROR_UNSPECIFIED;
  HBFileOwner record;
  memcpy(&record, owner, sizeof record);
  brlog("HBFILE", 8, "   -- Asked to change ownership and permissions on [%s] to [%d] [%d] [%o]\n",
        path, record.uid, record.gid, record.mode);
  struct stat st;
  if (stat(path, &st) != 0) return brposix__maperrno(errno);
  mode_t mode = record.mode & 07777;
  if (S_ISREG(st.st_mode)) mode &= ~0111;
  if (S_ISDIR(st.st_mode)) mode |= 0110;
  if (chmod(path, mode) != 0) return brposix__maperrno(errno);
  return mapped(chown(path, record.uid, record.gid));
}

int32_t HBFile__getFileAttributes(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) return BRERROR_UNSPECIFIED;
  std::string name(path);
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  size_t slash = name.rfind('/');
  const char *last = name.c_str() + (slash == std::string::npos ? 0 : slash + 1);
  return last[0] == '.' ? HBFILE_ATTR_HIDDEN : 0;
}

brerror_t HBFile__setFileAttributes(const char *, int32_t) { return 0; }

brerror_t HBFile__moveFile(const char *from, const char *to) {
  return mapped(rename(from, to));
}

brerror_t HBFile__getFullPathName(const char *path, char *buffer, int32_t size) {
  char *resolved = realpath(path, nullptr);
  if (!resolved) return BRERROR_INVALID_ARGUMENT;
  std::string full(resolved);
  free(resolved);
  return copyOut(full, buffer, size);
}

brerror_t HBFile__canonicalizePath(const char *path, char *buffer, int32_t size) {
  return HBFile__getFullPathName(path, buffer, size);
}

brerror_t HBFile__getTempDir(char *buffer, int32_t size) {
  char value[HBFILE_MAX_PATH + 1];
  for (const char *name : {"tmpdir", "tempdir"}) {
    brerror_t length = HBProperites__getProperty(name, value, sizeof value);
    // An empty setting would put temporary files in the working folder.
    if (length > 0 && length <= HBFILE_MAX_PATH) return copyOut(value, buffer, size);
  }
  return copyOut("/tmp", buffer, size);
}

brerror_t HBFile__stat_fixed(const char *path, HBFileStat *record) {
  struct statx sx;
  if (statx(AT_FDCWD, path, 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
    return brposix__maperrno(errno);
  fillStat(sx, record);
  // File systems without a birth time report the status-change time.
  record->ctime = (sx.stx_mask & STATX_BTIME) ? millis(sx.stx_btime) : millis(sx.stx_ctime);
  record->mtime = millis(sx.stx_mtime);
  return 0;
}

brerror_t HBFile__stat_broken(const char *path, HBFileStat *record) {
  struct statx sx;
  if (statx(AT_FDCWD, path, 0, STATX_BASIC_STATS, &sx) != 0) return brposix__maperrno(errno);
  fillStat(sx, record);
  record->ctime = sx.stx_ctime.tv_sec;
  record->mtime = sx.stx_mtime.tv_sec;
  return 0;
}

brerror_t HBFile__statFS(const char *path, HBFileStatFS *record) {
  struct statvfs vfs;
  if (statvfs(path, &vfs) != 0) return brposix__maperrno(errno);
  record->blockSize = static_cast<int64_t>(vfs.f_frsize);
  record->unit = 1024;
  record->totalBlocks = static_cast<int64_t>(vfs.f_blocks);
  record->freeBlocks = static_cast<int64_t>(vfs.f_bfree);
  record->availBlocks = static_cast<int64_t>(vfs.f_bavail);
  record->totalNodes = static_cast<int64_t>(vfs.f_files);
  record->freeNodes = static_cast<int64_t>(vfs.f_ffree);
  return 0;
}

int32_t HBFile__tokenizeString(char *text, char **parts, int32_t max, const char *separators) {
  int32_t count = 0;
  char *p = text;
  while (*p && count < max) {
    while (*p && strchr(separators, *p)) ++p;
    if (!*p) break;
    parts[count++] = p;
    while (*p && !strchr(separators, *p)) ++p;
    if (*p) *p++ = '\0';
  }
  return count;
}

int32_t HBFile__breakPathApart(char *text, char **parts, int32_t max) {
  return HBFile__tokenizeString(text, parts, max, "\\/");
}

brerror_t HBFile__checkTrailingSlash(char *path, int32_t size) {
  size_t length = strnlen(path, size > 0 ? size : 0);
  if (length == 0 || static_cast<int64_t>(length) >= size) return BRERROR_NO_SPACE;
  if (path[length - 1] == '/') return 0;
  if (static_cast<int64_t>(length) + 2 > size) return BRERROR_NO_SPACE;
  path[length] = '/';
  path[length + 1] = '\0';
  return 0;
}

brerror_t HBFile__parseSpaceFileID(const char *text, char *prefix, int32_t size,
                                   int64_t *number) {
  const char *underscore = strchr(text, '_');
  if (!underscore) return BRERROR_INVALID_ARGUMENT;
  const char *digits = underscore + 1;
  if (*digits < '0' || *digits > '9') return BRERROR_INVALID_ARGUMENT;
  char *end = nullptr;
  errno = 0;
  long long value = strtoll(digits, &end, 10);
  if (errno != 0 || *end != '\0') return BRERROR_INVALID_ARGUMENT;
  size_t length = static_cast<size_t>(underscore - text);
  if (size <= 0 || length >= static_cast<size_t>(size)) return BRERROR_NO_SPACE;
  memcpy(prefix, text, length);
  prefix[length] = '\0';
  *number = value;
  return 0;
}

brerror_t HBFile__makeSafeFilename(const char *source, char *destination, int32_t size) {
  if (size <= 0) return BRERROR_NO_SPACE;
  int32_t at = 0;
  int continuation = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(source);
       *p && at < size - 1; ++p) {
    unsigned char c = *p;
    if (continuation > 0 && c >= 0x80 && c <= 0xBF) {
      --continuation;
      destination[at++] = static_cast<char>(c);
      continue;
    }
    continuation = 0;
    int length = sequenceLength(c);
    if (length == 0) {
      brlog("UTF8", 2, "Invalid UTF-8 Sequence -- Assuming ISO Latin-1 string??? -- 0x%x!", c);
    } else if (length > 1) {
      continuation = length - 1;
    } else if (strchr("\"*/:<>?\\|", c)) {
      c = '_';
    }
    destination[at++] = static_cast<char>(c);
  }
  destination[at] = '\0';
  return at;
}

const char *HBFile__mimeForExt(const char *ext) {
  if (ext) {
    for (const MimeEntry &entry : kMimeTable)
      if (brstrcasecmp(entry.ext, ext) == 0) return entry.mime;
  }
  return kDefaultMime;
}

const char *HBFile__mimeForFileName(const char *name) {
  const char *dot = name ? strrchr(name, '.') : nullptr;
  return HBFile__mimeForExt(dot ? dot + 1 : nullptr);
}

const char *HBFile__extForMime(const char *mime) {
  if (!mime) return nullptr;
  for (const MimeEntry &entry : kMimeTable)
    if (brstrcasecmp(entry.mime, mime) == 0) return entry.ext;
  return nullptr;
}
