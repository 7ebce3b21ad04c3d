// http/clients_test.cpp -- the server's pages fetched by real clients: curl and Python's urllib
// and http.client, each run as a separate process against a live server on 127.0.0.1, among
// them a documentation site reached as a browser reaches it.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
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

// Opens argv[2] as a browser would (following the redirect of a directory), then the style
// sheet its page links to relative to where it landed, then asks HEAD of the style sheet.
// Prints the final address, each status and type, the page, and the HEAD answer's body length.
constexpr const char* kSiteScript = R"PY(
import sys, urllib.request, urllib.parse, http.client
port, path = int(sys.argv[1]), sys.argv[2]
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
page = opener.open("http://127.0.0.1:%d%s" % (port, path), timeout=10)
body = page.read().decode()
link = body.split('HREF="')[1].split('"')[0]
style = opener.open(urllib.parse.urljoin(page.geturl(), link), timeout=10)
c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
c.request("HEAD", urllib.parse.urlsplit(style.geturl()).path)
head = c.getresponse()
print(page.geturl().split(str(port))[1], page.status, page.headers.get("Content-type"))
print(style.geturl().split(str(port))[1], style.status, style.headers.get("Content-type"))
print(style.read().decode().strip())
print(head.status, head.headers.get("Content-type"), len(head.read()))
)PY";

// Runs |command| in a shell and returns its standard output; nullopt when it could not run or
// exited with a failure.
std::optional<std::string> RunCommand(const std::string& command) {
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = ::pclose(pipe);
  if (status != 0) return std::nullopt;
  return out;
}

constexpr const char* kStyle = "body { color: #333 } a[href] { color: red }";

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
    site_script_ = dir_.Write("site.py", kSiteScript);
    ASSERT_FALSE(script_.empty());
    ASSERT_FALSE(site_script_.empty());
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
  std::string site_script_;
  WebPackage package_{Pages{{"doc site\\index.htm", "<LINK REL=\"stylesheet\" HREF=\"style.css\">"},
                            {"doc site\\style.css", kStyle}}};
  appsrv server_{package_.reader(), "", 0};
  std::unique_ptr<ServerRunner> runner_;
};

TEST_F(RealClientTest, CurlReceivesTheSameBytesAsARawClient) {
  for (const char* path : {"/", "/version.txt", "/logo.gif", "/www/page.html", "/firmware",
                           "/www/index.htm?x=1", "/www", "/doc%20site/style.css"}) {
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

TEST_F(RealClientTest, CurlAsksHeadAndGetsTheHeaderOnly) {
  for (const char* path : {"/version.txt", "/www/", "/nothing.htm"}) {
    SCOPED_TRACE(path);
    const std::optional<std::string> fetched =
        RunCommand("curl -s -S --noproxy '*' --max-time 10 -I '" + Url(path) + "'");
    ASSERT_TRUE(fetched.has_value());
    const std::string get = Get(runner_->port(), path).bytes;
    EXPECT_EQ(get.substr(0, get.find("\r\n\r\n") + 4), *fetched);
  }
}

TEST_F(RealClientTest, BrowserLikeClientFollowsTheDirectoryRedirectToTheStyleSheet) {
  const std::optional<std::string> fetched =
      RunCommand("python3 " + site_script_ + " " + std::to_string(runner_->port()) +
                 " '/doc%20site'");
  ASSERT_TRUE(fetched.has_value());
  EXPECT_EQ(std::string("/doc%20site/ 200 text/html\n"
                        "/doc%20site/style.css 200 text/css\n") +
                kStyle + "\n200 text/css 0\n",
            *fetched);
}

}  // namespace
}  // namespace kelvane::http
