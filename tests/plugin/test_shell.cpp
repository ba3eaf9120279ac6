// A framework shell module for the dynamic-object tests, built three ways:
// TQRTL_TEST_SHELL_KIND 0 hands out a shell, 1 has a factory that returns
// null, 2 exports no factory at all.
#include "tqrtl/shell/TQDynamicObject.h"

namespace {

class TestShell : public TQFrameworkShell {};

}  // namespace

#if TQRTL_TEST_SHELL_KIND == 0
extern "C" TQ_MODULE_EXPORT void* GetTQFrameworkShellInstance() {
  // Static: the module's unload destroys it, as the library never deletes a
  // loaded object.
  static TestShell shell;
  return static_cast<TQFrameworkShell*>(&shell);
}
#elif TQRTL_TEST_SHELL_KIND == 1
extern "C" TQ_MODULE_EXPORT void* GetTQFrameworkShellInstance() { return nullptr; }
#else
extern "C" TQ_MODULE_EXPORT void* GetSomethingElse() { return nullptr; }
#endif
