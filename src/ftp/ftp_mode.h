// ftp/ftp_mode.h -- how the FTP service speaks, and the passive-mode settings of the modern
// mode. Plain values; any thread.
#pragma once

#include <cstdint>

namespace kelvane::ftp {

// kClassic: the service as devices made for it know it, reply for reply (active data
// connections only). kModern: what today's clients expect besides: passive and extended
// passive data connections, resume, sizes and times, machine listings, ABOR, and the
// standard codes of the logon banner, PORT, TYPE and the refusals.
enum class FtpMode { kClassic, kModern };

// The ports passive listeners may take, |first| to |last| inclusive.
struct PortRange {
  uint16_t first = 0;
  uint16_t last = 0;
  bool operator==(const PortRange&) const = default;
};

}  // namespace kelvane::ftp
