// CHttpServer: a small embedded HTTP/1.1 server (cpp-httplib underneath) for the operator's
// console, with requests and responses as plain structs so that the code above the platform
// layer never sees the library or a socket.
//
// One handler answers every GET and POST request; other methods get 405. Bodies are capped at
// kHttpMaxBodyBytes. The listening socket has SO_REUSEADDR (a restart binds again while old
// connections linger in TIME_WAIT) and never SO_REUSEPORT, so a second server on a port in use
// fails to start instead of sharing the port's requests with the first.
//
// Threads. A pool of kHttpServerThreads threads serves ordinary requests. A thread whose work
// is waiting rather than serving leaves the pool for as long as it waits, and the pool starts
// another thread in its place, so that kHttpServerThreads threads stay free for ordinary
// requests however many pages wait:
//   - a long wait (a long poll) that its handler announces with CHttpLongWait;
//   - a stream (HttpResponse::stream, server-sent events), for its whole length;
//   - a connection between requests: an idle keep-alive connection, a request still arriving,
//     a response still going out. A client that opens connections and sends nothing therefore
//     costs a thread beside the pool, not one of the pool's (up to kHttpMaxIdleConnections of
//     them; beyond that a connection keeps a pool thread, as it would without this rule).
// Long waits and streams together are bounded by kHttpMaxWaits: one more is refused at once
// (CHttpLongWait::Granted is false, a stream is answered 503). A thread that is left over once
// the waits are over ends after it has been idle for a while (kHttpIdleThreadLingerMs), so a
// steady trickle of new connections does not start and end a thread each.
//
// `Start`, `Stop`, `SetIdleThreadLinger` and `Error` are called by the owner (one thread at a
// time). The handler and a response's stream function run on the server's threads, several at
// once; they must not call `Stop`, and `Stop` waits for them to return. `WaitCount` and
// `ThreadCount` may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zelm {

inline constexpr size_t kHttpMaxBodyBytes = 64 * 1024;
// Threads kept free for ordinary requests: at most this many ordinary requests are handled at
// once, the rest queue.
inline constexpr size_t kHttpServerThreads = 8;
// Long waits and streams open at once (open pages, `zelmftpctl log --follow` shells), each
// holding a thread beside the pool.
inline constexpr size_t kHttpMaxWaits = 128;
// Connections between requests that hold a thread beside the pool.
inline constexpr size_t kHttpMaxIdleConnections = 256;
// How long a thread beyond the pool stays idle before it ends.
inline constexpr int64_t kHttpIdleThreadLingerMs = 5000;

struct HttpRequest {
  std::string method;                                        // "GET", "POST"
  std::string path;                                          // without the query
  std::vector<std::pair<std::string, std::string>> query;    // decoded
  std::vector<std::pair<std::string, std::string>> headers;  // names as sent
  std::string body;
  std::string remoteAddress;
  uint16_t remotePort = 0;
  uint16_t localPort = 0;  // the port the request came in on

  // The first header of that name (letter case ignored), or empty.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
  // The first query parameter of that name, or empty.
  std::string Query(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // When set, the response is a stream and `body` is not sent: the status and headers go out
  // at once (chunked, no Content-Length; never compressed when the type is exactly
  // "text/event-stream"), then the server calls `stream` again and again on the request's
  // thread and sends what each call appended to `out` (nothing is sent for a call that
  // appended nothing). A call should block until it has something to send or about a second
  // has passed (one that returns at once with nothing keeps its thread spinning); `Stop` and
  // a client that has gone are noticed between calls. The stream ends cleanly when a call returns
  // false (what it appended is sent first) or the server stops, and is cut when the client
  // has gone or stops reading for the write timeout. An exception from `stream` cuts it too.
  // A stream counts as one long wait; when kHttpMaxWaits are open, the request is answered
  // 503 instead and `stream` is never called.
  std::function<bool(std::string& out)> stream;
};

class CHttpWorkers;

// Announces, for its scope, that the calling handler is about to wait long (up to some
// seconds) for something other than the request: a long poll. While granted, the handler's
// thread is not one of the pool's. `Granted` is false when kHttpMaxWaits long waits and
// streams are open already: the handler should answer at once instead of waiting.
//
//   CHttpLongWait wait;
//   if (wait.Granted()) log.WaitForChange(position, kLongPollMs);
//   ... answer ...
//
// Made on the handler's thread and ended there. Off the server's threads (a handler called
// directly, as in a unit test) it is always granted and changes nothing; inside another
// granted wait it is granted too and counts once.
class CHttpLongWait final {
 public:
  CHttpLongWait();
  ~CHttpLongWait();
  CHttpLongWait(const CHttpLongWait&) = delete;
  CHttpLongWait& operator=(const CHttpLongWait&) = delete;

  bool Granted() const { return granted_; }

 private:
  CHttpWorkers* workers_ = nullptr;  // the pool to give the wait back to; null when none
  bool granted_ = true;
};

class CHttpServer final {
 public:
  using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;

  CHttpServer();
  ~CHttpServer();  // stops the server
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  // Binds `address` (an IPv4 or IPv6 literal) and `port` (0 chooses a free one) and starts
  // serving with `handler` on threads of its own. False when the address cannot be bound or
  // listened on; `Error` then says why.
  bool Start(const std::string& address, uint16_t port, Handler handler);
  // Why the last `Start` failed, for the operator: "port 8021 of 127.0.0.1 is in use by
  // another program", or "cannot listen on port 8021 of 127.0.0.1: " and the system's text.
  // Empty after a successful `Start`.
  const std::string& Error() const { return error_; }
  // The bound port (0 before a successful `Start`).
  uint16_t Port() const { return port_; }
  // Stops accepting, ends open streams (after their current call), lets requests in progress
  // finish and joins the server's threads. Handlers blocked in long waits must be woken by
  // their owner before (the server cannot wake them); an idle keep-alive connection holds
  // `Stop` for up to a second.
  void Stop();

  // Long waits and streams open now (0 when the server is not running).
  size_t WaitCount() const;
  // The server's request threads now, the pool and those beside it (0 when not running).
  size_t ThreadCount() const;
  // How long a thread beyond the pool stays idle before it ends (kHttpIdleThreadLingerMs
  // unless set before `Start`; tests shorten it).
  void SetIdleThreadLinger(std::chrono::milliseconds linger) { linger_ = linger; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::string error_;
  std::chrono::milliseconds linger_{kHttpIdleThreadLingerMs};
};

}  // namespace zelm
