// The layer's fork() handlers (see fork.h).
//
// No call of the layer takes one of these locks while it holds another
// (a handle's object, for one, is destroyed after the table's lock is
// released), so Prepare cannot deadlock with a call in progress: it waits
// for each call to finish. A new lock that nests inside another must come
// after it in Prepare.
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
  WindowsForkPrepare();
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
  WindowsForkParent();
  Release();
  RegistryForkParent();
}

void Child() {
  // The id first: the repairs below may take locks that compare owners.
  ResetThreadIdInChild();
  WindowsForkChild();
  Release();
  RegistryForkChild();
  ThreadsAfterForkInChild();
}

// Registered when the library is loaded; the C library drops the handlers
// again when the library is unloaded with dlclose.
[[maybe_unused]] const int g_registered = pthread_atfork(Prepare, Parent, Child);

}  // namespace
}  // namespace tqrtl::posix
