#include "hbdht.h"

#include <openssl/sha.h>

#include <cstring>

namespace {

const char g_base64EncodeURLMap[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

}  // namespace

brerror_t HBDHT__generateHash(const unsigned char *data, int length, char *out, unsigned outSize, int noPad) {
  constexpr unsigned kNeeded = 32;
  if (!out) return kNeeded;
  if (outSize < kNeeded) return BRERROR_NO_SPACE;
  memset(out, 0, outSize);
  size_t n = length < 0 ? strlen(reinterpret_cast<const char *>(data)) : static_cast<size_t>(length);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(data, n, digest);
  size_t o = 0;
  for (size_t i = 0; i < SHA_DIGEST_LENGTH; i += 3) {
    unsigned v = static_cast<unsigned>(digest[i]) << 16;
    size_t have = SHA_DIGEST_LENGTH - i < 3 ? SHA_DIGEST_LENGTH - i : 3;
    if (have > 1) v |= static_cast<unsigned>(digest[i + 1]) << 8;
    if (have > 2) v |= digest[i + 2];
    for (size_t k = 0; k < 4; k++) {
      if (k <= have) {
        out[o++] = g_base64EncodeURLMap[(v >> (18 - 6 * k)) & 0x3F];
      } else if (!noPad) {
        out[o++] = '=';
      }
    }
  }
  return kNeeded;
}
