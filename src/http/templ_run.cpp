// http/templ_run.cpp -- templ's life: Run's loop, which accepts clients and collects the
// requests of many connections at once, the answer threads, Stop and WaitListening.
#include <algorithm>
#include <climits>
#include <cstring>
#include <system_error>

#include "http/templ.h"
#include "http/templ_request.h"

namespace kelvane::http {
namespace {

using std::chrono::milliseconds;

// The most one receive takes from a connection in one turn of the loop.
constexpr int kChunkSize = 4096;
// The least time a body gets, however short it is.
constexpr milliseconds kShortestBodyAllowance{1000};

using Clock = std::chrono::steady_clock;

// |ms| after |now|; never for 0 (no bound).
Clock::time_point Later(Clock::time_point now, int64_t ms) {
  return ms > 0 ? now + milliseconds(ms) : Clock::time_point::max();
}

}  // namespace

// A connection whose request is still coming in; Run's thread only.
struct templ::Incoming {
  Incoming(int line_size, int max_cookie) : head(line_size, max_cookie) {}

  std::unique_ptr<httpsock> client;
  platform::Ipv4Endpoint peer;
  RequestHead head;
  std::string body;
  Clock::time_point limit = Clock::time_point::max();         // for the head, then the body
  Clock::time_point silent_limit = Clock::time_point::max();  // the silence bound after a receive

  Clock::time_point deadline() const { return std::min(limit, silent_limit); }
};

bool templ::stop_requested() {
  std::lock_guard<std::mutex> hold(stop_lock_);
  return stop_requested_;
}

bool templ::PublishAnswering(platform::SocketHandle socket) {
  std::lock_guard<std::mutex> hold(stop_lock_);
  if (stop_requested_) return false;
  answering_sockets_.push_back(socket);
  return true;
}

void templ::WithdrawAnswering(platform::SocketHandle socket) {
  std::lock_guard<std::mutex> hold(stop_lock_);
  const auto it = std::find(answering_sockets_.begin(), answering_sockets_.end(), socket);
  if (it != answering_sockets_.end()) answering_sockets_.erase(it);
}

void templ::Stop() {
  std::lock_guard<std::mutex> hold(stop_lock_);
  stop_requested_ = true;
  // A listening socket that is shut down fails the next accept; a client socket that is shut
  // down makes a blocked send return. The loop itself wakes by the event.
  if (listening_socket_handle_ != platform::kInvalidSocket) {
    platform::ShutdownBoth(listening_socket_handle_);
  }
  for (const platform::SocketHandle socket : answering_sockets_) platform::ShutdownBoth(socket);
  wake_.Signal();
  listening_changed_.notify_all();
}

uint16_t templ::WaitListening(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> hold(stop_lock_);
  listening_changed_.wait_for(hold, bound, [this] {
    return listening_port_ != 0 || run_over_ || stop_requested_;
  });
  return stop_requested_ ? 0 : listening_port_;
}

bool templ::Run() {
  const auto end_run = [this] {
    std::lock_guard<std::mutex> hold(stop_lock_);
    listening_socket_handle_ = platform::kInvalidSocket;
    listening_port_ = 0;
    run_over_ = true;
    listening_changed_.notify_all();
  };
  bool stopped;
  {
    std::lock_guard<std::mutex> hold(stop_lock_);
    run_over_ = false;
    stopped = stop_requested_;
  }
  if (stopped) {
    end_run();
    return true;
  }
  if (!wake_.valid() || listen_socket_.Listen({listen_address_, Port}) != 0) {
    listen_socket_.Close();
    end_run();
    return false;
  }
  {
    std::lock_guard<std::mutex> hold(stop_lock_);
    stopped = stop_requested_;
    if (!stopped) {
      listening_socket_handle_ = listen_socket_.handle();
      listening_port_ = platform::LocalPort(listening_socket_handle_);
      listening_changed_.notify_all();
    }
  }
  if (stopped) {
    listen_socket_.Close();
    end_run();
    return true;
  }

  Trace("Start HTTP Server. Root path='%s'\n", RootPath.c_str());
  ServeLoop();
  EndAnswerThreads();
  end_run();
  listen_socket_.Close();
  return true;
}

void templ::ServeLoop() {
  {
    std::lock_guard<std::mutex> hold(queue_lock_);
    answers_closing_ = false;
  }
  std::vector<std::unique_ptr<Incoming>> incoming;
  platform::Poller poller;
  std::vector<char> chunk(kChunkSize);
  Clock::time_point accept_resumes{};
  while (!stop_requested()) {
    const Clock::time_point now = Clock::now();
    for (size_t i = incoming.size(); i-- > 0;) {
      if (incoming[i]->deadline() > now) continue;
      DropConnection(*incoming[i], true);
      incoming.erase(incoming.begin() + static_cast<std::ptrdiff_t>(i));
    }
    Clock::time_point wake_at = Clock::time_point::max();
    for (const auto& connection : incoming) wake_at = std::min(wake_at, connection->deadline());
    const bool accepting = now >= accept_resumes;
    if (!accepting) wake_at = std::min(wake_at, accept_resumes);

    // Slot 0 is the wake event, slot 1 the listening socket (-1, never ready, while accepting
    // rests), then one slot per incoming connection in list order.
    poller.Clear();
    poller.Add(wake_.handle());
    poller.Add(accepting ? listen_socket_.handle() : platform::kInvalidSocket);
    for (const auto& connection : incoming) poller.Add(connection->client->handle());
    int timeout_ms = -1;
    if (wake_at != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<milliseconds>(wake_at - now).count();
      timeout_ms = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
    }
    if (poller.Wait(timeout_ms) <= 0) continue;

    if (poller.Readable(0)) wake_.Drain();
    for (size_t i = incoming.size(); i-- > 0;) {
      if (!poller.Readable(2 + i)) continue;
      if (Collect(incoming[i], chunk.data(), kChunkSize)) {
        incoming.erase(incoming.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    if (accepting && poller.Readable(1) && !AcceptOne(incoming, &accept_resumes)) break;
  }
  for (const auto& connection : incoming) DropConnection(*connection, false);
}

bool templ::AcceptOne(std::vector<std::unique_ptr<Incoming>>& incoming,
                      Clock::time_point* resume) {
  auto connection = std::make_unique<Incoming>(LineSize, MaxCookie);
  connection->client = std::make_unique<httpsock>();
  httpsock& client = *connection->client;
  const platform::Ipv4Endpoint& peer = connection->peer;
  // The listening socket stays blocking: poll has just reported a client waiting, and Accept
  // would count "none waiting" on a non-blocking socket as a transient failure.
  platform::AcceptError error;
  if (listen_socket_.Accept(client, &connection->peer, &error) != 0) {
    if (error.failure != platform::AcceptFailure::kTransient) return false;
    Trace("OnAcceptFailed(reason='%s'): accepting again in %d ms\n", error.reason.c_str(),
          static_cast<int>(kAcceptPause.count()));
    *resume = Clock::now() + kAcceptPause;
    return true;
  }
  client.SetTimeouts(silence_ms_);
  if (!OnAcceptConnection(client, peer.address, peer.port)) {
    client.Close();
    return true;
  }
  const Clock::time_point now = Clock::now();
  connection->limit = Later(now, head_timeout_ms_);
  connection->silent_limit = Later(now, silence_ms_);
  incoming.push_back(std::move(connection));
  return true;
}

RequestHead::LineObserver templ::HeadTracer() {
  return [this](int number, const char* text) { Trace("%d: '%s'\n", number, text); };
}

bool templ::Collect(std::unique_ptr<Incoming>& connection, char* chunk, int chunk_size) {
  Incoming& c = *connection;
  const long n = c.client->ReceiveAvailable(chunk, chunk_size);
  if (n == platform::kNothingWaiting) return false;
  if (n < 0) {
    DropConnection(c, true);
    return true;
  }
  const Clock::time_point now = Clock::now();
  c.silent_limit = Later(now, silence_ms_);
  const bool head_was_complete = c.head.complete();
  size_t used = 0;
  if (n == 0) {
    c.head.End(HeadTracer());
  } else if (!head_was_complete) {
    used = c.head.Feed(chunk, static_cast<size_t>(n), HeadTracer());
  }
  if (!c.head.complete()) return false;
  if (c.head.empty()) {
    DropConnection(c, false);
    return true;
  }
  const size_t length = static_cast<size_t>(c.head.body_length());
  if (!head_was_complete && length > 0) {
    Trace("cbContent=%d\n", c.head.body_length());
    const int64_t allowance =
        minimum_body_rate_ > 0
            ? std::max<int64_t>(kShortestBodyAllowance.count(),
                                static_cast<int64_t>(length) * 1000 / minimum_body_rate_)
            : 0;
    c.limit = Later(now, allowance);
  }
  if (n > 0) {
    const size_t take = std::min(static_cast<size_t>(n) - used, length - c.body.size());
    c.body.append(chunk + used, take);
    if (c.body.size() < length) return false;
  }
  // Bytes after the announced body are not read: one request per connection.
  auto request = std::make_unique<Request>();
  request->client = std::move(c.client);
  request->peer = c.peer;
  request->kind = c.head.kind();
  request->target = c.head.target();
  request->cookie = c.head.cookie();
  request->body = std::move(c.body);
  Submit(std::move(request));
  return true;
}

void templ::DropConnection(Incoming& connection, bool failed) {
  if (failed) {
    Trace("OnReceiveFailed(cli=0x%X:%d)\n", connection.peer.address, connection.peer.port);
  }
  connection.client->Shutdown();
  connection.client->Close();
}

void templ::Submit(std::unique_ptr<Request> request) {
  std::unique_lock<std::mutex> hold(queue_lock_);
  queue_.push_back(std::move(request));
  if (static_cast<int>(queue_.size()) > idle_answer_threads_ &&
      static_cast<int>(answer_threads_.size()) < kMaxAnswerThreads) {
    try {
      answer_threads_.emplace_back(&templ::AnswerThreadBody, this);
      ++idle_answer_threads_;  // until it takes a request
    } catch (const std::system_error&) {
      if (answer_threads_.empty()) {
        // Without any answer thread the loop answers by itself rather than never.
        std::unique_ptr<Request> own = std::move(queue_.back());
        queue_.pop_back();
        hold.unlock();
        AnswerBuffers buffers(RootLength + MaxUrl + kIndexRoom, MaxCookie + 1, LineSize + 1,
                              MaxVariables);
        Answer(*own, buffers);
        return;
      }
    }
  }
  hold.unlock();
  queue_changed_.notify_one();
}

void templ::AnswerThreadBody() {
  AnswerBuffers buffers(RootLength + MaxUrl + kIndexRoom, MaxCookie + 1, LineSize + 1,
                        MaxVariables);
  std::unique_lock<std::mutex> hold(queue_lock_);
  for (;;) {
    queue_changed_.wait(hold, [this] { return !queue_.empty() || answers_closing_; });
    if (queue_.empty()) break;
    std::unique_ptr<Request> request = std::move(queue_.front());
    queue_.pop_front();
    --idle_answer_threads_;
    hold.unlock();
    Answer(*request, buffers);
    request.reset();
    hold.lock();
    ++idle_answer_threads_;
  }
  --idle_answer_threads_;
}

void templ::Answer(Request& request, AnswerBuffers& buffers) {
  httpsock& client = *request.client;
  // After Stop, a request still queued is closed unanswered.
  if (PublishAnswering(client.handle())) {
    ServeRequest(request, buffers);
    WithdrawAnswering(client.handle());
  }
  client.Shutdown();
  client.Close();
}

void templ::EndAnswerThreads() {
  {
    std::lock_guard<std::mutex> hold(queue_lock_);
    answers_closing_ = true;
  }
  queue_changed_.notify_all();
  for (std::thread& thread : answer_threads_) {
    if (thread.joinable()) thread.join();
  }
  answer_threads_.clear();
}

}  // namespace kelvane::http
