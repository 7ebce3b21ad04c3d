// http/browser_test.cpp -- requests as browsers send them against a live server: escaped names,
// queries, HEAD, the redirect of a directory named without its final '/', and the package's
// password entry, which must look exactly like a missing name.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "http/srv.h"
#include "http_test_util.h"

namespace kelvane::http {
namespace {

using namespace testing;

constexpr std::string_view kStyle = "body { color: #333 } a[href] { color: red }\r\n";
constexpr std::string_view kScript = "var list = [1, 2];\r\n";
constexpr std::string_view kSiteIndex =
    "<HTML><LINK REL=\"stylesheet\" HREF=\"style.css\">[HTTPSrvVersion]</HTML>\r\n";

// The documentation site, names needing escapes, and the password entry.
Pages SitePages(bool with_password) {
  Pages pages = {{"doc site\\index.htm", std::string(kSiteIndex)},
                 {"doc site\\style.css", std::string(kStyle)},
                 {"doc site\\app.js", std::string(kScript)},
                 {"50%.txt", "fifty\r\n"}};
  if (with_password) pages.emplace_back("password.txt", "secret\r\n");
  return pages;
}

std::string Ok(std::string_view type, std::string_view body, bool page = false) {
  return "HTTP/1.0 200 ok\r\nContent-type: " + std::string(type) + "\r\n" +
         (page ? std::string("Expires: ") + kPageExpiry + "\r\n" : "") + "\r\n" +
         std::string(body);
}

std::string NotFound(std::string_view shown) {
  return "HTTP/1.0 404 File not found\r\nContent-type: text/html\r\n\r\n<HTML><BODY>File '" +
         std::string(shown) + "' not found!<P></BODY></HTML>";
}

std::string Moved(std::string_view location) {
  return "HTTP/1.0 301 Moved Permanently\r\nLocation: " + std::string(location) +
         "\r\nContent-type: text/html\r\n\r\n<HTML><BODY>Moved to <A HREF=\"" +
         std::string(location) + "\">" + std::string(location) + "</A><P></BODY></HTML>";
}

const std::string kBadRequest =
    "HTTP/1.0 400 Bad Request\r\nContent-type: text/html\r\n\r\n"
    "<HTML><BODY>Bad request!<P></BODY></HTML>";

std::string HeaderOf(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n\r\n") + 4);
}

class BrowserRequestTest : public RunningAppServerTest {
 protected:
  BrowserRequestTest() : RunningAppServerTest(SitePages(true)) {}
};

TEST_F(BrowserRequestTest, TargetsAreDecodedWithoutTheirQueryAndNeverLeaveTheRoot) {
  const std::string site_index =
      Ok("text/html",
         "<HTML><LINK REL=\"stylesheet\" HREF=\"style.css\">[?HTTPSrvVersion?]</HTML>\r\n", true);
  const struct {
    const char* target;
    std::string expected;
  } cases[] = {
      {"/doc%20site/style.css", Ok("text/css", kStyle)},  // brackets stay in a style sheet
      {"/doc%20site/app.js", Ok("text/javascript", kScript)},
      {"/doc%20site/", site_index},
      {"/doc%20site/index.htm?v=2&x=%zz", site_index},  // the query is never decoded
      {"/doc%20site", Moved("/doc%20site/")},
      {"/doc%20site?x=1", Moved("/doc%20site/")},
      {"/DOC%20SITE", Moved("/DOC%20SITE/")},
      {"/www", Moved("/www/")},
      {"//www", Moved("/www/")},  // never "//www/", a location on another host
      {"/www%5Csub", Moved("/www/sub/")},
      {"/www/sub/", Ok("text/html", "sub index, no includes\r\n", true)},
      {"/50%25.txt", Ok("text/plain", "fifty\r\n")},
      {"/version%2Etxt", Ok("text/plain", kVersionText)},
      {"/www%2Fpage.html", Ok("text/html", "<p>plain [?x?] page</p>", true)},
      {"/50%.txt", kBadRequest},
      {"/version.txt%", kBadRequest},
      {"/version.txt%00.htm", kBadRequest},
      {"/%2e%2e/version.txt", NotFound("_./version.txt")},
      {"/www/%2E%2E/%2e%2e/version.txt", NotFound("www/_./_./version.txt")},
      {"/%3Cscript%3E%26%22.htm", NotFound("&lt;script&gt;&amp;&quot;.htm")},
      {"/doc%20site/missing.css", NotFound("doc site/missing.css")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const Answer answer = Get(port(), c.target);
    EXPECT_EQ(c.expected, answer.bytes);
    EXPECT_TRUE(answer.eof);
  }
}

TEST_F(BrowserRequestTest, HeadGetsTheHeaderOfGetAndNoBody) {
  for (const char* target : {"/version.txt", "/logo.gif", "/www/", "/doc%20site/style.css",
                             "/nothing.htm", "/www", "/50%.txt", "/firmware?x"}) {
    SCOPED_TRACE(target);
    const std::string get = Get(port(), target).bytes;
    ClearSink();
    const Answer head =
        Exchange(port(), std::string("HEAD ") + target + " HTTP/1.0\r\nHost: x\r\n\r\n");
    EXPECT_EQ(HeaderOf(get), head.bytes);
    EXPECT_TRUE(head.eof);
    // The head is traced as any other.
    EXPECT_TRUE(SinkHas(std::string("0: 'HEAD ") + target + " HTTP/1.0'\n"));
  }
}

TEST_F(BrowserRequestTest, PasswordEntryIsAnsweredAsAMissingNameInEverySpelling) {
  for (const char* target : {"/password.txt", "/PASSWORD.TXT", "/Password.Txt?x=1",
                             "/%70assword.txt", "/%50ASSWORD%2ETXT", "//password.txt",
                             "/%5Cpassword.txt", "/www/../password.txt",
                             "/www/%2e%2e/password.txt"}) {
    SCOPED_TRACE(target);
    const Answer answer = Get(port(), target);
    EXPECT_EQ(0u, answer.bytes.find("HTTP/1.0 404 File not found\r\n")) << answer.bytes;
    EXPECT_EQ(std::string::npos, answer.bytes.find("secret"));
    const Answer head = Exchange(port(), std::string("HEAD ") + target + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(0u, head.bytes.find("HTTP/1.0 404 File not found\r\n"));
  }
}

TEST(PasswordEntryTest, AnswerAndTraceEqualThoseOfAPackageWithoutTheEntry) {
  WebPackage with(SitePages(true));
  WebPackage without(SitePages(false));
  ASSERT_TRUE(with.ok());
  ASSERT_TRUE(without.ok());
  appsrv guarded(with.reader(), "", 0);
  appsrv plain(without.reader(), "", 0);
  guarded.TraceSink = CaptureSink;
  plain.TraceSink = CaptureSink;
  ServerRunner guarded_runner(guarded);
  ServerRunner plain_runner(plain);
  ASSERT_NE(0, guarded_runner.port());
  ASSERT_NE(0, plain_runner.port());
  for (const char* target : {"/password.txt", "/PassWord.TXT", "/%70assword.txt?q"}) {
    SCOPED_TRACE(target);
    ClearSink();
    const Answer guarded_answer = Get(guarded_runner.port(), target);
    const std::vector<std::string> guarded_lines = MaskedSinkLines();
    ClearSink();
    const Answer plain_answer = Get(plain_runner.port(), target);
    EXPECT_EQ(plain_answer.bytes, guarded_answer.bytes);
    EXPECT_EQ(MaskedSinkLines(), guarded_lines);
    EXPECT_FALSE(guarded_lines.empty());
  }
}

}  // namespace
}  // namespace kelvane::http
