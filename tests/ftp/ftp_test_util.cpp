// ftp/ftp_test_util.cpp -- the harness, control client and data listener of the FTP tests.
#include "ftp_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace kelvane::ftp::ftptest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSocketTimeoutMs = 30000;

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

void SetReceiveTimeout(int fd) {
  timeval tv{};
  tv.tv_sec = kSocketTimeoutMs / 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

bool ReadableWithin(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, ms);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

// One receive within the deadline: bytes, 0 at the end of the stream, -1 on error or time-out.
long ReceiveBefore(int fd, char* buffer, size_t size, Clock::time_point deadline) {
  if (!ReadableWithin(fd, RemainingMs(deadline))) return -1;
  long n;
  do {
    n = ::recv(fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

int CaptureSink::AddLine(std::string_view text, bool copy_to_file) {
  std::lock_guard<std::mutex> hold(mutex_);
  lines_.emplace_back(text);
  all_copied_ = all_copied_ && copy_to_file;
  changed_.notify_all();
  return 0;
}

std::vector<std::string> CaptureSink::Lines() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lines_;
}

bool CaptureSink::WaitFor(std::string_view text, milliseconds bound) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, bound, [&] {
    return std::find(lines_.begin(), lines_.end(), text) != lines_.end();
  });
}

bool CaptureSink::all_copied() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return all_copied_;
}

Harness::Harness(const test::PackageBuilder& builder, FtpDaemon::Clock clock) {
  const std::string package = dir_.Write("package.bin", builder.Build());
  if (package.empty() || !reader_.Open(package)) return;
  daemon_ = std::make_unique<FtpDaemon>(reader_);
  daemon_->SetLogSink(&sink_);
  if (clock) daemon_->SetClock(std::move(clock));
  ok_ = daemon_->Listen(0) == 0 && daemon_->Start() == 0;
}

Harness::~Harness() { daemon_.reset(); }

Client::Client(uint16_t port) {
  platform::UniqueSocket fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return;
  SetReceiveTimeout(fd.get());
  const sockaddr_in sa = LoopbackAddress(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return;
  fd_ = std::move(fd);
}

bool Client::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const long n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool Client::SendByteByByte(std::string_view bytes) {
  const int on = 1;
  ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (!Send(bytes.substr(i, 1))) return false;
  }
  return true;
}

std::string Client::ReceiveOnce(milliseconds bound) {
  if (!pending_.empty()) return std::exchange(pending_, {});
  char buffer[4096];
  const long n = ReceiveBefore(fd_.get(), buffer, sizeof buffer, Clock::now() + bound);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool Client::ClosedByServerWithin(milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  pending_.clear();
  char buffer[4096];
  long n;
  while ((n = ReceiveBefore(fd_.get(), buffer, sizeof buffer, deadline)) > 0) {
  }
  return n == 0;
}

std::string Client::ReadLines(int count, milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  size_t end = 0;
  int found = 0;
  for (;;) {
    size_t at;
    while (found < count && (at = pending_.find("\r\n", end)) != std::string::npos) {
      end = at + 2;
      ++found;
    }
    if (found == count) break;
    char buffer[4096];
    const long n = ReceiveBefore(fd_.get(), buffer, sizeof buffer, deadline);
    if (n <= 0) {
      end = pending_.size();
      break;
    }
    pending_.append(buffer, static_cast<size_t>(n));
  }
  std::string lines = pending_.substr(0, end);
  pending_.erase(0, end);
  return lines;
}

std::string Client::Command(std::string_view line, int reply_lines) {
  if (!Send(std::string(line) + "\r\n")) return "<send failed>";
  return ReadLines(reply_lines);
}

std::string Client::ReadToEnd(milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  std::string all = std::move(pending_);
  pending_.clear();
  char buffer[4096];
  long n;
  while ((n = ReceiveBefore(fd_.get(), buffer, sizeof buffer, deadline)) > 0) {
    all.append(buffer, static_cast<size_t>(n));
  }
  return all;
}

bool Client::Login(std::string_view user) {
  return ReadLines(1) == kGreeting &&
         Command("USER " + std::string(user)) ==
             "331 anonymous access allowed, send email name as PASS\r\n" &&
         Command("PASS me@example.com", 4) == kBanner;
}

DataListener::DataListener() {
  platform::UniqueSocket fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return;
  const sockaddr_in sa = LoopbackAddress(0);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(fd.get(), 8) != 0) {
    return;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return;
  port_ = ntohs(bound.sin_port);
  fd_ = std::move(fd);
}

std::string DataListener::PortArgument() const { return PortArgumentFor(port_); }

std::optional<std::string> DataListener::AcceptAndRead(milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  if (!ReadableWithin(fd_.get(), RemainingMs(deadline))) return std::nullopt;
  platform::UniqueSocket data(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!data.valid()) return std::nullopt;
  std::string all;
  std::string buffer(64 * 1024, '\0');
  long n;
  while ((n = ReceiveBefore(data.get(), buffer.data(), buffer.size(), deadline)) > 0) {
    all.append(buffer.data(), static_cast<size_t>(n));
  }
  return all;
}

bool DataListener::HasPendingConnection() const { return ReadableWithin(fd_.get(), 0); }

std::string PortArgumentFor(uint16_t port) {
  return "127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

uint16_t ClosedPort() {
  platform::UniqueSocket fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in sa = LoopbackAddress(0);
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return 0;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  return ntohs(bound.sin_port);
}

}  // namespace kelvane::ftp::ftptest
