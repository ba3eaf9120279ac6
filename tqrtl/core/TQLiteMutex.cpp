// The mutex is a counting lock word with an event to sleep on: lockCount
// counts the entries plus the waiters, so the thread that raises it from 0
// owns the mutex without a system call, and the one that lowers it to a
// value above 0 passes the mutex on by setting the auto-reset event: the
// one waiter whose wait takes the event owns it (a thread that raised
// lockCount just after the Leave may be that one, ahead of an older
// sleeper). recursion and owner are written only by the owning thread;
// other threads read owner (to see whether they already own it), so both
// are accessed as relaxed atomics. The lock word and the event order
// everything else. lockCount changes only through the full-barrier
// interlocked operations, inline like the uncontended Enter and Leave in
// the header: the uncontended pair is two locked instructions and one call,
// GetCurrentThreadId.
#include "tqrtl/core/TQLiteMutex.h"

#include <atomic>
#include <new>
#include <string>

namespace {

constexpr DWORD kStateBlockSize = 16;
constexpr DWORD kAllEventAccess = 0x1F0003;  // EVENT_ALL_ACCESS

}  // namespace

// ---------------------------------------------------------------------------
// TQLiteSyncObject

namespace {

// Wraps a new event handle in a TQEvent, closing it when even that fails
// (the constructors throw nothing).
TQEvent* OwnEvent(HANDLE handle, const char* name) {
  if (handle == nullptr) return nullptr;
  try {
    TQEvent* event = new TQEvent(handle, name);
    return event;
  } catch (...) {
    CloseHandle(handle);
    return nullptr;
  }
}

}  // namespace

TQLiteSyncObject::TQLiteSyncObject() : TQLiteSyncObject(0, 0, nullptr, nullptr) {}

TQLiteSyncObject::TQLiteSyncObject(int initialState, int manualReset, char const* name,
                                   SECURITY_ATTRIBUTES* security)
    : m_event(nullptr), m_state(nullptr), m_mapping(nullptr) {
  m_event = OwnEvent(CreateEventA(security, manualReset, initialState, name), name);
  CreateHeap(name);
}

TQLiteSyncObject::TQLiteSyncObject(char const* name)
    : m_event(nullptr), m_state(nullptr), m_mapping(nullptr) {
  m_event = OwnEvent(OpenEventA(kAllEventAccess, FALSE, name), name);
  CreateHeap(name);
}

TQLiteSyncObject::~TQLiteSyncObject() {
  if (m_state != nullptr) UnmapViewOfFile(m_state);
  if (m_mapping != nullptr) CloseHandle(m_mapping);
  delete m_event;
}

bool TQLiteSyncObject::IsValid() const {
  return m_mapping != nullptr && m_state != nullptr && m_event != nullptr && m_event->IsValid();
}

void TQLiteSyncObject::CreateHeap(char const* name) {
  // An unnamed object gets an unnamed, private block: a shared "_mmf" for
  // every unnamed object on the machine would tie unrelated locks together.
  std::string blockName;
  if (name != nullptr) {
    try {
      blockName = std::string(name) + "_mmf";
    } catch (...) {
      delete m_event;
      m_event = nullptr;
      return;
    }
  }
  m_mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kStateBlockSize,
                                 name != nullptr ? blockName.c_str() : nullptr);
  if (m_mapping != nullptr) {
    m_state = MapViewOfFile(m_mapping, FILE_MAP_WRITE, 0, 0, 0);
    if (m_state == nullptr) {
      CloseHandle(m_mapping);
      m_mapping = nullptr;
      delete m_event;
      m_event = nullptr;
    }
  }
}

// ---------------------------------------------------------------------------
// TQLiteMutex

TQLiteMutex::TQLiteMutex(char const* name)
    : TQLiteSyncObject(0, 0, name, nullptr),
      m_lock_state(IsValid() ? static_cast<LockState*>(m_state) : nullptr) {}

TQLiteMutex::~TQLiteMutex() = default;

// Enter(true) and Leave are inline in the header; these are their rest.

TQLiteMutex::WaitStatus TQLiteMutex::EnterNoWait() {
  if (m_lock_state == nullptr) return Abandoned;
  LockState& s = *m_lock_state;
  if (IsAbandonedState(s)) return Abandoned;
  const DWORD tid = GetCurrentThreadId();
  // Take it only when it is free, so that a busy mutex is left exactly as
  // it was: raising lockCount and lowering it again could race with the
  // owner's Leave, which would then wake a waiter that is not there.
  if (InterlockedCompareExchange(&s.lockCount, 1, 0) == 0) {
    StoreRelaxed(s.owner, tid);
    StoreRelaxed(s.recursion, DWORD{1});
    return Acquired;
  }
  if (LoadRelaxed(s.owner) != tid) return Busy;
  InterlockedIncrement(&s.lockCount);
  StoreRelaxed(s.recursion, LoadRelaxed(s.recursion) + 1);
  return Acquired;
}

TQLiteMutex::WaitStatus TQLiteMutex::EnterHeld(DWORD tid) {
  LockState& s = *m_lock_state;
  if (LoadRelaxed(s.owner) == tid) {
    StoreRelaxed(s.recursion, LoadRelaxed(s.recursion) + 1);
    return Acquired;
  }
  WaitForSingleObject(m_event->GetHandle(), INFINITE);
  if (IsAbandonedState(s)) {
    // Pass the wake-up on: the next waiter, or the next thread about to
    // wait, leaves too. (Setting rather than pulsing the event cannot miss
    // a thread that has raised lockCount but not yet started its wait.)
    m_event->Set();
    return Abandoned;
  }
  StoreRelaxed(s.owner, tid);
  StoreRelaxed(s.recursion, DWORD{1});
  return Acquired;
}

void TQLiteMutex::Wake() { m_event->Set(); }

void TQLiteMutex::Abandon() {
  if (m_lock_state == nullptr) return;
  std::atomic_ref<LONG>(m_lock_state->abandoned).store(1);
  m_event->Set();
}

void TQLiteMutex::Recover() {
  if (m_lock_state == nullptr) return;
  LockState& s = *m_lock_state;
  // The last waiter to leave passed the wake-up on to nobody: clear it, so
  // that the first waiter after recovery does not wake on it.
  m_event->Reset();
  StoreRelaxed(s.recursion, DWORD{0});
  StoreRelaxed(s.owner, DWORD{0});
  std::atomic_ref<LONG>(s.lockCount).store(0);
  std::atomic_ref<LONG>(s.abandoned).store(0);
}

bool TQLiteMutex::OwnerIsGone() const {
  if (m_lock_state == nullptr) return false;
  const DWORD owner = LoadRelaxed(m_lock_state->owner);
  return owner != 0 && !TQThreadExists(owner);
}

DWORD TQLiteMutex::OwnerThreadId() const {
  return m_lock_state != nullptr ? LoadRelaxed(m_lock_state->owner) : 0;
}

DWORD TQLiteMutex::RecursionCount() const {
  return m_lock_state != nullptr ? LoadRelaxed(m_lock_state->recursion) : 0;
}

bool TQLiteMutex::IsAbandoned() const {
  return m_lock_state != nullptr && std::atomic_ref<LONG>(m_lock_state->abandoned).load() != 0;
}
