// Sub-commands that fork() without exec and check the platform layer in the
// child (POSIX only). The program starts no thread of its own except where
// a command says so, so each fork copies a known process.
//
//   fork-ids NAME              a thread of _beginthreadex forks holding a
//                              TQLiteMutex: the child's ids are its own (so
//                              the mutex is not its), and the thread's
//                              handle names the child's thread there
//   fork-mutex NAME ROUNDS     parent and child count under one TQLiteMutex
//   fork-mutex-abandon NAME    the forked owner is killed; the parent
//                              abandons and recovers the mutex
//   fork-registry ROUNDS       parent and child write one key after the fork
//   fork-registry-transaction  a child forked inside a transaction
//   fork-event NAME            a named event shared by parent and child
//   fork-busy NAME ROUNDS      forks while a second thread works in the layer
//
// Exit codes: 0 success; 2 usage; 3 set-up failed; 4 fork or wait failed;
// 5 the child failed (its own code is printed on stderr); other codes
// name the check that failed, listed at each command.
#if !defined(_WIN32)

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "process_helper.h"
#include "tqrtl/core/TQLiteMutex.h"
#include "tqrtl/platform/posix/registry.h"
#include "tqrtl/platform/win32.h"

namespace {

constexpr DWORD kPatience = 30000;  // ms a peer may take before the run is failed

DWORD Tid() { return static_cast<DWORD>(syscall(SYS_gettid)); }

// A pipe to order two processes: one end writes a byte, the other waits.
// After the fork each side keeps only its end, so a peer that dies ends the
// wait (end of file) instead of leaving it hanging.
struct Pipe {
  int fds[2] = {-1, -1};
  bool Open() { return pipe(fds) == 0; }
  void KeepReadEnd() { close(fds[1]); }
  void KeepWriteEnd() { close(fds[0]); }
  bool Send() { return write(fds[1], "x", 1) == 1; }
  bool Receive() {
    char c;
    return read(fds[0], &c, 1) == 1;
  }
};

// 0 when `child` exited with 0; else prints its status and returns 5 (4
// when it cannot be waited for).
int Reap(pid_t child, const char* what) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return 4;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
  std::fprintf(stderr, "%s: child %s %d\n", what, WIFEXITED(status) ? "exited with" : "signal",
               WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
  return 5;
}

// The child leaves with _exit: what it inherited is the parent's to clean
// up, and the parent's buffered output must not be written twice.
[[noreturn]] void ChildExit(int code) {
  std::fflush(stderr);
  _exit(code);
}

// --- fork-ids: 10 thread id, 11 process id, 12 the child entered the
// parent's mutex as its owner, 13 the thread's handle does not reach the
// child's thread, 14 it changed the parent's thread instead.
int Nice(DWORD tid) {
  errno = 0;
  const int value = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  return errno == 0 ? value : 1000;
}

struct Forker {
  TQLiteMutex* mutex = nullptr;
  std::atomic<HANDLE> self{nullptr};
  std::atomic<int> result{-1};
};

unsigned WINAPI ForkFromThread(void* raw) {
  auto* forker = static_cast<Forker*>(raw);
  while (forker->self.load() == nullptr) Sleep(1);
  const DWORD parentThread = GetCurrentThreadId();  // cached in this thread now
  const int parentNice = Nice(parentThread);
  if (forker->mutex->Enter(true) != TQLiteMutex::Acquired) {
    forker->result.store(3);
    return 0;
  }
  const pid_t child = fork();
  if (child == 0) {
    const DWORD id = GetCurrentThreadId();
    if (id != Tid() || id == parentThread) ChildExit(10);
    if (GetCurrentProcessId() != static_cast<DWORD>(getpid())) ChildExit(11);
    if (forker->mutex->Enter(false) != TQLiteMutex::Busy) ChildExit(12);
    // The handle is the parent's thread object, copied: it must now name
    // this thread, the only one here.
    const int before = Nice(id);
    if (!SetThreadPriority(forker->self.load(), THREAD_PRIORITY_LOWEST) || Nice(id) == before)
      ChildExit(13);
    ChildExit(0);
  }
  int code = child < 0 ? 4 : Reap(child, "fork-ids");
  forker->mutex->Leave();
  if (code == 0 && (Nice(parentThread) != parentNice || GetCurrentThreadId() != parentThread))
    code = 14;
  forker->result.store(code);
  return 0;
}

int Ids(int argc, char** argv) {
  if (argc != 2) return 2;
  TQLiteMutex mutex(argv[1]);
  if (!mutex.IsValid()) return 3;
  Forker forker;
  forker.mutex = &mutex;
  const auto thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ForkFromThread, &forker, 0, nullptr));
  if (thread == nullptr) return 3;
  forker.self.store(thread);
  if (WaitForSingleObject(thread, kPatience) != WAIT_OBJECT_0) return 4;
  CloseHandle(thread);
  return forker.result.load();
}

// --- fork-registry: 40 a call failed, 41 the child's first read came from
// the parent's cache, 42 a value is missing or wrong, 43 the integrity check
// failed.
// --- fork-mutex: 20 Enter failed, 21 two processes inside at once, 22 the
// owner recorded is not the caller, 23 recursion did not nest, 24 the
// count is off.
struct Shared {
  long counter;
  int inside;
  int overlaps;
};

int Count(TQLiteMutex& mutex, Shared* shared, long rounds, bool nest) {
  for (long i = 0; i < rounds; ++i) {
    if (mutex.Enter(true) != TQLiteMutex::Acquired) return 20;
    if (__atomic_exchange_n(&shared->inside, 1, __ATOMIC_SEQ_CST) != 0)
      __atomic_add_fetch(&shared->overlaps, 1, __ATOMIC_SEQ_CST);
    if (mutex.OwnerThreadId() != Tid()) return 22;
    if (nest && i % 8 == 0) {
      // One more level without waiting, while the other process may be
      // queued behind this one.
      if (mutex.Enter(false) != TQLiteMutex::Acquired || mutex.RecursionCount() != 2) return 23;
      mutex.Leave();
      if (mutex.RecursionCount() != 1) return 23;
    }
    // A read-modify-write that takes a while: any overlap loses counts.
    const long value = __atomic_load_n(&shared->counter, __ATOMIC_RELAXED);
    if (i % 64 == 0) sched_yield();
    __atomic_store_n(&shared->counter, value + 1, __ATOMIC_RELAXED);
    __atomic_store_n(&shared->inside, 0, __ATOMIC_SEQ_CST);
    mutex.Leave();
  }
  return 0;
}

int Mutex(int argc, char** argv) {
  if (argc != 3) return 2;
  const long rounds = std::atol(argv[2]);
  TQLiteMutex mutex(argv[1]);
  if (!mutex.IsValid()) return 3;
  void* memory =
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return 3;
  auto* shared = static_cast<Shared*>(memory);
  // Entered once before the fork, so the parent's cached id is in the copy.
  if (mutex.Enter(true) != TQLiteMutex::Acquired) return 20;
  mutex.Leave();
  const pid_t child = fork();
  if (child < 0) return 4;
  if (child == 0) ChildExit(Count(mutex, shared, rounds, true));
  const int mine = Count(mutex, shared, rounds, false);
  const int reaped = Reap(child, "fork-mutex");
  if (mine != 0) return mine;
  if (reaped != 0) return reaped;
  if (shared->overlaps != 0) {
    std::fprintf(stderr, "fork-mutex: %d overlaps\n", shared->overlaps);
    return 21;
  }
  if (shared->counter != 2 * rounds) {
    std::fprintf(stderr, "fork-mutex: counted %ld of %ld\n", shared->counter, 2 * rounds);
    return 24;
  }
  return 0;
}

// --- fork-mutex-abandon: 30 the child could not enter, 31 the parent took
// the dead child's mutex as its own, 32 the owner is not seen gone, 33
// Abandon/Recover did not free it.
int MutexAbandon(int argc, char** argv) {
  if (argc != 2) return 2;
  TQLiteMutex mutex(argv[1]);
  if (!mutex.IsValid()) return 3;
  if (mutex.Enter(true) != TQLiteMutex::Acquired) return 30;
  mutex.Leave();
  Pipe entered;
  if (!entered.Open()) return 3;
  const pid_t child = fork();
  if (child < 0) return 4;
  if (child == 0) {
    entered.KeepWriteEnd();
    if (mutex.Enter(true) != TQLiteMutex::Acquired) ChildExit(30);
    entered.Send();
    for (;;) pause();
  }
  entered.KeepReadEnd();
  if (!entered.Receive()) return 30;
  kill(child, SIGKILL);
  int status = 0;
  if (waitpid(child, &status, 0) != child) return 4;
  if (mutex.Enter(false) != TQLiteMutex::Busy) return 31;
  if (mutex.OwnerThreadId() != static_cast<DWORD>(child) || !mutex.OwnerIsGone()) return 32;
  mutex.Abandon();
  if (mutex.Enter(true) != TQLiteMutex::Abandoned) return 33;
  mutex.Recover();
  if (mutex.Enter(false) != TQLiteMutex::Acquired) return 33;
  if (mutex.OwnerThreadId() != Tid() || mutex.RecursionCount() != 1) return 33;
  mutex.Leave();
  return mutex.OwnerThreadId() == 0 ? 0 : 33;
}

// --- fork-registry: 40 a call failed, 41 the child's first read came from
bool SetDword(HKEY key, const std::string& name, DWORD value) {
  return RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value) == ERROR_SUCCESS;
}

LONG GetDword(HKEY key, const std::string& name, DWORD* value) {
  DWORD size = sizeof *value;
  return RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                          &size);
}

bool HasDword(HKEY key, const std::string& name, DWORD expected) {
  DWORD value = 0;
  return GetDword(key, name, &value) == ERROR_SUCCESS && value == expected;
}

int WriteRounds(HKEY key, const char* prefix, long rounds) {
  for (long i = 0; i < rounds; ++i) {
    if (!SetDword(key, prefix + std::to_string(i), static_cast<DWORD>(i))) return 40;
  }
  return 0;
}

HKEY CreateKey(HKEY root, const char* path) {
  HKEY key = nullptr;
  return RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
                 ERROR_SUCCESS
             ? key
             : nullptr;
}

int CheckHives(const char* what) {
  std::string report;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    if (tqrtl::posix::RegistryCheckHive(root, &report) != ERROR_SUCCESS) {
      std::fprintf(stderr, "%s: %s\n", what, report.c_str());
      return 43;
    }
  }
  return 0;
}

int Registry(int argc, char** argv) {
  if (argc != 2) return 2;
  const long rounds = std::atol(argv[1]);
  HKEY key = CreateKey(HKEY_CURRENT_USER, "Fork");
  if (key == nullptr || !SetDword(key, "before", 7) || !HasDword(key, "before", 7)) return 3;
  const pid_t child = fork();
  if (child < 0) return 4;
  if (child == 0) {
    // The inherited HKEY still names the key; the read goes to a connection
    // of the child's own, not to the parent's copy of the cache.
    const std::uint64_t statements = tqrtl::posix::RegistryStatementCount();
    if (!HasDword(key, "before", 7)) ChildExit(42);
    if (tqrtl::posix::RegistryStatementCount() == statements) ChildExit(41);
    ChildExit(WriteRounds(key, "child", rounds));
  }
  const int mine = WriteRounds(key, "parent", rounds);
  const int reaped = Reap(child, "fork-registry");
  if (mine != 0 || reaped != 0) return mine != 0 ? mine : reaped;
  for (const char* prefix : {"parent", "child"}) {
    for (long i = 0; i < rounds; ++i) {
      if (!HasDword(key, prefix + std::to_string(i), static_cast<DWORD>(i))) {
        std::fprintf(stderr, "fork-registry: %s%ld lost\n", prefix, i);
        return 42;
      }
    }
  }
  RegCloseKey(key);
  return CheckHives("fork-registry");
}

// --- fork-registry-transaction: 44 the child reached the hive whose
// transaction it inherited, 45 the other hive failed in the child, 46 the
// parent's transaction did not survive the child, 43 integrity.
int RegistryTransaction(int argc, char**) {
  if (argc != 1) return 2;
  HKEY user = CreateKey(HKEY_CURRENT_USER, "ForkTx");
  HKEY machine = CreateKey(HKEY_LOCAL_MACHINE, "ForkTx");
  if (user == nullptr || machine == nullptr ||
      tqrtl::posix::RegistryBeginTransaction(HKEY_CURRENT_USER) != ERROR_SUCCESS)
    return 3;
  if (!SetDword(user, "inside", 1)) return 40;
  const pid_t child = fork();
  if (child < 0) return 4;
  if (child == 0) {
    DWORD value = 0;
    if (SetDword(user, "child", 2) || GetDword(user, "inside", &value) != ERROR_BUSY) ChildExit(44);
    if (!SetDword(machine, "child", 3) || !HasDword(machine, "child", 3)) ChildExit(45);
    ChildExit(0);
  }
  if (const int reaped = Reap(child, "fork-registry-transaction"); reaped != 0) return reaped;
  if (!SetDword(user, "after", 4) ||
      tqrtl::posix::RegistryCommitTransaction(HKEY_CURRENT_USER) != ERROR_SUCCESS ||
      !HasDword(user, "inside", 1) || !HasDword(user, "after", 4))
    return 46;
  DWORD stray = 0;
  if (GetDword(user, "child", &stray) != ERROR_FILE_NOT_FOUND) return 44;
  RegCloseKey(user);
  RegCloseKey(machine);
  return CheckHives("fork-registry-transaction");
}

// --- fork-event: 50 a wait failed, 51 the name died with one holder left,
// 52 the name outlived its last holder, 53 an inherited handle stopped
// working.
bool NameAlive(const std::string& name) {
  HANDLE probe = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
  if (probe != nullptr) CloseHandle(probe);
  return probe != nullptr;
}

int Event(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string name = argv[1];
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  if (event == nullptr) return 3;
  const pid_t child = fork();
  if (child < 0) return 4;
  if (child == 0) {
    // Signalled by the parent through the inherited handle, then given up
    // while the parent keeps its own.
    if (WaitForSingleObject(event, kPatience) != WAIT_OBJECT_0) ChildExit(50);
    ChildExit(CloseHandle(event) ? 0 : 53);
  }
  if (!SetEvent(event)) return 53;
  if (const int reaped = Reap(child, "fork-event"); reaped != 0) return reaped;
  if (!NameAlive(name)) return 51;
  if (!SetEvent(event) || WaitForSingleObject(event, 0) != WAIT_OBJECT_0) return 53;
  CloseHandle(event);
  return !NameAlive(name) && GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : 52;
}

// --- fork-busy: 61 a call failed in a child, 62 the worker failed; a
// child that hangs on a lock the worker held at the fork is ended by
// SIGALRM (5).
struct Worker {
  std::string name;
  HKEY key = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
};

// One round of calls that each hold a lock of the layer: the named-object
// namespace and handle table, the process heap, and the registry (a write
// when `write`, a read otherwise).
bool UseTheLayer(const std::string& name, HKEY key, bool write, DWORD value) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  void* block = HeapAlloc(GetProcessHeap(), 0, 64);
  DWORD read = 0;
  const bool stored =
      write ? SetDword(key, name, value) : GetDword(key, name, &read) == ERROR_SUCCESS;
  const bool ok = event != nullptr && block != nullptr && stored;
  HeapFree(GetProcessHeap(), 0, block);
  if (event != nullptr) CloseHandle(event);
  return ok;
}

unsigned WINAPI Work(void* raw) {
  auto* worker = static_cast<Worker*>(raw);
  // Reads mostly: a write now and then, which would keep the children
  // waiting on the database if each were.
  for (DWORD i = 0; !worker->stop.load(); ++i) {
    if (!UseTheLayer(worker->name, worker->key, i % 32 == 0, i)) worker->failed.store(true);
  }
  return 0;
}

int Busy(int argc, char** argv) {
  if (argc != 3) return 2;
  Worker worker;
  worker.name = argv[1];
  const long rounds = std::atol(argv[2]);
  worker.key = CreateKey(HKEY_CURRENT_USER, "ForkBusy");
  if (worker.key == nullptr) return 3;
  const auto thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Work, &worker, 0, nullptr));
  if (thread == nullptr) return 3;
  int result = 0;
  for (long round = 0; round < rounds && result == 0; ++round) {
    const pid_t child = fork();
    if (child == 0) {
      alarm(kPatience / 1000);  // a call hung on a lock copied held ends the child
      const bool ok = UseTheLayer(worker.name + "-child", worker.key, true, round);
      ChildExit(ok ? 0 : 61);
    }
    result = child < 0 ? 4 : Reap(child, "fork-busy");
  }
  worker.stop.store(true);
  if (WaitForSingleObject(thread, kPatience) != WAIT_OBJECT_0) return 62;
  CloseHandle(thread);
  RegCloseKey(worker.key);
  return result == 0 && worker.failed.load() ? 62 : result;
}

const ProcessCommand kIds("fork-ids", Ids);
const ProcessCommand kMutex("fork-mutex", Mutex);
const ProcessCommand kMutexAbandon("fork-mutex-abandon", MutexAbandon);
const ProcessCommand kRegistry("fork-registry", Registry);
const ProcessCommand kRegistryTransaction("fork-registry-transaction", RegistryTransaction);
const ProcessCommand kEvent("fork-event", Event);
const ProcessCommand kBusy("fork-busy", Busy);

}  // namespace

#endif  // !_WIN32
