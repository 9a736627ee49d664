// The discovery datagram: how FTP servers look for their management server over UDP, and
// how a management server answers.
//
// Always 40 bytes, numbers little-endian (the management packet header's layout with a fixed
// signature in place of the digest):
//   0  signature[16]  00 85 DA 47 A1 96 CD 11 "zelmarS" 00
//   16 length         40
//   20 kind           1029 query, 1028 announcement
//   24 category       0 when sent, ignored when received
//   28 command        an announcement of a management server: its TCP port; 0 otherwise
//   32 bodyLength     0
//   36 reserved       0
// See doc/discovery.md.
// Thread safety: pure functions and constants.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelm {

inline constexpr size_t kDiscoveryDatagramSize = 40;
inline constexpr uint32_t kDiscoveryKindQuery = 1029;
inline constexpr uint32_t kDiscoveryKindAnnouncement = 1028;
inline constexpr std::array<uint8_t, 16> kDiscoverySignature = {
    0x00, 0x85, 0xDA, 0x47, 0xA1, 0x96, 0xCD, 0x11, 'z', 'e', 'l', 'm', 'a', 'r', 'S', 0x00};

// Where queries and announcements go unless a caller chooses otherwise (host order).
inline constexpr uint32_t kDiscoveryMulticastGroup = 0xEB010579;  // 235.1.5.121
inline constexpr uint16_t kDiscoveryMulticastPort = 5320;
inline constexpr std::array<uint16_t, 6> kDiscoveryQueryPorts = {5300, 2400, 3371,
                                                                 4852, 5940, 7000};
inline constexpr uint32_t kDiscoveryBroadcastAddress = 0xFFFFFFFF;  // 255.255.255.255
inline constexpr uint32_t kDiscoveryLoopbackAddress = 0x7F000001;   // 127.0.0.1
inline constexpr uint16_t kDiscoveryAnnouncementPort = 7000;

using DiscoveryDatagram = std::array<uint8_t, kDiscoveryDatagramSize>;

// A datagram of `kind` with `command` at offset 28; every other field as sent.
DiscoveryDatagram BuildDiscoveryDatagram(uint32_t kind, uint32_t command);

// A datagram as received.
struct DiscoveryMessage {
  uint32_t kind = 0;
  uint32_t command = 0;
};

// True when `data` is exactly 40 bytes, carries the signature and is a query or an
// announcement; fills `message`. Anything else is not a discovery datagram.
bool ParseDiscoveryDatagram(const uint8_t* data, size_t length, DiscoveryMessage& message);

}  // namespace zelm
