// tools/folder_scan.cpp -- the recursive folder walk behind `kelvane-pack build`.
#include "tools/folder_scan.h"

#include <fnmatch.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "tools/package_names.h"
#include "tools/tool_files.h"

namespace kelvane::pack {

namespace fs = std::filesystem;

bool ScanFolder(const std::string& folder, const ScanOptions& options,
                std::vector<PackInput>* inputs, std::vector<std::string>* warnings,
                std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    *error = folder + " is not a folder";
    return false;
  }
  const fs::path root(folder);
  fs::recursive_directory_iterator it(root, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    const std::string path = entry.path().string();
    const fs::file_status status = entry.status(ec);  // follows symbolic links
    if (ec) {
      *error = "cannot examine " + path + ": " + ec.message();
      return false;
    }
    if (fs::is_directory(status)) continue;
    if (!fs::is_regular_file(status)) {
      warnings->push_back("skipped " + path + ": not a regular file");
      continue;
    }
    const std::string relative = entry.path().lexically_relative(root).generic_string();
    if (relative.find('\\') != std::string::npos) {
      *error = "cannot name " + path + " in a package: '\\' separates the components of names";
      return false;
    }
    PackInput input;
    input.name = relative;
    std::replace(input.name.begin(), input.name.end(), '/', '\\');
    input.source_path = path;
    input.size = entry.file_size(ec);
    const auto times = ReadFileTimes(path);
    if (ec || !times) {
      *error = "cannot examine " + path + (ec ? ": " + ec.message() : std::string());
      return false;
    }
    input.creation_time = times->creation;
    input.last_access_time = times->last_access;
    input.last_write_time = times->last_write;
    input.store = options.store_all || MatchesAnyPattern(relative, options.store_patterns);
    inputs->push_back(std::move(input));
  }
  if (ec) {
    *error = "cannot read the folder " + folder + ": " + ec.message();
    return false;
  }
  return true;
}

void SortInputs(std::vector<PackInput>* inputs) {
  // std::string compares its chars as unsigned bytes.
  std::stable_sort(inputs->begin(), inputs->end(),
                   [](const PackInput& a, const PackInput& b) { return a.name < b.name; });
}

bool MatchesAnyPattern(const std::string& relative_path,
                       const std::vector<std::string>& patterns) {
  const std::string base = fs::path(relative_path).filename().string();
  return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
    return fnmatch(pattern.c_str(), relative_path.c_str(), FNM_PATHNAME) == 0 ||
           fnmatch(pattern.c_str(), base.c_str(), 0) == 0;
  });
}

}  // namespace kelvane::pack
