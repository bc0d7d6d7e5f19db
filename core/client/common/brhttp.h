// brhttp: the synchronous HTTP/1.1 client.
//
// BRHTTPConnection is one transport connection (TCP, a local stream socket,
// or a transport supplied by a registered low-level connection factory);
// BRHTTPRequest is one request/response exchange on it; HBBRHTTPReqStrm is
// an IHBStream over a request. A connection stays open after a response
// when the protocol allows it, so that the pool can lend it again.
//
// Ownership: BRHTTPConnection__new hands out one reference; a request holds
// another until it is destroyed. BRHTTPConnection__destroy closes the
// socket and drops the caller's reference. Counts are atomic, but one
// connection and its request are driven by one thread at a time. The
// factory list and the user-agent suffix are set at start-up, before any
// thread issues requests.
//
// Every call returns a brerror_t: a status code or byte count (>= 0) or a
// negative error. A time-out (-11, or -2) leaves the request as it was; the
// caller decides, and destroying such a request closes the connection.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstdint>

#include "brsocket_posix.h"
#include "hbstream.h"

constexpr int32_t BRHTTP_SCHEME_MAX = 31;
constexpr int32_t BRHTTP_HOST_MAX = 255;
constexpr int32_t BRHTTP_HEAD_SIZE = 4096;
constexpr int32_t BRHTTP_MAX_FACTORIES = 32;
// Connection flag: use the secure transport even for a scheme other than
// "https".
constexpr uint32_t BRHTTP_FLAG_SECURE = 0x100000;

enum BRHTTPState : int32_t {
  BRHTTP_STATE_NEW = 0,
  BRHTTP_STATE_REQUEST_BODY = 1,
  BRHTTP_STATE_REQUEST_SENT = 2,
  BRHTTP_STATE_RESPONSE_BODY = 3,
  BRHTTP_STATE_RESPONSE_TRAILER = 4,
  BRHTTP_STATE_DONE = 5,
  BRHTTP_STATE_ERROR = 6,
  BRHTTP_STATE_INVALID = 7,
};

struct BRHTTPConnection;
struct BRHTTPRequest;

// A transport hook. The transport keeps conn->sock up to date (-1 while
// closed) so that liveness checks and isConnected work for it as well.
struct BRHTTPLowConnOps {
  void (*destroy)(BRHTTPLowConnOps *ops);
  brerror_t (*connect)(BRHTTPLowConnOps *ops, const char *host);
  brerror_t (*close)(BRHTTPLowConnOps *ops, const char *reason);
  brerror_t (*recv)(BRHTTPLowConnOps *ops, void *buffer, int32_t size);
  brerror_t (*send)(BRHTTPLowConnOps *ops, const void *data, int32_t size);
  brerror_t (*writev)(BRHTTPLowConnOps *ops, const struct iovec *vector, int count);
  BRHTTPConnection *conn;
  void *state;
};

struct BRHTTPLowConnFactory {
  bool (*supports)(BRHTTPLowConnFactory *factory, BRHTTPConnection *conn);
  brerror_t (*create)(BRHTTPLowConnFactory *factory, BRHTTPConnection *conn,
                      BRHTTPLowConnOps **ops);
  void *state;
};

struct BRHTTPConnection {
  std::atomic<int32_t> refs;
  brsocket_t sock;  // -1 while closed
  brsockaddr_t addr;
  char scheme[BRHTTP_SCHEME_MAX + 1];
  // Host, plus ":port" unless the scheme is "http" on port 80: the Host
  // header and the tag of the connection's log lines.
  char host[BRHTTP_HOST_MAX + 8];
  uint16_t port;
  bool secure;
  bool nonBlocking;
  int32_t connectMs, readMs, writeMs;  // -1: no limit
  BRHTTPLowConnOps *ops;
  // Polls made by receives, sends and gathered writes since the last
  // request was destroyed.
  uint32_t recvPolls, sendPolls, writevPolls;
  bool lastRecvTimedOut;
  bool inDestroy;
};

// Process-wide set-up.
brerror_t BRHTTP__addLowConnFactory(BRHTTPLowConnFactory *factory);
brerror_t BRHTTP__removeLowConnFactory(BRHTTPLowConnFactory *factory);
// Copies the suffix of the user agent; null clears it.
brerror_t BRHTTP__setDefaultUserAgent(const char *suffix);
// Writes "QXHTTP/4.5.5.14" and the suffix like snprintf; returns the full
// length.
int32_t BRHTTP__getUserAgent(char *buffer, int32_t length);
// Splits "scheme://[user@]host[:port][/path]". Port: explicit (at most 11
// digits, up to 65535), else 443 for "https:" and 80 otherwise; path "/" by
// default. Outputs are cut to their lengths; `userOut` (may be null)
// receives the user part or "". -6 without "://" or with a bad port.
brerror_t BRHTTP__parseUrl(const char *url, uint16_t *port, char *schemeOut, int32_t schemeLen,
                           char *hostOut, int32_t hostLen, char *pathOut, int32_t pathLen,
                           char *userOut, int32_t userLen);

// Creates and connects; nothing is left allocated on failure.
brerror_t BRHTTPConnection__new(BRHTTPConnection **out, const char *scheme, const char *host,
                                uint16_t port, uint32_t flags, int32_t connectMs, int32_t readMs,
                                int32_t writeMs);
brerror_t BRHTTPConnection__connect(BRHTTPConnection *conn);
brerror_t BRHTTPConnection__close(BRHTTPConnection *conn);
brerror_t BRHTTPConnection__destroy(BRHTTPConnection *conn);
bool BRHTTPConnection__isConnected(BRHTTPConnection *conn);
void BRHTTPConnection__upref(BRHTTPConnection *conn);
void BRHTTPConnection__dnref(BRHTTPConnection *conn);
void BRHTTPConnection__setTimeouts(BRHTTPConnection *conn, int32_t connectMs, int32_t readMs,
                                   int32_t writeMs);
void BRHTTPConnection__getTimeouts(BRHTTPConnection *conn, int32_t *connectMs, int32_t *readMs,
                                   int32_t *writeMs);
// Method null: "GET"; protocol null: "HTTP/1.1".
brerror_t BRHTTPConnection__newRequest(BRHTTPConnection *conn, BRHTTPRequest **out,
                                       const char *method, const char *path,
                                       const char *protocol);
// Socket I/O with the connection's time-outs, or through its hook.
brerror_t BRHTTPConnection__recv(BRHTTPConnection *conn, void *buffer, int32_t size);
brerror_t BRHTTPConnection__send(BRHTTPConnection *conn, const void *data, int32_t size);
brerror_t BRHTTPConnection__writev(BRHTTPConnection *conn, const struct iovec *vector,
                                   int count);

// Request calls, in calling order. A null or empty name ends the head like
// sendRequest. A header that does not fit is dropped (logged); the call
// still succeeds.
brerror_t BRHTTPRequest__addRequestHeader(BRHTTPRequest *req, const char *name,
                                          const char *value);
// Sends the head alone and reads one interim response; its status code.
brerror_t BRHTTPRequest__receive100ResponseHeader(BRHTTPRequest *req);
// The count of the caller's bytes taken (may be fewer than offered).
brerror_t BRHTTPRequest__writeRequestBody(BRHTTPRequest *req, const void *data, int32_t length);
brerror_t BRHTTPRequest__sendRequest(BRHTTPRequest *req);
brerror_t BRHTTPRequest__receiveResponseHeader(BRHTTPRequest *req, char *protoOut,
                                               int32_t protoLen, char *reasonOut,
                                               int32_t reasonLen);
brerror_t BRHTTPRequest__getResponseStatus(BRHTTPRequest *req, char *protoOut, int32_t protoLen,
                                           char *reasonOut, int32_t reasonLen);
// Valid until the request is destroyed; null when absent.
const char *BRHTTPRequest__getResponseHeader(BRHTTPRequest *req, const char *name);
// Bytes delivered, 0 at the end of the body. A null buffer discards (at
// most 4,096 bytes per call).
brerror_t BRHTTPRequest__receiveResponseBody(BRHTTPRequest *req, void *buffer, int32_t size);
BRHTTPState BRHTTPRequest__getState(BRHTTPRequest *req);
// Keeps the connection open when the exchange is complete (draining a
// small unread rest first), closes it otherwise, and frees the request.
void BRHTTPRequest__destroy(BRHTTPRequest *req);

// read is the response body, write the request body; seek is not offered.
// Does not own the request.
class HBBRHTTPReqStrm final : public IHBStream {
 public:
  explicit HBBRHTTPReqStrm(BRHTTPRequest *req) : req_(req) {}
  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override;
  brerror_t getifc(hbtype_t id, void **out) override;
  brerror_t read(void *buffer, int32_t size) override;
  brerror_t write(const void *data, int32_t size) override;
  int64_t seek(int64_t offset, int origin) override;
  brerror_t sync() override { return 0; }
  brerror_t close() override { return 0; }
  int64_t sendTo(IHBStream *destination, int64_t count) override;

 private:
  ~HBBRHTTPReqStrm() override = default;
  HBRefCount refs_;
  BRHTTPRequest *req_;
};
