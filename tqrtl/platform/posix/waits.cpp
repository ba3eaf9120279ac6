// Events and waits: SetEvent, ResetEvent, PulseEvent, WaitForSingleObject
// and WaitForMultipleObjects over any waitable handle.
//
// A wait reads the futex word of every object, checks the objects in index
// order, and when none satisfies it sleeps in futex_waitv until one of the
// words changes (or the deadline on the monotonic clock passes); then it
// checks again. Setters change the state before they bump the word, so a
// change between the check and the sleep makes the sleep return at once.
// The words are process-shared futexes, so this works as well for named
// events in shared memory as for private ones. A wait on one object, by far
// the most common, sleeps in the plain futex wait instead (the kernel need
// not allocate and copy a vector for it), and no wait of at most
// kInlineTargets objects allocates memory: a mutex hand-off is a wait on
// one event, and it should cost its system calls and nothing else.
//
// Setting wakes every sleeper on the event, and the sleepers race to take
// it: an auto-reset event is taken by exactly one compare-and-swap, the
// losers sleep again. Waking all costs a little with many waiters, but a
// woken wait-any that took another of its objects can never swallow the one
// wake-up an auto-reset event had to give. A setter that finds no wait in
// progress makes no system call at all: the bump of the word and the
// reading of the waiter count on one side, the raising of the count and the
// reading of the word on the other, are sequentially consistent, so either
// the setter sees the wait (and wakes it) or the wait sees the new word and
// state (and does not sleep). A process killed inside a wait leaves the
// count raised, which only costs its setters the call they made before.
//
// PulseEvent releases the waits that had begun before it: each wait notes
// the event's pulse count when it begins. A manual-reset pulse releases all
// of them; an auto-reset pulse leaves a token, the number of the pulse,
// that only a wait begun before that pulse can take, and that is left only
// when a wait is in progress. A pulse never leaves the event set.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <memory>

#include "tqrtl/platform/posix/handles.h"
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {

void FutexWakeAll(std::atomic<std::uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr,
          0);
}

void EventObject::Changed() {
  state_->word.fetch_add(1, std::memory_order_seq_cst);
  if (state_->waiters.load(std::memory_order_seq_cst) != 0) FutexWakeAll(&state_->word);
}

void EventObject::Set() {
  state_->signaled.store(1, std::memory_order_release);
  Changed();
}

void EventObject::Reset() { state_->signaled.store(0, std::memory_order_release); }

void EventObject::Pulse() {
  // The pulse count is raised before the waiter count is read, and a wait
  // counts itself before it reads the pulse count: a wait that began before
  // this pulse is therefore always seen here.
  std::uint32_t pulse = state_->pulses.fetch_add(1, std::memory_order_seq_cst) + 1;
  if (pulse == 0) pulse = state_->pulses.fetch_add(1, std::memory_order_seq_cst) + 1;
  if (state_->manual.load(std::memory_order_relaxed) == 0) {
    if (state_->waiters.load(std::memory_order_seq_cst) != 0)
      state_->token.store(pulse, std::memory_order_release);
  }
  state_->signaled.store(0, std::memory_order_release);
  Changed();
}

void EventObject::BeginWait(WaitTicket* ticket) {
  state_->waiters.fetch_add(1, std::memory_order_seq_cst);
  ticket->pulse = state_->pulses.load(std::memory_order_seq_cst);
}

void EventObject::EndWait(const WaitTicket&) {
  state_->waiters.fetch_sub(1, std::memory_order_seq_cst);
}

bool EventObject::TryAcquire(const WaitTicket& ticket) {
  const std::uint32_t pulses = state_->pulses.load(std::memory_order_acquire);
  if (state_->manual.load(std::memory_order_relaxed) != 0) {
    return state_->signaled.load(std::memory_order_acquire) != 0 || pulses != ticket.pulse;
  }
  std::uint32_t one = 1;
  if (state_->signaled.compare_exchange_strong(one, 0, std::memory_order_acq_rel)) return true;
  // An unclaimed pulse made after this wait began.
  std::uint32_t token = state_->token.load(std::memory_order_acquire);
  if (token != 0 && static_cast<std::int32_t>(token - ticket.pulse) > 0) {
    if (state_->token.compare_exchange_strong(token, 0, std::memory_order_acq_rel)) return true;
  }
  return false;
}

bool EventObject::IsSignaled() { return state_->signaled.load(std::memory_order_acquire) != 0; }

void EventObject::Unacquire() {
  if (state_->manual.load(std::memory_order_relaxed) == 0) Set();
}

namespace {

// One object of a wait and what the wait noted about it.
struct Target {
  std::shared_ptr<HandleObject> object;
  Waitable* waitable = nullptr;
  WaitTicket ticket;
};

// Waits on up to this many objects keep their bookkeeping on the stack.
constexpr DWORD kInlineTargets = 4;

// SleepOnWords: sleeps until one of `words` no longer holds its value, a
// wake-up, a signal, or `deadline` (monotonic clock; null for none). The
// result and errno are those of the system call.
long SleepOnWords(futex_waitv* words, DWORD count, const timespec* deadline) {
  if (count == 1) {
    // The bitset form takes an absolute deadline on the monotonic clock,
    // like futex_waitv; a waker's FUTEX_WAKE matches any bitset.
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(words[0].uaddr), FUTEX_WAIT_BITSET,
                   static_cast<std::uint32_t>(words[0].val), deadline, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
  }
  return syscall(SYS_futex_waitv, words, count, 0, deadline, CLOCK_MONOTONIC);
}

timespec Deadline(DWORD milliseconds) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  now.tv_sec += milliseconds / 1000;
  now.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000L;
  }
  return now;
}

// TryAll: wait-all: takes every object or none.
bool TryAll(Target* targets, DWORD count) {
  for (DWORD i = 0; i < count; ++i)
    if (!targets[i].waitable->IsSignaled()) return false;
  for (DWORD i = 0; i < count; ++i) {
    if (!targets[i].waitable->TryAcquire(targets[i].ticket)) {
      while (i > 0) targets[--i].waitable->Unacquire();
      return false;
    }
  }
  return true;
}

DWORD Wait(DWORD count, const HANDLE* handles, bool wait_all, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  Target inlineTargets[kInlineTargets];
  futex_waitv inlineWords[kInlineTargets];
  std::unique_ptr<Target[]> heapTargets;
  std::unique_ptr<futex_waitv[]> heapWords;
  Target* targets = inlineTargets;
  futex_waitv* words = inlineWords;
  if (count > kInlineTargets) {
    heapTargets = std::make_unique<Target[]>(count);
    heapWords = std::make_unique<futex_waitv[]>(count);
    targets = heapTargets.get();
    words = heapWords.get();
  }
  for (DWORD i = 0; i < count; ++i) {
    targets[i].object = LookupHandle(handles[i]);
    if (!targets[i].object) return WAIT_FAILED;  // ERROR_INVALID_HANDLE
    targets[i].waitable = targets[i].object->AsWaitable();
    if (targets[i].waitable == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (wait_all) {
      // Windows refuses the same object twice in a wait-all.
      for (DWORD j = 0; j < i; ++j) {
        if (targets[j].object == targets[i].object) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
      }
    }
  }

  for (DWORD i = 0; i < count; ++i) targets[i].waitable->BeginWait(&targets[i].ticket);
  const timespec deadline = Deadline(milliseconds == INFINITE ? 0 : milliseconds);
  DWORD result = WAIT_TIMEOUT;
  for (;;) {
    for (DWORD i = 0; i < count; ++i) {
      std::atomic<std::uint32_t>* word = targets[i].waitable->Word();
      words[i] = futex_waitv{};
      // Sequentially consistent, against the setter that bumps the word and
      // then looks for waits in progress (EventObject::Changed).
      words[i].val = word->load(std::memory_order_seq_cst);
      words[i].uaddr = reinterpret_cast<std::uintptr_t>(word);
      words[i].flags = FUTEX_32;
    }
    if (wait_all) {
      if (TryAll(targets, count)) {
        result = WAIT_OBJECT_0;
        break;
      }
    } else {
      DWORD i = 0;
      while (i < count && !targets[i].waitable->TryAcquire(targets[i].ticket)) ++i;
      if (i < count) {
        result = WAIT_OBJECT_0 + i;
        break;
      }
    }
    if (milliseconds == 0) break;
    const long rc = SleepOnWords(words, count, milliseconds == INFINITE ? nullptr : &deadline);
    if (rc < 0 && errno == ETIMEDOUT) {
      milliseconds = 0;  // one last look, then time out
    } else if (rc < 0 && errno != EAGAIN && errno != EINTR) {
      result = WAIT_FAILED;
      SetLastErrorFromErrno();
      break;
    }
  }
  for (DWORD i = 0; i < count; ++i) targets[i].waitable->EndWait(targets[i].ticket);
  return result;
}

std::shared_ptr<EventObject> FindEvent(HANDLE handle) {
  return LookupHandle<EventObject>(handle, HandleKind::kEvent);
}

}  // namespace
}  // namespace tqrtl::posix

extern "C" {

BOOL WINAPI SetEvent(HANDLE event) {
  auto object = tqrtl::posix::FindEvent(event);
  if (!object) return FALSE;
  object->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
  auto object = tqrtl::posix::FindEvent(event);
  if (!object) return FALSE;
  object->Reset();
  return TRUE;
}

BOOL WINAPI PulseEvent(HANDLE event) {
  auto object = tqrtl::posix::FindEvent(event);
  if (!object) return FALSE;
  object->Pulse();
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return tqrtl::posix::Wait(1, &handle, false, milliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                    DWORD milliseconds) {
  return tqrtl::posix::Wait(count, handles, waitAll != FALSE, milliseconds);
}

}  // extern "C"
