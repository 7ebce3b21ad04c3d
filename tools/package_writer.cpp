// tools/package_writer.cpp -- streaming package writer: the checked image copy, deflate in
// chunks (or stored when that would not shrink), records and trailer, the 2^31 bound, and the
// temporary-file-then-rename outputs.
#include "tools/package_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "archive/checksum_list.h"
#include "platform/file_io.h"
#include "tools/package_names.h"
#include "tools/server_image.h"
#include "tools/tool_files.h"

namespace kelvane::pack {
namespace {

constexpr size_t kChunkSize = 64 * 1024;
constexpr uint64_t kMaxUnpackedSize = UINT32_MAX;

std::string TooLargeMessage(uint64_t length, uint64_t limit) {
  return "the package would be at least " + std::to_string(length) +
         " bytes long; a package must stay below " + std::to_string(limit) + " bytes";
}

// Copies |length| bytes from |in_fd| at |offset| to |out_fd|.
bool CopyRange(int in_fd, uint64_t offset, uint64_t length, int out_fd, const ProgressFn& progress,
               const std::string& what, std::string* error) {
  const auto buffer = std::make_unique<uint8_t[]>(kChunkSize);
  while (length > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, kChunkSize));
    const long got =
        platform::ReadFullAt(in_fd, buffer.get(), want, static_cast<int64_t>(offset));
    if (got < 0) {
      *error = "cannot read " + what + ": " + LastErrorText();
      return false;
    }
    if (static_cast<size_t>(got) != want) {
      *error = what + " became shorter while it was read";
      return false;
    }
    if (!platform::WriteAll(out_fd, buffer.get(), want)) {
      *error = "cannot write the output: " + LastErrorText();
      return false;
    }
    offset += want;
    length -= want;
    if (progress) progress(want);
  }
  return true;
}

// Delivers an input's content in chunks, from its file or from memory.
class InputReader {
 public:
  explicit InputReader(const PackInput& input) : input_(input) {}

  bool Open(std::string* error) {
    if (input_.source_path.empty()) return true;
    file_ = platform::OpenReadOnly(input_.source_path);
    if (!file_.valid()) {
      *error = "cannot open " + input_.source_path + ": " + LastErrorText();
      return false;
    }
    return true;
  }

  // The count of bytes read, 0 at the end, -1 on an error (with |*error| set).
  long Read(uint8_t* buffer, size_t size, std::string* error) {
    if (input_.source_path.empty()) {
      const size_t n = std::min(size, input_.content.size() - position_);
      std::memcpy(buffer, input_.content.data() + position_, n);
      position_ += n;
      return static_cast<long>(n);
    }
    const long n = platform::ReadFull(file_.get(), buffer, size);
    if (n < 0) *error = "cannot read " + input_.source_path + ": " + LastErrorText();
    return n;
  }

 private:
  const PackInput& input_;
  platform::UniqueFd file_;
  size_t position_ = 0;
};

// How one pass over an entry's content ended.
enum class PassResult { kWritten, kNotSmaller, kFailed };

// Writes the content of |input| at the layout's current end, deflated or as it stands, and
// counts the bytes taken in and written; |*sha| ends up fed with exactly the content taken in.
// A deflating pass gives up with kNotSmaller as soon as
// its output reaches the content's size; what it wrote then is still in the file and in the
// layout, for the caller to take back.
PassResult WriteEntryPass(int out_fd, const PackInput& input, bool deflating,
                          PackageLayout* layout, const ProgressFn& progress, util::Sha256* sha,
                          uint64_t* unpacked, uint64_t* stored, std::string* error) {
  InputReader reader(input);
  if (!reader.Open(error)) return PassResult::kFailed;
  sha->Reset();
  *unpacked = 0;
  *stored = 0;
  bool not_smaller = false;
  auto emit = [&](const uint8_t* data, size_t size) {
    // Checked before the length limit: an entry that will be stored needs only its size.
    if (deflating && *stored + size >= input.size) {
      not_smaller = true;
      return false;
    }
    if (!layout->AddData(size)) {
      *error = TooLargeMessage(layout->file_length() + size, layout->length_limit()) +
               " (while writing " + Quoted(input.name) + ")";
      return false;
    }
    if (!platform::WriteAll(out_fd, data, size)) {
      *error = "cannot write the output: " + LastErrorText();
      return false;
    }
    *stored += size;
    return true;
  };
  auto take = [&](const uint8_t* data, long count) {
    sha->Update(data, static_cast<size_t>(count));
    *unpacked += static_cast<uint64_t>(count);
    if (progress) progress(static_cast<uint64_t>(count));
    if (*unpacked > kMaxUnpackedSize) {
      *error = Quoted(input.name) + " is 4 GiB or larger; an entry must stay below that";
      return false;
    }
    return true;
  };
  auto failed = [&] { return not_smaller ? PassResult::kNotSmaller : PassResult::kFailed; };

  const auto in = std::make_unique<uint8_t[]>(kChunkSize);
  if (!deflating) {
    while (true) {
      const long n = reader.Read(in.get(), kChunkSize, error);
      if (n < 0) return PassResult::kFailed;
      if (n == 0) break;
      if (!take(in.get(), n) || !emit(in.get(), static_cast<size_t>(n))) return PassResult::kFailed;
    }
    return PassResult::kWritten;
  }
  z_stream zs{};
  // Default level, window and memory: the stream starts with the header 78 9C.
  if (deflateInit(&zs, Z_DEFAULT_COMPRESSION) != Z_OK) {
    *error = "cannot start zlib";
    return PassResult::kFailed;
  }
  const std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&zs, deflateEnd);
  const auto out = std::make_unique<uint8_t[]>(kChunkSize);
  int flush = Z_NO_FLUSH;
  while (flush != Z_FINISH) {
    const long n = reader.Read(in.get(), kChunkSize, error);
    if (n < 0) return PassResult::kFailed;
    if (n > 0 && !take(in.get(), n)) return PassResult::kFailed;
    flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
    zs.next_in = in.get();
    zs.avail_in = static_cast<uInt>(n);
    do {
      zs.next_out = out.get();
      zs.avail_out = static_cast<uInt>(kChunkSize);
      deflate(&zs, flush);  // cannot fail: the stream is sound and the buffers are set
      if (!emit(out.get(), kChunkSize - zs.avail_out)) return failed();
    } while (zs.avail_out == 0);
  }
  // The file may have shrunk since it was scanned.
  return *stored >= *unpacked ? PassResult::kNotSmaller : PassResult::kWritten;
}

// Writes one entry's data at the layout's current end, which is also the file offset, and
// fills |*info| for its record and |*digest| with its content's SHA-256.
bool WriteEntryData(int out_fd, const PackInput& input, PackageLayout* layout,
                    const ProgressFn& progress, archive::ArchiveEntryInfo* info,
                    util::Sha256::Digest* digest, std::string* error) {
  const uint64_t start = layout->data_end();
  uint64_t unpacked = 0;
  uint64_t stored = 0;
  bool deflated = !input.store;
  util::Sha256 sha;
  PassResult result =
      WriteEntryPass(out_fd, input, deflated, layout, progress, &sha, &unpacked, &stored, error);
  if (result == PassResult::kNotSmaller) {
    // Written again from the start as it stands; the bytes the shorter copy leaves after it
    // are overwritten by what follows or cut off at the end of the package.
    layout->DropData(stored);
    if (platform::SeekTo(out_fd, static_cast<int64_t>(start)) < 0) {
      *error = "cannot seek in the output: " + LastErrorText();
      return false;
    }
    deflated = false;
    result =
        WriteEntryPass(out_fd, input, deflated, layout, nullptr, &sha, &unpacked, &stored, error);
  }
  if (result != PassResult::kWritten) return false;
  *digest = sha.Final();
  info->creation_time = input.creation_time;
  info->last_access_time = input.last_access_time;
  info->last_write_time = input.last_write_time;
  info->attributes = deflated ? kCompressedAttributes : kStoredAttributes;
  info->data_offset = static_cast<uint32_t>(start);
  info->unpacked_size = static_cast<uint32_t>(unpacked);
  info->stored_size = static_cast<uint32_t>(stored);
  return true;
}

}  // namespace

PackInput MakeContentInput(std::string name, std::string content, uint64_t file_time) {
  PackInput input;
  input.name = std::move(name);
  input.size = content.size();
  input.content = std::move(content);
  input.creation_time = input.last_access_time = input.last_write_time = file_time;
  return input;
}

PackInput MakeChecksumsInput(const std::vector<PackInput>& inputs, uint64_t file_time) {
  PackInput input = MakeContentInput(archive::kChecksumsEntryName, {}, file_time);
  input.checksums = true;
  const util::Sha256::Digest zero{};
  for (const PackInput& other : inputs) {
    if (other.checksums || archive::IsPasswordEntryName(other.name)) continue;
    input.size += archive::FormatChecksumLine(archive::ChecksumName(other.name), zero).size();
  }
  return input;
}

bool PackageLayout::Fits(uint64_t more) const {
  return more < limit_ && file_length() + more < limit_;
}

bool PackageLayout::AddData(uint64_t count) {
  if (!Fits(count)) return false;
  data_size_ += count;
  return true;
}

uint64_t DirectorySize(const std::vector<PackInput>& inputs) {
  uint64_t size = 0;
  for (const PackInput& input : inputs) {
    size += archive::kRecordHeadSize + input.name.size() + archive::kEntryInfoSize;
  }
  return size;
}

std::vector<std::string> CheckInputNames(const std::vector<PackInput>& inputs) {
  std::vector<std::string> problems;
  NameChecker checker(/*strict_directory_case=*/true);
  for (const PackInput& input : inputs) {
    if (std::string problem = checker.Add(input.name); !problem.empty()) {
      problems.push_back(std::move(problem));
    }
  }
  return problems;
}

bool WritePackage(int out_fd, int image_fd, uint64_t image_size,
                  const std::vector<PackInput>& inputs, const ProgressFn& progress,
                  std::string* error, uint64_t length_limit) {
  if (const auto problems = CheckInputNames(inputs); !problems.empty()) {
    *error = problems.front();
    return false;
  }
  PackageLayout layout(image_size, DirectorySize(inputs), length_limit);
  // Stored entries take exactly their size: refuse up front what cannot fit.
  uint64_t known_data = 0;
  for (const PackInput& input : inputs) {
    if (input.size > kMaxUnpackedSize) {
      *error = Quoted(input.name) + " is 4 GiB or larger; an entry must stay below that";
      return false;
    }
    if (input.store) known_data += input.size;
  }
  if (!layout.Fits(known_data)) {
    *error = TooLargeMessage(layout.file_length() + known_data, length_limit);
    return false;
  }

  if (!CopyRange(image_fd, 0, image_size, out_fd, progress, "the executable", error)) {
    return false;
  }
  std::string records;
  records.reserve(DirectorySize(inputs));
  std::string checksums;  // the lines of the entries written so far
  for (const PackInput& input : inputs) {
    archive::ArchiveEntryInfo info;
    util::Sha256::Digest digest;
    if (input.checksums) {
      PackInput made = input;
      made.source_path.clear();
      made.content = checksums;
      made.size = checksums.size();
      if (!WriteEntryData(out_fd, made, &layout, progress, &info, &digest, error)) return false;
    } else if (!WriteEntryData(out_fd, input, &layout, progress, &info, &digest, error)) {
      return false;
    }
    if (!input.checksums && !archive::IsPasswordEntryName(input.name)) {
      checksums += archive::FormatChecksumLine(archive::ChecksumName(input.name), digest);
    }
    records += archive::EncodeRecord(input.name, info);
  }
  const auto trailer = archive::EncodeTrailer(static_cast<uint32_t>(layout.data_end()),
                                              static_cast<uint32_t>(inputs.size()));
  if (!platform::WriteAll(out_fd, records.data(), records.size()) ||
      !platform::WriteAll(out_fd, trailer.data(), trailer.size()) ||
      !TruncateFile(out_fd, layout.file_length())) {
    *error = "cannot write the output: " + LastErrorText();
    return false;
  }
  return true;
}

namespace {

// Opens |path| as a regular file and finds where its executable image ends; with
// |require_server|, refuses an image that is not a bare Kelvane server.
bool OpenImage(const std::string& path, bool require_package, bool require_server,
               platform::UniqueFd* file, uint64_t* image_end, std::string* error) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  if (ec) {
    *error = "cannot open " + path + ": " + ec.message();
    return false;
  }
  if (!std::filesystem::is_regular_file(status)) {
    *error = path + " is not a regular file";
    return false;
  }
  *file = platform::OpenReadOnly(path);
  if (!file->valid()) {
    *error = "cannot open " + path + ": " + LastErrorText();
    return false;
  }
  const PackageDirectory directory = ReadPackageDirectory(file->get());
  if (require_package && !directory.has_trailer) {
    *error = path + " carries no package: " + directory.fault;
    return false;
  }
  if (directory.has_magic && !directory.has_trailer) {
    *error = path + " ends in a damaged package trailer (" + directory.fault +
             "); cannot tell where its executable image ends";
    return false;
  }
  const auto end = FindImageEnd(directory);
  if (!end) {
    *error = path + " carries a damaged package (" + directory.fault +
             "); cannot tell where its executable image ends";
    return false;
  }
  if (require_server) {
    if (std::string why = CheckServerImage(file->get(), *end); !why.empty()) {
      *error = path + " is not a bare Kelvane server: " + why;
      return false;
    }
  }
  *image_end = *end;
  return true;
}

}  // namespace

bool BuildPackage(const std::string& executable, const std::vector<PackInput>& inputs,
                  const std::string& output, const ProgressFn& progress, std::string* error) {
  platform::UniqueFd image;
  uint64_t image_end = 0;
  if (!OpenImage(executable, /*require_package=*/false, /*require_server=*/true, &image,
                 &image_end, error)) {
    return false;
  }
  PendingOutput out;
  if (!out.Create(output, error) ||
      !WritePackage(out.fd(), image.get(), image_end, inputs, progress, error)) {
    return false;
  }
  // The output may be the executable itself, and Windows replaces no file that is still open.
  image.Reset();
  return out.Commit(error);
}

bool StripPackage(const std::string& package, const std::string& output, std::string* error) {
  platform::UniqueFd image;
  uint64_t image_end = 0;
  if (!OpenImage(package, /*require_package=*/true, /*require_server=*/false, &image, &image_end,
                 error)) {
    return false;
  }
  PendingOutput out;
  if (!out.Create(output, error) ||
      !CopyRange(image.get(), 0, image_end, out.fd(), nullptr, "the package", error)) {
    return false;
  }
  image.Reset();  // as in BuildPackage
  return out.Commit(error);
}

}  // namespace kelvane::pack
