// tools/package_names.h -- the rules entry names follow: at most 259 bytes, unique without
// regard to ASCII letter case, no file that is also a directory prefix; which names the FTP
// service can show; which names stay inside a folder when extracted.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kelvane::pack {

// Takes names one at a time and tells the conflict each new name makes with those before it.
// Names use '\' as the separator; one leading '\' is ignored, as the reader ignores it.
class NameChecker {
 public:
  // With |strict_directory_case|, a directory spelled two ways ("A\x" and "a\y") is a conflict
  // too. The reader merges such directories into one, so a package read back would not match
  // the folder it was built from; verify is not strict, build is.
  explicit NameChecker(bool strict_directory_case) : strict_(strict_directory_case) {}

  // Records |name|. Returns an empty string when it is acceptable, else why it is not (naming
  // the earlier name it collides with); a refused name is not recorded.
  std::string Add(std::string_view name);

 private:
  struct Seen {
    std::string spelling;  // the path as first seen
    std::string example;   // a file name that made this directory, or the file's own name
    bool is_file = false;
  };
  bool strict_;
  std::unordered_map<std::string, Seen> seen_;  // key: the path in lower case
};

// Whether every byte lies in printable ASCII (0x20..0x7E), the only names FTP clients can
// name reliably.
bool IsFtpNameable(std::string_view name);

// The relative path (with '/') an entry extracts to, or nullopt when the name could leave the
// folder or cannot be written: empty, an empty, "." or ".." component, a '/' or NUL byte.
std::optional<std::string> ExtractionPath(std::string_view name);

// |name| for messages: bytes outside printable ASCII as \xNN.
std::string Printable(std::string_view name);

// Printable(|name|) in single quotes.
std::string Quoted(std::string_view name);

}  // namespace kelvane::pack
