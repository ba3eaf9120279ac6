// handles.h: the process-wide handle table of the POSIX layer, and the
// waitable objects behind WaitForSingleObject / WaitForMultipleObjects.
// Not installed.
//
// Every kernel-object handle the layer hands out (events, threads, file
// mappings, files) is an entry in one table. A service makes its object, a
// subclass of HandleObject, and registers it:
//
//   auto file = std::make_shared<FileObject>(fd);   // FileObject : HandleObject
//   HANDLE h = tqrtl::posix::RegisterHandle(file);  // null + last error when full
//   ...
//   auto same = tqrtl::posix::LookupHandle<FileObject>(h, HandleKind::kFile);
//   if (!same) return FALSE;                        // ERROR_INVALID_HANDLE is set
//
// CloseHandle removes the entry; the object is destroyed when the last
// reference goes, which is at once unless another thread is using it (a
// wait in progress, a thread that still runs). Its destructor releases the
// system resource (closes the descriptor, unmaps the memory).
//
// Handle values are multiples of 4 below 2^32, never null and never
// INVALID_HANDLE_VALUE; a closed handle's value is not reused until its slot
// has been reused 1024 times, so a stale handle almost always fails with
// ERROR_INVALID_HANDLE instead of reaching another object.
//
// Thread-safety: every function here may be called from any thread.
#ifndef TQRTL_PLATFORM_POSIX_HANDLES_H_
#define TQRTL_PLATFORM_POSIX_HANDLES_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "tqrtl/platform/win32.h"

namespace tqrtl::posix {

enum class HandleKind { kEvent, kThread, kMapping, kFile };

class Waitable;

// HandleObject: what a handle refers to. Subclasses release their resource
// in their destructor.
class HandleObject {
 public:
  explicit HandleObject(HandleKind kind) : kind_(kind) {}
  virtual ~HandleObject() = default;
  HandleObject(const HandleObject&) = delete;
  HandleObject& operator=(const HandleObject&) = delete;

  HandleKind kind() const { return kind_; }

  // AsWaitable: the object as a wait target, or null when it cannot be
  // waited on (WaitFor* then fail with ERROR_INVALID_HANDLE).
  virtual Waitable* AsWaitable() { return nullptr; }

  // FileDescriptor: the open descriptor of a file object (what
  // CreateFileMappingA maps), -1 for other objects.
  virtual int FileDescriptor() const { return -1; }

 private:
  const HandleKind kind_;
};

// RegisterHandle: enters `object` in the table and returns its new handle.
// Returns null with ERROR_INVALID_PARAMETER for a null object and with
// ERROR_NO_SYSTEM_RESOURCES when the table is full (about a million handles).
TQRTL_API HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);

// LookupHandle: the object of `handle`, or null with ERROR_INVALID_HANDLE
// when the handle is not open.
TQRTL_API std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);

// LookupHandle<T>(handle, kind): the object of `handle` when it is of
// `kind`, or null with ERROR_INVALID_HANDLE. REQUIRES: every object of
// `kind` is a T.
template <class T>
std::shared_ptr<T> LookupHandle(HANDLE handle, HandleKind kind) {
  std::shared_ptr<HandleObject> object = LookupHandle(handle);
  if (object && object->kind() != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return std::static_pointer_cast<T>(object);
}

// OpenHandleCount: how many handles are open in this process (for tests).
TQRTL_API size_t OpenHandleCount();

// What a wait knows about one object while it waits on it.
struct WaitTicket {
  std::uint32_t pulse = 0;  // the object's pulse count when the wait began
};

// Waitable: an object with a signalled state, kept in a 32-bit futex word
// (in private or shared memory) that changes whenever the state may have
// become signalled. Waits read the word, check the state, and sleep in the
// kernel until the word changes (futex_waitv over all the objects), so a
// setter in any process wakes them.
class Waitable {
 public:
  virtual ~Waitable() = default;

  // Word: the futex word. Setters change the state first, then bump the
  // word, then wake every sleeper on it.
  virtual std::atomic<std::uint32_t>* Word() = 0;

  // BeginWait / EndWait: bracket one wait (pulses release only the waits
  // that had begun before them).
  virtual void BeginWait(WaitTicket* ticket) { *ticket = WaitTicket{}; }
  virtual void EndWait(const WaitTicket&) {}

  // TryAcquire: true when the object satisfies a wait now; an auto-reset
  // event is reset by the call that returns true.
  virtual bool TryAcquire(const WaitTicket& ticket) = 0;

  // IsSignaled: the state, without consuming it (wait-all checks every
  // object before it takes any).
  virtual bool IsSignaled() = 0;

  // Unacquire: undoes a TryAcquire that a wait-all could not complete.
  virtual void Unacquire() {}
};

// FutexWakeAll: wakes every thread, in any process, sleeping on `word`.
void FutexWakeAll(std::atomic<std::uint32_t>* word);

// The state of an event, in private memory (unnamed events) or in the shared
// header of a named one. Zero-filled memory is a valid non-signalled
// auto-reset event.
struct EventState {
  std::atomic<std::uint32_t> word;      // futex word, bumped on every change
  std::atomic<std::uint32_t> signaled;  // 1 when set
  std::atomic<std::uint32_t> manual;    // 1 for manual reset
  std::atomic<std::uint32_t> pulses;    // count of PulseEvent calls
  std::atomic<std::uint32_t> token;     // auto reset: the pulse not yet taken by a waiter, 0 none
  std::atomic<std::uint32_t> waiters;   // waits in progress
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

// EventObject: an event handle's object. Unnamed events own their state;
// named ones point into shared memory that `keeper` keeps mapped.
class TQRTL_API EventObject : public HandleObject, public Waitable {
 public:
  EventObject(EventState* state, std::shared_ptr<void> keeper)
      : HandleObject(HandleKind::kEvent), state_(state), keeper_(std::move(keeper)) {}

  Waitable* AsWaitable() override { return this; }
  EventState* state() const { return state_; }

  void Set();
  void Reset();
  void Pulse();

  std::atomic<std::uint32_t>* Word() override { return &state_->word; }
  void BeginWait(WaitTicket* ticket) override;
  void EndWait(const WaitTicket& ticket) override;
  bool TryAcquire(const WaitTicket& ticket) override;
  bool IsSignaled() override;
  void Unacquire() override;

 private:
  void Changed();

  EventState* const state_;
  const std::shared_ptr<void> keeper_;
};

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_HANDLES_H_
