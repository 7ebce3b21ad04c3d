// app/usage.h -- the two options that print a text and end the program before start-up:
// --version and --help, and the --help text.
//
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::app {

enum class InfoOption { kNone, kVersion, kHelp };

// The first argument after the program's path that is exactly "--version" or "--help", as
// written; kNone when there is none. Nothing else counts ("--versions", "-help", "--HELP"), so
// every other command line, "-log" in it or not, is left to start-up unchanged.
InfoOption FindInfoOption(const std::vector<std::string>& arguments);

// Where the server runs, for the parts of --help that differ: when it is headless, how it is
// ended, where its settings are kept (a file on Linux, the registry on Windows).
enum class UsagePlatform { kLinux, kWindows };

// The --help text of the server whose executable is |executable_path|: what it serves, the
// options, headless mode, its settings and keys with their defaults, the exit statuses.
std::string UsageText(std::string_view executable_path, UsagePlatform platform);

// What main does first: with --version or --help among |arguments|, prints the version line
// ("kelvane <version>") or the help text on stdout and returns the exit status; nullopt when
// neither is there and start-up goes on.
std::optional<int> AnswerInfoOption(const std::vector<std::string>& arguments,
                                    std::string_view executable_path, std::string_view version,
                                    UsagePlatform platform);

}  // namespace kelvane::app
