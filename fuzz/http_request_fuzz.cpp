// fuzz/http_request_fuzz.cpp -- libFuzzer target for the HTTP request path: request bytes through
// the head parser, target decoding, form decoding, the lookup in the package and the expansion of
// includes in pages.
//
// An input is the bytes one client sends on a connection. In process, they are fed to RequestHead
// whole and again in pieces whose sizes the input's own bytes choose, and what follows the head
// goes through ParseFormVariables. Then the same bytes go to the application's real server
// (appsrv on a loopback port, serving a fixed package with pages, includes, a style sheet and a
// password entry) over one connection, whose answer is read to its end.
//
// Besides the sanitizers, the target traps when the two feeds of the head disagree, when a
// decoded path holds a zero byte or a redirect location could leave the site or break its header
// line, when an answer does not start with one of the server's status lines, and when the
// password entry's content appears in any answer.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "http/form_variables.h"
#include "http/request_head.h"
#include "http/srv.h"
#include "platform/socket.h"
#include "support/fixture_package.h"

namespace {

using kelvane::http::RequestHead;

// Its '<' and '>' can never come back from the request: the 404 page writes them as entities and
// a redirect percent-encodes them.
constexpr std::string_view kSecret = "http<fuzz>secret";
constexpr int kLineSize = kelvane::http::appsrv::kLineSize;
constexpr int kMaxCookie = kelvane::http::appsrv::kMaxCookie;
constexpr size_t kMaxInput = 8192;

#define FUZZ_CHECK(condition)                                                    \
  do {                                                                           \
    if (!(condition)) {                                                          \
      std::fprintf(stderr, "http_request_fuzz: check failed: %s\n", #condition); \
      std::abort();                                                              \
    }                                                                            \
  } while (0)

// Everything a head parse tells, for comparing two parses.
struct HeadOutcome {
  std::vector<std::string> lines;
  size_t taken = 0;
  bool complete = false;
  bool empty = false;
  int kind = 0;
  std::string target;
  std::string cookie;
  int body_length = 0;
  bool operator==(const HeadOutcome&) const = default;
};

// Feeds |input| in pieces: each piece's size comes from the next byte of |sizes| (cycled), so
// a split can fall on any byte. Stops where the head ends, as a connection would.
HeadOutcome ParseHead(std::string_view input, std::string_view sizes) {
  HeadOutcome out;
  RequestHead head(kLineSize, kMaxCookie);
  const RequestHead::LineObserver observer = [&out](int number, const char* text) {
    out.lines.push_back(std::to_string(number) + ":" + text);
  };
  size_t next = 0;
  while (out.taken < input.size() && !head.complete()) {
    size_t piece = input.size() - out.taken;
    if (!sizes.empty()) {
      piece = std::min<size_t>(piece, 1 + static_cast<uint8_t>(sizes[next++ % sizes.size()]));
    }
    const size_t taken = head.Feed(input.data() + out.taken, piece, observer);
    out.taken += taken;
    if (taken < piece) break;
  }
  if (!head.complete()) head.End(observer);
  out.complete = head.complete();
  out.empty = head.empty();
  out.kind = static_cast<int>(head.kind());
  out.target = head.target();
  out.cookie = head.cookie();
  out.body_length = head.body_length();
  return out;
}

void CheckInProcess(std::string_view input) {
  const HeadOutcome whole = ParseHead(input, {});
  const HeadOutcome pieces = ParseHead(input, input);
  FUZZ_CHECK(whole == pieces);
  FUZZ_CHECK(whole.complete);
  FUZZ_CHECK(whole.body_length >= 0 && whole.body_length < kLineSize);
  FUZZ_CHECK(whole.cookie.size() <= static_cast<size_t>(kMaxCookie));

  std::string path = "unchanged";
  if (kelvane::http::DecodeTarget(whole.target, &path)) {
    FUZZ_CHECK(path.find('\0') == std::string::npos);
    const std::string location = kelvane::http::DirectoryLocation(path);
    FUZZ_CHECK(!location.empty() && location.front() == '/' && location.back() == '/');
    FUZZ_CHECK(location.find("//") == std::string::npos);
    FUZZ_CHECK(location.find_first_of("\r\n \"<>\\") == std::string::npos);
  } else {
    FUZZ_CHECK(path == "unchanged");
  }

  // The body as the server would decode it: what follows the head, up to the announced length.
  std::string body(input.substr(std::min(whole.taken, input.size()),
                                static_cast<size_t>(whole.body_length)));
  std::vector<kelvane::http::varpair> pairs(kelvane::http::appsrv::kMaxVariables);
  kelvane::http::varlist table{static_cast<int>(pairs.size()), 0, pairs.data()};
  kelvane::http::ParseFormVariables(body.data(), table, nullptr);
  FUZZ_CHECK(table.VariableCount >= 0 && table.VariableCount < table.Capacity);
  const char* begin = body.data();
  const char* end = body.data() + body.size();
  for (int i = 0; i < table.VariableCount; ++i) {
    FUZZ_CHECK(pairs[i].Name >= begin && pairs[i].Name <= end);
    FUZZ_CHECK(pairs[i].Value == nullptr || (pairs[i].Value >= begin && pairs[i].Value <= end));
  }
}

// The application's server over a fixed package, listening on a loopback port for the whole run.
struct Server {
  kelvane::test::TempDir folder;
  kelvane::archive::FileArchiveReader reader;
  std::unique_ptr<kelvane::http::appsrv> server;
  std::thread thread;
  uint16_t port = 0;

  Server() {
    using kelvane::test::kPacked;
    using kelvane::test::kStored;
    kelvane::test::PackageBuilder builder(std::string(1024, 'X'));
    std::string long_page = "<html>[HTTPSrvVersion]";
    for (int i = 0; i < 300; ++i) long_page += "text [unknown" + std::to_string(i) + "] ";
    long_page += "[" + std::string(300, 'n') + "] [unclosed";
    builder.AddFile("www\\index.htm", "<html><body>[HTTPSrvVersion] [x]</body></html>", kPacked);
    builder.AddFile("www\\long.htm", long_page, kPacked);
    builder.AddFile("www\\style.css", "body { color: red; } [not an include]", kPacked);
    builder.AddFile("www\\doc site\\index.html", "<p>[HTTPSrvVersion]</p>", kStored);
    builder.AddFile("www\\logo.png", std::string(5000, '\x89'), kStored);
    builder.AddFile("password.txt", std::string(kSecret), kStored);
    builder.AddFile("notes.txt", "plain [text]", kPacked);
    const size_t broken = builder.AddFile("www\\broken.htm", std::string(4000, 'b'), kPacked);
    builder.data()[builder.info(broken).data_offset + 30] ^= 0x5A;
    const std::string path = folder.Write("package.bin", builder.Build());
    FUZZ_CHECK(!path.empty() && reader.Open(path));

    server = std::make_unique<kelvane::http::appsrv>(reader, "", 0);
    server->SetListenAddress(kelvane::platform::kLoopback);
    server->SetHeadTimeout(std::chrono::milliseconds(2000));
    server->SetSilenceTimeout(std::chrono::milliseconds(2000));
    thread = std::thread([this] { server->Run(); });
    port = server->WaitListening(std::chrono::seconds(10));
    FUZZ_CHECK(port != 0);
  }
};

Server& TheServer() {
  static Server* server = new Server();  // serves for the whole process
  return *server;
}

bool StartsWithStatus(std::string_view answer) {
  static constexpr std::string_view kStatuses[] = {
      "HTTP/1.0 200 ", "HTTP/1.0 301 ", "HTTP/1.0 400 ", "HTTP/1.0 404 ", "HTTP/1.0 501 "};
  for (std::string_view status : kStatuses) {
    if (answer.substr(0, status.size()) == status) return true;
  }
  return false;
}

void CheckOverTheNetwork(std::string_view input) {
  Server& server = TheServer();
  kelvane::platform::UniqueSocket client = kelvane::platform::NewStreamSocket();
  FUZZ_CHECK(client.valid());
  FUZZ_CHECK(kelvane::platform::SetReceiveTimeout(client.get(), 8000));
  FUZZ_CHECK(kelvane::platform::Connect(client.get(), {kelvane::platform::kLoopback, server.port}));
  // The server may answer and close before it has read everything: a failed send is fine.
  kelvane::platform::SendAll(client.get(), input.data(), input.size());
  kelvane::platform::ShutdownSend(client.get());
  std::string answer;
  char buffer[65536];
  for (;;) {
    const long n = kelvane::platform::ReceiveSome(client.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  FUZZ_CHECK(answer.empty() || StartsWithStatus(answer));
  FUZZ_CHECK(answer.find(kSecret) == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), std::min(size, kMaxInput));
  CheckInProcess(input);
  CheckOverTheNetwork(input);
  return 0;
}
