#include "mserver/mserver_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "net/loopback_test_util.h"
#include "platform/clock.h"
#include "platform/event_object.h"

namespace zelm {
namespace {

using testing::LoopbackPair;

// A link attached to the accepted end of a loopback pair whose client end reads only when a
// test says so.
class LinkBacklogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = 0;
    event_ = CEventObject::Create(error);
    ASSERT_TRUE(event_);
    ASSERT_TRUE(link_.Attach(pair_.TakeServer(), event_));
    ASSERT_TRUE(link_.IsConnected());
  }
  // Sends numbered 64 KiB packets until one stays in the backlog; returns how many went.
  int FillUntilBacklog() {
    for (int i = 0; i < 2000; ++i) {
      if (!link_.SendPacketBytes(Numbered(i))) return -1;
      if (link_.HasBacklog()) return i + 1;
    }
    return -1;
  }
  static Packet Numbered(int i) { return Packet(64 * 1024, static_cast<uint8_t>(i)); }

  std::shared_ptr<CEventObject> event_;
  LoopbackPair pair_;
  CMServerLink link_;
};

// A peer that never reads costs the listener's thread no wait: sends return at once, the
// backlog is capped and then the link is closed.
TEST_F(LinkBacklogTest, APeerThatDoesNotReadGetsItsLinkClosedNotTheThreadBlocked) {
  ASSERT_GT(FillUntilBacklog(), 0);
  int accepted = 0;
  size_t largest = 0;
  while (link_.SendPacketBytes(Numbered(0)) && accepted < 2000) {
    ++accepted;
    largest = std::max(largest, link_.BacklogBytes());
  }
  // The kernel may take a little more meanwhile (its buffer grows); the backlog never holds
  // more than its cap, and the link closes long before the peer could have read anything.
  EXPECT_LE(largest, kMaxLinkBacklog);
  EXPECT_LT(accepted, 2000);
  EXPECT_FALSE(link_.IsValid());
  EXPECT_FALSE(link_.HasBacklog());
  EXPECT_FALSE(link_.SendPacketBytes(Numbered(1)));
}

// What waits in the backlog goes out in order once the peer reads again.
TEST_F(LinkBacklogTest, TheBacklogGoesOutInOrderWhenThePeerReads) {
  const int sent = FillUntilBacklog();
  ASSERT_GT(sent, 0);
  ASSERT_TRUE(link_.SendPacketBytes(Numbered(sent)));  // behind the backlog
  const size_t expected = static_cast<size_t>(sent + 1) * 64 * 1024;
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    int error = 0;
    while (received.size() < expected && WaitReadable(pair_.client, 10000, error) == 1) {
      const long n = ReceiveSocket(pair_.client, buffer, sizeof buffer, false, error);
      if (n <= 0) break;
      received.append(buffer, static_cast<size_t>(n));
    }
  });
  for (int i = 0; i < 100000 && link_.HasBacklog(); ++i) {
    link_.FlushBacklog();
    std::this_thread::yield();
  }
  reader.join();
  EXPECT_FALSE(link_.HasBacklog());
  EXPECT_TRUE(link_.IsConnected());
  ASSERT_EQ(received.size(), expected);
  for (int i = 0; i <= sent; ++i) {
    ASSERT_EQ(static_cast<uint8_t>(received[static_cast<size_t>(i) * 64 * 1024]),
              static_cast<uint8_t>(i));
  }
}

TEST_F(LinkBacklogTest, ABacklogThatStandsStillClosesTheLink) {
  CManualClock clock;
  ScopedClockOverride useClock(clock);
  ASSERT_GT(FillUntilBacklog(), 0);
  clock.AdvanceMilliseconds(kLinkStallMs - 1);
  link_.FlushBacklog();
  EXPECT_TRUE(link_.IsConnected());
  clock.AdvanceMilliseconds(1);
  link_.FlushBacklog();
  EXPECT_FALSE(link_.IsValid());
}

}  // namespace
}  // namespace zelm
