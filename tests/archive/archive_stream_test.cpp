// archive/archive_stream_test.cpp -- OpenFile and the streams that deliver an entry's content:
// chunking, damage, shared descriptor, the inflater against a failing upstream.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "archive/archive_streams.h"
#include "archive_test_util.h"
#include "platform/file_io.h"
#include "support/fixture_package.h"
#include "support/trace_capture.h"

namespace kelvane::archive {
namespace {

using test::PackageBuilder;
using test::TempDir;

// Content of a size that makes several compressed input buffers but keeps tests quick.
std::string MediumContent() { return test::SampleEntryContent().substr(100, 300000); }

// Compares without printing a megabyte when they differ.
::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got "
                                       << actual.size() << ", first difference at " << at;
}

class SampleStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(reader_.Open(SamplePackagePath())); }

  FileArchiveReader reader_;
};

TEST_F(SampleStreamTest, VersionTextIsDeliveredInOneRead) {
  test::TraceCapture trace;
  ASSERT_TRUE(trace.ok());
  ArchiveCursor cursor(reader_.directory());
  auto stream = reader_.OpenFile(cursor, "\\version.txt");
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(1, test::CountMessage(trace.FinishMessages(), "OpenFile: COMPRESSED"));
  EXPECT_EQ(*cursor.Find("version.txt")->info(), stream->info());

  char buffer[511];
  ASSERT_EQ(6u, stream->ActiveSource()->Read(buffer, sizeof buffer));
  EXPECT_EQ(test::kSampleVersion, std::string_view(buffer, 6));
  EXPECT_EQ(0u, stream->ActiveSource()->Read(buffer, sizeof buffer));
  EXPECT_FALSE(stream->ActiveSource()->failed());
}

TEST_F(SampleStreamTest, ImageIsExactInEveryPieceSize) {
  for (size_t chunk : {1, 256, 511, 4096, 100000}) {
    SCOPED_TRACE("pieces of " + std::to_string(chunk));
    ArchiveCursor cursor(reader_.directory());
    auto stream = reader_.OpenFile(cursor, "PUB\\dorvex\\updates\\image");
    ASSERT_NE(nullptr, stream);
    ByteSource* source = stream->ActiveSource();
    EXPECT_TRUE(SameBytes(test::SampleEntryContent(), ReadAll(source, chunk)));
    char byte;
    EXPECT_EQ(0u, source->Read(&byte, 1));
    EXPECT_FALSE(source->failed());
  }
}

TEST_F(SampleStreamTest, OpenFileResolvesFromTheCursorAndTracesWhatItRefuses) {
  ArchiveCursor cursor(reader_.directory());
  ASSERT_TRUE(cursor.ChangeDir("pub\\Dorvex"));
  EXPECT_NE(nullptr, reader_.OpenFile(cursor, "Updates\\Image"));
  EXPECT_NE(nullptr, reader_.OpenFile(cursor, "\\version.txt"));
  EXPECT_NE(nullptr, reader_.OpenFile(cursor, "..\\..\\version.txt"));

  const std::string long_path = "Updates\\" + std::string(100 * 1024, 'u');
  const struct {
    const char* path;
    std::string message;
  } refused[] = {
      {"\\pub", "OpenFile: Entry '\\pub' is a directory!"},
      {"Updates", "OpenFile: Entry 'Updates' is a directory!"},
      {"version.txt", "OpenFile: Entry 'version.txt' not found!"},
      {"nothing.txt", "OpenFile: Entry 'nothing.txt' not found!"},
      {"", "OpenFile: Entry '' not found!"},
      {long_path.c_str(), "OpenFile: Entry '" + long_path + "' not found!"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(std::string(c.path).substr(0, 40));
    test::TraceCapture trace;
    ASSERT_TRUE(trace.ok());
    EXPECT_EQ(nullptr, reader_.OpenFile(cursor, c.path));
    const auto messages = trace.FinishMessages();
    EXPECT_EQ(1, test::CountMessage(messages, c.message)) << testing::PrintToString(messages);
  }
}

TEST_F(SampleStreamTest, OpenFileTracesThePositioning) {
  test::TraceCapture trace;
  ASSERT_TRUE(trace.ok());
  ArchiveCursor cursor(reader_.directory());
  ASSERT_NE(nullptr, reader_.OpenFile(cursor, "pub\\Dorvex\\Updates\\Image"));
  const auto messages = trace.FinishMessages();
  EXPECT_EQ(1, test::CountMessage(messages, "SetPos(229376->229376) OK"))
      << testing::PrintToString(messages);
}

// The two streams take strict turns on the shared descriptor, with piece sizes that keep their
// positions apart; each must still see only its own bytes.
TEST_F(SampleStreamTest, TwoStreamsReadingInTurnStayApart) {
  ArchiveCursor cursor(reader_.directory());
  std::unique_ptr<ArchiveFileStream> streams[2] = {
      reader_.OpenFile(cursor, test::kSampleEntryPath),
      reader_.OpenFile(cursor, test::kSampleEntryPath)};
  ASSERT_NE(nullptr, streams[0]);
  ASSERT_NE(nullptr, streams[1]);
  const size_t chunks[2] = {1000, 4093};
  const size_t limit = 2 * test::kSampleEntrySize;  // a stream that never ends stops here
  std::string out[2];
  std::mutex mutex;
  std::condition_variable turn_changed;
  int turn = 0;
  bool done[2] = {false, false};

  auto work = [&](int me) {
    std::vector<char> buffer(chunks[me]);
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        turn_changed.wait(lock, [&] { return turn == me || done[1 - me]; });
      }
      const size_t n = streams[me]->ActiveSource()->Read(buffer.data(), buffer.size());
      out[me].append(buffer.data(), n);
      std::lock_guard<std::mutex> lock(mutex);
      if (n == 0 || out[me].size() > limit) done[me] = true;
      turn = 1 - me;
      turn_changed.notify_all();
      if (done[me]) return;
    }
  };
  std::thread first(work, 0);
  std::thread second(work, 1);
  first.join();
  second.join();
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(SameBytes(test::SampleEntryContent(), out[i]));
    EXPECT_FALSE(streams[i]->ActiveSource()->failed());
  }
}

TEST_F(SampleStreamTest, ConcurrentStreamsEachDeliverTheWholeEntry) {
  constexpr int kThreads = 4;
  std::string out[kThreads];
  bool failed[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ArchiveCursor cursor(reader_.directory());
      auto stream = reader_.OpenFile(cursor, test::kSampleEntryPath);
      if (stream == nullptr) return;
      out[t] = ReadAll(stream->ActiveSource(), 1500 + 1000 * static_cast<size_t>(t));
      failed[t] = stream->ActiveSource()->failed();
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_TRUE(SameBytes(test::SampleEntryContent(), out[t]));
    EXPECT_FALSE(failed[t]);
  }
}

TEST(ArchiveStreamTest, StoredAndEmptyEntriesAreExact) {
  const std::string medium = MediumContent();
  PackageBuilder builder("image");
  builder.AddFile("stored.bin", medium, test::kStored);
  builder.AddFile("packed.bin", medium, test::kPacked);
  builder.AddFile("block.bin", medium.substr(0, 8192), test::kStored);
  builder.AddFile("empty-stored", "", test::kStored);
  builder.AddFile("empty-packed", "", test::kPacked);
  builder.AddFile("one", "1", test::kStored);
  TempDir dir;
  FileArchiveReader reader;
  ASSERT_TRUE(reader.Open(dir.Write("p.pkg", builder.Build())));
  ArchiveCursor cursor(reader.directory());

  const struct {
    const char* name;
    std::string content;
  } entries[] = {
      {"stored.bin", medium},   {"packed.bin", medium},   {"block.bin", medium.substr(0, 8192)},
      {"empty-stored", ""},     {"empty-packed", ""},     {"one", "1"},
  };
  for (const auto& e : entries) {
    for (size_t chunk : {1, 511, 4096, 1 << 20}) {
      SCOPED_TRACE(std::string(e.name) + " in pieces of " + std::to_string(chunk));
      auto stream = reader.OpenFile(cursor, e.name);
      ASSERT_NE(nullptr, stream);
      EXPECT_TRUE(SameBytes(e.content, ReadAll(stream->ActiveSource(), chunk)));
      char byte;
      EXPECT_EQ(0u, stream->ActiveSource()->Read(&byte, 1));
      EXPECT_FALSE(stream->ActiveSource()->failed());
    }
  }
}

// Every way an entry's data can be damaged ends in Read returning 0 with failed() set, and it
// stays that way; what was delivered before is never garbage.
TEST(ArchiveStreamTest, DamagedDataEndsInFailure) {
  const std::string medium = MediumContent();
  const struct {
    const char* what;
    uint32_t attributes;
    std::function<void(PackageBuilder&, ArchiveEntryInfo&)> damage;
  } cases[] = {
      {"bytes flipped in the middle", test::kPacked,
       [](PackageBuilder& b, ArchiveEntryInfo& i) {
         for (uint32_t k = 0; k < 8; ++k) b.data()[i.data_offset + i.stored_size / 2 + k] ^= 0x5A;
       }},
      {"stored size cut to half", test::kPacked,
       [](PackageBuilder&, ArchiveEntryInfo& i) { i.stored_size /= 2; }},
      {"stored size one short", test::kPacked,
       [](PackageBuilder&, ArchiveEntryInfo& i) { i.stored_size -= 1; }},
      {"stored size 0", test::kPacked, [](PackageBuilder&, ArchiveEntryInfo& i) { i.stored_size = 0; }},
      {"Adler-32 wrong", test::kPacked,
       [](PackageBuilder& b, ArchiveEntryInfo& i) { b.data()[i.data_offset + i.stored_size - 1] ^= 1; }},
      {"zlib header wrong", test::kPacked,
       [](PackageBuilder& b, ArchiveEntryInfo& i) { b.data()[i.data_offset + 1] ^= 0x10; }},
      {"stored data past the end of the file", test::kStored,
       [](PackageBuilder&, ArchiveEntryInfo& i) { i.stored_size += 10000000; }},
      {"compressed data past the end of the file", test::kPacked,
       [](PackageBuilder&, ArchiveEntryInfo& i) { i.data_offset += i.stored_size - 100; }},
  };
  TempDir dir;
  for (const auto& c : cases) {
    for (size_t chunk : {511, 4096}) {
      SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(chunk));
      PackageBuilder builder("image");
      builder.AddFile("f", medium, c.attributes);
      c.damage(builder, builder.info(0));
      const std::string bytes = builder.Build();
      FileArchiveReader reader;
      ASSERT_TRUE(reader.Open(dir.Write("p.pkg", bytes)));
      ArchiveCursor cursor(reader.directory());
      auto stream = reader.OpenFile(cursor, "f");
      ASSERT_NE(nullptr, stream);
      ByteSource* source = stream->ActiveSource();
      const std::string got = ReadAll(source, chunk);
      EXPECT_TRUE(source->failed());
      char byte;
      EXPECT_EQ(0u, source->Read(&byte, 1));
      EXPECT_TRUE(source->failed());
      if (c.attributes == test::kStored) {
        const ArchiveEntryInfo& info = builder.info(0);
        EXPECT_TRUE(SameBytes(bytes.substr(info.data_offset), got));  // whatever exists
      } else {
        EXPECT_LE(got.size(), medium.size());
      }
    }
  }
}

TEST(ArchiveStreamTest, DataOffsetsFrom2To31CannotBeOpened) {
  const struct {
    uint32_t offset;
    const char* message;
  } cases[] = {
      {0x80000000u, "SetPos(-2147483648->-1) FAILED"},
      {0xFFFFFFF0u, "SetPos(-16->-1) FAILED"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    PackageBuilder builder("image");
    builder.AddRecord("far", ArchiveEntryInfo{0, 0, 0, test::kStored, 10, 10, c.offset});
    TempDir dir;
    FileArchiveReader reader;
    ASSERT_TRUE(reader.Open(dir.Write("p.pkg", builder.Build())));
    ArchiveCursor cursor(reader.directory());
    test::TraceCapture trace;
    ASSERT_TRUE(trace.ok());
    EXPECT_EQ(nullptr, reader.OpenFile(cursor, "far"));
    const auto messages = trace.FinishMessages();
    EXPECT_EQ(1, test::CountMessage(messages, c.message)) << testing::PrintToString(messages);
  }
}

// An upstream that delivers |data| in pieces of at most |piece| bytes and, after |stop| bytes,
// either fails or ends.
class FakeSource : public ByteSource {
 public:
  enum class After { kFail, kEnd };
  FakeSource(std::string data, size_t piece, size_t stop, After after)
      : data_(std::move(data)), piece_(piece), stop_(std::min(stop, data_.size())), after_(after) {}

  size_t Read(void* buffer, size_t size) override {
    if (failed()) return 0;
    if (position_ >= stop_) {
      if (after_ == After::kFail) SetFailed();
      return 0;
    }
    const size_t n = std::min({size, piece_, stop_ - position_});
    std::memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    return n;
  }

 private:
  std::string data_;
  size_t piece_;
  size_t stop_;
  After after_;
  size_t position_ = 0;
};

TEST(InflateSourceTest, DeliversTheContentWhateverTheUpstreamPieces) {
  const std::string content = test::SampleEntryContent().substr(0, 50000);
  const std::string packed = test::Compress(content);
  const struct {
    size_t piece;
    size_t buffer;
  } cases[] = {{1, 1}, {1, 4096}, {7, 3}, {4096, 4096}, {100000, 16}, {100000, 1 << 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE("upstream pieces " + std::to_string(c.piece) + ", buffer " + std::to_string(c.buffer));
    FakeSource upstream(packed, c.piece, packed.size(), FakeSource::After::kEnd);
    InflateSource inflate(&upstream, c.buffer);
    EXPECT_TRUE(SameBytes(content, ReadAll(&inflate, 777)));
    EXPECT_FALSE(inflate.failed());
  }
}

TEST(InflateSourceTest, UpstreamFailureOrEarlyEndFails) {
  const std::string content = test::SampleEntryContent().substr(0, 50000);
  const std::string packed = test::Compress(content);
  for (size_t stop : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{100}, packed.size() / 2,
                      packed.size() - 4, packed.size() - 1}) {
    for (auto after : {FakeSource::After::kFail, FakeSource::After::kEnd}) {
      SCOPED_TRACE("upstream stops after " + std::to_string(stop) + " bytes by " +
                   (after == FakeSource::After::kFail ? "failing" : "ending"));
      FakeSource upstream(packed, 1000, stop, after);
      InflateSource inflate(&upstream);
      const std::string got = ReadAll(&inflate, 4096);
      EXPECT_TRUE(inflate.failed());
      EXPECT_EQ(content.substr(0, got.size()), got);  // a prefix of the content, never garbage
      char byte;
      EXPECT_EQ(0u, inflate.Read(&byte, 1));
    }
  }
}

TEST(InflateSourceTest, WithoutUpstreamReadsNothing) {
  InflateSource inflate(nullptr);
  char buffer[16];
  EXPECT_EQ(0u, inflate.Read(buffer, sizeof buffer));

  const std::string packed = test::Compress("late upstream");
  FakeSource upstream(packed, 5, packed.size(), FakeSource::After::kEnd);
  InflateSource late(nullptr);
  late.SetUpstream(&upstream);
  EXPECT_EQ("late upstream", ReadAll(&late, 4));
  EXPECT_FALSE(late.failed());
}

// The shared descriptor's position is moved elsewhere first: the reader must not depend on it.
TEST(EntryReaderTest, ReadsUpToItsLimitFromItsStartWhereverTheDescriptorStands) {
  TempDir dir;
  const auto fd = platform::OpenReadOnly(dir.Write("f", "0123456789"));
  ASSERT_TRUE(fd.valid());
  const struct {
    int64_t start;
    uint32_t limit;
    const char* content;
    bool failed;
  } cases[] = {
      {2, 5, "23456", false}, {0, 10, "0123456789", false}, {4, 0, "", false},
      {2, 20, "23456789", true}, {10, 1, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + "+" + std::to_string(c.limit));
    ASSERT_EQ(7, platform::SeekTo(fd.get(), 7));
    EntryReader reader(fd.get(), c.start, c.limit);
    EXPECT_EQ(c.content, ReadAll(&reader, 3));
    EXPECT_EQ(c.failed, reader.failed());
  }
}

}  // namespace
}  // namespace kelvane::archive
