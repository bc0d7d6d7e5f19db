#include "platform_prefs.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <utility>
#include <vector>

#include "brlog.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

std::atomic<void (*)()> g_beforeRename{nullptr};

// Closes a descriptor on scope exit (and with it any flock it holds).
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  FdGuard(const FdGuard &) = delete;
  FdGuard &operator=(const FdGuard &) = delete;
  ~FdGuard() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string homeFolder() {
  const char *home = getenv("HOME");
  if (home && *home) return home;
  struct passwd entry, *found = nullptr;
  char scratch[1024];
  if (getpwuid_r(getuid(), &entry, scratch, sizeof scratch, &found) == 0 && found)
    return found->pw_dir;
  return "/";
}

std::string filePath(const char *domain) {
  return platformprefs__folder() + "/" + domain + ".conf";
}

void escapeInto(std::string *out, const std::string &text, bool isName) {
  for (char c : text) {
    if (c == '\\') {
      *out += "\\\\";
    } else if (c == '\n') {
      *out += "\\n";
    } else if (c == '=' && isName) {
      *out += "\\=";
    } else {
      *out += c;
    }
  }
}

void unescapeInto(std::string *out, const char *from, const char *to) {
  for (const char *p = from; p < to; ++p) {
    if (*p == '\\' && p + 1 < to) {
      char next = p[1];
      if (next == '\\' || next == '=' || next == 'n') {
        *out += next == 'n' ? '\n' : next;
        ++p;
        continue;
      }
    }
    *out += *p;
  }
}

Entries parse(const std::string &text) {
  Entries entries;
  size_t at = 0;
  while (at < text.size()) {
    size_t eol = text.find('\n', at);
    if (eol == std::string::npos) eol = text.size();
    const char *line = text.data() + at;
    const char *end = text.data() + eol;
    at = eol + 1;
    const char *split = nullptr;
    for (const char *p = line; p < end; ++p) {
      if (*p == '\\' && p + 1 < end) {
        ++p;
      } else if (*p == '=') {
        split = p;
        break;
      }
    }
    if (!split) continue;
    std::string name, value;
    unescapeInto(&name, line, split);
    unescapeInto(&value, split + 1, end);
    bool replaced = false;
    for (auto &entry : entries) {
      if (entry.first == name) {
        entry.second = std::move(value);
        replaced = true;
        break;
      }
    }
    if (!replaced) entries.emplace_back(std::move(name), std::move(value));
  }
  return entries;
}

std::string serialise(const Entries &entries) {
  std::string text;
  for (const auto &entry : entries) {
    escapeInto(&text, entry.first, true);
    text += '=';
    escapeInto(&text, entry.second, false);
    text += '\n';
  }
  return text;
}

// The whole file: 0, -3 when it does not exist, or the mapped error.
brerror_t readFile(const std::string &path, std::string *text) {
  FdGuard fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return brposix__maperrno(errno);
  text->clear();
  char chunk[8192];
  for (;;) {
    ssize_t got = read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return brposix__maperrno(errno);
    if (got == 0) return 0;
    text->append(chunk, got);
  }
}

brerror_t makeFolders(const std::string &folder) {
  mode_t mode = geteuid() == 0 ? 0755 : 0700;
  for (size_t slash = 1; slash != std::string::npos;) {
    slash = folder.find('/', slash + 1);
    std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return brposix__maperrno(errno);
  }
  return 0;
}

bool writeAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += put;
  }
  return true;
}

// Replaces `path` with `text` so that a crash at any point leaves the old
// or the new file whole.
brerror_t replaceFile(const std::string &folder, const std::string &path,
                      const std::string &text) {
  std::string temp = path + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return brposix__maperrno(errno);
  brerror_t err = 0;
  {
    FdGuard guard(fd);
    if (!writeAll(fd, text) || fsync(fd) != 0) err = brposix__maperrno(errno);
  }
  if (err == 0) {
    if (void (*hook)() = g_beforeRename.load()) hook();
    if (rename(temp.c_str(), path.c_str()) != 0) err = brposix__maperrno(errno);
  }
  if (err != 0) {
    unlink(temp.c_str());
    return err;
  }
  FdGuard dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
  return 0;
}

}  // namespace

std::string platformprefs__folder() {
  const char *over = getenv("KX_CONFIG_DIR");
  if (over && *over) return over;
  if (geteuid() == 0) return "/etc/kexaro";
  const char *xdg = getenv("XDG_CONFIG_HOME");
  // A relative XDG_CONFIG_HOME is invalid and must be ignored.
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/kexaro";
  return homeFolder() + "/.config/kexaro";
}

bool platformprefs__validDomain(const char *domain) {
  return domain && domain[0] != '\0' && domain[0] != '.' && !strchr(domain, '/');
}

brerror_t platformprefs__read(const char *domain, const char *name, std::string *value) {
  if (!platformprefs__validDomain(domain) || !name) return BRERROR_INVALID_ARGUMENT;
  std::string text;
  brerror_t err = readFile(filePath(domain), &text);
  if (err < 0) return err;
  for (auto &entry : parse(text)) {
    if (entry.first == name) {
      *value = std::move(entry.second);
      return 0;
    }
  }
  return BRERROR_NO_ENTRY;
}

brerror_t platformprefs__write(const char *domain, const char *name, const char *value) {
  if (!platformprefs__validDomain(domain) || !name) return BRERROR_INVALID_ARGUMENT;
  const std::string folder = platformprefs__folder();
  brerror_t err = makeFolders(folder);
  if (err < 0) {
    brlog("PREFS", 1, "Can't create preference folder '%s': %d\n", folder.c_str(), err);
    return err;
  }
  const std::string path = folder + "/" + domain + ".conf";
  const std::string lockPath = path + ".lock";
  FdGuard lock(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.get() < 0) return brposix__maperrno(errno);
  while (flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return brposix__maperrno(errno);
  }

  std::string text;
  err = readFile(path, &text);
  if (err < 0 && err != BRERROR_NO_ENTRY) return err;
  Entries entries = parse(text);

  bool found = false;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->first != name) continue;
    found = true;
    if (value) {
      if (it->second == value) return 0;
      it->second = value;
    } else {
      entries.erase(it);
    }
    break;
  }
  if (!found) {
    if (!value) return 0;
    entries.emplace_back(name, value);
  }

  err = replaceFile(folder, path, serialise(entries));
  if (err < 0) brlog("PREFS", 1, "Can't write preference file '%s': %d\n", path.c_str(), err);
  return err;
}

void platformprefs__setBeforeRenameHook(void (*hook)()) { g_beforeRename.store(hook); }
