#include "mserver/udp_server.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "mserver/udp_test_util.h"
#include "mserver/wire.h"
#include "net/loopback_test_util.h"
#include "platform/clock.h"

namespace zelm {
namespace {

using testing::Loopback;
using testing::LoopbackTargets;
using testing::ReceivedDatagram;
using testing::UdpTestPeer;

class RecordingHandler : public CDiscoveryHandler {
 public:
  void OnAnnouncement(uint32_t address, uint32_t port) override {
    announcements.emplace_back(address, port);
  }
  std::vector<std::pair<uint32_t, uint32_t>> announcements;
};

SocketAddress From(uint32_t hostOrderAddress) {
  SocketAddress address;
  address.address = HostToNetwork32(hostOrderAddress);
  address.port = HostToNetwork16(40000);
  return address;
}

void ExpectDatagram(const ReceivedDatagram& datagram, uint32_t kind, uint32_t command) {
  ASSERT_EQ(datagram.bytes.size(), 40u);
  const DiscoveryDatagram expected = BuildDiscoveryDatagram(kind, command);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), datagram.bytes.begin()));
  EXPECT_EQ(ReadLe32(datagram.bytes.data() + 16), 40u);
  EXPECT_EQ(ReadLe32(datagram.bytes.data() + 20), kind);
  EXPECT_EQ(ReadLe32(datagram.bytes.data() + 28), command);
}

TEST(DiscoveryDatagramTest, LayoutOfAQuery) {
  const DiscoveryDatagram query = BuildDiscoveryDatagram(kDiscoveryKindQuery, 0);
  const uint8_t expected[40] = {0x00, 0x85, 0xDA, 0x47, 0xA1, 0x96, 0xCD, 0x11, 'z', 'e',
                                'l',  'm',  'a',  'r',  'S',  0x00, 40,   0,    0,   0,
                                0x05, 0x04, 0,    0,    0,    0,    0,    0,    0,   0,
                                0,    0,    0,    0,    0,    0,    0,    0,    0,   0};
  EXPECT_TRUE(std::equal(query.begin(), query.end(), expected));
}

TEST(UdpServerTest, DatagramsOfWrongSizeSignatureOrKindAreIgnored) {
  RecordingHandler handler;
  DiscoveryTargets targets = LoopbackTargets(9);
  // This host's network: 10.0.0.0/24 (network order: the first octet lowest).
  targets.localNetworkSource = [] { return std::vector<LocalNetwork>{{0x0100000A, 0x00FFFFFF}}; };
  CUdpServer server(targets);
  server.SetHandler(&handler);
  using Action = CUdpServer::DatagramAction;
  const DiscoveryDatagram announcement = BuildDiscoveryDatagram(kDiscoveryKindAnnouncement, 21000);

  struct Case {
    std::string name;
    std::vector<uint8_t> bytes;
    Action action;
  };
  std::vector<Case> cases;
  const auto variant = [&](std::string name, auto change, Action action) {
    std::vector<uint8_t> bytes(announcement.begin(), announcement.end());
    change(bytes);
    cases.push_back({std::move(name), std::move(bytes), action});
  };
  variant(
      "as sent", [](auto&) {}, Action::kAnnounced);
  variant(
      "category is not looked at", [](auto& b) { b[24] = 7; }, Action::kAnnounced);
  variant(
      "one byte short", [](auto& b) { b.pop_back(); }, Action::kIgnored);
  variant(
      "one byte long", [](auto& b) { b.push_back(0); }, Action::kIgnored);
  variant(
      "empty", [](auto& b) { b.clear(); }, Action::kIgnored);
  for (size_t i = 0; i < 16; ++i) {
    variant(
        "signature byte " + std::to_string(i), [i](auto& b) { b[i] ^= 0x20; }, Action::kIgnored);
  }
  variant(
      "kind 1027", [](auto& b) { WriteLe32(b.data() + 20, 1027); }, Action::kIgnored);
  variant(
      "kind 1030", [](auto& b) { WriteLe32(b.data() + 20, 1030); }, Action::kIgnored);
  variant(
      "kind 1149", [](auto& b) { WriteLe32(b.data() + 20, 1149); }, Action::kIgnored);
  variant(
      "query", [](auto& b) { WriteLe32(b.data() + 20, 1029); }, Action::kAnswer);
  // Another FTP server's announcement names no port: it must not replace a usable address.
  variant(
      "port 0", [](auto& b) { WriteLe32(b.data() + 28, 0); }, Action::kIgnored);
  variant(
      "port 65536", [](auto& b) { WriteLe32(b.data() + 28, 65536); }, Action::kIgnored);
  variant(
      "port 65535", [](auto& b) { WriteLe32(b.data() + 28, 65535); }, Action::kAnnounced);

  size_t announced = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(server.OnDatagram(c.bytes.data(), c.bytes.size(), From(0x0A000005)), c.action)
        << c.name;
    if (c.action == Action::kAnnounced) ++announced;
  }
  EXPECT_EQ(handler.announcements.size(), announced);
  // 10.0.0.5 as the socket layer stores it, read as a number: 0x0500000A.
  ASSERT_FALSE(handler.announcements.empty());
  EXPECT_EQ(handler.announcements[0], std::make_pair(0x0500000Au, 21000u));
  // Senders that are no single host are not taken.
  EXPECT_EQ(server.OnDatagram(announcement.data(), 40, From(0)), Action::kIgnored);
  EXPECT_EQ(server.OnDatagram(announcement.data(), 40, From(0xFFFFFFFF)), Action::kIgnored);
  EXPECT_EQ(server.OnDatagram(nullptr, 0, From(0x0A000005)), Action::kIgnored);
  // Nor are senders outside this host and its own networks.
  EXPECT_EQ(server.OnDatagram(announcement.data(), 40, From(0x0A000105)), Action::kIgnored);
  EXPECT_EQ(server.OnDatagram(announcement.data(), 40, From(0xC0000209)), Action::kIgnored);
  EXPECT_EQ(handler.announcements.size(), announced);
  EXPECT_EQ(server.OnDatagram(announcement.data(), 40, From(0x7F000009)), Action::kAnnounced);
}

TEST(UdpServerTest, ScanBasesAreOnePerSixteenBitNetwork) {
  std::vector<uint32_t> candidates;
  for (uint32_t address : {0xC0A80114u /* 192.168.1.20 */, 0xC0A80701u /* 192.168.7.1 */,
                           0x0A010203u /* 10.1.2.3 */, 0u, 0xFFFFFFFFu, 0x0A01FF01u}) {
    candidates.push_back(HostToNetwork32(address));
  }
  DiscoveryTargets targets = LoopbackTargets(9);
  targets.scanBaseSource = [candidates] { return candidates; };
  CUdpServer server(targets);
  EXPECT_TRUE(server.CollectLocalAddresses());
  EXPECT_EQ(server.ScanBases(), (std::vector<uint32_t>{0xC0A80114, 0x0A010203}));
  EXPECT_FALSE(server.HasBroadcastSocket());  // nothing was sent, no socket was needed

  CUdpServer empty(LoopbackTargets(9));
  EXPECT_FALSE(empty.CollectLocalAddresses());
  EXPECT_EQ(empty.NextScanAddress(), 0u);
}

TEST(UdpServerTest, ScanWalksEachBaseThenTheNextThenTheFirstAgain) {
  CUdpServer server(LoopbackTargets(9));
  server.AddScanBase(0xC0A80114);               // 192.168.1.20
  server.AddScanBase(0x0A010203);               // 10.1.2.3
  constexpr size_t kPerBase = 254 + 254 * 255;  // x.y.0.1-254, then x.y.1.0 to x.y.254.254
  std::vector<uint32_t> walk;
  for (size_t i = 0; i < 2 * kPerBase + 2; ++i) walk.push_back(server.NextScanAddress());
  const std::map<size_t, uint32_t> expected = {
      {0, 0xC0A80001},                 // 192.168.0.1
      {253, 0xC0A800FE},               // 192.168.0.254
      {254, 0xC0A80100},               // 192.168.1.0
      {508, 0xC0A801FE},               // 192.168.1.254
      {kPerBase - 1, 0xC0A8FEFE},      // 192.168.254.254
      {kPerBase, 0x0A010001},          // 10.1.0.1
      {2 * kPerBase - 1, 0x0A01FEFE},  // 10.1.254.254
      {2 * kPerBase, 0xC0A80001},      // 192.168.0.1 again
      {2 * kPerBase + 1, 0xC0A80002},
  };
  for (const auto& [index, address] : expected) {
    EXPECT_EQ(walk[index], address) << "step " << index;
  }
  // Never an address ending in 255, never x.y.0.0.
  for (uint32_t address : walk) {
    ASSERT_NE(address & 0xFF, 0xFFu);
    ASSERT_NE(address & 0xFFFF, 0u);
  }
}

TEST(UdpServerTest, PassWithoutScanBasesStillQueriesBroadcastAndLoopback) {
  UdpTestPeer loopback(Loopback(1));
  UdpTestPeer broadcast(Loopback(2), loopback.Port());  // stands for 255.255.255.255
  int collected = 0;
  DiscoveryTargets targets = LoopbackTargets(loopback.Port());
  targets.scanBaseSource = [&collected] {
    ++collected;
    return std::vector<uint32_t>{};
  };
  CUdpServer server(targets);
  server.CreateSockets();
  ASSERT_TRUE(server.HasBroadcastSocket());
  server.SendQueries();
  EXPECT_EQ(collected, 1);  // no bases known: the pass looked for them
  for (UdpTestPeer* peer : {&broadcast, &loopback}) {
    const auto received = peer->Receive(5000, 0);
    ASSERT_EQ(received.size(), 1u) << "at 127.0.0." << (peer->Address() & 0xFF);
    ExpectDatagram(received[0], kDiscoveryKindQuery, 0);
    EXPECT_EQ(NetworkToHost16(received[0].from.port), server.GetBroadcastPort());
  }
}

TEST(UdpServerTest, EachPassQueriesTheNextTenScanAddressesOnEveryQueryPort) {
  UdpTestPeer loopback(Loopback(1));
  const uint16_t port = loopback.Port();
  UdpTestPeer tenth(0x7F09000A, port);     // 127.9.0.10
  UdpTestPeer eleventh(0x7F09000B, port);  // 127.9.0.11
  UdpTestPeer otherPort(0x7F09000A);       // a second query port
  DiscoveryTargets targets =
      LoopbackTargets(port, 9, {HostToNetwork32(0x7F090505) /* 127.9.5.5 */});
  targets.queryPorts = {port, otherPort.Port()};
  CUdpServer server(targets);
  server.CreateSockets();
  server.SendQueries();
  EXPECT_EQ(tenth.Receive(5000).size(), 1u);
  EXPECT_EQ(otherPort.Receive(5000).size(), 1u);
  EXPECT_EQ(loopback.Receive(5000).size(), 1u);
  EXPECT_TRUE(eleventh.Receive(0).empty());
  server.SendQueries();
  EXPECT_EQ(eleventh.Receive(5000).size(), 1u);
  EXPECT_TRUE(tenth.Receive(0).empty());
}

class UdpServerSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = 0;
    event_ = CEventObject::Create(error);
    ASSERT_TRUE(event_);
  }
  // Waits for the server's sockets to have something, then lets it read.
  void Deliver(CUdpServer& server) {
    int error = 0;
    ASSERT_EQ(event_->Wait(5000, error), CEventObject::WaitResult::kSignalled);
    server.ProcessEvents(event_.get());
  }
  std::shared_ptr<CEventObject> event_;
};

TEST_F(UdpServerSocketTest, QueryIsAnsweredWithOneAnnouncementOfPortZero) {
  UdpTestPeer announcements(Loopback(3));  // stands for 255.255.255.255:7000
  UdpTestPeer asker(Loopback(4));
  RecordingHandler handler;
  CUdpServer server(LoopbackTargets(9, announcements.Port()));
  server.SetEvent(event_);
  server.SetHandler(&handler);
  server.CreateSockets();
  ASSERT_TRUE(asker.Send(BuildDiscoveryDatagram(kDiscoveryKindQuery, 0), Loopback(1),
                         server.GetBroadcastPort()));
  Deliver(server);
  const auto received = announcements.Receive(5000, 0);
  ASSERT_EQ(received.size(), 1u);
  ExpectDatagram(received[0], kDiscoveryKindAnnouncement, 0);
  EXPECT_TRUE(asker.Receive(0).empty());
  EXPECT_TRUE(handler.announcements.empty());
}

TEST_F(UdpServerSocketTest, AnnouncementReachesTheHandlerWithTheSendersAddress) {
  UdpTestPeer managementServer(Loopback(7));
  RecordingHandler handler;
  CUdpServer server(LoopbackTargets(9));
  server.SetEvent(event_);
  server.SetHandler(&handler);
  server.CreateSockets();
  const uint8_t junk[40] = {};
  ASSERT_TRUE(managementServer.Send(junk, sizeof junk, Loopback(1), server.GetBroadcastPort()));
  ASSERT_TRUE(managementServer.Send(BuildDiscoveryDatagram(kDiscoveryKindAnnouncement, 21000),
                                    Loopback(1), server.GetBroadcastPort()));
  ASSERT_TRUE(testing::WaitUntil([&] {
    server.ProcessEvents(event_.get());
    return !handler.announcements.empty();
  }));
  // 127.0.0.7 as the socket layer stores it: 0x0700007F.
  EXPECT_EQ(handler.announcements,
            (std::vector<std::pair<uint32_t, uint32_t>>{{0x0700007F, 21000}}));
}

TEST_F(UdpServerSocketTest, SocketsAreMadeAnewAfterSixteenQuietSeconds) {
  CManualClock clock;
  ScopedClockOverride useClock(clock);
  UdpTestPeer sink(Loopback(1));
  UdpTestPeer talker(Loopback(5));
  CUdpServer server(LoopbackTargets(sink.Port()));
  server.SetEvent(event_);
  server.CreateSockets();
  EXPECT_EQ(server.GetCreations(), 1u);
  server.CreateSockets();  // both open and young: kept
  EXPECT_EQ(server.GetCreations(), 1u);

  clock.AdvanceMilliseconds(15999);
  server.SendQueries();
  EXPECT_EQ(server.GetCreations(), 1u);

  // A datagram of 40 bytes or more counts as traffic, a shorter one does not.
  const uint8_t shortOne[39] = {};
  ASSERT_TRUE(talker.Send(shortOne, sizeof shortOne, Loopback(1), server.GetBroadcastPort()));
  Deliver(server);
  clock.AdvanceMilliseconds(1);
  server.SendQueries();
  EXPECT_EQ(server.GetCreations(), 2u);

  const uint8_t anyForty[40] = {};
  clock.AdvanceMilliseconds(10000);
  ASSERT_TRUE(talker.Send(anyForty, sizeof anyForty, Loopback(1), server.GetBroadcastPort()));
  Deliver(server);
  clock.AdvanceMilliseconds(15999);
  server.SendQueries();
  EXPECT_EQ(server.GetCreations(), 2u);
  clock.AdvanceMilliseconds(1);
  server.SendQueries();
  EXPECT_EQ(server.GetCreations(), 3u);
  EXPECT_TRUE(server.HasBroadcastSocket());
  EXPECT_FALSE(sink.Receive(1000).empty());  // the new socket sends

  server.Stop();
  EXPECT_FALSE(server.HasBroadcastSocket());
  EXPECT_TRUE(server.ScanBases().empty());
}

}  // namespace
}  // namespace zelm
