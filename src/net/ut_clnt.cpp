// net/ut_clnt.cpp -- TcpClient and the sending of archive entries; the trace lines of file
// sending come from here.
#include "net/ut_clnt.h"

#include <algorithm>
#include <memory>
#include <string>

#include "trace/trace.h"
#include "platform/file_io.h"
#include "platform/socket.h"

namespace kelvane::net {
namespace {

// No peer sees how the stream was cut into sends; large chunks keep the per-send cost small,
// and zlib copies the tail of every inflated piece into its window, so larger pieces inflate
// faster too.
constexpr size_t kSendChunk = 256 * 1024;
constexpr size_t kSendFileChunk = 1024 * 1024;

// The outcome of one SendEntry call: its code, and the finer SendEnd when the caller asked.
class Outcome {
 public:
  explicit Outcome(SendEnd* end) : end_(end) {}

  int Sent() { return Set(SendEnd::kSent, 0); }
  int NotOpened() { return Set(SendEnd::kNotOpened, 1); }

  // Read right after the failed send, before the trace can touch the thread's error.
  int SendError(const char* name) {
    const bool stalled = platform::LastSendTimedOut();
    KELVANE_TRACE("SendFile: Send error ('%s')\n", name);
    return Set(stalled ? SendEnd::kStalled : SendEnd::kLost, 2);
  }

  // Damaged or short data must never pass for a complete transfer.
  int ReadError(const char* name) {
    KELVANE_TRACE("SendFile: Read error ('%s')\n", name);
    return Set(SendEnd::kDamaged, 2);
  }

  // Asks the progress hook whether to go on; a "no" ends the transfer without failing it.
  bool GoOn(const std::function<bool(uint32_t)>& progress, uint32_t sent, const char* name) {
    if (!progress || progress(sent)) return true;
    KELVANE_TRACE("SendFile: Send file status error ('%s')\n", name);
    Set(SendEnd::kStopped, 0);
    return false;
  }

 private:
  int Set(SendEnd end, int code) {
    if (end_ != nullptr) *end_ = end;
    return code;
  }
  SendEnd* end_;
};

// A stored entry goes from the file to the socket inside the kernel, a chunk per call so that
// progress is still reported.
int SendStored(platform::SocketHandle socket, const archive::ArchiveFileStream::StoredExtent& extent,
               const char* name, uint32_t* counter,
               const std::function<bool(uint32_t)>& progress, Outcome& outcome) {
  int64_t offset = static_cast<int64_t>(extent.offset);
  uint32_t left = extent.size;
  while (left > 0) {
    const size_t chunk = std::min<size_t>(left, kSendFileChunk);
    const int64_t before = offset;
    const long sent = platform::SendFileRange(socket, extent.fd, &offset, chunk);
    if (sent < 0) {
      // What the socket took before the send failed counts: the peer may still receive it.
      *counter += static_cast<uint32_t>(offset - before);
      return outcome.SendError(name);
    }
    if (sent > 0) {
      *counter += static_cast<uint32_t>(sent);
      left -= static_cast<uint32_t>(sent);
    }
    if (static_cast<size_t>(sent) < chunk) return outcome.ReadError(name);  // the file ended early
    if (!outcome.GoOn(progress, *counter, name)) return 0;
  }
  KELVANE_TRACE("SendFile: len==0 ('%s')\n", name);
  return outcome.Sent();
}

}  // namespace

int SendEntry(platform::SocketHandle socket, archive::FileArchiveReader& reader, const archive::ArchiveCursor& cursor,
              std::string_view path, uint32_t* counter,
              const std::function<bool(uint32_t)>& progress, uint32_t start, SendEnd* end) {
  Outcome outcome(end);
  *counter = 0;
  std::string converted(path);
  std::replace(converted.begin(), converted.end(), '/', '\\');
  const char* name = converted.c_str();
  KELVANE_TRACE("Open: Cnv('%s')\n", name);

  std::unique_ptr<archive::ArchiveFileStream> stream = reader.OpenFile(cursor, converted);
  if (!stream) {
    KELVANE_TRACE("SendFile: Unable to get OpenFile '%s'\n", name);
    return outcome.NotOpened();
  }
  if (auto extent = stream->StoredBytes()) {
    if (start > extent->size) return outcome.ReadError(name);
    extent->offset += start;
    extent->size -= start;
    return SendStored(socket, *extent, name, counter, progress, outcome);
  }
  archive::ByteSource* source = stream->ActiveSource();
  auto buffer = std::make_unique<char[]>(kSendChunk);
  // What comes before |start| is inflated and dropped: a deflate stream cannot be entered in
  // the middle.
  for (uint32_t skipped = 0; skipped < start;) {
    const size_t got = source->Read(buffer.get(), std::min<size_t>(kSendChunk, start - skipped));
    if (got == 0) return outcome.ReadError(name);
    skipped += static_cast<uint32_t>(got);
  }
  for (;;) {
    const size_t got = source->Read(buffer.get(), kSendChunk);
    if (got == 0) {
      if (source->failed()) return outcome.ReadError(name);
      KELVANE_TRACE("SendFile: len==0 ('%s')\n", name);
      return outcome.Sent();
    }
    size_t taken = 0;
    const long sent = platform::SendAll(socket, buffer.get(), got, 0, &taken);
    *counter += static_cast<uint32_t>(taken);
    if (sent < 0) return outcome.SendError(name);
    if (!outcome.GoOn(progress, *counter, name)) return 0;
  }
}

TcpClient::TcpClient() { platform::IgnoreBrokenPipe(); }

TcpClient::~TcpClient() { Close(); }

bool TcpClient::OnSendProgress(uint32_t sent) {
  return progress_callback_ == nullptr || progress_callback_(sent);
}

int TcpClient::Connect(uint16_t port, const std::string& host) {
  if (socket_.valid()) return 1;
  port_ = port;
  host_ = host;
  const uint32_t address = platform::ParseDotted(host);
  socket_ = platform::NewStreamSocket();
  if (!socket_.valid()) return 2;
  platform::SetReceiveTimeout(socket_.get(), receive_timeout_ms_);
  platform::SetSendTimeout(socket_.get(), send_timeout_ms_);
  // An unparsable host becomes the all-ones address, which cannot be connected to.
  if (address == platform::kNoneAddress || !platform::Connect(socket_.get(), {address, port})) {
    return 3;
  }
  return 0;
}

bool TcpClient::Adopt(platform::UniqueSocket socket) {
  if (socket_.valid()) return false;
  socket_ = std::move(socket);
  platform::SetReceiveTimeout(socket_.get(), receive_timeout_ms_);
  platform::SetSendTimeout(socket_.get(), send_timeout_ms_);
  return true;
}

long TcpClient::SendBytes(const char* data, long length) {
  const size_t size = length > 0 ? static_cast<size_t>(length) : std::char_traits<char>::length(data);
  return platform::SendAll(socket_.get(), data, size);
}

int TcpClient::SendFile(archive::FileArchiveReader& reader, const archive::ArchiveCursor& cursor,
                        std::string_view path, uint32_t* counter, uint32_t start,
                        SendEnd* end) {
  return SendEntry(socket_.get(), reader, cursor, path, counter,
                   [this](uint32_t sent) { return OnSendProgress(sent); }, start, end);
}

void TcpClient::SetReceiveTimeout(int milliseconds) {
  receive_timeout_ms_ = milliseconds;
  if (socket_.valid()) platform::SetReceiveTimeout(socket_.get(), milliseconds);
}

void TcpClient::SetSendTimeout(int milliseconds) {
  send_timeout_ms_ = milliseconds;
  if (socket_.valid()) platform::SetSendTimeout(socket_.get(), milliseconds);
}

int TcpClient::Close() {
  if (!socket_.valid()) return 0;
  int bits = 0;
  if (!platform::ShutdownBoth(socket_.get())) bits |= 1;
  if (!platform::CloseSocket(socket_.Release())) bits |= 2;
  return bits;
}

}  // namespace kelvane::net
