// Owns the storage of receive blocks and the choice of block for the next received bytes.
#include "net/receive_block.h"

#include <cstring>
#include <new>

namespace zelm {
namespace {

constexpr size_t kZeroTail = 4;

}  // namespace

bool CReceiveBlock::Grow(size_t n) {
  if (n == 0) return true;
  size_t newCapacity = capacity_ + n;
  std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[newCapacity + kZeroTail]);
  if (!storage) return false;
  if (capacity_ > 0) memcpy(storage.get(), data_.get(), capacity_);
  memset(storage.get() + capacity_, 0, n + kZeroTail);
  data_ = std::move(storage);
  capacity_ = newCapacity;
  return true;
}

uint8_t* CReceiveBlock::Reserve(size_t n) {
  if (FreeSpace() < n && !Grow(n - FreeSpace())) return nullptr;
  return data_.get() + used_;
}

void CReceiveBlock::DropFront(size_t n) {
  if (n >= used_) {
    used_ = 0;
  } else if (n > 0) {
    memmove(data_.get(), data_.get() + n, used_ - n);
    used_ -= n;
  }
  // Keep the promise of a zero after the used bytes' storage.
  if (data_) memset(data_.get() + used_, 0, capacity_ - used_ + kZeroTail);
}

bool CReceiveBlock::Append(const uint8_t* data, size_t length) {
  uint8_t* at = Reserve(length);
  if (at == nullptr) return false;
  memcpy(at, data, length);
  used_ += length;
  return true;
}

void CReceiveBlock::Release() {
  data_.reset();
  capacity_ = 0;
  used_ = 0;
}

CReceiveBlock* CReceiveBlockPool::GetCurrent() {
  if (current_ != nullptr && (!current_->IsLocked() || current_->Used() == 0)) return current_;
  return nullptr;
}

CReceiveBlock* CReceiveBlockPool::GetFreeBlock() {
  CReceiveBlock* found = nullptr;
  for (auto& block : blocks_) {
    if (!block->IsLocked() || block->Used() == 0) {
      found = block.get();
      break;
    }
  }
  if (found == nullptr) {
    auto block = std::unique_ptr<CReceiveBlock>(new (std::nothrow) CReceiveBlock);
    if (!block) return nullptr;
    found = block.get();
    blocks_.push_back(std::move(block));
  }
  if (current_ == nullptr) current_ = found;
  return found;
}

bool CReceiveBlockPool::GatherInto(CReceiveBlock& target) {
  bool moved = false;
  for (auto& block : blocks_) {
    if (block.get() == &target || block->IsLocked() || block->Used() == 0) continue;
    if (!target.Append(block->Data(), block->Used())) return false;
    block->Release();
    moved = true;
  }
  return moved;
}

void CReceiveBlockPool::DiscardUnlocked() {
  for (auto& block : blocks_) {
    if (!block->IsLocked()) block->Release();
  }
}

void CReceiveBlockPool::ReleaseAll() {
  blocks_.clear();
  current_ = nullptr;
}

}  // namespace zelm
