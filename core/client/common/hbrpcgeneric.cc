#include "hbrpcgeneric.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbmap.h"
#include "hbpkt.h"
#include "hbpktconv.h"

namespace {

bool isPacketPath(const char *path) { return path && strstr(path, "/pktm/") != nullptr; }

// Reads and drops what is left of a response body, so that the connection
// can serve the next request.
void drain(BRHTTPRequest *req) {
  while (BRHTTPRequest__receiveResponseBody(req, nullptr, HBSOAP_WINDOW) > 0) {
  }
}

}  // namespace

// --- HBSoap

HBSoap::HBSoap(IHBURL *url, IHBHTTPConnPool *pool, IHBSoapComplete *complete)
    : url_(url), pool_(pool), complete_(complete) {
  if (url_) url_->upref();
  if (pool_) pool_->upref();
}

HBSoap::~HBSoap() {
  if (conn_) BRHTTPConnection__destroy(conn_);
  if (pool_) pool_->dnref();
  if (url_) url_->dnref();
}

int32_t HBSoap::dnref() {
  int32_t count = refs_.release();
  if (count == 0) delete this;
  return count;
}

brerror_t HBSoap::getifc(hbtype_t id, void **out) {
  if (id != HBTYPE_IID_IHBOBJ) return BRERROR_NO_ENTRY;
  upref();
  *out = static_cast<IHBObj *>(this);
  return BRERROR_NONE;
}

brerror_t HBSoap::connect() {
  if (conn_) return BRERROR_NONE;
  const char *host = url_->getHostname() ? url_->getHostname() : "";
  brlog("HBSOAP", BRLOG_DEBUG, "Connecting to '%s://%s:%u'...\n", url_->getScheme(), host,
        url_->getPort());
  brerror_t rc;
  if (pool_) {
    rc = pool_->getHTTPConn(url_, &conn_);
  } else {
    rc = BRHTTPConnection__new(&conn_, url_->getScheme(), host, url_->getPort(), 0, connectMs_,
                               readMs_, writeMs_);
  }
  if (rc < 0) {
    conn_ = nullptr;
    brlog("HBSOAP", BRLOG_ERROR, "Connection failed: %d\n", rc);
  }
  return rc;
}

void HBSoap::release() {
  // Without a pool the connection stays for the next call; the HTTP client
  // reconnects it if the server has closed it meanwhile.
  if (!pool_ || !conn_) return;
  pool_->releaseHTTPConn(url_, conn_);
  conn_ = nullptr;
}

brerror_t HBSoap::call(const char *method, const HBSoapArg_s *args, int count, va_list *pairs,
                       HBMap *result) {
  snprintf(method_, sizeof method_, "%s", method ? method : "");
  fill_ = 0;
  const char *path = url_->getPath() ? url_->getPath() : "/";
  brerror_t rc = isPacketPath(path) ? packetExchange(path, args, count, pairs, result)
                                    : soapExchange(path, args, count, pairs, result);
  if (complete_) complete_->notifySoapComplete(rc);
  return rc;
}

brerror_t HBSoap::decodeBody(BRHTTPRequest *req, HBMap *result) {
  brerror_t rc = decoder_.initParser(method_, result, types_);
  while (rc == 0) {
    brerror_t n = BRHTTPRequest__receiveResponseBody(req, window_ + fill_, HBSOAP_WINDOW - fill_);
    if (n < 0) {
      brlog("SOAP-A", BRLOG_ERROR, "  [%s] Request Read Fail: (%d: %s)\n", conn_->host, n,
            brerror_tostring(n));
      brlog("SOAP-S", BRLOG_ERROR, "asyncRead returned (%d)!\n", n);
      rc = n;
      break;
    }
    if (n == 0) {
      rc = decoder_.finishParser();
      break;
    }
    fill_ += n;
    rc = decoder_.parseBuffer(window_, &fill_);
    if (rc == 0 && fill_ == HBSOAP_WINDOW) {
      brlog("SOAP", BRLOG_ERROR, "+++ No Space to put data -- Throwing it away!\n");
      drain(req);
      rc = BRERROR_NO_SPACE;
    }
  }
  decoder_.cleanupParser();
  return rc;
}

void HBSoap::logBody(BRHTTPRequest *req, int status) {
  brlog("SOAP", BRLOG_WARNING, "  -- [%s] Client level error [%d] -- Likely just a 404...\n",
        conn_->host, status);
  // The first window of the body is enough to tell what went wrong.
  int32_t got = 0;
  while (got < HBSOAP_WINDOW - 1) {
    brerror_t n = BRHTTPRequest__receiveResponseBody(req, window_ + got, HBSOAP_WINDOW - 1 - got);
    if (n <= 0) break;
    got += n;
  }
  brlog("SOAP", BRLOG_WARNING, "%.*s\n", got, window_);
  drain(req);
}

brerror_t HBSoap::soapExchange(const char *path, const HBSoapArg_s *args, int count,
                               va_list *pairs, HBMap *result) {
  brerror_t rc = connect();
  if (rc < 0) return rc;
  BRHTTPRequest *req = nullptr;
  rc = BRHTTPConnection__newRequest(conn_, &req, "POST", path, "HTTP/1.1");
  if (rc < 0) {
    release();
    return rc;
  }
  brlog("SOAP", BRLOG_DEBUG, ">>> SOAP-METHOD (%s)\n", method_);
  for (const HBSoapHeader_s *h = HBSoap__requestHeaders; h->name; h++) {
    BRHTTPRequest__addRequestHeader(req, h->name, h->value ? h->value : method_);
  }
  auto *body = new (std::nothrow) HBBRHTTPReqStrm(req);
  if (!body) {
    rc = BRERROR_NO_MEMORY;
  } else {
    rc = HBSoap__writeRequestBody(body, method_, args, count, pairs);
    body->dnref();
  }
  int status = rc;
  if (rc >= 0) status = BRHTTPRequest__receiveResponseHeader(req, nullptr, 0, nullptr, 0);
  rc = status;
  if (status >= 0) {
    if ((status >= 200 && status < 300) || (status >= 500 && status < 600)) {
      brerror_t decoded = decodeBody(req, result);
      // A success whose reply did not arrive whole is no success.
      if (decoded < 0 && status < 300) rc = decoded;
    } else if (status >= 400 && status < 500) {
      logBody(req, status);
    } else {
      brlog("SOAP", BRLOG_WARNING, "  -- [%s] Unhandled Response [%d]... What to do?\n",
            conn_->host, status);
    }
  }
  BRHTTPRequest__destroy(req);
  release();
  return rc;
}

brerror_t HBSoap::packetExchange(const char *basePath, const HBSoapArg_s *args, int count,
                                 va_list *pairs, HBMap *result) {
  char path[HBSOAP_METHOD_MAX + 1];
  size_t baseLength = strlen(basePath);
  bool slash = baseLength > 0 && basePath[baseLength - 1] == '/';
  int n = snprintf(path, sizeof path, "%s%s%s", basePath, slash ? "" : "/", method_);
  if (n < 0 || n >= static_cast<int>(sizeof path)) {
    brlog("PKT-S", BRLOG_ERROR, "Trying to connect to path: %s%s%s too long!\n", basePath,
          slash ? "" : "/", method_);
    return BRERROR_NO_SPACE;
  }
  HBRef<HBPKTMessage> request;
  brerror_t rc = HBPKTMessage::createEmpty(request.out(), nullptr);
  if (rc == 0) rc = HBPKTConv__soapArgsToMessage(args, count, request.get());
  if (rc == 0 && pairs) rc = HBPKTConv__valistToMessage(*pairs, request.get());
  if (rc < 0) return rc;
  request->dumpLog("PKT-S", BRLOG_DEBUG1);
  int64_t size = request->serializeStream(nullptr);
  if (size < 0) return static_cast<brerror_t>(size);

  rc = connect();
  if (rc < 0) return rc;
  BRHTTPRequest *req = nullptr;
  rc = BRHTTPConnection__newRequest(conn_, &req, "POST", path, "HTTP/1.1");
  if (rc < 0) {
    release();
    return rc;
  }
  BRHTTPRequest__addRequestHeader(req, "Content-Type", "application/octet-stream");
  auto *stream = new (std::nothrow) HBBRHTTPReqStrm(req);
  if (!stream) {
    rc = BRERROR_NO_MEMORY;
  } else if (size == 0) {
    BRHTTPRequest__addRequestHeader(req, "Content-Length", "0");
    rc = BRHTTPRequest__sendRequest(req);
  } else {
    BRHTTPRequest__addRequestHeader(req, "Transfer-Encoding", "chunked");
    int64_t written = request->serializeStream(stream);
    rc = written < 0 ? static_cast<brerror_t>(written) : 0;
  }
  int status = rc;
  if (rc >= 0) status = BRHTTPRequest__receiveResponseHeader(req, nullptr, 0, nullptr, 0);
  rc = status;
  if (status >= 0) {
    bool decodable = (status >= 200 && status < 300) || (status >= 500 && status < 600);
    brerror_t decoded = BRERROR_UNSPECIFIED;
    if (decodable) {
      HBRef<HBPKTMessage> reply;
      decoded = HBPKTMessage::createEmpty(reply.out(), nullptr);
      if (decoded == 0) {
        int64_t read = reply->parseStream(stream, 0);
        decoded = read < 0 ? BRERROR_UNSPECIFIED : 0;
        if (decoded == 0) {
          reply->dumpLog("PKT-R", BRLOG_DEBUG1);
          decoded = HBPKTConv__messageToHBMap(reply.get(), result) < 0 ? BRERROR_UNSPECIFIED : 0;
        }
      }
    } else {
      drain(req);
    }
    if (decoded < 0) {
      brlog("PKT-S", BRLOG_ERROR, "Some kind of IO or data format error!\n");
      result->flush();
      if (status >= 200 && status < 300) rc = decoded;
    }
  }
  if (stream) stream->dnref();
  BRHTTPRequest__destroy(req);
  release();
  return rc;
}

// --- HBRPCGeneric

HBRPCGeneric::HBRPCGeneric(IHBURL *url, IHBHTTPConnPool *pool) { init(url, pool); }

HBRPCGeneric::HBRPCGeneric(const char *url, IHBHTTPConnPool *pool) {
  HBRef<IHBURL> parsed;
  if (!url || HBURL__newFromString(parsed.out(), url) < 0) {
    brlog("HBRPC", BRLOG_ERROR, "Unusable RPC endpoint '%s'\n", url ? url : "(null)");
  }
  init(parsed.get(), pool);
}

void HBRPCGeneric::init(IHBURL *url, IHBHTTPConnPool *pool) {
  result_ = new (std::nothrow) HBMap(nullptr, 4096, 4096, nullptr);
  if (pool) {
    pool_ = pool;
    pool_->upref();
  }
  if (!url) return;
  url_ = url;
  url_->upref();
  soap_ = new (std::nothrow) HBSoap(url_, pool_, this);
}

HBRPCGeneric::~HBRPCGeneric() {
  if (soap_) soap_->dnref();
  if (result_) result_->dnref();
  if (pool_) pool_->dnref();
  if (url_) url_->dnref();
}

int32_t HBRPCGeneric::dnref() {
  int32_t count = refs_.release();
  if (count == 0) delete this;
  return count;
}

brerror_t HBRPCGeneric::getifc(hbtype_t id, void **out) {
  if (id != HBTYPE_IID_IHBOBJ) return BRERROR_NO_ENTRY;
  upref();
  *out = static_cast<IHBObj *>(this);
  return BRERROR_NONE;
}

brerror_t HBRPCGeneric::syncOp(const char *method, ...) {
  va_list list;
  va_start(list, method);
  brerror_t rc = perform(method, 0, nullptr, &list);
  va_end(list);
  return rc;
}

brerror_t HBRPCGeneric::syncOpN(const char *method, int count, const HBSoapArg_s *args) {
  return perform(method, count, args, nullptr);
}

brerror_t HBRPCGeneric::syncOpVN(const char *method, int count, const HBSoapArg_s *args,
                                 va_list list) {
  va_list copy;
  va_copy(copy, list);
  brerror_t rc = perform(method, count, args, &copy);
  va_end(copy);
  return rc;
}

brerror_t HBRPCGeneric::perform(const char *method, int count, const HBSoapArg_s *args,
                                va_list *pairs) {
  fault_ = false;
  lastResult_ = 0;
  transportResult_ = 0;
  if (!soap_ || !result_ || !method) return lastResult_ = BRERROR_INVALID_ARGUMENT;
  result_->flush();
  brerror_t status = soap_->call(method, args, count, pairs, result_);
  if (status < 0) return lastResult_ = status;

  const char *host = url_->getHostname() ? url_->getHostname() : "";
  const char *path = url_->getPath() ? url_->getPath() : "/";
  if (result_->getAtKey("errorCode")) {
    fault_ = true;
    const char *code = result_->getStringAtKey("errorCode");
    const char *description = result_->getStringAtKey("errorDescription");
    const char *context = result_->getStringAtKey("errorContext");
    brlog("HBRPC", BRLOG_WARNING, "Soap Fault on '%s':\n", method);
    brlog("HBRPC", BRLOG_WARNING, "   errorCode:        %s\n", code ? code : "");
    brlog("HBRPC", BRLOG_WARNING, "   errorDescription: %s\n", description ? description : "");
    brlog("HBRPC", BRLOG_WARNING, "   errorContext: %s\n", context ? context : "");
    brlog("HBRPC", BRLOG_WARNING, "   URL: %s://%s:%u%s\n", url_->getScheme(), host,
          url_->getPort(), path);
    return lastResult_ = BRERROR_FAULT;
  }
  if (status >= 200 && status < 300) return lastResult_ = BRERROR_NONE;
  fault_ = true;
  brlog("HBRPC", BRLOG_WARNING, "Soap Fault on '%s':\n", method);
  brlog("HBRPC", BRLOG_WARNING, "   URL: %s://%s:%u%s\n", url_->getScheme(), host,
        url_->getPort(), path);
  return lastResult_ = BRERROR_FAULT;
}

const char *HBRPCGeneric::getArgumentByName(const char *name) {
  HBMapEntry *entry = result_ ? result_->getAtKey(name) : nullptr;
  if (!entry) return nullptr;
  const char *text = result_->getStringAtKey(name);
  if (!text) {
    brlog("HBRPC", BRLOG_WARNING, "RPC::getArgmentByName('%s') wasn't a string: 0x%x!\n", name,
          entry->type);
  }
  return text;
}

uint32_t HBRPCGeneric::getArgumentUInt32(const char *name) {
  const char *text = getArgumentByName(name);
  return text ? static_cast<uint32_t>(strtoul(text, nullptr, 0)) : 0;
}

IHBMap *HBRPCGeneric::getArgumentMap(const char *name) {
  HBMapEntry *entry = result_ ? result_->getAtKey(name) : nullptr;
  void *out = nullptr;
  if (!entry || entry->type != HBTYPE_IID_IHBMAP ||
      result_->getAtKey(name, HBTYPE_IID_IHBMAP, &out) < 0) {
    brlog("HBRPC", BRLOG_WARNING, "RPC::getArgmentMap('%s') wasn't a map: 0x%x!\n", name,
          entry ? entry->type : 0);
    return nullptr;
  }
  return static_cast<IHBMap *>(out);
}

IHBIter *HBRPCGeneric::getArgumentIterator(const char *name) {
  HBMapEntry *entry = result_ ? result_->getAtKey(name) : nullptr;
  void *out = nullptr;
  if (!entry || entry->type != HBTYPE_IID_IHBITER ||
      result_->getAtKey(name, HBTYPE_IID_IHBITER, &out) < 0) {
    brlog("HBRPC", BRLOG_WARNING, "RPC::getArgmentIterator('%s') wasn't an iterator: 0x%x!\n",
          name, entry ? entry->type : 0);
    return nullptr;
  }
  return static_cast<IHBIter *>(out);
}

HBMap *HBRPCGeneric::getAllOutputArgs() {
  if (result_) result_->upref();
  return result_;
}

int HBRPCGeneric::getLastErrorCode() {
  if (!fault_) return -1;
  const char *code = result_->getStringAtKey("errorCode");
  if (!code) return 400;
  return static_cast<int>(strtol(code, nullptr, 0));
}

brerror_t HBRPCGeneric::produceFaultMessage(char *buffer, int32_t size, const char *extra) {
  if (!fault_) return BRERROR_UNSPECIFIED;
  return HBCommandParser__faultText(buffer, size, getLastErrorCode(),
                                    result_->getStringAtKey("errorDescription"),
                                    result_->getStringAtKey("errorContext"), extra);
}

void HBRPCGeneric::useTypeList(const HBSoapType_s *types) {
  if (soap_) soap_->setTypeList(types);
}
