// fuzz/archive_fuzz.cpp -- libFuzzer target for the package loader, the tree cursors, the
// entry streams and Copy.
//
// An input is a package, optionally followed by kPathsSeparator and a list of paths, one a line.
// The package goes into one memfd for the whole run and the reader opens it through
// /proc/self/fd, so no input ever touches the disk. After a successful Open the target walks the
// whole tree through cursors, reads the first files it met (and extracts two of them with Copy
// into a second memfd), then runs Find, OpenFile and ChangeDir with every fuzzed path on one
// cursor that keeps its current directory from path to path. A path line "*" k unit [TAB suffix]
// stands for unit repeated to k * 300 bytes, then the suffix, so that short inputs still reach
// paths and components far longer than any name (up to 76,500 bytes).
//
// Besides the sanitizers, the target traps on a broken contract: a Read returning more than
// asked, a stream that delivers bytes after reporting its end or failure, a ChangeDir that fails
// but moves the cursor, a file OpenFile accepts but Find does not, a listing that differs from
// the node lists or a directory that ChangeDir cannot reach by its own path, and a Copy that
// disagrees with a stream over the same entry (success, length or bytes).

#include <sys/mman.h>  // memfd_create: the harness alone needs it, the core never does
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace.h"
#include "archive/FileArchiveReader.h"
#include "archive/archive_directory.h"

namespace {

using kelvane::archive::ArchiveCursor;
using kelvane::archive::ArchiveNode;
using kelvane::archive::ArchiveNodeList;
using kelvane::archive::ByteSource;
using kelvane::archive::FileArchiveReader;

constexpr std::string_view kPathsSeparator = "\n--kelvane-paths--\n";

// Bounds on the work one input may cause.
constexpr size_t kMaxPaths = 32;
constexpr size_t kRepeatUnit = 300;
constexpr size_t kMaxWalkNodes = 4096;
constexpr size_t kMaxWalkDepth = 160;  // a 259-byte name holds at most 130 components
constexpr size_t kMaxWalkFilesToRead = 6;
constexpr size_t kMaxWalkFilesToCopy = 2;
constexpr size_t kMaxReadBytesPerInput = 2u << 20;
constexpr size_t kMaxReadCallsPerInput = 20000;

// Read sizes cycle through these, starting at a place the input chooses.
constexpr size_t kPieceSizes[] = {1, 3, 256, 17, 4096, 255, 65536, 64};

#define FUZZ_CHECK(condition)                                                  \
  do {                                                                         \
    if (!(condition)) {                                                        \
      std::fprintf(stderr, "archive_fuzz: broken contract: %s (line %d)\n",    \
                   #condition, __LINE__);                                      \
      __builtin_trap();                                                        \
    }                                                                          \
  } while (0)

int g_package_fd = -1;
std::string g_package_path;
int g_copy_fd = -1;  // Copy's destination
std::string g_copy_path;

struct Budget {
  size_t bytes = kMaxReadBytesPerInput;
  size_t calls = kMaxReadCallsPerInput;
  size_t piece_index = 0;
};

// Splits the paths section into paths, expanding "*" k text lines.
std::vector<std::string> ParsePaths(std::string_view section) {
  std::vector<std::string> paths;
  while (!section.empty() && paths.size() < kMaxPaths) {
    const size_t end = section.find('\n');
    std::string_view line = section.substr(0, end);
    section.remove_prefix(end == std::string_view::npos ? section.size() : end + 1);
    if (line.size() >= 2 && line[0] == '*') {
      const size_t target = static_cast<uint8_t>(line[1]) * kRepeatUnit;
      std::string_view unit = line.substr(2);
      const size_t tab = unit.find('\t');
      const std::string_view suffix = tab == std::string_view::npos ? "" : unit.substr(tab + 1);
      unit = unit.substr(0, tab);
      if (unit.empty()) unit = "a\\";
      std::string path;
      path.reserve(target + unit.size() + suffix.size());
      while (path.size() < target) path.append(unit);
      path.append(suffix);
      paths.push_back(std::move(path));
    } else {
      paths.emplace_back(line);
    }
  }
  return paths;
}

// What one stream delivered, when it came to its end or failure within the budget.
struct ReadOutcome {
  bool opened = false;
  bool complete = false;  // Read returned 0 before the budget ran out
  bool failed = false;
  uint64_t length = 0;
  uint32_t crc = 0;
};

// Reads |source| to its end or failure in pieces, within the budget, checking the read contract.
void Drain(ByteSource* source, Budget* budget, ReadOutcome* outcome) {
  static uint8_t buffer[65536];
  outcome->crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  while (budget->bytes > 0 && budget->calls > 0) {
    const size_t piece = kPieceSizes[budget->piece_index++ % std::size(kPieceSizes)];
    const size_t want = piece < budget->bytes ? piece : budget->bytes;
    --budget->calls;
    const size_t got = source->Read(buffer, want);
    FUZZ_CHECK(got <= want);
    if (got == 0) {
      // The end and a failure both stay put: nothing more may come out afterwards.
      FUZZ_CHECK(source->Read(buffer, sizeof buffer) == 0);
      outcome->complete = true;
      outcome->failed = source->failed();
      return;
    }
    budget->bytes -= got;
    outcome->length += got;
    outcome->crc = static_cast<uint32_t>(crc32(outcome->crc, buffer, static_cast<uInt>(got)));
  }
}

ReadOutcome ReadEntry(FileArchiveReader* reader, const ArchiveCursor& cursor,
                      std::string_view path, Budget* budget) {
  ReadOutcome outcome;
  auto stream = reader->OpenFile(cursor, path);
  if (!stream) return outcome;
  outcome.opened = true;
  const ArchiveNode* node = cursor.Find(path);
  FUZZ_CHECK(node != nullptr && !node->is_directory());
  FUZZ_CHECK(stream->ActiveSource() != nullptr);
  Drain(stream->ActiveSource(), budget, &outcome);
  return outcome;
}

// Extracts |path| (from the root) with Copy into the second memfd and checks that Copy agrees
// with what a stream over the same entry delivered: success exactly when the stream came to its
// end without failure, and then the same bytes.
void CheckCopyAgrees(FileArchiveReader* reader, const std::string& path,
                     const ReadOutcome& streamed) {
  if (!streamed.opened || !streamed.complete) return;
  // Copy may have made the last destination read-only.
  if (::fchmod(g_copy_fd, 0600) != 0 || ::ftruncate(g_copy_fd, 0) != 0) std::abort();
  const bool copied = reader->Copy(path, g_copy_path);
  FUZZ_CHECK(copied == !streamed.failed);
  if (!copied) return;
  static uint8_t buffer[65536];
  uint64_t length = 0;
  uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  for (;;) {
    const ssize_t n = ::pread(g_copy_fd, buffer, sizeof buffer, static_cast<off_t>(length));
    if (n < 0) std::abort();
    if (n == 0) break;
    length += static_cast<uint64_t>(n);
    crc = static_cast<uint32_t>(crc32(crc, buffer, static_cast<uInt>(n)));
  }
  FUZZ_CHECK(length == streamed.length);
  FUZZ_CHECK(crc == streamed.crc);
}

struct WalkState {
  const kelvane::archive::ArchiveDirectory* directory = nullptr;
  size_t nodes = 0;
  std::vector<std::string> files;  // paths from the root of the first files met
};

// Lists |list|, the directory at |path| (relative to the root, "" for the root), and descends
// into each subdirectory. While every component of |path| is a name ChangeDir can step into
// (not empty, not ".."; the loader takes both as plain names), a fresh cursor moved there by
// ChangeDir must land on |list| itself and the listing goes through it; otherwise through the
// node list.
void Walk(WalkState* state, const ArchiveNodeList* list, const std::string& path, bool reachable,
          size_t depth) {
  if (depth > kMaxWalkDepth || state->nodes >= kMaxWalkNodes) return;
  ArchiveCursor cursor(*state->directory);
  if (reachable) {
    FUZZ_CHECK(path.empty() || cursor.ChangeDir(path));
    FUZZ_CHECK(cursor.current_list() == list);
  }
  const uint32_t count = reachable ? cursor.GetCount() : static_cast<uint32_t>(list->size());
  FUZZ_CHECK(count == list->size());
  if (reachable) FUZZ_CHECK(cursor.GetItem(count) == nullptr);
  for (uint32_t i = 0; i < count && state->nodes < kMaxWalkNodes; ++i) {
    ++state->nodes;
    const ArchiveNode* item = reachable ? cursor.GetItem(i) : list->at(i);
    FUZZ_CHECK(item != nullptr);
    FUZZ_CHECK(item->parent_list() == list);
    FUZZ_CHECK(item->name().find('\\') == std::string::npos);
    FUZZ_CHECK(item->name().find('\0') == std::string::npos);
    FUZZ_CHECK(list->Match(item->name()) == item);
    FUZZ_CHECK(item->is_directory() == (item->children() != nullptr));
    FUZZ_CHECK(item->is_directory() == (item->info() == nullptr));
    const std::string child_path = path.empty() ? item->name() : path + "\\" + item->name();
    if (item->is_directory()) {
      FUZZ_CHECK(item->children()->owner() == item);
      const bool steppable = !item->name().empty() && item->name() != "..";
      Walk(state, item->children(), child_path, reachable && steppable, depth + 1);
    } else if (state->files.size() < kMaxWalkFilesToRead) {
      state->files.push_back(child_path);
    }
  }
}

void RunPaths(FileArchiveReader* reader, const std::vector<std::string>& paths, Budget* budget) {
  ArchiveCursor cursor(reader->directory());
  for (const std::string& path : paths) {
    cursor.Find(path);
    ReadEntry(reader, cursor, path, budget);
    const ArchiveNodeList* before = cursor.current_list();
    if (cursor.ChangeDir(path)) {
      const uint32_t count = cursor.GetCount();
      FUZZ_CHECK(count == cursor.current_list()->size());
      for (uint32_t i = 0; i < count && i < 64; ++i) FUZZ_CHECK(cursor.GetItem(i) != nullptr);
    } else {
      FUZZ_CHECK(cursor.current_list() == before);
    }
  }
}

bool WritePackage(const uint8_t* data, size_t size) {
  if (::ftruncate(g_package_fd, 0) != 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(g_package_fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_package_fd = ::memfd_create("kelvane-fuzz-package", 0);
  if (g_package_fd < 0) {
    std::perror("archive_fuzz: memfd_create");
    std::abort();
  }
  g_copy_fd = ::memfd_create("kelvane-fuzz-copy", 0);
  if (g_copy_fd < 0) {
    std::perror("archive_fuzz: memfd_create");
    std::abort();
  }
  g_package_path = "/proc/self/fd/" + std::to_string(g_package_fd);
  g_copy_path = "/proc/self/fd/" + std::to_string(g_copy_fd);
  // With ARCHIVE_FUZZ_TRACE set, every trace statement of the core is formatted and written, so
  // that fuzzed names pass through the trace's formatting too (slower; /dev/null is enough).
  if (const char* trace = std::getenv("ARCHIVE_FUZZ_TRACE")) kelvane::trace::TraceOpenFile(trace);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t separator = input.rfind(kPathsSeparator);
  const std::string_view package = input.substr(0, separator);
  const std::string_view paths_section =
      separator == std::string_view::npos ? std::string_view()
                                          : input.substr(separator + kPathsSeparator.size());
  if (!WritePackage(data, package.size())) std::abort();

  Budget budget;
  budget.piece_index = paths_section.empty() ? 0 : static_cast<uint8_t>(paths_section.back());

  FileArchiveReader reader;
  if (!reader.Open(g_package_path)) {
    reader.Close();
    return 0;
  }
  WalkState walk;
  walk.directory = &reader.directory();
  Walk(&walk, &reader.directory().root(), std::string(), true, 0);
  ArchiveCursor root(reader.directory());
  for (size_t i = 0; i < walk.files.size(); ++i) {
    const ReadOutcome streamed = ReadEntry(&reader, root, walk.files[i], &budget);
    if (i < kMaxWalkFilesToCopy) CheckCopyAgrees(&reader, walk.files[i], streamed);
  }
  RunPaths(&reader, ParsePaths(paths_section), &budget);
  reader.Close();
  FUZZ_CHECK(!reader.is_open());
  return 0;
}
