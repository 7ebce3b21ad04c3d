// platform/interfaces.h -- the IPv4 addresses of the machine's network interfaces (getifaddrs on
// Linux, GetAdaptersAddresses on Windows). Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvane::platform {

struct InterfaceAddress {
  std::string name;      // the interface's name (Linux) or adapter name (Windows)
  uint32_t address = 0;  // IPv4, host byte order
  bool up = false;       // the interface is up (Windows: operational)
  bool loopback = false;
};

// Every IPv4 address of every interface, in the system's order; empty when the system cannot
// tell.
std::vector<InterfaceAddress> ListIpv4Interfaces();

}  // namespace kelvane::platform
