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
  bool follow_outside_links = false;        // follow links that lead outside the folder
};

// Collects the regular files under |folder|. Symbolic links are followed when they lead to a
// file or folder inside |folder| (by the path they resolve to) and named where the link lies;
// a link to a folder that already lies on its own path (a cycle) is skipped with a line in
// |*warnings|. Links that lead outside |folder| are refused, one line each in |*errors|,
// unless |options| follows them. Other kinds of file are skipped with a warning. False with
// |*errors| holding every problem when a link is refused, a link leads nowhere, or anything
// cannot be examined; |*inputs| is then incomplete.
bool ScanFolder(const std::string& folder, const ScanOptions& options,
                std::vector<PackInput>* inputs, std::vector<std::string>* warnings,
                std::vector<std::string>* errors);

// Sorts |inputs| by name, byte by byte, keeping the order of equal names.
void SortInputs(std::vector<PackInput>* inputs);

// Whether |relative_path| (with '/') or its last component matches one of |patterns|.
bool MatchesAnyPattern(const std::string& relative_path, const std::vector<std::string>& patterns);

}  // namespace kelvane::pack
