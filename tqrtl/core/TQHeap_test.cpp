// Tests of TQHeap: created and borrowed heaps, growth and bounds, moves.
#include "tqrtl/core/TQHeap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace {

TEST(TQHeapTest, BorrowsTheProcessHeapWithoutEverDestroyingIt) {
  {
    TQHeap heap(nullptr);  // Attach(null): the process heap
    EXPECT_TRUE(heap.IsValid());
    EXPECT_TRUE(heap.IsAttached());
    EXPECT_EQ(heap.GetHandle(), GetProcessHeap());
    void* p = heap.Alloc(100, HEAP_ZERO_MEMORY);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(p)[99], 0);
    EXPECT_TRUE(heap.Free(p));
    // Destroyed without Detach: the process heap must survive.
  }
  void* p = HeapAlloc(GetProcessHeap(), 0, 64);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, p));

  TQHeap empty;
  EXPECT_FALSE(empty.IsValid());
  EXPECT_EQ(empty.Alloc(10), nullptr);
  EXPECT_FALSE(empty.Free(nullptr));
  EXPECT_EQ(empty.Realloc(nullptr, 10), nullptr);
  EXPECT_TRUE(empty.Attach(nullptr));
  empty.Detach();
  EXPECT_FALSE(empty.IsValid());
  EXPECT_FALSE(empty.IsAttached());
}

TEST(TQHeapTest, PrivateHeapsGrowOrStayWithinTheirBound) {
  TQHeap growable(0, 0, 0);
  ASSERT_TRUE(growable.IsValid());
  EXPECT_FALSE(growable.IsAttached());
  char* big = static_cast<char*>(growable.Alloc(4 << 20));  // far past the initial size
  ASSERT_NE(big, nullptr);
  std::memset(big, 'x', 4 << 20);
  std::strcpy(big, "kept");
  big = static_cast<char*>(growable.Realloc(big, 8 << 20));
  ASSERT_NE(big, nullptr);
  EXPECT_STREQ(big, "kept");
  EXPECT_TRUE(growable.Free(big));

  TQHeap bounded(0, 64 * 1024, 0);
  ASSERT_TRUE(bounded.IsValid());
  EXPECT_EQ(bounded.Alloc(1 << 20), nullptr);  // more than the bound
  void* small = bounded.Alloc(1024);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(bounded.Realloc(small, 1 << 20), nullptr);  // fails, `small` intact
  EXPECT_TRUE(bounded.Free(small));
}

TEST(TQHeapTest, MovesHandTheHeapOverOnce) {
  TQHeap first(0, 0, 0);
  ASSERT_TRUE(first.IsValid());
  const HANDLE handle = first.GetHandle();
  TQHeap second(std::move(first));
  EXPECT_FALSE(first.IsValid());
  EXPECT_EQ(second.GetHandle(), handle);

  TQHeap third(0, 0, 0);
  third = std::move(second);  // destroys third's own heap, takes second's
  EXPECT_EQ(third.GetHandle(), handle);
  EXPECT_FALSE(second.IsValid());
  void* p = third.Alloc(32);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(third.Free(p));
  third.Destroy();
  EXPECT_FALSE(third.IsValid());
}

}  // namespace
