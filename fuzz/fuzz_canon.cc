// Path canonicalisation of arbitrary text: never longer than the input, only
// 0 or -6, no empty, "." or ".." segment and no trailing "/" left, and a
// canonical path stays as it is.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "brstring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  std::string input(text, strnlen(text, size));
  std::string path = input;
  brerror_t err = brstrcanon(path.data());
  size_t length = strlen(path.c_str());
  if (length > input.size()) abort();
  if (err == -6) return 0;
  if (err != 0) abort();
  std::string canon(path.c_str(), length);
  std::string body = !canon.empty() && canon[0] == '/' ? canon.substr(1) : canon;
  if (!canon.empty() && body.empty()) abort();
  std::string padded = "/" + body + "/";
  if (!body.empty() && (padded.find("//") != std::string::npos ||
                        padded.find("/./") != std::string::npos ||
                        padded.find("/../") != std::string::npos)) {
    abort();
  }
  std::string twice = canon;
  if (brstrcanon(twice.data()) != 0 || strcmp(twice.c_str(), canon.c_str()) != 0) abort();
  return 0;
}
