// CUdpServer: discovery of the management server over UDP, and answers to other servers'
// discovery queries.
//
// While the management link is down, the listener's idle pass asks for a query pass
// (`SendQueries`, at most one per 100 ms): a query datagram goes to the multicast group, to
// the broadcast address, to the loopback address and, ten at a time, to every address of the
// local /16 networks, each on the six query ports. A management server answers with an
// announcement that names its TCP port; the sender's address and that port go to the
// `CDiscoveryHandler` (the listener), which stores them and connects. A query from anyone
// else is answered with one announcement of this server (port 0) to the broadcast address.
//
// Discovery is off unless the setting "Discovery" is 1: the listener creates this object only
// then, so with discovery off no datagram socket exists at all. Every destination is part of
// `DiscoveryTargets`, so tests can keep all traffic on 127.0.0.0/8.
//
// Ownership: the object owns its two datagram sockets (closed by `Stop` and the destructor)
// and its scan list; the event object is shared with the listener.
// Threads: everything runs on the listener's event thread (tests call from their own thread,
// never concurrently). No member is shared with other threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "mserver/discovery_datagram.h"
#include "platform/event_object.h"
#include "platform/local_addresses.h"
#include "platform/socket.h"

namespace zelm {

// Scan addresses queried per pass, and the pass interval the listener keeps.
inline constexpr int kScanAddressesPerPass = 10;
// Without a received datagram for this long, the sockets are made anew before the next query.
inline constexpr uint32_t kDiscoveryQuietRecreateMs = 16000;
// Sockets younger than this are kept by `CreateSockets` when both are open.
inline constexpr uint32_t kDiscoveryKeepSocketsMs = 60000;
// Datagrams read in one go from one socket.
inline constexpr int kDiscoveryReadsPerPass = 1000;
inline constexpr int kDiscoveryReceiveBuffer = 524288;
inline constexpr int kDiscoveryMulticastTtl = 10;

// Where discovery sends and what it binds to. The defaults are the real ones; tests point
// every address at 127.0.0.0/8. Addresses in host order.
struct DiscoveryTargets {
  uint32_t bindAddress = 0;  // both sockets bind here (port 0); 0: every local address
  uint32_t multicastGroup = kDiscoveryMulticastGroup;  // 0: no multicast socket
  uint16_t multicastPort = kDiscoveryMulticastPort;
  uint32_t broadcastAddress = kDiscoveryBroadcastAddress;
  uint32_t loopbackAddress = kDiscoveryLoopbackAddress;
  std::vector<uint16_t> queryPorts{kDiscoveryQueryPorts.begin(), kDiscoveryQueryPorts.end()};
  uint32_t announcementAddress = kDiscoveryBroadcastAddress;
  uint16_t announcementPort = kDiscoveryAnnouncementPort;
  // The candidates for scan bases, network order; empty: the host's own
  // (`CollectLocalAddresses` of platform/local_addresses.h).
  std::function<std::vector<uint32_t>()> scanBaseSource;
  // The networks announcements are taken from (besides 127.0.0.0/8, this host); empty: the
  // host's own interfaces (`ListInterfaceNetworks`).
  std::function<std::vector<LocalNetwork>()> localNetworkSource;
};

// Who learns of announcements; implemented by the listener. Called on the listener's thread.
class CDiscoveryHandler {
 public:
  virtual ~CDiscoveryHandler() = default;
  // A management server announced itself: `address` as the socket layer stores it (network
  // order, the value "MServer IP" holds), `port` its TCP port (1 to 65535).
  virtual void OnAnnouncement(uint32_t address, uint32_t port) = 0;
};

class CUdpServer final {
 public:
  // What `OnDatagram` made of a datagram.
  enum class DatagramAction { kIgnored, kAnswer, kAnnounced };

  explicit CUdpServer(DiscoveryTargets targets = {});
  ~CUdpServer();
  CUdpServer(const CUdpServer&) = delete;
  CUdpServer& operator=(const CUdpServer&) = delete;

  // The event object both sockets select their read events on (the listener's), and the
  // handler of announcements (may be null: announcements are then only recognised).
  void SetEvent(std::shared_ptr<CEventObject> event) { event_ = std::move(event); }
  void SetHandler(CDiscoveryHandler* handler) { handler_ = handler; }

  // Creates whichever socket is missing (nothing when both are open and less than 60 s
  // old). A socket that cannot be made, bound or set up stays missing; always true.
  bool CreateSockets();
  // Reads every waiting datagram of both sockets (up to 1000 each) and acts on it.
  void ProcessEvents(CEventObject* event);
  // One query pass: broadcast, loopback, then up to 10 scan addresses.
  void SendQueries();
  // Replaces the scan list with the scan bases among the source's addresses; true when at
  // least one is known.
  bool CollectLocalAddresses();
  // Adds `address` (host order) to the scan list unless it is 0, 255.255.255.255, or shares
  // its first two octets with an address already listed.
  void AddScanBase(uint32_t address);
  // The next address of the scan (host order), 0 when there are no bases. Walks each base's
  // /16: x.y.0.1 ... x.y.0.254, x.y.1.0 ... x.y.254.254, then the next base, after the last
  // base the first again.
  uint32_t NextScanAddress();
  // Acts on one received datagram of `length` bytes from `sender`: a query asks for an
  // answer (the caller sends it), an announcement with a usable port from this host or one
  // of its local networks goes to the handler, anything else is ignored. Needs no socket (fuzz
  // targets call it directly).
  DatagramAction OnDatagram(const uint8_t* data, size_t length, const SocketAddress& sender);
  // Closes both sockets (their selection cleared first), forgets the event object and the
  // scan list.
  void Stop();

  // ---- State, for the listener's tests and diagnostics ----
  bool HasBroadcastSocket() const { return broadcast_ != kInvalidSocket; }
  bool HasMulticastSocket() const { return multicast_ != kInvalidSocket; }
  // The broadcast socket's local port (host order), 0 without one.
  uint16_t GetBroadcastPort() const;
  const std::vector<uint32_t>& ScanBases() const { return scanBases_; }
  // How many times `CreateSockets` has made sockets.
  uint32_t GetCreations() const { return creations_; }

 private:
  void SendQuery(uint32_t address);
  void ReadLocalNetworks();
  bool IsFromLocalNetwork(uint32_t address) const;  // network order
  void ReceiveDatagrams(SocketHandle socket);
  SocketHandle MakeBroadcastSocket();
  SocketHandle MakeMulticastSocket();
  void CloseSockets();

  SocketHandle broadcast_ = kInvalidSocket;
  SocketHandle multicast_ = kInvalidSocket;
  std::shared_ptr<CEventObject> event_;
  std::vector<uint32_t> scanBases_;     // host order, one per /16
  std::vector<LocalNetwork> networks_;  // read with the scan bases and at socket creation
  bool networksRead_ = false;
  size_t scanBase_ = 0;  // index of the base being walked
  bool scanStarted_ = false;
  uint32_t scanThird_ = 0;
  uint32_t scanFourth_ = 0;
  uint32_t lastActivity_ = 0;  // tick count of the last creation or datagram received
  uint32_t lastCreation_ = 0;
  uint32_t creations_ = 0;
  CDiscoveryHandler* handler_ = nullptr;
  DiscoveryTargets targets_;
};

}  // namespace zelm
