// brsocket: the socket layer under the HTTP client and the TLS transport.
//
// Turns host texts into framework addresses (IPv4, or the local stream
// sockets "/tmp/<name>" that local agents listen on, named by hosts that
// begin "vqzl"), creates sockets with the options every connection needs
// (close-on-exec, no SIGPIPE on writes), connects with a time-out, polls,
// and maps system errors to brerror_t. Sockets are plain descriptors owned
// by the caller, who closes them with brsocket_close. Every function is
// thread-safe; one socket is used by one thread at a time.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "brerror.h"

typedef int brsocket_t;

enum : int {
  BRSOCKET_FAMILY_LOCAL = 1,
  BRSOCKET_FAMILY_IPV4 = 2,
};

enum : int {
  BRSOCKET_TYPE_STREAM = 1,
  BRSOCKET_TYPE_DGRAM = 2,
};

// Longest local socket name; its path is "/tmp/" followed by the name.
constexpr size_t BRSOCKET_LOCAL_NAME_MAX = 61;

// A family of 0 is the all-zero address of an empty host text.
struct brsockaddr_t {
  int32_t family;
  union {
    struct {
      uint16_t port;     // network order
      uint32_t address;  // network order
    } ipv4;
    char local[BRSOCKET_LOCAL_NAME_MAX + 1];  // NUL-terminated name
  };
};

// Poll event bits of the framework; BRPOLL_INVALID is only ever returned.
enum : int16_t {
  BRPOLL_IN = 0x01,
  BRPOLL_PRI = 0x02,
  BRPOLL_OUT = 0x04,
  BRPOLL_ERR = 0x08,
  BRPOLL_HUP = 0x10,
  BRPOLL_INVALID = 0x20,
};

struct brpollfd_t {
  brsocket_t socket;
  int16_t events;
  int16_t revents;
};

// Entries that brsocket_poll handles without allocating.
constexpr int BRSOCKET_POLL_STACK_ENTRIES = 512;

// The framework's switch for the descriptor's non-blocking flag.
constexpr int BRSOCKET_SOL_SOCKET = 0xffff;
constexpr int BRSOCKET_SO_NONBLOCKING = 4099;

// A new socket (>= 0) or an error: -6 for an unknown family or type, the
// mapped system error when the system refuses to create one.
brerror_t brsocket(int family, int type, int protocol);

// Resolves `text` ("[scheme://]host[:port][/...]") into *address. `length`
// (optional) receives the size of the address. 0 or an error: -3 when the
// host has no IPv4 address or names a local socket that does not exist,
// -6 for a malformed port, -28 for a local name over 61 characters.
brerror_t brsocket_parseip(const char *text, brsockaddr_t *address, uint32_t *length);
brerror_t brsocket_parseipN(const char *text, size_t textLength, brsockaddr_t *address,
                            uint32_t *length);

// Calls made to the system resolver by this process.
uint64_t brsocket__resolverCalls();

// Connects; a connect still in progress on a non-blocking socket is success.
brerror_t brsocket_connect(brsocket_t socket, const brsockaddr_t *address);
inline brerror_t brsocket_connect_async(brsocket_t socket, const brsockaddr_t *address) {
  return brsocket_connect(socket, address);
}

// Waits up to `timeoutMs` (negative: no wait) for a started connect to
// finish: 0, -11 when it did not finish in time, -10 when it failed.
brerror_t brsocket_connect_complete(brsocket_t socket, int timeoutMs);

// Number of entries with events, 0 on time-out, -21 when interrupted, or the
// mapped error. More than 512 entries cost one allocation.
brerror_t brsocket_poll(brpollfd_t *entries, int count, int timeoutMs);

// Byte counts or mapped errors. Sends never raise SIGPIPE.
brerror_t brsocket_recv(brsocket_t socket, void *buffer, int32_t size, int flags);
brerror_t brsocket_send(brsocket_t socket, const void *data, int32_t size, int flags);
brerror_t brsocket_writev(brsocket_t socket, const struct iovec *vectors, int count);
brerror_t brsocket_close(brsocket_t socket);
// `how`: 0 reads, 1 writes, 2 both.
brerror_t brsocket_shutdown(brsocket_t socket, int how);

// Options are given in the framework's numbering (see the .cc); level 0xffff
// option 4099 with a 4-byte value switches non-blocking mode. -3 for an
// option that has no equivalent here.
brerror_t brsocket_setsockopt(brsocket_t socket, int level, int option, const void *value,
                              uint32_t length);

// The framework error for a system error number.
brerror_t brsocket__maperror(int err);
