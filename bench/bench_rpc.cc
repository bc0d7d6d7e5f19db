// Driver for bench_rpc.sh: the client's side of the getFile comparison with
// curl against the same kxcloud.
//   bench_rpc body FILE       writes the SOAP body of the getFile call
//   bench_rpc calls URL N     N getFile calls on one RPC object over one
//                             pooled keep-alive connection; prints calls/s
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hbhttpconnpool.h"
#include "hbmap.h"
#include "hbmemstream.h"
#include "hbrpcgeneric.h"

namespace {

const HBSoapArg_s kArgs[] = {{"valtoken", "demo-token", HBTYPE_STRING},
                             {"deviceid", "kxcloud-dev", HBTYPE_STRING},
                             {"serviceid", "6b786364-0000-4000-8000-000000000001", HBTYPE_STRING},
                             {"fileid", "0", HBTYPE_STRING}};

int writeBody(const char *path) {
  IHBMemStream *stream = nullptr;
  if (HBMemStream__new(&stream, nullptr, 0, HBSTREAM_READ | HBSTREAM_WRITE | HBMEMSTREAM_GROW) < 0)
    return 1;
  HBSoap__writeRequestBody(stream, "getFile", kArgs, 4, nullptr);
  void *data;
  uint32_t length;
  stream->getBuffer(&data, &length);
  FILE *f = fopen(path, "wb");
  if (!f) return 1;
  fwrite(data, 1, length, f);
  fclose(f);
  stream->dnref();
  return 0;
}

int calls(const char *url, int count) {
  auto *pool = new HBHTTPConnPool(-1, 64);
  auto *rpc = new HBRPCGeneric(url, pool);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; i++) {
    IHBMap *file = rpc->syncOpN("getFile", 4, kArgs) == 0 ? rpc->getArgumentMap("file") : nullptr;
    if (!file) {
      fprintf(stderr, "call %d failed\n", i);
      return 1;
    }
    file->dnref();
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("calls %d %.1f\n", count, count / seconds);
  rpc->dnref();
  pool->dnref();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "body") == 0) return writeBody(argv[2]);
  if (argc == 4 && strcmp(argv[1], "calls") == 0) return calls(argv[2], atoi(argv[3]));
  fprintf(stderr, "usage: bench_rpc body FILE | bench_rpc calls URL N\n");
  return 2;
}
