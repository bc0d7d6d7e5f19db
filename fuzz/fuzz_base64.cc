// Base64 decoding of arbitrary text into buffers of exact sizes, and the
// round trip of arbitrary bytes through every encoding flag.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hbbase64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  int needed = hbbase64__decode(text, static_cast<int>(size), nullptr, 0, 0);
  if (needed < 0 || static_cast<size_t>(needed) != (size + 3) / 4 * 3) abort();
  for (size_t room : {static_cast<size_t>(needed), static_cast<size_t>(needed) / 2}) {
    // Exactly `room` bytes on the heap, so that a write past them is caught.
    std::vector<uint8_t> out(room);
    int n = hbbase64__decode(text, static_cast<int>(size), out.data(), room, 0);
    if (n >= 0 && static_cast<size_t>(n) > room) abort();
    if (n < 0 && n != -6 && n != -12) abort();
  }

  for (int flags = 0; flags < 4; flags++) {
    int length = hbbase64__encode(data, size, nullptr, 0, flags);
    if (length != static_cast<int>((size + 2) / 3 * 4)) abort();
    std::vector<char> encoded(static_cast<size_t>(length));
    int written = hbbase64__encode(data, size, encoded.data(), encoded.size(), flags);
    if (written < 0 || written > length) abort();
    std::vector<uint8_t> back(size);
    int n = hbbase64__decode(encoded.data(), written, back.data(), back.size(), 0);
    if (n != static_cast<int>(size) || (size > 0 && memcmp(back.data(), data, size) != 0)) abort();
  }
  return 0;
}
