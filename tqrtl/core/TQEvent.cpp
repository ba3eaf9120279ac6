#include "tqrtl/core/TQEvent.h"

TQEvent::TQEvent(HANDLE handle, const char* name)
    : m_handle(handle), m_name(name != nullptr ? name : "") {}

TQEvent::~TQEvent() {
  if (m_handle != nullptr) CloseHandle(m_handle);
}

BOOL TQEvent::Set() const { return SetEvent(m_handle); }

BOOL TQEvent::Reset() const { return ResetEvent(m_handle); }

bool TQEvent::IsSignalled() const { return WaitForSingleObject(m_handle, 0) == WAIT_OBJECT_0; }
