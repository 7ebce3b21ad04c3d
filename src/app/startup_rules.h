// app/startup_rules.h -- the small rules of start-up and the main window that need no system
// call: names derived from the executable, the "-log" option, settings values and port
// fields, the texts of failures, the read-me address, and the choice of the headless front end.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftp_mode.h"
#include "util/string_format.h"

namespace kelvane::app {

// The settings' application name: the file name of |executable_path| without its folder and
// without its last extension ("/opt/kv/srv.v2.bin" gives "srv.v2"). A name that is nothing but
// an extension (".hidden") keeps it. Folders end at '/', and on Windows also at '\\'.
std::string ApplicationName(std::string_view executable_path);

// The command line as one text: the arguments, the program's path first, joined by single
// spaces.
std::string JoinCommandLine(const std::vector<std::string>& arguments);

// Whether the command line asks for the trace file: "-log" anywhere in it, as written.
bool CommandLineWantsTrace(std::string_view command_line);

// The trace file that "-log" opens: the archive name with ".log" appended.
std::string TraceFileName(std::string_view archive_name);

// A 32-bit settings value given as text: decimal digits with an optional sign, from -2^31 up
// to 2^32 - 1, taken as its low 32 bits. nullopt for anything else (the default then applies).
std::optional<uint32_t> ParseSettingInteger(std::string_view text);

// The FtpMode setting: "classic" or "modern" in any letter case, blanks around ignored.
// nullopt for anything else (the classic default then applies).
std::optional<ftp::FtpMode> ParseFtpMode(std::string_view text);

// The PassivePorts setting: "first-last", two port numbers of 1 to 65535 with first <= last
// (blanks around each ignored), or one port alone. nullopt for anything else (any port then).
std::optional<ftp::PortRange> ParsePortRange(std::string_view text);

// The PassiveAddress setting: a dotted IPv4 address other than 0.0.0.0 and 255.255.255.255,
// blanks around ignored, in host byte order. nullopt for anything else (the address the
// client reached then).
std::optional<uint32_t> ParseIpv4Address(std::string_view text);

// The port a 32-bit settings value names: its low 16 bits.
constexpr uint16_t PortFromSetting(uint32_t value) { return static_cast<uint16_t>(value & 0xFFFF); }

// Checks one field of the ports dialog. Spaces and tabs around the text are ignored; the rest
// must be unsigned decimal digits (no sign) of a value from 1 to 65535. Returns the message to
// show, or an empty text with |*value| set when the field is good.
std::string CheckPortField(std::string_view text, uint32_t* value);

// The question after the FTP port |port| could not be opened. When the process |may_bind| the
// port no cause is known and the question stands alone; otherwise a second line says the port
// is privileged and how setcap lets |executable| open it.
std::string FtpPortErrorText(uint16_t port, bool may_bind, std::string_view executable);

// The status text for a log file |path| that did not open with the system's |error_number|.
std::string LogFileFailedText(std::string_view path, int error_number);

// The browser address of the package's pages with the HTTP service on |http_port|: no port
// part for 80.
std::string ReadMeAddress(uint16_t http_port);

// Whether the program runs without a window: KELVANE_HEADLESS is "1", or no display is named
// (neither DISPLAY nor WAYLAND_DISPLAY set and non-empty).
bool WantsHeadless(const std::optional<std::string>& headless_variable,
                   const std::optional<std::string>& display,
                   const std::optional<std::string>& wayland_display);

using util::Format;  // printf-style formatting into a std::string

}  // namespace kelvane::app
