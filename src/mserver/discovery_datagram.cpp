// Owns the building and checking of discovery datagrams.
#include "mserver/discovery_datagram.h"

#include <algorithm>

#include "mserver/wire.h"

namespace zelm {

DiscoveryDatagram BuildDiscoveryDatagram(uint32_t kind, uint32_t command) {
  DiscoveryDatagram datagram{};
  std::copy(kDiscoverySignature.begin(), kDiscoverySignature.end(), datagram.begin());
  WriteLe32(datagram.data() + 16, kDiscoveryDatagramSize);
  WriteLe32(datagram.data() + 20, kind);
  WriteLe32(datagram.data() + 28, command);
  return datagram;
}

bool ParseDiscoveryDatagram(const uint8_t* data, size_t length, DiscoveryMessage& message) {
  if (data == nullptr || length != kDiscoveryDatagramSize) return false;
  if (!std::equal(kDiscoverySignature.begin(), kDiscoverySignature.end(), data)) return false;
  const uint32_t kind = ReadLe32(data + 20);
  if (kind != kDiscoveryKindQuery && kind != kDiscoveryKindAnnouncement) return false;
  message.kind = kind;
  message.command = ReadLe32(data + 28);
  return true;
}

}  // namespace zelm
