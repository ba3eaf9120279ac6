// Conformance tests of the thread services: last error per thread, atomic
// counters and critical sections.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tqrtl/platform/win32.h"

namespace {

TEST(LastErrorTest, EachThreadHasItsOwn) {
  // Joining a thread is itself a system call that may reset the caller's
  // last error, so the main thread reads its value while the other thread
  // is still alive, waiting on an atomic flag rather than on the system.
  std::atomic<int> stage{0};
  DWORD seen_in_thread = 0xDEAD;
  std::thread other([&] {
    while (stage.load() != 1) {
    }
    seen_in_thread = GetLastError();
    SetLastError(ERROR_INVALID_HANDLE);
    stage.store(2);
    while (stage.load() != 3) {
    }
  });
  SetLastError(ERROR_ACCESS_DENIED);
  stage.store(1);
  while (stage.load() != 2) {
  }
  const DWORD mine = GetLastError();
  stage.store(3);
  other.join();
  EXPECT_EQ(seen_in_thread, 0u);
  EXPECT_EQ(mine, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(InterlockedTest, OperationsReturnWin32Values) {
  LONG volatile value = 10;
  EXPECT_EQ(InterlockedIncrement(&value), 11);
  EXPECT_EQ(InterlockedDecrement(&value), 10);
  EXPECT_EQ(InterlockedExchange(&value, 3), 10);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 4), 3);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(InterlockedCompareExchange(&value, 9, 1), 7);  // no match: unchanged
  EXPECT_EQ(InterlockedCompareExchange(&value, 9, 7), 7);
  EXPECT_EQ(value, 9);
}

TEST(CriticalSectionTest, IsRecursiveForItsOwner) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  std::atomic<int> other_got_it{-1};
  std::thread([&] { other_got_it = TryEnterCriticalSection(&section) ? 1 : 0; }).join();
  EXPECT_EQ(other_got_it, 0);
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  std::thread([&] { other_got_it = TryEnterCriticalSection(&section) ? 1 : 0; }).join();
  EXPECT_EQ(other_got_it, 0);  // still held once
  LeaveCriticalSection(&section);
  std::thread([&] {
    other_got_it = TryEnterCriticalSection(&section) ? 1 : 0;
    if (other_got_it) LeaveCriticalSection(&section);
  }).join();
  EXPECT_EQ(other_got_it, 1);
  DeleteCriticalSection(&section);
}

TEST(CriticalSectionTest, ExcludesOtherThreads) {
  CRITICAL_SECTION section;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 100));
  // A plain (non-atomic) counter and an "inside" flag: any overlap of two
  // owners shows as a lost update or as inside > 1.
  long counter = 0;
  int inside = 0, overlaps = 0;
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        EnterCriticalSection(&section);
        if (++inside != 1) ++overlaps;
        EnterCriticalSection(&section);  // recursion inside contention
        ++counter;
        LeaveCriticalSection(&section);
        --inside;
        LeaveCriticalSection(&section);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
  EXPECT_EQ(overlaps, 0);
  DeleteCriticalSection(&section);
}

TEST(ThreadInfoTest, IdsAndTicks) {
  const DWORD main_id = GetCurrentThreadId();
  DWORD other_id = main_id;
  std::thread([&] { other_id = GetCurrentThreadId(); }).join();
  EXPECT_NE(main_id, other_id);
  EXPECT_NE(GetCurrentProcessId(), 0u);
  // The tick count never runs backwards across a sleep (how far it moves is
  // the scheduler's business, and tests do not assert on time).
  const DWORD before = GetTickCount();
  Sleep(5);
  EXPECT_LT(GetTickCount() - before, 0x80000000u);
}

}  // namespace
