// dlclose_helper: loads the library with dlopen, registers a shutdown
// callback, optionally kicks shutdown, and unloads it with dlclose. Prints
// one line per event, so a test can check that process attach ran at load
// and process detach (with the callbacks) at unload.
//
//   dlclose_helper <library> unload|kick
//
// The helper does not link the library: it must be the only reference, so
// that dlclose really unmaps it.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

// The library's handle type, declared as the library declares it, so that
// calls through these pointers have exactly the functions' types.
struct HINSTANCE__;

namespace {

using ModuleHandleFn = HINSTANCE__* (*)();
using RegisterFn = bool (*)(HINSTANCE__*, void (*)());
using KickFn = void (*)();

ModuleHandleFn g_module_handle = nullptr;

void Callback() {
  std::printf("callback %s\n", g_module_handle() != nullptr ? "attached" : "detached");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::printf("dlopen failed: %s\n", dlerror());
    return 3;
  }
  // The Itanium C++ names of TQUtil::ModuleHandle(),
  // TQUtil::RegisterOnShutDownCallback(HINSTANCE, void (*)()) and
  // TQUtil::KickShutDown().
  g_module_handle =
      reinterpret_cast<ModuleHandleFn>(dlsym(library, "_ZN6TQUtil12ModuleHandleEv"));
  auto register_callback = reinterpret_cast<RegisterFn>(
      dlsym(library, "_ZN6TQUtil26RegisterOnShutDownCallbackEP11HINSTANCE__PFvvE"));
  auto kick = reinterpret_cast<KickFn>(dlsym(library, "_ZN6TQUtil12KickShutDownEv"));
  if (g_module_handle == nullptr || register_callback == nullptr || kick == nullptr) return 4;

  std::printf("loaded %s\n", g_module_handle() != nullptr ? "attached" : "detached");
  register_callback(reinterpret_cast<HINSTANCE__*>(0x7000), Callback);
  if (std::strcmp(argv[2], "kick") == 0) {
    kick();
    std::printf("kicked\n");
  }
  std::fflush(stdout);
  dlclose(library);
  // The library is gone: its functions must not be called any more.
  g_module_handle = nullptr;
  std::printf("closed\n");
  return 0;
}
