// Conformance tests of heaps: the same calls run against Windows (under
// Wine) and against the POSIX layer.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tqrtl/platform/win32.h"

namespace {

TEST(HeapTest, GrowableHeapAllocatesResizesAndFrees) {
  HANDLE heap = HeapCreate(0, 0, 0);
  ASSERT_NE(heap, nullptr);

  void* empty = HeapAlloc(heap, 0, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(HeapSize(heap, 0, empty), 0u);

  auto* big = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 16 << 20));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big[0], 0);
  EXPECT_EQ(big[(16 << 20) - 1], 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(big) % (2 * sizeof(void*)), 0u);

  // Growing keeps the contents; HEAP_ZERO_MEMORY clears what was added.
  auto* small = static_cast<char*>(HeapAlloc(heap, 0, 8));
  ASSERT_NE(small, nullptr);
  std::memcpy(small, "abcdefg", 8);
  auto* grown = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, small, 100000));
  ASSERT_NE(grown, nullptr);
  EXPECT_STREQ(grown, "abcdefg");
  EXPECT_EQ(grown[99999], 0);
  EXPECT_EQ(HeapSize(heap, 0, grown), 100000u);

  // In place only: shrinking works where it is, growing far cannot.
  void* shrunk = HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, grown, 50);
  EXPECT_EQ(shrunk, grown);
  EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, grown, 16 << 20), nullptr);
  EXPECT_STREQ(grown, "abcdefg");  // the failed call left the block alone

  EXPECT_TRUE(HeapFree(heap, 0, grown));
  EXPECT_TRUE(HeapFree(heap, 0, big));
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));
  // Destroying the heap releases the blocks still allocated in it.
  EXPECT_TRUE(HeapDestroy(heap));
}

TEST(HeapTest, BoundedHeapRefusesWhatExceedsItsMaximum) {
  HANDLE heap = HeapCreate(0, 0, 64 * 1024);
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(HeapAlloc(heap, 0, 1 << 20), nullptr);

  // Fill it with 1 KiB blocks: it stops somewhere at or below its maximum,
  // and a freed block makes room for one more.
  std::vector<void*> blocks;
  for (int i = 0; i < 1000; ++i) {
    void* block = HeapAlloc(heap, 0, 1024);
    if (block == nullptr) break;
    blocks.push_back(block);
  }
  EXPECT_GT(blocks.size(), 16u);
  EXPECT_LT(blocks.size(), 64u);
  ASSERT_TRUE(HeapFree(heap, 0, blocks.back()));
  blocks.back() = HeapAlloc(heap, 0, 1024);
  EXPECT_NE(blocks.back(), nullptr);
  EXPECT_TRUE(HeapDestroy(heap));
}

TEST(HeapTest, ProcessHeapServesManyThreadsAtOnce) {
  HANDLE heap = GetProcessHeap();
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(GetProcessHeap(), heap);
  HANDLE own = HeapCreate(0, 4096, 0);
  ASSERT_NE(own, nullptr);
  std::vector<std::thread> threads;
  int failures[4] = {};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      HANDLE target = t % 2 == 0 ? heap : own;
      for (int i = 0; i < 2000; ++i) {
        auto* p = static_cast<unsigned char*>(HeapAlloc(target, 0, 24 + (i % 7) * 40));
        if (p == nullptr) {
          ++failures[t];
          continue;
        }
        std::memset(p, t, 24);
        p = static_cast<unsigned char*>(HeapReAlloc(target, 0, p, 300));
        if (p == nullptr || p[23] != t) ++failures[t];
        if (p != nullptr && !HeapFree(target, 0, p)) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  EXPECT_TRUE(HeapDestroy(own));
}

}  // namespace
