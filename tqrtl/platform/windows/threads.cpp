// The library's thread query on Windows: a thread exists while a handle to
// it can be opened and it has not yet ended.
#include "tqrtl/platform/win32.h"

BOOL TQThreadExists(DWORD threadId) {
  if (threadId == 0) return FALSE;
  HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, threadId);
  if (thread == nullptr) {
    // No such thread (ERROR_INVALID_PARAMETER); one we may not open exists.
    return GetLastError() == ERROR_ACCESS_DENIED ? TRUE : FALSE;
  }
  const BOOL running = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT ? TRUE : FALSE;
  CloseHandle(thread);
  return running;
}
