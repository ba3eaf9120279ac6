// The layer's fork() handlers (see fork.h).
//
// The order of the locks in Prepare is the order in which a thread of the
// layer may nest them (outermost first); no call of the layer takes an
// earlier one while it holds a later one, so Prepare cannot deadlock with a
// call in progress: it waits for the call to finish. The registry comes
// first because its calls are the longest.
#include "tqrtl/platform/posix/fork.h"

#include <pthread.h>

namespace tqrtl::posix {
namespace {

void Prepare() {
  RegistryForkPrepare();
  NamespaceForkPrepare();
  HandleTableForkPrepare();
  ViewsForkPrepare();
  HeapsForkPrepare();
  ModulesForkPrepare();
  DataFilesForkPrepare();
  ContextsForkPrepare();
  LocaleForkPrepare();
}

// The same in the parent and the child, in the reverse order.
void Release() {
  LocaleForkRelease();
  ContextsForkRelease();
  DataFilesForkRelease();
  ModulesForkRelease();
  HeapsForkRelease();
  ViewsForkRelease();
  HandleTableForkRelease();
  NamespaceForkRelease();
}

void Parent() {
  Release();
  RegistryForkParent();
}

void Child() {
  // The id first: the repairs below may take locks that compare owners.
  ResetThreadIdInChild();
  Release();
  RegistryForkChild();
  ThreadsAfterForkInChild();
}

// Registered when the library is loaded; the C library drops the handlers
// again when the library is unloaded with dlclose.
[[maybe_unused]] const int g_registered = pthread_atfork(Prepare, Parent, Child);

}  // namespace
}  // namespace tqrtl::posix
