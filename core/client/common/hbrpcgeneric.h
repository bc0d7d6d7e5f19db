// hbrpcgeneric: one RPC call on the cloud service. HBRPCGeneric names an
// endpoint, calls a method with named arguments, and keeps the result map
// and the fault details of the last call; HBSoap is its transport, which
// borrows a connection, writes the request in the encoding the endpoint's
// path selects ("/pktm/" for packets, SOAP otherwise) and decodes the reply.
//
// Calls are synchronous on the calling thread. One object serves one thread
// at a time; the connection pool is the only shared part and no lock is held
// during network I/O. With a pool, a connection is borrowed for each call
// and given back after it; without one, the transport keeps its own
// connection between calls. The result map belongs to the object and is
// emptied at the start of every call: results are valid until the next
// call. Objects are reference counted (atomic).
#pragma once

#include <cstdarg>
#include <cstdint>

#include "brhttp.h"
#include "hbcommandparser.h"
#include "hbhttpconnpool.h"
#include "hbsoap.h"
#include "hburl.h"

class HBMap;
class IHBMap;
class IHBIter;

class IHBSoapComplete : public IHBObj {
 public:
  // The transport's result of the call just finished.
  virtual void notifySoapComplete(brerror_t result) = 0;
};

constexpr int32_t HBSOAP_METHOD_MAX = 127;
constexpr int32_t HBSOAP_WINDOW = 4096;

class HBSoap final : public IHBObj {
 public:
  // Takes references on `url` and `pool` (may be null). `complete` is told
  // of every call's end; it is not referenced (it owns the transport).
  HBSoap(IHBURL *url, IHBHTTPConnPool *pool, IHBSoapComplete *complete);

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override;
  brerror_t getifc(hbtype_t id, void **out) override;

  // One call into `result`: the HTTP status, or a negative transport error.
  // A 2xx reply that cannot be read or decoded to its end gives that error
  // instead of the status (its decoded values stay in `result`).
  brerror_t call(const char *method, const HBSoapArg_s *args, int count, va_list *pairs,
                 HBMap *result);
  void setTypeList(const HBSoapType_s *types) { types_ = types; }

 private:
  ~HBSoap() override;
  brerror_t connect();
  void release();
  brerror_t soapExchange(const char *path, const HBSoapArg_s *args, int count, va_list *pairs,
                         HBMap *result);
  brerror_t packetExchange(const char *path, const HBSoapArg_s *args, int count, va_list *pairs,
                           HBMap *result);
  // Reads the body into the window and decodes it.
  brerror_t decodeBody(BRHTTPRequest *req, HBMap *result);
  void logBody(BRHTTPRequest *req, int status);

  HBRefCount refs_;
  IHBURL *url_;
  IHBHTTPConnPool *pool_;
  IHBSoapComplete *complete_;
  BRHTTPConnection *conn_ = nullptr;
  int32_t connectMs_ = 30000, readMs_ = 30000, writeMs_ = -1;
  char method_[HBSOAP_METHOD_MAX + 1] = {0};
  const HBSoapType_s *types_ = nullptr;
  HBCommandParserCore decoder_;
  char window_[HBSOAP_WINDOW];
  int32_t fill_ = 0;
};

class HBRPCGeneric final : public IHBSoapComplete {
 public:
  // Takes references on `url` and `pool` (pool may be null). A text URL
  // that does not parse leaves the object unusable: every call returns -6.
  HBRPCGeneric(IHBURL *url, IHBHTTPConnPool *pool);
  HBRPCGeneric(const char *url, IHBHTTPConnPool *pool);

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override;
  brerror_t getifc(hbtype_t id, void **out) override;
  void notifySoapComplete(brerror_t result) override { transportResult_ = result; }

  // 0 for a 2xx reply without "errorCode"; -15 for a service fault or an
  // HTTP failure status (details through getLastErrorCode and
  // produceFaultMessage); a negative transport error otherwise.
  brerror_t syncOp(const char *method, ...) __attribute__((sentinel));
  brerror_t syncOpN(const char *method, int count, const HBSoapArg_s *args);
  brerror_t syncOpVN(const char *method, int count, const HBSoapArg_s *args, va_list list);

  // Results of the last call.
  const char *getArgumentByName(const char *name);
  // Decimal, octal with a leading 0, or hexadecimal with "0x"; 0 when absent.
  uint32_t getArgumentUInt32(const char *name);
  // New references, or null (logged) when absent or of another kind.
  IHBMap *getArgumentMap(const char *name);
  IHBIter *getArgumentIterator(const char *name);
  // The result map with one reference.
  HBMap *getAllOutputArgs();

  // -1 without a fault; the "errorCode" of the reply, or 400 for an HTTP
  // failure status without one.
  int getLastErrorCode();
  // -1 without a fault; else the length of the "QXError" text (formatted
  // like snprintf), with `extra` appended to the context.
  brerror_t produceFaultMessage(char *buffer, int32_t size, const char *extra);
  // For the SOAP decoder; the list must outlive the calls.
  void useTypeList(const HBSoapType_s *types);

 private:
  ~HBRPCGeneric() override;
  void init(IHBURL *url, IHBHTTPConnPool *pool);
  brerror_t perform(const char *method, int count, const HBSoapArg_s *args, va_list *pairs);

  HBRefCount refs_;
  IHBURL *url_ = nullptr;
  IHBHTTPConnPool *pool_ = nullptr;
  HBSoap *soap_ = nullptr;
  HBMap *result_ = nullptr;
  brerror_t transportResult_ = 0;
  brerror_t lastResult_ = 0;
  bool fault_ = false;
};
