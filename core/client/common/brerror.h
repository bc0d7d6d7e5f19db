// brerror: the result type of every runtime and framework operation.
//
// brerror_t is a signed 32-bit value: 0 is success, negative values are the
// codes below, and operations that move data return a non-negative count.
// Service error codes (positive, from the cloud service) have their own
// texts through hberrcode_tostring. All functions here are thread-safe and
// return static texts.
#pragma once

#include <cstdint>

typedef int32_t brerror_t;

enum : brerror_t {
  BRERROR_NONE = 0,
  BRERROR_UNSPECIFIED = -1,
  BRERROR_TRY_AGAIN = -2,
  BRERROR_NO_ENTRY = -3,
  BRERROR_NOT_IMPLEMENTED = -4,
  BRERROR_BAD_STATE = -5,
  BRERROR_INVALID_ARGUMENT = -6,
  BRERROR_OUT_OF_RANGE = -7,
  BRERROR_IO = -8,
  BRERROR_BUSY = -9,
  BRERROR_NO_CONNECTION = -10,
  BRERROR_TIMED_OUT = -11,
  BRERROR_NO_SPACE = -12,
  BRERROR_TOO_FEW = -13,
  BRERROR_TOO_MANY = -14,
  BRERROR_FAULT = -15,
  BRERROR_UNSUPPORTED = -16,
  BRERROR_NOT_AUTHORIZED = -17,
  BRERROR_CANCELED = -18,
  BRERROR_NO_MEMORY = -19,
  BRERROR_NO_SUCH_FILE = -20,
  BRERROR_INTERRUPTED = -21,
  BRERROR_IN_PROGRESS = -22,
  BRERROR_EXISTS = -23,
  BRERROR_EOF = -24,
  BRERROR_ALREADY_HANDLED = -25,
  BRERROR_EXPIRED = -26,
  BRERROR_READ_ONLY = -27,
  BRERROR_NAME_TOO_LONG = -28,
  BRERROR_NULL_VALUE = -29,
  BRERROR_SKIPPED = -32,
  BRERROR_NOT_EMPTY = -34,
  BRERROR_CONNECTION_RESET = -35,
  BRERROR_CONNECTION_ABORTED = -36,
};

// The fixed text of a brerror_t; "No Error" for any value >= 0.
const char *brerror_tostring(brerror_t code);

// The text of a service error code. 1..99 are negated and read as brerror_t,
// 0 and negative codes are brerror_t; unknown positive codes give
// "UNSPECIFIED HBERRCODE!".
const char *hberrcode_tostring(int code);

// Maps a POSIX errno value to a brerror_t (-1 for anything unlisted).
brerror_t brposix__maperrno(int err);
