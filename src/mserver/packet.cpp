// Owns the management packet header: building, digest stamping, checking and stream cutting.
#include "mserver/packet.h"

#include <algorithm>
#include <cstring>

#include "mserver/wire.h"
#include "platform/limits.h"
#include "platform/md5.h"

namespace zelm {

void BuildHeader(MServerPacketHeader& header, uint32_t bodyLength, uint32_t kind, uint32_t category,
                 uint32_t command, bool clear) {
  if (clear) header = MServerPacketHeader{};
  header.kind = kind;
  header.category = category;
  header.command = command;
  header.bodyLength = bodyLength;
  header.length = bodyLength + kPacketHeaderSize;
}

MServerPacketHeader ReadHeader(const uint8_t* packet) {
  MServerPacketHeader header;
  std::memcpy(header.digest, packet, sizeof header.digest);
  header.length = ReadLe32(packet + 16);
  header.kind = ReadLe32(packet + 20);
  header.category = ReadLe32(packet + 24);
  header.command = ReadLe32(packet + 28);
  header.bodyLength = ReadLe32(packet + 32);
  header.reserved = ReadLe32(packet + 36);
  return header;
}

void WriteHeader(const MServerPacketHeader& header, uint8_t* packet) {
  std::memcpy(packet, header.digest, sizeof header.digest);
  WriteLe32(packet + 16, header.length);
  WriteLe32(packet + 20, header.kind);
  WriteLe32(packet + 24, header.category);
  WriteLe32(packet + 28, header.command);
  WriteLe32(packet + 32, header.bodyLength);
  WriteLe32(packet + 36, header.reserved);
}

std::vector<uint8_t> EncodePacket(const MServerPacketHeader& header, const uint8_t* body,
                                  uint32_t bodyLength) {
  if (body == nullptr || bodyLength == 0) {
    std::vector<uint8_t> packet(kPacketHeaderSize);
    WriteHeader(header, packet.data());
    // A packet without a body is its 40 header bytes, whatever length the header claimed.
    StampDigest(packet.data(), kPacketHeaderSize);
    return packet;
  }
  std::vector<uint8_t> packet(size_t{bodyLength} + kPacketHeaderSize);
  MServerPacketHeader withBody = header;
  withBody.bodyLength = bodyLength;
  WriteHeader(withBody, packet.data());
  std::memcpy(packet.data() + kPacketBodyOffset, body, bodyLength);
  const uint32_t length = bodyLength + kPacketHeaderSize - 1;
  packet.resize(length);
  // The padding carries no meaning; zero it so the same packet always reads the same.
  std::fill(packet.begin() + kPacketBodyOffset + bodyLength, packet.end(), 0);
  StampDigest(packet.data(), length);
  return packet;
}

namespace {

Md5Digest PacketDigest(const uint8_t* packet, uint32_t length) {
  static constexpr uint8_t kZeros[16] = {};
  CMd5 md5;
  md5.Update(kZeros, sizeof kZeros);
  md5.Update(packet + 16, length - 16);
  return md5.Final();
}

}  // namespace

void StampDigest(uint8_t* packet, uint32_t length) {
  if (length < kPacketHeaderSize - 1) return;  // no packet is shorter
  WriteLe32(packet + 16, length);
  const Md5Digest digest = PacketDigest(packet, length);
  std::memcpy(packet, digest.data(), digest.size());
}

int CheckPacket(const uint8_t* packet, uint32_t length) {
  if (length < kPacketHeaderSize - 1) return kPacketInvalid;
  const Md5Digest digest = PacketDigest(packet, length);
  return std::memcmp(digest.data(), packet, digest.size()) == 0 ? kPacketValid : kPacketInvalid;
}

uint32_t GetPacketLength(const uint8_t* packet) {
  const uint64_t length = ReadLe32(packet + 16);
  const uint64_t bodyLength = ReadLe32(packet + 32);
  if (length > kMaxManagementPacket) return 0;
  if (length != bodyLength + kPacketHeaderSize && length != bodyLength + kPacketHeaderSize - 1) {
    return 0;
  }
  return static_cast<uint32_t>(length);
}

uint8_t* GetBody(uint8_t* packet) {
  const uint32_t bodyLength = ReadLe32(packet + 32);
  packet[kPacketBodyOffset + bodyLength] = 0;
  return packet + kPacketBodyOffset;
}

size_t CutPackets(uint8_t* data, size_t count, size_t& consumed, const PacketHandler& dispatch,
                  bool* malformed) {
  if (malformed != nullptr) *malformed = false;
  if (count < kPacketHeaderSize) return kPacketHeaderSize - count;
  consumed = 0;
  while (true) {
    uint8_t* packet = data + consumed;
    const size_t left = count - consumed;
    if (left < kPacketHeaderSize) return kPacketHeaderSize - left;
    const uint32_t length = GetPacketLength(packet);
    if (length == 0 || (length <= left && CheckPacket(packet, length) != kPacketValid)) {
      if (malformed != nullptr) *malformed = true;
      return 0;
    }
    if (length > left) return length - left;
    const MServerPacketHeader header = ReadHeader(packet);
    if (header.bodyLength != 0) {
      dispatch(header, GetBody(packet), header.bodyLength);
    } else {
      dispatch(header, nullptr, 0);
    }
    consumed += length;
    if (consumed == count) return 0;
  }
}

}  // namespace zelm
