// Test helper: a datagram socket on a 127.0.0.0/8 address that records what reaches it and
// sends what a test says. Tests never send anywhere else.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mserver/udp_server.h"
#include "platform/socket.h"
#include "platform/udp_socket.h"

namespace zelm::testing {

// 127.0.0.n in host order.
constexpr uint32_t Loopback(uint8_t n) { return 0x7F000000u | n; }

struct ReceivedDatagram {
  std::vector<uint8_t> bytes;
  SocketAddress from;
};

class UdpTestPeer {
 public:
  // Binds `address` (it must lie in 127.0.0.0/8) and `port` (0: any free port).
  explicit UdpTestPeer(uint32_t address, uint16_t port = 0) : address_(address) {
    EXPECT_EQ(address >> 24, 127u) << "tests stay on the loopback network";
    int error = 0;
    handle_ = OpenSocket(kSocketDatagram, kProtocolUdp, error);
    EXPECT_TRUE(BindSocket(handle_, address, port, error)) << "error " << error;
    SocketAddress local;
    EXPECT_TRUE(GetSocketName(handle_, local, error));
    port_ = NetworkToHost16(local.port);
  }
  ~UdpTestPeer() { CloseSocket(handle_); }
  UdpTestPeer(const UdpTestPeer&) = delete;
  UdpTestPeer& operator=(const UdpTestPeer&) = delete;

  uint16_t Port() const { return port_; }
  uint32_t Address() const { return address_; }

  bool Send(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
    EXPECT_EQ(address >> 24, 127u) << "tests stay on the loopback network";
    if ((address >> 24) != 127) return false;
    int error = 0;
    return SendDatagram(handle_, data, length, address, port, error) == static_cast<long>(length);
  }
  bool Send(const DiscoveryDatagram& datagram, uint32_t address, uint16_t port) {
    return Send(datagram.data(), datagram.size(), address, port);
  }

  // The datagrams that arrive within `waitMs` of the previous one (the first may take up to
  // `firstWaitMs`).
  std::vector<ReceivedDatagram> Receive(int firstWaitMs = 5000, int waitMs = 0) {
    std::vector<ReceivedDatagram> received;
    int error = 0;
    int wait = firstWaitMs;
    while (WaitReadable(handle_, wait, error) == 1) {
      ReceivedDatagram datagram;
      datagram.bytes.resize(2048);
      const long n = ReceiveDatagram(handle_, datagram.bytes.data(), datagram.bytes.size(),
                                     datagram.from, error);
      if (n < 0) break;
      datagram.bytes.resize(static_cast<size_t>(n));
      received.push_back(std::move(datagram));
      wait = waitMs;
    }
    return received;
  }

 private:
  SocketHandle handle_ = kInvalidSocket;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
};

// Discovery's destinations, every one on the loopback network: the "broadcast" address is
// 127.0.0.2, queries go to `queryPort`, announcements to 127.0.0.3:`announcementPort`, no
// multicast, and the scan bases come from `bases` (network order).
inline DiscoveryTargets LoopbackTargets(uint16_t queryPort, uint16_t announcementPort = 9,
                                        std::vector<uint32_t> bases = {}) {
  for (uint32_t base : bases) {
    EXPECT_EQ(NetworkToHost32(base) >> 24, 127u) << "tests scan the loopback network only";
  }
  DiscoveryTargets targets;
  targets.bindAddress = Loopback(1);
  targets.multicastGroup = 0;
  targets.broadcastAddress = Loopback(2);
  targets.loopbackAddress = Loopback(1);
  targets.queryPorts = {queryPort};
  targets.announcementAddress = Loopback(3);
  targets.announcementPort = announcementPort;
  targets.scanBaseSource = [bases] { return bases; };
  targets.localNetworkSource = [] { return std::vector<LocalNetwork>{}; };  // 127/8 only
  return targets;
}

}  // namespace zelm::testing
