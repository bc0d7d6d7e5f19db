#include "brsocket_posix.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "brlog.h"

namespace {

std::atomic<uint64_t> g_resolver_calls{0};

constexpr char kLocalPrefix[] = "vqzl";
constexpr size_t kLocalPrefixLength = sizeof kLocalPrefix - 1;
constexpr char kLocalDirectory[] = "/tmp/";

// Linux has no SO_NOSIGPIPE; every send carries MSG_NOSIGNAL instead.
constexpr int kSendFlags = MSG_NOSIGNAL;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void setLength(uint32_t *length) {
  if (length) *length = sizeof(brsockaddr_t);
}

// Strict dotted quad: four decimal parts of 0..255.
bool parseDottedQuad(const char *text, size_t length, uint32_t *address) {
  uint32_t value = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; part++) {
    if (part > 0) {
      if (pos >= length || text[pos] != '.') return false;
      pos++;
    }
    size_t start = pos;
    uint32_t octet = 0;
    while (pos < length && isDigit(text[pos]) && pos - start < 3) {
      octet = octet * 10 + static_cast<uint32_t>(text[pos] - '0');
      pos++;
    }
    if (pos == start || octet > 255) return false;
    value = (value << 8) | octet;
  }
  if (pos != length) return false;
  *address = htonl(value);
  return true;
}

// ":<1..65535>" or empty; anything else is malformed.
brerror_t parsePort(const char *text, size_t length, uint16_t *port) {
  *port = 0;
  if (length == 0) return BRERROR_NONE;
  if (text[0] != ':' || length < 2 || length > 6) return BRERROR_INVALID_ARGUMENT;
  uint32_t value = 0;
  for (size_t i = 1; i < length; i++) {
    if (!isDigit(text[i])) return BRERROR_INVALID_ARGUMENT;
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (value < 1 || value > 65535) return BRERROR_INVALID_ARGUMENT;
  *port = htons(static_cast<uint16_t>(value));
  return BRERROR_NONE;
}

brerror_t mapResolverError(int rc) {
  switch (rc) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
    case EAI_ADDRFAMILY:
      return BRERROR_NO_ENTRY;
    case EAI_AGAIN: return BRERROR_TRY_AGAIN;
    case EAI_MEMORY: return BRERROR_NO_MEMORY;
    case EAI_FAIL: return BRERROR_IO;
    case EAI_SYSTEM: return brsocket__maperror(errno);
    default: return BRERROR_UNSPECIFIED;
  }
}

brerror_t resolve(const char *host, brsockaddr_t *address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *result = nullptr;
  g_resolver_calls.fetch_add(1, std::memory_order_relaxed);
  int rc = getaddrinfo(host, nullptr, &hints, &result);
  if (rc != 0) {
    brlog("BRSOCK", BRLOG_ERROR, "Failed name lookup [%s]: %d: %s!\n", host, rc,
          gai_strerror(rc));
    return mapResolverError(rc);
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> holder(result, freeaddrinfo);
  for (addrinfo *ai = result; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr) {
      const auto *in = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
      address->ipv4.address = in->sin_addr.s_addr;
      return BRERROR_NONE;
    }
  }
  return BRERROR_NO_ENTRY;
}

// A local name that does not exist: only names that look like a per-user
// suffix (".<digits>") or carry no dot at all are known to be local-only.
bool isLocalOnlyName(const char *name, size_t length) {
  const void *dot = memrchr(name, '.', length);
  if (!dot) return true;
  size_t after = static_cast<size_t>(static_cast<const char *>(dot) - name) + 1;
  if (after == length) return false;
  for (size_t i = after; i < length; i++) {
    if (!isDigit(name[i])) return false;
  }
  return true;
}

brerror_t toSystemAddress(const brsockaddr_t *address, sockaddr_storage *storage,
                          socklen_t *length) {
  memset(storage, 0, sizeof *storage);
  if (address->family == BRSOCKET_FAMILY_IPV4) {
    auto *in = reinterpret_cast<sockaddr_in *>(storage);
    in->sin_family = AF_INET;
    in->sin_port = address->ipv4.port;
    in->sin_addr.s_addr = address->ipv4.address;
    *length = sizeof *in;
    return BRERROR_NONE;
  }
  if (address->family == BRSOCKET_FAMILY_LOCAL) {
    auto *un = reinterpret_cast<sockaddr_un *>(storage);
    un->sun_family = AF_UNIX;
    size_t nameLength = strnlen(address->local, BRSOCKET_LOCAL_NAME_MAX + 1);
    if (nameLength > BRSOCKET_LOCAL_NAME_MAX) return BRERROR_NAME_TOO_LONG;
    memcpy(un->sun_path, kLocalDirectory, sizeof kLocalDirectory - 1);
    memcpy(un->sun_path + sizeof kLocalDirectory - 1, address->local, nameLength);
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kLocalDirectory -
                                     1 + nameLength + 1);
    return BRERROR_NONE;
  }
  return BRERROR_INVALID_ARGUMENT;
}

short toSystemEvents(int16_t events) {
  short out = 0;
  if (events & BRPOLL_IN) out |= POLLIN;
  if (events & BRPOLL_PRI) out |= POLLPRI;
  if (events & BRPOLL_OUT) out |= POLLOUT;
  if (events & BRPOLL_ERR) out |= POLLERR;
  if (events & BRPOLL_HUP) out |= POLLHUP;
  return out;
}

int16_t fromSystemEvents(short events) {
  int16_t out = 0;
  if (events & POLLIN) out |= BRPOLL_IN;
  if (events & POLLPRI) out |= BRPOLL_PRI;
  if (events & POLLOUT) out |= BRPOLL_OUT;
  if (events & POLLERR) out |= BRPOLL_ERR;
  if (events & POLLHUP) out |= BRPOLL_HUP;
  if (events & POLLNVAL) out |= BRPOLL_INVALID;
  return out;
}

brerror_t setNonBlocking(brsocket_t socket, bool on) {
  int flags = fcntl(socket, F_GETFL);
  if (flags < 0) return brsocket__maperror(errno);
  int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && fcntl(socket, F_SETFL, wanted) < 0) return brsocket__maperror(errno);
  return BRERROR_NONE;
}

// The framework's option numbers and the system's equivalents.
struct OptionMapping {
  int level;
  int option;
  int systemLevel;
  int systemOption;
};

constexpr OptionMapping kOptions[] = {
    {BRSOCKET_SOL_SOCKET, 0x0004, SOL_SOCKET, SO_REUSEADDR},
    {BRSOCKET_SOL_SOCKET, 0x0200, SOL_SOCKET, SO_REUSEPORT},
    {BRSOCKET_SOL_SOCKET, 0x1001, SOL_SOCKET, SO_SNDBUF},
    {BRSOCKET_SOL_SOCKET, 0x1002, SOL_SOCKET, SO_RCVBUF},
    {6, 0x01, IPPROTO_TCP, TCP_NODELAY},
    {0, 9, IPPROTO_IP, IP_MULTICAST_IF},
    {0, 10, IPPROTO_IP, IP_MULTICAST_TTL},
    {0, 11, IPPROTO_IP, IP_MULTICAST_LOOP},
    {0, 12, IPPROTO_IP, IP_ADD_MEMBERSHIP},
    {0, 13, IPPROTO_IP, IP_DROP_MEMBERSHIP},
};

}  // namespace

brerror_t brsocket__maperror(int err) { return brposix__maperrno(err); }

uint64_t brsocket__resolverCalls() { return g_resolver_calls.load(std::memory_order_relaxed); }

brerror_t brsocket(int family, int type, int protocol) {
  int systemFamily;
  switch (family) {
    case BRSOCKET_FAMILY_LOCAL: systemFamily = AF_UNIX; break;
    case BRSOCKET_FAMILY_IPV4: systemFamily = AF_INET; break;
    default: return BRERROR_INVALID_ARGUMENT;
  }
  int systemType;
  switch (type) {
    case BRSOCKET_TYPE_STREAM: systemType = SOCK_STREAM; break;
    case BRSOCKET_TYPE_DGRAM: systemType = SOCK_DGRAM; break;
    default: return BRERROR_INVALID_ARGUMENT;
  }
  int fd = ::socket(systemFamily, systemType | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    int err = errno;
    brlog("BRSOCK", BRLOG_ERROR, "Failed [%s]: %d: %s!\n", "socket", err, strerror(err));
    return brsocket__maperror(err);
  }
  return fd;
}

brerror_t brsocket_parseip(const char *text, brsockaddr_t *address, uint32_t *length) {
  return brsocket_parseipN(text, text ? strlen(text) : 0, address, length);
}

brerror_t brsocket_parseipN(const char *text, size_t textLength, brsockaddr_t *address,
                            uint32_t *length) {
  BRASSERT(address);
  memset(address, 0, sizeof *address);
  if (!text || textLength == 0) {
    setLength(length);
    return BRERROR_NONE;
  }
  textLength = strnlen(text, textLength);
  const char *end = text + textLength;
  const char *host = text;
  const char *scheme = static_cast<const char *>(memmem(text, textLength, "://", 3));
  if (scheme) host = scheme + 3;
  const char *hostEnd = host;
  while (hostEnd < end && *hostEnd != ':' && *hostEnd != '/') hostEnd++;
  size_t hostLength = static_cast<size_t>(hostEnd - host);
  const char *portEnd = hostEnd;
  while (portEnd < end && *portEnd != '/') portEnd++;

  if (hostLength >= kLocalPrefixLength && memcmp(host, kLocalPrefix, kLocalPrefixLength) == 0) {
    const char *name = host + kLocalPrefixLength;
    size_t nameLength = hostLength - kLocalPrefixLength;
    if (nameLength > BRSOCKET_LOCAL_NAME_MAX) return BRERROR_NAME_TOO_LONG;
    char path[sizeof kLocalDirectory + BRSOCKET_LOCAL_NAME_MAX];
    memcpy(path, kLocalDirectory, sizeof kLocalDirectory - 1);
    memcpy(path + sizeof kLocalDirectory - 1, name, nameLength);
    path[sizeof kLocalDirectory - 1 + nameLength] = '\0';
    struct stat st;
    if (nameLength > 0 && stat(path, &st) == 0) {
      address->family = BRSOCKET_FAMILY_LOCAL;
      memcpy(address->local, name, nameLength);
      address->local[nameLength] = '\0';
      setLength(length);
      return BRERROR_NONE;
    }
    if (isLocalOnlyName(name, nameLength)) return BRERROR_NO_ENTRY;
  }

  uint16_t port = 0;
  brerror_t err = parsePort(hostEnd, static_cast<size_t>(portEnd - hostEnd), &port);
  if (err < 0) return err;

  // A host that starts with hex digits and a dot is meant as an address;
  // when it is not a valid one it may still be a name ("3com.example").
  size_t hex = 0;
  while (hex < hostLength && isHexDigit(host[hex])) hex++;
  if (hostLength > 0 && isDigit(host[0]) && hex < hostLength && host[hex] == '.' &&
      parseDottedQuad(host, hostLength, &address->ipv4.address)) {
    address->family = BRSOCKET_FAMILY_IPV4;
    address->ipv4.port = port;
    setLength(length);
    return BRERROR_NONE;
  }

  if (hostLength == 0 || hostLength > 255) return BRERROR_NO_ENTRY;
  char name[256];
  memcpy(name, host, hostLength);
  name[hostLength] = '\0';
  err = resolve(name, address);
  if (err < 0) {
    memset(address, 0, sizeof *address);
    return err;
  }
  address->family = BRSOCKET_FAMILY_IPV4;
  address->ipv4.port = port;
  setLength(length);
  return BRERROR_NONE;
}

brerror_t brsocket_connect(brsocket_t socket, const brsockaddr_t *address) {
  sockaddr_storage storage;
  socklen_t length = 0;
  brerror_t err = toSystemAddress(address, &storage, &length);
  if (err < 0) return err;
  if (::connect(socket, reinterpret_cast<sockaddr *>(&storage), length) == 0) return BRERROR_NONE;
  if (errno == EINPROGRESS) return BRERROR_NONE;
  return brsocket__maperror(errno);
}

brerror_t brsocket_connect_complete(brsocket_t socket, int timeoutMs) {
  if (timeoutMs >= 0) {
    brpollfd_t entry = {socket, BRPOLL_OUT, 0};
    brerror_t ready = brsocket_poll(&entry, 1, timeoutMs);
    if (ready < 0) return ready;
    if (ready == 0) return BRERROR_TIMED_OUT;
  }
  int pending = 0;
  socklen_t size = sizeof pending;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending, &size) < 0) pending = errno;
  if (pending != 0) {
    brlog("BRSOCK", BRLOG_ERROR, "Failed [%s]: %d: %s!\n", "connect_complete", pending,
          strerror(pending));
    return BRERROR_NO_CONNECTION;
  }
  return BRERROR_NONE;
}

brerror_t brsocket_poll(brpollfd_t *entries, int count, int timeoutMs) {
  if (count < 0 || (count > 0 && !entries)) return BRERROR_INVALID_ARGUMENT;
  pollfd onStack[BRSOCKET_POLL_STACK_ENTRIES];
  std::unique_ptr<pollfd, decltype(&free)> onHeap(nullptr, free);
  pollfd *fds = onStack;
  if (count > BRSOCKET_POLL_STACK_ENTRIES) {
    onHeap.reset(static_cast<pollfd *>(malloc(sizeof(pollfd) * static_cast<size_t>(count))));
    if (!onHeap) return BRERROR_NO_MEMORY;
    fds = onHeap.get();
  }
  for (int i = 0; i < count; i++) {
    fds[i].fd = entries[i].socket;
    fds[i].events = toSystemEvents(entries[i].events);
    fds[i].revents = 0;
    entries[i].revents = 0;
  }
  int rc = ::poll(fds, static_cast<nfds_t>(count), timeoutMs < -1 ? -1 : timeoutMs);
  if (rc < 0) {
    int err = errno;
    if (err == EINTR) return BRERROR_INTERRUPTED;
    brlog("BRSOCK", BRLOG_ERROR, "Failed [%s]: %d: %s!\n", "poll", err, strerror(err));
    return brsocket__maperror(err);
  }
  for (int i = 0; i < count; i++) entries[i].revents = fromSystemEvents(fds[i].revents);
  return rc;
}

brerror_t brsocket_recv(brsocket_t socket, void *buffer, int32_t size, int flags) {
  if (size < 0) return BRERROR_INVALID_ARGUMENT;
  ssize_t n = ::recv(socket, buffer, static_cast<size_t>(size), flags);
  return n < 0 ? brsocket__maperror(errno) : static_cast<brerror_t>(n);
}

brerror_t brsocket_send(brsocket_t socket, const void *data, int32_t size, int flags) {
  if (size < 0) return BRERROR_INVALID_ARGUMENT;
  ssize_t n = ::send(socket, data, static_cast<size_t>(size), flags | kSendFlags);
  return n < 0 ? brsocket__maperror(errno) : static_cast<brerror_t>(n);
}

brerror_t brsocket_writev(brsocket_t socket, const struct iovec *vectors, int count) {
  if (count < 0) return BRERROR_INVALID_ARGUMENT;
  msghdr message{};
  message.msg_iov = const_cast<struct iovec *>(vectors);
  message.msg_iovlen = static_cast<size_t>(count);
  ssize_t n = ::sendmsg(socket, &message, kSendFlags);
  if (n < 0) return brsocket__maperror(errno);
  return n > INT32_MAX ? INT32_MAX : static_cast<brerror_t>(n);
}

brerror_t brsocket_close(brsocket_t socket) {
  // Linux releases the descriptor even when close reports EINTR; retrying
  // could close a descriptor another thread has just been given.
  if (::close(socket) < 0 && errno != EINTR) return brsocket__maperror(errno);
  return BRERROR_NONE;
}

brerror_t brsocket_shutdown(brsocket_t socket, int how) {
  int systemHow;
  switch (how) {
    case 0: systemHow = SHUT_RD; break;
    case 1: systemHow = SHUT_WR; break;
    case 2: systemHow = SHUT_RDWR; break;
    default: return BRERROR_INVALID_ARGUMENT;
  }
  return ::shutdown(socket, systemHow) < 0 ? brsocket__maperror(errno) : BRERROR_NONE;
}

brerror_t brsocket_setsockopt(brsocket_t socket, int level, int option, const void *value,
                              uint32_t length) {
  if (level == BRSOCKET_SOL_SOCKET && option == BRSOCKET_SO_NONBLOCKING) {
    if (!value || length != 4) return BRERROR_INVALID_ARGUMENT;
    int32_t on;
    memcpy(&on, value, sizeof on);
    return setNonBlocking(socket, on != 0);
  }
  for (const OptionMapping &m : kOptions) {
    if (m.level == level && m.option == option) {
      if (setsockopt(socket, m.systemLevel, m.systemOption, value, length) < 0) {
        return brsocket__maperror(errno);
      }
      return BRERROR_NONE;
    }
  }
  return BRERROR_NO_ENTRY;
}
