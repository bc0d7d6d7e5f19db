// Driver for bench_http.sh: the client's side of the comparisons with curl
// and wrk against the same nginx.
//   bench_http get URL [BUFFER]   one GET read to its end; prints bytes/s
//   bench_http small URL N        N GETs through the pool; prints requests/s
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "brhttp.h"
#include "hbhttpconnpool.h"
#include "hburl.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One GET on a connection from the pool; the body bytes, or -1.
int64_t getOnce(IHBHTTPConnPool *pool, IHBURL *url, std::vector<char> &buffer) {
  BRHTTPConnection *conn = nullptr;
  if (pool->getHTTPConn(url, &conn) != 0) return -1;
  BRHTTPRequest *req = nullptr;
  BRHTTPConnection__newRequest(conn, &req, "GET", url->getPath(), nullptr);
  int64_t total = -1;
  if (BRHTTPRequest__receiveResponseHeader(req, nullptr, 0, nullptr, 0) == 200) {
    total = 0;
    brerror_t n;
    while ((n = BRHTTPRequest__receiveResponseBody(req, buffer.data(),
                                                   static_cast<int32_t>(buffer.size()))) > 0) {
      total += n;
    }
    if (n < 0) total = -1;
  }
  BRHTTPRequest__destroy(req);
  pool->releaseHTTPConn(url, conn);
  return total;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s get URL [BUFFER] | small URL N\n", argv[0]);
    return 2;
  }
  IHBURL *url = nullptr;
  if (HBURL__newFromString(&url, argv[2]) != 0) return 2;
  HBHTTPConnPool *pool = new HBHTTPConnPool(-1, 64);
  int rc = 0;
  if (strcmp(argv[1], "get") == 0) {
    std::vector<char> buffer(argc > 3 ? static_cast<size_t>(atol(argv[3])) : 256 * 1024);
    double start = now();
    int64_t bytes = getOnce(pool, url, buffer);
    double seconds = now() - start;
    if (bytes < 0) {
      rc = 1;
    } else {
      printf("%lld %.6f %.0f\n", static_cast<long long>(bytes), seconds, bytes / seconds);
    }
  } else {
    long count = argc > 3 ? atol(argv[3]) : 10000;
    std::vector<char> buffer(64 * 1024);
    double start = now();
    for (long i = 0; i < count && rc == 0; ++i) {
      if (getOnce(pool, url, buffer) < 0) rc = 1;
    }
    double seconds = now() - start;
    if (rc == 0) printf("%ld %.6f %.1f\n", count, seconds, count / seconds);
  }
  pool->dnref();
  url->dnref();
  return rc;
}
