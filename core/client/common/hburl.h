// hburl: the URL object that names a service endpoint (scheme, host, port,
// path, user, password), with parsing, formatting, a total order for sorted
// containers, the derivation of the API and file-data endpoints from a
// configured service URL, and percent coding of paths and query components.
//
// The path is held decoded. Texts returned by the getters belong to the URL
// and stay valid until the matching setter is called or the URL dies. URLs
// are reference counted (atomic) and, once built, are shared read-only
// between threads; the setters are for the thread that builds the URL.
#pragma once

#include <cstdint>

#include "hbobj.h"
#include "hbstr.h"
#include "hbstream.h"

// Longest scheme; a longer one is refused by the parser and the setters.
constexpr int32_t HBURL_SCHEME_MAX = 31;

class IHBURI : public IHBObj {
 public:
  // The text form as a new string object (owned by the caller), or null
  // when it cannot be had.
  virtual IHBStr *toString() = 0;
  virtual const char *getScheme() = 0;
};

class IHBURL : public IHBURI {
 public:
  using IHBURI::toString;
  // -6 for a null scheme or one longer than 31 characters.
  virtual brerror_t setScheme(const char *scheme) = 0;
  virtual const char *getHostname() = 0;
  // Null clears; -19 when the copy cannot be had. Likewise for the others.
  virtual brerror_t setHostname(const char *host) = 0;
  virtual const char *getPath() = 0;
  virtual brerror_t setPath(const char *path) = 0;
  virtual uint16_t getPort() = 0;
  virtual void setPort(uint16_t port) = 0;
  virtual const char *getUser() = 0;
  virtual brerror_t setUser(const char *user) = 0;
  virtual const char *getPassword() = 0;
  virtual brerror_t setPassword(const char *password) = 0;
  // Formats like snprintf: the full length of the text form (which may be
  // larger than `size`; the copy is cut and NUL-terminated).
  virtual int32_t toString(char *buffer, int32_t size) = 0;
};

// Parses "scheme://[user[:password]@]host[:port][/path]". -1 (logged under
// "HBURL") when the text has no "://", a scheme over 31 characters, a port
// that is not a decimal number up to 65535, or a bad percent escape.
brerror_t HBURL__newFromString(IHBURL **out, const char *text);
// Scheme null: "http". Port 0: 80 for "http", 443 for "https". The path is
// stored as given (not decoded).
brerror_t HBURL__new(IHBURL **out, const char *scheme, const char *host, uint16_t port,
                     const char *path);
// "file://..." is parsed; any other text is the path of a "file" URL.
brerror_t HBURL__newFileURL(IHBURL **out, const char *path);
brerror_t HBURL__copy(IHBURL **out, IHBURL *other);
// Scheme, host, path (exact), then port, user, password; absent texts sort
// first.
int HBURL__compare(IHBURL *a, IHBURL *b);

// "/xconnect[/]" at the end of the path becomes "/api".
brerror_t HBURL__apiURLFromSvcURL(const char *text, IHBURL **out);
// "/api[/]" or "/xconnect[/]" at the end of the path becomes "/files".
brerror_t HBURL__filesURLFromSvcURL(const char *text, IHBURL **out);

// Writes `text` (`length` bytes, or up to the NUL when -1) percent-encoded
// for a query component. Returns the bytes written or the stream's error.
brerror_t HBURL__encodeComponent(const char *text, int32_t length, IHBStream *stream);

// Percent-decodes `text` into `out` ("+" is a space except for the "file"
// scheme). `out` is always NUL-terminated, cut at `size`. The full decoded
// length (larger than size - 1 when cut), or -6 at a "%" not followed by two
// hexadecimal digits.
int32_t HBURL__decodePath(const char *text, char *out, int32_t size, const char *scheme);
