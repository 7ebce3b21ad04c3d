// ftp/ftp_test_server.cpp -- a small host of the FTP service for the integration test.
//
//   ftp_test_server --write-fixture DIR   writes DIR/fixture.pkg (the unit tests' package) and
//                                         the expected contents under DIR/expected/ (its
//                                         password.txt is pub's), then exits
//   ftp_test_server PACKAGE               serves PACKAGE on 127.0.0.1 at a free port: prints
//                                         "PORT <n>", then every log line as "LOG <line>", until
//                                         standard input closes
//
// The log goes through a LogView followed by a console observer, as a headless front end would
// follow it.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>

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

int Serve(const std::string& package) {
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
  if (argc == 2) return Serve(argv[1]);
  std::fprintf(stderr, "usage: ftp_test_server --write-fixture DIR | ftp_test_server PACKAGE\n");
  return 2;
}
