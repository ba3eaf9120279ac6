// Tests of the core building blocks: interlocked counters, TQPlex,
// RefCntObject and the string-handle pool.
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tqrtl/core/RefCntObject.h"
#include "tqrtl/core/StringHandle.h"
#include "tqrtl/core/TQInterlocked.h"
#include "tqrtl/core/TQPlex.h"

namespace {

TEST(TQInterlockedTest, ReturnsNewValuesAndOldPointer) {
  LONG value = 5;
  EXPECT_EQ(TQInterlockedIncrement(&value), 6u);
  EXPECT_EQ(TQInterlockedDecrement(&value), 5u);
  LONG zero = 0;
  EXPECT_EQ(TQInterlockedDecrement(&zero), 0xFFFFFFFFu);  // -1 as unsigned bits

  int a = 0, b = 0, c = 0;
  void* slot = &a;
  // Match: stores and returns the old value.
  EXPECT_EQ(TQInterlockedCompareExchange(&slot, &b, &a), &a);
  EXPECT_EQ(slot, &b);
  // No match: leaves the slot and still returns what it held.
  EXPECT_EQ(TQInterlockedCompareExchange(&slot, &c, &a), &b);
  EXPECT_EQ(slot, &b);
}

TEST(TQInterlockedTest, CountsStayExactUnderContention) {
  LONG counter = 0;
  constexpr int kThreads = 4, kRounds = 100000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&counter, t] {
      for (int i = 0; i < kRounds; ++i) {
        if (t % 2 == 0) {
          TQInterlockedIncrement(&counter);
          TQInterlockedIncrement(&counter);
        } else {
          TQInterlockedDecrement(&counter);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, kRounds * 2);  // two threads add 2, two take 1
}

TEST(TQPlexTest, BlocksChainNewestFirstAndHoldTheirData) {
  TQPlex* head = nullptr;
  TQPlex* first = TQPlex::Create(head, 10, 12);
  EXPECT_EQ(head, first);
  EXPECT_EQ(first->next, nullptr);
  EXPECT_EQ(static_cast<char*>(first->data()), reinterpret_cast<char*>(first) + sizeof(void*));
  std::memset(first->data(), 0xAB, 120);  // all 120 data bytes are ours (ASan checks)

  TQPlex* second = TQPlex::Create(head, 3, 8);
  EXPECT_EQ(head, second);
  EXPECT_EQ(second->next, first);
  head->FreeDataChain();  // frees both; LeakSanitizer would report a miss
}

class Counted : public RefCntObject {
 public:
  Counted(bool deleteWhenUnreferenced, int* destroyed)
      : RefCntObject(deleteWhenUnreferenced), destroyed_(destroyed) {}
  ~Counted() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(RefCntObjectTest, DeletesItselfOnlyWhenAskedTo) {
  int destroyed = 0;
  Counted* shared = new Counted(true, &destroyed);
  EXPECT_EQ(shared->GetRefCount(), 0);
  EXPECT_EQ(shared->AddRef(), 1);
  EXPECT_EQ(shared->Ref(), 2);
  EXPECT_EQ(shared->Release(), 1);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(shared->Unref(), 0);
  EXPECT_EQ(destroyed, 1);

  Counted kept(false, &destroyed);
  kept.AddRef();
  EXPECT_EQ(kept.Release(), 0);
  EXPECT_EQ(destroyed, 1);  // still alive; destroyed at scope end
}

// Ref and Unref go through the virtual table, so overrides count.
class Tracing : public RefCntObject {
 public:
  long AddRef() override {
    ++adds;
    return RefCntObject::AddRef();
  }
  long Release() override {
    ++releases;
    return RefCntObject::Release();
  }
  int adds = 0;
  int releases = 0;
};

TEST(RefCntObjectTest, RefAndUnrefHonourOverrides) {
  Tracing* object = new Tracing;
  object->Ref();
  EXPECT_EQ(object->adds, 1);
  object->Unref();  // count 0: the object is gone; nothing may touch it now
}

class StringHandleTest : public ::testing::Test {
 protected:
  HINSTANCE self_ = GetModuleHandleA(nullptr);
};

TEST_F(StringHandleTest, LoadsTextOrNamesTheMissingId) {
  StrUtil::StringHandle text(self_, 1);
  ASSERT_FALSE(text.IsNull());
  EXPECT_STREQ(text, "Short");
  EXPECT_EQ(*text, 'S');

  StrUtil::StringHandle missing(self_, 99);
  EXPECT_STREQ(missing, "*** Can't load string 99");
  StrUtil::StringHandle empty(self_, 4);  // an empty resource reads as missing
  EXPECT_STREQ(empty, "*** Can't load string 4");
}

TEST_F(StringHandleTest, HoldsAtMostThreeTextsAtOnce) {
  StrUtil::StringHandle a(self_, 1), b(self_, 6), c(self_, 2);
  StrUtil::StringHandle d(self_, 3);
  EXPECT_TRUE(d.IsNull());
  EXPECT_EQ(static_cast<const char*>(d), nullptr);
  EXPECT_STREQ(a, "Short");  // the others are untouched
  EXPECT_STREQ(b, "No inserts here");
  EXPECT_STREQ(c, "%1 and %2");

  // A copy shares its slot and keeps it busy after the original is gone.
  StrUtil::StringHandle copy;
  {
    StrUtil::StringHandle temp(a);
    copy = temp;
    a = StrUtil::StringHandle();
  }
  EXPECT_STREQ(copy, "Short");
  EXPECT_TRUE(StrUtil::StringHandle(self_, 3).IsNull());
  copy = StrUtil::StringHandle();
  StrUtil::StringHandle e(self_, 3);  // now a slot is free
  EXPECT_STREQ(e, "line1\nline2\ttab");
}

TEST_F(StringHandleTest, SelfAssignmentKeepsTheSlot) {
  StrUtil::StringHandle a(self_, 1);
  StrUtil::StringHandle& alias = a;
  a = alias;
  EXPECT_STREQ(a, "Short");
  StrUtil::StringHandle b(self_, 6), c(self_, 2);
  EXPECT_TRUE(StrUtil::StringHandle(self_, 3).IsNull());  // a still holds its slot
}

TEST_F(StringHandleTest, LongTextsAreCutToTheSlot) {
  StrUtil::StringHandle text(self_, 1400);
  ASSERT_FALSE(text.IsNull());
  EXPECT_EQ(std::strlen(text), static_cast<size_t>(StrUtil::StringBuffer::kTextSize - 1));
  EXPECT_EQ(std::string(text), TestAlphabet(1400).substr(0, 1363));
}

TEST_F(StringHandleTest, ThreadsShareThePoolSafely) {
  std::vector<std::thread> threads;
  int failures[4] = {0, 0, 0, 0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t, &failures] {
      for (int i = 0; i < 2000; ++i) {
        StrUtil::StringHandle handle(self_, 6);
        if (!handle.IsNull() && std::strcmp(handle, "No inserts here") != 0) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);
  // Every slot is free again.
  StrUtil::StringHandle a(self_, 1), b(self_, 1), c(self_, 1);
  EXPECT_FALSE(c.IsNull());
}

}  // namespace
