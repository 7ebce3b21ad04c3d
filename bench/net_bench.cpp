// bench/net_bench.cpp -- how fast TcpClient::SendFile puts a large package entry on a loopback
// connection, stored and compressed, beside a plain send of the same bytes from memory in 64 KiB
// sends: the ceiling any sender over this transport can reach.
//
// A plain timing program. It builds one package in a fresh folder under the temporary directory
// (removed at exit) with the encoders of archive_format.h: a 64 KiB stand-in image, the 100 MiB
// content stored, then the same content deflated at the default level (text-like bytes, about
// 3:1). Each measurement connects a TcpClient to a listener on 127.0.0.1, sends, closes, and ends
// when a reader thread that discards everything has seen the end of the stream. Four kinds take
// turns, --rounds times (15 unless given): the plain send, SendFile of each entry, and sendfile(2)
// of the stored bytes straight from the package file (what a stored entry could reach without
// passing through user space). The program prints the median and the best wall time of each as
// a Markdown table. Wall time only: per-thread CPU clocks on the virtual machines this runs on
// do not see all of the work of a loopback send.

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_data.h"
#include "archive/FileArchiveReader.h"
#include "archive/archive_format.h"
#include "net/ut_clnt.h"
#include "platform/file_io.h"
#include "platform/socket.h"

namespace {

using kelvane::bench::InfoFor;

namespace fs = std::filesystem;
using kelvane::archive::ArchiveCursor;
using kelvane::archive::ArchiveEntryInfo;
using kelvane::archive::FileArchiveReader;
using kelvane::net::TcpClient;
namespace platform = kelvane::platform;

constexpr size_t kEntrySize = 100u << 20;
constexpr size_t kImageSize = 64 * 1024;  // the stored entry's data starts right after it
constexpr size_t kPlainChunk = 64 * 1024;
constexpr size_t kReaderBuffer = 256 * 1024;
constexpr char kStoredName[] = "stored.bin";
constexpr char kPackedName[] = "packed.txt";


std::string Deflate(const std::string& content) {
  uLongf size = compressBound(static_cast<uLong>(content.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(content.data()), static_cast<uLong>(content.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK) {
    return {};
  }
  out.resize(size);
  return out;
}
// Image, the stored entry, the compressed entry, two records, the trailer. False on a failed
// write.
bool WritePackage(const fs::path& path, const std::string& content, const std::string& packed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string image(kImageSize, '\x90');
  out << image;
  const auto stored_offset = static_cast<uint32_t>(image.size());
  out << content;
  const auto packed_offset = static_cast<uint32_t>(stored_offset + content.size());
  out << packed;
  const auto directory_offset = static_cast<uint32_t>(packed_offset + packed.size());
  const auto size = static_cast<uint32_t>(content.size());
  out << kelvane::archive::EncodeRecord(kStoredName, InfoFor(stored_offset, size, size, false));
  out << kelvane::archive::EncodeRecord(
      kPackedName, InfoFor(packed_offset, size, static_cast<uint32_t>(packed.size()), true));
  const auto trailer = kelvane::archive::EncodeTrailer(directory_offset, 2);
  out.write(reinterpret_cast<const char*>(trailer.data()), trailer.size());
  out.close();
  return static_cast<bool>(out);
}

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Sample {
  double wall_seconds = 0;
  bool ok = false;
};

// Connects a TcpClient to |listener| (on |port|), runs |send| on it while a thread reads and
// discards, closes, and times everything up to the reader's end of stream. ok when |send|
// answered true and exactly |expected| bytes arrived.
Sample Measure(int listener, uint16_t port, size_t expected,
               const std::function<bool(TcpClient&)>& send) {
  Sample sample;
  TcpClient client;
  if (client.Connect(port, "127.0.0.1") != 0) return sample;
  platform::Ipv4Endpoint peer;
  platform::UniqueSocket accepted = platform::Accept(listener, &peer);
  if (!accepted.valid()) return sample;

  size_t received = 0;
  std::thread reader([&] {
    auto buffer = std::make_unique<char[]>(kReaderBuffer);
    for (;;) {
      const long n = platform::ReceiveSome(accepted.get(), buffer.get(), kReaderBuffer);
      if (n <= 0) break;
      received += static_cast<size_t>(n);
    }
  });
  const Clock::time_point start = Clock::now();
  const bool sent = send(client);
  client.Close();
  reader.join();
  sample.wall_seconds = SecondsSince(start);
  sample.ok = sent && received == expected;
  return sample;
}

// The median and the smallest of |seconds|.
struct Summary {
  double median = 0;
  double best = 0;
};
Summary Summarize(std::vector<double> seconds) {
  std::sort(seconds.begin(), seconds.end());
  return {seconds[seconds.size() / 2], seconds.front()};
}

double MegabytesPerSecond(size_t bytes, double seconds) {
  return static_cast<double>(bytes) / 1e6 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--rounds N]\n", argv[0]);
      return 2;
    }
  }
  if (std::getenv("ARC2") != nullptr) {
    std::fprintf(stderr, "ARC2 is set: the trace would be measured too; unset it\n");
    return 2;
  }

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/kelvane_net_bench_XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = pattern;
  struct RemoveDir {
    fs::path path;
    ~RemoveDir() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } remove_dir{dir};

  std::printf("building the package (%zu MiB content, deflated at the default level)...\n",
              kEntrySize >> 20);
  const std::string content = kelvane::bench::TextLikeBytes(kEntrySize);
  const std::string packed = Deflate(content);
  if (packed.empty() || !WritePackage(dir / "net.pkg", content, packed)) {
    std::fprintf(stderr, "cannot build the package in %s\n", dir.c_str());
    return 1;
  }
  FileArchiveReader reader;
  if (!reader.Open((dir / "net.pkg").string())) {
    std::fprintf(stderr, "cannot open the package\n");
    return 1;
  }
  const ArchiveCursor cursor(reader.directory());

  platform::IgnoreBrokenPipe();
  platform::UniqueSocket listener = platform::NewStreamSocket();
  if (!listener.valid() || !platform::Bind(listener.get(), {platform::kLoopback, 0}) ||
      !platform::Listen(listener.get(), 4)) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
    return 1;
  }
  const uint16_t port = platform::LocalPort(listener.get());

  auto plain = [&](TcpClient& client) {
    for (size_t at = 0; at < content.size(); at += kPlainChunk) {
      const size_t n = std::min(kPlainChunk, content.size() - at);
      if (platform::SendAll(client.socket(), content.data() + at, n) != static_cast<long>(n)) {
        return false;
      }
    }
    return true;
  };
  const std::string package_path = (dir / "net.pkg").string();
  auto kernel_copy = [&](TcpClient& client) {
    platform::UniqueFd file = platform::OpenReadOnly(package_path);
    int64_t offset = kImageSize;
    return file.valid() && platform::SendFileRange(client.socket(), file.get(), &offset,
                                                   content.size()) ==
                               static_cast<long>(content.size());
  };
  auto send_entry = [&](const char* name) {
    return [&, name](TcpClient& client) {
      uint32_t counter = 0;
      return client.SendFile(reader, cursor, name, &counter) == 0 && counter == content.size();
    };
  };

  struct Kind {
    const char* label;
    std::function<bool(TcpClient&)> send;
    std::vector<double> seconds;
  };
  Kind kinds[] = {
      {"plain send from memory, 64 KiB sends (ceiling)", plain, {}},
      {"SendFile, stored entry", send_entry(kStoredName), {}},
      {"SendFile, compressed entry", send_entry(kPackedName), {}},
      {"sendfile(2) of the stored bytes from the package file", kernel_copy, {}},
  };
  for (int round = 0; round < rounds; ++round) {
    for (Kind& kind : kinds) {
      const Sample s = Measure(listener.get(), port, content.size(), kind.send);
      if (!s.ok) {
        std::fprintf(stderr, "%s: the transfer failed\n", kind.label);
        return 1;
      }
      std::printf("round %2d  %-48s %7.3f s  %7.1f MB/s\n", round + 1, kind.label,
                  s.wall_seconds, MegabytesPerSecond(content.size(), s.wall_seconds));
      kind.seconds.push_back(s.wall_seconds);
    }
  }

  // The codec alone, for the compressed line: one zlib uncompress from memory.
  std::vector<double> inflate_times;
  {
    std::string out(content.size(), '\0');
    for (int round = 0; round < rounds; ++round) {
      uLongf size = static_cast<uLongf>(out.size());
      const Clock::time_point start = Clock::now();
      const int rc = uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                                reinterpret_cast<const Bytef*>(packed.data()),
                                static_cast<uLong>(packed.size()));
      inflate_times.push_back(SecondsSince(start));
      if (rc != Z_OK || size != content.size()) {
        std::fprintf(stderr, "uncompress failed\n");
        return 1;
      }
    }
  }

  const Summary ceiling = Summarize(kinds[0].seconds);
  std::printf("\ncontent %zu bytes; compressed %zu bytes (%.2f:1); %d rounds; MB = 10^6 bytes\n\n",
              content.size(), packed.size(),
              static_cast<double>(content.size()) / static_cast<double>(packed.size()), rounds);
  std::printf("| measurement | median wall time | content rate | of the ceiling | best wall time "
              "| best rate | of the best ceiling |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  const size_t bytes = content.size();
  for (const Kind& kind : kinds) {
    const Summary t = Summarize(kind.seconds);
    std::printf("| %s | %.3f s | %.0f MB/s | %.2f | %.3f s | %.0f MB/s | %.2f |\n", kind.label,
                t.median, MegabytesPerSecond(bytes, t.median), ceiling.median / t.median, t.best,
                MegabytesPerSecond(bytes, t.best), ceiling.best / t.best);
  }
  const Summary codec = Summarize(inflate_times);
  std::printf("| zlib uncompress from memory, no socket (the codec) | %.3f s | %.0f MB/s | "
              "| %.3f s | %.0f MB/s | |\n",
              codec.median, MegabytesPerSecond(bytes, codec.median), codec.best,
              MegabytesPerSecond(bytes, codec.best));
  return 0;
}
