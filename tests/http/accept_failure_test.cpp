// http/accept_failure_test.cpp -- a failing accept (descriptors exhausted through the process's
// limit) is traced, retried at a pace, and the waiting client is served once descriptors are
// back. Linux only: it lowers RLIMIT_NOFILE, which Windows has no counterpart of.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "http/srv.h"
#include "http_test_util.h"
#include "platform/socket.h"

namespace kelvane::http {
namespace {

using namespace testing;

const std::string kVersionAnswer =
    "HTTP/1.0 200 ok\r\nContent-type: text/plain\r\n\r\n" + std::string(kVersionText);

// Lowers the process's descriptor limit and takes every descriptor left, so that the next
// accept fails; gives them back on Release or destruction.
class DescriptorExhaustion {
 public:
  DescriptorExhaustion() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 512);
    ::setrlimit(RLIMIT_NOFILE, &low);
    for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) taken_.push_back(fd);
  }
  ~DescriptorExhaustion() { Release(); }
  bool exhausted() const { return !taken_.empty() && ::dup(0) < 0; }
  void Release() {
    for (const int fd : taken_) ::close(fd);
    taken_.clear();
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  rlimit saved_{};
  std::vector<int> taken_;
};

TEST(RunTest, FailedAcceptIsTracedAndAcceptingGoesOn) {
  WebPackage package;
  ASSERT_TRUE(package.ok());
  appsrv server(package.reader(), "", 0);
  server.TraceSink = CaptureSink;
  ClearSink();
  ServerRunner runner(server);
  ASSERT_NE(0, runner.port());
  // The client's socket is made before the descriptors run out; its connection waits in the
  // backlog while the server cannot take it.
  platform::UniqueSocket client = platform::NewStreamSocket();
  ASSERT_TRUE(client.valid());
  platform::SetReceiveTimeout(client.get(), static_cast<int>(kPromptly.count()));
  {
    DescriptorExhaustion exhaustion;
    ASSERT_TRUE(exhaustion.exhausted());
    ASSERT_TRUE(platform::Connect(client.get(), {platform::kLoopback, runner.port()}));
    const bool traced = WaitForSinkLine("OnAcceptFailed(reason='Too many open files'): "
                                        "accepting again in 100 ms\n");
    exhaustion.Release();
    ASSERT_TRUE(traced);
  }
  const std::string request = "GET /version.txt HTTP/1.0\r\n\r\n";
  platform::SendAll(client.get(), request.data(), request.size());
  EXPECT_EQ(kVersionAnswer, ReadToEnd(client.get()).bytes);
  // Retries are paced: a handful of lines, not thousands.
  int failures = 0;
  for (const std::string& line : SinkLines()) failures += line.rfind("OnAcceptFailed(", 0) == 0;
  EXPECT_LT(failures, 100);
}

}  // namespace
}  // namespace kelvane::http
