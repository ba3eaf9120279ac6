// CreateEventA and OpenEventA. An unnamed event keeps its state in memory of
// its own; a named one keeps it in the header of its object in the per-user
// namespace (named_objects.h), where every process that opens the name maps
// it.
#include <memory>

#include "tqrtl/platform/posix/handles.h"
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/posix/named_objects.h"

using tqrtl::posix::EventObject;
using tqrtl::posix::EventState;
using tqrtl::posix::NamedHold;
using tqrtl::posix::NamedType;

namespace {

HANDLE RegisterNamedEvent(std::shared_ptr<NamedHold> hold) {
  EventState* state = &hold->header()->event;
  return tqrtl::posix::RegisterHandle(std::make_shared<EventObject>(state, std::move(hold)));
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
  (void)security;
  if (name != nullptr && name[0] != '\0') {
    bool existed = false;
    auto hold = tqrtl::posix::HoldNamed(name, NamedType::kEvent, true, 0, manualReset != FALSE,
                                        initialState != FALSE, &existed);
    if (!hold) return nullptr;
    HANDLE handle = RegisterNamedEvent(std::move(hold));
    if (handle != nullptr) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  }
  auto state = std::make_shared<EventState>();
  state->manual.store(manualReset ? 1 : 0, std::memory_order_relaxed);
  state->signaled.store(initialState ? 1 : 0, std::memory_order_relaxed);
  EventState* raw = state.get();
  HANDLE handle = tqrtl::posix::RegisterHandle(std::make_shared<EventObject>(raw, state));
  if (handle != nullptr) SetLastError(ERROR_SUCCESS);
  return handle;
}

HANDLE WINAPI OpenEventA(DWORD access, BOOL inheritHandle, LPCSTR name) {
  (void)access;
  (void)inheritHandle;
  if (name == nullptr || name[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool existed = false;
  auto hold = tqrtl::posix::HoldNamed(name, NamedType::kEvent, false, 0, false, false, &existed);
  if (!hold) return nullptr;
  return RegisterNamedEvent(std::move(hold));
}

}  // extern "C"
