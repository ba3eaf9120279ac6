// Conformance tests of events, threads and waits within one process: the
// same calls run against Windows (under Wine) and against the POSIX layer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

constexpr DWORD kTimeout = WAIT_TIMEOUT;

// Waits up to 20 s for `condition`, polling: for tests that must see another
// thread arrive somewhere before they go on.
template <class F>
bool Eventually(F condition, int polls = 2000) {
  for (int i = 0; i < polls; ++i) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

struct Handle {
  HANDLE h;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h != nullptr) CloseHandle(h);
  }
  operator HANDLE() const { return h; }
};

TEST(EventTest, SetResetAndWaitFollowTheResetMode) {
  struct Case {
    BOOL manual;
    BOOL initial;
    DWORD first;   // the first wait of 0 ms
    DWORD second;  // the wait after it
  };
  const Case kCases[] = {
      {FALSE, FALSE, kTimeout, kTimeout},
      {FALSE, TRUE, WAIT_OBJECT_0, kTimeout},  // one wait takes an auto-reset event
      {TRUE, FALSE, kTimeout, kTimeout},
      {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},  // manual stays set
  };
  for (const Case& c : kCases) {
    SetLastError(0xDEAD);
    Handle event(CreateEventA(nullptr, c.manual, c.initial, nullptr));
    ASSERT_NE(event.h, nullptr);
    EXPECT_EQ(GetLastError(), 0u) << "success clears the last error";
    EXPECT_EQ(WaitForSingleObject(event, 0), c.first) << c.manual << c.initial;
    EXPECT_EQ(WaitForSingleObject(event, 0), c.second) << c.manual << c.initial;
  }

  // Setting is not counted: two sets, one wait takes them.
  Handle automatic(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  EXPECT_TRUE(SetEvent(automatic));
  EXPECT_TRUE(SetEvent(automatic));
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), kTimeout);

  Handle manual(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 10), kTimeout);
  // A pulse with nobody waiting leaves the event as it was: not set.
  EXPECT_TRUE(PulseEvent(manual));
  EXPECT_TRUE(PulseEvent(automatic));
  EXPECT_EQ(WaitForSingleObject(manual, 0), kTimeout);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), kTimeout);
  // A pulse of a set event resets it.
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_TRUE(PulseEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), kTimeout);
}

TEST(EventTest, BadHandlesAndArgumentsFail) {
  Handle event(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  HANDLE list[2] = {event, closed};
  const ErrorCase kCases[] = {
      RecordError("SetEvent(null)", SetEvent(nullptr)),
      RecordError("ResetEvent(null)", ResetEvent(nullptr)),
      RecordError("PulseEvent(null)", PulseEvent(nullptr)),
      RecordError("SetEvent(closed)", SetEvent(closed)),
      RecordError("CloseHandle(closed)", CloseHandle(closed)),
      RecordError("CloseHandle(null)", CloseHandle(nullptr)),
      RecordError("wait closed", static_cast<int>(WaitForSingleObject(closed, 0))),
      RecordError("wait-any with a closed handle",
                  static_cast<int>(WaitForMultipleObjects(2, list, FALSE, 0))),
  };
  for (const ErrorCase& c : kCases) {
    EXPECT_TRUE(c.result == 0 || c.result == static_cast<int>(WAIT_FAILED)) << c.what;
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_INVALID_HANDLE)) << c.what;
  }
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(0, list, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HANDLE twice[2] = {event, event};
  if (!RunningUnderWine()) {  // Wine accepts the same object twice in a wait-all
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);  // wait-any allows it
}

TEST(WaitTest, WaitAnyTakesTheLowestSignalledObjectOnly) {
  Handle a(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Handle b(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  Handle c(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  HANDLE list[3] = {a, b, c};
  EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0 + 2);  // b was taken
  ASSERT_TRUE(SetEvent(a));
  ASSERT_TRUE(SetEvent(b));
  EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);  // still set: only a satisfied the wait
  ASSERT_TRUE(ResetEvent(c));
  EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 20), kTimeout);
}

TEST(WaitTest, WaitAllTakesEverythingOrNothing) {
  Handle a(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  Handle b(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Handle m(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  HANDLE list[3] = {a, b, m};
  EXPECT_EQ(WaitForMultipleObjects(3, list, TRUE, 0), kTimeout);
  EXPECT_EQ(WaitForMultipleObjects(3, list, TRUE, 20), kTimeout);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0) << "a failed wait-all took a";
  ASSERT_TRUE(SetEvent(a));

  // The last object is set by another thread while the wait sleeps.
  std::thread setter([&] {
    Sleep(20);
    SetEvent(b);
  });
  EXPECT_EQ(WaitForMultipleObjects(3, list, TRUE, INFINITE), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(WaitForSingleObject(a, 0), kTimeout);
  EXPECT_EQ(WaitForSingleObject(b, 0), kTimeout);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
}

// An auto-reset event used as a lock: each release lets exactly one waiter
// through, so two threads inside at once, or a lost wake-up (a hang), show.
TEST(WaitTest, AutoResetReleasesExactlyOneWaiterPerSet) {
  Handle gate(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> failures{0};
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 3000; ++i) {
        if (WaitForSingleObject(gate, 30000) != WAIT_OBJECT_0) {
          ++failures;
          return;
        }
        if (inside.fetch_add(1) != 0) ++overlaps;
        ++counter;
        inside.fetch_sub(1);
        SetEvent(gate);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(counter, 4 * 3000);
}

// Two threads hand a turn back and forth over a pair of events, waiting on
// both the partner's event and a stop event.
TEST(WaitTest, PingPongAcrossThreadsLosesNoWakeUp) {
  Handle ping(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Handle pong(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Handle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  constexpr int kRounds = 5000;
  int returned = 0;
  std::thread partner([&] {
    HANDLE list[2] = {stop, ping};
    while (WaitForMultipleObjects(2, list, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      ++returned;
      SetEvent(pong);
    }
  });
  int round = 0;
  for (; round < kRounds; ++round) {
    SetEvent(ping);
    if (WaitForSingleObject(pong, 30000) != WAIT_OBJECT_0) break;
  }
  SetEvent(stop);
  partner.join();
  EXPECT_EQ(round, kRounds);
  EXPECT_EQ(returned, kRounds);
}

TEST(WaitTest, PulseReleasesWaitersWithoutLeavingTheEventSet) {
  for (BOOL manual : {TRUE, FALSE}) {
    Handle event(CreateEventA(nullptr, manual, FALSE, nullptr));
    std::atomic<int> started{0};
    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
      waiters.emplace_back([&] {
        ++started;
        if (WaitForSingleObject(event, 60000) == WAIT_OBJECT_0) ++woke;
      });
    }
    ASSERT_TRUE(Eventually([&] { return started.load() == 2; }));
    // Pulse until both have come out: a waiter that had not yet begun its
    // wait misses a pulse, and an auto-reset pulse releases one at a time.
    int pulses = 0;
    while (woke.load() < 2 && pulses < 200) {
      Sleep(20);
      ASSERT_TRUE(PulseEvent(event));
      ++pulses;
      const int before = woke.load();
      Eventually([&] { return woke.load() > before; }, 100);
      if (!manual && pulses == 1) {
        EXPECT_LE(woke.load(), 1);
      }
    }
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(woke.load(), 2);
    EXPECT_EQ(WaitForSingleObject(event, 0), kTimeout) << "manual " << manual;
  }
}

unsigned WINAPI ReturnArgument(void* argument) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(argument));
}

struct Blocked {
  HANDLE release;
  DWORD id = 0;
};

unsigned WINAPI WaitForRelease(void* argument) {
  auto* blocked = static_cast<Blocked*>(argument);
  blocked->id = GetCurrentThreadId();
  WaitForSingleObject(blocked->release, INFINITE);
  _endthreadex(77);
  return 1;  // not reached
}

TEST(ThreadTest, HandlesAreWaitableAndKeepTheExitCode) {
  Handle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Blocked blocked{release};
  unsigned id = 0;
  Handle thread(
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitForRelease, &blocked, 0, &id)));
  ASSERT_NE(thread.h, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread, 10), kTimeout);

  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL));
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_BELOW_NORMAL);
  SetLastError(0);
  EXPECT_FALSE(SetThreadPriority(thread, 5));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
  EXPECT_TRUE(CloseHandle(GetCurrentThread()));  // a pseudo handle: nothing to close

  EXPECT_TRUE(TQThreadExists(id));
  EXPECT_TRUE(TQThreadExists(GetCurrentThreadId()));
  EXPECT_FALSE(TQThreadExists(0));

  ASSERT_TRUE(SetEvent(release));
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(blocked.id, static_cast<DWORD>(id));
  // The handle is signalled as the thread ends; the thread is gone soon after.
  EXPECT_TRUE(Eventually([&] { return !TQThreadExists(id); }));
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 77u);                                      // from _endthreadex
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled

  // Wait-any over [event, ended thread]: a set event first wins; else the thread.
  Handle done(reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, ReturnArgument, reinterpret_cast<void*>(42), 0, nullptr)));
  ASSERT_NE(done.h, nullptr);
  ASSERT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(done, &code));
  EXPECT_EQ(code, 42u);
  Handle unset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  HANDLE list[2] = {unset, done};
  EXPECT_EQ(WaitForMultipleObjects(2, list, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  list[0] = release;
  EXPECT_EQ(WaitForMultipleObjects(2, list, FALSE, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, INFINITE), WAIT_OBJECT_0);
}

struct Pair {
  HANDLE release, finished;
};

unsigned WINAPI FinishWhenReleased(void* argument) {
  auto* p = static_cast<Pair*>(argument);
  WaitForSingleObject(p->release, INFINITE);
  SetEvent(p->finished);
  return 0;
}

TEST(ThreadTest, ClosingTheHandleLeavesTheThreadRunning) {
  Handle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Handle finished(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Pair pair{release, finished};
  HANDLE thread = reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 64 * 1024, FinishWhenReleased, &pair, 0, nullptr));
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(CloseHandle(thread));
  ASSERT_TRUE(SetEvent(release));
  EXPECT_EQ(WaitForSingleObject(finished, 60000), WAIT_OBJECT_0);
}

TEST(SystemInfoTest, PageSizeAndGranularity) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  EXPECT_GE(info.dwPageSize, 4096u);
  EXPECT_EQ(info.dwPageSize & (info.dwPageSize - 1), 0u);
  EXPECT_EQ(info.dwAllocationGranularity, 65536u);
  EXPECT_GE(info.dwNumberOfProcessors, 1u);
}

}  // namespace
