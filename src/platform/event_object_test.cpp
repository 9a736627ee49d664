#include "platform/event_object.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/socket.h"
#include "platform/thread.h"

namespace zelm {
namespace {

// A connected loopback pair made with the platform calls alone.
struct Pair {
  SocketHandle listener, client, server;
  Pair() {
    int error = 0;
    listener = OpenSocket(kSocketStream, kProtocolTcp, error);
    EXPECT_TRUE(BindSocket(listener, 0x7F000001, 0, error));
    EXPECT_TRUE(ListenSocket(listener, 4, error));
    SocketAddress local;
    GetSocketName(listener, local, error);
    client = OpenSocket(kSocketStream, kProtocolTcp, error);
    ConnectSocket(client, 0x7F000001, NetworkToHost16(local.port), error);
    EXPECT_EQ(WaitReadable(listener, 5000, error), 1);
    SocketAddress peer;
    server = AcceptSocket(listener, peer, error);
  }
  ~Pair() {
    CloseSocket(client);
    CloseSocket(server);
    CloseSocket(listener);
  }
};

class EventObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = 0;
    event_ = CEventObject::Create(error);
    ASSERT_TRUE(event_);
  }
  CEventObject::WaitResult Wait(int timeoutMs) {
    int error = 0;
    return event_->Wait(timeoutMs, error);
  }
  std::shared_ptr<CEventObject> event_;
};

TEST_F(EventObjectTest, SignalIsConsumedByTheWaitThatReportsIt) {
  EXPECT_EQ(Wait(0), CEventObject::WaitResult::kTimedOut);
  event_->Signal();
  event_->Signal();
  EXPECT_EQ(Wait(0), CEventObject::WaitResult::kSignalled);
  EXPECT_EQ(Wait(0), CEventObject::WaitResult::kTimedOut);
  event_->Signal();
  event_->Reset();
  EXPECT_EQ(Wait(0), CEventObject::WaitResult::kTimedOut);
}

TEST_F(EventObjectTest, ReadIsReportedWhileBytesWaitAndCloseOnlyOnce) {
  Pair pair;
  event_->Select(pair.server, kFdRead | kFdWrite | kFdClose);
  NetworkEvents events;
  event_->EnumNetworkEvents(pair.server, events);
  EXPECT_EQ(events.events, 0u);  // connected and quiet: nothing, not even writability
  EXPECT_EQ(Wait(0), CEventObject::WaitResult::kTimedOut);

  int error = 0;
  ASSERT_EQ(SendSocket(pair.client, "x", 1, error), 1);
  EXPECT_EQ(Wait(5000), CEventObject::WaitResult::kSignalled);
  event_->EnumNetworkEvents(pair.server, events);
  EXPECT_EQ(events.events, kFdRead);
  event_->EnumNetworkEvents(pair.server, events);
  EXPECT_EQ(events.events, kFdRead);  // level: still unread

  ShutdownSocket(pair.client, ShutdownHow::kSend);
  EXPECT_EQ(Wait(5000), CEventObject::WaitResult::kSignalled);
  event_->EnumNetworkEvents(pair.server, events);
  EXPECT_EQ(events.events, kFdRead | kFdClose);
  EXPECT_EQ(events.ErrorOf(kFdClose), 0);
  event_->EnumNetworkEvents(pair.server, events);
  EXPECT_EQ(events.events & kFdClose, 0u);
  event_->RearmClose(pair.server);
  event_->EnumNetworkEvents(pair.server, events);
  EXPECT_EQ(events.events & kFdClose, kFdClose);

  // A socket that reported its close no longer wakes the waiter.
  EXPECT_EQ(Wait(0), CEventObject::WaitResult::kTimedOut);
}

TEST_F(EventObjectTest, DeselectedSocketReportsNothing) {
  Pair pair;
  event_->Select(pair.server, kFdRead);
  event_->Select(pair.server, 0);
  EXPECT_FALSE(event_->IsSelected(pair.server));
  int error = 0;
  ASSERT_EQ(SendSocket(pair.client, "x", 1, error), 1);
  NetworkEvents events;
  event_->EnumNetworkEvents(pair.server, events);
  EXPECT_EQ(events.events, 0u);
  EXPECT_EQ(Wait(20), CEventObject::WaitResult::kTimedOut);
}

TEST_F(EventObjectTest, SelectionFromAnotherThreadWakesTheWaiter) {
  Pair pair;
  int error = 0;
  ASSERT_EQ(SendSocket(pair.client, "x", 1, error), 1);
  std::thread other([&] {
    SleepMilliseconds(20);  // let the wait begin first
    event_->Select(pair.server, kFdRead);
  });
  // Without the wake-up this wait would not see the socket selected after it began.
  EXPECT_EQ(Wait(5000), CEventObject::WaitResult::kSignalled);
  other.join();
}

}  // namespace
}  // namespace zelm
