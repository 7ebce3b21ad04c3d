// app/device_addresses.h -- which of the machine's addresses a device is told to use, and the
// addresses as the URLs a device needs. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/interfaces.h"

namespace kelvane::app {

// The addresses of the interfaces that are up, in their order and without repeats; loopback
// addresses only when no other interface is up (none at all: empty).
std::vector<uint32_t> AddressesToShow(const std::vector<platform::InterfaceAddress>& interfaces);

// The headless front end's lines: `Address: ftp://A.B.C.D:PORT/` per address, then
// `Address: http://A.B.C.D:PORT/www/index.htm` per address when |http_port| is not 0.
std::vector<std::string> AddressLines(const std::vector<uint32_t>& addresses, uint16_t ftp_port,
                                      uint16_t http_port);

}  // namespace kelvane::app
