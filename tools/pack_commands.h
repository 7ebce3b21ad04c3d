// tools/pack_commands.h -- the subcommands of kelvane-pack. Each returns the process's exit
// status: 0 on success, 1 on a failure, a refusal or a broken package. Results go to stdout,
// errors and warnings to stderr, one line each, prefixed with the tool's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvane::pack {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct BuildArgs {
  std::string executable;
  std::string folder;
  std::string output;
  bool store = false;
  std::vector<std::string> store_patterns;
  bool follow_symlinks = false;  // follow links that lead outside the folder
  std::string version;  // written as version.txt when set
  std::string password;  // written as password.txt when set
  bool has_version = false;
  bool has_password = false;
  bool checksums = true;  // add SHA256SUMS, the checksum of every other entry
};

int RunBuild(const BuildArgs& args);
int RunStrip(const std::string& package, const std::string& output);
int RunList(const std::string& package);
int RunVerify(const std::string& package);
int RunExtract(const std::string& package, const std::string& folder);

// Writes "kelvane-pack: error: <message>" or "kelvane-pack: warning: <message>" to stderr.
void PrintError(const std::string& message);
void PrintWarning(const std::string& message);

// "1 entry", "2 entries".
std::string CountEntries(size_t count);

// A FILETIME as "YYYY-MM-DD HH:MM" in UTC.
std::string FormatFileTime(uint64_t file_time);

// A FILETIME as nanoseconds since 1970-01-01 UTC, clamped to what the result can hold.
int64_t FileTimeToUnixNanosClamped(uint64_t file_time);

}  // namespace kelvane::pack
