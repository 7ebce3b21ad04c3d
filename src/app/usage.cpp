// app/usage.cpp -- --version and --help: finding them on the command line and the help text.
#include "app/usage.h"

#include <cstdio>

#include "app/app_texts.h"
#include "app/server_app.h"
#include "app/settings.h"
#include "app/startup_rules.h"

namespace kelvane::app {
namespace {

constexpr std::string_view kVersionOption = "--version";
constexpr std::string_view kHelpOption = "--help";

}  // namespace

InfoOption FindInfoOption(const std::vector<std::string>& arguments) {
  for (size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == kVersionOption) return InfoOption::kVersion;
    if (arguments[i] == kHelpOption) return InfoOption::kHelp;
  }
  return InfoOption::kNone;
}

std::string UsageText(std::string_view executable_path, UsagePlatform platform) {
  const std::string_view program =
      executable_path.substr(executable_path.find_last_of("/\\") + 1);  // npos + 1 is 0
  const std::string name = ApplicationName(executable_path);
  std::string text = Format(
      "Usage: %s [--version | --help] [-log]\n"
      "\n"
      "Serves the read-only package appended to this executable: FTP (anonymous, read-only,\n"
      "active mode) for the devices, HTTP/1.0 for the package's pages when it holds\n"
      "www\\index.htm. A bare kelvane carries no package; 'kelvane-pack build' makes one.\n"
      "\n"
      "  --version  print the version and exit\n"
      "  --help     print this text and exit\n"
      "  %s       anywhere on the command line, case-sensitive: append a trace to\n"
      "             <executable>%s (ARC2=<file> traces into <file> instead)\n"
      "\n",
      std::string(program).c_str(), texts::kLogOption, texts::kTraceSuffix);
  if (platform == UsagePlatform::kWindows) {
    text += Format(
        "Runs headless when %s=1: the log on stdout, messages on stderr, questions on\n"
        "the console; without a console a package's password is taken from %s.\n"
        "Otherwise it opens a window. Ctrl+C or Ctrl+Break ends it.\n"
        "\n"
        "Settings: the registry, HKEY_CURRENT_USER\\Software\\%s\\%s\\%s\n"
        "(numbers as REG_DWORD, texts as REG_SZ):\n",
        texts::kHeadlessVariable, texts::kPasswordVariable, texts::kCompany, name.c_str(),
        texts::kParametersSection);
  } else {
    text += Format(
        "Runs headless when %s=1 or no display is named (neither DISPLAY nor\n"
        "WAYLAND_DISPLAY): the log on stdout, messages on stderr, questions on the terminal;\n"
        "without a terminal a package's password is taken from %s. Otherwise it\n"
        "opens a window. Ctrl+C or SIGTERM ends it.\n"
        "\n"
        "Settings: $XDG_CONFIG_HOME/%s/%s.conf\n"
        "(XDG_CONFIG_HOME defaults to ~/.config), section [%s]:\n",
        texts::kHeadlessVariable, texts::kPasswordVariable, texts::kCompany, name.c_str(),
        texts::kParametersSection);
  }

  const struct {
    const char* key;
    std::string meaning;
  } keys[] = {
      {texts::kFtpPortKey, Format("FTP port (default %u)", AppSettings::kDefaultFtpPort)},
      {texts::kHttpPortKey,
       Format("first HTTP port tried (default %u)", AppSettings::kDefaultHttpPort)},
      {texts::kLogFileKey, "a file the log also goes to, the date in its name (default none)"},
      {texts::kIdleTimeoutKey, Format("seconds a logged-in FTP session may stay silent, 0 for "
                                      "ever (default %d)",
                                      AppSettings::kDefaultIdleTimeout)},
      {texts::kHttpHeadTimeoutKey, Format("seconds an HTTP client has for its request head "
                                          "(default %d)",
                                          AppSettings::kDefaultHttpHeadTimeout)},
      {texts::kHttpMinBodyRateKey, Format("bytes/s an HTTP request body must keep up "
                                          "(default %d)",
                                          AppSettings::kDefaultHttpMinBodyRate)},
      {texts::kFtpModeKey, Format("%s (devices made for this server; the default) or %s "
                                  "(passive mode, resume and the standard replies)",
                                  texts::kClassicModeValue, texts::kModernModeValue)},
      {texts::kPassivePortsKey, "ports of modern passive connections, first-last (default any)"},
      {texts::kPassiveAddressKey, "IPv4 address modern PASV replies offer (default the one the "
                                  "client reached)"},
      {texts::kLogLinesKey, Format("log lines the window keeps to scroll back through "
                                   "(default %d)",
                                   AppSettings::kDefaultLogLines)},
      {texts::kUnpackCacheKey, Format("MB of temporary files compressed entries are unpacked "
                                      "into, 0 for none (default %d)",
                                      AppSettings::kDefaultUnpackCacheMB)},
  };
  for (const auto& k : keys) text += Format("  %-16s %s\n", k.key, k.meaning.c_str());

  const struct {
    int status;
    const char* meaning;
  } statuses[] = {
      {kExitNormal, platform == UsagePlatform::kWindows
                        ? "normal end (Ctrl+C, Ctrl+Break, or the window's Exit)"
                        : "normal end (Ctrl+C, SIGTERM, or the window's Exit)"},
      {kExitNoArchiveName, "the executable's own path could not be read"},
      {kExitArchiveNotOpened, "the executable carries no valid package"},
      {kExitPasswordRefused, "the package's password was not given"},
      {kExitFtpPortError, "the FTP port could not be opened"},
  };
  text += "\nExit status:\n";
  for (const auto& s : statuses) text += Format("  %d  %s\n", s.status, s.meaning);
  return text;
}

std::optional<int> AnswerInfoOption(const std::vector<std::string>& arguments,
                                    std::string_view executable_path, std::string_view version,
                                    UsagePlatform platform) {
  switch (FindInfoOption(arguments)) {
    case InfoOption::kVersion:
      std::printf("kelvane %.*s\n", static_cast<int>(version.size()), version.data());
      return kExitNormal;
    case InfoOption::kHelp:
      std::fputs(UsageText(executable_path, platform).c_str(), stdout);
      return kExitNormal;
    case InfoOption::kNone:
      break;
  }
  return std::nullopt;
}

}  // namespace kelvane::app
