#include <gtest/gtest.h>
#include <posixplat/testing.h>
#include <string.h>

#include <set>
#include <vector>

#include "usbio/usbiobuffer.h"

namespace {

TEST(BufferPoolTest, HandsOutTheBuiltRecordsLastBuiltFirst) {
  CUsbIoBufferPool pool;
  ASSERT_TRUE(pool.Build(4096, 32));
  EXPECT_EQ(32, pool.freeCount);

  std::vector<CUsbIoBuffer*> taken;
  for (int i = 0; i < 32; i++) {
    CUsbIoBuffer* buffer = pool.Take();
    ASSERT_NE(nullptr, buffer) << "take " << i;
    EXPECT_EQ(&pool.records[31 - i], buffer) << "take " << i;
    EXPECT_EQ(4096u, buffer->capacity);
    EXPECT_EQ(nullptr, buffer->next);
    EXPECT_EQ(pool.dataBlock + (31 - i) * 4096, buffer->dataPtr);
    EXPECT_NE(nullptr, buffer->overlapped.hEvent);
    EXPECT_EQ(0u, buffer->streamEnd);
    taken.push_back(buffer);
  }
  EXPECT_EQ(nullptr, pool.Take());
  EXPECT_EQ(0, pool.freeCount);

  std::set<HANDLE> events;
  for (CUsbIoBuffer* buffer : taken) events.insert(buffer->overlapped.hEvent);
  EXPECT_EQ(32u, events.size()) << "every record has an event of its own";
}

TEST(BufferPoolTest, DataAreasDoNotOverlap) {
  CUsbIoBufferPool pool;
  ASSERT_TRUE(pool.Build(100, 8));
  for (int i = 0; i < 8; i++) memset(pool.records[i].dataPtr, i + 1, pool.records[i].capacity);
  for (int i = 0; i < 8; i++) {
    for (DWORD b = 0; b < 100; b++) {
      ASSERT_EQ(i + 1, pool.records[i].dataPtr[b]) << "record " << i << " byte " << b;
    }
  }
}

TEST(BufferPoolTest, FreeListIsLastInFirstOut) {
  CUsbIoBufferPool pool;
  ASSERT_TRUE(pool.Build(16, 3));
  CUsbIoBuffer* a = pool.Take();
  CUsbIoBuffer* b = pool.Take();
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(1, pool.freeCount);
  pool.Give(a);
  pool.Give(b);
  EXPECT_EQ(3, pool.freeCount);
  EXPECT_EQ(b, pool.Take());
  EXPECT_EQ(a, pool.Take());
  EXPECT_NE(nullptr, pool.Take());
  EXPECT_EQ(nullptr, pool.Take());
}

TEST(BufferPoolTest, SecondBuildIsRefusedUntilCleared) {
  CUsbIoBufferPool pool;
  ASSERT_TRUE(pool.Build(64, 2));
  CUsbIoBuffer* records = pool.records;
  EXPECT_FALSE(pool.Build(128, 4));
  EXPECT_EQ(records, pool.records);
  EXPECT_EQ(2, pool.freeCount);
  EXPECT_EQ(64u, pool.Take()->capacity);

  pool.Clear();
  EXPECT_EQ(nullptr, pool.records);
  EXPECT_EQ(nullptr, pool.dataBlock);
  EXPECT_EQ(nullptr, pool.freeHead);
  EXPECT_EQ(0, pool.freeCount);
  EXPECT_EQ(nullptr, pool.Take());

  ASSERT_TRUE(pool.Build(128, 4));
  EXPECT_EQ(4, pool.freeCount);
  EXPECT_EQ(128u, pool.Take()->capacity);
}

TEST(BufferPoolTest, BuildWithNoBuffersSucceedsEmpty) {
  CUsbIoBufferPool pool;
  EXPECT_TRUE(pool.Build(4096, 0));
  EXPECT_EQ(0, pool.freeCount);
  EXPECT_EQ(nullptr, pool.Take());
}

TEST(BufferPoolTest, ClearClosesEveryEvent) {
  posixplat::Reset();
  int before = posixplat::OpenHandleCount();
  {
    CUsbIoBufferPool pool;
    ASSERT_TRUE(pool.Build(8, 5));
    EXPECT_EQ(before + 5, posixplat::OpenHandleCount());
    pool.Clear();
    EXPECT_EQ(before, posixplat::OpenHandleCount());
    ASSERT_TRUE(pool.Build(8, 2));
  }
  EXPECT_EQ(before, posixplat::OpenHandleCount()) << "the destructor clears the pool";
}

TEST(BufferTest, BufferOverCallerMemoryDoesNotOwnIt) {
  BYTE memory[10] = {1, 2, 3};
  {
    CUsbIoBuffer buffer(memory, sizeof(memory));
    EXPECT_EQ(memory, buffer.dataPtr);
    EXPECT_EQ(10u, buffer.capacity);
    EXPECT_EQ(0u, buffer.requestLength);
    EXPECT_EQ(0u, buffer.actualLength);
    EXPECT_EQ(0u, buffer.status);
    EXPECT_NE(nullptr, buffer.overlapped.hEvent);
  }
  EXPECT_EQ(3, memory[2]);
}

}  // namespace
