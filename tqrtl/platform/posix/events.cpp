// CreateEventA. An event keeps its state in memory of its own.
#include <memory>

#include "tqrtl/platform/posix/handles.h"
#include "tqrtl/platform/posix/internal.h"

using tqrtl::posix::EventObject;
using tqrtl::posix::EventState;

extern "C" {

// Named events are not offered yet: a name fails with ERROR_NOT_SUPPORTED.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
  (void)security;
  if (name != nullptr && name[0] != '\0') {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto state = std::make_shared<EventState>();
  state->manual.store(manualReset ? 1 : 0, std::memory_order_relaxed);
  state->signaled.store(initialState ? 1 : 0, std::memory_order_relaxed);
  EventState* raw = state.get();
  HANDLE handle = tqrtl::posix::RegisterHandle(std::make_shared<EventObject>(raw, state));
  if (handle != nullptr) SetLastError(ERROR_SUCCESS);
  return handle;
}

}  // extern "C"
