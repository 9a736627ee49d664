#include "platform/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zelm {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls `condition` until it holds or a generous deadline passes.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A blocking HTTP/1.1 client on one connection, enough to read heads and chunked bodies. Reads
// give up after 20 s, so a server that never answers fails the test instead of hanging it.
class CRawClient final {
 public:
  explicit CRawClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{20, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~CRawClient() { Close(); }
  CRawClient(const CRawClient&) = delete;
  CRawClient& operator=(const CRawClient&) = delete;

  bool Connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void Send(const std::string& path, const std::string& extra = "") {
    SendRaw("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n");
  }
  void SendRaw(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // The status line and headers; empty when the connection ended or timed out first.
  std::string ReadHead() {
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill()) return {};
    }
    std::string head = buffer_.substr(0, end + 4);
    buffer_.erase(0, end + 4);
    return head;
  }

  // A body of `length` bytes.
  std::string ReadBody(size_t length) {
    while (buffer_.size() < length) {
      if (!Fill()) break;
    }
    std::string body = buffer_.substr(0, length);
    buffer_.erase(0, body.size());
    return body;
  }

  // The next chunk of a chunked body; "" for the last (empty) chunk, nullopt when the
  // connection ended or timed out first.
  std::optional<std::string> ReadChunk() {
    size_t line;
    while ((line = buffer_.find("\r\n")) == std::string::npos) {
      if (!Fill()) return std::nullopt;
    }
    const size_t size = std::stoul(buffer_.substr(0, line), nullptr, 16);
    while (buffer_.size() < line + 2 + size + 2) {
      if (!Fill()) return std::nullopt;
    }
    std::string chunk = buffer_.substr(line + 2, size);
    buffer_.erase(0, line + 2 + size + 2);
    return chunk;
  }

  // Whether the server ended the connection (rather than the read timing out).
  bool SeesEnd() {
    char byte;
    for (;;) {
      const ssize_t got = ::recv(fd_, &byte, 1, 0);
      if (got == 0) return true;
      if (got < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
  }

 private:
  bool Fill() {
    char block[4096];
    const ssize_t got = ::recv(fd_, block, sizeof(block), 0);
    if (got <= 0) return false;
    buffer_.append(block, static_cast<size_t>(got));
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

struct Answer {
  int status = 0;
  std::string head;
  std::string body;
};

// One request on a connection of its own (the server's answers here all carry a length).
Answer Get(uint16_t port, const std::string& path) {
  CRawClient client(port);
  client.Send(path, "Connection: close\r\n");
  Answer answer;
  answer.head = client.ReadHead();
  if (answer.head.size() > 12) answer.status = std::stoi(answer.head.substr(9, 3));
  const size_t at = answer.head.find("Content-Length: ");
  if (at != std::string::npos)
    answer.body = client.ReadBody(std::stoul(answer.head.substr(at + 16)));
  return answer;
}

// A server whose handler plays the console's parts:
//   /plain                 an ordinary request: "ok"
//   /wait                  a long poll: waits until the gate opens ("waited"), or "refused"
//   /stream?n=N            a stream of "chunk 1\n" ... "chunk N\n", then its end
//   /stream                a stream that sends a chunk every few milliseconds for ever
//   /stream?quiet=1        a stream that sends nothing, each call blocking `quietMs`
struct CTestServer {
  CTestServer() {
    server.SetIdleThreadLinger(std::chrono::milliseconds(0));
    EXPECT_TRUE(server.Start(
        "127.0.0.1", 0,
        [this](const HttpRequest& request, HttpResponse& response) { Handle(request, response); }))
        << server.Error();
  }
  ~CTestServer() {
    Open();
    server.Stop();
  }

  void Open() {
    {
      std::lock_guard lock(mutex);
      open = true;
    }
    gate.notify_all();
  }
  // Waits up to `ms` for the gate; true once it is open.
  bool Pass(int ms) {
    std::unique_lock lock(mutex);
    return gate.wait_for(lock, std::chrono::milliseconds(ms), [this] { return open; });
  }

  void Handle(const HttpRequest& request, HttpResponse& response) {
    if (request.path == "/wait") {
      CHttpLongWait wait;
      if (!wait.Granted()) {
        response.body = "refused";
        return;
      }
      Pass(60'000);
      response.body = "waited";
    } else if (request.path == "/stream") {
      response.contentType = "text/event-stream";
      const int n = request.Query("n").empty() ? 0 : std::stoi(request.Query("n"));
      const bool quiet = request.Query("quiet") == "1";
      auto sent = std::make_shared<int>(0);
      response.stream = [this, n, quiet, sent](std::string& out) {
        // The console's stream function blocks up to a second for news; these briefly.
        if (quiet) {
          std::this_thread::sleep_for(std::chrono::milliseconds(quietMs));
          return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        out = "chunk " + std::to_string(++*sent) + "\n";
        return n == 0 || *sent < n;
      };
    } else {
      response.body = "ok";
    }
  }

  // An ordinary request's time, in seconds, after checking its answer.
  double TimePlain() {
    const auto start = Clock::now();
    const Answer answer = Get(server.Port(), "/plain");
    const double seconds = SecondsSince(start);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "ok");
    return seconds;
  }

  std::mutex mutex;
  std::condition_variable gate;
  bool open = false;
  int quietMs = 50;
  CHttpServer server;
};

std::vector<std::unique_ptr<CRawClient>> OpenRequests(uint16_t port, const std::string& path,
                                                      size_t count) {
  std::vector<std::unique_ptr<CRawClient>> clients;
  for (size_t i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<CRawClient>(port));
    EXPECT_TRUE(clients.back()->Connected());
    clients.back()->Send(path);
  }
  return clients;
}

TEST(HttpServer, OrdinaryRequestsAreAnsweredWhileSixtyWaitsSixtyStreamsAndIdleConnectionsAreOpen) {
  CTestServer test;
  const uint16_t port = test.server.Port();
  auto waits = OpenRequests(port, "/wait", 60);
  auto streams = OpenRequests(port, "/stream?quiet=1", 60);
  ASSERT_TRUE(Eventually([&] { return test.server.WaitCount() == 120; }))
      << test.server.WaitCount();
  // Connections whose request is still arriving (held for the read timeout of 5 s), as a slow
  // or hostile client's are: they get threads beside the pool too.
  std::vector<std::unique_ptr<CRawClient>> idle;
  for (int i = 0; i < 20; ++i) {
    idle.push_back(std::make_unique<CRawClient>(port));
    idle.back()->SendRaw("GET /plain HTTP/1.1\r\n");
  }
  EXPECT_TRUE(Eventually([&] { return test.server.ThreadCount() >= 140 + kHttpServerThreads; }))
      << test.server.ThreadCount();

  double slowest = 0;
  for (int i = 0; i < 5; ++i) slowest = std::max(slowest, test.TimePlain());
  std::printf("slowest of 5 ordinary requests beside 120 waits: %.1f ms\n", slowest * 1000);
  EXPECT_LT(slowest, 5.0);

  // The waits end; the threads beside the pool end once idle.
  test.Open();
  for (auto& wait : waits) {
    EXPECT_NE(wait->ReadHead(), "");
    EXPECT_EQ(wait->ReadBody(6), "waited");
  }
  waits.clear();
  streams.clear();
  idle.clear();
  EXPECT_TRUE(Eventually([&] { return test.server.WaitCount() == 0; }));
  EXPECT_TRUE(Eventually([&] { return test.server.ThreadCount() == kHttpServerThreads; }))
      << test.server.ThreadCount();
  EXPECT_LT(test.TimePlain(), 5.0);
}

TEST(HttpServer, TheWaitBeyondTheBoundIsRefusedAtOnce) {
  CTestServer test;
  const uint16_t port = test.server.Port();
  auto waits = OpenRequests(port, "/wait", kHttpMaxWaits / 2);
  auto streams = OpenRequests(port, "/stream?quiet=1", kHttpMaxWaits - kHttpMaxWaits / 2);
  ASSERT_TRUE(Eventually([&] { return test.server.WaitCount() == kHttpMaxWaits; }));

  // The gate stays shut: a wait that were granted would not answer until the end.
  const Answer wait = Get(port, "/wait");
  EXPECT_EQ(wait.body, "refused");
  const Answer stream = Get(port, "/stream?n=1");
  EXPECT_EQ(stream.status, 503) << stream.head;
  EXPECT_FALSE(stream.body.empty());
  EXPECT_EQ(test.server.WaitCount(), kHttpMaxWaits);

  // One stream leaves: a stream is granted again.
  streams.pop_back();
  ASSERT_TRUE(Eventually([&] { return test.server.WaitCount() == kHttpMaxWaits - 1; }));
  CRawClient again(port);
  again.Send("/stream?n=1");
  EXPECT_NE(again.ReadHead().find("200 OK"), std::string::npos);
  EXPECT_EQ(again.ReadChunk(), "chunk 1\n");
  EXPECT_EQ(again.ReadChunk(), "");

  // Off the server's threads nothing is counted.
  CHttpLongWait outside;
  EXPECT_TRUE(outside.Granted());
}

TEST(HttpServer, AStreamSendsItsChunksInOrderAndItsEndThenTheConnectionServesOn) {
  CTestServer test;
  CRawClient client(test.server.Port());
  // Chromium asks for compression; an event stream must come as it is written.
  client.Send("/stream?n=5", "Accept-Encoding: gzip, deflate, br\r\n");
  const std::string head = client.ReadHead();
  EXPECT_NE(head.find("HTTP/1.1 200 OK\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("Content-Type: text/event-stream\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
  EXPECT_EQ(head.find("Content-Encoding"), std::string::npos) << head;
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(client.ReadChunk(), "chunk " + std::to_string(i) + "\n");
  EXPECT_EQ(client.ReadChunk(), "");
  EXPECT_TRUE(Eventually([&] { return test.server.WaitCount() == 0; }));

  client.Send("/plain");
  EXPECT_NE(client.ReadHead().find("200 OK"), std::string::npos);
  EXPECT_EQ(client.ReadBody(2), "ok");
}

TEST(HttpServer, AStreamEndsWhenItsClientLeaves) {
  // A stream that keeps sending notices on a failed write; a quiet one must notice without.
  for (const char* path : {"/stream", "/stream?quiet=1"}) {
    SCOPED_TRACE(path);
    CTestServer test;
    CRawClient client(test.server.Port());
    client.Send(path);
    EXPECT_NE(client.ReadHead().find("200 OK"), std::string::npos);
    if (std::string(path) == "/stream") {
      for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(client.ReadChunk(), "chunk " + std::to_string(i) + "\n");
      }
    }
    ASSERT_TRUE(Eventually([&] { return test.server.WaitCount() == 1; }));
    client.Close();
    EXPECT_TRUE(Eventually([&] { return test.server.WaitCount() == 0; }));
  }
}

TEST(HttpServer, StopEndsOpenStreamsPromptly) {
  CTestServer test;
  test.quietMs = 200;
  auto streams = OpenRequests(test.server.Port(), "/stream?quiet=1", 10);
  ASSERT_TRUE(Eventually([&] { return test.server.WaitCount() == 10; }));
  for (auto& stream : streams) EXPECT_NE(stream->ReadHead(), "");

  const auto start = Clock::now();
  test.server.Stop();
  const double seconds = SecondsSince(start);
  std::printf("Stop with 10 streams open: %.0f ms\n", seconds * 1000);
  EXPECT_LT(seconds, 5.0);
  for (auto& stream : streams) {
    EXPECT_EQ(stream->ReadChunk(), "");  // the stream's end
    EXPECT_TRUE(stream->SeesEnd());
  }
}

TEST(HttpServer, ASecondServerOnTheSamePortFailsAndSaysWhy) {
  CTestServer first;
  const uint16_t port = first.server.Port();
  CHttpServer second;
  EXPECT_FALSE(second.Start("127.0.0.1", port, [](const HttpRequest&, HttpResponse&) {}));
  EXPECT_EQ(second.Error(),
            "port " + std::to_string(port) + " of 127.0.0.1 is in use by another program");
  // Every request still reaches the first.
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Get(port, "/plain").body, "ok");

  CHttpServer elsewhere;  // an address of no interface here (TEST-NET-1): nothing is sent
  EXPECT_FALSE(elsewhere.Start("192.0.2.1", 0, [](const HttpRequest&, HttpResponse&) {}));
  EXPECT_EQ(elsewhere.Error().rfind("cannot listen on port 0 of 192.0.2.1: ", 0), 0u)
      << elsewhere.Error();
}

TEST(HttpServer, ARestartBindsThePortWhileOldConnectionsLinger) {
  auto first = std::make_unique<CTestServer>();
  const uint16_t port = first->server.Port();
  // The server closes first, so the connection's end lingers in TIME_WAIT on its port.
  EXPECT_EQ(Get(port, "/plain").body, "ok");
  first.reset();
  CHttpServer again;
  EXPECT_TRUE(again.Start("127.0.0.1", port, [](const HttpRequest&, HttpResponse&) {}))
      << again.Error();
  EXPECT_EQ(again.Error(), "");
}

}  // namespace
}  // namespace zelm
