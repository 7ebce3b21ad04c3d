// app/device_addresses.cpp -- the choice of addresses to show and their lines.
#include "app/device_addresses.h"

#include <algorithm>

#include "app/app_texts.h"
#include "platform/socket.h"
#include "util/string_format.h"

namespace kelvane::app {

std::vector<uint32_t> AddressesToShow(const std::vector<platform::InterfaceAddress>& interfaces) {
  std::vector<uint32_t> others;
  std::vector<uint32_t> loopbacks;
  for (const platform::InterfaceAddress& entry : interfaces) {
    if (!entry.up || entry.address == platform::kAnyAddress) continue;
    // 127/8 is loopback whatever the interface says of itself.
    const bool loopback = entry.loopback || (entry.address >> 24) == 127;
    std::vector<uint32_t>& into = loopback ? loopbacks : others;
    if (std::find(into.begin(), into.end(), entry.address) == into.end()) {
      into.push_back(entry.address);
    }
  }
  return others.empty() ? loopbacks : others;
}

std::vector<std::string> AddressLines(const std::vector<uint32_t>& addresses, uint16_t ftp_port,
                                      uint16_t http_port) {
  std::vector<std::string> lines;
  for (const uint32_t address : addresses) {
    lines.push_back(util::Format(texts::kFtpAddressFormat,
                                 platform::FormatDotted(address).c_str(), unsigned{ftp_port}));
  }
  if (http_port == 0) return lines;
  for (const uint32_t address : addresses) {
    lines.push_back(util::Format(texts::kHttpAddressFormat,
                                 platform::FormatDotted(address).c_str(), unsigned{http_port}));
  }
  return lines;
}

}  // namespace kelvane::app
