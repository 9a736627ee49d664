#include "net/completion_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/loopback_test_util.h"
#include "net/zm_socket.h"
#include "platform/temp_folder.h"
#include "platform/tls.h"
#include "platform/tls_certificate.h"

namespace zelm {
namespace {

using testing::LoopbackListener;
using testing::LoopbackPair;
using testing::SendAll;
using testing::WaitUntil;

// Everything the worker hands to a set of upload sockets, in the order it did.
struct UploadLog {
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> deliveries;  // (socket id, bytes)
  std::atomic<int> closed{0};
};

// An upload socket in the manner of a data connection: writes what arrives, asks for more.
class CUploadSocket final : public CZmSocket {
 public:
  CUploadSocket(UploadLog& log, int id) : log_(log), id_(id) {}
  ~CUploadSocket() override { CloseSocket(false); }

  std::atomic<bool> closedCalled{false};
  std::atomic<uint32_t> deferAfterFirst{0};

  void OnIoReceived(uint8_t* data, size_t count, size_t, bool more) override {
    {
      std::lock_guard<std::mutex> lock(log_.mutex);
      log_.deliveries.emplace_back(id_, std::string(reinterpret_cast<char*>(data), count));
    }
    if (uint32_t ms = deferAfterFirst.exchange(0)) DeferReceive(ms);
    if (more) Receive(nullptr, 0, true);
  }
  void OnClosed(bool, bool) override {
    closedCalled = true;
    ++log_.closed;
  }

  std::string Received() {
    std::lock_guard<std::mutex> lock(log_.mutex);
    std::string all;
    for (auto& [id, bytes] : log_.deliveries) {
      if (id == id_) all += bytes;
    }
    return all;
  }

 private:
  UploadLog& log_;
  const int id_;
};

// Attaches the accepted end of `pair` to `socket`, moves it to the worker and posts a read.
void StartUpload(CUploadSocket& socket, LoopbackPair& pair) {
  int error = 0;
  ASSERT_TRUE(socket.Attach(pair.TakeServer(), CEventObject::Create(error)));
  ASSERT_TRUE(socket.UseCompletionPort());
  EXPECT_TRUE(socket.UseCompletionPort());  // a second move changes nothing
  EXPECT_TRUE(socket.IsInCompletionMode());
  EXPECT_EQ(socket.Receive(nullptr, 0, true), 0);
}

TEST(CompletionPort, TwoUploadsAreInterleavedInArrivalOrder) {
  UploadLog log;
  LoopbackPair pairA, pairB;
  CUploadSocket a(log, 1), b(log, 2);
  StartUpload(a, pairA);
  StartUpload(b, pairB);

  const char* chunks[] = {"a1", "b1", "a2", "b2"};
  for (size_t i = 0; i < 4; ++i) {
    SendAll(i % 2 == 0 ? pairA.client : pairB.client, chunks[i]);
    ASSERT_TRUE(WaitUntil([&] {
      std::lock_guard<std::mutex> lock(log.mutex);
      return log.deliveries.size() == i + 1;
    }));
  }
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(log.deliveries[i].second, chunks[i]);
  }

  CloseSocket(pairA.client);
  pairA.client = kInvalidSocket;
  ASSERT_TRUE(WaitUntil([&] { return a.closedCalled.load(); }));
  EXPECT_FALSE(a.IsValid());
  EXPECT_FALSE(a.IsInCompletionMode());
  EXPECT_FALSE(b.closedCalled);
}

TEST(CompletionPort, ZeroByteFirstCompletionClosesTheSocket) {
  UploadLog log;
  LoopbackPair pair;
  CUploadSocket socket(log, 1);
  StartUpload(socket, pair);
  CloseSocket(pair.client);
  pair.client = kInvalidSocket;

  ASSERT_TRUE(WaitUntil([&] { return socket.closedCalled.load(); }));
  EXPECT_FALSE(socket.IsValid());
  EXPECT_TRUE(log.deliveries.empty());
}

TEST(CompletionPort, DeferredUploadDoesNotHoldUpTheOthers) {
  UploadLog log;
  LoopbackPair slowPair, fastPair;
  CUploadSocket slow(log, 1), fast(log, 2);
  StartUpload(slow, slowPair);
  StartUpload(fast, fastPair);
  slow.deferAfterFirst = 300;

  SendAll(slowPair.client, "s1");
  ASSERT_TRUE(WaitUntil([&] { return slow.Received() == "s1"; }));
  auto deferredAt = std::chrono::steady_clock::now();
  SendAll(slowPair.client, "s2");
  for (const char* chunk : {"f1", "f2", "f3"}) {
    std::string before = fast.Received();
    SendAll(fastPair.client, chunk);
    ASSERT_TRUE(WaitUntil([&] { return fast.Received() == before + chunk; }));
  }
  EXPECT_EQ(slow.Received(), "s1");  // still waiting
  ASSERT_TRUE(WaitUntil([&] { return slow.Received() == "s1s2"; }));
  EXPECT_GE(std::chrono::steady_clock::now() - deferredAt, std::chrono::milliseconds(250));
}

TEST(CompletionPort, ManyUploadsClosingAtOnceLeaveNoContextBehind) {
  // Run under the sanitizer build: closes by the peer, closes by the owner and destruction
  // race with reports still queued for the same sockets.
  constexpr int kUploads = 48;
  UploadLog log;
  LoopbackListener listener;
  std::vector<SocketHandle> clients;
  std::vector<std::unique_ptr<CUploadSocket>> sockets;
  for (int i = 0; i < kUploads; ++i) {
    clients.push_back(listener.ConnectClient());
    auto socket = std::make_unique<CUploadSocket>(log, i);
    int error = 0;
    ASSERT_TRUE(socket->Attach(listener.AcceptOne(), CEventObject::Create(error)));
    ASSERT_TRUE(socket->UseCompletionPort());
    socket->Receive(nullptr, 0, true);
    sockets.push_back(std::move(socket));
  }
  const std::string chunk(8192, 'u');
  for (SocketHandle client : clients) SendAll(client, chunk);
  // A third closed by their peers, a third by their owner, a third destroyed outright.
  for (int i = 0; i < kUploads; i += 3) CloseSocket(clients[i]);
  for (int i = 1; i < kUploads; i += 3) sockets[i]->Close(false);
  for (int i = 2; i < kUploads; i += 3) sockets[i].reset();

  ASSERT_TRUE(WaitUntil([&] {
    for (int i = 0; i < kUploads; i += 3) {
      if (!sockets[i]->closedCalled) return false;
    }
    return true;
  }));
  sockets.clear();
  for (int i = 0; i < kUploads; ++i) {
    if (i % 3 != 0) CloseSocket(clients[i]);
  }
  EXPECT_EQ(CCompletionPool::Instance().ContextCount(), 0u);
}

TEST(CompletionPort, ATlsUploadIsDecryptedToItsEndThroughSmallReads) {
  CTempFolder folder("worker-tls");
  std::string error;
  ASSERT_TRUE(
      GenerateSelfSignedCertificate(folder / "c.pem", folder / "k.pem", "127.0.0.1", 2, error))
      << error;
  std::shared_ptr<CTlsServer> server = CTlsServer::Load(folder / "c.pem", folder / "k.pem", error);
  std::shared_ptr<CTlsServer> clientSide = CTlsServer::LoadClient(folder / "c.pem", error);
  ASSERT_TRUE(server && clientSide) << error;
  // Reads smaller than a record: what the library holds after each one must be served too,
  // though the descriptor has nothing new to signal.
  CCompletionPool::Instance().SetReceiveSize(5000);
  UploadLog log;
  LoopbackPair pair;
  CUploadSocket socket(log, 1);
  int eventError = 0;
  ASSERT_TRUE(socket.Attach(pair.TakeServer(), CEventObject::Create(eventError)));
  std::string payload(600000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i % 251);
  CTlsConnection client(clientSide, pair.client, "");
  std::thread peer([&] {
    std::string why;
    ASSERT_TRUE(client.Connect(10000, nullptr, why)) << why;
    size_t sent = 0;
    while (sent < payload.size()) {
      int sendError = 0;
      const long n = client.Write(payload.data() + sent, payload.size() - sent, sendError);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else {
        WaitWritable(pair.client, 10000, sendError);
      }
    }
    client.Shutdown();  // close_notify, the connection left open: that is the end
  });
  ASSERT_TRUE(socket.StartTls(server, "upload", 10000, error, false)) << error;
  ASSERT_TRUE(socket.UseCompletionPort());
  EXPECT_EQ(socket.Receive(nullptr, 0, true), 0);
  peer.join();
  EXPECT_TRUE(WaitUntil([&] { return socket.closedCalled.load(); }, 20000));
  CCompletionPool::Instance().SetReceiveSize(kCompletionReceiveSize);
  EXPECT_EQ(socket.Received(), payload);
}

TEST(CompletionPort, SocketThatCannotMoveStaysInEventMode) {
  UploadLog log;
  CUploadSocket socket(log, 1);
  EXPECT_FALSE(socket.UseCompletionPort());  // nothing to move
  EXPECT_FALSE(socket.IsInCompletionMode());
  EXPECT_EQ(socket.PostReceive(), -1);
}

}  // namespace
}  // namespace zelm
