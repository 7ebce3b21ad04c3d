// http/http_test_util.cpp -- the shared helpers of the HTTP tests.
#include "http_test_util.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <regex>
#include <thread>

#include "platform/socket.h"

namespace kelvane::http::testing {
namespace {

std::mutex g_sink_lock;
std::condition_variable g_sink_grew;
std::vector<std::string> g_sink_lines;

}  // namespace

std::string GifBytes() {
  std::string bytes = "GIF89a";
  bytes += std::string("\0\x01[\xff]\x80", 6);
  for (int i = 0; i < 600; ++i) bytes.push_back(static_cast<char>(i * 7));
  return bytes;
}

std::string FirmwareBytes() { return std::string(1000, '\x5a'); }

std::string DamagedText() {
  std::string text;
  for (int i = 0; text.size() < 20000; ++i) text += "damaged line " + std::to_string(i) + "\r\n";
  return text;
}

std::string LongPath(size_t length) {
  std::string path = std::string(kLongDirectory) + "/";
  path += std::string(length - path.size() - 4, 'L');
  return path + ".txt";
}

WebPackage::WebPackage(const Pages& extra) {
  test::PackageBuilder builder(std::string(4096, '\x90'));
  builder.AddFile("index.htm", kRootIndex);
  builder.AddFile("version.txt", kVersionText);
  builder.AddFile("readme.txt", kReadme, test::kStored);
  builder.AddFile("logo.gif", GifBytes());
  builder.AddFile("firmware", FirmwareBytes());
  builder.AddFile("www\\index.htm", kWwwIndex);
  builder.AddFile("www\\page.html", kPlainPage, test::kStored);
  builder.AddFile("www\\sub\\index.htm", kSubIndex);
  std::string long_name = LongPath(128);
  std::replace(long_name.begin(), long_name.end(), '/', '\\');
  builder.AddFile(long_name, "long entry\r\n");
  // A broken Adler-32 at the end of the zlib stream: every byte inflates, then the read fails.
  for (const char* name : {"damaged.txt", "damaged.htm"}) {
    const size_t index = builder.AddFile(name, DamagedText());
    const auto& info = builder.info(index);
    builder.data()[info.data_offset + info.stored_size - 1] ^= 0x55;
  }
  for (const auto& [name, content] : extra) builder.AddFile(name, content, test::kStored);
  if (dir_.path().empty()) return;
  const std::string file = dir_.Write("web.pkg", builder.Build());
  ok_ = !file.empty() && reader_.Open(file);
}

ServerRunner::ServerRunner(templ& server) : server_(server) {
  server_.SetListenAddress(platform::kLoopback);
  result_ = std::async(std::launch::async, [this] { return server_.Run(); });
  port_ = server_.WaitListening(kPromptly);
}

ServerRunner::~ServerRunner() { StopAndJoin(); }

std::optional<bool> ServerRunner::StopAndJoin(milliseconds bound) {
  if (joined_) return std::nullopt;
  server_.Stop();
  if (result_.wait_for(bound) != std::future_status::ready) return std::nullopt;
  joined_ = true;
  return result_.get();
}

std::string Answer::head() const {
  const size_t end = bytes.find("\r\n\r\n");
  return end == std::string::npos ? bytes : bytes.substr(0, end + 4);
}

std::string Answer::body() const {
  const size_t end = bytes.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : bytes.substr(end + 4);
}

platform::UniqueSocket Connect(uint16_t port) {
  platform::UniqueSocket fd = platform::NewStreamSocket();
  if (!fd.valid()) return fd;
  platform::SetReceiveTimeout(fd.get(), static_cast<int>(kPromptly.count()));
  platform::SetSendTimeout(fd.get(), static_cast<int>(kPromptly.count()));
  if (!platform::Connect(fd.get(), {platform::kLoopback, port})) fd.Reset();
  return fd;
}

Answer ReadToEnd(platform::SocketHandle socket) {
  Answer answer;
  char buffer[65536];
  for (;;) {
    const long n = platform::ReceiveSome(socket, buffer, sizeof buffer);
    if (n == 0) {
      answer.eof = true;
      break;
    }
    if (n < 0) {
      answer.reset = true;
      break;
    }
    answer.bytes.append(buffer, static_cast<size_t>(n));
  }
  return answer;
}

Answer Exchange(uint16_t port, std::string_view request, size_t split) {
  platform::UniqueSocket fd = Connect(port);
  if (!fd.valid()) return Answer{"<connect failed>", false, true};
  split = std::min(split, request.size());
  platform::SendAll(fd.get(), request.data(), split);
  platform::SendAll(fd.get(), request.data() + split, request.size() - split);
  return ReadToEnd(fd.get());
}

Answer ExchangeThenClose(uint16_t port, std::string_view request) {
  platform::UniqueSocket fd = Connect(port);
  if (!fd.valid()) return Answer{"<connect failed>", false, true};
  platform::SendAll(fd.get(), request.data(), request.size());
  platform::ShutdownSend(fd.get());
  return ReadToEnd(fd.get());
}

Answer Get(uint16_t port, std::string_view target) {
  return Exchange(port, "GET " + std::string(target) + " HTTP/1.0\r\n\r\n");
}

bool AbortiveCloseResets() {
  platform::UniqueSocket listener = platform::NewStreamSocket();
  if (!listener.valid() || !platform::Bind(listener.get(), {platform::kLoopback, 0}) ||
      !platform::Listen(listener.get(), 1)) {
    return false;
  }
  platform::UniqueSocket client = Connect(platform::LocalPort(listener.get()));
  platform::Ipv4Endpoint peer;
  platform::UniqueSocket served = platform::Accept(listener.get(), &peer);
  if (!client.valid() || !served.valid()) return false;
  const std::string bytes(20000, 'x');
  platform::SendAll(served.get(), bytes.data(), bytes.size());
  platform::SetResetOnClose(served.get());
  served.Reset();
  return ReadToEnd(client.get()).reset;
}

void CaptureSink(const char* format, va_list args) {
  char text[4096];
  std::vsnprintf(text, sizeof text, format, args);
  {
    std::lock_guard<std::mutex> hold(g_sink_lock);
    g_sink_lines.emplace_back(text);
  }
  g_sink_grew.notify_all();
}

bool WaitForSinkLine(const std::string& prefix, milliseconds bound) {
  std::unique_lock<std::mutex> hold(g_sink_lock);
  return g_sink_grew.wait_for(hold, bound, [&prefix] {
    return std::any_of(g_sink_lines.begin(), g_sink_lines.end(),
                       [&prefix](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  });
}

std::vector<std::string> MaskedSinkLines() {
  static const std::regex client("cli=0x7F000001:[0-9]+");
  std::vector<std::string> masked;
  for (const std::string& line : SinkLines()) {
    if (line.rfind("Start HTTP Server.", 0) == 0) continue;
    masked.push_back(std::regex_replace(line, client, "cli=<client>"));
  }
  return masked;
}

std::vector<std::string> SinkLines() {
  std::lock_guard<std::mutex> hold(g_sink_lock);
  return g_sink_lines;
}

void ClearSink() {
  std::lock_guard<std::mutex> hold(g_sink_lock);
  g_sink_lines.clear();
}

bool SinkHas(const std::string& line) {
  std::lock_guard<std::mutex> hold(g_sink_lock);
  return std::find(g_sink_lines.begin(), g_sink_lines.end(), line) != g_sink_lines.end();
}

}  // namespace kelvane::http::testing
