// ftp/ftp_test_util.cpp -- the harness, control client and data listener of the FTP tests.
#include "ftp_test_util.h"

#include <algorithm>
#include <utility>

#include "platform/socket.h"

namespace kelvane::ftp::ftptest {
namespace {

using Clock = std::chrono::steady_clock;
// Bounds every receive and send of the clients, behind the tests' own shorter deadlines.
constexpr int kSocketTimeoutMs = 30000;

int64_t RemainingMicroseconds(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : left;
}

// One receive within the deadline: bytes, 0 at the end of the stream, -1 on error or time-out.
long ReceiveBefore(platform::SocketHandle socket, char* buffer, size_t size,
                   Clock::time_point deadline) {
  if (!platform::WaitReadable(socket, RemainingMicroseconds(deadline))) return -1;
  return platform::ReceiveSome(socket, buffer, size);
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
  platform::UniqueSocket fd = platform::NewStreamSocket();
  if (!fd.valid()) return;
  platform::SetReceiveTimeout(fd.get(), kSocketTimeoutMs);
  platform::SetSendTimeout(fd.get(), kSocketTimeoutMs);
  if (!platform::Connect(fd.get(), {platform::kLoopback, port})) return;
  fd_ = std::move(fd);
}

bool Client::Send(std::string_view bytes) {
  return platform::SendAll(fd_.get(), bytes.data(), bytes.size()) ==
         static_cast<long>(bytes.size());
}

bool Client::SendByteByByte(std::string_view bytes) {
  platform::SetNoDelay(fd_.get());
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

bool Client::Login(std::string_view user, std::string_view banner) {
  return ReadLines(1) == kGreeting &&
         Command("USER " + std::string(user)) ==
             "331 anonymous access allowed, send email name as PASS\r\n" &&
         Command("PASS me@example.com", 4) == (banner.empty() ? kBanner : banner);
}

DataListener::DataListener() {
  platform::UniqueSocket fd = platform::NewStreamSocket();
  if (!fd.valid() || !platform::Bind(fd.get(), {platform::kLoopback, 0}) ||
      !platform::Listen(fd.get(), 8)) {
    return;
  }
  port_ = platform::LocalPort(fd.get());
  if (port_ == 0) return;
  fd_ = std::move(fd);
}

std::string DataListener::PortArgument() const { return PortArgumentFor(port_); }

std::optional<std::string> DataListener::AcceptAndRead(milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  if (!platform::WaitReadable(fd_.get(), RemainingMicroseconds(deadline))) return std::nullopt;
  platform::Ipv4Endpoint peer;
  platform::UniqueSocket data = platform::Accept(fd_.get(), &peer);
  if (!data.valid()) return std::nullopt;
  std::string all;
  std::string buffer(64 * 1024, '\0');
  long n;
  while ((n = ReceiveBefore(data.get(), buffer.data(), buffer.size(), deadline)) > 0) {
    all.append(buffer.data(), static_cast<size_t>(n));
  }
  return all;
}

bool DataListener::HasPendingConnection() const { return platform::WaitReadable(fd_.get(), 0); }

std::optional<uint16_t> OfferedPort(std::string_view reply) {
  const size_t open = reply.find('(');
  const size_t close = reply.find(')', open);
  if (open == std::string_view::npos || close == std::string_view::npos) return std::nullopt;
  std::string_view inside = reply.substr(open + 1, close - open - 1);
  unsigned long value = 0;
  if (reply.rfind("229 ", 0) == 0) {
    if (inside.size() < 5 || inside.substr(0, 3) != "|||" || inside.back() != '|') {
      return std::nullopt;
    }
    value = std::stoul(std::string(inside.substr(3, inside.size() - 4)));
  } else if (reply.rfind("227 ", 0) == 0) {
    const size_t fifth = inside.rfind(',', inside.rfind(',') - 1);
    const std::string ports(inside.substr(fifth + 1));
    const size_t comma = ports.find(',');
    value = std::stoul(ports.substr(0, comma)) * 256 + std::stoul(ports.substr(comma + 1));
  } else {
    return std::nullopt;
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

platform::UniqueSocket ConnectFrom(uint32_t source, uint16_t port) {
  platform::UniqueSocket fd = platform::NewStreamSocket();
  if (!fd.valid() || !platform::Bind(fd.get(), {source, 0})) return {};
  platform::SetReceiveTimeout(fd.get(), kSocketTimeoutMs);
  platform::SetSendTimeout(fd.get(), kSocketTimeoutMs);
  if (!platform::Connect(fd.get(), {platform::kLoopback, port})) return {};
  return fd;
}

DataOutcome ActiveTransfer(Client& client, DataListener& listener, std::string_view command) {
  DataOutcome outcome;
  client.Send(std::string(command) + "\r\n");
  outcome.replies = client.ReadLines(1);
  if (outcome.replies.rfind("150 ", 0) == 0) {
    outcome.data = listener.AcceptAndRead();
    outcome.replies += client.ReadLines(1);
  } else if (listener.HasPendingConnection()) {
    outcome.data = listener.AcceptAndRead();
  }
  return outcome;
}

std::string ReadSocketToEnd(platform::SocketHandle socket, milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  std::string all;
  std::string buffer(64 * 1024, '\0');
  long n;
  while ((n = ReceiveBefore(socket, buffer.data(), buffer.size(), deadline)) > 0) {
    all.append(buffer.data(), static_cast<size_t>(n));
  }
  return all;
}

std::string PortArgumentFor(uint16_t port) {
  return "127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

uint16_t ClosedPort() {
  // Bound, never listening, and closed on return: the system hands ephemeral ports out in
  // turn, so nothing takes this one again soon.
  platform::UniqueSocket fd = platform::NewStreamSocket();
  if (!fd.valid() || !platform::Bind(fd.get(), {platform::kLoopback, 0})) return 0;
  return platform::LocalPort(fd.get());
}

}  // namespace kelvane::ftp::ftptest
