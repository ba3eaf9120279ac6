#include "tqrtl/core/WorkerThread.h"

#include <cstdint>

namespace {

HANDLE NewEvent(BOOL signalled) { return CreateEventA(nullptr, TRUE, signalled, nullptr); }

}  // namespace

WorkerThread::WorkerThread()
    : m_start(NewEvent(FALSE), ""),
      m_exit(NewEvent(FALSE), ""),
      m_stop(NewEvent(FALSE), ""),
      m_stopped(NewEvent(TRUE), ""),
      m_thread(nullptr),
      m_thread_id(0),
      m_ended(false) {
  InitializeCriticalSection(&m_lock);
}

WorkerThread::~WorkerThread() {
  if (m_thread != nullptr) CloseHandle(m_thread);
  DeleteCriticalSection(&m_lock);
}

int WorkerThread::Create(int priority) {
  if (!m_start.IsValid() || !m_exit.IsValid() || !m_stop.IsValid() || !m_stopped.IsValid()) {
    return 0;
  }
  if (m_thread != nullptr) return 0;
  Acquire();
  if (m_ended) {
    // A second life: forget the requests the last thread saw.
    m_exit.Reset();
    m_stop.Reset();
    m_start.Reset();
    m_stopped.Set();
    m_ended = false;
  }
  Release();
  unsigned id = 0;
  const std::uintptr_t thread =
      _beginthreadex(nullptr, 0, &WorkerThread::ThreadProcedure, this, 0, &id);
  if (thread == 0) return 0;
  m_thread = reinterpret_cast<HANDLE>(thread);
  m_thread_id = id;
  SetThreadPriority(m_thread, priority);
  return 1;
}

bool WorkerThread::WorkerWillConfirm() const { return m_thread != nullptr && !m_ended; }

void WorkerThread::RequestStart() {
  Acquire();
  if (WorkerWillConfirm()) m_stopped.Reset();
  m_start.Set();
  Release();
  Sleep(0);
}

void WorkerThread::RequestStop() {
  Acquire();
  if (WorkerWillConfirm()) m_stopped.Reset();
  m_stop.Set();
  Release();
  Sleep(0);
}

void WorkerThread::WaitForStop() { WaitForSingleObject(m_stopped.GetHandle(), INFINITE); }

void WorkerThread::Stop() {
  RequestStop();
  WaitForStop();
}

void WorkerThread::RequestExit() {
  Acquire();
  if (WorkerWillConfirm()) m_stopped.Reset();
  m_exit.Set();
  Release();
  Sleep(0);
}

unsigned long WorkerThread::WaitForExit() {
  if (m_thread == nullptr) return 0xFFFFFFFFul;
  if (WaitForSingleObject(m_thread, INFINITE) != WAIT_OBJECT_0) return 0xFFFFFFFFul;
  DWORD code = 0;
  if (!GetExitCodeThread(m_thread, &code)) return 0xFFFFFFFFul;
  CloseHandle(m_thread);
  m_thread = nullptr;
  return code;
}

unsigned long WorkerThread::Exit() {
  RequestExit();
  return WaitForExit();
}

int WorkerThread::IsActive() const {
  if (m_thread == nullptr) return 0;
  DWORD code = 0;
  return GetExitCodeThread(m_thread, &code) && code == STILL_ACTIVE ? 1 : 0;
}

int WorkerThread::IsStopped() { return m_stopped.IsSignalled() ? 1 : 0; }

int WorkerThread::IsWorking() { return IsStopped() ? 0 : 1; }

int WorkerThread::StopRequested() { return m_stop.IsSignalled() ? 1 : 0; }

int WorkerThread::ExitRequested() { return m_exit.IsSignalled() ? 1 : 0; }

void WorkerThread::Acquire() { EnterCriticalSection(&m_lock); }

void WorkerThread::Release() { LeaveCriticalSection(&m_lock); }

WorkerThread::WorkRequest WorkerThread::WaitForWork(void* const* handles, int count,
                                                    unsigned long timeout) {
  if (count < 0 || count > kMaxExtraHandles || (count > 0 && handles == nullptr)) {
    return RequestedExit;
  }
  HANDLE list[3 + kMaxExtraHandles] = {m_exit.GetHandle(), m_stop.GetHandle(), m_start.GetHandle()};
  for (int i = 0; i < count; ++i) list[3 + i] = handles[i];
  const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(3 + count), list, FALSE,
                                              static_cast<DWORD>(timeout));

  WorkRequest request = RequestedExit;
  Acquire();
  if (result == WAIT_OBJECT_0) {
    m_stop.Reset();
    m_start.Reset();
    request = RequestedExit;
  } else if (result == WAIT_OBJECT_0 + 1) {
    m_start.Reset();
    request = RequestedStop;
  } else if (result == WAIT_OBJECT_0 + 2) {
    m_start.Reset();
    request = RequestedStart;
  } else if (result >= WAIT_OBJECT_0 + 3 &&
             result < WAIT_OBJECT_0 + 3 + static_cast<DWORD>(count)) {
    request = static_cast<WorkRequest>(SignalledHandle + (result - WAIT_OBJECT_0 - 3));
  } else if (result == WAIT_TIMEOUT) {
    request = TimedOut;
  }
  Release();
  return request;
}

unsigned WINAPI WorkerThread::ThreadProcedure(void* argument) {
  return static_cast<WorkerThread*>(argument)->Run();
}

unsigned WorkerThread::Run() {
  unsigned long exitCode = 0;
  bool keepRunning = true;
  while (keepRunning) {
    const WorkRequest request = WaitForWork(nullptr, 0, INFINITE);
    if (request == RequestedExit) break;
    if (request == RequestedStop) {
      Acquire();
      m_stop.Reset();
      m_stopped.Set();
      Release();
      Sleep(0);
    } else if (request == RequestedStart) {
      m_stopped.Reset();
      keepRunning = DoWork(&exitCode) != 0;
      // The next pass marks the worker stopped, as after a stop request.
      m_stop.Set();
    }
  }
  Acquire();
  m_ended = true;
  m_stopped.Set();
  Release();
  return static_cast<unsigned>(exitCode);
}
