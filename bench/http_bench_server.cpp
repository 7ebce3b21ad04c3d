// bench/http_bench_server.cpp -- the HTTP service over a generated package, for http_bench.sh.
//
// Usage: http_bench_server <folder> <port>
// Writes the benchmark's files into <folder>/www (for a second server to serve the same bytes),
// packs them into <folder>/web.pkg as packages carry them (zlib-compressed), opens it, prints
// "port <n>" on its own line and serves on 127.0.0.1 until SIGINT or SIGTERM.
#include <zlib.h>

#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "archive/archive_format.h"
#include "http/srv.h"

namespace {

namespace fs = std::filesystem;
namespace archive = kelvane::archive;

constexpr size_t kBigSize = 10u << 20;

// About 1 KB of page text without brackets, and 10 MiB of text-like bytes that deflate about 3:1.
std::string SmallPage() {
  std::string page = "<HTML><HEAD><TITLE>Kelvane</TITLE></HEAD><BODY>\r\n";
  for (int i = 0; page.size() < 1000; ++i) {
    page += "<P>Line " + std::to_string(i) + " of the small benchmark page.</P>\r\n";
  }
  return page + "</BODY></HTML>\r\n";
}

std::string BigText() {
  static const char* const kWords[] = {"firmware", "update", "device", "package", "serve",
                                       "archive", "entry",  "the",     "of",      "a",
                                       "version", "image",  "block",   "stream",  "http"};
  std::string text;
  text.reserve(kBigSize);
  uint32_t state = 12345;
  while (text.size() < kBigSize) {
    state = state * 1664525u + 1013904223u;
    text += kWords[(state >> 16) % 15];
    text += (state >> 8) % 11 == 0 ? "\r\n" : " ";
    if ((state >> 4) % 7 == 0) text += std::to_string(state % 100000);
  }
  text.resize(kBigSize);
  return text;
}

std::string Deflate(const std::string& content) {
  uLongf size = compressBound(static_cast<uLong>(content.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(content.data()), static_cast<uLong>(content.size()),
            Z_DEFAULT_COMPRESSION);
  out.resize(size);
  return out;
}

bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// The package: a small stand-in image, then each entry compressed, the records and the trailer.
bool WritePackage(const fs::path& path,
                  const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string data(4096, '\x90');
  std::string records;
  for (const auto& [name, content] : entries) {
    archive::ArchiveEntryInfo info;
    info.attributes = archive::ATTR_ARCHIVE | archive::ATTR_COMPRESSED;
    info.unpacked_size = static_cast<uint32_t>(content.size());
    info.data_offset = static_cast<uint32_t>(data.size());
    data += Deflate(content);
    info.stored_size = static_cast<uint32_t>(data.size() - info.data_offset);
    records += archive::EncodeRecord(name, info);
  }
  const auto trailer = archive::EncodeTrailer(static_cast<uint32_t>(data.size()),
                                              static_cast<uint32_t>(entries.size()));
  data += records;
  data.append(reinterpret_cast<const char*>(trailer.data()), trailer.size());
  return WriteFile(path, data);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <folder> <port>\n", argv[0]);
    return 2;
  }
  const fs::path folder = argv[1];
  const auto port = static_cast<uint16_t>(std::atoi(argv[2]));
  std::error_code error;
  fs::create_directories(folder / "www", error);
  const std::string small = SmallPage();
  const std::string big = BigText();
  if (!WriteFile(folder / "www" / "small.html", small) ||
      !WriteFile(folder / "www" / "big.txt", big) ||
      !WritePackage(folder / "web.pkg", {{"small.html", small}, {"big.txt", big}})) {
    std::fprintf(stderr, "cannot write the files under %s\n", argv[1]);
    return 1;
  }
  archive::FileArchiveReader reader;
  if (!reader.Open((folder / "web.pkg").string())) {
    std::fprintf(stderr, "cannot open the package\n");
    return 1;
  }

  // The signal only records the stop; a thread of ours turns it into Stop.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  kelvane::http::appsrv server(reader, "", port);
  server.SetListenAddress(kelvane::platform::kLoopback);
  std::thread stopper([&stop_signals, &server] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    server.Stop();
  });
  std::thread announcer([&server] {
    const uint16_t bound = server.WaitListening(std::chrono::seconds(10));
    std::printf("port %u\n", bound);
    std::fflush(stdout);
  });
  const bool ran = server.Run();
  announcer.join();
  if (!ran) {
    std::fprintf(stderr, "cannot listen on port %u\n", port);
    stopper.detach();  // still waiting for a signal that will not come
    return 1;
  }
  stopper.join();
  return 0;
}
