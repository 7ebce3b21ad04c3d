// tools/pack_extract.cpp -- `kelvane-pack extract`: every entry into a folder, through the
// same reader and streams the server uses.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "archive/FileArchiveReader.h"
#include "platform/file_io.h"
#include "tools/pack_commands.h"
#include "tools/package_inspect.h"
#include "tools/package_names.h"
#include "tools/progress.h"
#include "tools/tool_files.h"

namespace kelvane::pack {
namespace {

namespace fs = std::filesystem;

constexpr size_t kChunkSize = 64 * 1024;

// Whether some component of |relative| below |folder| exists as a symbolic link: writing
// through it could land outside the folder.
bool PassesThroughLink(const fs::path& folder, const fs::path& relative) {
  fs::path path = folder;
  for (const fs::path& part : relative) {
    path /= part;
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(path, ec))) return true;
  }
  return false;
}

// Writes one entry to |destination|; an empty result on success, else what went wrong (and
// then the file is gone).
std::string ExtractEntry(archive::FileArchiveReader* reader, const PackageRecord& record,
                         const fs::path& destination, ProgressBar* bar) {
  const archive::ArchiveCursor root(reader->directory());
  const std::unique_ptr<archive::ArchiveFileStream> stream = reader->OpenFile(root, record.name);
  if (!stream) return "the reader cannot open it";
  std::error_code ec;
  fs::create_directories(destination.parent_path(), ec);
  if (ec) return "cannot create " + destination.parent_path().string() + ": " + ec.message();

  bool is_regular = false;
  platform::UniqueFd out = platform::CreateForWriting(destination.string(), &is_regular);
  if (!out.valid()) return "cannot create " + destination.string() + ": " + LastErrorText();
  std::string fault;
  archive::ByteSource* source = stream->ActiveSource();
  const auto buffer = std::make_unique<uint8_t[]>(kChunkSize);
  uint64_t written = 0;
  while (true) {
    const size_t n = source->Read(buffer.get(), kChunkSize);
    if (n == 0) break;
    if (!platform::WriteAll(out.get(), buffer.get(), n)) {
      fault = "cannot write " + destination.string() + ": " + LastErrorText();
      break;
    }
    written += n;
    bar->Advance(n);
  }
  if (fault.empty() && (source->failed() || stream->failed())) {
    fault = "its data is damaged or ends early";
  }
  if (fault.empty() && written != record.info.unpacked_size) {
    fault = "it unpacked to " + std::to_string(written) + " bytes, but the record says " +
            std::to_string(record.info.unpacked_size);
  }
  if (!fault.empty()) {
    out.Reset();
    if (is_regular) platform::RemoveFile(destination.string());
    return fault;
  }
  if (!platform::SetFileTimes(out.get(),
                              FileTimeToUnixNanosClamped(record.info.last_access_time),
                              FileTimeToUnixNanosClamped(record.info.last_write_time))) {
    PrintWarning("cannot set the times of " + destination.string() + ": " + LastErrorText());
  }
  return {};
}

}  // namespace

int RunExtract(const std::string& package, const std::string& folder) {
  platform::UniqueFd file = platform::OpenReadOnly(package);
  if (!file.valid()) {
    PrintError("cannot open " + package + ": " + LastErrorText());
    return kExitFailure;
  }
  const PackageDirectory dir = ReadPackageDirectory(file.get());
  file.Reset();
  if (!dir.fault.empty()) {
    PrintError(package + ": " + dir.fault);
    return kExitFailure;
  }

  // Every name is checked before anything is written.
  std::vector<fs::path> paths;
  bool refused = false;
  uint64_t total = 0;
  for (const PackageRecord& record : dir.records) {
    const auto path = ExtractionPath(record.name);
    if (!path) {
      PrintError("entry " + Quoted(record.name) + " would not stay inside the folder");
      refused = true;
      continue;
    }
    paths.emplace_back(*path);
    total += record.info.unpacked_size;
  }
  if (refused) {
    PrintError("nothing extracted");
    return kExitFailure;
  }
  archive::FileArchiveReader reader;
  if (!reader.Open(package)) {
    PrintError(package + ": the package reader refuses to load it; `kelvane-pack verify` "
               "tells why");
    return kExitFailure;
  }
  const fs::path root(folder);
  std::error_code ec;
  fs::create_directories(root, ec);
  if (ec) {
    PrintError("cannot create " + folder + ": " + ec.message());
    return kExitFailure;
  }

  ProgressBar bar("extract", total);
  size_t failures = 0;
  for (size_t i = 0; i < dir.records.size(); ++i) {
    const PackageRecord& record = dir.records[i];
    std::string fault = PassesThroughLink(root, paths[i])
                            ? "a symbolic link lies on its way in the folder"
                            : ExtractEntry(&reader, record, root / paths[i], &bar);
    if (fault.empty()) continue;
    bar.Finish();
    PrintError("entry " + Quoted(record.name) + ": " + fault);
    ++failures;
  }
  bar.Finish();
  if (failures > 0) {
    std::printf("%s: %zu of %s extracted to %s\n", package.c_str(),
                dir.records.size() - failures, CountEntries(dir.records.size()).c_str(),
                folder.c_str());
    return kExitFailure;
  }
  std::printf("%s: %s extracted to %s\n", package.c_str(),
              CountEntries(dir.records.size()).c_str(), folder.c_str());
  return kExitOk;
}

}  // namespace kelvane::pack
