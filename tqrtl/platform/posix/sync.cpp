// Threads, time and critical sections.
//
// A critical section is a recursive lock on a futex word: LockCount holds 0
// (free), 1 (held) or 2 (held, and someone may be waiting); OwningThread the
// owner's thread id and RecursionCount its depth. The word is changed only
// with acquire/release atomics, which also gives tools such as
// ThreadSanitizer the ordering they need.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/internal.h"

namespace {

// The calling thread's id, 0 until the thread first asks. A plain
// thread_local with a constant initialiser, so reading it is one load from
// the thread's block, no guard and no call: the locks read it on every
// entry. The initial-exec model keeps it that way inside a shared library
// (the default model asks __tls_get_addr on every read); four bytes of the
// static TLS reserve are what that costs when the library is dlopen'ed. A
// forked child's only thread resets it (fork.cpp), as the copy holds the
// parent thread's id.
[[gnu::tls_model("initial-exec")]] thread_local DWORD t_thread_id = 0;

[[gnu::noinline, gnu::cold]] DWORD LoadThreadId() {
  t_thread_id = static_cast<DWORD>(syscall(SYS_gettid));
  return t_thread_id;
}

void FutexWait(LONG* word, LONG expected) {
  syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWake(LONG* word) {
  syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

DWORD Owner(const CRITICAL_SECTION* section) {
  return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(
      __atomic_load_n(&section->OwningThread, __ATOMIC_RELAXED)));
}

void SetOwner(CRITICAL_SECTION* section, DWORD owner) {
  __atomic_store_n(&section->OwningThread, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(owner)),
                   __ATOMIC_RELAXED);
}

}  // namespace

extern "C" {

DWORD WINAPI GetCurrentThreadId(void) {
  const DWORD id = t_thread_id;
  return __builtin_expect(id != 0, 1) ? id : LoadThreadId();
}

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

void WINAPI Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

DWORD WINAPI GetTickCount(void) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(static_cast<ULONGLONG>(now.tv_sec) * 1000u +
                            static_cast<ULONGLONG>(now.tv_nsec) / 1000000u);
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  section->DebugInfo = nullptr;
  section->LockCount = 0;
  section->RecursionCount = 0;
  section->OwningThread = nullptr;
  section->LockSemaphore = nullptr;
  section->SpinCount = 0;
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
  InitializeCriticalSection(section);
  section->SpinCount = spinCount;
  return TRUE;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  section->RecursionCount = 0;
  SetOwner(section, 0);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  const DWORD self = GetCurrentThreadId();
  if (Owner(section) == self) {
    ++section->RecursionCount;
    return TRUE;
  }
  LONG expected = 0;
  if (!__atomic_compare_exchange_n(&section->LockCount, &expected, 1, false, __ATOMIC_ACQUIRE,
                                   __ATOMIC_RELAXED))
    return FALSE;
  SetOwner(section, self);
  section->RecursionCount = 1;
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  const DWORD self = GetCurrentThreadId();
  if (Owner(section) == self) {
    ++section->RecursionCount;
    return;
  }
  LONG state = 0;
  if (!__atomic_compare_exchange_n(&section->LockCount, &state, 1, false, __ATOMIC_ACQUIRE,
                                   __ATOMIC_RELAXED)) {
    // Spin a little before sleeping: most sections are held briefly.
    for (ULONG_PTR spin = section->SpinCount; spin > 0; --spin) {
      state = 0;
      if (__atomic_compare_exchange_n(&section->LockCount, &state, 1, false, __ATOMIC_ACQUIRE,
                                      __ATOMIC_RELAXED))
        break;
    }
    if (state != 0) {
      if (state != 2) state = __atomic_exchange_n(&section->LockCount, 2, __ATOMIC_ACQUIRE);
      while (state != 0) {
        FutexWait(&section->LockCount, 2);
        state = __atomic_exchange_n(&section->LockCount, 2, __ATOMIC_ACQUIRE);
      }
    }
  }
  SetOwner(section, self);
  section->RecursionCount = 1;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  if (Owner(section) != GetCurrentThreadId()) return;  // not ours: as Win32, undefined; ignore
  if (--section->RecursionCount > 0) return;
  SetOwner(section, 0);
  if (__atomic_exchange_n(&section->LockCount, 0, __ATOMIC_RELEASE) == 2)
    FutexWake(&section->LockCount);
}

}  // extern "C"

namespace tqrtl::posix {

void ResetThreadIdInChild() { t_thread_id = static_cast<DWORD>(syscall(SYS_gettid)); }

}  // namespace tqrtl::posix
