// TQLiteMutex.h: a recursive mutex shared between processes by name, which
// costs one interlocked instruction when nobody else wants it.
//
// TQLiteSyncObject owns the pair that every light-weight lock is made of: an event (the only kernel
// object a waiter ever blocks on) and a 16-byte state block in the named shared mapping
// "<name>_mmf". TQLiteMutex is the recursive mutex on that pair. Objects in
// any process that are constructed with the same name share one mutex; it
// lives while some process holds the name.
//
// The state block (shared by every process; zero is the free state):
//   offset 0  recursion  32-bit unsigned  levels entered by the owner
//   offset 4  owner      32-bit unsigned  owner's thread id; 0 when free
//   offset 8  lockCount  32-bit signed    entries plus waiters (interlocked)
//   offset 12 abandoned  32-bit           nonzero once abandoned
//
// A dead owner. An owner that dies while holding the mutex leaves it owned,
// and its waiters blocked, for good. A supervisor finds out with
// OwnerIsGone() (the owner's thread no longer exists anywhere on the
// system), calls Abandon() so that every waiter leaves Enter with
// Abandoned, and once they have left calls Recover() to make the mutex free
// for everybody again. Until Recover every Enter returns Abandoned at once
// and Leave does nothing.
//
// Copies. The objects own handles and a mapped view that must be released
// exactly once, so they cannot be copied or moved; a second owner of the
// same mutex is simply another object constructed with the same name.
//
// Failures: constructors throw nothing; an object whose event or state
// block could not be made is not valid (IsValid false). An invalid mutex
// returns Abandoned from Enter (the caller never holds it) and ignores
// Leave, Abandon and Recover.
//
// Thread-safety: Enter and Leave may be called from any thread of any
// process sharing the name; the queries may be called at any time and
// return a snapshot.
#ifndef TQRTL_CORE_TQLITEMUTEX_H_
#define TQRTL_CORE_TQLITEMUTEX_H_

#include <atomic>

#include "tqrtl/core/TQEvent.h"
#include "tqrtl/platform/win32.h"

// TQLiteSyncObject: an event and the 16-byte state block beside it.
class TQRTL_API TQLiteSyncObject {
 public:
  // As the next constructor with (0, 0, null, null): an auto-reset event
  // and a state block private to this object.
  TQLiteSyncObject();
  // Creates the event `name` (CreateEventA(security, manualReset,
  // initialState, name)), or opens it when it exists, then creates or opens
  // the zero-filled state block "<name>_mmf". Without a name the event and
  // the block are private to this object (never one block shared by every
  // unnamed object).
  TQLiteSyncObject(int initialState, int manualReset, char const* name,
                   SECURITY_ATTRIBUTES* security);
  // Opens the existing event `name` (all event access, not inheritable),
  // then creates or opens the state block. Not valid when no event of that
  // name exists.
  explicit TQLiteSyncObject(char const* name);
  // Releases whatever the constructor obtained (view, mapping, event).
  virtual ~TQLiteSyncObject();
  TQLiteSyncObject(const TQLiteSyncObject&) = delete;
  TQLiteSyncObject& operator=(const TQLiteSyncObject&) = delete;

  // IsValid: the event, the mapping and the mapped view are all present.
  bool IsValid() const;

 protected:
  TQEvent* m_event;
  void* m_state;
  HANDLE m_mapping;

 private:
  void CreateHeap(char const* name);
};

class TQRTL_API TQLiteMutex : public TQLiteSyncObject {
 public:
  enum WaitStatus {
    Acquired = 0,   // the caller owns the mutex (one more level)
    Abandoned = 1,  // the mutex is abandoned (or not valid); not owned
    Busy = 2,       // Enter(false): another thread owns it; nothing changed
  };

  // Creates or opens the mutex `name` (its event is auto-reset and starts
  // not signalled).
  explicit TQLiteMutex(char const* name);
  ~TQLiteMutex() override;

  // Enter: takes the mutex, or one more level of it for the thread that
  // owns it. With `wait` true, blocks without time-out until the mutex is
  // free (Acquired) or abandoned (Abandoned). With `wait` false, never
  // blocks: Acquired when it was free or already the caller's, Busy when
  // another thread owns it (the state is then exactly as before), Abandoned
  // when abandoned.
  // (The entry into a free mutex and the leave that frees it without a
  // waiter are inline, below: one interlocked instruction each, and no call
  // but GetCurrentThreadId.)
  WaitStatus Enter(bool wait = true);
  // Leave: gives one level back; the last level frees the mutex and wakes
  // one waiter. Does nothing while abandoned.
  // REQUIRES: the calling thread holds the mutex (Enter returned Acquired).
  void Leave();
  // Abandon: marks the mutex abandoned and wakes the waiters; each one, and
  // every later Enter, returns Abandoned until Recover.
  void Abandon();
  // Recover: returns the mutex to the free state for every process that
  // shares it. REQUIRES: no thread is inside Enter (after Abandon, the
  // waiters have returned); entries from before Recover must not be left.
  void Recover();

  // OwnerIsGone: true when the mutex is owned by a thread that no longer
  // exists (it ended, or its process died, without leaving). False when the
  // mutex is free or its owner runs. A thread id reused by a new thread
  // before the question is asked hides the death; ask while waiting.
  bool OwnerIsGone() const;
  // The state block as it is now: owner's thread id (0 when free), levels
  // entered, abandoned flag.
  DWORD OwnerThreadId() const;
  DWORD RecursionCount() const;
  bool IsAbandoned() const;

 private:
  struct LockState {
    DWORD recursion;
    DWORD owner;
    LONG lockCount;
    LONG abandoned;
  };
  static_assert(sizeof(LockState) == 16, "the shared state block is 16 bytes");

  // The out-of-line rest of Enter and Leave.
  // EnterHeld: Enter(true) after this thread's increment found lockCount
  // above 1: one more level for the owner, else the wait for a hand-off.
  WaitStatus EnterHeld(DWORD tid);
  // EnterNoWait: all of Enter(false).
  WaitStatus EnterNoWait();
  // Wake: sets the event, for the Leave that found a waiter.
  void Wake();

  // recursion and owner are written only by the owning thread, but other
  // threads read owner, so both are accessed as relaxed atomics.
  template <typename T>
  static T LoadRelaxed(T& word) {
    return std::atomic_ref<T>(word).load(std::memory_order_relaxed);
  }
  template <typename T>
  static void StoreRelaxed(T& word, T value) {
    std::atomic_ref<T>(word).store(value, std::memory_order_relaxed);
  }
  static bool IsAbandonedState(LockState& s) {
    return std::atomic_ref<LONG>(s.abandoned).load() != 0;
  }

  LockState* m_lock_state;
};

inline TQLiteMutex::WaitStatus TQLiteMutex::Enter(bool wait) {
  if (!wait) return EnterNoWait();
  if (m_lock_state == nullptr) return Abandoned;
  LockState& s = *m_lock_state;
  if (IsAbandonedState(s)) return Abandoned;
  // The thread id is asked for after the interlocked instruction, which
  // then does not wait for the stores of the call.
  if (InterlockedIncrement(&s.lockCount) != 1) return EnterHeld(GetCurrentThreadId());
  StoreRelaxed(s.owner, GetCurrentThreadId());
  StoreRelaxed(s.recursion, DWORD{1});
  return Acquired;
}

inline void TQLiteMutex::Leave() {
  if (m_lock_state == nullptr) return;
  LockState& s = *m_lock_state;
  if (IsAbandonedState(s)) return;
  const DWORD recursion = LoadRelaxed(s.recursion) - 1;
  StoreRelaxed(s.recursion, recursion);
  if (recursion > 0) {
    InterlockedDecrement(&s.lockCount);
    return;
  }
  // Clear the owner before the lock word: once lockCount drops, the next
  // owner may write its own id.
  StoreRelaxed(s.owner, DWORD{0});
  if (InterlockedDecrement(&s.lockCount) > 0) Wake();
}

#endif  // TQRTL_CORE_TQLITEMUTEX_H_
