// internal.h: shared pieces of the POSIX platform layer. Not installed.
//
// The layer reaches the system only through TQSys (syscalls.cpp), a table of
// replaceable function pointers, so that tests can make a chosen call fail
// with a chosen errno and check the failure paths for real.
#ifndef TQRTL_PLATFORM_POSIX_INTERNAL_H_
#define TQRTL_PLATFORM_POSIX_INTERNAL_H_

#include <sys/types.h>

#include <cstddef>

#include "tqrtl/platform/win32.h"

namespace tqrtl::posix {

// The system calls the layer makes. Each entry has the signature and the
// errno convention of its POSIX namesake.
struct SystemCalls {
  void* (*malloc)(size_t size);
  void (*free)(void* memory);
  ssize_t (*read)(int fd, void* buffer, size_t count);
  ssize_t (*write)(int fd, const void* buffer, size_t count);
  int (*isatty)(int fd);
};

// The table in force. Tests replace entries through SetSystemCalls and put
// the defaults back with ResetSystemCalls.
TQRTL_API const SystemCalls& Sys();
TQRTL_API void SetSystemCalls(const SystemCalls& calls);
TQRTL_API void ResetSystemCalls();

// Win32Error: the Win32 error code that best describes errno value `error`
// (ERROR_GEN_FAILURE-like cases become ERROR_INVALID_FUNCTION).
TQRTL_API DWORD Win32ErrorFromErrno(int error);

// SetLastErrorFromErrno: SetLastError(Win32ErrorFromErrno(errno)).
void SetLastErrorFromErrno();

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_INTERNAL_H_
