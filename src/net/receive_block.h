// CReceiveBlock and CReceiveBlockPool: where a socket accumulates received bytes until its
// handler has a whole message.
//
// A block is a growable byte buffer. Its storage is always capacity + 4 bytes and the 4 bytes
// after the capacity are zero, so a handler may write a NUL just after the used bytes and read
// the contents as a string. A block is locked while a handler works on it; a nested receive
// (a handler that reads its own socket again) then accumulates into another block of the
// pool, and the socket merges the blocks back in arrival order once the outer handler returns.
//
// Thread safety: a pool belongs to the thread that drives its socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zelm {

class CReceiveBlock final {
 public:
  CReceiveBlock() = default;
  CReceiveBlock(const CReceiveBlock&) = delete;
  CReceiveBlock& operator=(const CReceiveBlock&) = delete;

  uint8_t* Data() { return data_.get(); }
  size_t Capacity() const { return capacity_; }
  size_t Used() const { return used_; }
  size_t FreeSpace() const { return capacity_ - used_; }
  bool IsLocked() const { return lockCount_ > 0; }
  int LockCount() const { return lockCount_; }

  // Makes the free space at least `n` (growing to used + n when needed). Returns the write
  // position, or null when the storage cannot be allocated (the block is then unchanged).
  uint8_t* Reserve(size_t n);
  // Adds `n` bytes of capacity, keeping the contents. False when allocation fails.
  bool Grow(size_t n);
  void SetUsed(size_t n) { used_ = n > capacity_ ? capacity_ : n; }
  // Drops the first `n` used bytes, moving the rest to the start.
  void DropFront(size_t n);
  // Appends `length` bytes, growing as needed. False when allocation fails.
  bool Append(const uint8_t* data, size_t length);
  void Lock() { ++lockCount_; }
  void Unlock() {
    if (lockCount_ > 0) --lockCount_;
  }
  // Frees the storage; capacity and used become 0.
  void Release();

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_ = 0;
  size_t used_ = 0;
  int lockCount_ = 0;
};

class CReceiveBlockPool final {
 public:
  CReceiveBlockPool() = default;
  CReceiveBlockPool(const CReceiveBlockPool&) = delete;
  CReceiveBlockPool& operator=(const CReceiveBlockPool&) = delete;

  // The current block when it is unlocked or empty, else null.
  CReceiveBlock* GetCurrent();
  // The first block that is unlocked or empty; a new one when there is none. A block handed
  // out while the pool has no current block becomes the current block. Null when allocation
  // fails.
  CReceiveBlock* GetFreeBlock();
  // Moves the bytes of every other unlocked block into `target`, in the order the blocks were
  // made, and releases them. Returns true when any bytes moved (false also on allocation
  // failure, after which the moved bytes stay where they were).
  bool GatherInto(CReceiveBlock& target);
  // Frees the storage of every unlocked block (stale bytes of an earlier connection).
  void DiscardUnlocked();
  // Deletes every block and forgets the current one.
  void ReleaseAll();
  size_t BlockCount() const { return blocks_.size(); }

 private:
  std::vector<std::unique_ptr<CReceiveBlock>> blocks_;
  CReceiveBlock* current_ = nullptr;
};

}  // namespace zelm
