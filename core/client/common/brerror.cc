#include "brerror.h"

#include <cerrno>

namespace {

const char *const kTexts[] = {
    "No Error",           "Unspecified Error", "Try Again",        "No Entry",
    "Not Implemented",    "Bad State",         "Invalid Argument", "Out Of Range",
    "I/O Error",          "Key or Service Busy", "No Connection",  "Timed Out",
    "No Space",           "Too Few",           "Too Many",         "Fault",
    "Unsupported",        "Not Authorized",    "Operation Canceled", "Not enough memory",
    "No Such File",       "Interrupted",       "Inprogress",       "Exists",
    "EOF",                "Already Handled",   "Expired",          "Read-only",
    "Unknown Error",      "Unknown Error",     "Unknown Error",    "Unknown Error",
    "Skipped",            "Unknown Error",     "Not Empty",        "Connection Reset",
    "Connection Aborted",
};
constexpr int kTextCount = sizeof(kTexts) / sizeof(kTexts[0]);

struct ServiceText {
  int code;
  const char *text;
};

const ServiceText kServiceTexts[] = {
    {400, "Unspecified client error"},
    {500, "Unspecified server error"},
    {600, "Invalid argument"},
    {601, "Out of range"},
    {602, "Not implemented"},
    {606, "Not authorized"},
    {607, "Timeout Occurred"},
    {608, "A temporary failure occurred"},
    {800, "No such user"},
    {801, "No such device"},
    {802, "No such service"},
    {803, "No such album"},
    {804, "No such file"},
    {805, "Permission denied"},
    {806, "Not available"},
    {807, "Storage offline"},
    {808, "File Exists"},
    {809, "Named file does not exist"},
    {810, "User record already exists"},
    {811, "User hasn't validate email"},
    {812, "Name too long"},
    {813, "Password not set"},
    {814, "Failed to delete"},
    {815, "Service Expired"},
    {816, "Service Needs Setup"},
    {817, "Insufficient Space or Too Big"},
    {818, "Request is not supported"},
    {819, "Failed to provision requested feature"},
    {820, "Necessary feature is not provisioned"},
    {821, "Active Copy already exists"},
    {822, "Invalid name"},
    {823, "Printer Driver Unknown"},
    {824, "Not Authorized for Google Cloud Print"},
    {825, "Limit Reached"},
    {826, "Invalid Token"},
    {890, "Upload is still pending"},
};

}  // namespace

const char *brerror_tostring(brerror_t code) {
  if (code >= 0) return kTexts[0];
  // Negate in 64 bits: INT32_MIN has no 32-bit negation.
  int64_t index = -static_cast<int64_t>(code);
  if (index < kTextCount) return kTexts[index];
  return "Unknown Error";
}

const char *hberrcode_tostring(int code) {
  if (code <= 0) return brerror_tostring(code);
  if (code < 100) return brerror_tostring(-code);
  for (const ServiceText &entry : kServiceTexts) {
    if (entry.code == code) return entry.text;
  }
  return "UNSPECIFIED HBERRCODE!";
}

brerror_t brposix__maperrno(int err) {
  switch (err) {
    case ENOENT: return BRERROR_NO_ENTRY;
    case EINTR: return BRERROR_INTERRUPTED;
    case EIO: return BRERROR_IO;
    case ENOMEM: return BRERROR_NO_MEMORY;
    case EACCES: return BRERROR_NOT_AUTHORIZED;
    case EFAULT: return BRERROR_FAULT;
    case EEXIST: return BRERROR_EXISTS;
    case ENOTDIR: return BRERROR_INVALID_ARGUMENT;
    case EFBIG:
    case ENOSPC: return BRERROR_NO_SPACE;
    case EPIPE: return BRERROR_NO_CONNECTION;
    case EAGAIN: return BRERROR_TIMED_OUT;
    case ECONNABORTED: return BRERROR_CONNECTION_ABORTED;
    case ECONNRESET: return BRERROR_CONNECTION_RESET;
    case ENAMETOOLONG: return BRERROR_NAME_TOO_LONG;
    case ENOTEMPTY: return BRERROR_NOT_EMPTY;
    default: return BRERROR_UNSPECIFIED;
  }
}
