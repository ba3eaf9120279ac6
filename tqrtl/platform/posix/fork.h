// fork.h: what each part of the POSIX layer does around fork(). Not
// installed.
//
// A child made by fork() without exec starts with one thread, a copy of
// the parent's memory and the parent's descriptors. Three things would be
// wrong in it without help: thread ids cached by the thread that forked
// (they are the parent's), locks of the layer that another parent thread
// held at the moment of the fork (nobody would ever release them in the
// child), and resources that must not be shared by two processes (the
// registry's SQLite connections).
//
// fork.cpp registers one pthread_atfork handler triple that calls the
// functions below. Prepare takes every lock of the layer in a fixed order
// (so no call of the layer is half-done when the memory is copied); the
// parent releases them; the child releases them and then repairs its state.
// Each part keeps its lock and its repair local and only exports these.
#ifndef TQRTL_PLATFORM_POSIX_FORK_H_
#define TQRTL_PLATFORM_POSIX_FORK_H_

namespace tqrtl::posix {

// sync.cpp: the calling thread's cached id is the parent's; take the new one.
void ResetThreadIdInChild();

// threads.cpp: the thread object of the thread that forked (when it was
// started by _beginthreadex) gets the child's id.
void ThreadsAfterForkInChild();

// registry.cpp: the registry's process lock; in the child the inherited
// connections are dropped and the cache emptied.
void RegistryForkPrepare();
void RegistryForkParent();
void RegistryForkChild();

// named_objects.cpp: the namespace lock of this process, so that no
// descriptor holding the namespace's flock is copied into a child (the
// copy would keep the parent's lock held until the child exits).
void NamespaceForkPrepare();
void NamespaceForkRelease();

// handles.cpp: the handle table's lock.
void HandleTableForkPrepare();
void HandleTableForkRelease();

// mappings.cpp: the table of views.
void ViewsForkPrepare();
void ViewsForkRelease();

// heap.cpp: the process heap's lock (heaps of HeapCreate are the
// application's to keep quiet across a fork).
void HeapsForkPrepare();
void HeapsForkRelease();

// modules.cpp, datafile.cpp, system.cpp, locale.cpp: the string tables,
// the data-file images, the display contexts and the locale cache.
void ModulesForkPrepare();
void ModulesForkRelease();
void DataFilesForkPrepare();
void DataFilesForkRelease();
void ContextsForkPrepare();
void ContextsForkRelease();
void LocaleForkPrepare();
void LocaleForkRelease();

// windows.cpp: the window tables and the handle claims. In the child the
// parent's windows, sockets and connections are closed and forgotten.
void WindowsForkPrepare();
void WindowsForkParent();
void WindowsForkChild();

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_FORK_H_
