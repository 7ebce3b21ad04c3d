// bench/ftp_bench.cpp -- the FTP service's download rate, beside vsftpd serving the same bytes.
// bench/ftp_bench.py drives it; see bench/README.md.
//
//   ftp_bench prepare DIR        DIR/bench.pkg with stored.bin (100 MiB, stored) and packed.bin
//                                (the same 100 MiB, deflated), the same bytes as plain files in
//                                DIR/files/ for vsftpd, and packed.bin's zlib stream in
//                                DIR/packed.z
//   ftp_bench text BYTES FILE    FILE with BYTES of the text-like content (the bench's words),
//                                for bench/ftp_curl_bench.py's entries
//   ftp_bench inflate DIR        zlib's own one-pass inflate of DIR/packed.z from memory: MB
//                                per wall second and per CPU second
//   ftp_bench serve PACKAGE      FtpDaemon on 127.0.0.1 at a free port ("PORT <n>") until
//                                standard input closes
//   ftp_bench fetch PORT PATH N  N clients log in to 127.0.0.1:PORT, then all RETR PATH at once
//                                in active mode; prints "bytes=<all> seconds=<wall> ok=<clients>"
//
// The fetch client reads replies as RFC 959 says (a multi-line reply ends at a line with its
// own code and a space), which both servers' logon replies satisfy, and reads the data into a
// 256 KiB buffer that it throws away, as curl -o /dev/null does.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_data.h"
#include "archive/FileArchiveReader.h"
#include "archive/archive_format.h"
#include "ftp/ftp_s.h"
#include "logview/log_view.h"
#include "platform/socket_handle.h"

namespace {

using kelvane::bench::InfoFor;

namespace fs = std::filesystem;
using kelvane::platform::UniqueSocket;
using Clock = std::chrono::steady_clock;

constexpr size_t kEntrySize = 100u << 20;
constexpr int kReplyTimeoutMs = 60000;

// ---- Data ----


bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::optional<std::string> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
int Prepare(const fs::path& dir) {
  const std::string content = kelvane::bench::TextLikeBytes(kEntrySize);
  uLongf packed_size = compressBound(content.size());
  std::string packed(packed_size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                reinterpret_cast<const Bytef*>(content.data()), content.size(),
                Z_DEFAULT_COMPRESSION) != Z_OK) {
    return 1;
  }
  packed.resize(packed_size);

  std::string package(64 * 1024, '\x90');  // stands in for the executable
  const auto size = static_cast<uint32_t>(content.size());
  const auto stored_offset = static_cast<uint32_t>(package.size());
  package += content;
  const auto packed_offset = static_cast<uint32_t>(package.size());
  package += packed;
  const auto directory = static_cast<uint32_t>(package.size());
  package +=
      kelvane::archive::EncodeRecord("stored.bin", InfoFor(stored_offset, size, size, false));
  package += kelvane::archive::EncodeRecord(
      "packed.bin", InfoFor(packed_offset, size, static_cast<uint32_t>(packed.size()), true));
  const auto trailer = kelvane::archive::EncodeTrailer(directory, 2);
  package.append(reinterpret_cast<const char*>(trailer.data()), trailer.size());

  std::error_code error;
  fs::create_directories(dir / "files", error);
  const bool ok = !error && WriteFile(dir / "bench.pkg", package) &&
                  WriteFile(dir / "files" / "stored.bin", content) &&
                  WriteFile(dir / "files" / "packed.bin", content) &&
                  WriteFile(dir / "packed.z", packed);
  std::printf("entry %zu bytes, deflated to %zu (%.2f:1)\n", content.size(), packed.size(),
              static_cast<double>(content.size()) / static_cast<double>(packed.size()));
  return ok ? 0 : 1;
}

int WriteText(const char* bytes, const fs::path& file) {
  char* end = nullptr;
  const unsigned long long size = std::strtoull(bytes, &end, 10);
  if (end == bytes || *end != '\0' || size == 0 || size >= (1ull << 32)) return 2;
  return WriteFile(file, kelvane::bench::TextLikeBytes(static_cast<size_t>(size))) ? 0 : 1;
}

int Inflate(const fs::path& dir) {
  const std::optional<std::string> packed = ReadFile(dir / "packed.z");
  if (!packed) return 1;
  std::string out(kEntrySize, '\0');
  std::vector<double> wall_rates;
  std::vector<double> cpu_rates;
  for (int run = 0; run < 3; ++run) {
    uLongf size = out.size();
    const auto start = Clock::now();
    const std::clock_t cpu_start = std::clock();
    const int rc = uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                              reinterpret_cast<const Bytef*>(packed->data()), packed->size());
    const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (rc != Z_OK || size != kEntrySize) return 1;
    wall_rates.push_back(static_cast<double>(size) / seconds / 1e6);
    cpu_rates.push_back(static_cast<double>(size) / cpu / 1e6);
  }
  std::sort(wall_rates.begin(), wall_rates.end());
  std::sort(cpu_rates.begin(), cpu_rates.end());
  std::printf("wall_mb_s=%.1f cpu_mb_s=%.1f\n", wall_rates[1], cpu_rates[1]);
  return 0;
}

// ---- Server ----

int Serve(const std::string& package) {
  kelvane::archive::FileArchiveReader reader;
  if (!reader.Open(package)) return 1;
  kelvane::logview::LogView log;  // the lines go nowhere, as in the headless program
  kelvane::ftp::FtpDaemon daemon(reader);
  daemon.SetLogSink(&log);
  daemon.SetCommandTimeout(0);
  if (daemon.Listen(0) != 0 || daemon.Start() != 0) return 1;
  std::printf("PORT %u\n", static_cast<unsigned>(daemon.port()));
  std::fflush(stdout);
  while (std::fgetc(stdin) != EOF) {
  }
  daemon.Stop();
  daemon.StopAll();
  return 0;
}

// ---- Client ----

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

class ControlConnection {
 public:
  bool Connect(uint16_t port) {
    fd_ = UniqueSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in sa = Loopback(port);
    return fd_.valid() &&
           ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
  }
  bool Send(const std::string& line) {
    const std::string bytes = line + "\r\n";
    return ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // The code of the next complete reply, or 0.
  int Reply() {
    std::string first;
    if (!Line(&first) || first.size() < 4) return 0;
    const int code = std::atoi(first.substr(0, 3).c_str());
    if (first[3] == '-') {
      std::string line;
      do {
        if (!Line(&line)) return 0;
      } while (!(line.size() >= 4 && line.compare(0, 3, first, 0, 3) == 0 && line[3] == ' '));
    }
    return code;
  }
  // Reads until the server closes: by then it has let the session go, so the next run's clients
  // do not find the connection limit still taken.
  void WaitClosed() {
    char buffer[4096];
    pollfd p{fd_.get(), POLLIN, 0};
    while (::poll(&p, 1, kReplyTimeoutMs) > 0 && ::recv(fd_.get(), buffer, sizeof buffer, 0) > 0) {
    }
  }

 private:
  bool Line(std::string* line) {
    for (;;) {
      const size_t end = pending_.find("\r\n");
      if (end != std::string::npos) {
        *line = pending_.substr(0, end);
        pending_.erase(0, end + 2);
        return true;
      }
      pollfd p{fd_.get(), POLLIN, 0};
      if (::poll(&p, 1, kReplyTimeoutMs) <= 0) return false;
      char buffer[4096];
      const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }

  UniqueSocket fd_;
  std::string pending_;
};

struct FetchResult {
  bool ok = false;
  uint64_t bytes = 0;
};

int Fetch(uint16_t port, const std::string& path, int clients) {
  std::vector<FetchResult> results(static_cast<size_t>(clients));
  std::mutex connect_mutex;
  std::barrier start_line(clients + 1);
  std::barrier finish_line(clients + 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      FetchResult& result = results[static_cast<size_t>(i)];
      ControlConnection control;
      UniqueSocket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in sa = Loopback(0);
      socklen_t length = sizeof sa;
      bool ready;
      {
        // One connect at a time: a listen backlog as short as the service's makes clients that
        // connect at the same instant wait for a greeting that never comes (the kernel answers
        // with SYN cookies and drops the handshake's last ACK while the queue is full).
        std::lock_guard<std::mutex> one_at_a_time(connect_mutex);
        ready = control.Connect(port) && control.Reply() == 220;
      }
      ready = ready && control.Send("USER anonymous");
      const int user_reply = ready ? control.Reply() : 0;
      // vsftpd without anonymous passwords logs in at USER.
      ready = ready && (user_reply == 230 ||
                        (user_reply == 331 && control.Send("PASS bench@example.com") &&
                         control.Reply() / 100 == 2));
      ready = ready && control.Send("TYPE I") && control.Reply() / 100 == 2 && listener.valid() &&
                   ::bind(listener.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
                   ::listen(listener.get(), 1) == 0 &&
                   ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sa), &length) == 0;
      const uint16_t data_port = ntohs(sa.sin_port);
      ready = ready && control.Send("PORT 127,0,0,1," + std::to_string(data_port / 256) + "," +
                                    std::to_string(data_port % 256)) &&
              control.Reply() / 100 == 2;
      start_line.arrive_and_wait();
      int retr_reply = 0;
      if (ready && control.Send("RETR " + path) && (retr_reply = control.Reply()) == 150) {
        UniqueSocket data(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        std::vector<char> buffer(256 * 1024);
        ssize_t n;
        while (data.valid() && (n = ::recv(data.get(), buffer.data(), buffer.size(), 0)) > 0) {
          result.bytes += static_cast<uint64_t>(n);
        }
        const int final_reply = control.Reply();
        result.ok = final_reply == 226;
        if (!result.ok) std::fprintf(stderr, "client %d: %d after the data\n", i, final_reply);
      } else {
        std::fprintf(stderr, "client %d: %s, RETR answered %d\n", i,
                     ready ? "logged in" : "not logged in", retr_reply);
      }
      finish_line.arrive_and_wait();
      control.Send("QUIT");
      control.Reply();
      control.WaitClosed();
    });
  }
  start_line.arrive_and_wait();
  const auto start = Clock::now();
  finish_line.arrive_and_wait();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (std::thread& t : threads) t.join();
  uint64_t bytes = 0;
  int ok = 0;
  for (const FetchResult& r : results) {
    bytes += r.bytes;
    ok += (r.ok && r.bytes == kEntrySize) ? 1 : 0;
  }
  std::printf("bytes=%llu seconds=%.6f ok=%d\n", static_cast<unsigned long long>(bytes), seconds,
              ok);
  return ok == clients ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "prepare" && argc == 3) return Prepare(argv[2]);
  if (mode == "text" && argc == 4) return WriteText(argv[2], argv[3]);
  if (mode == "inflate" && argc == 3) return Inflate(argv[2]);
  if (mode == "serve" && argc == 3) return Serve(argv[2]);
  if (mode == "fetch" && argc == 5) {
    return Fetch(static_cast<uint16_t>(std::atoi(argv[2])), argv[3], std::atoi(argv[4]));
  }
  std::fprintf(stderr,
               "usage: ftp_bench prepare DIR | text BYTES FILE | inflate DIR | serve PACKAGE | "
               "fetch PORT PATH CLIENTS\n");
  return 2;
}
