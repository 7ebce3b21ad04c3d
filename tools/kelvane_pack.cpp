// tools/kelvane_pack.cpp -- kelvane-pack's command line: builds a package onto the server
// executable, lists, verifies and extracts packages, and strips one off again.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <ctime>

#include "tools/pack_commands.h"
#include "tools/tool_files.h"

namespace kelvane::pack {

void PrintError(const std::string& message) {
  std::fprintf(stderr, "kelvane-pack: error: %s\n", message.c_str());
}

void PrintWarning(const std::string& message) {
  std::fprintf(stderr, "kelvane-pack: warning: %s\n", message.c_str());
}

std::string CountEntries(size_t count) {
  return std::to_string(count) + (count == 1 ? " entry" : " entries");
}

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;  // FILETIME counts 100 ns
constexpr int64_t kUnixEpochSeconds = 11644473600;  // 1970-01-01 in FILETIME seconds

// Whole seconds since 1970, computed without overflow for every FILETIME.
int64_t FileTimeToUnixSeconds(uint64_t file_time) {
  return static_cast<int64_t>(file_time / kTicksPerSecond) - kUnixEpochSeconds;
}

}  // namespace

std::string FormatFileTime(uint64_t file_time) {
  const time_t seconds = static_cast<time_t>(FileTimeToUnixSeconds(file_time));
  struct tm parts {};
  char text[32];
  if (!UtcTime(seconds, &parts) ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &parts) == 0) {
    return "(time out of range)";
  }
  return text;
}

int64_t FileTimeToUnixNanosClamped(uint64_t file_time) {
  // int64 nanoseconds reach about 292 years either side of 1970.
  constexpr int64_t kLimitSeconds = INT64_MAX / 1000000000 - 1;
  const int64_t seconds = FileTimeToUnixSeconds(file_time);
  if (seconds > kLimitSeconds) return kLimitSeconds * 1000000000;
  if (seconds < -kLimitSeconds) return -kLimitSeconds * 1000000000;
  return seconds * 1000000000 + static_cast<int64_t>(file_time % kTicksPerSecond) * 100;
}

}  // namespace kelvane::pack

int main(int argc, char** argv) {
  using namespace kelvane::pack;
  CLI::App app{"kelvane-pack: builds the package a Kelvane server serves, appended to the "
               "server executable, and lists, verifies, extracts and strips packages."};
  app.require_subcommand(1);
  // Only here, before the subcommands: "build --version TEXT" keeps its own meaning.
  app.set_version_flag("--version", "kelvane-pack " KELVANE_VERSION,
                       "Print the version and exit");

  BuildArgs build;
  CLI::App* build_cmd = app.add_subcommand(
      "build", "Append the files of a folder to the server executable as its package");
  build_cmd->add_option("executable", build.executable,
                        "The kelvane server executable (a package it already carries is "
                        "replaced); any other file is refused")
      ->required();
  build_cmd->add_option("folder", build.folder,
                        "The folder whose files become the entries. Symbolic links inside it "
                        "are followed and named where the link lies; a link to a folder that "
                        "contains it is skipped with a warning")
      ->required();
  build_cmd->add_option("-o,--output", build.output, "The package to write")->required();
  build_cmd->add_flag("--store", build.store, "Store every entry without compression");
  build_cmd->add_option("--store-pattern", build.store_patterns,
                        "Store files whose name or relative path matches this glob "
                        "(repeatable)");
  build_cmd->add_flag("--follow-symlinks", build.follow_symlinks,
                      "Follow symbolic links that lead outside the folder; without it they are "
                      "refused, each named, and nothing is written");
  bool no_checksums = false;
  build_cmd->add_flag("--no-checksums", no_checksums,
                      "Leave out SHA256SUMS, the list of every other entry's SHA-256 (without "
                      "the password entry) that verify checks and sha256sum -c reads");
  CLI::Option* version_opt = build_cmd->add_option(
      "--version", build.version, "Add version.txt holding TEXT and CR LF");
  CLI::Option* password_opt = build_cmd->add_option(
      "--password", build.password, "Add password.txt holding TEXT");

  std::string package;
  std::string target;
  CLI::App* list_cmd = app.add_subcommand("list", "List a package's entries in record order");
  list_cmd->add_option("package", package, "The package")->required();

  CLI::App* verify_cmd =
      app.add_subcommand("verify", "Check a package's directory and every entry's data");
  verify_cmd->add_option("package", package, "The package")->required();

  CLI::App* extract_cmd = app.add_subcommand("extract", "Write a package's entries to a folder");
  extract_cmd->add_option("package", package, "The package")->required();
  extract_cmd->add_option("folder", target, "The folder to write into")->required();

  CLI::App* strip_cmd =
      app.add_subcommand("strip", "Write the executable without its package");
  strip_cmd->add_option("package", package, "The package")->required();
  strip_cmd->add_option("-o,--output", target, "The executable to write")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? kExitOk : kExitUsage;
  }

  if (*build_cmd) {
    build.has_version = version_opt->count() > 0;
    build.has_password = password_opt->count() > 0;
    build.checksums = !no_checksums;
    return RunBuild(build);
  }
  if (*list_cmd) return RunList(package);
  if (*verify_cmd) return RunVerify(package);
  if (*extract_cmd) return RunExtract(package, target);
  if (*strip_cmd) return RunStrip(package, target);
  return kExitUsage;
}
