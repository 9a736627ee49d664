#include "transfer/data_socket.h"

#include <gtest/gtest.h>

#include <set>

#include "net/loopback_test_util.h"

namespace zelm {
namespace {

TEST(PortArgument, Table) {
  const struct {
    const char* text;
    bool ok;
    uint32_t address;  // network order
    uint32_t port;
  } cases[] = {
      {"192,168,1,10,4,1", true, 0x0A01A8C0, 1025},
      {"192,168,1,10,3,255", false, 0, 0},  // port 1023
      {"10,0,0,1,4,0", true, 0x0100000A, 1024},
      {"1,2,3,4,4,0", true, 0x04030201, 1024},
      {"1,2,3,4,4", false, 0, 0},  // 10 characters
      {"211,100,200,150,195,149", true, 0x96C864D3, 50069},
      {"192,168,100,200,195,149", true, 0xC864A8C0, 50069},
      {"192,168,1,10,4 1", true, 0x0A01A8C0, 1025},
      {"192,168,1,10 4,1", false, 0, 0},
      {"192,168 1,10,4,1", false, 0, 0},
      {"1,2,3,4,5,1000", false, 0, 0},
      {"1,2,3,4,300,1", true, 0x04030201, 11265},
      {"1,2,3,4,5,6,", true, 0x04030201, 1286},
      {"1,2,3,4,5,6,7", true, 0x04030201, 1286},  // digits after the sixth comma are ignored
      {"1,2,3,4,5,6,7,", false, 0, 0},            // a seventh number
      {"10,0,0,1,0,21", false, 0, 0},
      {"a,b,c,d,e,f,g", false, 0, 0},
      {"1,,2,3,4,5,6", false, 0, 0},
      {"256,2,3,4,5,6", true, 0x04030200, 1286},  // reduced modulo 256
  };
  for (const auto& c : cases) {
    uint32_t address = 0;
    uint32_t port = 0;
    EXPECT_EQ(CFtpDataSocket::ParsePortArgument(c.text, address, port), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(address, c.address) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
}

// Ports are drawn at random inside the range: no PC can guess the next one from the last.
TEST(PassivePort, RandomPortsStayInTheirRangeAndFollowNoSequence) {
  const struct {
    PassivePortRange range;
    uint32_t first;
    uint32_t last;
  } cases[] = {
      {{40000, 40009}, 40000, 40009}, {{1500, 65535}, 1500, 65535},
      {{0, 70000}, 1500, 65535},    // a bad range reads as the default
      {{5000, 4000}, 5000, 65535},  // a maximum below the minimum
      {{2121, 2121}, 2121, 2121},
  };
  for (const auto& c : cases) {
    const PassivePortSource ports = RandomPassivePorts(c.range);
    std::set<uint32_t> seen;
    uint32_t steps = 0;
    uint32_t previous = ports();
    for (int i = 0; i < 200; ++i) {
      const uint32_t port = ports();
      ASSERT_GE(port, c.first) << c.range.first;
      ASSERT_LE(port, c.last) << c.range.first;
      seen.insert(port);
      steps += port == previous + 1;
      previous = port;
    }
    if (c.last - c.first >= 9) {
      EXPECT_GE(seen.size(), 5u) << c.range.first;  // not one port over and over
      EXPECT_LT(steps, 100u) << c.range.first;      // not counting up
    }
  }
}

TEST(PassivePort, ListenPassivePassesOverTakenPortsDirectlyAndThenWithTheProbe) {
  const testing::LoopbackListener held;  // a port the system chose, taken while the test runs
  ASSERT_NE(held.port, 0u);
  ASSERT_LT(held.port, 65535u - 64);
  // The source offers the taken port `takenTries` times, then the ports above it (some of
  // which other programs may hold too: the result only has to be above the taken one).
  for (const uint32_t takenTries : {1u, 4u, 6u}) {
    uint32_t calls = 0;
    uint32_t next = held.port + 1;
    const PassivePortSource ports = [&] { return ++calls <= takenTries ? held.port : next++; };
    CFtpDataSocket data(nullptr);
    const uint32_t port = data.ListenPassive(0x7F000001, ports);
    EXPECT_GT(port, held.port) << takenTries;
    EXPECT_TRUE(data.IsListening()) << takenTries;
    EXPECT_EQ(NetworkToHost16(data.GetLocalPort()), port) << takenTries;
    EXPECT_GT(calls, takenTries) << takenTries;  // it went on after the taken ones
    data.Close(false);
  }
}

TEST(PassivePort, ChoosePassivePortTakesTheSourcesNextFreePort) {
  const testing::LoopbackListener held;  // a port the system chose, taken while the test runs
  ASSERT_NE(held.port, 0u);
  ASSERT_LT(held.port, 65535u - 64);
  uint32_t next = held.port;
  const uint32_t port = CFtpDataSocket::ChoosePassivePort(0x7F000001, [&next] { return next++; });
  EXPECT_GT(port, held.port);
  EXPECT_EQ(next, port + 1);  // no port was passed over once a free one was found
}

TEST(Throttle, DelayKeepsTheRate) {
  const struct {
    uint32_t limit;
    uint64_t bytes;
    int64_t elapsed;
    int64_t delay;
  } cases[] = {
      {0, 1 << 20, 0, 0},                        // no limit
      {1, 2048, 0, 2000},                        // 2 KiB at 1 KiB/s
      {1, 2048, 500, 1500}, {1, 2048, 2500, 0},  // already slow enough
      {64, 65536, 0, 1000}, {1024, 1024, 0, 0},  // under a millisecond
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ThrottleDelay(c.limit, c.bytes, c.elapsed), c.delay) << c.limit << " " << c.bytes;
  }
}

TEST(Throttle, WindowMakesGoodAnOversleptPauseAndForgivesAStall) {
  CBandwidthWindow window;
  EXPECT_EQ(window.Account(1, 1024, 0), 1000);     // 1 KiB at 1 KiB/s: wait a second
  EXPECT_EQ(window.Account(1, 1024, 1500), 500);   // overslept by 500 ms: the next wait is shorter
  EXPECT_EQ(window.Account(1, 10, 2000), 0);       // 10 ms due: below the threshold
  EXPECT_EQ(window.Account(0, 1 << 20, 2000), 0);  // no limit
  // A client that stalled for a minute starts a new window instead of a burst.
  EXPECT_EQ(window.Account(1, 1024, 62000), 0);
  EXPECT_EQ(window.Account(1, 1024, 62000), 1000);
}

}  // namespace
}  // namespace zelm
