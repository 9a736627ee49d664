#include "net/receive_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zelm {
namespace {

std::string Contents(CReceiveBlock& block) {
  return std::string(reinterpret_cast<char*>(block.Data()), block.Used());
}

TEST(ReceiveBlock, GrowingKeepsTheBytesAndAZeroAfterTheCapacity) {
  CReceiveBlock block;
  uint8_t* at = block.Reserve(4);
  ASSERT_NE(at, nullptr);
  memcpy(at, "abcd", 4);
  block.SetUsed(4);
  EXPECT_EQ(block.FreeSpace(), 0u);

  ASSERT_NE(block.Reserve(3), nullptr);  // grows to used + 3
  EXPECT_EQ(block.Capacity(), 7u);
  EXPECT_EQ(Contents(block), "abcd");
  // Handlers may terminate the bytes in place, even when the block is full.
  block.SetUsed(7);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(block.Data()[7 + i], 0);

  block.DropFront(2);
  EXPECT_EQ(block.Used(), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block.Data()), 2), "cd");

  block.Release();
  EXPECT_EQ(block.Capacity(), 0u);
  EXPECT_EQ(block.Used(), 0u);
  EXPECT_EQ(block.Reserve(0), nullptr == block.Data() ? nullptr : block.Data());
}

TEST(ReceiveBlockPool, LockedBlockWithBytesIsNotHandedOutAgain) {
  CReceiveBlockPool pool;
  CReceiveBlock* first = pool.GetCurrent();
  EXPECT_EQ(first, nullptr);
  first = pool.GetFreeBlock();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(pool.GetCurrent(), first);

  // Locked but empty: still usable.
  first->Lock();
  EXPECT_EQ(pool.GetCurrent(), first);
  // Locked with bytes: a nested receive gets another block; the current one stays.
  ASSERT_TRUE(first->Append(reinterpret_cast<const uint8_t*>("old"), 3));
  EXPECT_EQ(pool.GetCurrent(), nullptr);
  CReceiveBlock* second = pool.GetFreeBlock();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  ASSERT_TRUE(second->Append(reinterpret_cast<const uint8_t*>("new"), 3));
  EXPECT_FALSE(pool.GatherInto(*second));  // the locked block is left alone

  first->Unlock();
  EXPECT_EQ(pool.GetCurrent(), first);
  ASSERT_TRUE(pool.GatherInto(*first));
  EXPECT_EQ(Contents(*first), "oldnew");
  EXPECT_EQ(second->Used(), 0u);

  pool.DiscardUnlocked();
  EXPECT_EQ(first->Used(), 0u);
  pool.ReleaseAll();
  EXPECT_EQ(pool.BlockCount(), 0u);
  EXPECT_EQ(pool.GetCurrent(), nullptr);
}

}  // namespace
}  // namespace zelm
