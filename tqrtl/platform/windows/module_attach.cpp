// The library's entry point on Windows.
#include "tqrtl/platform/win32.h"
#include "tqrtl/shell/internal/module_entry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  return TQUtil::internal::ModuleEntry(module, reason);
}
