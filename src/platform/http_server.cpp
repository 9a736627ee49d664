// Owns the embedded HTTP server: cpp-httplib bound without SO_REUSEPORT, served by a pool of
// our own that long waits, streams and idle connections step out of, and stopped.
#include "platform/http_server.h"

#include <httplib.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

#include "platform/error.h"
#include "platform/thread_annotations.h"

namespace zelm {
namespace {

// An idle keep-alive connection is closed after this long; `Stop` waits for it as well.
constexpr time_t kKeepAliveSeconds = 1;
constexpr size_t kKeepAliveRequests = 100;
constexpr time_t kReadWriteSeconds = 5;
// The library listens with a backlog of 5: fifty pages that reconnect at once after a restart
// would overflow it and wait for the client's SYN retransmit (a second). The listening socket
// is given the system's largest backlog instead.
constexpr int kListenBacklog = SOMAXCONN;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Why `address` port `port` cannot be listened on: the library does not keep bind's errno, so
// a socket set up as the server's tries again and reports what the system says.
std::string ListenFailure(const std::string& address, uint16_t port) {
  const std::string where = "port " + std::to_string(port) + " of " + address;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 ||
      found == nullptr) {
    return "cannot listen on " + address + ": not an IP address";
  }
  int err = 0;
  const int probe = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    err = errno;
  } else {
    const int yes = 1;
    ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (found->ai_family == AF_INET6) {
      ::setsockopt(probe, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof(yes));
    }
    if (::bind(probe, found->ai_addr, found->ai_addrlen) != 0 || ::listen(probe, 1) != 0) {
      err = errno;
    }
    ::close(probe);
  }
  ::freeaddrinfo(found);
  if (err == EADDRINUSE) return where + " is in use by another program";
  std::string text;
  if (err != 0 && GetSystemErrorText(err, text)) return "cannot listen on " + where + ": " + text;
  return "cannot listen on " + where;
}

}  // namespace

// The server's request threads. Each thread is in one state: idle (waiting for a connection to
// serve), on a connection between requests, in a handler, or waiting (a long wait or a
// stream). Waiting threads, and connections up to kHttpMaxIdleConnections, are "away": they
// do not count as the pool's, and the pool starts threads until kHttpServerThreads threads
// that are not away exist. A thread beyond that which has been idle for the linger ends.
//
// The listening thread enqueues connections; every other operation is called by a request
// thread about itself (the slot of the calling thread, found through a thread-local pointer).
// Everything is guarded by `mutex_`.
class CHttpWorkers final {
 public:
  enum class State { kIdle, kConnection, kHandler, kWaiting };

  explicit CHttpWorkers(std::chrono::milliseconds linger) : linger_(linger) {}
  ~CHttpWorkers() { Shutdown(); }
  CHttpWorkers(const CHttpWorkers&) = delete;
  CHttpWorkers& operator=(const CHttpWorkers&) = delete;

  // Starts the pool's threads.
  void Open() ZELM_EXCLUDES(mutex_) {
    CMutexLock lock(mutex_);
    shutdown_ = false;
    GrowLocked();
  }

  // Queues a connection's work (the listening thread).
  void Enqueue(std::function<void()> job) ZELM_EXCLUDES(mutex_) {
    {
      CMutexLock lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

  // Runs what is queued, lets every thread end and joins them.
  void Shutdown() ZELM_EXCLUDES(mutex_) {
    std::vector<std::thread> ended;
    {
      CMutexLock lock(mutex_);
      shutdown_ = true;
      wake_.notify_all();
      std::unique_lock native(mutex_.Native(), std::adopt_lock);
      while (live_ != 0) allEnded_.wait(native);
      native.release();
      ended.swap(ended_);
    }
    for (std::thread& thread : ended) thread.join();
  }

  // The pool the calling thread belongs to, or null off the server's threads.
  static CHttpWorkers* OfThisThread() { return current_; }

  // The calling thread's state becomes `to` (not kWaiting: see BeginWait).
  void Move(State to) ZELM_EXCLUDES(mutex_) {
    CMutexLock lock(mutex_);
    MoveLocked(*slot_, to);
  }
  State StateOfThisThread() ZELM_EXCLUDES(mutex_) {
    CMutexLock lock(mutex_);
    return slot_->state;
  }
  // The calling thread starts waiting, unless kHttpMaxWaits wait already.
  bool BeginWait() ZELM_EXCLUDES(mutex_) {
    CMutexLock lock(mutex_);
    if (waits_ >= kHttpMaxWaits) return false;
    MoveLocked(*slot_, State::kWaiting);
    return true;
  }

  size_t Waits() const ZELM_EXCLUDES(mutex_) {
    CMutexLock lock(mutex_);
    return waits_;
  }
  size_t Threads() const ZELM_EXCLUDES(mutex_) {
    CMutexLock lock(mutex_);
    return live_;
  }

 private:
  struct Slot {
    State state = State::kIdle;
    bool away = false;
  };

  bool SurplusLocked() const ZELM_REQUIRES(mutex_) { return live_ - away_ > kHttpServerThreads; }

  void MoveLocked(Slot& slot, State to) ZELM_REQUIRES(mutex_) {
    const bool wasAway = slot.away;
    if (slot.state == State::kWaiting) --waits_;
    if (slot.state == State::kConnection && slot.away) --connections_;
    if (slot.away) --away_;
    slot.away = false;
    if (to == State::kWaiting) {
      ++waits_;
      slot.away = true;
    } else if (to == State::kConnection && connections_ < kHttpMaxIdleConnections) {
      ++connections_;
      slot.away = true;
    }
    if (slot.away) ++away_;
    slot.state = to;
    if (slot.away && !wasAway) {
      GrowLocked();
    } else if (wasAway && !slot.away && SurplusLocked()) {
      wake_.notify_all();  // idle threads start their linger
    }
  }

  // Starts threads until kHttpServerThreads of them are not away.
  void GrowLocked() ZELM_REQUIRES(mutex_) {
    while (!shutdown_ && live_ - away_ < kHttpServerThreads) {
      try {
        std::thread thread([this] { Run(); });
        threads_.emplace(thread.get_id(), std::move(thread));
      } catch (const std::system_error&) {
        return;  // no more threads for now; those there are serve on
      }
      ++live_;
    }
  }

  void Run() ZELM_EXCLUDES(mutex_) {
    Slot slot;
    current_ = this;
    slot_ = &slot;
    for (;;) {
      std::function<void()> job;
      std::vector<std::thread> ended;
      bool taken = false;
      {
        CMutexLock lock(mutex_);
        taken = NextJobLocked(slot, job, ended);
      }
      for (std::thread& thread : ended) thread.join();
      if (!taken) return;
      try {
        job();
      } catch (...) {
        // A failure ends the connection, never the process.
      }
      job = nullptr;
      Move(State::kIdle);
    }
  }

  // Waits for a job and takes it (the thread's state becomes kConnection). False when the
  // thread is to end: it has taken itself off the running threads and hands back in `ended`
  // the threads that ended before it, for joining, so that at most one is left unjoined.
  bool NextJobLocked(Slot& slot, std::function<void()>& job, std::vector<std::thread>& ended)
      ZELM_REQUIRES(mutex_) {
    std::unique_lock native(mutex_.Native(), std::adopt_lock);
    bool lingered = false;
    for (;;) {
      if (!jobs_.empty()) {
        job = std::move(jobs_.front());
        jobs_.pop_front();
        MoveLocked(slot, State::kConnection);
        native.release();
        return true;
      }
      if (shutdown_ || (lingered && SurplusLocked())) break;
      if (SurplusLocked()) {
        lingered = wake_.wait_for(native, linger_) == std::cv_status::timeout;
      } else {
        lingered = false;
        wake_.wait(native);
      }
    }
    ended.swap(ended_);
    auto self = threads_.extract(std::this_thread::get_id());
    ended_.push_back(std::move(self.mapped()));
    --live_;
    if (live_ == 0) allEnded_.notify_all();
    native.release();
    return false;
  }

  static thread_local CHttpWorkers* current_;
  static thread_local Slot* slot_;

  const std::chrono::milliseconds linger_;
  mutable CMutex mutex_;
  std::condition_variable wake_;      // a job, a shutdown, a thread left over
  std::condition_variable allEnded_;  // live_ reached 0
  std::deque<std::function<void()>> jobs_ ZELM_GUARDED_BY(mutex_);
  std::map<std::thread::id, std::thread> threads_ ZELM_GUARDED_BY(mutex_);  // running
  std::vector<std::thread> ended_ ZELM_GUARDED_BY(mutex_);  // returned from Run, to join
  size_t live_ ZELM_GUARDED_BY(mutex_) = 0;                 // threads_.size()
  size_t away_ ZELM_GUARDED_BY(mutex_) = 0;
  size_t waits_ ZELM_GUARDED_BY(mutex_) = 0;
  size_t connections_ ZELM_GUARDED_BY(mutex_) = 0;  // away on a connection
  bool shutdown_ ZELM_GUARDED_BY(mutex_) = false;
};

thread_local CHttpWorkers* CHttpWorkers::current_ = nullptr;
thread_local CHttpWorkers::Slot* CHttpWorkers::slot_ = nullptr;

namespace {

// What the library's listening loop takes: the loop deletes its queue when it returns, the
// pool stays with the server.
class CTaskQueueHandle final : public httplib::TaskQueue {
 public:
  explicit CTaskQueueHandle(CHttpWorkers& workers) : workers_(workers) { workers_.Open(); }
  void enqueue(std::function<void()> fn) override { workers_.Enqueue(std::move(fn)); }
  void shutdown() override { workers_.Shutdown(); }

 private:
  CHttpWorkers& workers_;
};

// The handler's part of a request: the thread is in the handler from here on, and on the
// connection again afterwards unless it went on to wait (a stream).
class CHandlerScope final {
 public:
  CHandlerScope() : workers_(CHttpWorkers::OfThisThread()) {
    if (workers_ != nullptr) workers_->Move(CHttpWorkers::State::kHandler);
  }
  ~CHandlerScope() {
    if (workers_ != nullptr && workers_->StateOfThisThread() == CHttpWorkers::State::kHandler) {
      workers_->Move(CHttpWorkers::State::kConnection);
    }
  }
  CHandlerScope(const CHandlerScope&) = delete;
  CHandlerScope& operator=(const CHandlerScope&) = delete;

 private:
  CHttpWorkers* workers_;
};

}  // namespace

CHttpLongWait::CHttpLongWait() {
  CHttpWorkers* workers = CHttpWorkers::OfThisThread();
  if (workers == nullptr || workers->StateOfThisThread() == CHttpWorkers::State::kWaiting) return;
  granted_ = workers->BeginWait();
  if (granted_) workers_ = workers;
}

CHttpLongWait::~CHttpLongWait() {
  if (workers_ != nullptr) workers_->Move(CHttpWorkers::State::kHandler);
}

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameName(key, name)) return value;
  }
  return {};
}

bool HttpRequest::HasHeader(std::string_view name) const {
  for (const auto& header : headers) {
    if (SameName(header.first, name)) return true;
  }
  return false;
}

std::string HttpRequest::Query(std::string_view name) const {
  for (const auto& [key, value] : query) {
    if (key == name) return value;
  }
  return {};
}

struct CHttpServer::Impl {
  explicit Impl(std::chrono::milliseconds linger) : workers(linger) {}

  CHttpWorkers workers;  // outlives the library's server, whose threads it runs
  httplib::Server server;
  std::thread thread;
  std::atomic<bool> ended{false};     // the server's loop has returned (set on its thread)
  std::atomic<bool> stopping{false};  // `Stop` has begun: streams end
  int listening = -1;                 // the listening socket, once bound (Start only)
};

namespace {

// Sends `stream` as the response's chunked body. The thread waits from here until the
// response is gone (the library calls the releaser when it drops the response).
void SetStream(httplib::Response& out, CHttpWorkers& workers, const std::string& contentType,
               std::function<bool(std::string&)> stream, const std::atomic<bool>& stopping) {
  out.set_chunked_content_provider(
      contentType,
      [stream = std::move(stream), &stopping](size_t, httplib::DataSink& sink) {
        if (stopping) {
          sink.done();
          return true;
        }
        // A peer that has closed is seen here even by a stream that has nothing to send.
        if (!sink.is_writable()) return false;
        std::string chunk;
        bool more = false;
        try {
          more = stream(chunk);
        } catch (...) {
          return false;
        }
        // An empty write would end the body: nothing is written for an empty call.
        if (!chunk.empty() && !sink.write(chunk.data(), chunk.size())) return false;
        if (!more || stopping) sink.done();
        return true;
      },
      [&workers](bool) { workers.Move(CHttpWorkers::State::kConnection); });
}

}  // namespace

CHttpServer::CHttpServer() = default;

CHttpServer::~CHttpServer() { Stop(); }

bool CHttpServer::Start(const std::string& address, uint16_t port, Handler handler) {
  Stop();
  error_.clear();
  auto impl = std::make_unique<Impl>(linger_);
  httplib::Server& server = impl->server;
  CHttpWorkers& workers = impl->workers;
  server.new_task_queue = [&workers] { return new CTaskQueueHandle(workers); };
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  server.set_keep_alive_max_count(kKeepAliveRequests);
  server.set_read_timeout(kReadWriteSeconds);
  server.set_write_timeout(kReadWriteSeconds);
  server.set_payload_max_length(kHttpMaxBodyBytes);
  // The library writes a response's headers and its body apart: with Nagle's delay the body
  // waited for the client's delayed acknowledgement of the headers, 40 ms a request.
  server.set_tcp_nodelay(true);
  // The library's default adds SO_REUSEPORT, which lets a second program bind the same port
  // and take half of its requests.
  int& listening = impl->listening;
  server.set_socket_options([&listening](int sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    listening = sock;
  });

  const std::atomic<bool>& stopping = impl->stopping;
  auto serve = [handler, &workers, &stopping](const httplib::Request& in, httplib::Response& out) {
    HttpRequest request;
    request.method = in.method;
    request.path = in.path;
    for (const auto& param : in.params) request.query.emplace_back(param.first, param.second);
    for (const auto& header : in.headers) request.headers.emplace_back(header.first, header.second);
    request.body = in.body;
    request.remoteAddress = in.remote_addr;
    if (in.remote_port > 0 && in.remote_port <= 0xFFFF) {
      request.remotePort = static_cast<uint16_t>(in.remote_port);
    }
    if (in.local_port > 0 && in.local_port <= 0xFFFF) {
      request.localPort = static_cast<uint16_t>(in.local_port);
    }
    HttpResponse response;
    CHandlerScope scope;
    handler(request, response);
    if (response.stream && !workers.BeginWait()) {
      out.status = 503;
      out.set_content("Too many open pages and streams; try again later\n",
                      "text/plain; charset=utf-8");
      return;
    }
    out.status = response.status;
    for (const auto& [name, value] : response.headers) out.set_header(name, value);
    if (response.stream) {
      SetStream(out, workers, response.contentType, std::move(response.stream), stopping);
    } else {
      out.set_content(response.body, response.contentType);
    }
  };
  server.Get(".*", serve);
  server.Post(".*", serve);
  auto refuse = [](const httplib::Request&, httplib::Response& out) {
    out.status = 405;
    out.set_content("Method not allowed\n", "text/plain; charset=utf-8");
  };
  server.Put(".*", refuse);
  server.Patch(".*", refuse);
  server.Delete(".*", refuse);
  server.Options(".*", refuse);
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& out, std::exception_ptr) {
        out.status = 500;
        out.set_content("Internal error\n", "text/plain; charset=utf-8");
      });

  int bound = 0;
  if (port == 0) {
    bound = server.bind_to_any_port(address);
  } else if (server.bind_to_port(address, port)) {
    bound = port;
  }
  if (bound <= 0) {
    error_ = ListenFailure(address, port);
    return false;
  }
  if (listening >= 0) ::listen(listening, kListenBacklog);
  port_ = static_cast<uint16_t>(bound);
  // The flag lives as long as the thread's owner: the loop returns long after Start did.
  std::atomic<bool>& ended = impl->ended;
  ended = false;
  impl->thread = std::thread([&server, &ended] {
    server.listen_after_bind();
    ended = true;
  });
  // The library's stop() does nothing until its loop runs, so a stop that came too early
  // would leave the thread in accept() for ever: return only once it runs.
  while (!server.is_running() && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (ended) {
    impl->thread.join();
    port_ = 0;
    error_ = "cannot listen on port " + std::to_string(bound) + " of " + address;
    return false;
  }
  impl_ = std::move(impl);
  return true;
}

void CHttpServer::Stop() {
  if (!impl_) return;
  impl_->stopping = true;
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_.reset();
  port_ = 0;
}

size_t CHttpServer::WaitCount() const { return impl_ ? impl_->workers.Waits() : 0; }

size_t CHttpServer::ThreadCount() const { return impl_ ? impl_->workers.Threads() : 0; }

}  // namespace zelm
