// The listener with discovery on: it finds the management server by its announcement, stores
// the address and connects; everything stays on 127.0.0.0/8.
#include <gtest/gtest.h>

#include <filesystem>

#include "mserver/udp_test_util.h"
#include "server/ftp_listener.h"
#include "server/server_test_fixture.h"
#include "server/settings.h"

namespace zelm {
namespace {

using testing::ListenerTest;
using testing::Loopback;
using testing::LoopbackTargets;
using testing::UdpTestPeer;
using testing::WaitUntil;

// A TCP port on 127.0.0.7 that accepts connections and never answers.
struct SilentManagementPort {
  SocketHandle handle = kInvalidSocket;
  uint16_t port = 0;
  SilentManagementPort() {
    int error = 0;
    handle = OpenSocket(kSocketStream, kProtocolTcp, error);
    EXPECT_TRUE(BindSocket(handle, Loopback(7), 0, error));
    EXPECT_TRUE(ListenSocket(handle, 8, error));
    SocketAddress local;
    GetSocketName(handle, local, error);
    port = NetworkToHost16(local.port);
  }
  ~SilentManagementPort() { CloseSocket(handle); }
};

class DiscoveryListenerTest : public ListenerTest {
 protected:
  // Waits for the listener's next query at `peer` and answers it from there with an
  // announcement of `tcpPort`.
  static void AnswerNextQuery(UdpTestPeer& peer, uint16_t tcpPort) {
    peer.Receive(0);  // older queries
    const auto queries = peer.Receive(5000, 0);
    ASSERT_FALSE(queries.empty());
    DiscoveryMessage message;
    ASSERT_TRUE(
        ParseDiscoveryDatagram(queries.back().bytes.data(), queries.back().bytes.size(), message));
    ASSERT_EQ(message.kind, kDiscoveryKindQuery);
    ASSERT_TRUE(peer.Send(BuildDiscoveryDatagram(kDiscoveryKindAnnouncement, tcpPort),
                          NetworkToHost32(queries.back().from.address),
                          NetworkToHost16(queries.back().from.port)));
  }
};

TEST_F(DiscoveryListenerTest, AnnouncementIsStoredAndConnectedToUntilTheLinkWorks) {
  SetDword("MServer IP", 0);
  SetDword("MServer Port", 0);
  SetDword("Discovery", 1);
  UdpTestPeer far(Loopback(7));               // answers queries to the "broadcast" address
  UdpTestPeer near(Loopback(1), far.Port());  // answers queries to the loopback address
  DiscoveryTargets targets = LoopbackTargets(far.Port());
  targets.broadcastAddress = Loopback(7);
  listener_ = std::make_unique<CFtpListener>();
  listener_->OverrideListenAddress(kAnyPort, testing::kLoopback);
  listener_->OverrideDiscoveryTargets(targets);
  ASSERT_TRUE(listener_->StartListening(false));

  // A management server at 127.0.0.7 that takes the connection but never says hello.
  {
    SilentManagementPort silent;
    AnswerNextQuery(far, silent.port);
    // The address and the port are two writes: wait for both.
    ASSERT_TRUE(WaitUntil([&] {
      return ReadSettingDword("MServer IP Learnt", 0) == 0x0700007F &&
             ReadSettingDword("MServer Port Learnt", 0) == silent.port;
    }));
    int error = 0;
    ASSERT_EQ(WaitReadable(silent.handle, 5000, error), 1);  // the link connects
    SocketAddress from;
    CloseSocket(AcceptSocket(silent.handle, from, error));
  }
  // That one has gone: the search goes on, and the real one answers from 127.0.0.1.
  AnswerNextQuery(near, peer_.Port());
  ASSERT_TRUE(WaitUntil([this] { return listener_->Link().IsReady(); }));
  EXPECT_EQ(ReadSettingDword("MServer IP Learnt", 0), 0x0100007Fu);
  EXPECT_EQ(ReadSettingDword("MServer Port Learnt", 0), peer_.Port());
  EXPECT_EQ(ReadSettingDword("MServer IP", 0), 0u);  // the operator's values stay untouched
  auto client = Connect();
  Login(*client, "bob", "secret");

  // Announcements no longer move a link that works.
  listener_->Router().OnAnnouncement(0x0700007F, 1234);
  EXPECT_EQ(ReadSettingDword("MServer IP Learnt", 0), 0x0100007Fu);
  EXPECT_EQ(ReadSettingDword("MServer Port Learnt", 0), peer_.Port());

  listener_->ShutdownAll();
  ASSERT_NE(listener_->Discovery(), nullptr);
  EXPECT_FALSE(listener_->Discovery()->HasBroadcastSocket());
}

// The operator's "MServer IP" and "MServer Port" stand: an announcement while the link is
// down is not even stored.
TEST_F(DiscoveryListenerTest, AnnouncementsNeverReplaceTheOperatorsAddress) {
  SetDword("MServer Port", 1);  // nothing listens there: the link stays down
  CFtpListener listener;
  listener.Router().OnAnnouncement(0x0700007F, 1234);
  EXPECT_EQ(ReadSettingDword("MServer IP Learnt", 0), 0u);
  EXPECT_EQ(ReadSettingDword("MServer IP", 0), 0x0100007Fu);
  EXPECT_EQ(ReadSettingDword("MServer Port", 0), 1u);
}

TEST_F(DiscoveryListenerTest, WithoutTheSettingThereIsNoDiscovery) {
  for (const bool stored : {false, true}) {
    if (stored) SetDword("Discovery", 2);  // only 1 turns it on
    Start();
    listener_->ShutdownAll();
    EXPECT_EQ(listener_->Discovery(), nullptr);
    listener_.reset();
  }
}

TEST_F(DiscoveryListenerTest, NoAddressIsStoredWhenTheSettingsStoreDoesNotExist) {
  const std::filesystem::path missing = folder_ / "missing/settings.db";
  UseSettingsStore(missing);
  CFtpListener listener;
  listener.StoreManagementAddress(0x0700007F, 21000);
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_FALSE(std::filesystem::exists(missing.parent_path()));
  EXPECT_EQ(ReadSettingDword("MServer IP Learnt", 0), 0u);
  EXPECT_FALSE(listener.Link().IsValid());  // nothing to connect to
}

}  // namespace
}  // namespace zelm
