// The library's entry point on systems with ELF shared objects.
//
// Process attach runs as a constructor of the shared object. This file links
// last, so attach runs after every static object of the library is built
// (as on Windows, where the C run-time builds them before DllMain). Attach
// then registers detach as an exit handler of this shared object: handlers
// run in reverse order of registration, so detach runs at dlclose or exit
// before the static objects are destroyed, again as on Windows.
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/shell/internal/module_entry.h"

extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dso);
extern "C" void* __dso_handle;

namespace {

HINSTANCE g_self = nullptr;

void Detach(void*) { TQUtil::internal::ModuleEntry(g_self, DLL_PROCESS_DETACH); }

__attribute__((constructor)) void Attach() {
  g_self = TQModuleOfAddress(reinterpret_cast<const void*>(&Attach));
  if (!TQUtil::internal::ModuleEntry(g_self, DLL_PROCESS_ATTACH)) return;
  __cxa_atexit(Detach, nullptr, &__dso_handle);
}

}  // namespace
