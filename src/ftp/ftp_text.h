// ftp/ftp_text.h -- the text work of the FTP conversation: cutting the control connection's
// bytes into command lines, cleaning them (with a UTF-8 decoder of our own), the PORT argument,
// archive paths, and the log lines. Pure functions (any thread) and one small buffer class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::ftp {

// Cuts the bytes a client sends on its control connection into command lines. LF ends a line
// and is not kept; CR is dropped wherever it occurs. A line keeps its first kMaxLineLength
// characters and the rest of it, up to its LF, is dropped, so that one line sent is always one
// command answered. Bytes are kept raw (a NUL among them is left for CleanLine). Belongs to one
// session's thread.
class CommandLineBuffer {
 public:
  static constexpr size_t kMaxLineLength = 255;

  // Adds received bytes. The buffer holds the complete lines among them until they are taken,
  // so a caller appends only when TakeLine has nothing left (or reads ahead on purpose, as a
  // transfer that watches for ABOR does).
  void Append(std::string_view bytes);
  // Moves the oldest complete line into |*line|; false (|*line| untouched) when none is whole.
  // |*too_long|, when given, tells whether the line had more than kMaxLineLength characters
  // and was cut.
  bool TakeLine(std::string* line, bool* too_long = nullptr);
  // What the peer left when it closed in mid-line: true, with the line begun so far (perhaps
  // empty, when only CRs came), if any byte came since the last LF and every complete line was
  // taken; the buffer starts afresh.
  bool TakeUnfinishedLine(std::string* line, bool* too_long = nullptr);
  // Whether any complete line not yet taken satisfies |matches| (given the line as kept).
  template <typename Predicate>
  bool AnyCompleteLine(Predicate matches) const {
    for (const Line& line : complete_) {
      if (matches(line.text)) return true;
    }
    return false;
  }

 private:
  struct Line {
    std::string text;
    bool too_long = false;
  };
  std::deque<Line> complete_;
  Line current_;
  bool begun_ = false;  // a byte of |current_|'s line came, kept or not
};

// Decodes |bytes| as UTF-8 into UTF-16 code units. A byte that does not begin a well-formed
// sequence (a stray continuation byte, an overlong form, a surrogate, a value above U+10FFFF, a
// sequence cut short) gives one U+FFFD for the longest ill-formed part, and decoding goes on
// with the next byte that can begin a sequence. None when more than |max_units| would result.
std::optional<std::u16string> DecodeUtf8(std::string_view bytes, size_t max_units);

// Cleans a received command line in place. The first |byte_count| bytes (the receive result;
// the text's terminator ends them earlier) are decoded as UTF-8 into at most 256 code units;
// then printable ASCII, CR and LF are kept, a backspace removes the last kept character, U+0000
// ends the line and everything else is dropped. A line that cannot be decoded becomes empty.
void CleanLine(char* text, int byte_count);

// The PORT argument h1,h2,h3,h4,p1,p2: true, with |*host| (dotted) and |*port| set, only when
// it has at most 25 characters, is exactly six decimal numbers of 0 to 255 separated by commas,
// and names |client_address|, the client's own control-connection address (a data connection
// to any other host would let clients use the service against third parties). On false the
// outputs keep their values.
bool ParsePort(std::string_view text, std::string_view client_address, std::string* host,
               uint16_t* port);

// What an EPRT argument |d<family>d<address>d<port>d| (any delimiter d) asks for.
enum class EprtResult {
  kOk,                 // |*host| and |*port| set
  kNotUnderstood,      // not of that form, or a port outside 1..65535
  kUnsupportedFamily,  // a family other than 1 (IPv4)
  kForeignHost,        // an IPv4 address other than |client_address| (a bounce)
};
// The outputs keep their values unless the result is kOk.
EprtResult ParseEprt(std::string_view text, std::string_view client_address, std::string* host,
                     uint16_t* port);

// REST's offset: decimal digits only (at most 20). None for anything else.
std::optional<uint64_t> ParseRestOffset(std::string_view text);

// The path a LIST or NLST argument names once leading options ("-l", "-a", "-la", ...) and
// the spaces after them are skipped; empty when nothing is left.
std::string_view ListPathArgument(std::string_view argument);

// The archive path of an FTP path: every '/' turned into '\'.
std::string MakePath(std::string_view ftp_path);

// Log lines of the conversation.
inline constexpr char kDisconnectLine[] = "Disconnect!";
// "<data host> issued command <number> ' <line> ' ", or the short form for a very long line.
std::string IssuedCommandLine(std::string_view data_host, int number, std::string_view line);
// "<user> command <number> ' <line> ' <outcome> ", or the short form when the user name and the
// line together are very long.
std::string CommandResultLine(std::string_view user_name, int number, std::string_view line,
                              bool success);
// "(<count>) Max Connections Reached".
std::string MaxConnectionsLine(int connection_count);

}  // namespace kelvane::ftp
