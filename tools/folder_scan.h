// tools/folder_scan.h -- turns a folder tree into package inputs: every regular file, named
// relative to the folder with '\' separators, in byte-wise order of those names.
#pragma once

#include <string>
#include <vector>

#include "tools/package_writer.h"

namespace kelvane::pack {

struct ScanOptions {
  bool store_all = false;                   // every entry stored without compression
  std::vector<std::string> store_patterns;  // globs; a file matching one is stored
};

// Collects the regular files under |folder| (symbolic links to files count as files; links to
// directories are not followed). Other kinds of file are skipped with a line in |*warnings|.
// False with |*error| set when the folder or anything in it cannot be examined.
bool ScanFolder(const std::string& folder, const ScanOptions& options,
                std::vector<PackInput>* inputs, std::vector<std::string>* warnings,
                std::string* error);

// Sorts |inputs| by name, byte by byte, keeping the order of equal names.
void SortInputs(std::vector<PackInput>* inputs);

// Whether |relative_path| (with '/') or its last component matches one of |patterns|.
bool MatchesAnyPattern(const std::string& relative_path, const std::vector<std::string>& patterns);

}  // namespace kelvane::pack
