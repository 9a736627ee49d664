// The management packet: a 40-byte header protected by an MD5 digest, optionally followed by
// a body, and the cutting of packets out of a received byte stream.
//
// Wire layout (all numbers little-endian):
//   0  digest[16]   MD5 over the whole packet with these 16 bytes taken as zero
//   16 length       total bytes: 40 without a body, 39 + n with a body of n bytes
//   20 kind         1148 from the FTP server, 1149 from the management server
//   24 category
//   28 command
//   32 bodyLength
//   36 reserved     0 without a body; with a body, the body starts here (3 padding bytes end
//                   the packet)
// See doc/management-protocol.md.
// Thread safety: pure functions over caller-owned buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace zelm {

inline constexpr uint32_t kPacketHeaderSize = 40;
inline constexpr uint32_t kPacketBodyOffset = 36;

// Packet kinds.
inline constexpr uint32_t kKindFromFtpServer = 1148;
inline constexpr uint32_t kKindFromManagement = 1149;

// Categories.
inline constexpr uint32_t kCategoryHello = 100;
inline constexpr uint32_t kCategoryStatusRequest = 112;
inline constexpr uint32_t kCategorySessionClosed = 129;
inline constexpr uint32_t kCategoryItems = 1136;

// Commands of category 1136.
inline constexpr uint32_t kCommandConfiguration = 100;
inline constexpr uint32_t kCommandStatusFirst = 103;
inline constexpr uint32_t kCommandLoginRequest = 104;
inline constexpr uint32_t kCommandLoginAnswer = 110;
inline constexpr uint32_t kCommandStatusSession = 112;
inline constexpr uint32_t kCommandEndSessions = 115;
inline constexpr uint32_t kCommandAccessRequest = 117;
inline constexpr uint32_t kCommandAccessAnswer = 120;
inline constexpr uint32_t kCommandShortcutFolder = 121;

// Results of CheckPacket.
inline constexpr int kPacketValid = 3;
inline constexpr int kPacketInvalid = 2;

struct MServerPacketHeader {
  uint8_t digest[16] = {};
  uint32_t length = 0;
  uint32_t kind = 0;
  uint32_t category = 0;
  uint32_t command = 0;
  uint32_t bodyLength = 0;
  uint32_t reserved = 0;
};

// Fills a header: `clear` zeroes it first; sets kind, category, command, bodyLength and
// length = bodyLength + 40.
void BuildHeader(MServerPacketHeader& header, uint32_t bodyLength, uint32_t kind, uint32_t category,
                 uint32_t command, bool clear);

// Reads the header fields of a packet of at least 40 bytes.
MServerPacketHeader ReadHeader(const uint8_t* packet);
// Writes the 40 header bytes.
void WriteHeader(const MServerPacketHeader& header, uint8_t* packet);

// The bytes a sender puts on the wire. Without a body: 40 bytes (or the header's own non-zero
// length), digest stamped. With a body: the first 36 header bytes, the body at offset 36,
// 3 zero padding bytes, length = bodyLength + 39, digest stamped.
std::vector<uint8_t> EncodePacket(const MServerPacketHeader& header, const uint8_t* body,
                                  uint32_t bodyLength);

// Sets the length field to `length` and writes MD5(16 zero bytes + packet[16..length)) at 0.
void StampDigest(uint8_t* packet, uint32_t length);
// kPacketValid when the digest over `length` bytes matches the one at offset 0, else
// kPacketInvalid.
int CheckPacket(const uint8_t* packet, uint32_t length);
// The packet's length field when it equals bodyLength + 40 or bodyLength + 39 and does not
// exceed kMaxManagementPacket; otherwise 0. Reads the first 40 bytes.
uint32_t GetPacketLength(const uint8_t* packet);
// The body at offset 36, terminated in place by a 0 at 36 + bodyLength (which lies inside
// any packet GetPacketLength accepted).
uint8_t* GetBody(uint8_t* packet);

// Receives one verified packet: its header and, when bodyLength is not 0, its body
// (terminated in place).
using PacketHandler =
    std::function<void(const MServerPacketHeader& header, uint8_t* body, uint32_t bodyLength)>;

// Cuts packets out of the bytes received so far (the management link's OnReceiveData).
// Returns the number of bytes still missing for the next packet (keep all bytes, read more),
// or 0 when the bytes are used up: every whole packet was dispatched, or a malformed or
// forged packet ended processing and the rest of the data is to be dropped. `consumed` tells
// how many leading bytes were dispatched; `malformed`, when given, tells whether a malformed or
// forged packet was met (the stream is then out of step with its packets).
size_t CutPackets(uint8_t* data, size_t count, size_t& consumed, const PacketHandler& dispatch,
                  bool* malformed = nullptr);

}  // namespace zelm
