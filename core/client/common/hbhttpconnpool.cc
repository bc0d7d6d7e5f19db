#include "hbhttpconnpool.h"

#include <cstring>
#include <new>
#include <vector>

#include "brlog.h"
#include "brstring.h"
#include "brthread.h"
#include "hbrpcgeneric.h"

namespace {

const char kTag[] = "HTTPCP";
constexpr int32_t kDefaultTimeoutMs = 30000;

const char *orEmpty(const char *text) { return text ? text : ""; }

int compareEndpoint(IHBURL *a, IHBURL *b) {
  int c = strcmp(orEmpty(a->getScheme()), orEmpty(b->getScheme()));
  if (c == 0) c = brstrcasecmp(orEmpty(a->getHostname()), orEmpty(b->getHostname()));
  if (c == 0 && a->getPort() != b->getPort()) c = a->getPort() < b->getPort() ? -1 : 1;
  return c;
}

// Alive means idle: no data, no hang-up, no error waiting on the socket.
bool isAlive(BRHTTPConnection *conn) {
  if (!BRHTTPConnection__isConnected(conn)) return false;
  brpollfd_t entry{conn->sock, BRPOLL_IN | BRPOLL_PRI | BRPOLL_ERR | BRPOLL_HUP, 0};
  brerror_t rc;
  do {
    rc = brsocket_poll(&entry, 1, 0);
  } while (rc == BRERROR_INTERRUPTED);
  return rc == 0;
}

void discard(BRHTTPConnection *conn) { BRHTTPConnection__destroy(conn); }

}  // namespace

struct HBHTTPConnPool_Data {
  IHBURL *url;  // one reference
  BRHTTPConnection *conn;
  int64_t releaseTicks;
};

namespace {

int compareByEndpoint(const void *a, const void *b) {
  return compareEndpoint(static_cast<const HBHTTPConnPool_Data *>(a)->url,
                         static_cast<const HBHTTPConnPool_Data *>(b)->url);
}

int compareByTime(const void *a, const void *b) {
  int64_t ta = static_cast<const HBHTTPConnPool_Data *>(a)->releaseTicks;
  int64_t tb = static_cast<const HBHTTPConnPool_Data *>(b)->releaseTicks;
  return ta < tb ? -1 : ta > tb ? 1 : 0;
}

void freeEntry(HBHTTPConnPool_Data *entry) {
  entry->url->dnref();
  delete entry;
}

}  // namespace

HBHTTPConnPool::HBHTTPConnPool(int32_t ioTimeoutMs, int32_t maxIdle)
    : ioTimeoutMs_(ioTimeoutMs == -1 ? kDefaultTimeoutMs : ioTimeoutMs), maxIdle_(maxIdle) {
  // Only a process out of memory fails here, and the constructor has no way
  // to report it.
  brerror_t err = brmutex__new_named(&mutex_, BRMUTEX_HERE);
  BRASSERT(err == 0);
  brrbtree__init(&byEndpoint_, compareByEndpoint, nullptr);
  brrbtree__init(&byTime_, compareByTime, nullptr);
}

HBHTTPConnPool::~HBHTTPConnPool() {
  shutdown();
  brrbtree__deinit(&byEndpoint_);
  brrbtree__deinit(&byTime_);
  brmutex__destroy(mutex_);
}

int32_t HBHTTPConnPool::dnref() {
  int32_t left = refs_.release();
  BRASSERT(left >= 0);
  if (left == 0) delete this;
  return left;
}

brerror_t HBHTTPConnPool::getifc(hbtype_t id, void **out) {
  if (id != HBTYPE_IID_IHBOBJ && id != HBTYPE_IID_IHBHTTPCONNPOOL) return BRERROR_NO_ENTRY;
  upref();
  *out = static_cast<IHBHTTPConnPool *>(this);
  return 0;
}

uint32_t HBHTTPConnPool::idleCount() {
  BRMutexLock lock(mutex_);
  return brrbtree__size(&byTime_);
}

void HBHTTPConnPool::removeLocked(HBHTTPConnPool_Data *entry) {
  brrbtree__removedata(&byEndpoint_, entry, entry);
  brrbtree__removedata(&byTime_, entry, entry);
}

HBHTTPConnPool_Data *HBHTTPConnPool::takeIdle(IHBURL *url, uint32_t *endpointLen,
                                              uint32_t *timeLen) {
  BRMutexLock lock(mutex_);
  HBHTTPConnPool_Data probe{url, nullptr, 0};
  brrbtree__node_s *node = brrbtree__find(&byEndpoint_, &probe);
  if (!node || compareByEndpoint(node->key, &probe) != 0) return nullptr;
  auto *entry = static_cast<HBHTTPConnPool_Data *>(node->data);
  removeLocked(entry);
  *endpointLen = brrbtree__size(&byEndpoint_);
  *timeLen = brrbtree__size(&byTime_);
  return entry;
}

brerror_t HBHTTPConnPool::getHTTPConn(const char *url, BRHTTPConnection **out) {
  IHBURL *parsed = nullptr;
  brerror_t err = HBURL__newFromString(&parsed, url);
  if (err < 0) return err;
  err = getHTTPConn(parsed, out);
  parsed->dnref();
  return err;
}

brerror_t HBHTTPConnPool::getHTTPConn(IHBURL *url, BRHTTPConnection **out) {
  uint32_t endpointLen = 0;
  uint32_t timeLen = 0;
  while (HBHTTPConnPool_Data *entry = takeIdle(url, &endpointLen, &timeLen)) {
    BRHTTPConnection *conn = entry->conn;
    freeEntry(entry);
    if (!BRHTTPConnection__isConnected(conn)) {
      brlog(kTag, BRLOG_DEBUG, "Connection already closed...\n");
      discard(conn);
      continue;
    }
    if (!isAlive(conn)) {
      discard(conn);
      continue;
    }
    brlog(kTag, BRLOG_DEBUG, "Reusing Connection (TREE LEN: %d,%d)\n", endpointLen, timeLen);
    *out = conn;
    return 0;
  }
  const char *scheme = url->getScheme();
  const char *host = orEmpty(url->getHostname());
  brlog(kTag, BRLOG_DEBUG, ">>> [%s://%s:%u] New Connection Starting (%d,%d,%d)\n", scheme, host,
        url->getPort(), kDefaultTimeoutMs, ioTimeoutMs_, ioTimeoutMs_);
  brerror_t err = BRHTTPConnection__new(out, scheme, host, url->getPort(), 0, kDefaultTimeoutMs,
                                        ioTimeoutMs_, ioTimeoutMs_);
  if (err < 0) {
    brlog(kTag, BRLOG_ERROR, ">>> [%s://%s:%u] FAILED TO CONNECT: %d\n", scheme, host,
          url->getPort(), err);
  }
  return err;
}

brerror_t HBHTTPConnPool::releaseHTTPConn(const char *url, BRHTTPConnection *conn) {
  IHBURL *parsed = nullptr;
  brerror_t err = HBURL__newFromString(&parsed, url);
  if (err < 0) {
    discard(conn);
    return err;
  }
  err = releaseHTTPConn(parsed, conn);
  parsed->dnref();
  return err;
}

brerror_t HBHTTPConnPool::releaseHTTPConn(IHBURL *url, BRHTTPConnection *conn) {
  if (!BRHTTPConnection__isConnected(conn)) {
    brlog(kTag, BRLOG_DEBUG, ">>> [%s://%s:%u] Dropping CLOSED Connection\n", url->getScheme(),
          orEmpty(url->getHostname()), url->getPort());
    discard(conn);
    return 0;
  }
  if (!isAlive(conn)) {
    discard(conn);
    return BRERROR_INVALID_ARGUMENT;
  }
  auto *entry = new (std::nothrow) HBHTTPConnPool_Data{url, conn, brthread__getticks()};
  if (!entry) {
    brlog(kTag, BRLOG_ERROR, "FAILED TO INSERT URL NODE\n");
    discard(conn);
    return BRERROR_NO_MEMORY;
  }
  url->upref();
  std::vector<HBHTTPConnPool_Data *> reaped;
  {
    BRMutexLock lock(mutex_);
    brrbtree__node_s *a = brrbtree__insert(&byEndpoint_, entry, entry);
    brrbtree__node_s *b = a ? brrbtree__insert(&byTime_, entry, entry) : nullptr;
    if (!b) {
      if (a) brrbtree__remove(&byEndpoint_, a);
      entry = nullptr;
    }
    while (entry && brrbtree__size(&byTime_) > static_cast<uint32_t>(maxIdle_ < 0 ? 0 : maxIdle_)) {
      auto *oldest = static_cast<HBHTTPConnPool_Data *>(brrbtree__first(&byTime_)->data);
      removeLocked(oldest);
      reaped.push_back(oldest);
    }
  }
  if (!entry) {
    brlog(kTag, BRLOG_ERROR, "FAILED TO INSERT URL NODE\n");
    url->dnref();
    discard(conn);
    return BRERROR_NO_MEMORY;
  }
  int64_t now = brthread__getticks();
  for (HBHTTPConnPool_Data *old : reaped) {
    brlog(kTag, BRLOG_DEBUG, ">>> [%s://%s:%u] REAPING OLD HTTP CONN (%llds OLD)\n",
          old->url->getScheme(), orEmpty(old->url->getHostname()), old->url->getPort(),
          static_cast<long long>((now - old->releaseTicks) / 1000));
    discard(old->conn);
    freeEntry(old);
  }
  return 0;
}

brerror_t HBHTTPConnPool::shutdown() {
  std::vector<HBHTTPConnPool_Data *> all;
  {
    BRMutexLock lock(mutex_);
    for (brrbtree__node_s *n = brrbtree__first(&byTime_); n; n = brrbtree__next(&byTime_, n)) {
      all.push_back(static_cast<HBHTTPConnPool_Data *>(n->data));
    }
    brrbtree__removeall(&byEndpoint_);
    brrbtree__removeall(&byTime_);
  }
  brlog(kTag, BRLOG_DEBUG, "Destroying Connection Pool (Length: %d)\n",
        static_cast<int>(all.size()));
  for (HBHTTPConnPool_Data *entry : all) {
    discard(entry->conn);
    freeEntry(entry);
  }
  return 0;
}

namespace {

IHBHTTPConnPool *g_instance;  // guarded by instanceMutex()

brmutex_t instanceMutex() {
  static brmutex_t mutex = [] {
    brmutex_t created = nullptr;
    brerror_t err = brmutex__new_named(&created, BRMUTEX_HERE);
    BRASSERT(err == 0);
    return created;
  }();
  return mutex;
}

}  // namespace

brerror_t HBHTTPConnPool__setInstance(IHBHTTPConnPool *pool) {
  if (pool) pool->upref();
  IHBHTTPConnPool *previous;
  {
    BRMutexLock lock(instanceMutex());
    previous = g_instance;
    g_instance = pool;
  }
  if (previous) previous->dnref();
  return 0;
}

brerror_t HBHTTPConnPool__getInstance(IHBHTTPConnPool **out) {
  BRMutexLock lock(instanceMutex());
  if (!g_instance) return BRERROR_NO_ENTRY;
  g_instance->upref();
  *out = g_instance;
  return 0;
}

brerror_t HBHTTPConnPool__getHTTPConn(const char *url, BRHTTPConnection **out) {
  IHBHTTPConnPool *pool = nullptr;
  if (HBHTTPConnPool__getInstance(&pool) == 0) {
    brerror_t err = pool->getHTTPConn(url, out);
    pool->dnref();
    return err;
  }
  IHBURL *parsed = nullptr;
  brerror_t err = HBURL__newFromString(&parsed, url);
  if (err < 0) return err;
  err = BRHTTPConnection__new(out, parsed->getScheme(), orEmpty(parsed->getHostname()),
                              parsed->getPort(), 0, kDefaultTimeoutMs, kDefaultTimeoutMs,
                              kDefaultTimeoutMs);
  parsed->dnref();
  return err;
}

brerror_t HBHTTPConnPool__releaseHTTPConn(const char *url, BRHTTPConnection *conn) {
  IHBHTTPConnPool *pool = nullptr;
  if (HBHTTPConnPool__getInstance(&pool) == 0) {
    brerror_t err = pool->releaseHTTPConn(url, conn);
    pool->dnref();
    return err;
  }
  BRHTTPConnection__destroy(conn);
  return 0;
}

brerror_t HBHTTPConnPool__getRPC(const char *url, HBRPCGeneric **out) {
  IHBHTTPConnPool *pool = nullptr;
  if (HBHTTPConnPool__getInstance(&pool) < 0) {
    brlog("HBRPC", BRLOG_WARNING, "No Connection Pool Implementation Registered!\n");
  }
  auto *rpc = new (std::nothrow) HBRPCGeneric(url, pool);
  if (pool) pool->dnref();
  if (!rpc) return BRERROR_NO_MEMORY;
  *out = rpc;
  return BRERROR_NONE;
}
