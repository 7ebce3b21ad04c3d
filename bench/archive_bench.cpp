// bench/archive_bench.cpp -- how fast FileArchiveReader loads a large directory and streams a
// large compressed entry, beside zlib's own one-pass inflate of the same bytes.
//
// The packages are built once per run in a fresh folder under the temporary directory (removed
// at exit) with the record and trailer encoders of archive_format.h:
//   many.pkg  100,000 tiny stored entries in the root directory;
//   big.pkg   one entry of 100 MiB of text-like bytes, deflated at the default level (about 3:1).
// After the usual Google Benchmark output, the program prints a Markdown table of the streaming
// rates as fractions of the in-memory inflate, the ceiling any stream over the codec can reach.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_data.h"
#include "archive/FileArchiveReader.h"
#include "archive/archive_format.h"

namespace {

using kelvane::bench::InfoFor;

namespace fs = std::filesystem;
using kelvane::archive::ArchiveCursor;
using kelvane::archive::ArchiveEntryInfo;
using kelvane::archive::FileArchiveReader;

constexpr uint32_t kManyEntries = 100000;
constexpr size_t kBigEntrySize = 100u << 20;
constexpr char kBigEntryName[] = "big.txt";

std::string ManyEntryName(uint32_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "entry-%06u.txt", index);
  return name;
}

// Writes |bytes| after everything written so far; false once any write failed.
class PackageFile {
 public:
  explicit PackageFile(const fs::path& path) : out_(path, std::ios::binary | std::ios::trunc) {}
  void Append(const void* bytes, size_t size) {
    out_.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    offset_ += size;
  }
  void Append(const std::string& bytes) { Append(bytes.data(), bytes.size()); }
  uint32_t offset() const { return static_cast<uint32_t>(offset_); }
  bool Finish(const std::string& records, uint32_t entry_count) {
    const uint32_t directory_offset = offset();
    Append(records);
    const auto trailer = kelvane::archive::EncodeTrailer(directory_offset, entry_count);
    Append(trailer.data(), trailer.size());
    out_.flush();
    return static_cast<bool>(out_);
  }

 private:
  std::ofstream out_;
  uint64_t offset_ = 0;
};
const std::string kImage(64 * 1024, '\x90');  // stands in for the executable

bool WriteManyEntriesPackage(const fs::path& path) {
  PackageFile file(path);
  file.Append(kImage);
  std::string records;
  records.reserve(kManyEntries * 64);
  for (uint32_t i = 0; i < kManyEntries; ++i) {
    const std::string content = std::to_string(i) + "\n";
    const uint32_t offset = file.offset();
    file.Append(content);
    const auto size = static_cast<uint32_t>(content.size());
    records += kelvane::archive::EncodeRecord(ManyEntryName(i), InfoFor(offset, size, size, false));
  }
  return file.Finish(records, kManyEntries);
}


struct BigEntry {
  std::string compressed;  // the zlib stream stored in big.pkg
  size_t content_size = 0;
};

bool WriteBigEntryPackage(const fs::path& path, BigEntry* entry) {
  const std::string content = kelvane::bench::TextLikeBytes(kBigEntrySize);
  uLongf packed_size = compressBound(content.size());
  entry->compressed.resize(packed_size);
  if (compress2(reinterpret_cast<Bytef*>(entry->compressed.data()), &packed_size,
                reinterpret_cast<const Bytef*>(content.data()), content.size(),
                Z_DEFAULT_COMPRESSION) != Z_OK) {
    return false;
  }
  entry->compressed.resize(packed_size);
  entry->content_size = content.size();

  PackageFile file(path);
  file.Append(kImage);
  const uint32_t offset = file.offset();
  file.Append(entry->compressed);
  const std::string record = kelvane::archive::EncodeRecord(
      kBigEntryName, InfoFor(offset, static_cast<uint32_t>(content.size()),
                             static_cast<uint32_t>(packed_size), true));
  return file.Finish(record, 1);
}

// The packages of this run; built before any benchmark starts.
struct Packages {
  fs::path folder;
  fs::path many;
  fs::path big;
  BigEntry big_entry;
};
Packages* g_packages = nullptr;

bool BuildPackages(Packages* packages) {
  std::string pattern = (fs::temp_directory_path() / "kelvane-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return false;
  packages->folder = pattern;
  packages->many = packages->folder / "many.pkg";
  packages->big = packages->folder / "big.pkg";
  return WriteManyEntriesPackage(packages->many) &&
         WriteBigEntryPackage(packages->big, &packages->big_entry);
}

void BM_OpenManyEntries(benchmark::State& state) {
  FileArchiveReader reader;
  for (auto _ : state) {
    if (!reader.Open(g_packages->many.string())) {
      state.SkipWithError("Open failed");
      return;
    }
    state.PauseTiming();
    reader.Close();  // freeing 100,000 nodes is not part of the load
    state.ResumeTiming();
  }
  state.counters["entries/s"] = benchmark::Counter(
      static_cast<double>(kManyEntries), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FindLastName(benchmark::State& state) {
  FileArchiveReader reader;
  if (!reader.Open(g_packages->many.string())) {
    state.SkipWithError("Open failed");
    return;
  }
  ArchiveCursor cursor(reader.directory());
  // Upper case, so the lookup folds case as a client's request would make it.
  std::string last = ManyEntryName(kManyEntries - 1);
  std::transform(last.begin(), last.end(), last.begin(), [](char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  });
  for (auto _ : state) {
    const auto* node = cursor.Find(last);
    benchmark::DoNotOptimize(node);
    if (node == nullptr) {
      state.SkipWithError("last name not found");
      return;
    }
  }
}

// Streams big.txt through OpenFile(...)->ActiveSource()->Read in pieces of state.range(0) bytes.
void BM_StreamBigEntry(benchmark::State& state) {
  FileArchiveReader reader;
  if (!reader.Open(g_packages->big.string())) {
    state.SkipWithError("Open failed");
    return;
  }
  ArchiveCursor cursor(reader.directory());
  const auto piece = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> buffer(piece);
  for (auto _ : state) {
    auto stream = reader.OpenFile(cursor, kBigEntryName);
    if (!stream) {
      state.SkipWithError("OpenFile failed");
      return;
    }
    size_t delivered = 0;
    while (const size_t got = stream->ActiveSource()->Read(buffer.data(), piece)) delivered += got;
    if (stream->ActiveSource()->failed() || delivered != g_packages->big_entry.content_size) {
      state.SkipWithError("the stream failed or ended early");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(g_packages->big_entry.content_size));
}

// zlib's uncompress of the same stored bytes from memory into one buffer: the codec's ceiling.
void BM_InflateInMemory(benchmark::State& state) {
  const BigEntry& entry = g_packages->big_entry;
  std::vector<uint8_t> output(entry.content_size);
  for (auto _ : state) {
    uLongf size = output.size();
    if (uncompress(output.data(), &size, reinterpret_cast<const Bytef*>(entry.compressed.data()),
                   entry.compressed.size()) != Z_OK ||
        size != entry.content_size) {
      state.SkipWithError("uncompress failed");
      return;
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(entry.content_size));
}

// Rates are per CPU second (the default), which other work on a shared machine disturbs less than
// wall time; three repetitions, of which the table keeps the median.
BENCHMARK(BM_OpenManyEntries)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3);
BENCHMARK(BM_FindLastName)->Repetitions(3);
BENCHMARK(BM_InflateInMemory)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3);
BENCHMARK(BM_StreamBigEntry)
    ->Arg(256)
    ->Arg(64 * 1024)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->Repetitions(3);

// What the summary shows of one benchmark.
struct Result {
  double cpu_time = 0;  // per iteration, in |unit|
  const char* unit = "";
  double bytes_per_second = 0;    // 0 when the benchmark counts no bytes
  double entries_per_second = 0;  // 0 when the benchmark counts no entries
};

// Keeps the result of every benchmark beside the console output: the median when the benchmark
// repeats, else its only run. Keys are the run names without their options, such as
// "BM_StreamBigEntry/256".
class ResultKeeper : public benchmark::ConsoleReporter {
 public:
  ResultKeeper() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool wanted = run.run_type == Run::RT_Aggregate ? run.aggregate_name == "median"
                                                            : run.repetitions <= 1;
      if (!wanted || run.error_occurred) continue;
      Result& result = results_[run.run_name.function_name +
                                (run.run_name.args.empty() ? "" : "/" + run.run_name.args)];
      result.cpu_time = run.GetAdjustedCPUTime();
      result.unit = benchmark::GetTimeUnitString(run.time_unit);
      const auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) result.bytes_per_second = rate->second.value;
      const auto entries = run.counters.find("entries/s");
      if (entries != run.counters.end()) result.entries_per_second = entries->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, Result>& results() const { return results_; }

 private:
  std::map<std::string, Result> results_;
};

// The Markdown table of bench/README.md. Streaming rates count content bytes delivered per CPU
// second, beside the in-memory inflate of the same stored bytes.
void PrintSummary(const std::map<std::string, Result>& results) {
  const auto find = [&results](const std::string& key) -> const Result* {
    const auto it = results.find(key);
    return it == results.end() ? nullptr : &it->second;
  };
  std::printf("\n| measurement | CPU time (median of 3) | content rate | of the ceiling |\n"
              "|---|---:|---:|---:|\n");
  if (const Result* open = find("BM_OpenManyEntries")) {
    std::printf("| Open, 100,000 entries in one directory | %.1f %s | %.2f M entries/s | |\n",
                open->cpu_time, open->unit, open->entries_per_second / 1e6);
  }
  if (const Result* last = find("BM_FindLastName")) {
    std::printf("| Find of the last of the 100,000 names | %.0f %s | | |\n", last->cpu_time,
                last->unit);
  }
  const Result* ceiling = find("BM_InflateInMemory");
  const auto print_rate = [ceiling](const char* what, const Result* result) {
    if (result == nullptr) return;
    std::printf("| %s | %.0f %s | %.0f MB/s |", what, result->cpu_time, result->unit,
                result->bytes_per_second / 1e6);
    if (ceiling != nullptr && ceiling->bytes_per_second > 0) {
      std::printf(" %.2f |\n", result->bytes_per_second / ceiling->bytes_per_second);
    } else {
      std::printf(" |\n");
    }
  };
  print_rate("zlib uncompress of the 100 MiB entry from memory (ceiling)", ceiling);
  print_rate("stream the entry, 256-byte reads", find("BM_StreamBigEntry/256"));
  print_rate("stream the entry, 64 KiB reads", find("BM_StreamBigEntry/65536"));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  Packages packages;
  std::fprintf(stderr, "building the packages...\n");
  const bool built = BuildPackages(&packages);
  g_packages = &packages;
  if (built) {
    std::error_code error;
    std::fprintf(stderr, "many.pkg: %u entries, %ju bytes; big.pkg: %zu bytes of content in %zu "
                 "stored (%.2f:1)\n", kManyEntries,
                 static_cast<uintmax_t>(fs::file_size(packages.many, error)),
                 packages.big_entry.content_size, packages.big_entry.compressed.size(),
                 static_cast<double>(packages.big_entry.content_size) /
                     static_cast<double>(packages.big_entry.compressed.size()));
    ResultKeeper reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintSummary(reporter.results());
  } else {
    std::fprintf(stderr, "archive_bench: cannot build the packages in %s\n",
                 packages.folder.empty() ? "the temporary directory" : packages.folder.c_str());
  }
  std::error_code error;
  if (!packages.folder.empty()) fs::remove_all(packages.folder, error);
  benchmark::Shutdown();
  return built ? 0 : 1;
}
