// http/clients_test.cpp -- the server's pages fetched by real clients: curl and Python's urllib
// and http.client, each run as a separate process against a live server on 127.0.0.1.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "http/srv.h"
#include "http_test_util.h"

namespace kelvane::http {
namespace {

using namespace testing;

// Prints the status, the Content-type and Expires headers and the body in hex, for a GET (urllib)
// or a form POST (http.client) of argv[3]. Proxies from the environment are not used.
constexpr const char* kClientScript = R"PY(
import sys, urllib.request, urllib.error, http.client
port, method, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
if method == "GET":
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        r = opener.open("http://127.0.0.1:%d%s" % (port, path), timeout=10)
        status, headers, body = r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        status, headers, body = e.code, e.headers, e.read()
else:
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    c.request("POST", path, body="a=1&b=two+words",
              headers={"Content-Type": "application/x-www-form-urlencoded"})
    r = c.getresponse()
    status, headers, body = r.status, r.headers, r.read()
sys.stdout.write("%d\n%s\n%s\n%s\n" % (status, headers.get("Content-type"),
                                       headers.get("Expires"), body.hex()))
)PY";

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

class RealClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(package_.ok());
    script_ = dir_.Write("client.py", kClientScript);
    ASSERT_FALSE(script_.empty());
    server_.TraceSink = CaptureSink;
    runner_ = std::make_unique<ServerRunner>(server_);
    ASSERT_NE(0, runner_->port());
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(runner_->port()) + path;
  }
  std::optional<std::string> Python(const std::string& method, const std::string& path) const {
    return RunCommand("python3 " + script_ + " " + std::to_string(runner_->port()) + " " +
                      method + " '" + path + "'");
  }

  test::TempDir dir_;
  std::string script_;
  WebPackage package_;
  appsrv server_{package_.reader(), "", 0};
  std::unique_ptr<ServerRunner> runner_;
};

TEST_F(RealClientTest, CurlReceivesTheSameBytesAsARawClient) {
  for (const char* path : {"/", "/version.txt", "/logo.gif", "/www/page.html", "/firmware",
                           "/www/index.htm?x=1"}) {
    SCOPED_TRACE(path);
    const std::optional<std::string> fetched =
        RunCommand("curl -s -S --noproxy '*' --max-time 10 -o - -D - '" + Url(path) + "'");
    ASSERT_TRUE(fetched.has_value());
    EXPECT_EQ(Get(runner_->port(), path).bytes, *fetched);
  }
}

TEST_F(RealClientTest, PythonClientsReadStatusTypesAndBodies) {
  const std::string expires = kPageExpiry;
  const struct {
    const char* method;
    const char* path;
    std::string expected;
  } cases[] = {
      {"GET", "/version.txt", "200\ntext/plain\nNone\n" + Hex(std::string(kVersionText)) + "\n"},
      {"GET", "/logo.gif", "200\nimage/gif\nNone\n" + Hex(GifBytes()) + "\n"},
      {"GET", "/www/", "200\ntext/html\n" + expires + "\n" +
                           Hex("<HTML><BODY>www [?title?] index</BODY></HTML>\r\n") + "\n"},
      {"GET", "/firmware", "404\ntext/html\nNone\n" +
                               Hex("<HTML><BODY>File 'firmware' not found!<P></BODY></HTML>") +
                               "\n"},
      {"POST", "/www/sub/", "200\ntext/html\n" + expires + "\n" + Hex(std::string(kSubIndex)) + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    ClearSink();
    const std::optional<std::string> fetched = Python(c.method, c.path);
    ASSERT_TRUE(fetched.has_value());
    EXPECT_EQ(c.expected, *fetched);
  }
  // The POST body reached the form table.
  EXPECT_TRUE(SinkHas("  VariableCount=2\n"));
  EXPECT_TRUE(SinkHas("    'b'='two words'\n"));
}

}  // namespace
}  // namespace kelvane::http
