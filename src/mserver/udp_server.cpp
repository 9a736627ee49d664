// Owns discovery: the two datagram sockets, the query passes, the scan of the local networks
// and the handling of received queries and announcements.
#include "mserver/udp_server.h"

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/local_addresses.h"
#include "platform/udp_socket.h"

namespace zelm {
namespace {

constexpr uint32_t kLastOctet = 254;
// Large enough for any discovery datagram; a longer one is recognised by its size.
constexpr size_t kReceiveCapacity = 512;

}  // namespace

CUdpServer::CUdpServer(DiscoveryTargets targets) : targets_(std::move(targets)) {}

CUdpServer::~CUdpServer() { Stop(); }

SocketHandle CUdpServer::MakeBroadcastSocket() {
  int error = 0;
  SocketHandle s = OpenSocket(kSocketDatagram, kProtocolUdp, error);
  if (s == kInvalidSocket) return s;
  SetSocketOption(s, SocketOption::kReceiveBuffer, kDiscoveryReceiveBuffer, error);
  if (!BindSocket(s, targets_.bindAddress, 0, error) || !EnableBroadcast(s, error)) {
    zelm::CloseSocket(s);
    return kInvalidSocket;
  }
  return s;
}

SocketHandle CUdpServer::MakeMulticastSocket() {
  if (targets_.multicastGroup == 0) return kInvalidSocket;
  int error = 0;
  SocketHandle s = OpenSocket(kSocketDatagram, kProtocolUdp, error);
  if (s == kInvalidSocket) return s;
  if (!BindSocket(s, targets_.bindAddress, 0, error) ||
      !SetMulticastTtl(s, kDiscoveryMulticastTtl, error) ||
      !SetMulticastLoopback(s, false, error) ||
      !JoinMulticastGroup(s, targets_.multicastGroup, targets_.bindAddress, error)) {
    zelm::CloseSocket(s);
    return kInvalidSocket;
  }
  return s;
}

bool CUdpServer::CreateSockets() {
  const uint32_t now = GetTickCount();
  const bool multicastWanted = targets_.multicastGroup != 0;
  if (HasBroadcastSocket() && (HasMulticastSocket() || !multicastWanted) &&
      now - lastCreation_ < kDiscoveryKeepSocketsMs) {
    return true;
  }
  lastActivity_ = now;
  lastCreation_ = now;
  ++creations_;
  ReadLocalNetworks();
  if (!HasBroadcastSocket()) {
    broadcast_ = MakeBroadcastSocket();
    if (HasBroadcastSocket() && event_) event_->Select(broadcast_, kFdRead);
  }
  if (!HasMulticastSocket()) {
    multicast_ = MakeMulticastSocket();
    if (HasMulticastSocket() && event_) event_->Select(multicast_, kFdRead);
  }
  return true;
}

void CUdpServer::CloseSockets() {
  for (SocketHandle* s : {&broadcast_, &multicast_}) {
    if (*s == kInvalidSocket) continue;
    if (event_) event_->Select(*s, 0);
    zelm::CloseSocket(*s);
    *s = kInvalidSocket;
  }
}

void CUdpServer::Stop() {
  CloseSockets();
  event_.reset();
  scanBases_.clear();
  scanStarted_ = false;
}

uint16_t CUdpServer::GetBroadcastPort() const {
  if (!HasBroadcastSocket()) return 0;
  SocketAddress local;
  int error = 0;
  return GetSocketName(broadcast_, local, error) ? NetworkToHost16(local.port) : 0;
}

// ---- Queries ----

void CUdpServer::SendQueries() {
  SendQuery(targets_.broadcastAddress);
  SendQuery(targets_.loopbackAddress);
  if (scanBases_.empty() && !CollectLocalAddresses()) return;
  for (int i = 0; i < kScanAddressesPerPass; ++i) {
    const uint32_t address = NextScanAddress();
    if (address == 0) break;
    SendQuery(address);
  }
}

void CUdpServer::SendQuery(uint32_t address) {
  if (GetTickCount() - lastActivity_ >= kDiscoveryQuietRecreateMs) {
    CloseSockets();
    CreateSockets();
  }
  const DiscoveryDatagram query = BuildDiscoveryDatagram(kDiscoveryKindQuery, 0);
  int error = 0;
  if (HasMulticastSocket()) {
    SendDatagram(multicast_, query.data(), query.size(), targets_.multicastGroup,
                 targets_.multicastPort, error);
  }
  if (HasBroadcastSocket()) {
    for (uint16_t port : targets_.queryPorts) {
      if (SendDatagram(broadcast_, query.data(), query.size(), address, port, error) < 0) break;
    }
  }
}

// ---- The scan ----

bool CUdpServer::CollectLocalAddresses() {
  scanBases_.clear();
  scanStarted_ = false;
  const std::vector<uint32_t> candidates =
      targets_.scanBaseSource ? targets_.scanBaseSource() : zelm::CollectLocalAddresses();
  for (uint32_t address : candidates) AddScanBase(NetworkToHost32(address));
  ReadLocalNetworks();
  return !scanBases_.empty();
}

void CUdpServer::ReadLocalNetworks() {
  networks_ = targets_.localNetworkSource ? targets_.localNetworkSource() : ListInterfaceNetworks();
  networksRead_ = true;
}

bool CUdpServer::IsFromLocalNetwork(uint32_t address) const {
  if ((NetworkToHost32(address) >> 24) == 127) return true;
  for (const LocalNetwork& network : networks_) {
    if (network.mask != 0 && (address & network.mask) == (network.address & network.mask)) {
      return true;
    }
  }
  return false;
}

void CUdpServer::AddScanBase(uint32_t address) {
  if (address == 0 || address == 0xFFFFFFFF) return;
  for (uint32_t base : scanBases_) {
    if ((base & 0xFFFF0000) == (address & 0xFFFF0000)) return;
  }
  scanBases_.push_back(address);
}

uint32_t CUdpServer::NextScanAddress() {
  if (scanBases_.empty()) return 0;
  if (!scanStarted_ || scanBase_ >= scanBases_.size()) {
    scanStarted_ = true;
    scanBase_ = 0;
    scanThird_ = 0;
    scanFourth_ = 1;
  } else if (scanFourth_ < kLastOctet) {
    ++scanFourth_;
  } else if (scanThird_ < kLastOctet) {
    ++scanThird_;
    scanFourth_ = 0;
  } else {
    scanBase_ = (scanBase_ + 1) % scanBases_.size();
    scanThird_ = 0;
    scanFourth_ = 1;
  }
  return (scanBases_[scanBase_] & 0xFFFF0000) | scanThird_ << 8 | scanFourth_;
}

// ---- Receiving ----

void CUdpServer::ProcessEvents(CEventObject* event) {
  for (SocketHandle s : {broadcast_, multicast_}) {
    if (s == kInvalidSocket) continue;
    NetworkEvents pending;
    if (event != nullptr) event->EnumNetworkEvents(s, pending);
    if (pending.events & kFdRead) ReceiveDatagrams(s);
  }
}

void CUdpServer::ReceiveDatagrams(SocketHandle socket) {
  uint8_t buffer[kReceiveCapacity];
  int failures = 0;
  for (int i = 0; i < kDiscoveryReadsPerPass; ++i) {
    SocketAddress sender;
    int error = 0;
    const long n = ReceiveDatagram(socket, buffer, sizeof buffer, sender, error);
    if (n < 0) {
      // A pending error (an ICMP report) is taken by the failed read; a second failure ends
      // the pass.
      if (error == kWsaEwouldblock || ++failures >= 2) return;
      continue;
    }
    if (static_cast<size_t>(n) >= kDiscoveryDatagramSize) lastActivity_ = GetTickCount();
    if (static_cast<size_t>(n) > sizeof buffer) continue;  // cut short: not one of ours
    if (OnDatagram(buffer, static_cast<size_t>(n), sender) != DatagramAction::kAnswer) continue;
    const DiscoveryDatagram announcement = BuildDiscoveryDatagram(kDiscoveryKindAnnouncement, 0);
    if (SendDatagram(socket, announcement.data(), announcement.size(), targets_.announcementAddress,
                     targets_.announcementPort, error) < 0) {
      return;
    }
  }
}

CUdpServer::DatagramAction CUdpServer::OnDatagram(const uint8_t* data, size_t length,
                                                  const SocketAddress& sender) {
  DiscoveryMessage message;
  if (!ParseDiscoveryDatagram(data, length, message)) return DatagramAction::kIgnored;
  if (message.kind == kDiscoveryKindQuery) return DatagramAction::kAnswer;
  // An announcement. Port 0 is what FTP servers announce (they have no management port): it
  // must not replace a usable address. Neither may a sender that is no single host.
  if (message.command == 0 || message.command > 0xFFFF) return DatagramAction::kIgnored;
  if (sender.address == 0 || sender.address == 0xFFFFFFFF) return DatagramAction::kIgnored;
  // SECURITY: a management server lives on this host or on one of its own networks; an
  // announcement routed in from anywhere else is nobody the café set up.
  if (!networksRead_) ReadLocalNetworks();
  if (!IsFromLocalNetwork(sender.address)) return DatagramAction::kIgnored;
  if (handler_ != nullptr) handler_->OnAnnouncement(sender.address, message.command);
  return DatagramAction::kAnnounced;
}

}  // namespace zelm
