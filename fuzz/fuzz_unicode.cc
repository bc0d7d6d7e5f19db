// Composition of arbitrary bytes: never a write past the buffer, a result that
// is valid UTF-8, and a composed text that composes to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "brunicode.h"

namespace {

void check_utf8(const char *text, int length) {
  for (int pos = 0; pos < length;) {
    uint32_t cp;
    int n = brunicode_utf8cp(text + pos, length - pos, &cp);
    if (n <= 0 || cp == 0xFEFF) abort();
    pos += n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  const int length = static_cast<int>(size);
  std::vector<char> big(size * 4 + 4);
  int full = brunicode_normalizec_utf8(text, length, big.data(), big.size());
  if (full < 0) {
    if (full != -6 && full != -7) abort();
    return 0;
  }
  if (static_cast<size_t>(full) > big.size()) abort();
  check_utf8(big.data(), full);

  for (size_t room : {size_t{0}, size / 2, size}) {
    std::vector<char> out(room);
    int n = brunicode_normalizec_utf8(text, length, out.data(), room);
    if (n < 0) abort();
    if (static_cast<size_t>(n) <= room) {
      if (n != full || (n > 0 && memcmp(out.data(), big.data(), static_cast<size_t>(n)) != 0)) {
        abort();
      }
    }
  }

  std::vector<char> again(static_cast<size_t>(full) * 4 + 4);
  int n = brunicode_normalizec_utf8(big.data(), full, again.data(), again.size());
  if (n != full || (n > 0 && memcmp(again.data(), big.data(), static_cast<size_t>(n)) != 0)) {
    abort();
  }
  return 0;
}
