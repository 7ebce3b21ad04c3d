// archive/package_check_test.cpp -- the package check: each kind of damage found and named,
// the faults of SHA256SUMS told without stopping it, the streams made after it (refused for a
// damaged entry, read from the inflated copy otherwise, with the same trace lines), the copies'
// limit and the folder's free space, and a check stopped midway.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "archive/checksum_list.h"
#include "archive/package_check.h"
#include "archive_test_util.h"
#include "platform/file_io.h"
#include "platform/temp_file.h"
#include "support/fixture_package.h"
#include "support/trace_capture.h"
#include "util/sha256.h"

namespace kelvane::archive {
namespace {

using test::PackageBuilder;
using test::TempDir;

// The test package: a stored entry, a compressed one of several input blocks and a small
// compressed one, each with a line in SHA256SUMS unless a case leaves the list out.
constexpr char kStoredName[] = "fw\\stored.bin";
constexpr char kPackedName[] = "fw\\packed.bin";
constexpr char kNotesName[] = "notes.txt";

const std::string& StoredBytes() {
  static const std::string content = [] {
    std::string s(100000, '\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 2654435761u) >> 13);
    return s;
  }();
  return content;
}
std::string PackedBytes() { return test::SampleEntryContent().substr(0, 300000); }
std::string NotesBytes() { return std::string(5000, 'n') + "end\r\n"; }

struct Built {
  PackageBuilder builder;
  size_t stored, packed, notes, list;
};

// Copies every sound compressed entry into |scratch|, whatever the folder's free space.
PackageCheckOptions CopyingInto(const TempDir& scratch) {
  PackageCheckOptions options;
  options.scratch_folder = scratch.path();
  options.copy_limit = 1ull << 30;
  options.free_space_margin = 0;
  return options;
}

Built Build(bool with_list) {
  Built b{PackageBuilder(std::string(1024, '\x11')), 0, 0, 0, 0};
  b.stored = b.builder.AddFile(kStoredName, StoredBytes(), test::kStored);
  b.packed = b.builder.AddFile(kPackedName, PackedBytes(), test::kPacked);
  b.notes = b.builder.AddFile(kNotesName, NotesBytes(), test::kPacked);
  if (with_list) {
    b.list = test::AddChecksums(b.builder, {{kStoredName, StoredBytes()},
                                            {kPackedName, PackedBytes()},
                                            {kNotesName, NotesBytes()}});
  }
  return b;
}

const ArchiveEntryInfo* Record(const FileArchiveReader& reader, std::string_view path) {
  const ArchiveNode* node = ArchiveCursor(reader.directory()).Find(path);
  return node == nullptr ? nullptr : node->info();
}

// One run of the check over a package written to a folder of its own.
class CheckRun {
 public:
  explicit CheckRun(const PackageBuilder& builder) {
    const std::string path = dir_.Write("package.bin", builder.Build());
    ok_ = !path.empty() && reader_.Open(path);
  }

  PackageCheckResult Check(const PackageCheckOptions& options = {}) {
    lines_.clear();
    const std::atomic<bool> stop{false};
    return CheckPackage(reader_, options, [this](std::string_view l) { lines_.emplace_back(l); },
                        stop);
  }

  bool ok() const { return ok_; }
  FileArchiveReader& reader() { return reader_; }
  const std::vector<std::string>& lines() const { return lines_; }
  EntryState State(std::string_view path) const {
    return reader_.health().State(Record(reader_, path));
  }

 private:
  TempDir dir_;
  FileArchiveReader reader_;
  std::vector<std::string> lines_;
  bool ok_ = false;
};

constexpr char kTotalWithList[] = "4 entries";

TEST(PackageCheckTest, NamesEachKindOfDamageOnceAndServesTheRestAsGood) {
  using Damage = std::function<void(Built&)>;
  const auto flip = [](size_t Built::*which, size_t from_start) {
    return [which, from_start](Built& b) {
      b.builder.data()[b.builder.info(b.*which).data_offset + from_start] ^= 0x20;
    };
  };
  const struct {
    const char* label;
    bool with_list;
    Damage damage;
    const char* damaged;  // the entry named damaged, or nullptr
    std::string reason;
  } cases[] = {
      {"a flipped byte in a stored entry, with the list", true, flip(&Built::stored, 5000),
       kStoredName, "SHA-256 differs from SHA256SUMS line 1"},
      {"a flipped byte in a stored entry, no list", false, flip(&Built::stored, 5000), nullptr,
       ""},
      {"the Adler-32 of a compressed entry", true,
       [](Built& b) {
         const ArchiveEntryInfo& info = b.builder.info(b.packed);
         b.builder.data()[info.data_offset + info.stored_size - 1] ^= 0x01;
       },
       kPackedName, "Adler-32 mismatch"},
      {"a flipped byte in the deflate data, no list", false,
       flip(&Built::packed, 40000), kPackedName, ""},
      {"a compressed entry's data offset shifted by one", true,
       [](Built& b) { b.builder.info(b.packed).data_offset += 1; }, kPackedName,
       "damaged compressed data: incorrect header check"},
      {"a stored entry's data offset shifted by one", true,
       [](Built& b) { b.builder.info(b.stored).data_offset += 1; }, kStoredName,
       "SHA-256 differs from SHA256SUMS line 1"},
      {"a record one byte longer than the content", true,
       [](Built& b) { b.builder.info(b.packed).unpacked_size += 1; }, kPackedName,
       "300000 bytes of content where its record gives 300001"},
      {"a record one byte shorter than the content", true,
       [](Built& b) { b.builder.info(b.packed).unpacked_size -= 1; }, kPackedName,
       "content longer than the 299999 bytes its record gives"},
      {"compressed data cut short", true,
       [](Built& b) { b.builder.info(b.packed).stored_size -= 100; }, kPackedName,
       "compressed data ends early"},
      {"stored data that runs past the end of the file", true,
       [](Built& b) {
         ArchiveEntryInfo& info = b.builder.info(b.stored);
         info.stored_size = info.unpacked_size = 50000000;
       },
       kStoredName, "its data ends before its stored size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Built built = Build(c.with_list);
    c.damage(built);
    CheckRun run(built.builder);
    ASSERT_TRUE(run.ok());
    test::TraceCapture trace;
    ASSERT_TRUE(trace.ok());
    const PackageCheckResult result = run.Check();
    const std::vector<std::string> traced = trace.FinishMessages();
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(c.with_list ? 4u : 3u, result.entries);

    std::vector<std::string> expected;
    if (c.damaged != nullptr) {
      const std::string name = ChecksumName(c.damaged);
      if (c.reason.empty()) {
        ASSERT_EQ(2u, run.lines().size());
        EXPECT_EQ(0u, run.lines()[0].rfind("Damaged entry: " + name + " (", 0)) << run.lines()[0];
        expected.push_back(run.lines()[0]);
      } else {
        expected.push_back("Damaged entry: " + name + " (" + c.reason + ")");
      }
    }
    ASSERT_FALSE(run.lines().empty());
    const std::string& summary = run.lines().back();
    EXPECT_EQ(0u, summary.rfind(std::string("Package verified: ") +
                                    (c.with_list ? kTotalWithList : "3 entries") + ", ",
                                0))
        << summary;
    EXPECT_EQ(c.damaged != nullptr, summary.ends_with(", 1 damaged")) << summary;
    expected.push_back(summary);
    EXPECT_EQ(expected, run.lines());
    // The trace holds the same lines and nothing per sound entry.
    EXPECT_EQ(expected, traced);

    for (const char* path : {kStoredName, kPackedName, kNotesName}) {
      SCOPED_TRACE(path);
      const bool damaged = c.damaged != nullptr && std::string_view(path) == c.damaged;
      EXPECT_EQ(damaged ? EntryState::kDamaged : EntryState::kGood, run.State(path));
    }
  }
}

TEST(PackageCheckTest, SummaryCountsEveryEntryAndItsBytes) {
  Built built = Build(true);
  CheckRun run(built.builder);
  ASSERT_TRUE(run.ok());
  const PackageCheckResult result = run.Check();
  const uint64_t bytes = StoredBytes().size() + PackedBytes().size() + NotesBytes().size() +
                         built.builder.info(built.list).unpacked_size;
  EXPECT_EQ(std::vector<std::string>{"Package verified: 4 entries, " + std::to_string(bytes) +
                                     " bytes"},
            run.lines());
  EXPECT_EQ(bytes, result.bytes);
  EXPECT_EQ(0u, result.damaged);
}

TEST(PackageCheckTest, FaultsOfTheListAreToldAndTheCheckGoesOn) {
  const struct {
    const char* label;
    std::function<void(PackageBuilder&)> make_list;
    std::vector<std::string> told;  // before the summary, which follows in every case
  } cases[] = {
      {"a line for an entry that is not there",
       [](PackageBuilder& b) {
         test::AddChecksums(b, {{kStoredName, StoredBytes()},
                                {"fw\\gone.bin", "x"},
                                {kPackedName, PackedBytes()},
                                {kNotesName, NotesBytes()}});
       },
       {"SHA256SUMS line 2 names fw/gone.bin, which is not in the package"}},
      {"no line for an entry",
       [](PackageBuilder& b) {
         test::AddChecksums(b, {{kStoredName, StoredBytes()}, {kPackedName, PackedBytes()}});
       },
       {"SHA256SUMS holds no line for notes.txt"}},
      {"a line that is not a checksum line",
       [](PackageBuilder& b) {
         std::string text = "not a checksum\n";
         for (const auto& [name, content] :
              std::vector<std::pair<std::string, std::string>>{{kStoredName, StoredBytes()},
                                                               {kPackedName, PackedBytes()},
                                                               {kNotesName, NotesBytes()}}) {
           text += FormatChecksumLine(ChecksumName(name), util::Sha256::Of(content));
         }
         b.AddFile(kChecksumsEntryName, text, test::kPacked);
       },
       {"SHA256SUMS line 1 is not \"<64 hex digits>  <name>\""}},
      {"a list whose own data is damaged",
       [](PackageBuilder& b) {
         const size_t list = test::AddChecksums(b, {{kStoredName, StoredBytes()}});
         const ArchiveEntryInfo& info = b.info(list);
         b.data()[info.data_offset + info.stored_size - 1] ^= 0x01;
       },
       {"SHA256SUMS cannot be read (its data is damaged); no entry was checked against it",
        "Damaged entry: SHA256SUMS (Adler-32 mismatch)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Built built = Build(false);
    c.make_list(built.builder);
    CheckRun run(built.builder);
    ASSERT_TRUE(run.ok());
    const PackageCheckResult result = run.Check();
    EXPECT_TRUE(result.finished);
    std::vector<std::string> lines = run.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(0u, lines.back().rfind("Package verified: 4 entries, ", 0)) << lines.back();
    lines.pop_back();
    EXPECT_EQ(c.told, lines);
    for (const char* path : {kStoredName, kPackedName, kNotesName}) {
      EXPECT_EQ(EntryState::kGood, run.State(path)) << path;
    }
  }
}

// Reads |path| through OpenFile to the end, with what OpenFile traced.
struct Served {
  std::string content;
  bool failed = false;
  bool reads_copy = false;
  std::optional<FileExtent> extent;
  std::vector<std::string> trace;
};
Served Serve(FileArchiveReader& reader, std::string_view path) {
  Served served;
  test::TraceCapture trace;
  ArchiveCursor cursor(reader.directory());
  std::unique_ptr<ArchiveFileStream> stream = reader.OpenFile(cursor, path);
  served.trace = trace.FinishMessages();
  if (!stream) return served;
  served.reads_copy = stream->reads_copy();
  served.extent = stream->StoredBytes();
  served.content = ReadAll(stream->ActiveSource(), 65536);
  served.failed = stream->ActiveSource()->failed();
  return served;
}

TEST(PackageCheckTest, CompressedEntriesAreServedFromTheirCopyWithTheSameTraceLines) {
  Built built = Build(true);
  CheckRun run(built.builder);
  ASSERT_TRUE(run.ok());
  const Served before = Serve(run.reader(), kPackedName);
  ASSERT_FALSE(before.reads_copy);
  ASSERT_FALSE(before.extent.has_value());

  TempDir scratch;
  const PackageCheckOptions options = CopyingInto(scratch);
  const PackageCheckResult result = run.Check(options);
  // The two compressed entries and the list itself.
  EXPECT_EQ(3u, result.copied_entries);
  // The copies have no name in the folder (Windows: until the reader closes).
  EXPECT_EQ(platform::ScratchFilesAreNameless(), std::filesystem::is_empty(scratch.path()));

  for (const auto& [path, content] : std::vector<std::pair<const char*, std::string>>{
           {kPackedName, PackedBytes()}, {kNotesName, NotesBytes()}}) {
    SCOPED_TRACE(path);
    const Served after = Serve(run.reader(), path);
    EXPECT_TRUE(after.reads_copy);
    ASSERT_TRUE(after.extent.has_value());
    EXPECT_EQ(content.size(), after.extent->size);
    EXPECT_EQ(run.reader().health().scratch_fd(), after.extent->fd);
    EXPECT_TRUE(after.content == content);
    EXPECT_FALSE(after.failed);
    // What the copy holds at the extent is the content, for senders that copy in the kernel.
    std::string at_extent(after.extent->size, '\0');
    EXPECT_EQ(static_cast<long>(at_extent.size()),
              platform::ReadFullAt(after.extent->fd, at_extent.data(), at_extent.size(),
                                   static_cast<int64_t>(after.extent->offset)));
    EXPECT_TRUE(at_extent == content);
  }
  const Served copied = Serve(run.reader(), kPackedName);
  EXPECT_EQ(before.trace, copied.trace);
  EXPECT_EQ(1, test::CountMessage(copied.trace, "OpenFile: COMPRESSED"));
  // A stored entry is still sent from the package itself.
  const Served stored = Serve(run.reader(), kStoredName);
  EXPECT_FALSE(stored.reads_copy);
  ASSERT_TRUE(stored.extent.has_value());
  EXPECT_NE(run.reader().health().scratch_fd(), stored.extent->fd);
}

TEST(PackageCheckTest, DamagedEntryDeliversNothingOnceFoundAndIsNeverCopied) {
  Built built = Build(true);
  const ArchiveEntryInfo& info = built.builder.info(built.packed);
  built.builder.data()[info.data_offset + info.stored_size / 2] ^= 0x55;
  built.builder.data()[built.builder.info(built.stored).data_offset + 10] ^= 0x55;
  CheckRun run(built.builder);
  ASSERT_TRUE(run.ok());
  // Before the check the damage is met where it lies: some content comes first.
  const Served before = Serve(run.reader(), kPackedName);
  EXPECT_TRUE(before.failed);
  EXPECT_GT(before.content.size(), 0u);

  TempDir scratch;
  const PackageCheckOptions options = CopyingInto(scratch);
  const PackageCheckResult result = run.Check(options);
  EXPECT_EQ(2u, result.damaged);
  EXPECT_EQ(2u, result.copied_entries);  // notes and the list, not the damaged entry
  // The damaged entry's space was given back: the copies hold the two sound ones only.
  EXPECT_EQ(static_cast<int64_t>(NotesBytes().size() + built.builder.info(built.list).unpacked_size),
            platform::FileSize(run.reader().health().scratch_fd()));
  for (const char* path : {kPackedName, kStoredName}) {
    SCOPED_TRACE(path);
    const Served after = Serve(run.reader(), path);
    EXPECT_EQ(before.trace.size(), after.trace.size());  // opened as before
    EXPECT_TRUE(after.content.empty());
    EXPECT_TRUE(after.failed);
    EXPECT_FALSE(after.extent.has_value());
    EXPECT_FALSE(after.reads_copy);
  }
}

TEST(PackageCheckTest, CopiesStayWithinTheLimitAndTheFolderSpace) {
  const uint64_t packed = PackedBytes().size();
  const uint64_t notes = NotesBytes().size();
  const struct {
    const char* label;
    uint64_t limit;
    uint64_t margin;
    bool folder_exists;
    bool packed_copied, notes_copied;
  } cases[] = {
      {"no limit set: no copies", 0, 0, true, false, false},
      {"room for both", packed + notes, 0, true, true, true},
      {"one byte short for the large one, the small one still fits", packed - 1, 0, true, false,
       true},
      {"the small one fills what the large one left", packed + notes - 1, 0, true, true, false},
      {"a folder that would be left too full", 1ull << 30, 1ull << 62, true, false, false},
      {"a folder that does not exist", 1ull << 30, 0, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Built built = Build(false);
    CheckRun run(built.builder);
    ASSERT_TRUE(run.ok());
    TempDir scratch;
    PackageCheckOptions options;
    options.scratch_folder = c.folder_exists ? scratch.path() : scratch.File("missing");
    options.copy_limit = c.limit;
    options.free_space_margin = c.margin;
    const PackageCheckResult result = run.Check(options);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(c.packed_copied, Serve(run.reader(), kPackedName).reads_copy);
    EXPECT_EQ(c.notes_copied, Serve(run.reader(), kNotesName).reads_copy);
    EXPECT_LE(result.copied_bytes, c.limit);
    // Whatever was copied or not, the content served is the same.
    EXPECT_TRUE(Serve(run.reader(), kPackedName).content == PackedBytes());
  }
}

TEST(PackageCheckTest, StopEndsTheCheckWithoutSummaryAndLeavesTheRestUnknown) {
  Built built = Build(true);
  CheckRun run(built.builder);
  ASSERT_TRUE(run.ok());
  std::atomic<bool> stop{false};
  std::vector<std::string> seen;
  PackageCheckOptions options;
  options.before_entry = [&](std::string_view name) {
    seen.emplace_back(name);
    if (name == ChecksumName(kPackedName)) stop = true;
  };
  std::vector<std::string> lines;
  const PackageCheckResult result = CheckPackage(
      run.reader(), options, [&](std::string_view l) { lines.emplace_back(l); }, stop);
  EXPECT_FALSE(result.finished);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ((std::vector<std::string>{"fw/stored.bin", "fw/packed.bin"}), seen);
  EXPECT_EQ(EntryState::kGood, run.State(kStoredName));
  EXPECT_EQ(EntryState::kUnknown, run.State(kPackedName));
  EXPECT_EQ(EntryState::kUnknown, run.State(kNotesName));
}

TEST(PackageCheckTest, CloseForgetsTheFindingsAndTheCopies) {
  Built built = Build(true);
  const ArchiveEntryInfo& info = built.builder.info(built.packed);
  built.builder.data()[info.data_offset + info.stored_size - 1] ^= 0x01;
  TempDir dir;
  const std::string path = dir.Write("package.bin", built.builder.Build());
  FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(path));
  TempDir scratch;
  const PackageCheckOptions options = CopyingInto(scratch);
  const std::atomic<bool> stop{false};
  CheckPackage(reader, options, nullptr, stop);
  ASSERT_GE(reader.health().scratch_fd(), 0);
  ASSERT_TRUE(reader.Open(path));  // closes first
  EXPECT_EQ(-1, reader.health().scratch_fd());
  EXPECT_EQ(EntryState::kUnknown, reader.health().State(Record(reader, kPackedName)));
  EXPECT_FALSE(Serve(reader, kNotesName).reads_copy);
}

}  // namespace
}  // namespace kelvane::archive
