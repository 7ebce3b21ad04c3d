// archive/archive_test_util.h -- helpers shared by the archive tests.
#pragma once

#include <string>
#include <vector>

#include "archive/archive_streams.h"
#include "support/fixture_package.h"

namespace kelvane::archive {

// The sample package, built and written once per process (building it compresses 1.2 MB).
inline const std::string& SamplePackagePath() {
  static const test::TempDir dir;
  static const std::string path = dir.Write("sample.pkg", test::SamplePackageBuilder().Build());
  return path;
}

// Reads |source| in |chunk|-byte pieces until Read returns 0, at most |limit| bytes in all
// (a guard against a source that never ends).
inline std::string ReadAll(ByteSource* source, size_t chunk, size_t limit = size_t{1} << 26) {
  std::string out;
  std::vector<char> buffer(chunk);
  while (out.size() <= limit) {
    const size_t n = source->Read(buffer.data(), chunk);
    if (n == 0) break;
    if (n > chunk) {
      out += "<Read returned more than asked>";
      break;
    }
    out.append(buffer.data(), n);
  }
  return out;
}

}  // namespace kelvane::archive
