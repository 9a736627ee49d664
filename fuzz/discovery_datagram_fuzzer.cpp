// Fuzz target: datagrams received by the discovery sockets. The first four bytes are the
// sender's address; the rest is the datagram. Whatever arrives, an announcement reaches the
// handler only with a usable port, and nothing else does.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mserver/discovery_datagram.h"
#include "mserver/udp_server.h"

namespace {

class CCheckingHandler final : public zelm::CDiscoveryHandler {
 public:
  void OnAnnouncement(uint32_t address, uint32_t port) override {
    (void)address;
    if (port == 0 || port > 0xFFFF) {
      std::fprintf(stderr, "announcement with an unusable port %u\n", port);
      std::abort();
    }
    ++announcements;
  }
  int announcements = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  zelm::SocketAddress sender;
  std::memcpy(&sender.address, data, 4);
  sender.port = 0x1414;
  zelm::DiscoveryTargets targets;
  targets.multicastGroup = 0;  // nothing is ever sent: no socket is made here
  // A fixed network of this host, so that every run judges senders alike.
  targets.localNetworkSource = [] {
    return std::vector<zelm::LocalNetwork>{{0x0100000A, 0x000000FF}};  // 10.0.0.0/8
  };
  zelm::CUdpServer server(targets);
  CCheckingHandler handler;
  server.SetHandler(&handler);
  const auto action = server.OnDatagram(data + 4, size - 4, sender);
  const bool announced = action == zelm::CUdpServer::DatagramAction::kAnnounced;
  if (announced != (handler.announcements == 1) || handler.announcements > 1) std::abort();

  zelm::DiscoveryMessage message;
  zelm::ParseDiscoveryDatagram(data + 4, size - 4, message);
  return 0;
}
