#include "mserver/packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "mserver/item_block.h"
#include "mserver/password_hiding.h"
#include "mserver/wire.h"
#include "platform/limits.h"

namespace zelm {
namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

std::vector<uint8_t> Build(uint32_t category, uint32_t command, const void* body, uint32_t n) {
  MServerPacketHeader header;
  BuildHeader(header, n, kKindFromFtpServer, category, command, true);
  return EncodePacket(header, static_cast<const uint8_t*>(body), n);
}

// Vectors computed independently (Python's hashlib and struct) from the wire format.
TEST(PacketWire, HelloStatusLoginAndClosedMatchIndependentVectors) {
  const std::vector<uint8_t> hello = Build(kCategoryHello, 0, "PC01", 5);
  EXPECT_EQ(hello.size(), 44u);
  EXPECT_EQ(Hex(hello),
            "b29654df486e1c045bb67fc8d9fd4c2e2c0000007c0400006400000000000000050000005043303100"
            "000000");

  CItemBlock status;
  uint8_t* record = status.AddItem(kItemServiceRecord, 24, false);
  const uint32_t values[6] = {1, 3, 50, 0, 0, 0};
  for (int i = 0; i < 6; ++i) WriteLe32(record + 4 * i, values[i]);
  status.Seal();
  ASSERT_EQ(status.GetTotalLength(), 58u);
  const std::vector<uint8_t> statusPacket =
      Build(kCategoryItems, kCommandStatusFirst, status.Bytes().data(), status.GetTotalLength());
  EXPECT_EQ(statusPacket.size(), 97u);
  EXPECT_EQ(Hex(statusPacket),
            "a7a34827a324e70b8e09f2164002c766610000007c04000070040000670000003a00000000003a0000"
            "00b563e20e0100fb6b5bfebc7e0f5bd7f8ef8b865d2f6e67001e0000000100000003000000320000"
            "00000000000000000000000000000000");

  CItemBlock login;
  login.AddText(kItemUserName, "bob");
  login.AddText(kItemHiddenPassword, HidePassword("secret", "bob"));
  login.AddU32(kItemSessionId, 7);
  login.Seal();
  const std::vector<uint8_t> loginPacket =
      Build(kCategoryItems, kCommandLoginRequest, login.Bytes().data(), login.GetTotalLength());
  EXPECT_EQ(loginPacket.size(), 126u);
  EXPECT_EQ(Hex(loginPacket),
            "03de5e5c39e1253323523b00511ace577e0000007c040000700400006800000057000000000057000000"
            "c6a3fcc603008080d039f9708d8f85f5e343a51b4c8469000a000000626f62006b0027000000454346"
            "3833324345313539423231434135433134463330373938304132394438006c000a0000000700000000"
            "0000");

  const std::vector<uint8_t> closed = Build(kCategorySessionClosed, 7, nullptr, 0);
  EXPECT_EQ(Hex(closed),
            "e72f5b1a288a75b6069572136d0cc2fe280000007c04000081000000070000000000000000000000");
}

struct Received {
  uint32_t category;
  uint32_t command;
  std::string body;
};

// Feeds `stream` to the cutter the way the socket's receive loop does: bytes accumulate in a
// block; when the cutter returns 0 the block is emptied, otherwise the dispatched leading
// bytes are dropped and the rest waits for more.
class StreamFeeder {
 public:
  void Feed(const uint8_t* data, size_t n) {
    block_.insert(block_.end(), data, data + n);
    size_t consumed = 0;
    const size_t missing =
        CutPackets(block_.data(), block_.size(), consumed,
                   [this](const MServerPacketHeader& h, uint8_t* body, uint32_t length) {
                     got.push_back({h.category, h.command,
                                    body ? std::string(reinterpret_cast<char*>(body), length)
                                         : std::string()});
                   });
    lastMissing = missing;
    if (missing == 0) {
      block_.clear();
    } else {
      // Dispatched packets leave the block; the incomplete rest waits for more bytes.
      block_.erase(block_.begin(), block_.begin() + static_cast<std::ptrdiff_t>(consumed));
    }
  }
  std::vector<Received> got;
  size_t lastMissing = 0;
  size_t Held() const { return block_.size(); }

 private:
  std::vector<uint8_t> block_;
};

std::vector<uint8_t> TwoPackets() {
  std::vector<uint8_t> stream = Build(kCategoryHello, 0, "PC01", 5);
  const std::vector<uint8_t> second = Build(kCategorySessionClosed, 42, nullptr, 0);
  stream.insert(stream.end(), second.begin(), second.end());
  return stream;
}

TEST(PacketCutter, TwoPacketsInOneReadAreBothDispatched) {
  StreamFeeder feeder;
  const std::vector<uint8_t> stream = TwoPackets();
  feeder.Feed(stream.data(), stream.size());
  ASSERT_EQ(feeder.got.size(), 2u);
  EXPECT_EQ(feeder.got[0].body, std::string("PC01", 5));
  EXPECT_EQ(feeder.got[1].category, kCategorySessionClosed);
  EXPECT_EQ(feeder.got[1].command, 42u);
  EXPECT_EQ(feeder.lastMissing, 0u);
}

TEST(PacketCutter, StreamSplitAtEveryOffsetGivesTheSamePackets) {
  const std::vector<uint8_t> stream = TwoPackets();
  for (size_t split = 1; split < stream.size(); ++split) {
    StreamFeeder feeder;
    feeder.Feed(stream.data(), split);
    feeder.Feed(stream.data() + split, stream.size() - split);
    ASSERT_EQ(feeder.got.size(), 2u) << "split at " << split;
    EXPECT_EQ(feeder.got[0].body, std::string("PC01", 5));
    EXPECT_EQ(feeder.got[1].command, 42u);
    EXPECT_EQ(feeder.Held(), 0u);
  }
}

TEST(PacketCutter, ReportsHowManyBytesAreStillMissing) {
  const std::vector<uint8_t> hello = Build(kCategoryHello, 0, "PC01", 5);
  StreamFeeder feeder;
  feeder.Feed(hello.data(), 10);
  EXPECT_EQ(feeder.lastMissing, 30u);  // up to a whole header first
  feeder.Feed(hello.data() + 10, 31);
  EXPECT_EQ(feeder.lastMissing, 3u);  // then up to the whole packet
  feeder.Feed(hello.data() + 41, 3);
  EXPECT_EQ(feeder.lastMissing, 0u);
  EXPECT_EQ(feeder.got.size(), 1u);
}

TEST(PacketCutter, FlippedByteAnywhereIsRejected) {
  const std::vector<uint8_t> good = Build(kCategoryHello, 0, "PC01", 5);
  const std::vector<uint8_t> next = Build(kCategorySessionClosed, 42, nullptr, 0);
  for (size_t at = 0; at < good.size(); ++at) {
    std::vector<uint8_t> bad = good;
    bad[at] ^= 0x01;
    // A flipped length byte may make the cutter wait for more; the next packet completes it.
    bad.insert(bad.end(), next.begin(), next.end());
    StreamFeeder feeder;
    feeder.Feed(bad.data(), bad.size());
    for (const Received& r : feeder.got) EXPECT_EQ(r.category, kCategorySessionClosed) << at;
    if (at != 16 && at != 17 && at != 18 && at != 19) {
      EXPECT_TRUE(feeder.got.empty()) << "byte " << at;
      EXPECT_EQ(feeder.Held(), 0u) << "byte " << at;  // the rest of the read is dropped
    }
  }
}

TEST(PacketCutter, BadPacketDropsTheRestOfTheRead) {
  std::vector<uint8_t> stream = TwoPackets();
  stream[44 + 20] ^= 0xFF;  // the second packet's kind
  StreamFeeder feeder;
  feeder.Feed(stream.data(), stream.size());
  EXPECT_EQ(feeder.got.size(), 1u);
  EXPECT_EQ(feeder.Held(), 0u);
}

// Builds a packet whose header says `length` and `bodyLength`, with a correct digest over
// the bytes present.
std::vector<uint8_t> Forged(uint32_t length, uint32_t bodyLength, size_t present) {
  std::vector<uint8_t> packet(std::max<size_t>(present, kPacketHeaderSize), 0);
  WriteLe32(packet.data() + 16, length);
  WriteLe32(packet.data() + 20, kKindFromManagement);
  WriteLe32(packet.data() + 32, bodyLength);
  if (length <= present) StampDigest(packet.data(), length);
  // An exact-size copy, so that the sanitizer sees any read past the bytes present.
  return std::vector<uint8_t>(packet.begin(),
                              packet.begin() + static_cast<std::ptrdiff_t>(present));
}

TEST(PacketCutter, MalformedHeadersAreRejectedWithoutReadingPastTheData) {
  struct Case {
    const char* name;
    uint32_t length;
    uint32_t bodyLength;
    size_t present;
    size_t expectMissing;
    size_t expectDispatched;
  };
  const Case cases[] = {
      {"short read", 40, 0, 12, 28, 0},
      {"length disagrees with body", 60, 5, 60, 0, 0},
      {"length below body", 40, 100, 40, 0, 0},
      {"zero length", 0, 0, 40, 0, 0},
      {"body length overflows", 39, 0xFFFFFFFFu, 40, 0, 0},
      {"over the cap", kMaxManagementPacket + 40, kMaxManagementPacket, 40, 0, 0},
      {"at the cap, truncated", kMaxManagementPacket, kMaxManagementPacket - 40, 40,
       kMaxManagementPacket - 40, 0},
      {"39-byte packet without body", 39, 0, 40, 39, 1},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> data = Forged(c.length, c.bodyLength, c.present);
    size_t consumed = 0;
    size_t dispatched = 0;
    bool malformed = false;
    const size_t missing = CutPackets(
        data.data(), data.size(), consumed,
        [&](const MServerPacketHeader&, uint8_t*, uint32_t) { ++dispatched; }, &malformed);
    EXPECT_EQ(missing, c.expectMissing) << c.name;
    EXPECT_EQ(dispatched, c.expectDispatched) << c.name;
    // Every rejection says so, so that the link can start afresh; waiting for more does not.
    EXPECT_EQ(malformed, missing == 0 && dispatched == 0) << c.name;
  }
}

TEST(PacketHeader, AcceptsBothLengthRulesAndTerminatesTheBodyInPlace) {
  std::vector<uint8_t> packet = Build(kCategoryItems, 100, "abcd", 4);  // 39 + 4
  EXPECT_EQ(GetPacketLength(packet.data()), 43u);
  packet.push_back(0x55);
  WriteLe32(packet.data() + 16, 44);  // 40 + 4 is accepted too
  StampDigest(packet.data(), 44);
  EXPECT_EQ(GetPacketLength(packet.data()), 44u);
  EXPECT_EQ(CheckPacket(packet.data(), 44), kPacketValid);
  packet[40] = 'X';
  const uint8_t* body = GetBody(packet.data());
  EXPECT_STREQ(reinterpret_cast<const char*>(body), "abcd");
}

}  // namespace
}  // namespace zelm
