// net/net_test_util.cpp -- the test helpers that read, wait and time the same way on every
// platform, over the twins' ReceiveWithin.
#include <algorithm>
#include <thread>

#include "net_test_twin.h"
#include "net_test_util.h"

namespace kelvane::net::nettest {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void SendBytewise(platform::SocketHandle fd, std::string_view data,
                  platform::SocketHandle reader_fd) {
  SetNoDelay(fd);
  for (char c : data) {
    WaitUntil([reader_fd] { return QueuedBytes(reader_fd) == 0; });
    if (!SendAllBytes(fd, std::string_view(&c, 1))) return;
  }
}

ReadResult ReadUntilEof(platform::SocketHandle fd, milliseconds bound, size_t limit) {
  const Clock::time_point deadline = Clock::now() + bound;
  ReadResult result;
  char buffer[64 * 1024];
  while (result.bytes.size() < limit) {
    const long n = ReceiveWithin(fd, buffer, sizeof buffer, deadline);
    if (n == kReceiveTimedOut) break;
    if (n < 0) {
      result.error = true;
      break;
    }
    if (n == 0) {
      result.eof = true;
      break;
    }
    result.bytes.append(buffer, static_cast<size_t>(n));
  }
  return result;
}

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

SlowReader::SlowReader(platform::SocketHandle fd, size_t piece, milliseconds pause,
                       milliseconds bound)
    : thread_([this, fd, piece, pause, bound] {
        const Clock::time_point deadline = Clock::now() + bound;
        const size_t fast_piece = 64 * 1024;
        std::string buffer(std::max(piece, fast_piece), '\0');
        for (;;) {
          // At most |piece| bytes, however much is waiting.
          const bool hurry = hurry_.load();
          const size_t want = hurry ? fast_piece : piece;
          size_t got = 0;
          while (got < want) {
            const long n = ReceiveWithin(fd, buffer.data() + got, want - got, deadline);
            if (n == kReceiveTimedOut) return;
            if (n <= 0) {
              result_.bytes.append(buffer.data(), got);
              (n == 0 ? result_.eof : result_.error) = true;
              return;
            }
            got += static_cast<size_t>(n);
          }
          result_.bytes.append(buffer.data(), got);
          if (!hurry) std::this_thread::sleep_for(pause);
        }
      }) {}

SlowReader::~SlowReader() {
  if (thread_.joinable()) thread_.join();
}

ReadResult SlowReader::Join() {
  if (thread_.joinable()) thread_.join();
  return result_;
}

bool WaitUntil(const std::function<bool()>& done, milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return done();
    std::this_thread::sleep_for(milliseconds(1));
  }
}

StreamReader::StreamReader(platform::SocketHandle fd, milliseconds bound, size_t limit)
    : thread_([this, fd, bound, limit] { result_ = ReadUntilEof(fd, bound, limit); }) {}

StreamReader::~StreamReader() {
  if (thread_.joinable()) thread_.join();
}

ReadResult StreamReader::Join() {
  if (thread_.joinable()) thread_.join();
  return result_;
}

}  // namespace kelvane::net::nettest
