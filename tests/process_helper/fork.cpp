// Sub-commands that fork() without exec and check the platform layer in the
// child (POSIX only). This program starts no thread of its own (except in
// fork-from-thread and fork-busy), so each fork copies a single-threaded
// process.
//
//   fork-ids                   the child's thread and process ids
//   fork-from-thread           a thread of _beginthreadex forks; its handle
//                              names the child's thread in the child
//   fork-mutex NAME ROUNDS     parent and child count under one TQLiteMutex
//   fork-mutex-abandon NAME    the forked owner is killed; the parent
//                              abandons and recovers the mutex
//   fork-registry ROUNDS       parent and child write one key after the fork
//   fork-registry-transaction  a child forked inside a transaction
//   fork-event NAME            a named event shared by parent and child
//   fork-busy NAME ROUNDS      forks while another thread works in the
//                              layer (the one command with a second thread)
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

#include <algorithm>
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

// Reaps `child`: 0 when it exited with 0; else prints its status and
// returns 5 (4 when it cannot be waited for).
int Reap(pid_t child, const char* what) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return 4;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
  if (WIFEXITED(status))
    std::fprintf(stderr, "%s: child exited with %d\n", what, WEXITSTATUS(status));
  else
    std::fprintf(stderr, "%s: child ended by signal %d\n", what, WTERMSIG(status));
  return 5;
}

// The child leaves with _exit: the objects it inherited are the parent's to
// clean up, and the parent's buffered output must not be written twice.
[[noreturn]] void ChildExit(int code) {
  std::fflush(stderr);
  _exit(code);
}

// --- fork-ids: 10 thread id, 11 process id, 12 the parent's id came back.
int Ids(int argc, char**) {
  if (argc != 1) return 2;
  const DWORD parentThread = GetCurrentThreadId();  // cached in this thread now
  if (parentThread != Tid()) return 10;
  const pid_t child = fork();
  if (child < 0) return 4;
  if (child == 0) {
    const DWORD id = GetCurrentThreadId();
    if (id != Tid()) ChildExit(10);
    if (GetCurrentProcessId() != static_cast<DWORD>(getpid())) ChildExit(11);
    if (id == parentThread) ChildExit(12);
    ChildExit(0);
  }
  if (const int code = Reap(child, "fork-ids"); code != 0) return code;
  return GetCurrentThreadId() == parentThread ? 0 : 10;
}

// --- fork-from-thread: 13 the thread's handle does not reach the child's
// thread, 14 the parent's thread was changed from the child.
struct Forker {
  std::atomic<HANDLE> self{nullptr};
  std::atomic<int> result{-1};
};

int Nice(DWORD tid) {
  errno = 0;
  const int value = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  return errno == 0 ? value : 1000;
}

unsigned WINAPI ForkFromThread(void* raw) {
  auto* forker = static_cast<Forker*>(raw);
  while (forker->self.load() == nullptr) Sleep(1);
  const DWORD parentThread = GetCurrentThreadId();
  const int parentNice = Nice(parentThread);
  const pid_t child = fork();
  if (child < 0) {
    forker->result.store(4);
    return 0;
  }
  if (child == 0) {
    // The handle is the parent's thread object, copied: it must now name
    // this thread, the only one here.
    const int before = Nice(GetCurrentThreadId());
    if (!SetThreadPriority(forker->self.load(), THREAD_PRIORITY_LOWEST)) ChildExit(13);
    const int after = Nice(GetCurrentThreadId());
    if (after != std::min(before + 10, 19)) ChildExit(13);
    if (GetThreadPriority(GetCurrentThread()) != THREAD_PRIORITY_LOWEST) ChildExit(13);
    ChildExit(0);
  }
  int code = Reap(child, "fork-from-thread");
  if (code == 0 && Nice(parentThread) != parentNice) code = 14;
  forker->result.store(code);
  return 0;
}

int FromThread(int argc, char**) {
  if (argc != 1) return 2;
  Forker forker;
  const auto thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ForkFromThread, &forker, 0, nullptr));
  if (thread == nullptr) return 3;
  forker.self.store(thread);
  if (WaitForSingleObject(thread, kPatience) != WAIT_OBJECT_0) return 4;
  CloseHandle(thread);
  return forker.result.load();
}

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
// the parent's cache, 42 a value is missing or wrong, 43 the integrity check
// failed.
bool SetDword(HKEY key, const std::string& name, DWORD value) {
  return RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value) == ERROR_SUCCESS;
}

LONG GetDword(HKEY key, const std::string& name, DWORD* value) {
  DWORD size = sizeof *value;
  return RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                          &size);
}

int WriteRounds(HKEY key, const char* prefix, long rounds) {
  for (long i = 0; i < rounds; ++i) {
    const std::string name = prefix + std::to_string(i);
    DWORD back = 0;
    if (!SetDword(key, name, static_cast<DWORD>(i))) return 40;
    if (GetDword(key, name, &back) != ERROR_SUCCESS || back != static_cast<DWORD>(i)) return 42;
  }
  return 0;
}

int Registry(int argc, char** argv) {
  if (argc != 2) return 2;
  const long rounds = std::atol(argv[1]);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Fork", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return 3;
  DWORD before = 0;
  if (!SetDword(key, "before", 7) || GetDword(key, "before", &before) != ERROR_SUCCESS ||
      before != 7)
    return 3;
  const pid_t child = fork();
  if (child < 0) return 4;
  if (child == 0) {
    // The inherited HKEY still names the key; the read goes to a connection
    // of the child's own, not to the parent's copy of the cache.
    const std::uint64_t statements = tqrtl::posix::RegistryStatementCount();
    if (GetDword(key, "before", &before) != ERROR_SUCCESS || before != 7) ChildExit(42);
    if (tqrtl::posix::RegistryStatementCount() == statements) ChildExit(41);
    ChildExit(WriteRounds(key, "child", rounds));
  }
  const int mine = WriteRounds(key, "parent", rounds);
  const int reaped = Reap(child, "fork-registry");
  if (mine != 0) return mine;
  if (reaped != 0) return reaped;
  for (const char* prefix : {"parent", "child"}) {
    for (long i = 0; i < rounds; ++i) {
      DWORD value = 0;
      if (GetDword(key, prefix + std::to_string(i), &value) != ERROR_SUCCESS ||
          value != static_cast<DWORD>(i)) {
        std::fprintf(stderr, "fork-registry: %s%ld lost\n", prefix, i);
        return 42;
      }
    }
  }
  DWORD values = 0;
  if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      values != static_cast<DWORD>(2 * rounds + 1))
    return 42;
  RegCloseKey(key);
  std::string report;
  if (tqrtl::posix::RegistryCheckHive(HKEY_CURRENT_USER, &report) != ERROR_SUCCESS) {
    std::fprintf(stderr, "fork-registry: %s\n", report.c_str());
    return 43;
  }
  return 0;
}

// --- fork-registry-transaction: 44 the child reached the hive whose
// transaction it inherited, 45 the other hive failed in the child, 46 the
// parent's transaction did not survive the child, 43 integrity.
int RegistryTransaction(int argc, char**) {
  if (argc != 1) return 2;
  HKEY user = nullptr;
  HKEY machine = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "ForkTx", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user,
                      nullptr) != ERROR_SUCCESS ||
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, "ForkTx", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &machine, nullptr) != ERROR_SUCCESS)
    return 3;
  if (tqrtl::posix::RegistryBeginTransaction(HKEY_CURRENT_USER) != ERROR_SUCCESS) return 3;
  if (!SetDword(user, "inside", 1)) return 40;
  const pid_t child = fork();
  if (child < 0) return 4;
  if (child == 0) {
    DWORD value = 0;
    if (SetDword(user, "child", 2) || GetDword(user, "inside", &value) != ERROR_BUSY) ChildExit(44);
    if (!SetDword(machine, "child", 3) || GetDword(machine, "child", &value) != ERROR_SUCCESS ||
        value != 3)
      ChildExit(45);
    ChildExit(0);
  }
  const int reaped = Reap(child, "fork-registry-transaction");
  if (reaped != 0) return reaped;
  if (!SetDword(user, "after", 4)) return 46;
  if (tqrtl::posix::RegistryCommitTransaction(HKEY_CURRENT_USER) != ERROR_SUCCESS) return 46;
  DWORD inside = 0;
  DWORD after = 0;
  if (GetDword(user, "inside", &inside) != ERROR_SUCCESS || inside != 1 ||
      GetDword(user, "after", &after) != ERROR_SUCCESS || after != 4)
    return 46;
  DWORD stray = 0;
  if (GetDword(user, "child", &stray) != ERROR_FILE_NOT_FOUND) return 44;
  RegCloseKey(user);
  RegCloseKey(machine);
  std::string report;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    if (tqrtl::posix::RegistryCheckHive(root, &report) != ERROR_SUCCESS) {
      std::fprintf(stderr, "fork-registry-transaction: %s\n", report.c_str());
      return 43;
    }
  }
  return 0;
}

// --- fork-event: 50 a wait failed, 51 a name died with one holder left,
// 52 a name outlived its last holder, 53 an inherited handle stopped
// working.
bool NameAlive(const std::string& name) {
  HANDLE probe = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
  if (probe == nullptr) return false;
  CloseHandle(probe);
  return true;
}

bool NameGone(const std::string& name) {
  return OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str()) == nullptr &&
         GetLastError() == ERROR_FILE_NOT_FOUND;
}

int Event(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string name = argv[1];
  const std::string answer = name + "-answer";
  const std::string second = name + "-second";
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  HANDLE reply = CreateEventA(nullptr, FALSE, FALSE, answer.c_str());
  HANDLE other = CreateEventA(nullptr, TRUE, FALSE, second.c_str());
  if (event == nullptr || reply == nullptr || other == nullptr) return 3;
  Pipe released;  // child to parent: it has closed `event`
  Pipe checked;   // parent to child: the name was checked
  Pipe closed;    // parent to child: the parent has closed `other`
  if (!released.Open() || !checked.Open() || !closed.Open()) return 3;
  const pid_t child = fork();
  if (child < 0) return 4;
  if (child == 0) {
    released.KeepWriteEnd();
    checked.KeepReadEnd();
    closed.KeepReadEnd();
    // Signalled by the parent through the inherited handle, answered
    // through another, then given up while the parent keeps its own.
    if (WaitForSingleObject(event, kPatience) != WAIT_OBJECT_0) ChildExit(50);
    if (!SetEvent(reply)) ChildExit(53);
    if (!CloseHandle(event)) ChildExit(53);
    if (!released.Send()) ChildExit(4);
    if (!checked.Receive()) ChildExit(4);
    // The other way round: the parent has closed `other`; the child's
    // inherited handle alone keeps the name, and works.
    if (!closed.Receive()) ChildExit(4);
    if (!NameAlive(second)) ChildExit(51);
    if (!SetEvent(other) || WaitForSingleObject(other, 0) != WAIT_OBJECT_0) ChildExit(53);
    CloseHandle(other);
    if (!NameGone(second)) ChildExit(52);
    CloseHandle(reply);
    ChildExit(0);
  }
  released.KeepReadEnd();
  checked.KeepWriteEnd();
  closed.KeepWriteEnd();
  if (!SetEvent(event)) return 53;
  if (WaitForSingleObject(reply, kPatience) != WAIT_OBJECT_0) return 50;
  if (!released.Receive()) return 4;
  if (!NameAlive(name)) return 51;
  if (!SetEvent(event) || WaitForSingleObject(event, 0) != WAIT_OBJECT_0) return 53;
  checked.Send();
  if (!CloseHandle(other)) return 53;
  closed.Send();
  const int reaped = Reap(child, "fork-event");
  if (reaped != 0) return reaped;
  CloseHandle(event);
  CloseHandle(reply);
  if (!NameGone(name) || !NameGone(answer)) return 52;
  return 0;
}

// --- fork-busy: 60 a child hung (it inherited a lock held by the worker
// thread), 61 a call failed in a child, 62 the worker failed.
struct Worker {
  std::string name;
  HKEY key = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
};

// Works in every part of the layer that keeps a lock until told to stop.
unsigned WINAPI Work(void* raw) {
  auto* worker = static_cast<Worker*>(raw);
  for (DWORD i = 0; !worker->stop.load(); ++i) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, worker->name.c_str());
    void* block = HeapAlloc(GetProcessHeap(), 0, 64);
    // Reads mostly (each holds the registry lock); a write now and then,
    // which would keep the children waiting on the database if each were.
    DWORD value = 0;
    const bool stored = i % 32 == 0 ? SetDword(worker->key, "worker", i)
                                    : GetDword(worker->key, "worker", &value) == ERROR_SUCCESS;
    if (event == nullptr || block == nullptr || !stored) worker->failed.store(true);
    HeapFree(GetProcessHeap(), 0, block);
    if (event != nullptr) CloseHandle(event);
  }
  return 0;
}

// Waits for `child` without hanging: true when it exited with 0; a child
// still running after the patience is killed.
bool ReapInTime(pid_t child, int* status) {
  for (DWORD waited = 0; waited < kPatience; waited += 10) {
    const pid_t done = waitpid(child, status, WNOHANG);
    if (done == child) return true;
    if (done < 0) return false;
    Sleep(10);
  }
  kill(child, SIGKILL);
  waitpid(child, status, 0);
  return false;
}

int Busy(int argc, char** argv) {
  if (argc != 3) return 2;
  Worker worker;
  worker.name = argv[1];
  const long rounds = std::atol(argv[2]);
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "ForkBusy", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &worker.key, nullptr) != ERROR_SUCCESS)
    return 3;
  const auto thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Work, &worker, 0, nullptr));
  if (thread == nullptr) return 3;
  int result = 0;
  for (long round = 0; round < rounds && result == 0; ++round) {
    const pid_t child = fork();
    if (child < 0) {
      result = 4;
      break;
    }
    if (child == 0) {
      // The same calls as the worker: each needs a lock the worker may
      // have held at the fork.
      const std::string mine = worker.name + "-child";
      HANDLE event = CreateEventA(nullptr, TRUE, FALSE, mine.c_str());
      void* block = HeapAlloc(GetProcessHeap(), 0, 64);
      if (event == nullptr || block == nullptr || !CloseHandle(event) ||
          !SetDword(worker.key, "child", static_cast<DWORD>(round)))
        ChildExit(61);
      HeapFree(GetProcessHeap(), 0, block);
      ChildExit(0);
    }
    int status = 0;
    if (!ReapInTime(child, &status)) {
      std::fprintf(stderr, "fork-busy: child %ld hung\n", round);
      result = 60;
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      result = WIFEXITED(status) ? WEXITSTATUS(status) : 5;
    }
  }
  worker.stop.store(true);
  if (WaitForSingleObject(thread, kPatience) != WAIT_OBJECT_0) return 62;
  CloseHandle(thread);
  RegCloseKey(worker.key);
  if (result == 0 && worker.failed.load()) return 62;
  return result;
}

const ProcessCommand kIds("fork-ids", Ids);
const ProcessCommand kFromThread("fork-from-thread", FromThread);
const ProcessCommand kMutex("fork-mutex", Mutex);
const ProcessCommand kMutexAbandon("fork-mutex-abandon", MutexAbandon);
const ProcessCommand kRegistry("fork-registry", Registry);
const ProcessCommand kRegistryTransaction("fork-registry-transaction", RegistryTransaction);
const ProcessCommand kEvent("fork-event", Event);
const ProcessCommand kBusy("fork-busy", Busy);

}  // namespace

#endif  // !_WIN32
