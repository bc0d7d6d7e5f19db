#include "brnetif.h"

#include <errno.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <memory>

#include "brlog.h"

namespace {

void describe(const sockaddr *address, char *out, size_t size) {
  switch (address->sa_family) {
    case AF_INET: {
      const auto *in = reinterpret_cast<const sockaddr_in *>(address);
      const auto *b = reinterpret_cast<const unsigned char *>(&in->sin_addr.s_addr);
      snprintf(out, size, "IPV4: %u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], ntohs(in->sin_port));
      break;
    }
    case AF_PACKET: {
      const auto *ll = reinterpret_cast<const sockaddr_ll *>(address);
      const unsigned char *a = ll->sll_addr;
      snprintf(out, size, "HW  : %02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4],
               a[5]);
      break;
    }
    case AF_INET6: snprintf(out, size, "IPV6: "); break;
    default: snprintf(out, size, "UNKNOWN_FAMILY: %d", address->sa_family); break;
  }
}

}  // namespace

brerror_t brnetif__logInterfaces(int level) {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) < 0) return brposix__maperrno(errno);
  std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> holder(list, freeifaddrs);
  for (ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_addr) continue;
    char text[64];
    describe(ifa->ifa_addr, text, sizeof text);
    brlog("BRNETIF", level, "IF: %-4.4s: %04x %s\n", ifa->ifa_name, ifa->ifa_flags, text);
  }
  return BRERROR_NONE;
}
