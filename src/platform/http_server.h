// CHttpServer: a small embedded HTTP/1.1 server (cpp-httplib underneath) for the operator's
// console, with requests and responses as plain structs so that the code above the platform
// layer never sees the library or a socket.
//
// One handler answers every GET and POST request; other methods get 405. Requests are served
// by a small pool of the server's own threads; bodies are capped at kHttpMaxBodyBytes.
//
// Threads: `Start` and `Stop` are called by the owner (one thread at a time); the handler runs
// on the server's threads, several at once, and must not call `Stop`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zelm {

inline constexpr size_t kHttpMaxBodyBytes = 64 * 1024;

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
};

class CHttpServer final {
 public:
  using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;

  CHttpServer();
  ~CHttpServer();  // stops the server
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  // Binds `address` (an IPv4 or IPv6 literal) and `port` (0 chooses a free one) and starts
  // serving with `handler` on a thread of its own. False when the address cannot be bound.
  bool Start(const std::string& address, uint16_t port, Handler handler);
  // The bound port (0 before a successful `Start`).
  uint16_t Port() const { return port_; }
  // Stops accepting, lets requests in progress finish and joins the server's threads.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
};

}  // namespace zelm
