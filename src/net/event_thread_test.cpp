#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "net/loopback_test_util.h"
#include "net/zm_socket.h"

namespace zelm {
namespace {

using testing::LoopbackPair;
using testing::ReadUpTo;
using testing::SendAll;
using testing::WaitUntil;

// A socket with its own event thread that counts what the thread does.
class CThreadedSocket : public CZmSocket {
 public:
  std::atomic<int> initCount{0};
  std::atomic<int> passes{0};
  std::atomic<int> idles{0};
  std::atomic<int> closedByPeer{-1};
  std::atomic<int> tickDelay{kNoTick};
  std::atomic<bool> initFails{false};
  std::atomic<bool> stuck{false};
  std::atomic<bool> inHandler{false};
  std::atomic<bool> stopFromHandler{false};

  ~CThreadedSocket() override { StopEventThread(true); }

  bool InitEvents() override {
    ++initCount;
    return !initFails && CZmSocket::InitEvents();
  }
  bool OnNetworkEvents(CEventObject* event, bool poll) override {
    ++passes;
    return CZmSocket::OnNetworkEvents(event, poll);
  }
  void OnIdle() override { ++idles; }
  int GetNextTickDelay() override { return tickDelay; }
  int OnReceiveData(uint8_t* data, size_t length, size_t&) override {
    std::string line(reinterpret_cast<char*>(data), length);
    if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) return 2;
    inHandler = true;
    while (stuck) SleepMilliseconds(1);
    if (stopFromHandler) StopEventThread(true);
    std::string reply = "echo " + line;
    WriteSocket(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
    inHandler = false;
    return 0;
  }
  void OnClosed(bool wasConnected, bool) override { closedByPeer = wasConnected ? 1 : 0; }
};

class EventThreadTest : public ::testing::Test {
 protected:
  void Start(CThreadedSocket& socket) {
    int error = 0;
    ASSERT_TRUE(socket.Attach(pair_.TakeServer(), CEventObject::Create(error)));
    ASSERT_TRUE(socket.StartEventThread());
  }
  LoopbackPair pair_;
};

TEST_F(EventThreadTest, ServesItsSocketUntilThePeerCloses) {
  CThreadedSocket socket;
  Start(socket);
  SendAll(pair_.client, "NO");
  SendAll(pair_.client, "OP\r\n");
  EXPECT_EQ(ReadUpTo(pair_.client, 11), "echo NOOP\r\n");

  CloseSocket(pair_.client);
  pair_.client = kInvalidSocket;
  ASSERT_TRUE(WaitUntil([&] { return socket.closedByPeer == 1; }));
  EXPECT_FALSE(socket.IsValid());
}

TEST_F(EventThreadTest, StartingTwiceStartsOneThread) {
  CThreadedSocket socket;
  Start(socket);
  EXPECT_TRUE(socket.StartEventThread());
  ASSERT_TRUE(WaitUntil([&] { return socket.initCount >= 1; }));
  socket.StopEventThread(true);
  EXPECT_FALSE(socket.IsEventThreadRunning());
  EXPECT_EQ(socket.initCount, 1);
  EXPECT_EQ(socket.GetEventThreadExitCode(), 0u);
}

TEST_F(EventThreadTest, IdleSocketDoesNotWakeItsThread) {
  CThreadedSocket socket;
  Start(socket);
  // Give a 1 ms poller every chance to show itself.
  SleepMilliseconds(50);
  EXPECT_EQ(socket.passes, 0);

  // A command is handled the moment it arrives.
  SendAll(pair_.client, "NOOP\r\n");
  EXPECT_EQ(ReadUpTo(pair_.client, 11), "echo NOOP\r\n");
}

TEST_F(EventThreadTest, TickHookAndWakeUpBringPasses) {
  CThreadedSocket socket;
  Start(socket);
  socket.WakeEventThread();
  ASSERT_TRUE(WaitUntil([&] { return socket.passes >= 1; }));

  socket.tickDelay = 1;
  socket.WakeEventThread();  // so that the thread asks the hook again
  ASSERT_TRUE(WaitUntil([&] { return socket.passes >= 5; }));

  // A closed socket's timed pass is its idle call. The close is the owner's: posted to it.
  socket.Post([&socket] { socket.Close(false); });
  ASSERT_TRUE(WaitUntil([&] { return socket.idles >= 3; }));
}

TEST_F(EventThreadTest, StopFromItsOwnThreadReturnsAtOnce) {
  CThreadedSocket socket;
  socket.stopFromHandler = true;
  Start(socket);
  SendAll(pair_.client, "QUIT\r\n");
  // The handler went on after the stop and sent its reply; then the thread ended.
  EXPECT_EQ(ReadUpTo(pair_.client, 11), "echo QUIT\r\n");
  ASSERT_TRUE(WaitUntil([&] { return !socket.IsEventThreadRunning(); }));
}

TEST_F(EventThreadTest, StopGivesUpOnAStuckThreadAfterItsBound) {
  CThreadedSocket socket;
  socket.SetStopWaitBound(20);
  socket.stuck = true;
  Start(socket);
  SendAll(pair_.client, "RETR big\r\n");
  ASSERT_TRUE(WaitUntil([&] { return socket.inHandler.load(); }));

  auto start = std::chrono::steady_clock::now();
  socket.StopEventThread(true);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_LT(waited, std::chrono::seconds(2));
  EXPECT_TRUE(socket.IsEventThreadRunning());  // left running, not killed

  socket.stuck = false;
  ASSERT_TRUE(WaitUntil([&] { return !socket.IsEventThreadRunning(); }));
}

TEST_F(EventThreadTest, FailedInitEndsTheThreadWithItsExitCode) {
  CThreadedSocket socket;
  socket.initFails = true;
  Start(socket);
  ASSERT_TRUE(WaitUntil([&] { return !socket.IsEventThreadRunning(); }));
  EXPECT_EQ(socket.GetEventThreadExitCode(), kEventThreadInitFailed);
  EXPECT_EQ(socket.passes, 0);
}

}  // namespace
}  // namespace zelm
