#include "brcrypto.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "brstring.h"
#include "brthread.h"

namespace {

bool read_urandom(void *out, size_t n) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t got = read(fd, out, n);
  close(fd);
  return got == static_cast<ssize_t>(n);
}

struct StateDeleter {
  void operator()(brcrypto_state *s) const { brcrypto__shutdown(s); }
};

}  // namespace

int brcrypto_sha1(const void *data, size_t length, uint8_t *out, size_t size) {
  if (!out) return BRCRYPTO_SHA1_SIZE;
  if (size < BRCRYPTO_SHA1_SIZE) return BRERROR_NO_SPACE;
  unsigned int n = 0;
  if (EVP_Digest(data, length, out, &n, EVP_sha1(), nullptr) != 1) return BRERROR_UNSPECIFIED;
  return static_cast<int>(n);
}

brerror_t brcrypto__initialize(brcrypto_state **state) {
  *state = new (std::nothrow) brcrypto_state;
  if (!*state) return BRERROR_NO_MEMORY;
  uint32_t seed;
  if (!read_urandom(&seed, sizeof seed)) seed = static_cast<uint32_t>(brthread__getticks());
  (*state)->seed = seed;
  return 0;
}

void brcrypto__shutdown(brcrypto_state *state) { delete state; }

int brcrypto__genrandom(brcrypto_state *state, void *out, int n) {
  unsigned char *o = static_cast<unsigned char *>(out);
  for (int i = 0; i < n; i += 4) {
    int32_t word = rand_r(&state->seed);
    memcpy(o + i, &word, n - i < 4 ? static_cast<size_t>(n - i) : 4);
  }
  return n;
}

brerror_t bruuid_generate_random(brcrypto_state *state, bruuid_t uuid) {
  std::unique_ptr<brcrypto_state, StateDeleter> own;
  if (!state) {
    brerror_t err = brcrypto__initialize(&state);
    if (err < 0) return err;
    own.reset(state);
  }
  brcrypto__genrandom(state, uuid, sizeof(bruuid_t));
  return 0;
}

int bruuid_to_string(const bruuid_t uuid, char *out, size_t size, int flags) {
  static const size_t kGroups[] = {4, 2, 2, 2, 6};
  bool compact = (flags & BRUUID_COMPACT) != 0;
  size_t length = compact ? 32 : 36;
  if (size < length + 1) return BRERROR_NO_SPACE;
  size_t w = 0;
  const uint8_t *bytes = uuid;
  for (size_t group : kGroups) {
    if (!compact && w > 0) out[w++] = '-';
    brutil_toHexString(bytes, group, out + w, size - w);
    w += 2 * group;
    bytes += group;
  }
  return static_cast<int>(w);
}

int bruuid_generate_randomstr(brcrypto_state *state, char *out, size_t size, int flags) {
  bruuid_t uuid;
  brerror_t err = bruuid_generate_random(state, uuid);
  if (err < 0) return err;
  return bruuid_to_string(uuid, out, size, flags);
}

brerror_t bruuid_from_string(const char *text, bruuid_t uuid) {
  memset(uuid, 0, sizeof(bruuid_t));
  int nibbles = 0;
  for (const char *p = text; *p && nibbles < 32; p++) {
    if (*p == '-') continue;
    int v = brutil_hexDigitValue(*p);
    if (v < 0) return BRERROR_UNSPECIFIED;
    uuid[nibbles / 2] = static_cast<uint8_t>((uuid[nibbles / 2] << 4) | v);
    nibbles++;
  }
  return nibbles % 2 == 0 ? 0 : BRERROR_UNSPECIFIED;
}
