// tools/folder_scan.cpp -- the recursive folder walk behind `kelvane-pack build`, with its
// rules for symbolic links.
#include "tools/folder_scan.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "tools/package_names.h"
#include "tools/tool_files.h"

namespace kelvane::pack {
namespace {

namespace fs = std::filesystem;

constexpr char kOutsideLink[] = " is a symbolic link that leads outside the folder, to ";
constexpr char kFollowHint[] = " (--follow-symlinks follows such links)";
constexpr char kCycleLink[] =
    ": a symbolic link to a folder that contains it; following it would never end";

// One walk of one folder tree. Owns nothing but the stack of folders being walked.
class FolderWalk {
 public:
  FolderWalk(const ScanOptions& options, std::vector<PackInput>* inputs,
             std::vector<std::string>* warnings, std::vector<std::string>* errors)
      : options_(options), inputs_(inputs), warnings_(warnings), errors_(errors) {}

  void Run(const std::string& folder) {
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (ec) {
      errors_->push_back("cannot read the folder " + folder + ": " + ec.message());
      return;
    }
    if (!fs::is_directory(status)) {
      errors_->push_back(folder + " is not a folder");
      return;
    }
    root_ = fs::canonical(folder, ec);
    if (ec) {
      errors_->push_back("cannot read the folder " + folder + ": " + ec.message());
      return;
    }
    open_folders_.push_back(root_);
    Walk(fs::path(folder), "");
  }

 private:
  // Whether the resolved path |target| is the root or lies below it.
  bool Inside(const fs::path& target) const {
    const fs::path relative = target.lexically_relative(root_);
    return !relative.empty() && *relative.begin() != "..";
  }

  // Adds the files below |folder|, whose name relative to the root is |relative| ("" for the
  // root itself, else ending in '/').
  void Walk(const fs::path& folder, const std::string& relative) {
    std::error_code ec;
    std::vector<fs::path> children;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) children.push_back(it->path());
    if (ec) {
      errors_->push_back("cannot read the folder " + folder.string() + ": " + ec.message());
      return;
    }
    // In name order, so that warnings and errors come in the same order on every run.
    std::sort(children.begin(), children.end());
    for (const fs::path& child : children) Visit(child, relative + child.filename().string());
  }

  void Visit(const fs::path& path, const std::string& relative) {
    const std::string shown = path.string();
    std::error_code ec;
    fs::file_status status = fs::symlink_status(path, ec);
    if (ec) {
      errors_->push_back("cannot examine " + shown + ": " + ec.message());
      return;
    }
    const bool is_link = fs::is_symlink(status);
    fs::path resolved;
    if (is_link) {
      resolved = fs::canonical(path, ec);
      if (ec) {
        errors_->push_back("cannot follow the symbolic link " + shown + ": " + ec.message());
        return;
      }
      if (!options_.follow_outside_links && !Inside(resolved)) {
        errors_->push_back(shown + kOutsideLink + resolved.string() + kFollowHint);
        return;
      }
      status = fs::status(path, ec);
      if (ec) {
        errors_->push_back("cannot follow the symbolic link " + shown + ": " + ec.message());
        return;
      }
    }
    if (fs::is_directory(status)) {
      if (!is_link) {
        resolved = fs::canonical(path, ec);
        if (ec) {
          errors_->push_back("cannot examine " + shown + ": " + ec.message());
          return;
        }
      }
      if (std::find(open_folders_.begin(), open_folders_.end(), resolved) !=
          open_folders_.end()) {
        warnings_->push_back("skipped " + shown + kCycleLink);
        return;
      }
      open_folders_.push_back(resolved);
      Walk(path, relative + '/');
      open_folders_.pop_back();
      return;
    }
    if (!fs::is_regular_file(status)) {
      warnings_->push_back("skipped " + shown + ": not a regular file");
      return;
    }
    AddFile(path, relative);
  }

  void AddFile(const fs::path& path, const std::string& relative) {
    const std::string shown = path.string();
    if (relative.find('\\') != std::string::npos) {
      errors_->push_back("cannot name " + shown +
                         " in a package: '\\' separates the components of names");
      return;
    }
    PackInput input;
    input.name = relative;
    std::replace(input.name.begin(), input.name.end(), '/', '\\');
    input.source_path = shown;
    std::error_code ec;
    input.size = fs::file_size(path, ec);
    if (ec) {
      errors_->push_back("cannot examine " + shown + ": " + ec.message());
      return;
    }
    const auto times = ReadFileTimes(shown);
    if (!times) {
      errors_->push_back("cannot examine " + shown + ": " + LastErrorText());
      return;
    }
    input.creation_time = times->creation;
    input.last_access_time = times->last_access;
    input.last_write_time = times->last_write;
    input.store = options_.store_all || MatchesAnyPattern(relative, options_.store_patterns);
    inputs_->push_back(std::move(input));
  }

  const ScanOptions& options_;
  std::vector<PackInput>* inputs_;
  std::vector<std::string>* warnings_;
  std::vector<std::string>* errors_;
  fs::path root_;                         // the folder, every link in its path resolved
  std::vector<fs::path> open_folders_;    // resolved folders from the root to the one walked
};

}  // namespace

bool ScanFolder(const std::string& folder, const ScanOptions& options,
                std::vector<PackInput>* inputs, std::vector<std::string>* warnings,
                std::vector<std::string>* errors) {
  const size_t errors_before = errors->size();
  FolderWalk(options, inputs, warnings, errors).Run(folder);
  return errors->size() == errors_before;
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
    return WildcardMatch(pattern, relative_path, true) || WildcardMatch(pattern, base, false);
  });
}

}  // namespace kelvane::pack
