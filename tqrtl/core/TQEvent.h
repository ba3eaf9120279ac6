// TQEvent.h: a small owner of an event handle.
//
// The wait object of the light-weight locks and the four signals of
// WorkerThread. The handle is closed when the object is destroyed; the
// object cannot be copied (the handle would be closed twice).
//
// Failures: a TQEvent built from a null handle (a failed CreateEventA or
// OpenEventA) is not valid; its operations then fail as the system calls do
// on a null handle. Thread-safety: the operations may be called from any
// thread at once.
#ifndef TQRTL_CORE_TQEVENT_H_
#define TQRTL_CORE_TQEVENT_H_

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

// TQEvent: owns one event handle (closed on destruction) and remembers the
// name it was created or opened under (empty for an unnamed event).
class TQRTL_API TQEvent {
 public:
  // Takes ownership of `handle` (which may be null).
  TQEvent(HANDLE handle, const char* name);
  virtual ~TQEvent();
  TQEvent(const TQEvent&) = delete;
  TQEvent& operator=(const TQEvent&) = delete;

  HANDLE GetHandle() const { return m_handle; }
  const TQString& GetName() const { return m_name; }
  bool IsValid() const { return m_handle != nullptr; }

  // Set, Reset: SetEvent and ResetEvent; FALSE on failure.
  BOOL Set() const;
  BOOL Reset() const;
  // IsSignalled: true when a wait of 0 ms succeeds. On an auto-reset event
  // that wait consumes the signal.
  bool IsSignalled() const;

 private:
  HANDLE m_handle;
  TQString m_name;
};

#endif  // TQRTL_CORE_TQEVENT_H_
