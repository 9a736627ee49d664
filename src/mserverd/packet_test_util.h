// Test helpers: the management packets in a byte stream, cut apart for inspection.
#pragma once

#include <cstdint>
#include <vector>

#include "mserver/packet.h"

namespace zelm {

struct ReceivedPacket {
  MServerPacketHeader header;
  std::vector<uint8_t> body;
  const uint8_t* Body() const { return body.empty() ? nullptr : body.data(); }
  uint32_t BodyLength() const { return static_cast<uint32_t>(body.size()); }
  bool Is(uint32_t category, uint32_t command) const {
    return header.category == category && header.command == command;
  }
};

// Every whole packet in `bytes`; `rest` (when given) receives the bytes of an unfinished one.
inline std::vector<ReceivedPacket> CutAll(std::vector<uint8_t> bytes,
                                          std::vector<uint8_t>* rest = nullptr) {
  std::vector<ReceivedPacket> packets;
  size_t consumed = 0;
  CutPackets(bytes.data(), bytes.size(), consumed,
             [&packets](const MServerPacketHeader& header, uint8_t* body, uint32_t length) {
               packets.push_back({header, std::vector<uint8_t>(body, body + length)});
             });
  if (rest != nullptr) rest->assign(bytes.begin() + static_cast<ptrdiff_t>(consumed), bytes.end());
  return packets;
}

}  // namespace zelm
