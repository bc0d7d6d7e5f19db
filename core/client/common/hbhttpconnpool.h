// hbhttpconnpool: the pool of idle keep-alive HTTP connections, so that
// consecutive requests to one scheme, host and port reuse one connection.
//
// A connection is either lent to exactly one caller or held as one idle
// entry. Callers take a connection, run one request on it, destroy the
// request and give the connection back with the same URL. Idle entries sit
// in two trees (by endpoint and by release time) guarded by one mutex that
// is never held while a connection is tested, connected, closed or used.
// Any thread may take and give back connections. The process instance is
// set at start-up and read from any thread (its pointer has its own lock).
#pragma once

#include <cstdint>

#include "brhttp.h"
#include "brrbtree.h"
#include "brthread.h"
#include "hburl.h"

class HBRPCGeneric;

class IHBHTTPConnPool : public IHBObj {
 public:
  // An idle live connection to the URL's endpoint, or a new one; the
  // caller owns it until it is given back.
  virtual brerror_t getHTTPConn(const char *url, BRHTTPConnection **out) = 0;
  virtual brerror_t getHTTPConn(IHBURL *url, BRHTTPConnection **out) = 0;
  // Keeps a live connection idle (closing the oldest idle one beyond the
  // maximum); a closed one is dropped (0), a dead one dropped with -6.
  virtual brerror_t releaseHTTPConn(const char *url, BRHTTPConnection *conn) = 0;
  virtual brerror_t releaseHTTPConn(IHBURL *url, BRHTTPConnection *conn) = 0;
  // Closes every idle connection.
  virtual brerror_t shutdown() = 0;
};

struct HBHTTPConnPool_Data;

class HBHTTPConnPool final : public IHBHTTPConnPool {
 public:
  // ioTimeoutMs -1 selects 30000 ms; at most maxIdle connections wait idle.
  HBHTTPConnPool(int32_t ioTimeoutMs, int32_t maxIdle);

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override;
  brerror_t getifc(hbtype_t id, void **out) override;
  brerror_t getHTTPConn(const char *url, BRHTTPConnection **out) override;
  brerror_t getHTTPConn(IHBURL *url, BRHTTPConnection **out) override;
  brerror_t releaseHTTPConn(const char *url, BRHTTPConnection *conn) override;
  brerror_t releaseHTTPConn(IHBURL *url, BRHTTPConnection *conn) override;
  brerror_t shutdown() override;

  // Idle entries (for tests and the log).
  uint32_t idleCount();

 private:
  ~HBHTTPConnPool() override;
  HBHTTPConnPool_Data *takeIdle(IHBURL *url, uint32_t *endpointLen, uint32_t *timeLen);
  void removeLocked(HBHTTPConnPool_Data *entry);

  HBRefCount refs_;
  int32_t ioTimeoutMs_;
  int32_t maxIdle_;
  brmutex_t mutex_;
  brrbtree_t byEndpoint_;  // guarded by mutex_
  brrbtree_t byTime_;      // guarded by mutex_
};

// The process pool: set takes a reference (dropping the previous pool's);
// get hands out one reference, or -3 when none is set.
brerror_t HBHTTPConnPool__setInstance(IHBHTTPConnPool *pool);
brerror_t HBHTTPConnPool__getInstance(IHBHTTPConnPool **out);
// Through the process pool; without one, a fresh connection (30 s
// time-outs) that release closes and destroys.
brerror_t HBHTTPConnPool__getHTTPConn(const char *url, BRHTTPConnection **out);
brerror_t HBHTTPConnPool__releaseHTTPConn(const char *url, BRHTTPConnection *conn);
// A new RPC object for the URL on the process pool (without one, logged,
// the object opens its own connections).
brerror_t HBHTTPConnPool__getRPC(const char *url, HBRPCGeneric **out);
