#include "brerror.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>

TEST(BrError, TextsOfCodes) {
  struct Case {
    brerror_t code;
    const char *text;
  } cases[] = {
      {0, "No Error"},          {5, "No Error"},          {-1, "Unspecified Error"},
      {-12, "No Space"},        {-19, "Not enough memory"}, {-22, "Inprogress"},
      {-28, "Unknown Error"},   {-29, "Unknown Error"},   {-32, "Skipped"},
      {-33, "Unknown Error"},   {-36, "Connection Aborted"}, {-37, "Unknown Error"},
      {INT32_MIN, "Unknown Error"},
  };
  for (const Case &c : cases) EXPECT_STREQ(brerror_tostring(c.code), c.text) << c.code;
}

TEST(BrError, ServiceCodeTexts) {
  struct Case {
    int code;
    const char *text;
  } cases[] = {
      {23, "Exists"},
      {0, "No Error"},
      {-3, "No Entry"},
      {99, "Unknown Error"},
      {400, "Unspecified client error"},
      {808, "File Exists"},
      {817, "Insufficient Space or Too Big"},
      {890, "Upload is still pending"},
      {603, "UNSPECIFIED HBERRCODE!"},
      {850, "UNSPECIFIED HBERRCODE!"},
      {1000, "UNSPECIFIED HBERRCODE!"},
  };
  for (const Case &c : cases) EXPECT_STREQ(hberrcode_tostring(c.code), c.text) << c.code;
}

TEST(BrError, ErrnoMapping) {
  struct Case {
    int err;
    brerror_t code;
  } cases[] = {
      {ENOENT, -3},  {EINTR, -21},  {EIO, -8},        {ENOMEM, -19},       {EACCES, -17},
      {EFAULT, -15}, {EEXIST, -23}, {ENOTDIR, -6},    {EFBIG, -12},        {ENOSPC, -12},
      {EPIPE, -10},  {EAGAIN, -11}, {EWOULDBLOCK, -11}, {ECONNABORTED, -36}, {ECONNRESET, -35},
      {ENAMETOOLONG, -28}, {ENOTEMPTY, -34}, {EPERM, -1}, {0, -1},
  };
  for (const Case &c : cases) EXPECT_EQ(brposix__maperrno(c.err), c.code) << c.err;
}
