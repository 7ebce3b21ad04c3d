// ftp/ftp_test_server.cpp -- a small host of the FTP service for the integration test.
//
//   ftp_test_server --write-fixture DIR   writes DIR/fixture.pkg (the unit tests' package) and
//                                         the expected contents under DIR/expected/ (its
//                                         password.txt is pub's), then exits
//   ftp_test_server --write-tree DIR      writes DIR/tree.pkg: the fixture and below it the
//                                         folder "tree" (nested folders, names with a space, a
//                                         50 MB stored and a 50 MB compressed entry), and the
//                                         tree's expected contents under DIR/expected-tree/
//   ftp_test_server [--modern] PACKAGE    serves PACKAGE on 127.0.0.1 at a free port, in the
//                                         modern mode when asked: prints "PORT <n>", then every
//                                         log line as "LOG <line>", until standard input closes
//
// The log goes through a LogView followed by a console observer, as a headless front end would
// follow it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "ftp/ftp_s.h"
#include "ftp_fixture.h"
#include "logview/log_view.h"

namespace {

using namespace kelvane;

class ConsoleFollower : public logview::LogObserver {
 public:
  void OnLineAdded(std::string_view text) override {
    std::printf("LOG %.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stdout);
  }
};

bool WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

int WriteFixture(const std::string& dir) {
  const std::string expected = dir + "/expected";
  std::error_code error;
  std::filesystem::create_directories(expected, error);
  if (error) return 1;
  if (!WriteFile(dir + "/fixture.pkg", ftp::ftptest::FixturePackage().Build())) return 1;
  const bool ok = WriteFile(expected + "/Image", test::SampleEntryContent()) &&
                  WriteFile(expected + "/version.txt", test::kSampleVersion) &&
                  WriteFile(expected + "/stored.bin", ftp::ftptest::StoredContent()) &&
                  WriteFile(expected + "/password.txt", ftp::ftptest::kPubPasswordContent);
  return ok ? 0 : 1;
}

// The files of the mirrored tree, '/'-separated below "tree", with their contents.
std::vector<std::pair<std::string, std::string>> TreeFiles() {
  constexpr size_t kBig = 50u << 20;
  std::string stored(kBig, '\0');
  uint32_t state = 2463534242u;  // xorshift: bytes that do not compress
  for (char& c : stored) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state >> 24);
  }
  std::string packed;
  packed.reserve(kBig + 64);
  for (int i = 0; packed.size() < kBig; ++i) {
    packed += "block " + std::to_string(i) + " of the compressed firmware image\r\n";
  }
  packed.resize(kBig);
  return {
      {"tree/readme.txt", "Firmware tree for the mirror test.\r\n"},
      {"tree/firmware/big stored.bin", std::move(stored)},
      {"tree/firmware/big-compressed.bin", std::move(packed)},
      {"tree/firmware/v2/release notes.txt", std::string(3000, 'n') + "\r\n"},
      {"tree/firmware/v2/deep/part one.bin", std::string(70000, '\x5A')},
      {"tree/docs/manual.txt", "Read the manual.\r\n"},
  };
}

int WriteTree(const std::string& dir) {
  test::PackageBuilder builder = ftp::ftptest::FixturePackage();
  archive::ArchiveEntryInfo times = test::kSampleTimes;
  for (const auto& [name, content] : TreeFiles()) {
    std::string archive_name = name;
    std::replace(archive_name.begin(), archive_name.end(), '/', '\\');
    // The big stored entry and one small one go uncompressed, the rest compressed.
    const bool stored = name.find("stored") != std::string::npos ||
                        name.find("part one") != std::string::npos;
    builder.AddFile(archive_name, content, stored ? test::kStored : test::kPacked, times);
    const std::filesystem::path path = std::filesystem::path(dir) / "expected-tree" / name;
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error || !WriteFile(path.string(), content)) return 1;
  }
  return WriteFile(dir + "/tree.pkg", builder.Build()) ? 0 : 1;
}

int Serve(const std::string& package, bool modern) {
  archive::FileArchiveReader reader;
  if (!reader.Open(package)) {
    std::fprintf(stderr, "cannot open %s\n", package.c_str());
    return 1;
  }
  logview::LogView log;
  ConsoleFollower follower;
  log.AddObserver(&follower);
  int code = 0;
  {
    ftp::FtpDaemon daemon(reader);
    daemon.SetLogSink(&log);
    daemon.SetCommandTimeout(0);
    if (modern) daemon.SetMode(ftp::FtpMode::kModern);
    if (daemon.Listen(0) != 0 || daemon.Start() != 0) {
      std::fprintf(stderr, "cannot listen\n");
      code = 1;
    } else {
      std::printf("PORT %u\n", static_cast<unsigned>(daemon.port()));
      std::fflush(stdout);
      while (std::fgetc(stdin) != EOF) {
      }
      daemon.Stop();
      daemon.StopAll();
    }
  }
  log.RemoveObserver(&follower);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-fixture") == 0) return WriteFixture(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--write-tree") == 0) return WriteTree(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--modern") == 0) return Serve(argv[2], true);
  if (argc == 2) return Serve(argv[1], false);
  std::fprintf(stderr,
               "usage: ftp_test_server --write-fixture DIR | --write-tree DIR | "
               "[--modern] PACKAGE\n");
  return 2;
}
