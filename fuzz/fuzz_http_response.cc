// Arbitrary bytes, cut into arbitrary pieces, as a server's answer to a
// request: the client must end every exchange with a result, never a crash
// or a hang, and never deliver more than was asked for.
#include <cstdlib>
#include <cstring>
#include <string>

#include "brhttp.h"
#include "brhttp_testing.h"

using namespace brhttp_testing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  static bool registered = BRHTTP__addLowConnFactory(memFactory()) == 0;
  if (!registered) abort();
  uint8_t mode = data[0];
  uint32_t seed = data[1] | 1u;
  data += 2;
  size -= 2;

  MemTransport t;
  MemTransport::current() = &t;
  // Piece sizes from a small generator seeded by the input.
  for (size_t off = 0; off < size;) {
    seed = seed * 1103515245u + 12345u;
    size_t piece = 1 + (seed >> 16) % ((mode & 0x10) ? 7 : 300);
    if (piece > size - off) piece = size - off;
    t.pieces.emplace_back(reinterpret_cast<const char *>(data + off), piece);
    off += piece;
  }

  BRHTTPConnection *conn = nullptr;
  if (BRHTTPConnection__new(&conn, "mem", "fuzz", 1, 0, -1, -1, -1) != 0) abort();
  for (int round = 0; round < 2 && BRHTTPConnection__isConnected(conn); ++round) {
    BRHTTPRequest *req = nullptr;
    const char *method = (mode & 1) ? "HEAD" : (mode & 2) ? "PUT" : "GET";
    const char *proto = (mode & 4) ? "HTTP/1.0" : nullptr;
    if (BRHTTPConnection__newRequest(conn, &req, method, "/f", proto) != 0) abort();
    if (mode & 2) {
      BRHTTPRequest__addRequestHeader(req, "Transfer-Encoding", "chunked");
      if (mode & 8) {
        brerror_t status = BRHTTPRequest__receive100ResponseHeader(req);
        (void)status;
      }
      BRHTTPRequest__writeRequestBody(req, "body", 4);
    }
    brerror_t status = BRHTTPRequest__receiveResponseHeader(req, nullptr, 0, nullptr, 0);
    if (status >= 0) {
      BRHTTPRequest__getResponseHeader(req, "Content-Type");
      char buffer[512];
      for (;;) {
        seed = seed * 1103515245u + 12345u;
        int32_t want = 1 + static_cast<int32_t>((seed >> 16) % sizeof buffer);
        brerror_t n = BRHTTPRequest__receiveResponseBody(req, (mode & 0x20) ? nullptr : buffer,
                                                         want);
        if (n > want) abort();
        if (n <= 0) break;
      }
    }
    BRHTTPRequest__destroy(req);
  }
  BRHTTPConnection__destroy(conn);
  MemTransport::current() = nullptr;
  return 0;
}
