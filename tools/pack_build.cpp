// tools/pack_build.cpp -- `kelvane-pack build` and `kelvane-pack strip`.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "archive/checksum_list.h"
#include "tools/folder_scan.h"
#include "tools/pack_commands.h"
#include "tools/package_names.h"
#include "tools/package_writer.h"
#include "tools/progress.h"
#include "tools/tool_files.h"

namespace kelvane::pack {
namespace {

constexpr char kVersionName[] = "version.txt";
constexpr char kPasswordName[] = "password.txt";
constexpr char kEmptyFolder[] = " holds no regular files: the package holds ";
constexpr char kNothing[] = "no entries";
constexpr char kOnlyOptionEntries[] = "only what --version and --password add (and its SHA256SUMS)";

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

// False, after an error line, when the folder holds a file |name| that |writer| writes too.
bool NameIsFree(const char* name, const char* writer, const std::vector<PackInput>& inputs) {
  for (const PackInput& input : inputs) {
    if (SameNameIgnoringCase(input.name, name)) {
      PrintError("the folder holds " + Quoted(input.name) + ", which " + writer + " writes too");
      return false;
    }
  }
  return true;
}

// Adds an entry that an option writes, unless the folder holds a file of that name.
bool AddOptionEntry(const char* name, const char* option, std::string content,
                    std::vector<PackInput>* inputs) {
  if (!NameIsFree(name, option, *inputs)) return false;
  inputs->push_back(MakeContentInput(name, std::move(content), FileTimeNow()));
  return true;
}

}  // namespace

int RunBuild(const BuildArgs& args) {
  ScanOptions options;
  options.store_all = args.store;
  options.store_patterns = args.store_patterns;
  options.follow_outside_links = args.follow_symlinks;
  std::vector<PackInput> inputs;
  std::vector<std::string> warnings;
  std::vector<std::string> errors;
  const bool scanned = ScanFolder(args.folder, options, &inputs, &warnings, &errors);
  for (const std::string& warning : warnings) PrintWarning(warning);
  for (const std::string& error : errors) PrintError(error);
  if (!scanned) return kExitFailure;
  if (inputs.empty()) {
    PrintWarning(args.folder + kEmptyFolder +
                 (args.has_version || args.has_password ? kOnlyOptionEntries : kNothing));
  }
  if (args.has_version &&
      !AddOptionEntry(kVersionName, "--version", args.version + "\r\n", &inputs)) {
    return kExitFailure;
  }
  if (args.has_password &&
      !AddOptionEntry(kPasswordName, "--password", args.password, &inputs)) {
    return kExitFailure;
  }
  SortInputs(&inputs);
  if (args.checksums) {
    // Last, after the sort: the list is made from the entries written before it.
    if (!NameIsFree(archive::kChecksumsEntryName, "build (unless --no-checksums)", inputs)) {
      return kExitFailure;
    }
    // The list carries the newest time of the entries it covers, so that building the same
    // folder twice gives the same package.
    uint64_t newest = 0;
    for (const PackInput& input : inputs) newest = std::max(newest, input.last_write_time);
    PackInput sums = MakeChecksumsInput(inputs, newest);
    sums.store = args.store || MatchesAnyPattern(sums.name, args.store_patterns);
    // No list without a line: sha256sum -c refuses an empty one.
    if (sums.size > 0) inputs.push_back(std::move(sums));
  }

  const std::vector<std::string> problems = CheckInputNames(inputs);
  for (const std::string& problem : problems) PrintError(problem);
  if (!problems.empty()) return kExitFailure;
  uint64_t total = 0;
  for (const PackInput& input : inputs) {
    if (!IsFtpNameable(input.name)) {
      PrintWarning(Printable(input.name) +
                   " holds bytes outside printable ASCII; FTP clients cannot name it");
    }
    total += input.size;
  }
  std::error_code ec;
  const uintmax_t executable_size = std::filesystem::file_size(args.executable, ec);
  if (!ec) total += executable_size;

  std::string error;
  ProgressBar bar("build", total);
  const bool ok = BuildPackage(args.executable, inputs, args.output,
                               [&bar](uint64_t n) { bar.Advance(n); }, &error);
  bar.Finish();
  if (!ok) {
    PrintError(error);
    return kExitFailure;
  }
  std::printf("%s: %s\n", args.output.c_str(), CountEntries(inputs.size()).c_str());
  return kExitOk;
}

int RunStrip(const std::string& package, const std::string& output) {
  std::string error;
  if (!StripPackage(package, output, &error)) {
    PrintError(error);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace kelvane::pack
