// module_entry.h: the library's module entry logic, called by the platform's
// entry point (DllMain on Windows, the shared object's constructor and exit
// handler elsewhere).
#ifndef TQRTL_SHELL_INTERNAL_MODULE_ENTRY_H_
#define TQRTL_SHELL_INTERNAL_MODULE_ENTRY_H_

#include "tqrtl/platform/win32.h"

namespace TQUtil::internal {

// ModuleEntry: runs process attach or detach for the library `module`.
// Returns TRUE on success. Thread attach and detach do nothing. An exception
// inside is caught: detach then still reports success, the others failure.
BOOL ModuleEntry(HINSTANCE module, DWORD reason);

}  // namespace TQUtil::internal

#endif  // TQRTL_SHELL_INTERNAL_MODULE_ENTRY_H_
