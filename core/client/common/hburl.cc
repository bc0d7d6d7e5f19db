#include "hburl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brlog.h"
#include "brstring.h"

namespace {

const char kTag[] = "HBURL";

// Replaces *slot with a heap copy of `length` bytes of `text` (null clears).
brerror_t assign(char **slot, const char *text, size_t length) {
  char *copy = nullptr;
  if (text) {
    copy = static_cast<char *>(malloc(length + 1));
    if (!copy) return BRERROR_NO_MEMORY;
    memcpy(copy, text, length);
    copy[length] = '\0';
  }
  free(*slot);
  *slot = copy;
  return 0;
}

brerror_t assign(char **slot, const char *text) {
  return assign(slot, text, text ? strlen(text) : 0);
}

int compareText(const char *a, const char *b) {
  if (a == b) return 0;
  if (!a) return -1;
  if (!b) return 1;
  return strcmp(a, b);
}

uint16_t defaultPort(const char *scheme) {
  if (!scheme || !*scheme || strcmp(scheme, "http") == 0) return 80;
  if (strcmp(scheme, "https") == 0) return 443;
  return 0;
}

class HBURL final : public IHBURL {
 public:
  HBURL() = default;
  HBURL(const HBURL &) = delete;
  HBURL &operator=(const HBURL &) = delete;

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override {
    int32_t left = refs_.release();
    BRASSERT(left >= 0);
    if (left == 0) delete this;
    return left;
  }
  brerror_t getifc(hbtype_t id, void **out) override {
    if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBURI && id != HBTYPE_IID_IHBURL) {
      return BRERROR_NO_ENTRY;
    }
    upref();
    *out = static_cast<IHBURL *>(this);
    return 0;
  }

  IHBStr *toString() override;
  const char *getScheme() override { return scheme_; }
  brerror_t setScheme(const char *scheme) override {
    if (!scheme || strlen(scheme) > HBURL_SCHEME_MAX) return BRERROR_INVALID_ARGUMENT;
    strcpy(scheme_, scheme);
    return 0;
  }
  const char *getHostname() override { return host_; }
  brerror_t setHostname(const char *host) override { return assign(&host_, host); }
  const char *getPath() override { return path_; }
  brerror_t setPath(const char *path) override { return assign(&path_, path); }
  uint16_t getPort() override { return port_; }
  void setPort(uint16_t port) override { port_ = port; }
  const char *getUser() override { return user_; }
  brerror_t setUser(const char *user) override { return assign(&user_, user); }
  const char *getPassword() override { return password_; }
  brerror_t setPassword(const char *password) override { return assign(&password_, password); }
  int32_t toString(char *buffer, int32_t size) override;

  brerror_t parse(const char *text);
  brerror_t copyFrom(IHBURL *other);
  void clear();

 private:
  ~HBURL() override { clear(); }
  bool showPort() const;

  HBRefCount refs_;
  char scheme_[HBURL_SCHEME_MAX + 1] = "";
  char *host_ = nullptr;
  char *path_ = nullptr;
  char *user_ = nullptr;
  char *password_ = nullptr;
  uint16_t port_ = 0;
};

void HBURL::clear() {
  scheme_[0] = '\0';
  for (char **slot : {&host_, &path_, &user_, &password_}) {
    free(*slot);
    *slot = nullptr;
  }
  port_ = 0;
}

brerror_t HBURL::parse(const char *text) {
  clear();
  const char *sep = text ? strstr(text, "://") : nullptr;
  if (!sep || sep - text > HBURL_SCHEME_MAX) {
    brlog(kTag, BRLOG_ERROR, "Unable to parse url '%s'\n", text ? text : "(null)");
    return BRERROR_UNSPECIFIED;
  }
  auto fail = [&]() {
    brlog(kTag, BRLOG_ERROR, "Unable to parse url '%s'\n", text);
    clear();
    return BRERROR_UNSPECIFIED;
  };
  memcpy(scheme_, text, sep - text);
  scheme_[sep - text] = '\0';

  const char *p = sep + 3;
  const char *slash = strchr(p, '/');
  const char *hostEnd = slash ? slash : p + strlen(p);
  const char *at = static_cast<const char *>(memchr(p, '@', hostEnd - p));
  if (at) {
    const char *colon = static_cast<const char *>(memchr(p, ':', at - p));
    const char *userEnd = colon ? colon : at;
    if (assign(&user_, p, userEnd - p) != 0) return fail();
    if (colon && at > colon + 1 && assign(&password_, colon + 1, at - colon - 1) != 0) {
      return fail();
    }
    p = at + 1;
  }
  const char *colon = static_cast<const char *>(memchr(p, ':', hostEnd - p));
  if (assign(&host_, p, (colon ? colon : hostEnd) - p) != 0) return fail();
  if (colon) {
    uint32_t port = 0;
    const char *digit = colon + 1;
    if (digit == hostEnd) return fail();
    for (; digit < hostEnd; ++digit) {
      if (*digit < '0' || *digit > '9') return fail();
      port = port * 10 + static_cast<uint32_t>(*digit - '0');
      if (port > 65535) return fail();
    }
    port_ = static_cast<uint16_t>(port);
  }
  if (slash) {
    size_t length = strlen(slash);
    char *decoded = static_cast<char *>(malloc(length + 1));
    if (!decoded) return fail();
    if (HBURL__decodePath(slash, decoded, static_cast<int32_t>(length + 1), scheme_) < 0) {
      free(decoded);
      return fail();
    }
    path_ = decoded;
  }
  if (port_ == 0) {
    if (strcmp(scheme_, "http") == 0) port_ = 80;
    if (strcmp(scheme_, "https") == 0) port_ = 443;
  }
  return 0;
}

brerror_t HBURL::copyFrom(IHBURL *other) {
  clear();
  brerror_t err = setScheme(other->getScheme() ? other->getScheme() : "");
  if (err == 0) err = setHostname(other->getHostname());
  if (err == 0) err = setPath(other->getPath());
  if (err == 0) err = setUser(other->getUser());
  if (err == 0) err = setPassword(other->getPassword());
  port_ = other->getPort();
  return err;
}

bool HBURL::showPort() const {
  if (!host_ || port_ == 0) return false;
  if (brstrcasecmp(scheme_, "file") == 0) return true;
  if (brstrcasecmp(scheme_, "http") == 0) return port_ != 80;
  if (brstrcasecmp(scheme_, "https") == 0) return port_ != 443;
  return false;
}

int32_t HBURL::toString(char *buffer, int32_t size) {
  char port[8] = "";
  bool withPort = showPort();
  if (withPort) snprintf(port, sizeof port, "%u", port_);
  return snprintf(buffer, buffer ? static_cast<size_t>(size > 0 ? size : 0) : 0,
                  "%s://%s%s%s%s%s%s%s%s", scheme_, user_ ? user_ : "",
                  password_ ? ":" : "", password_ ? password_ : "", user_ ? "@" : "",
                  host_ ? host_ : "", withPort ? ":" : "", port, path_ ? path_ : "/");
}

IHBStr *HBURL::toString() {
  int32_t length = toString(nullptr, 0);
  char *text = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
  if (!text) return nullptr;
  toString(text, length + 1);
  return HBStrHeap::wrapAllocatedString(text);
}

HBURL *newURL() { return new (std::nothrow) HBURL(); }

bool endsWith(const char *text, size_t length, const char *suffix, size_t *cut) {
  size_t n = strlen(suffix);
  if (length < n || memcmp(text + length - n, suffix, n) != 0) return false;
  *cut = length - n;
  return true;
}

// Replaces the first of `endings` that ends the path with `replacement`.
brerror_t deriveURL(const char *text, IHBURL **out, const char *const *endings, int count,
                    const char *replacement) {
  IHBURL *url = nullptr;
  brerror_t err = HBURL__newFromString(&url, text);
  if (err != 0) return err;
  const char *path = url->getPath();
  if (path) {
    size_t length = strlen(path);
    size_t cut = 0;
    for (int i = 0; i < count; ++i) {
      if (!endsWith(path, length, endings[i], &cut)) continue;
      size_t extra = strlen(replacement);
      char *derived = static_cast<char *>(malloc(cut + extra + 1));
      if (!derived) {
        url->dnref();
        return BRERROR_NO_MEMORY;
      }
      memcpy(derived, path, cut);
      memcpy(derived + cut, replacement, extra + 1);
      err = url->setPath(derived);
      free(derived);
      if (err != 0) {
        url->dnref();
        return err;
      }
      break;
    }
  }
  *out = url;
  return 0;
}

}  // namespace

brerror_t HBURL__newFromString(IHBURL **out, const char *text) {
  HBURL *url = newURL();
  if (!url) return BRERROR_NO_MEMORY;
  if (url->parse(text) != 0) {
    url->dnref();
    return BRERROR_UNSPECIFIED;
  }
  *out = url;
  return 0;
}

brerror_t HBURL__new(IHBURL **out, const char *scheme, const char *host, uint16_t port,
                     const char *path) {
  HBURL *url = newURL();
  if (!url) return BRERROR_NO_MEMORY;
  brerror_t err = url->setScheme(scheme ? scheme : "http");
  if (err == 0) err = url->setHostname(host);
  if (err == 0) err = url->setPath(path);
  if (err != 0) {
    url->dnref();
    return err;
  }
  url->setPort(port != 0 ? port : defaultPort(scheme));
  *out = url;
  return 0;
}

brerror_t HBURL__newFileURL(IHBURL **out, const char *path) {
  if (path && strncmp(path, "file://", 7) == 0) return HBURL__newFromString(out, path);
  HBURL *url = newURL();
  if (!url) return BRERROR_NO_MEMORY;
  url->setScheme("file");
  brerror_t err = url->setPath(path);
  if (err != 0) {
    url->dnref();
    return err;
  }
  *out = url;
  return 0;
}

brerror_t HBURL__copy(IHBURL **out, IHBURL *other) {
  HBURL *url = newURL();
  if (!url) return BRERROR_NO_MEMORY;
  brerror_t err = url->copyFrom(other);
  if (err != 0) {
    url->dnref();
    return err;
  }
  *out = url;
  return 0;
}

int HBURL__compare(IHBURL *a, IHBURL *b) {
  if (a == b) return 0;
  int c = compareText(a->getScheme(), b->getScheme());
  if (c == 0) c = compareText(a->getHostname(), b->getHostname());
  if (c == 0) c = compareText(a->getPath(), b->getPath());
  if (c == 0 && a->getPort() != b->getPort()) c = a->getPort() < b->getPort() ? -1 : 1;
  if (c == 0) c = compareText(a->getUser(), b->getUser());
  if (c == 0) c = compareText(a->getPassword(), b->getPassword());
  return c;
}

brerror_t HBURL__apiURLFromSvcURL(const char *text, IHBURL **out) {
  static const char *const kEndings[] = {"/xconnect", "/xconnect/"};
  return deriveURL(text, out, kEndings, 2, "/api");
}

brerror_t HBURL__filesURLFromSvcURL(const char *text, IHBURL **out) {
  static const char *const kEndings[] = {"/api", "/api/", "/xconnect", "/xconnect/"};
  return deriveURL(text, out, kEndings, 4, "/files");
}

brerror_t HBURL__encodeComponent(const char *text, int32_t length, IHBStream *stream) {
  static const char kHex[] = "0123456789ABCDEF";
  size_t n = length < 0 ? strlen(text) : static_cast<size_t>(length);
  char out[1024];
  int32_t fill = 0;
  brerror_t total = 0;
  auto flush = [&]() -> brerror_t {
    // A stream may take less than offered; the XML writer loops until all
    // of it is written.
    brerror_t written = HBStream__xmlWriter(stream, out, fill);
    if (written < 0) return written;
    total += written;
    fill = 0;
    return 0;
  };
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (fill > static_cast<int32_t>(sizeof out) - 3) {
      brerror_t err = flush();
      if (err < 0) return err;
    }
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out[fill++] = static_cast<char>(c);
    } else {
      out[fill++] = '%';
      out[fill++] = kHex[c >> 4];
      out[fill++] = kHex[c & 15];
    }
  }
  if (fill > 0) {
    brerror_t err = flush();
    if (err < 0) return err;
  }
  return total;
}

int32_t HBURL__decodePath(const char *text, char *out, int32_t size, const char *scheme) {
  if (!out || size <= 0) return BRERROR_INVALID_ARGUMENT;
  bool plusIsSpace = !scheme || strcmp(scheme, "file") != 0;
  int32_t length = 0;
  for (const char *p = text; p && *p; ++p) {
    char c = *p;
    if (c == '%') {
      int hi = brutil_hexDigitValue(p[1]);
      int lo = hi < 0 ? -1 : brutil_hexDigitValue(p[2]);
      if (lo < 0) {
        out[length < size ? length : size - 1] = '\0';
        return BRERROR_INVALID_ARGUMENT;
      }
      c = static_cast<char>(hi * 16 + lo);
      p += 2;
    } else if (c == '+' && plusIsSpace) {
      c = ' ';
    }
    if (length < size - 1) out[length] = c;
    ++length;
  }
  out[length < size ? length : size - 1] = '\0';
  return length;
}
