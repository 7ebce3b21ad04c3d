// archive/package_check.cpp -- the pass over every entry after start-up, its verdicts and the
// inflated copies it leaves in the scratch file.
#include "archive/package_check.h"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

#include "archive/checksum_list.h"
#include "platform/file_io.h"
#include "platform/temp_file.h"
#include "trace/trace.h"
#include "util/sha256.h"
#include "util/string_format.h"

namespace kelvane::archive {
namespace {

using util::Format;

// Read and written per step: large enough that the stop flag and the copy's writes cost
// nothing, small enough to stay a trifle of the process's memory.
constexpr size_t kBlock = 256 * 1024;
// A list larger than this is not read: one for the most entries a package holds, each with the
// longest name, stays far below it.
constexpr uint64_t kMaxChecksumsSize = 64ull << 20;

// Why an entry is damaged.
constexpr char kDataEndsEarly[] = "its data ends before its stored size";
constexpr char kAdlerMismatch[] = "Adler-32 mismatch";
constexpr char kCompressedEndsEarly[] = "compressed data ends early";
constexpr char kBadDeflateFormat[] = "damaged compressed data: %s";
constexpr char kBadDeflateUnnamed[] = "damaged compressed data";
constexpr char kTooLongFormat[] = "content longer than the %u bytes its record gives";
constexpr char kWrongLengthFormat[] = "%llu bytes of content where its record gives %u";
constexpr char kDigestMismatchFormat[] = "SHA-256 differs from SHA256SUMS line %llu";
// zlib's text for an Adler-32 that does not match the content.
constexpr char kZlibCheckText[] = "incorrect data check";

// What is wrong with the list itself.
constexpr char kListUnreadableFormat[] =
    "SHA256SUMS cannot be read (%s); no entry was checked against it";
constexpr char kListTooLarge[] = "larger than 64 MiB";
constexpr char kListDamaged[] = "its data is damaged";
constexpr char kListFaultFormat[] = "SHA256SUMS %s";
constexpr char kListNamesMissingFormat[] =
    "SHA256SUMS line %llu names %s, which is not in the package";
constexpr char kListLacksEntryFormat[] = "SHA256SUMS holds no line for %s";
constexpr char kListNamesTwiceFormat[] = "SHA256SUMS names %s twice (lines %llu and %llu)";

// A count for "%llu": MinGW's printf checks know no "%zu".
unsigned long long Count(size_t n) { return n; }

// Names compare as the tree compares them: two records that differ only in ASCII letter case
// cannot both be in a package.
std::string FoldCase(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The package's checksum lines by name, and which of them an entry has claimed.
struct Checksums {
  bool present = false;  // the list was read
  ChecksumList list;
  std::unordered_map<std::string, size_t> by_name;  // folded name -> index in list.lines
  std::vector<bool> claimed;
};

enum class Verdict { kGood, kDamaged, kUndecided, kStopped };

class Checker {
 public:
  Checker(FileArchiveReader& reader, const PackageCheckOptions& options,
          const std::function<void(std::string_view)>& report, const std::atomic<bool>& stop)
      : reader_(reader),
        options_(options),
        report_(report),
        stop_(stop),
        block_(new uint8_t[kBlock]) {}

  PackageCheckResult Run() {
    ReadChecksums();
    if (!Walk(reader_.directory().root(), std::string())) return result_;
    if (checksums_.present) {
      for (size_t i = 0; i < checksums_.list.lines.size(); ++i) {
        if (checksums_.claimed[i]) continue;
        const ChecksumLine& line = checksums_.list.lines[i];
        Tell(Format(kListNamesMissingFormat, Count(line.line_number), line.name.c_str()));
      }
    }
    const std::string summary =
        result_.damaged == 0
            ? Format(kPackageVerifiedFormat, Count(result_.entries),
                     static_cast<unsigned long long>(result_.bytes))
            : Format(kPackageVerifiedDamagedFormat, Count(result_.entries),
                     static_cast<unsigned long long>(result_.bytes), Count(result_.damaged));
    KELVANE_TRACE("%s\n", summary.c_str());
    Tell(summary);
    result_.finished = true;
    return result_;
  }

 private:
  void Tell(const std::string& line) {
    if (report_) report_(line);
  }

  // Reads SHA256SUMS at the root, when there is one, into checksums_.
  void ReadChecksums() {
    const ArchiveNode* node = ArchiveCursor(reader_.directory()).Find(kChecksumsEntryName);
    if (node == nullptr || node->is_directory()) return;
    const ArchiveEntryInfo& info = *node->info();
    if (info.unpacked_size > kMaxChecksumsSize) {
      Tell(Format(kListUnreadableFormat, kListTooLarge));
      return;
    }
    std::string text;
    const std::unique_ptr<ArchiveFileStream> stream = reader_.OpenPackageBytes(info);
    if (!stream) return;
    ByteSource* source = stream->ActiveSource();
    for (size_t got; (got = source->Read(block_.get(), kBlock)) > 0;) {
      text.append(reinterpret_cast<const char*>(block_.get()), got);
      if (text.size() > info.unpacked_size) break;
    }
    if (source->failed() || text.size() != info.unpacked_size) {
      Tell(Format(kListUnreadableFormat, kListDamaged));
      return;
    }
    checksums_.present = true;
    checksums_.list = ParseChecksumList(text);
    for (const std::string& fault : checksums_.list.faults) {
      Tell(Format(kListFaultFormat, fault.c_str()));
    }
    const auto& lines = checksums_.list.lines;
    checksums_.claimed.assign(lines.size(), false);
    for (size_t i = 0; i < lines.size(); ++i) {
      const auto [it, added] = checksums_.by_name.emplace(FoldCase(lines[i].name), i);
      if (!added) {
        checksums_.claimed[i] = true;  // told here, not again as a name without its entry
        Tell(Format(kListNamesTwiceFormat, lines[i].name.c_str(),
                    Count(lines[it->second].line_number), Count(lines[i].line_number)));
      }
    }
  }

  // The line the list gives for |name|, marked as claimed; nullptr when it gives none.
  const ChecksumLine* ClaimLine(const std::string& name) {
    const auto found = checksums_.by_name.find(FoldCase(name));
    if (found == checksums_.by_name.end()) return nullptr;
    checksums_.claimed[found->second] = true;
    return &checksums_.list.lines[found->second];
  }

  // Checks every file below |list|; false once stopped.
  bool Walk(const ArchiveNodeList& list, const std::string& prefix) {
    for (size_t i = 0; i < list.size(); ++i) {
      const ArchiveNode& node = *list.at(i);
      const std::string path = prefix + node.name();
      if (node.is_directory()) {
        if (!Walk(*node.children(), path + '\\')) return false;
        continue;
      }
      if (stop_.load(std::memory_order_relaxed)) return false;
      if (!CheckOne(node, path)) return false;
    }
    return true;
  }

  // False once stopped.
  bool CheckOne(const ArchiveNode& node, const std::string& path) {
    const ArchiveEntryInfo& info = *node.info();
    const std::string name = ChecksumName(path);
    if (options_.before_entry) options_.before_entry(name);
    const bool is_list = IsChecksumsEntryName(path);
    const bool is_password = IsPasswordEntry(node);
    const ChecksumLine* line = checksums_.present && !is_list ? ClaimLine(name) : nullptr;
    if (checksums_.present && line == nullptr && !is_list && !is_password) {
      Tell(Format(kListLacksEntryFormat, name.c_str()));
    }
    // The password entry is never served: a copy of it would be for nothing.
    const bool copy = info.compressed() && !is_password && BeginCopy(info.unpacked_size);

    std::string reason;
    const Verdict verdict = ReadEntry(info, line, copy, &reason);
    ++result_.entries;
    result_.bytes += info.unpacked_size;
    switch (verdict) {
      case Verdict::kStopped:
        EndCopy(false);
        return false;
      case Verdict::kUndecided:
        EndCopy(false);
        return true;
      case Verdict::kDamaged: {
        EndCopy(false);
        ++result_.damaged;
        reader_.health().MarkDamaged(&info, reason);
        const std::string text = Format(kDamagedEntryFormat, name.c_str(), reason.c_str());
        KELVANE_TRACE("%s\n", text.c_str());
        Tell(text);
        return true;
      }
      case Verdict::kGood:
        if (copying_ && EndCopy(true)) {
          reader_.health().MarkCopied(&info, copy_start_, info.unpacked_size);
          ++result_.copied_entries;
          result_.copied_bytes += info.unpacked_size;
        } else {
          reader_.health().MarkGood(&info);
        }
        return true;
    }
    return true;
  }

  // Reads the entry's content to its end; the verdict, with |*reason| for a damaged one.
  Verdict ReadEntry(const ArchiveEntryInfo& info, const ChecksumLine* line, bool copy,
                    std::string* reason) {
    const std::unique_ptr<ArchiveFileStream> stream = reader_.OpenPackageBytes(info);
    if (!stream) return Verdict::kUndecided;
    ByteSource* source = stream->ActiveSource();
    util::Sha256 sha;
    uint64_t total = 0;
    for (;;) {
      if (stop_.load(std::memory_order_relaxed)) return Verdict::kStopped;
      const size_t got = source->Read(block_.get(), kBlock);
      if (got == 0) break;
      if (total + got > info.unpacked_size) {
        *reason = Format(kTooLongFormat, info.unpacked_size);
        return Verdict::kDamaged;
      }
      if (line != nullptr) sha.Update(block_.get(), got);
      if (copy && copying_ &&
          !platform::WriteAllAt(scratch_fd_, block_.get(), got,
                                static_cast<int64_t>(copy_start_ + total))) {
        // Most likely a full disk: no more copies.
        EndCopy(false);
        copies_off_ = true;
      }
      total += got;
    }
    if (source->failed()) {
      if (stream->failed()) {
        *reason = kDataEndsEarly;
        return Verdict::kDamaged;
      }
      const InflateSource& inflater = stream->inflater();
      switch (inflater.fault_code()) {
        case Z_MEM_ERROR:
          return Verdict::kUndecided;  // says nothing about the data
        case Z_BUF_ERROR:
          *reason = kCompressedEndsEarly;
          break;
        default: {
          const char* text = inflater.fault_text();
          if (text != nullptr && std::string_view(text) == kZlibCheckText) {
            *reason = kAdlerMismatch;
          } else {
            *reason = text != nullptr ? Format(kBadDeflateFormat, text) : kBadDeflateUnnamed;
          }
        }
      }
      return Verdict::kDamaged;
    }
    if (total != info.unpacked_size) {
      *reason = Format(kWrongLengthFormat, static_cast<unsigned long long>(total),
                       info.unpacked_size);
      return Verdict::kDamaged;
    }
    if (line != nullptr && sha.Final() != line->digest) {
      *reason = Format(kDigestMismatchFormat, Count(line->line_number));
      return Verdict::kDamaged;
    }
    return Verdict::kGood;
  }

  // Whether a copy of |size| bytes is begun at the scratch file's end: within the limit, with
  // room in the folder, and a scratch file at hand.
  bool BeginCopy(uint32_t size) {
    copying_ = false;
    if (size == 0 || copies_off_ || !options_.scratch_folder || options_.copy_limit == 0) {
      return false;
    }
    if (scratch_fd_ < 0) {
      scratch_fd_ = reader_.health().AdoptScratchFile(
          platform::CreateUnnamedTempFile(*options_.scratch_folder));
      if (scratch_fd_ < 0) {
        copies_off_ = true;
        return false;
      }
      copy_end_ = static_cast<uint64_t>(std::max<int64_t>(platform::FileSize(scratch_fd_), 0));
    }
    if (copy_end_ + size > options_.copy_limit) return false;
    const std::optional<uint64_t> free = platform::FreeSpace(*options_.scratch_folder);
    if (!free || *free < uint64_t{size} + options_.free_space_margin) return false;
    copy_start_ = copy_end_;
    copy_size_ = size;
    copying_ = true;
    return true;
  }

  // Keeps the copy under way (true when there was one) or gives its space back.
  bool EndCopy(bool keep) {
    if (!copying_) return false;
    copying_ = false;
    if (keep) {
      copy_end_ = copy_start_ + copy_size_;
      return true;
    }
    platform::TruncateFile(scratch_fd_, static_cast<int64_t>(copy_end_));
    return false;
  }

  FileArchiveReader& reader_;
  const PackageCheckOptions& options_;
  const std::function<void(std::string_view)>& report_;
  const std::atomic<bool>& stop_;
  std::unique_ptr<uint8_t[]> block_;
  Checksums checksums_;
  PackageCheckResult result_;
  int scratch_fd_ = -1;     // owned by the reader's EntryHealth
  uint64_t copy_end_ = 0;   // the end of the copies kept
  uint64_t copy_start_ = 0;  // where the copy under way begins
  uint32_t copy_size_ = 0;    // and its length
  bool copying_ = false;
  bool copies_off_ = false;  // no scratch file, or a write failed
};

}  // namespace

PackageCheckResult CheckPackage(FileArchiveReader& reader, const PackageCheckOptions& options,
                                const std::function<void(std::string_view line)>& report,
                                const std::atomic<bool>& stop) {
  return Checker(reader, options, report, stop).Run();
}

}  // namespace kelvane::archive
