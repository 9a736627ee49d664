// Owns the embedded HTTP server: cpp-httplib bound, served on its own thread, and stopped.
#include "platform/http_server.h"

#include <httplib.h>
#include <strings.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace zelm {
namespace {

// Each open page keeps one thread waiting for log entries.
constexpr int kServerThreads = 8;
// An idle keep-alive connection holds a pool thread; a short wait keeps `Stop` prompt.
constexpr time_t kKeepAliveSeconds = 1;
constexpr time_t kReadWriteSeconds = 5;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

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
  httplib::Server server;
  std::thread thread;
  std::atomic<bool> ended{false};  // the server's loop has returned (set on its thread)
};

CHttpServer::CHttpServer() = default;

CHttpServer::~CHttpServer() { Stop(); }

bool CHttpServer::Start(const std::string& address, uint16_t port, Handler handler) {
  Stop();
  auto impl = std::make_unique<Impl>();
  httplib::Server& server = impl->server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  server.set_read_timeout(kReadWriteSeconds);
  server.set_write_timeout(kReadWriteSeconds);
  server.set_payload_max_length(kHttpMaxBodyBytes);

  auto serve = [handler](const httplib::Request& in, httplib::Response& out) {
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
    handler(request, response);
    out.status = response.status;
    for (const auto& [name, value] : response.headers) out.set_header(name, value);
    out.set_content(response.body, response.contentType);
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
  if (bound <= 0) return false;
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
    return false;
  }
  impl_ = std::move(impl);
  return true;
}

void CHttpServer::Stop() {
  if (!impl_) return;
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_.reset();
  port_ = 0;
}

}  // namespace zelm
