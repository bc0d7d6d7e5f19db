#include "hbdht.h"

#include <cstring>

#include "brcrypto.h"
#include "hbbase64.h"

brerror_t HBDHT__generateHash(const unsigned char *data, int length, char *out, unsigned outSize, int noPad) {
  constexpr unsigned kNeeded = 32;
  if (!out) return kNeeded;
  if (outSize < kNeeded) return BRERROR_NO_SPACE;
  memset(out, 0, outSize);
  size_t n = length < 0 ? strlen(reinterpret_cast<const char *>(data)) : static_cast<size_t>(length);
  uint8_t digest[20];
  brcrypto_sha1(data, n, digest, sizeof digest);
  int flags = HBBASE64_URLSAFE | (noPad ? HBBASE64_NOPAD : 0);
  int written = hbbase64__encode(digest, sizeof digest, out, outSize, flags);
  return written < 0 ? written : static_cast<brerror_t>(kNeeded);
}
