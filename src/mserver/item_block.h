// CItemBlock: the tagged-item container that forms the body of most management packets.
//
// Layout (little-endian):
//   block header, 28 bytes: reserved u16 (0), totalLength u32, checkValue u32, itemCount u16,
//   digest[16]; then itemCount items, each a 6-byte header (tag u16, length u32, the whole
//   item) followed by its data.
// checkValue: the first 4 bytes of MD5 over the 28-byte header with checkValue and digest
// zero. digest: MD5 over the header (checkValue filled, digest zero) followed by the block's
// last 16 bytes (all item bytes when there are fewer than 16).
//
// A received block comes from the network: `VerifyItemBlock` and `AttachBlock` check every
// item header against the block, so `FindItem` and `ItemAt` never read outside it.
// Thread safety: one object belongs to one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelm {

inline constexpr uint32_t kItemBlockHeaderSize = 28;
inline constexpr uint32_t kItemHeaderSize = 6;

// Item tags.
enum : uint16_t {
  kItemServiceRecord = 103,
  kItemUserName = 105,
  kItemUserNameAlt = 106,
  kItemHiddenPassword = 107,
  kItemSessionId = 108,
  kItemLoginResult = 109,
  kItemAccountParameters = 111,
  kItemPath = 113,
  kItemHomeFolderAlt = 114,
  kItemAccessPath = 117,
  kItemAccessSessionId = 118,
  kItemOperation = 119,
  kItemRights = 120,
  kItemShortcutFolder = 122,
  kItemShortcutTarget = 123,
  kItemLoggedInSeconds = 124,
  kItemPeerAddress = 125,
  kItemBytesSent = 126,
  kItemBytesReceived = 127,
  kItemTransferKind = 128,
};

// One item of a block, as a view into the block's bytes.
struct ItemView {
  uint16_t tag = 0;
  std::span<const uint8_t> data;  // the item's value (its length minus the 6 header bytes)

  // A text item read up to its first zero byte (or its end).
  std::string_view Text() const;
  // The first 4 bytes as a little-endian number; false when the item is shorter.
  bool ReadU32(uint32_t& value) const;
  bool ReadI32(int32_t& value) const;
};

class CItemBlock {
 public:
  CItemBlock() = default;
  virtual ~CItemBlock() = default;
  CItemBlock(const CItemBlock&) = delete;
  CItemBlock& operator=(const CItemBlock&) = delete;

  // Appends an item of `size` data bytes (a text item: the text length; it gets its zero
  // byte) and returns a pointer to its data, valid until the next AddItem. The item's length
  // is 6 + size, plus one byte for a text, an empty item, or tags 7 and 8.
  uint8_t* AddItem(uint16_t tag, uint32_t size, bool isText);
  void AddText(uint16_t tag, std::string_view text);
  void AddU32(uint16_t tag, uint32_t value);
  void AddBytes(uint16_t tag, std::span<const uint8_t> bytes);

  // 28 plus the lengths of all items; 0 when there is no block.
  uint32_t GetTotalLength() const;
  // Computes checkValue and digest; call after the last AddItem, before sending.
  void Seal();

  // True when the block of `length` received bytes is well formed (every item inside the
  // block, item lengths of at least 6, as many items as itemCount says, totalLength within
  // `length`) and its checkValue and digest match; the digest's tail is taken from `length`.
  static bool VerifyItemBlock(const uint8_t* block, uint32_t length);

  // Takes a received block of `available` bytes without owning it. A block that is not well
  // formed within those bytes is dropped at once: returns false and the object stays empty.
  bool AttachBlock(const uint8_t* block, uint32_t available);
  // Forgets the block.
  void Release();

  std::optional<ItemView> FindItem(uint16_t tag) const;
  std::optional<ItemView> ItemAt(uint32_t index) const;
  uint32_t ItemCount() const;

  // The block's bytes (built or attached).
  std::span<const uint8_t> Bytes() const { return {Data(), Size()}; }

 private:
  const uint8_t* Data() const { return attached_ != nullptr ? attached_ : owned_.data(); }
  uint32_t Size() const {
    return attached_ != nullptr ? attachedLength_ : static_cast<uint32_t>(owned_.size());
  }

  std::vector<uint8_t> owned_;
  const uint8_t* attached_ = nullptr;
  uint32_t attachedLength_ = 0;
};

}  // namespace zelm
