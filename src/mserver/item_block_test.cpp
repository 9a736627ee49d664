#include "mserver/item_block.h"

#include <gtest/gtest.h>

#include <vector>

#include "mserver/wire.h"
#include "platform/md5.h"

namespace zelm {
namespace {

std::vector<uint8_t> Sealed(CItemBlock& block) {
  block.Seal();
  return {block.Bytes().begin(), block.Bytes().end()};
}

TEST(ItemBlock, ItemSizesAsBuilt) {
  CItemBlock block;
  block.AddText(kItemUserName, "");      // 6 + 0 + zero byte
  block.AddText(kItemPath, "abc");       // 6 + 3 + 1
  block.AddU32(kItemSessionId, 5);       // 6 + 4
  block.AddItem(kItemRights, 0, false);  // empty item gets a byte
  block.AddItem(7, 4, false);            // tags 7 and 8 get a byte
  block.AddItem(8, 2, false);
  EXPECT_EQ(block.GetTotalLength(), 28u + 7 + 10 + 10 + 7 + 11 + 9);
  EXPECT_EQ(block.ItemCount(), 6u);
  const auto empty = block.FindItem(kItemUserName);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->data.size(), 1u);
  EXPECT_EQ(empty->data[0], 0);
  EXPECT_EQ(block.FindItem(kItemPath)->Text(), "abc");
  uint32_t id = 0;
  EXPECT_TRUE(block.FindItem(kItemSessionId)->ReadU32(id));
  EXPECT_EQ(id, 5u);
  EXPECT_EQ(block.ItemAt(3)->tag, kItemRights);
  EXPECT_FALSE(block.ItemAt(6));
  EXPECT_FALSE(block.FindItem(999));
}

// The digest's tail: the last 16 bytes of the block, or all item bytes when fewer.
TEST(ItemBlock, SealedDigestCoversHeaderAndTail) {
  for (const uint32_t textLength : {5u, 65u}) {  // blocks of 40 and 100 bytes
    CItemBlock block;
    block.AddText(kItemPath, std::string(textLength, 'x'));
    const std::vector<uint8_t> bytes = Sealed(block);
    const uint32_t total = static_cast<uint32_t>(bytes.size());
    const uint32_t tail = total == 40 ? 12 : 16;
    ASSERT_TRUE(total == 40 || total == 100);
    uint8_t header[28];
    std::copy(bytes.begin(), bytes.begin() + 28, header);
    std::fill(header + 12, header + 28, 0);
    CMd5 md5;
    md5.Update(header, sizeof header);
    md5.Update(bytes.data() + total - tail, tail);
    const Md5Digest digest = md5.Final();
    EXPECT_TRUE(std::equal(digest.begin(), digest.end(), bytes.begin() + 12)) << total;
    EXPECT_TRUE(CItemBlock::VerifyItemBlock(bytes.data(), total));
  }
}

TEST(ItemBlock, FlippedByteInHeaderOrTailFailsVerification) {
  CItemBlock block;
  block.AddText(kItemUserName, "alice");
  block.AddU32(kItemSessionId, 9);
  const std::vector<uint8_t> bytes = Sealed(block);
  const size_t n = bytes.size();
  for (size_t at = 0; at < n; ++at) {
    const bool covered = at < 28 || at >= n - 16;
    if (!covered) continue;
    std::vector<uint8_t> bad = bytes;
    bad[at] ^= 0x40;
    EXPECT_FALSE(CItemBlock::VerifyItemBlock(bad.data(), static_cast<uint32_t>(n))) << at;
  }
}

// A sealed block whose structure is then damaged and re-sealed by hand, so only the
// structural checks can catch it.
std::vector<uint8_t> Damaged(void (*damage)(std::vector<uint8_t>&)) {
  CItemBlock block;
  block.AddText(kItemUserName, "alice");
  block.AddU32(kItemSessionId, 9);
  std::vector<uint8_t> bytes = Sealed(block);
  damage(bytes);
  // Re-seal over the damaged bytes so that the digests agree.
  std::vector<uint8_t> header(bytes.begin(), bytes.begin() + 28);
  std::fill(header.begin() + 6, header.begin() + 10, 0);
  std::fill(header.begin() + 12, header.end(), 0);
  const Md5Digest check = Md5Of(header.data(), header.size());
  std::copy(check.begin(), check.begin() + 4, bytes.begin() + 6);
  std::copy(check.begin(), check.begin() + 4, header.begin() + 6);
  const size_t tailStart = std::max<size_t>(28, bytes.size() - 16);
  CMd5 md5;
  md5.Update(header.data(), header.size());
  md5.Update(bytes.data() + tailStart, bytes.size() - tailStart);
  const Md5Digest digest = md5.Final();
  std::copy(digest.begin(), digest.end(), bytes.begin() + 12);
  return bytes;
}

TEST(ItemBlock, MalformedBlocksAreRejectedAndNeverReadOutside) {
  struct Case {
    const char* name;
    void (*damage)(std::vector<uint8_t>&);
  };
  const Case cases[] = {
      {"item length 0", [](std::vector<uint8_t>& b) { WriteLe32(b.data() + 28 + 2, 0); }},
      {"item length 5", [](std::vector<uint8_t>& b) { WriteLe32(b.data() + 28 + 2, 5); }},
      {"item past the end", [](std::vector<uint8_t>& b) { WriteLe32(b.data() + 28 + 2, 500); }},
      {"count above items", [](std::vector<uint8_t>& b) { WriteLe16(b.data() + 10, 3); }},
      {"total above data",
       [](std::vector<uint8_t>& b) {
         WriteLe32(b.data() + 2, static_cast<uint32_t>(b.size() + 1));
       }},
      {"total below header", [](std::vector<uint8_t>& b) { WriteLe32(b.data() + 2, 20); }},
      {"truncated", [](std::vector<uint8_t>& b) { b.resize(b.size() - 3); }},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = Damaged(c.damage);
    // Exact-size heap copy so the sanitizer sees any read past the end.
    std::vector<uint8_t> exact(bytes);
    EXPECT_FALSE(CItemBlock::VerifyItemBlock(exact.data(), static_cast<uint32_t>(exact.size())))
        << c.name;
    CItemBlock attached;
    EXPECT_FALSE(attached.AttachBlock(exact.data(), static_cast<uint32_t>(exact.size()))) << c.name;
    EXPECT_FALSE(attached.FindItem(kItemSessionId)) << c.name;
    EXPECT_FALSE(attached.ItemAt(0)) << c.name;
  }
  for (uint32_t shortLength : {0u, 1u, 27u}) {
    std::vector<uint8_t> tiny(shortLength + 1, 0);
    EXPECT_FALSE(CItemBlock::VerifyItemBlock(tiny.data(), shortLength));
    CItemBlock attached;
    EXPECT_FALSE(attached.AttachBlock(tiny.data(), shortLength));
  }
}

TEST(ItemBlock, AttachedBlockReadsItemsInPlace) {
  CItemBlock built;
  built.AddText(kItemUserName, "bob");
  built.AddU32(kItemLoginResult, 0xFFFFFFFFu);
  const std::vector<uint8_t> bytes = Sealed(built);
  ASSERT_TRUE(CItemBlock::VerifyItemBlock(bytes.data(), static_cast<uint32_t>(bytes.size())));
  CItemBlock received;
  ASSERT_TRUE(received.AttachBlock(bytes.data(), static_cast<uint32_t>(bytes.size())));
  EXPECT_EQ(received.FindItem(kItemUserName)->Text(), "bob");
  int32_t result = 0;
  EXPECT_TRUE(received.ItemAt(1)->ReadI32(result));
  EXPECT_EQ(result, -1);
  received.Release();
  EXPECT_EQ(received.GetTotalLength(), 0u);
  EXPECT_FALSE(received.FindItem(kItemUserName));
}

TEST(ItemBlock, ShortNumberItemIsNotReadAsFourBytes) {
  CItemBlock block;
  block.AddItem(kItemSessionId, 2, false);
  uint32_t value = 0;
  EXPECT_FALSE(block.FindItem(kItemSessionId)->ReadU32(value));
}

}  // namespace
}  // namespace zelm
