// Tests of the POSIX layer's handle table, heap failure paths, the exact
// pulse rules and the setter's wake-up rule, which the conformance tests can
// only watch from outside.
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "process_support.h"
#include "tqrtl/platform/posix/handles.h"
#include "tqrtl/platform/posix/internal.h"

namespace {

using tqrtl::posix::HandleKind;
using tqrtl::posix::HandleObject;

class CountedObject : public HandleObject {
 public:
  explicit CountedObject(int* destroyed) : HandleObject(HandleKind::kFile), destroyed_(destroyed) {}
  ~CountedObject() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(HandleTablePosixTest, RegisteredObjectsAreFoundByKindAndDieOnClose) {
  int destroyed = 0;
  const size_t open_before = tqrtl::posix::OpenHandleCount();
  HANDLE handle = tqrtl::posix::RegisterHandle(std::make_shared<CountedObject>(&destroyed));
  ASSERT_NE(handle, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(handle) % 4, 0u);
  EXPECT_EQ(tqrtl::posix::OpenHandleCount(), open_before + 1);

  EXPECT_NE(tqrtl::posix::LookupHandle<CountedObject>(handle, HandleKind::kFile), nullptr);
  SetLastError(0);
  EXPECT_EQ(tqrtl::posix::LookupHandle<CountedObject>(handle, HandleKind::kEvent), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // Not waitable: a wait fails as on a bad handle.
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // A reference held elsewhere keeps the object past CloseHandle.
  auto held = tqrtl::posix::LookupHandle(handle);
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(destroyed, 0);
  held.reset();
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(tqrtl::posix::OpenHandleCount(), open_before);

  // The slot is reused, under a new value: the stale handle stays invalid.
  HANDLE next = tqrtl::posix::RegisterHandle(std::make_shared<CountedObject>(&destroyed));
  EXPECT_NE(next, handle);
  EXPECT_EQ(tqrtl::posix::LookupHandle(handle), nullptr);
  EXPECT_FALSE(CloseHandle(handle));
  EXPECT_TRUE(CloseHandle(next));
  EXPECT_EQ(destroyed, 2);

  // Values that were never handles.
  for (uintptr_t value : {uintptr_t{1}, uintptr_t{2}, uintptr_t{4}, uintptr_t{1} << 40}) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(value))) << value;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(tqrtl::posix::RegisterHandle(nullptr), nullptr);
}

TEST(HandleTablePosixTest, ConcurrentRegisterAndCloseKeepTheCount) {
  const size_t open_before = tqrtl::posix::OpenHandleCount();
  std::atomic<int> destroyed{0};
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      int mine = 0;
      for (int i = 0; i < 2000; ++i) {
        HANDLE h = tqrtl::posix::RegisterHandle(std::make_shared<CountedObject>(&mine));
        if (h == nullptr || !CloseHandle(h)) ++failures;
      }
      destroyed += mine;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(destroyed.load(), 8000);
  EXPECT_EQ(tqrtl::posix::OpenHandleCount(), open_before);
}

TEST(HeapPosixTest, AllocatorFailuresReportNoMemoryAndKeepTheAccounting) {
  HANDLE heap = HeapCreate(0, 0, 8192);
  ASSERT_NE(heap, nullptr);
  void* kept = HeapAlloc(heap, 0, 4000);
  ASSERT_NE(kept, nullptr);

  tqrtl::posix::SystemCalls calls = tqrtl::posix::Sys();
  calls.malloc = [](size_t) -> void* { return nullptr; };
  calls.realloc = [](void*, size_t) -> void* { return nullptr; };
  tqrtl::posix::SetSystemCalls(calls);
  SetLastError(0);
  EXPECT_EQ(HeapAlloc(heap, 0, 100), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  SetLastError(0);
  EXPECT_EQ(HeapReAlloc(heap, 0, kept, 4090), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  tqrtl::posix::ResetSystemCalls();

  // Nothing was lost: the kept block is intact and the failed calls left
  // their share of the maximum free.
  EXPECT_EQ(HeapSize(heap, 0, kept), 4000u);
  void* second = HeapAlloc(heap, 0, 4000);
  EXPECT_NE(second, nullptr);
  SetLastError(0);
  EXPECT_EQ(HeapAlloc(heap, 0, 200), nullptr);  // full now
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

  EXPECT_TRUE(HeapDestroy(heap));
  SetLastError(0);
  EXPECT_EQ(HeapAlloc(heap, 0, 1), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(HeapDestroy(heap));
  EXPECT_FALSE(HeapDestroy(GetProcessHeap()));
  EXPECT_EQ(HeapAlloc(nullptr, 0, 1), nullptr);
}

// The conformance test can only pulse until the waiters come out; here the
// event's own counters show when both waiters sleep, so each pulse's effect
// is exact.
TEST(EventPosixTest, AnAutoResetPulseReleasesExactlyOneSleepingWaiter) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  auto object = tqrtl::posix::LookupHandle<tqrtl::posix::EventObject>(event, HandleKind::kEvent);
  tqrtl::posix::EventState* state = object->state();
  std::atomic<int> woke{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] {
      if (WaitForSingleObject(event, 60000) == WAIT_OBJECT_0) ++woke;
    });
  while (state->waiters.load() != 2) Sleep(1);
  ASSERT_TRUE(PulseEvent(event));
  while (woke.load() == 0) Sleep(1);
  // One came out; the other still waits, and nothing is left that could
  // release it: the event is not set and the pulse's token was taken.
  EXPECT_EQ(state->waiters.load(), 1u);
  EXPECT_EQ(state->signaled.load(), 0u);
  EXPECT_EQ(state->token.load(), 0u);
  EXPECT_EQ(woke.load(), 1);
  ASSERT_TRUE(PulseEvent(event));
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woke.load(), 2);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  // A pulse with no waiter leaves no token behind for a later wait.
  ASSERT_TRUE(PulseEvent(event));
  EXPECT_EQ(state->token.load(), 0u);
  object.reset();
  EXPECT_TRUE(CloseHandle(event));
}

// Counts itself as a wait in progress on the event, then sleeps on its word
// as a wait of any process sleeps there: true when woken (or when the word
// had already moved), false when a minute passed without a wake-up, which
// never happens when all is well.
bool SleepAsAWaiter(tqrtl::posix::EventState* state, std::atomic<int>* asleep) {
  state->waiters.fetch_add(1);
  const std::uint32_t seen = state->word.load();
  ++*asleep;
  const timespec bound{60, 0};
  long rc;
  do {
    rc = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state->word), FUTEX_WAIT, seen,
                 &bound, nullptr, 0);
  } while (rc != 0 && errno == EINTR);
  const bool woken = rc == 0 || errno == EAGAIN;
  state->waiters.fetch_sub(1);
  return woken;
}

// A setter calls the kernel only when a wait is in progress, as the event's
// waiter count says. Every sleeper that counted itself is woken; a set
// nobody waits for still leaves the event set and the word moved, so a wait
// that starts just after it does not sleep.
TEST(EventPosixTest, ASetWakesEverySleeperThatCountedItself) {
  for (BOOL manual : {FALSE, TRUE}) {
    HANDLE event = CreateEventA(nullptr, manual, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    auto object = tqrtl::posix::LookupHandle<tqrtl::posix::EventObject>(event, HandleKind::kEvent);
    tqrtl::posix::EventState* state = object->state();

    const std::uint32_t before = state->word.load();
    ASSERT_TRUE(SetEvent(event));
    EXPECT_NE(state->word.load(), before) << "manual " << manual;
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "manual " << manual;
    ASSERT_TRUE(ResetEvent(event));

    constexpr int kSleepers = 3;
    std::atomic<int> asleep{0};
    std::atomic<int> woken{0};
    std::vector<std::thread> sleepers;
    for (int i = 0; i < kSleepers; ++i) {
      sleepers.emplace_back([&] {
        if (SleepAsAWaiter(state, &asleep)) ++woken;
      });
    }
    while (asleep.load() != kSleepers) Sleep(1);
    ASSERT_TRUE(SetEvent(event));
    for (auto& sleeper : sleepers) sleeper.join();
    EXPECT_EQ(woken.load(), kSleepers) << "manual " << manual;
    EXPECT_EQ(state->waiters.load(), 0u);
    object.reset();
    EXPECT_TRUE(CloseHandle(event));
  }
}

// A process killed inside a wait never lowers the waiter count it raised.
// That must cost nothing but a wake-up call: a later sleeper is still woken
// by a set, and a set with no live waiter still leaves the event set.
TEST(EventPosixTest, AWaiterKilledInItsWaitLeavesTheEventWorking) {
  const std::string name = UniqueName("killed_waiter");
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  auto object = tqrtl::posix::LookupHandle<tqrtl::posix::EventObject>(event, HandleKind::kEvent);
  tqrtl::posix::EventState* state = object->state();

  const std::string ready = ScratchPath("killed_waiter_ready");
  ChildProcess waiter = StartHelper({"event-wait", name, ready});
  ASSERT_TRUE(waiter.Started());
  ASSERT_TRUE(WaitForFile(ready, 20000));
  while (state->waiters.load() == 0) Sleep(1);
  waiter.Kill();
  EXPECT_EQ(waiter.Wait(20000), ChildProcess::kKilled);
  std::remove(ready.c_str());
  EXPECT_EQ(state->waiters.load(), 1u) << "the dead wait's count stays";

  std::atomic<int> asleep{0};
  bool woken = false;
  std::thread here([&] { woken = SleepAsAWaiter(state, &asleep); });
  while (asleep.load() != 1) Sleep(1);
  ASSERT_TRUE(SetEvent(event));
  here.join();
  EXPECT_TRUE(woken);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the sleeper did not take it";

  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  object.reset();
  EXPECT_TRUE(CloseHandle(event));
}

TEST(ThreadPosixTest, ThreadIdsAreTheSystemWideIds) {
  unsigned id = 0;
  HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(
      nullptr, 0, [](void*) -> unsigned { return 0; }, nullptr, 0, &id));
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_NE(id, GetCurrentProcessId());
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentProcessId()) << "the main thread's id is the pid";
  EXPECT_TRUE(CloseHandle(thread));
  // Suspended creation is not offered: refused, not ignored.
  EXPECT_EQ(_beginthreadex(
                nullptr, 0, [](void*) -> unsigned { return 0; }, nullptr, 4, &id),
            0u);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
