// Unescapes the input in place and checks that the result stays inside it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "brlog.h"
#include "brxml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  brlog_setverbosity(0);
  std::vector<char> buf(data, data + size);
  buf.push_back('\0');
  int32_t length = static_cast<int32_t>(size);
  brerror_t rc = BRXMLParser__unescape(buf.data(), &length);
  if ((rc != 0 && rc != -1) || length < 0 || static_cast<size_t>(length) > size ||
      buf[static_cast<size_t>(length)] != '\0') {
    abort();
  }
  // Escaping the decoded text must fit within the worst case of 6 bytes
  // per input byte.
  std::vector<char> out(static_cast<size_t>(length) * 6 + 1);
  brerror_t escaped = BRXMLParser__escape(buf.data(), out.data(), static_cast<int32_t>(out.size()));
  if (escaped < 0 || strlen(out.data()) != static_cast<size_t>(escaped)) abort();
  return 0;
}
