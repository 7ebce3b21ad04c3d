// platform/interfaces_linux.cpp -- the Linux twin of the interface list, on getifaddrs.
#include "platform/interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace kelvane::platform {

std::vector<InterfaceAddress> ListIpv4Interfaces() {
  std::vector<InterfaceAddress> list;
  ifaddrs* first = nullptr;
  if (::getifaddrs(&first) != 0) return list;
  for (const ifaddrs* at = first; at != nullptr; at = at->ifa_next) {
    if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in in{};
    // Copied rather than cast: sockaddr's alignment is not sockaddr_in's.
    std::memcpy(&in, at->ifa_addr, sizeof in);
    InterfaceAddress entry;
    entry.name = at->ifa_name != nullptr ? at->ifa_name : "";
    entry.address = ntohl(in.sin_addr.s_addr);
    entry.up = (at->ifa_flags & IFF_UP) != 0 && (at->ifa_flags & IFF_RUNNING) != 0;
    entry.loopback = (at->ifa_flags & IFF_LOOPBACK) != 0;
    list.push_back(std::move(entry));
  }
  ::freeifaddrs(first);
  return list;
}

}  // namespace kelvane::platform
