#include "brhttp.h"

#include <arpa/inet.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brhttpparser.h"
#include "brlog.h"
#include "brstring.h"

namespace {

const char kTag[] = "BRHTTP";
const char kProduct[] = "QXHTTP/4.5.5.14";

BRHTTPLowConnFactory *g_factories[BRHTTP_MAX_FACTORIES];
char *g_userAgentSuffix;

// Polls a single call may spend waiting for readiness that a retry then
// finds is not there.
constexpr uint32_t kRecvPollLimit = 4;
constexpr uint32_t kSendPollLimit = 5;
constexpr uint32_t kWritevPollLimit = 50;
// Unread body bytes that destruction drains to keep the connection.
constexpr int64_t kDrainLimit = 4096;
constexpr int kChunkedDrainReads = 4;

enum : uint32_t {
  REQ_HTTP = 1u << 0,
  REQ_HTTP11 = 1u << 1,
  REQ_HAS_HOST = 1u << 2,
  REQ_HAS_LENGTH = 1u << 3,
  REQ_CHUNKED = 1u << 4,
  REQ_NO_RESPONSE_BODY = 1u << 5,
  REQ_HAS_AGENT = 1u << 6,
  RESP_HTTP = 1u << 7,
  RESP_HTTP11 = 1u << 8,
  RESP_CLOSE = 1u << 9,
  RESP_HAS_LENGTH = 1u << 10,
  RESP_CHUNKED = 1u << 11,
  REQ_TIMED_OUT = 1u << 12,
  REQ_HEAD_ENDED = 1u << 13,  // the blank line is in the head
  REQ_SEND_FAILED = 1u << 14,  // a write failed, even if nothing went out
};

}  // namespace

struct BRHTTPRequest {
  BRHTTPConnection *conn;
  uint32_t flags;
  BRHTTPState state;
  // The request head while it is built and sent; then the receive buffer
  // of the response head and of body bytes that came with it. One byte
  // more than the head size so that a full line can be NUL-terminated.
  char head[BRHTTP_HEAD_SIZE + 1];
  int32_t headLen;   // request head built
  int32_t headSent;  // request head bytes already on the wire
  bool receiving;    // the buffer has become the receive buffer
  int32_t fill;      // received bytes in the buffer
  int32_t readPos;   // start of the pending response bytes
  int32_t scanPos;   // where the search for the current line end stopped
  int32_t headBytes;  // bytes of the response head (or trailer) so far
  bool statusSeen;   // the status line of the current head is parsed
  int64_t bodyToSend;
  int64_t bodyToReceive;  // -1: no chunk open
  int64_t chunkOwed;      // data bytes of the current request chunk unsent
  bool firstChunkSeen;
  int status;
  char proto[33];
  char reason[128];
  char store[BRHTTP_HEAD_SIZE];  // name\0value\0 pairs
  int32_t storeLen;
};

namespace {

bool isRetryable(brerror_t err) {
  return err == BRERROR_TIMED_OUT || err == BRERROR_TRY_AGAIN;
}

void setNonBlocking(BRHTTPConnection *conn, bool on) {
  int32_t value = on ? 1 : 0;
  brsocket_setsockopt(conn->sock, BRSOCKET_SOL_SOCKET, BRSOCKET_SO_NONBLOCKING, &value,
                      sizeof value);
}

void setNoDelay(BRHTTPConnection *conn) {
  if (conn->addr.family != BRSOCKET_FAMILY_IPV4) return;
  int32_t on = 1;
  brsocket_setsockopt(conn->sock, 6, 0x01, &on, sizeof on);
}

// Waits for `events` on the connection's socket; > 0 with the returned
// events in *revents, 0 on time-out, or an error. Interrupted waits are
// repeated.
brerror_t waitFor(BRHTTPConnection *conn, int16_t events, int32_t timeoutMs, int16_t *revents,
                  const char *what) {
  for (;;) {
    brpollfd_t entry{conn->sock, events, 0};
    brerror_t rc = brsocket_poll(&entry, 1, timeoutMs);
    if (rc == BRERROR_INTERRUPTED) {
      brlog(kTag, BRLOG_DEBUG, "%s: Poll was interrupted, trying again...\n", what);
      continue;
    }
    *revents = entry.revents;
    return rc;
  }
}

// Runs `op` on the socket until it does more than report "would block",
// waiting for readiness up to the time-out before each retry. A blocking
// socket with a time-out waits first, so that the call itself never blocks
// past the time-out.
template <typename Op>
brerror_t ioWithTimeout(BRHTTPConnection *conn, int16_t events, int32_t timeoutMs,
                        uint32_t pollLimit, uint32_t *pollCounter, const char *what, Op op) {
  if (conn->sock < 0) return BRERROR_NO_CONNECTION;
  bool waitFirst = !conn->nonBlocking && timeoutMs >= 0;
  uint32_t polls = 0;
  for (;;) {
    if (!waitFirst) {
      brerror_t rc = op();
      if (rc != BRERROR_TIMED_OUT) return rc;
      if (polls >= pollLimit) {
        brlog(kTag, BRLOG_WARNING, "%s: TIMEOUT when it should have worked!\n", what);
        return BRERROR_TIMED_OUT;
      }
    }
    waitFirst = false;
    int16_t revents = 0;
    brerror_t rc = waitFor(conn, events, timeoutMs, &revents, what);
    ++polls;
    ++*pollCounter;
    if (rc < 0) return rc;
    if (rc == 0) {
      brlog(kTag, BRLOG_WARNING, "%s: Timeout (%d) waiting for data on connection...\n", what,
            timeoutMs);
      return BRERROR_TIMED_OUT;
    }
    if ((events & BRPOLL_OUT) && !(revents & BRPOLL_OUT)) {
      return (revents & BRPOLL_HUP) ? BRERROR_CONNECTION_RESET : BRERROR_UNSPECIFIED;
    }
  }
}

const char *reqHost(BRHTTPRequest *req) { return req->conn->host; }

// Appends "name: value\r\n" keeping two bytes for the blank line.
bool appendHeader(BRHTTPRequest *req, const char *name, const char *value) {
  int32_t room = BRHTTP_HEAD_SIZE - 2 - req->headLen;
  int n = snprintf(req->head + req->headLen, static_cast<size_t>(room + 1), "%s: %s\r\n", name,
                   value ? value : "");
  if (n < 0 || n > room) {
    req->head[req->headLen] = '\0';
    brlog(kTag, BRLOG_ERROR, "BUFFER OVERFLOW! YIKES -- Dropping header '%s: %s'\n", name,
          value ? value : "");
    return false;
  }
  req->headLen += n;
  return true;
}

void closeConn(BRHTTPConnection *conn, const char *reason) {
  if (conn->ops) {
    conn->ops->close(conn->ops, reason);
    conn->sock = -1;
    return;
  }
  if (conn->sock >= 0) {
    brlog(kTag, BRLOG_DEBUG, "[%s] closing: %s\n", conn->host, reason);
    brsocket_close(conn->sock);
    conn->sock = -1;
  }
}

// Sends all `length` bytes (used to complete framing that must not be
// left half-written).
brerror_t sendAll(BRHTTPConnection *conn, const char *data, int32_t length) {
  while (length > 0) {
    brerror_t n = BRHTTPConnection__send(conn, data, length);
    if (n < 0) return n;
    if (n == 0) return BRERROR_NO_CONNECTION;
    data += n;
    length -= n;
  }
  return 0;
}

void failRequest(BRHTTPRequest *req) { req->state = BRHTTP_STATE_ERROR; }

// The error of a body write: time-outs and resets leave the state, so that
// the caller may retry or give up; anything else fails the request.
brerror_t sendError(BRHTTPRequest *req, brerror_t err) {
  req->flags |= REQ_SEND_FAILED;
  if (isRetryable(err)) {
    req->flags |= REQ_TIMED_OUT;
    return err;
  }
  if (err == BRERROR_CONNECTION_ABORTED || err == BRERROR_CONNECTION_RESET) return err;
  failRequest(req);
  return err;
}

// One gathered write of [unsent head] + body data, with chunk framing when
// the body is chunked. Returns the caller's bytes taken. Framing (and a
// head) cut short is completed before returning, so that the wire never
// holds half a frame between calls.
brerror_t writeFramed(BRHTTPRequest *req, const char *data, int32_t length) {
  BRHTTPConnection *conn = req->conn;
  bool chunked = (req->flags & REQ_CHUNKED) && !(req->flags & REQ_HAS_LENGTH);
  struct iovec iov[6];
  int count = 0;
  int32_t headRest = req->headLen - req->headSent;
  if (headRest > 0) iov[count++] = {req->head + req->headSent, static_cast<size_t>(headRest)};

  // Segments after the head: [old chunk data][mid frame][new data][end].
  int32_t oldPart = 0;
  int32_t newPart = 0;
  char mid[24];
  int32_t midLen = 0;
  static char kCRLF[] = "\r\n";
  int32_t endLen = 0;
  if (chunked) {
    oldPart = static_cast<int32_t>(req->chunkOwed < length ? req->chunkOwed : length);
    newPart = length - oldPart;
    bool closesOld = req->chunkOwed > 0 && oldPart == req->chunkOwed;
    if (newPart > 0) {
      midLen = snprintf(mid, sizeof mid, "%s%x\r\n", closesOld ? "\r\n" : "", newPart);
      endLen = 2;
    } else if (closesOld) {
      midLen = 2;
      memcpy(mid, "\r\n", 2);
    }
  } else {
    oldPart = length;
  }
  if (oldPart > 0) iov[count++] = {const_cast<char *>(data), static_cast<size_t>(oldPart)};
  if (midLen > 0) iov[count++] = {mid, static_cast<size_t>(midLen)};
  if (newPart > 0) {
    iov[count++] = {const_cast<char *>(data + oldPart), static_cast<size_t>(newPart)};
  }
  if (endLen > 0) iov[count++] = {kCRLF, 2};
  if (count == 0) return 0;

  brerror_t n = BRHTTPConnection__writev(conn, iov, count);
  if (n < 0) return sendError(req, n);
  int32_t left = n;
  auto complete = [&](const char *rest, int32_t restLen) -> brerror_t {
    brerror_t err = sendAll(conn, rest, restLen);
    if (err < 0) failRequest(req);
    return err;
  };

  // Head.
  if (left < headRest) {
    req->headSent += left;
    brerror_t err = complete(req->head + req->headSent, req->headLen - req->headSent);
    if (err < 0) return err;
    req->headSent = req->headLen;
    return 0;
  }
  left -= headRest;
  req->headSent = req->headLen;
  // Data of the open chunk (or plain body data).
  if (left < oldPart) {
    if (chunked) req->chunkOwed -= left;
    return left;
  }
  left -= oldPart;
  if (chunked) req->chunkOwed -= oldPart;
  if (!chunked) return oldPart;
  // Frame between the chunks.
  if (left < midLen) {
    brerror_t err = complete(mid + left, midLen - left);
    if (err < 0) return err;
    req->chunkOwed = newPart;
    return oldPart;
  }
  left -= midLen;
  req->chunkOwed = newPart;
  if (left < newPart) {
    req->chunkOwed = newPart - left;
    return oldPart + left;
  }
  left -= newPart;
  req->chunkOwed = 0;
  if (left < endLen) {
    brerror_t err = complete(kCRLF + left, endLen - left);
    if (err < 0) return err;
  }
  return length;
}

bool bodyExpected(BRHTTPRequest *req) {
  return !(req->flags & REQ_HTTP) || (req->flags & (REQ_HAS_LENGTH | REQ_CHUNKED));
}

bool owesBody(BRHTTPRequest *req) {
  if (!(req->flags & REQ_HTTP)) return true;
  if (req->flags & REQ_HAS_LENGTH) return req->bodyToSend > 0;
  return (req->flags & REQ_CHUNKED) != 0;
}

// Completes the head and sends it with the first body part.
brerror_t sendHead(BRHTTPRequest *req, const void *data, int32_t length) {
  if (!(req->flags & REQ_HEAD_ENDED)) {
    if ((req->flags & REQ_HTTP11) && !(req->flags & REQ_HAS_HOST)) {
      if (appendHeader(req, "Host", req->conn->host)) req->flags |= REQ_HAS_HOST;
    }
    if (!(req->flags & REQ_HAS_AGENT)) {
      char agent[512];
      BRHTTP__getUserAgent(agent, sizeof agent);
      if (appendHeader(req, "User-Agent", agent)) req->flags |= REQ_HAS_AGENT;
    }
    memcpy(req->head + req->headLen, "\r\n", 2);
    req->headLen += 2;
    req->head[req->headLen] = '\0';
    req->flags |= REQ_HEAD_ENDED;
  }
  BRHTTPConnection *conn = req->conn;
  if (req->headSent == 0 && !BRHTTPConnection__isConnected(conn)) {
    brlog(kTag, BRLOG_DEBUG, "Implicitly reconnecting to support non-keep alive...\n");
    brerror_t err = BRHTTPConnection__connect(conn);
    if (err < 0) {
      brlog(kTag, BRLOG_ERROR, "Failed to reconnect to server: %d\n", err);
      return err;
    }
  }
  if (!bodyExpected(req)) length = 0;
  if ((req->flags & REQ_HAS_LENGTH) && length > req->bodyToSend) {
    length = static_cast<int32_t>(req->bodyToSend);
  }
  brerror_t taken = writeFramed(req, static_cast<const char *>(data), length);
  if (taken < 0) return taken;
  if (req->flags & REQ_HAS_LENGTH) req->bodyToSend -= taken;
  if (req->headSent == req->headLen) {
    req->state = owesBody(req) ? BRHTTP_STATE_REQUEST_BODY : BRHTTP_STATE_REQUEST_SENT;
  }
  return taken;
}

// Ends the request: the last chunk of a chunked body, or nothing.
brerror_t finishRequest(BRHTTPRequest *req, const char *op) {
  if (req->state == BRHTTP_STATE_NEW) {
    brerror_t err = sendHead(req, nullptr, 0);
    if (err < 0) return err;
  }
  if (req->state == BRHTTP_STATE_REQUEST_BODY && !owesBody(req)) {
    req->state = BRHTTP_STATE_REQUEST_SENT;
  }
  if (req->state == BRHTTP_STATE_REQUEST_SENT) return 0;
  bool chunked = (req->flags & REQ_CHUNKED) && !(req->flags & REQ_HAS_LENGTH);
  if (req->state != BRHTTP_STATE_REQUEST_BODY || !chunked || req->chunkOwed > 0) {
    brlog(kTag, BRLOG_ERROR, "%s -- bad state: %d!\n", op, req->state);
    return BRERROR_BAD_STATE;
  }
  brerror_t err = sendAll(req->conn, "0\r\n\r\n", 5);
  if (err < 0) {
    failRequest(req);
    return err;
  }
  req->state = BRHTTP_STATE_REQUEST_SENT;
  return 0;
}

void resetResponse(BRHTTPRequest *req);

// Turns the buffer from the (fully sent) request head into the receive
// buffer.
void beginReceive(BRHTTPRequest *req) {
  if (req->receiving) return;
  req->receiving = true;
  req->fill = req->readPos = req->scanPos = 0;
  resetResponse(req);
}

void resetResponse(BRHTTPRequest *req) {
  req->flags &= ~(RESP_HTTP | RESP_HTTP11 | RESP_CLOSE | RESP_HAS_LENGTH | RESP_CHUNKED);
  req->status = 0;
  req->proto[0] = '\0';
  req->reason[0] = '\0';
  req->storeLen = 0;
  req->bodyToReceive = 0;
  req->statusSeen = false;
  req->headBytes = 0;
}

// Receives more response bytes into the buffer, moving pending bytes to
// its start first. 0 at end of stream.
brerror_t fillBuffer(BRHTTPRequest *req) {
  if (req->readPos > 0) {
    int32_t pending = req->fill - req->readPos;
    memmove(req->head, req->head + req->readPos, static_cast<size_t>(pending));
    req->fill = pending;
    req->scanPos -= req->readPos;
    req->readPos = 0;
  }
  if (req->fill >= BRHTTP_HEAD_SIZE) return BRERROR_NO_SPACE;
  brerror_t n = BRHTTPConnection__recv(req->conn, req->head + req->fill,
                                       BRHTTP_HEAD_SIZE - req->fill);
  if (n > 0) req->fill += n;
  return n;
}

// Makes the next whole line available at req->head + readPos, NUL-terminated,
// and consumes it. `limit` caps req->headBytes (the bytes of the lines of the
// current head or trailer). Errors: -12 beyond the limit, -24 at end of
// stream, or the receive error (time-outs leave everything as it was).
brerror_t nextLine(BRHTTPRequest *req, char **line, size_t *endLength, int32_t limit) {
  for (;;) {
    size_t lineLength = 0;
    const char *start = req->head + req->readPos;
    size_t avail = static_cast<size_t>(req->fill - req->readPos);
    size_t from = static_cast<size_t>(req->scanPos - req->readPos);
    if (brhttpparser__findLine(start, avail, from, &lineLength, endLength)) {
      int32_t used = static_cast<int32_t>(lineLength + *endLength);
      if (req->headBytes + used > limit) return BRERROR_NO_SPACE;
      req->headBytes += used;
      *line = req->head + req->readPos;
      (*line)[lineLength] = '\0';
      req->readPos += used;
      req->scanPos = req->readPos;
      return 0;
    }
    req->scanPos = req->readPos + static_cast<int32_t>(avail > 0 && start[avail - 1] == '\r'
                                                           ? avail - 1
                                                           : avail);
    if (req->headBytes + static_cast<int32_t>(avail) >= limit) return BRERROR_NO_SPACE;
    brerror_t n = fillBuffer(req);
    if (n == 0) return BRERROR_EOF;
    if (n < 0) return n;
  }
}

void storeHeader(BRHTTPRequest *req, const char *name, const char *value) {
  size_t nameLen = strlen(name);
  size_t valueLen = strlen(value);
  if (nameLen + valueLen + 3 > static_cast<size_t>(BRHTTP_HEAD_SIZE - req->storeLen)) return;
  memcpy(req->store + req->storeLen, name, nameLen + 1);
  req->storeLen += static_cast<int32_t>(nameLen + 1);
  memcpy(req->store + req->storeLen, value, valueLen + 1);
  req->storeLen += static_cast<int32_t>(valueLen + 1);
}

// Applies one response header line. -6 for a malformed length.
brerror_t applyHeader(BRHTTPRequest *req, char *line, bool store, const char *op) {
  const char *name = nullptr;
  const char *value = nullptr;
  if (brhttpparser__splitHeader(line, &name, &value) != 0) {
    brlog(kTag, BRLOG_WARNING, "%s -- ignoring malformed header line '%s'\n", op, line);
    return 0;
  }
  if (brstrcasecmp(name, "content-length") == 0) {
    int64_t length = 0;
    if (brhttpparser__parseLength(value, &length) != 0 ||
        ((req->flags & RESP_HAS_LENGTH) && length != req->bodyToReceive)) {
      brlog(kTag, BRLOG_ERROR, "%s -- bad Content-Length '%s'\n", op, value);
      return BRERROR_INVALID_ARGUMENT;
    }
    if (!(req->flags & RESP_CHUNKED)) {
      req->flags |= RESP_HAS_LENGTH;
      req->bodyToReceive = length;
    }
  } else if (brstrcasecmp(name, "transfer-encoding") == 0) {
    if (brstrncasecmp(value, "chunked", 7) == 0) {
      if (req->flags & RESP_HAS_LENGTH) {
        brlog(kTag, BRLOG_INFO, "Chunked reponse with Content-length, ignoring Content-length\n");
      }
      req->flags = (req->flags | RESP_CHUNKED) & ~RESP_HAS_LENGTH;
      req->bodyToReceive = -1;
    } else {
      brlog(kTag, BRLOG_WARNING, "Unknown transfer encoding: '%s'\n", value);
    }
  } else if (brstrcasecmp(name, "connection") == 0) {
    if (brstrncasecmp(value, "close", 5) == 0) req->flags |= RESP_CLOSE;
  }
  if (store) storeHeader(req, name, value);
  return 0;
}

// Parses the status line into the response fields.
brerror_t applyStatusLine(BRHTTPRequest *req, const char *line, const char *op) {
  size_t protoLength = 0;
  int code = 0;
  const char *reason = nullptr;
  const char *what = nullptr;
  if (brhttpparser__parseStatusLine(line, &protoLength, &code, &reason, &what) != 0) {
    brlog(kTag, BRLOG_ERROR, "%s -- Failed to parse status %s '%s'!\n", op, what, line);
    return BRERROR_INVALID_ARGUMENT;
  }
  size_t copy = protoLength < sizeof req->proto - 1 ? protoLength : sizeof req->proto - 1;
  memcpy(req->proto, line, copy);
  req->proto[copy] = '\0';
  snprintf(req->reason, sizeof req->reason, "%s", reason);
  req->status = code;
  if (strncmp(line, "HTTP", 4) == 0) {
    req->flags |= RESP_HTTP;
    if (protoLength == 8 && strncmp(line, "HTTP/1.0", 8) == 0) {
      req->flags |= RESP_CLOSE;
    } else {
      req->flags |= RESP_HTTP11;
    }
  }
  return 0;
}

// Reads one response head (status line and headers up to the blank line).
// Resumable after a time-out: lines already applied stay applied.
brerror_t readHead(BRHTTPRequest *req, bool store, const char *op) {
  for (;;) {
    char *line = nullptr;
    size_t endLength = 0;
    brerror_t err = nextLine(req, &line, &endLength, BRHTTP_HEAD_SIZE);
    if (err == BRERROR_NO_SPACE) {
      brlog(kTag, BRLOG_ERROR, "%s -- header buffer overflow!\n", op);
      return err;
    }
    if (err == BRERROR_EOF) {
      brlog(kTag, BRLOG_ERROR, "%s -- EOF while reading HTTP header (%d %d %d)!\n", op,
            req->fill, req->readPos, req->headBytes);
      return err;
    }
    if (err < 0) return err;
    if (!req->statusSeen) {
      // Blank lines before the status line (left over from a previous
      // message's framing) are skipped.
      if (line[0] == '\0') continue;
      err = applyStatusLine(req, line, op);
      if (err < 0) return err;
      req->statusSeen = true;
      continue;
    }
    if (line[0] == '\0') return 0;
    err = applyHeader(req, line, store, op);
    if (err < 0) return err;
  }
}

brerror_t headError(BRHTTPRequest *req, brerror_t err) {
  if (isRetryable(err)) {
    req->flags |= REQ_TIMED_OUT;
    return err;
  }
  failRequest(req);
  return err;
}

// Reads the trailer after the last chunk, then the exchange is complete.
brerror_t readTrailer(BRHTTPRequest *req) {
  for (;;) {
    char *line = nullptr;
    size_t endLength = 0;
    brerror_t err = nextLine(req, &line, &endLength, BRHTTP_HEAD_SIZE);
    if (err < 0) return err;
    if (line[0] == '\0') {
      req->state = BRHTTP_STATE_DONE;
      return 0;
    }
    applyHeader(req, line, false, "receiveResponseBody");
  }
}

// Opens the next chunk: checks the CR LF after the previous one and reads
// the chunk-size line. Resumable after a time-out.
brerror_t openChunk(BRHTTPRequest *req) {
  char *line = nullptr;
  size_t endLength = 0;
  brerror_t err;
  if (req->firstChunkSeen) {
    req->headBytes = 0;
    err = nextLine(req, &line, &endLength, BRHTTP_HEAD_SIZE);
    if (err < 0) return err;
    if (line[0] != '\0' || endLength != 2) {
      brlog(kTag, BRLOG_ERROR, "%s:%d [%s] missing chunk terminator\n", __FILE__, __LINE__,
            reqHost(req));
      return BRERROR_INVALID_ARGUMENT;
    }
    req->firstChunkSeen = false;  // the terminator is consumed
  }
  req->headBytes = 0;
  err = nextLine(req, &line, &endLength, BRHTTP_HEAD_SIZE);
  if (err == BRERROR_NO_SPACE) err = BRERROR_INVALID_ARGUMENT;
  if (err < 0) return err;
  int64_t size = 0;
  if (endLength != 2 || brhttpparser__parseChunkSize(line, &size) != 0) {
    brlog(kTag, BRLOG_ERROR, "Chunk header format error!\n");
    return BRERROR_INVALID_ARGUMENT;
  }
  req->bodyToReceive = size;
  req->headBytes = 0;
  return 0;
}

// Delivers up to `want` bytes: pending bytes first, else one receive.
brerror_t deliver(BRHTTPRequest *req, void *buffer, int32_t want) {
  int32_t pending = req->fill - req->readPos;
  if (pending > 0) {
    int32_t n = pending < want ? pending : want;
    memcpy(buffer, req->head + req->readPos, static_cast<size_t>(n));
    req->readPos += n;
    req->scanPos = req->readPos;
    return n;
  }
  req->fill = req->readPos = req->scanPos = 0;
  return BRHTTPConnection__recv(req->conn, buffer, want);
}

brerror_t bodyEnded(BRHTTPRequest *req) {
  req->state = req->state == BRHTTP_STATE_RESPONSE_TRAILER ? req->state : BRHTTP_STATE_DONE;
  if ((req->flags & RESP_CLOSE) && BRHTTPConnection__isConnected(req->conn)) {
    brlog(kTag, BRLOG_DEBUG, "Closing connection at server's request\n");
    closeConn(req->conn, "server asked to close");
  }
  return 0;
}

brerror_t bodyError(BRHTTPRequest *req, brerror_t err) {
  if (isRetryable(err)) {
    req->flags |= REQ_TIMED_OUT;
    return err;
  }
  failRequest(req);
  return err;
}

brerror_t receiveBody(BRHTTPRequest *req, void *buffer, int32_t size) {
  switch (req->state) {
    case BRHTTP_STATE_RESPONSE_BODY:
    case BRHTTP_STATE_RESPONSE_TRAILER:
    case BRHTTP_STATE_DONE:
      break;
    default:
      brlog(kTag, BRLOG_ERROR, "Attempt to call receiveResponseBody in bad state: %d\n",
            req->state);
      return BRERROR_BAD_STATE;
  }
  if (size < 0) return BRERROR_INVALID_ARGUMENT;
  char scratch[BRHTTP_HEAD_SIZE];
  if (!buffer) {
    buffer = scratch;
    if (size > BRHTTP_HEAD_SIZE) size = BRHTTP_HEAD_SIZE;
  }
  if (req->state == BRHTTP_STATE_DONE) return bodyEnded(req);
  if (req->state == BRHTTP_STATE_RESPONSE_TRAILER) {
    brerror_t err = readTrailer(req);
    if (err < 0) return bodyError(req, err == BRERROR_NO_SPACE ? BRERROR_INVALID_ARGUMENT : err);
    return bodyEnded(req);
  }
  if (size == 0) return 0;

  if (req->flags & RESP_CHUNKED) {
    if (req->bodyToReceive < 0) {
      brerror_t err = openChunk(req);
      if (err < 0) return bodyError(req, err);
      if (req->bodyToReceive == 0) {
        req->state = BRHTTP_STATE_RESPONSE_TRAILER;
        return bodyEnded(req);
      }
    }
    int32_t want = req->bodyToReceive < size ? static_cast<int32_t>(req->bodyToReceive) : size;
    brerror_t n = deliver(req, buffer, want);
    if (n == 0) {
      brlog(kTag, BRLOG_ERROR, "[%s] EOF inside a chunk\n", reqHost(req));
      return bodyError(req, BRERROR_EOF);
    }
    if (n < 0) return bodyError(req, n);
    req->bodyToReceive -= n;
    if (req->bodyToReceive == 0) {
      req->bodyToReceive = -1;
      req->firstChunkSeen = true;
    }
    return n;
  }
  if (req->flags & RESP_HAS_LENGTH) {
    if (req->bodyToReceive == 0) return bodyEnded(req);
    int32_t want = req->bodyToReceive < size ? static_cast<int32_t>(req->bodyToReceive) : size;
    brerror_t n = deliver(req, buffer, want);
    if (n == 0) {
      brlog(kTag, BRLOG_ERROR, "[%s] EOF with %" PRId64 " body bytes missing\n", reqHost(req),
            req->bodyToReceive);
      return bodyError(req, BRERROR_EOF);
    }
    if (n < 0) return bodyError(req, n);
    req->bodyToReceive -= n;
    return n;
  }
  brerror_t n = deliver(req, buffer, size);
  if (n == 0) {
    brlog(kTag, BRLOG_DEBUG, "EOF on stream -- Assume end...\n");
    // A connection read to its end cannot carry another request.
    req->flags |= RESP_CLOSE;
    return bodyEnded(req);
  }
  if (n < 0) return bodyError(req, n);
  return n;
}

// Reads and discards what is left of a small body so that the connection
// can be kept; true when the exchange is then complete.
bool drainRest(BRHTTPRequest *req) {
  if (req->flags & REQ_TIMED_OUT) {
    brlog(kTag, BRLOG_DEBUG, "Not reading pending data from timed-out request, closing\n");
    return false;
  }
  if (req->state == BRHTTP_STATE_RESPONSE_BODY) {
    if (req->flags & RESP_HAS_LENGTH) {
      if (req->bodyToReceive > kDrainLimit) return false;
      for (;;) {
        brerror_t n = receiveBody(req, nullptr, BRHTTP_HEAD_SIZE);
        if (n < 0) return false;
        if (n == 0) break;
      }
    } else if (req->flags & RESP_CHUNKED) {
      int64_t budget = kChunkedDrainReads * int64_t{BRHTTP_HEAD_SIZE};
      while (req->state == BRHTTP_STATE_RESPONSE_BODY) {
        if (budget <= 0) return false;
        brerror_t n = receiveBody(req, nullptr, BRHTTP_HEAD_SIZE);
        if (n < 0) return false;
        budget -= n;
      }
    } else {
      return false;
    }
  }
  if (req->state == BRHTTP_STATE_RESPONSE_TRAILER) {
    if (readTrailer(req) < 0) return false;
  }
  return req->state == BRHTTP_STATE_DONE;
}

}  // namespace

brerror_t BRHTTP__addLowConnFactory(BRHTTPLowConnFactory *factory) {
  for (BRHTTPLowConnFactory *&slot : g_factories) {
    if (!slot) {
      slot = factory;
      return 0;
    }
  }
  return BRERROR_NO_SPACE;
}

brerror_t BRHTTP__removeLowConnFactory(BRHTTPLowConnFactory *factory) {
  for (int i = 0; i < BRHTTP_MAX_FACTORIES; ++i) {
    if (g_factories[i] != factory) continue;
    memmove(&g_factories[i], &g_factories[i + 1],
            sizeof(g_factories[0]) * static_cast<size_t>(BRHTTP_MAX_FACTORIES - i - 1));
    g_factories[BRHTTP_MAX_FACTORIES - 1] = nullptr;
    return 0;
  }
  return BRERROR_NO_ENTRY;
}

brerror_t BRHTTP__setDefaultUserAgent(const char *suffix) {
  char *copy = nullptr;
  if (suffix) {
    copy = strdup(suffix);
    if (!copy) return BRERROR_NO_MEMORY;
  }
  free(g_userAgentSuffix);
  g_userAgentSuffix = copy;
  return 0;
}

int32_t BRHTTP__getUserAgent(char *buffer, int32_t length) {
  return snprintf(buffer, buffer && length > 0 ? static_cast<size_t>(length) : 0, "%s%s",
                  kProduct, g_userAgentSuffix ? g_userAgentSuffix : "");
}

brerror_t BRHTTP__parseUrl(const char *url, uint16_t *port, char *schemeOut, int32_t schemeLen,
                           char *hostOut, int32_t hostLen, char *pathOut, int32_t pathLen,
                           char *userOut, int32_t userLen) {
  const char *sep = url ? strstr(url, "://") : nullptr;
  if (!sep) return BRERROR_INVALID_ARGUMENT;
  auto copyOut = [](char *out, int32_t size, const char *text, size_t length) {
    if (!out || size <= 0) return;
    size_t n = length < static_cast<size_t>(size - 1) ? length : static_cast<size_t>(size - 1);
    memcpy(out, text, n);
    out[n] = '\0';
  };
  copyOut(schemeOut, schemeLen, url, static_cast<size_t>(sep - url));
  const char *p = sep + 3;
  const char *slash = strchr(p, '/');
  const char *end = slash ? slash : p + strlen(p);
  const char *at = static_cast<const char *>(memchr(p, '@', static_cast<size_t>(end - p)));
  copyOut(userOut, userLen, p, at ? static_cast<size_t>(at - p) : 0);
  if (at) p = at + 1;
  const char *colon = static_cast<const char *>(memchr(p, ':', static_cast<size_t>(end - p)));
  copyOut(hostOut, hostLen, p, static_cast<size_t>((colon ? colon : end) - p));
  uint32_t value = strncmp(url, "https:", 6) == 0 ? 443 : 80;
  if (colon) {
    const char *digits = colon + 1;
    if (digits == end || end - digits > 11) return BRERROR_INVALID_ARGUMENT;
    value = 0;
    for (const char *d = digits; d < end; ++d) {
      if (*d < '0' || *d > '9') return BRERROR_INVALID_ARGUMENT;
      value = value * 10 + static_cast<uint32_t>(*d - '0');
      if (value > 65535) return BRERROR_INVALID_ARGUMENT;
    }
  }
  if (port) *port = static_cast<uint16_t>(value);
  if (slash) {
    copyOut(pathOut, pathLen, slash, strlen(slash));
  } else {
    copyOut(pathOut, pathLen, "/", 1);
  }
  return 0;
}

brerror_t BRHTTPConnection__new(BRHTTPConnection **out, const char *scheme, const char *host,
                                uint16_t port, uint32_t flags, int32_t connectMs, int32_t readMs,
                                int32_t writeMs) {
  if (!out || !host) return BRERROR_INVALID_ARGUMENT;
  if (!scheme) scheme = "http";
  if (strlen(scheme) > BRHTTP_SCHEME_MAX || strlen(host) > BRHTTP_HOST_MAX) {
    return BRERROR_INVALID_ARGUMENT;
  }
  BRHTTPConnection *conn = new (std::nothrow) BRHTTPConnection();
  if (!conn) {
    brlog(kTag, BRLOG_ERROR, "malloc failed!\n");
    return BRERROR_NO_MEMORY;
  }
  conn->refs.store(1);
  conn->sock = -1;
  snprintf(conn->scheme, sizeof conn->scheme, "%s", scheme);
  if (strcmp(scheme, "http") != 0 || port != 80) {
    snprintf(conn->host, sizeof conn->host, "%s:%u", host, port);
  } else {
    snprintf(conn->host, sizeof conn->host, "%s", host);
  }
  conn->port = port;
  conn->secure = strcmp(scheme, "https") == 0 || (flags & BRHTTP_FLAG_SECURE) != 0;
  BRHTTPConnection__setTimeouts(conn, connectMs, readMs, writeMs);

  for (BRHTTPLowConnFactory *factory : g_factories) {
    if (!factory) break;
    BRHTTPLowConnOps *ops = nullptr;
    if (factory->supports(factory, conn) && factory->create(factory, conn, &ops) == 0) {
      conn->ops = ops;
      break;
    }
  }
  if (!conn->ops) {
    brerror_t err = brsocket_parseip(conn->host, &conn->addr, nullptr);
    if (err < 0) {
      brlog(kTag, BRLOG_ERROR, "Failed to parse or resolve host '%s'\n", conn->host);
      delete conn;
      return err;
    }
    if (conn->addr.family != BRSOCKET_FAMILY_IPV4 && conn->addr.family != BRSOCKET_FAMILY_LOCAL) {
      delete conn;
      return BRERROR_INVALID_ARGUMENT;
    }
    if (conn->addr.family == BRSOCKET_FAMILY_IPV4) conn->addr.ipv4.port = htons(port);
  }
  brerror_t err = BRHTTPConnection__connect(conn);
  if (err < 0) {
    BRHTTPConnection__dnref(conn);
    return err;
  }
  *out = conn;
  return 0;
}

brerror_t BRHTTPConnection__connect(BRHTTPConnection *conn) {
  if (conn->sock >= 0) {
    brlog(kTag, BRLOG_DEBUG, "RECONNECTING %p\n", static_cast<void *>(conn));
    closeConn(conn, "reconnect");
  }
  conn->lastRecvTimedOut = false;
  if (conn->ops) return conn->ops->connect(conn->ops, conn->host);

  brerror_t sock = brsocket(conn->addr.family, BRSOCKET_TYPE_STREAM, 0);
  if (sock < 0) return sock;
  conn->sock = sock;
  setNoDelay(conn);
  brerror_t err;
  if (conn->connectMs == -1) {
    conn->nonBlocking = false;
    err = brsocket_connect(sock, &conn->addr);
  } else {
    setNonBlocking(conn, true);
    err = brsocket_connect(sock, &conn->addr);
    if (err == 0) err = brsocket_connect_complete(sock, conn->connectMs);
  }
  if (err < 0) {
    brsocket_close(sock);
    conn->sock = -1;
    return err;
  }
  setNoDelay(conn);
  conn->nonBlocking = conn->writeMs != -1;
  setNonBlocking(conn, conn->nonBlocking);
  return 0;
}

brerror_t BRHTTPConnection__close(BRHTTPConnection *conn) {
  closeConn(conn, "closed by caller");
  return 0;
}

brerror_t BRHTTPConnection__destroy(BRHTTPConnection *conn) {
  if (!conn) return BRERROR_INVALID_ARGUMENT;
  closeConn(conn, "destroyed");
  BRHTTPConnection__dnref(conn);
  return 0;
}

bool BRHTTPConnection__isConnected(BRHTTPConnection *conn) { return conn->sock >= 0; }

void BRHTTPConnection__upref(BRHTTPConnection *conn) {
  conn->refs.fetch_add(1, std::memory_order_relaxed);
}

void BRHTTPConnection__dnref(BRHTTPConnection *conn) {
  int32_t left = conn->refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
  BRASSERT(left >= 0);
  if (left > 0) return;
  BRASSERT(!conn->inDestroy);
  conn->inDestroy = true;
  closeConn(conn, "released");
  if (conn->ops) conn->ops->destroy(conn->ops);
  delete conn;
}

void BRHTTPConnection__setTimeouts(BRHTTPConnection *conn, int32_t connectMs, int32_t readMs,
                                   int32_t writeMs) {
  if (writeMs == 0) {
    brlog(kTag, BRLOG_WARNING, "Are you really sure you want a zero write timeout!\n");
  }
  conn->connectMs = connectMs;
  conn->readMs = readMs;
  conn->writeMs = writeMs;
}

void BRHTTPConnection__getTimeouts(BRHTTPConnection *conn, int32_t *connectMs, int32_t *readMs,
                                   int32_t *writeMs) {
  if (connectMs) *connectMs = conn->connectMs;
  if (readMs) *readMs = conn->readMs;
  if (writeMs) *writeMs = conn->writeMs;
}

brerror_t BRHTTPConnection__recv(BRHTTPConnection *conn, void *buffer, int32_t size) {
  if (conn->ops) return conn->ops->recv(conn->ops, buffer, size);
  brerror_t rc = ioWithTimeout(conn, BRPOLL_IN | BRPOLL_ERR | BRPOLL_HUP, conn->readMs,
                               kRecvPollLimit, &conn->recvPolls, "READ",
                               [&] { return brsocket_recv(conn->sock, buffer, size, 0); });
  conn->lastRecvTimedOut = rc == BRERROR_TIMED_OUT;
  return rc;
}

brerror_t BRHTTPConnection__send(BRHTTPConnection *conn, const void *data, int32_t size) {
  if (conn->ops) return conn->ops->send(conn->ops, data, size);
  return ioWithTimeout(conn, BRPOLL_OUT | BRPOLL_ERR | BRPOLL_HUP, conn->writeMs,
                       kSendPollLimit, &conn->sendPolls, "WRITE",
                       [&] { return brsocket_send(conn->sock, data, size, 0); });
}

brerror_t BRHTTPConnection__writev(BRHTTPConnection *conn, const struct iovec *vector,
                                   int count) {
  if (conn->ops) return conn->ops->writev(conn->ops, vector, count);
  return ioWithTimeout(conn, BRPOLL_OUT | BRPOLL_ERR | BRPOLL_HUP, conn->writeMs,
                       kWritevPollLimit, &conn->writevPolls, "WRITEV",
                       [&] { return brsocket_writev(conn->sock, vector, count); });
}

brerror_t BRHTTPConnection__newRequest(BRHTTPConnection *conn, BRHTTPRequest **out,
                                       const char *method, const char *path,
                                       const char *protocol) {
  if (!conn || !out) return BRERROR_INVALID_ARGUMENT;
  if (!method) method = "GET";
  if (!protocol) protocol = "HTTP/1.1";
  if (!path) path = "/";
  BRHTTPRequest *req = new (std::nothrow) BRHTTPRequest();
  if (!req) {
    brlog(kTag, BRLOG_ERROR, "malloc failed!\n");
    return BRERROR_NO_MEMORY;
  }
  int n = snprintf(req->head, sizeof req->head, "%s %s %s\r\n", method, path, protocol);
  if (n < 0 || n > BRHTTP_HEAD_SIZE - 2) {
    delete req;
    return BRERROR_NO_SPACE;
  }
  req->headLen = n;
  if (strncmp(protocol, "HTTP", 4) == 0) {
    req->flags |= REQ_HTTP;
    if (strcmp(protocol, "HTTP/1.0") != 0) req->flags |= REQ_HTTP11;
  }
  if (strcmp(method, "HEAD") == 0 || strcmp(method, "CONNECT") == 0) {
    req->flags |= REQ_NO_RESPONSE_BODY;
  }
  req->bodyToReceive = 0;
  req->state = BRHTTP_STATE_NEW;
  BRHTTPConnection__upref(conn);
  req->conn = conn;
  *out = req;
  return 0;
}

brerror_t BRHTTPRequest__addRequestHeader(BRHTTPRequest *req, const char *name,
                                          const char *value) {
  if (!name || !*name) return BRHTTPRequest__sendRequest(req);
  if (req->state != BRHTTP_STATE_NEW || (req->flags & REQ_HEAD_ENDED)) {
    brlog(kTag, BRLOG_ERROR, "addRequestHeader -- bad state: %d!\n", req->state);
    return BRERROR_BAD_STATE;
  }
  if (!appendHeader(req, name, value)) return 0;
  if (!value) value = "";
  if (brstrcasecmp(name, "content-length") == 0) {
    int64_t length = 0;
    if (brhttpparser__parseLength(value, &length) == 0) {
      req->flags |= REQ_HAS_LENGTH;
      req->bodyToSend = length;
    }
  } else if (brstrcasecmp(name, "transfer-encoding") == 0) {
    if (brstrcasecmp(value, "chunked") == 0) req->flags |= REQ_CHUNKED;
  } else if (brstrcasecmp(name, "host") == 0) {
    req->flags |= REQ_HAS_HOST;
  } else if (brstrcasecmp(name, "user-agent") == 0) {
    req->flags |= REQ_HAS_AGENT;
  }
  return 0;
}

brerror_t BRHTTPRequest__receive100ResponseHeader(BRHTTPRequest *req) {
  const char *op = "receive100ResponseHeader";
  if (req->state != BRHTTP_STATE_NEW) {
    brlog(kTag, BRLOG_ERROR, "%s -- bad state: %d!\n", op, req->state);
    return BRERROR_BAD_STATE;
  }
  brerror_t err = sendHead(req, nullptr, 0);
  if (err < 0) return err;
  req->state = BRHTTP_STATE_REQUEST_BODY;
  beginReceive(req);
  err = readHead(req, false, op);
  if (err < 0) {
    if (isRetryable(err)) return err;
    failRequest(req);
    return err;
  }
  int status = req->status;
  resetResponse(req);
  return status;
}

brerror_t BRHTTPRequest__writeRequestBody(BRHTTPRequest *req, const void *data, int32_t length) {
  if (length < 0 || (length > 0 && !data)) return BRERROR_INVALID_ARGUMENT;
  if (req->state == BRHTTP_STATE_NEW) return sendHead(req, data, length);
  if (req->state != BRHTTP_STATE_REQUEST_BODY) {
    brlog(kTag, BRLOG_ERROR, "writeRequestBody -- bad state: %d!\n", req->state);
    return BRERROR_BAD_STATE;
  }
  if (req->headSent < req->headLen) return sendHead(req, data, length);
  if (req->flags & REQ_HAS_LENGTH) {
    if (length > req->bodyToSend) length = static_cast<int32_t>(req->bodyToSend);
    brerror_t n = length > 0 ? BRHTTPConnection__send(req->conn, data, length) : 0;
    if (n < 0) return sendError(req, n);
    req->bodyToSend -= n;
    if (req->bodyToSend == 0) {
      brlog(kTag, BRLOG_DEBUG, "All request body data sent!\n");
      req->state = BRHTTP_STATE_REQUEST_SENT;
    }
    return n;
  }
  return writeFramed(req, static_cast<const char *>(data), length);
}

brerror_t BRHTTPRequest__sendRequest(BRHTTPRequest *req) {
  return finishRequest(req, "sendRequest");
}

brerror_t BRHTTPRequest__receiveResponseHeader(BRHTTPRequest *req, char *protoOut,
                                               int32_t protoLen, char *reasonOut,
                                               int32_t reasonLen) {
  const char *op = "receiveResponseHeader";
  if (req->state != BRHTTP_STATE_REQUEST_SENT) {
    if (req->state != BRHTTP_STATE_NEW && req->state != BRHTTP_STATE_REQUEST_BODY) {
      brlog(kTag, BRLOG_ERROR, "%s -- bad state: %d!\n", op, req->state);
      return BRERROR_BAD_STATE;
    }
    brerror_t err = finishRequest(req, op);
    if (err < 0) return err;
  }
  beginReceive(req);
  for (;;) {
    brerror_t err = readHead(req, true, op);
    if (err < 0) return headError(req, err);
    if (req->status >= 100 && req->status <= 199) {
      brlog(kTag, BRLOG_DEBUG, "%s -- 100 Continue Response -- Eating it!\n", op);
      resetResponse(req);
      continue;
    }
    break;
  }
  req->headBytes = 0;
  if (!(req->flags & REQ_HTTP) || !(req->flags & RESP_HTTP)) {
    req->flags &= ~(RESP_HAS_LENGTH | RESP_CHUNKED);
    req->state = BRHTTP_STATE_RESPONSE_BODY;
  } else if ((req->flags & REQ_NO_RESPONSE_BODY) ||
             ((req->flags & RESP_HAS_LENGTH) && req->bodyToReceive == 0) || req->status == 204 ||
             req->status == 304) {
    req->state = BRHTTP_STATE_DONE;
  } else {
    req->state = BRHTTP_STATE_RESPONSE_BODY;
  }
  return BRHTTPRequest__getResponseStatus(req, protoOut, protoLen, reasonOut, reasonLen);
}

brerror_t BRHTTPRequest__getResponseStatus(BRHTTPRequest *req, char *protoOut, int32_t protoLen,
                                           char *reasonOut, int32_t reasonLen) {
  if (req->state == BRHTTP_STATE_ERROR) return BRERROR_FAULT;
  if (req->state < BRHTTP_STATE_RESPONSE_BODY || req->state == BRHTTP_STATE_INVALID) {
    return BRERROR_BAD_STATE;
  }
  if (protoOut && protoLen > 0) snprintf(protoOut, static_cast<size_t>(protoLen), "%s", req->proto);
  if (reasonOut && reasonLen > 0) {
    snprintf(reasonOut, static_cast<size_t>(reasonLen), "%s", req->reason);
  }
  return req->status;
}

const char *BRHTTPRequest__getResponseHeader(BRHTTPRequest *req, const char *name) {
  for (int32_t pos = 0; pos < req->storeLen;) {
    const char *key = req->store + pos;
    const char *value = key + strlen(key) + 1;
    if (brstrcasecmp(key, name) == 0) return value;
    pos = static_cast<int32_t>(value + strlen(value) + 1 - req->store);
  }
  return nullptr;
}

brerror_t BRHTTPRequest__receiveResponseBody(BRHTTPRequest *req, void *buffer, int32_t size) {
  return receiveBody(req, buffer, size);
}

BRHTTPState BRHTTPRequest__getState(BRHTTPRequest *req) { return req->state; }

void BRHTTPRequest__destroy(BRHTTPRequest *req) {
  if (!req) return;
  BRHTTPConnection *conn = req->conn;
  bool keep = false;
  switch (req->state) {
    case BRHTTP_STATE_RESPONSE_BODY:
    case BRHTTP_STATE_RESPONSE_TRAILER:
      keep = drainRest(req);
      break;
    case BRHTTP_STATE_DONE:
      keep = true;
      break;
    case BRHTTP_STATE_NEW:
      keep = req->headSent == 0 && !(req->flags & REQ_SEND_FAILED);
      break;
    default:
      break;
  }
  // Bytes beyond the response (a body on a bodiless status, or anything a
  // server sent unasked) would be read as the next response.
  if (keep && req->state == BRHTTP_STATE_DONE && req->readPos < req->fill) keep = false;
  if (keep && (req->flags & RESP_CLOSE)) keep = false;
  if (!keep && BRHTTPConnection__isConnected(conn)) {
    closeConn(conn, "request left the connection unusable");
  }
  brlog(kTag, BRLOG_DEBUG,
        "[%s] REQ DESTROY STATS (%p):\n  timeouts c/r/w %d/%d/%d, polls recv %u send %u writev "
        "%u\n",
        conn->host, static_cast<void *>(req), conn->connectMs, conn->readMs, conn->writeMs,
        conn->recvPolls, conn->sendPolls, conn->writevPolls);
  conn->recvPolls = conn->sendPolls = conn->writevPolls = 0;
  req->state = BRHTTP_STATE_INVALID;
  BRHTTPConnection__dnref(conn);
  delete req;
}

int32_t HBBRHTTPReqStrm::dnref() {
  int32_t left = refs_.release();
  BRASSERT(left >= 0);
  if (left == 0) delete this;
  return left;
}

brerror_t HBBRHTTPReqStrm::getifc(hbtype_t, void **) { return BRERROR_UNSUPPORTED; }

brerror_t HBBRHTTPReqStrm::read(void *buffer, int32_t size) {
  return BRHTTPRequest__receiveResponseBody(req_, buffer, size);
}

brerror_t HBBRHTTPReqStrm::write(const void *data, int32_t size) {
  return BRHTTPRequest__writeRequestBody(req_, data, size);
}

int64_t HBBRHTTPReqStrm::seek(int64_t, int) { return BRERROR_NOT_IMPLEMENTED; }

int64_t HBBRHTTPReqStrm::sendTo(IHBStream *destination, int64_t count) {
  return HBStream__sendTo(this, destination, count);
}
