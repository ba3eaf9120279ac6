// A framework shell module for the dynamic-object and shell tests, built
// four ways: TQRTL_TEST_SHELL_KIND 0 hands out a shell, 1 has a factory that
// returns null, 2 exports no factory at all, 3 hands out a shell that
// refuses to start.
#include "tqrtl/shell/TQDynamicObject.h"

namespace {

class TestShell : public TQFrameworkShell {};

// Stays loaded when asked to start, as a plug-in that finds its own
// resources missing would.
class RefusingShell : public TQFrameworkShell {
 public:
  bool TQDO_StartUp() override { return false; }
};

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
#elif TQRTL_TEST_SHELL_KIND == 3
extern "C" TQ_MODULE_EXPORT void* GetTQFrameworkShellInstance() {
  static RefusingShell shell;
  return static_cast<TQFrameworkShell*>(&shell);
}
#else
extern "C" TQ_MODULE_EXPORT void* GetSomethingElse() { return nullptr; }
#endif
