// Owns the item block: building, sealing, verifying and reading tagged items.
#include "mserver/item_block.h"

#include <algorithm>
#include <cstring>

#include "mserver/wire.h"
#include "platform/md5.h"

namespace zelm {
namespace {

constexpr size_t kTotalLengthAt = 2;
constexpr size_t kCheckValueAt = 6;
constexpr size_t kItemCountAt = 10;
constexpr size_t kDigestAt = 12;

// The 28-byte header with checkValue (when `keepCheck` is false) and digest zeroed.
std::array<uint8_t, kItemBlockHeaderSize> ZeroedHeader(const uint8_t* block, bool keepCheck) {
  std::array<uint8_t, kItemBlockHeaderSize> header{};
  std::memcpy(header.data(), block, header.size());
  if (!keepCheck) std::memset(header.data() + kCheckValueAt, 0, 4);
  std::memset(header.data() + kDigestAt, 0, 16);
  return header;
}

Md5Digest BlockDigest(const uint8_t* block, uint32_t length) {
  const auto header = ZeroedHeader(block, true);
  const uint32_t tailStart =
      std::max<uint32_t>(kItemBlockHeaderSize, length < 16 ? 0 : length - 16);
  CMd5 md5;
  md5.Update(header.data(), header.size());
  if (length > tailStart) md5.Update(block + tailStart, length - tailStart);
  return md5.Final();
}

// Checks that the block's items all lie inside it; the block must hold at least its header.
bool IsWellFormed(const uint8_t* block, uint32_t available) {
  if (block == nullptr || available < kItemBlockHeaderSize) return false;
  const uint32_t total = ReadLe32(block + kTotalLengthAt);
  if (total < kItemBlockHeaderSize || total > available) return false;
  const uint32_t count = ReadLe16(block + kItemCountAt);
  uint64_t at = kItemBlockHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + kItemHeaderSize > total) return false;
    const uint32_t length = ReadLe32(block + at + 2);
    if (length < kItemHeaderSize || at + length > total) return false;
    at += length;
  }
  return true;
}

}  // namespace

std::string_view ItemView::Text() const {
  const auto* chars = reinterpret_cast<const char*>(data.data());
  const void* zero = std::memchr(chars, 0, data.size());
  return {chars, zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - chars)
                                 : data.size()};
}

bool ItemView::ReadU32(uint32_t& value) const {
  if (data.size() < 4) return false;
  value = ReadLe32(data.data());
  return true;
}

bool ItemView::ReadI32(int32_t& value) const {
  uint32_t raw = 0;
  if (!ReadU32(raw)) return false;
  value = static_cast<int32_t>(raw);
  return true;
}

uint8_t* CItemBlock::AddItem(uint16_t tag, uint32_t size, bool isText) {
  if (attached_ != nullptr) Release();
  if (owned_.empty()) owned_.assign(kItemBlockHeaderSize, 0);
  const uint32_t extra = (isText || size == 0 || tag == 7 || tag == 8) ? 1 : 0;
  const uint32_t length = kItemHeaderSize + size + extra;
  const size_t at = owned_.size();
  owned_.resize(at + length, 0);
  WriteLe16(owned_.data() + at, tag);
  WriteLe32(owned_.data() + at + 2, length);
  WriteLe32(owned_.data() + kTotalLengthAt, static_cast<uint32_t>(owned_.size()));
  WriteLe16(owned_.data() + kItemCountAt,
            static_cast<uint16_t>(ReadLe16(owned_.data() + kItemCountAt) + 1));
  return owned_.data() + at + kItemHeaderSize;
}

void CItemBlock::AddText(uint16_t tag, std::string_view text) {
  uint8_t* data = AddItem(tag, static_cast<uint32_t>(text.size()), true);
  if (!text.empty()) std::memcpy(data, text.data(), text.size());
}

void CItemBlock::AddU32(uint16_t tag, uint32_t value) { WriteLe32(AddItem(tag, 4, false), value); }

void CItemBlock::AddBytes(uint16_t tag, std::span<const uint8_t> bytes) {
  uint8_t* data = AddItem(tag, static_cast<uint32_t>(bytes.size()), false);
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
}

uint32_t CItemBlock::GetTotalLength() const {
  if (Size() < kItemBlockHeaderSize) return 0;
  return ReadLe32(Data() + kTotalLengthAt);
}

void CItemBlock::Seal() {
  if (owned_.empty()) return;
  uint8_t* block = owned_.data();
  const auto header = ZeroedHeader(block, false);
  const Md5Digest check = Md5Of(header.data(), header.size());
  std::memcpy(block + kCheckValueAt, check.data(), 4);
  std::memset(block + kDigestAt, 0, 16);
  const Md5Digest digest = BlockDigest(block, static_cast<uint32_t>(owned_.size()));
  std::memcpy(block + kDigestAt, digest.data(), digest.size());
}

bool CItemBlock::VerifyItemBlock(const uint8_t* block, uint32_t length) {
  if (!IsWellFormed(block, length)) return false;
  const auto header = ZeroedHeader(block, false);
  const Md5Digest check = Md5Of(header.data(), header.size());
  if (std::memcmp(check.data(), block + kCheckValueAt, 4) != 0) return false;
  const Md5Digest digest = BlockDigest(block, length);
  return std::memcmp(digest.data(), block + kDigestAt, digest.size()) == 0;
}

bool CItemBlock::AttachBlock(const uint8_t* block, uint32_t available) {
  Release();
  if (!IsWellFormed(block, available)) return false;
  attached_ = block;
  attachedLength_ = ReadLe32(block + kTotalLengthAt);
  return true;
}

void CItemBlock::Release() {
  owned_.clear();
  owned_.shrink_to_fit();
  attached_ = nullptr;
  attachedLength_ = 0;
}

uint32_t CItemBlock::ItemCount() const {
  return Size() < kItemBlockHeaderSize ? 0 : ReadLe16(Data() + kItemCountAt);
}

std::optional<ItemView> CItemBlock::ItemAt(uint32_t index) const {
  if (index >= ItemCount()) return std::nullopt;
  const uint8_t* block = Data();
  uint32_t at = kItemBlockHeaderSize;
  for (uint32_t i = 0;; ++i) {
    // Owned blocks are built well formed and attached ones were checked on attaching.
    const uint32_t length = ReadLe32(block + at + 2);
    if (i == index) {
      return ItemView{ReadLe16(block + at),
                      {block + at + kItemHeaderSize, length - kItemHeaderSize}};
    }
    at += length;
  }
}

std::optional<ItemView> CItemBlock::FindItem(uint16_t tag) const {
  const uint32_t count = ItemCount();
  const uint8_t* block = Data();
  uint32_t at = kItemBlockHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t length = ReadLe32(block + at + 2);
    if (ReadLe16(block + at) == tag) {
      return ItemView{tag, {block + at + kItemHeaderSize, length - kItemHeaderSize}};
    }
    at += length;
  }
  return std::nullopt;
}

}  // namespace zelm
