// platform/interfaces_win.cpp -- the Windows twin of the interface list, on GetAdaptersAddresses
// (iphlpapi).
#include "platform/interfaces.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstring>
#include <vector>

namespace kelvane::platform {

std::vector<InterfaceAddress> ListIpv4Interfaces() {
  std::vector<InterfaceAddress> list;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  // The list may grow between the calls: a few tries with the size the system asks for.
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = ::GetAdaptersAddresses(AF_INET, flags, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return list;
  for (const auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
       adapter != nullptr; adapter = adapter->Next) {
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
      const SOCKADDR* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      sockaddr_in in{};
      std::memcpy(&in, address, sizeof in);
      InterfaceAddress entry;
      entry.name = adapter->AdapterName != nullptr ? adapter->AdapterName : "";
      entry.address = ntohl(in.sin_addr.s_addr);
      entry.up = adapter->OperStatus == IfOperStatusUp;
      entry.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
      list.push_back(std::move(entry));
    }
  }
  return list;
}

}  // namespace kelvane::platform
