// windows_internal.h: what the window layer (windows.cpp) offers the rest of
// the POSIX layer and its tests. Not installed.
#ifndef TQRTL_PLATFORM_POSIX_WINDOWS_INTERNAL_H_
#define TQRTL_PLATFORM_POSIX_WINDOWS_INTERNAL_H_

#include <string>

#include "tqrtl/platform/win32.h"

namespace tqrtl::posix {

// What a window's info file says about it.
struct WindowInfo {
  DWORD pid = 0;
  DWORD thread_id = 0;
  std::string class_name;
  std::string title;
};

// ReadWindowInfo: the facts of a live window of any process of the user;
// false when there is no such window.
TQRTL_API bool ReadWindowInfo(HWND window, WindowInfo* info);

// WindowDirectory: the folder of the user's window sockets and info files
// (<namespace directory>/.windows); made by the first CreateWindowExA.
TQRTL_API std::string WindowDirectory();

// SetNextWindowHandle: the handle the next CreateWindowExA of this process
// tries first (if it is free), so a test can make a handle number be used
// again. 0 goes back to random handles only.
TQRTL_API void SetNextWindowHandle(DWORD handle);

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_WINDOWS_INTERNAL_H_
