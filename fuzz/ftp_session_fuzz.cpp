// fuzz/ftp_session_fuzz.cpp -- libFuzzer target for a whole FTP conversation: an FtpSession over
// a socket pair, its command lines, its data connections and their faults.
//
// An input is a fault schedule of kScheduleSize bytes, then the raw bytes the client sends on the
// control connection (line ends, lengths and commands as they come). The session serves a fixed
// package (stored, compressed and damaged entries, a password entry, folders) until the input
// runs out. Data connection n takes schedule byte n: 0xFF refuses the connection, 0 reads
// everything, any other value reads that many times 997 bytes and then closes, so sends fail in
// the middle of a listing or an entry.
//
// Besides the sanitizers, the target traps when "226 Transfer complete." follows a RETR that did
// not hand every byte of the entry to its data connection, when the bytes the far end read are not
// the entry's own, and when the password entry's name or content ever appears on a data
// connection. (Bytes the kernel took count as sent: a far end that closes with some of them
// unread is the client's loss, as with any TCP peer.)

#include <sys/socket.h>  // socketpair: the harness alone needs it, the core never does
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "archive/FileArchiveReader.h"
#include "archive/archive_directory.h"
#include "ftp/data_connection.h"
#include "ftp/ftp_commands.h"
#include "ftp/ftp_s.h"
#include "net/ut_clnt.h"
#include "platform/socket.h"
#include "support/fixture_package.h"

namespace {

using kelvane::archive::ArchiveCursor;
using kelvane::archive::ArchiveNode;
using kelvane::archive::FileArchiveReader;

constexpr size_t kScheduleSize = 8;
constexpr size_t kFaultUnit = 997;
constexpr uint8_t kRefuse = 0xFF;
constexpr std::string_view kSecret = "fuzz-secret-7781";
constexpr size_t kMaxCommandBytes = 16 * 1024;

#define FUZZ_CHECK(condition)                                                   \
  do {                                                                          \
    if (!(condition)) {                                                         \
      std::fprintf(stderr, "ftp_session_fuzz: check failed: %s\n", #condition); \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

// The package every input is served from, opened once, with each file's expected content.
struct Package {
  kelvane::test::TempDir folder;
  FileArchiveReader reader;
  std::map<const ArchiveNode*, std::string> contents;  // intact files only
  std::vector<const ArchiveNode*> damaged;

  Package() {
    using kelvane::test::kPacked;
    using kelvane::test::kStored;
    std::string text;
    for (int i = 0; i < 800; ++i) text += "line " + std::to_string(i * 7919 % 1000) + "\r\n";
    std::string noise;
    uint32_t state = 12345;
    for (int i = 0; i < 12000; ++i) {
      state = state * 1103515245u + 12345u;
      noise += static_cast<char>(state >> 24);
    }
    const std::vector<std::tuple<std::string, std::string, uint32_t>> files = {
        {"version.txt", "3.34\r\n", kPacked},
        {"password.txt", std::string(kSecret) + "\r\n", kStored},
        {"image.bin", noise, kStored},
        {"fw\\notes.txt", text, kPacked},
        {"fw\\deep\\empty.txt", "", kPacked},
        {"fw\\broken.bin", text, kPacked},
    };
    kelvane::test::PackageBuilder builder(std::string(4096, 'X'));
    size_t broken_offset = 0;
    for (const auto& [name, content, attributes] : files) {
      const size_t index = builder.AddFile(name, content, attributes);
      if (name == "fw\\broken.bin") broken_offset = builder.info(index).data_offset;
    }
    // A flipped byte in the middle of the deflate data: the stream fails part way.
    builder.data()[broken_offset + 200] ^= 0x55;
    const std::string path = folder.Write("package.bin", builder.Build());
    FUZZ_CHECK(!path.empty() && reader.Open(path));

    const ArchiveCursor root(reader.directory());
    for (const auto& [name, content, attributes] : files) {
      const ArchiveNode* node = root.Find(name);
      FUZZ_CHECK(node != nullptr);
      if (name == "fw\\broken.bin") {
        damaged.push_back(node);
      } else {
        contents[node] = content;
      }
    }
  }
};

Package& ThePackage() {
  static Package* package = new Package();  // lives for the process: sessions outlive inputs
  return *package;
}

// A connected socket pair; either end may be closed on its own.
struct SocketPair {
  kelvane::platform::UniqueSocket near;
  kelvane::platform::UniqueSocket far;
  // |small_buffers|: so that a far end closing early fails the sends still to come instead of
  // leaving the whole entry queued in the kernel.
  bool Open(bool small_buffers) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    near.Reset(fds[0]);
    far.Reset(fds[1]);
    if (small_buffers) {
      const int small = 4096;
      ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
      ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    return true;
  }
};

// One long-lived thread that runs one job at a time: starting a thread per connection costs
// more than a whole conversation under the sanitizers.
class Worker {
 public:
  Worker() : thread_([this] { Loop(); }) {}
  // Runs |job| on the worker; the previous job must have been waited for.
  void Start(std::function<void()> job) {
    std::lock_guard<std::mutex> hold(mutex_);
    job_ = std::move(job);
    busy_ = true;
    changed_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [this] { return !busy_; });
  }

 private:
  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [this] { return busy_ && job_; });
        job = std::move(job_);
        job_ = nullptr;
      }
      job();
      std::lock_guard<std::mutex> hold(mutex_);
      busy_ = false;
      changed_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  bool busy_ = false;
  std::thread thread_;  // last: starts once the fields above exist; never joined (process-long)
};

Worker& ClientWorker() {
  static Worker* worker = new Worker();
  return *worker;
}
Worker& DataWorker() {
  static Worker* worker = new Worker();
  return *worker;
}

// What one data connection carried.
struct Transfer {
  size_t limit = SIZE_MAX;             // bytes the far end reads before it closes
  std::string received;
  uint32_t counted = 0;                // what SendEntry counted as sent
  bool entry = false;                  // SendEntry was called
  const ArchiveNode* node = nullptr;   // the entry it named, when the name resolves
};

// A data connection whose far end reads up to a limit and then closes.
class FuzzDataConnection final : public kelvane::ftp::DataConnection {
 public:
  FuzzDataConnection(SocketPair pair, size_t limit, Transfer* record)
      : pair_(std::move(pair)), record_(record) {
    const int far = pair_.far.get();
    DataWorker().Start([far, limit, record] {
      char buffer[16384];
      while (record->received.size() < limit) {
        const size_t want = std::min(sizeof buffer, limit - record->received.size());
        const long n = kelvane::platform::ReceiveSome(far, buffer, want);
        if (n <= 0) break;
        record->received.append(buffer, static_cast<size_t>(n));
      }
      // A reader that stops early goes away: the sender's next send fails.
      kelvane::platform::ShutdownBoth(far);
    });
  }
  ~FuzzDataConnection() override { Close(); }

  bool Send(std::string_view bytes) override {
    return kelvane::platform::SendAll(pair_.near.get(), bytes.data(), bytes.size()) >= 0;
  }

  int SendEntry(FileArchiveReader& reader, const ArchiveCursor& cursor, std::string_view path,
                uint32_t* counter, const Progress& progress, uint32_t start,
                kelvane::net::SendEnd* end) override {
    record_->entry = true;
    record_->node = cursor.Find(path);
    const int code =
        kelvane::net::SendEntry(pair_.near.get(), reader, cursor, path, counter, progress, start,
                                end);
    record_->counted = *counter;
    return code;
  }

  void Close() override {
    if (!pair_.near.valid()) return;
    pair_.near.Reset();  // the reader sees the end of the data
    DataWorker().Wait();
    pair_.far.Reset();
  }

 private:
  SocketPair pair_;
  Transfer* record_;
};

class FuzzSession final : public kelvane::ftp::FtpSession {
 public:
  FuzzSession(kelvane::ftp::FtpDaemon& daemon, std::string_view schedule,
              std::vector<std::unique_ptr<Transfer>>* transfers)
      : FtpSession(daemon), schedule_(schedule), transfers_(transfers) {}

 protected:
  std::unique_ptr<kelvane::ftp::DataConnection> OpenDataConnection() override {
    const uint8_t fault =
        next_ < schedule_.size() ? static_cast<uint8_t>(schedule_[next_]) : 0;
    ++next_;
    if (fault == kRefuse) return nullptr;
    SocketPair pair;
    if (!pair.Open(fault != 0)) return nullptr;
    // Sends to a closed far end fail at once instead of raising SIGPIPE.
    kelvane::platform::IgnoreBrokenPipe();
    transfers_->push_back(std::make_unique<Transfer>());
    const size_t limit = fault == 0 ? SIZE_MAX : fault * kFaultUnit;
    transfers_->back()->limit = limit;
    return std::make_unique<FuzzDataConnection>(std::move(pair), limit, transfers_->back().get());
  }

 private:
  std::string_view schedule_;
  size_t next_ = 0;
  std::vector<std::unique_ptr<Transfer>>* transfers_;
};

// The reply lines in order, multi-line continuations included.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find("\r\n");
    if (end == std::string_view::npos) break;
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 2);
  }
  return lines;
}

void CheckTransfers(const Package& package, std::string_view replies,
                    const std::vector<std::unique_ptr<Transfer>>& transfers) {
  namespace reply = kelvane::ftp::reply;
  const std::string_view started(reply::kRetrStarted, sizeof reply::kRetrStarted - 3);
  const std::string_view complete(reply::kTransferComplete, sizeof reply::kTransferComplete - 3);

  std::vector<const Transfer*> entries;
  for (const auto& t : transfers) {
    if (t->entry) entries.push_back(t.get());
    // Neither the password entry's name (in a listing) nor its content ever leaves.
    FUZZ_CHECK(t->received.find(kSecret) == std::string::npos);
    FUZZ_CHECK(t->received.find("password.txt") == std::string::npos);
  }
  const std::vector<std::string_view> lines = Lines(replies);
  size_t retr = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != started) continue;
    FUZZ_CHECK(retr < entries.size());
    const Transfer& t = *entries[retr++];
    if (i + 1 >= lines.size() || lines[i + 1] != complete) continue;
    FUZZ_CHECK(t.node != nullptr);
    const auto intact = package.contents.find(t.node);
    FUZZ_CHECK(intact != package.contents.end());
    // "226" after a RETR: the session handed every byte of the entry to the data connection,
    // and what the far end read is that entry, whole when the far end read to the end.
    FUZZ_CHECK(t.counted == intact->second.size());
    FUZZ_CHECK(intact->second.compare(0, t.received.size(), t.received) == 0);
    FUZZ_CHECK(t.received.size() == intact->second.size() || t.received.size() == t.limit);
  }
  FUZZ_CHECK(retr == entries.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Package& package = ThePackage();
  static kelvane::ftp::FtpDaemon* daemon = [&package] {
    auto* d = new kelvane::ftp::FtpDaemon(package.reader);
    d->SetCommandTimeout(0);
    return d;
  }();

  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view schedule = input.substr(0, std::min(size, kScheduleSize));
  std::string_view commands = input.substr(schedule.size());
  if (commands.size() > kMaxCommandBytes) commands = commands.substr(0, kMaxCommandBytes);

  SocketPair control;
  FUZZ_CHECK(control.Open(false));
  // The client's side: its commands, then the end of its stream; the replies are collected on
  // a thread of their own so that the session never blocks on a full socket buffer.
  std::string replies;
  const int client = control.far.get();
  ClientWorker().Start([client, commands, &replies] {
    kelvane::platform::SendAll(client, commands.data(), commands.size());
    ::shutdown(client, SHUT_WR);
    char buffer[16384];
    for (;;) {
      const long n = kelvane::platform::ReceiveSome(client, buffer, sizeof buffer);
      if (n <= 0) break;
      replies.append(buffer, static_cast<size_t>(n));
    }
  });

  std::vector<std::unique_ptr<Transfer>> transfers;
  {
    FuzzSession session(*daemon, schedule, &transfers);
    session.Attach(control.near.get(), {kelvane::platform::kLoopback, 40000}, -1, daemon);
    session.ServeClient();
  }
  control.near.Reset();
  ClientWorker().Wait();
  CheckTransfers(package, replies, transfers);
  return 0;
}
