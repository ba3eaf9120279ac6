// Threads: _beginthreadex, _endthreadex, GetExitCodeThread, thread
// priorities, GetCurrentThread; and GetSystemInfo. TQThreadExists and
// TQIsSingleThreaded.
//
// A thread is a detached POSIX thread that holds a reference to its handle's
// object, so closing the handle never disturbs the thread. When the start
// routine returns (or calls _endthreadex) the exit code is stored and the
// object's futex word goes from 0 to 1, which wakes every wait on the
// handle.
//
// Priorities map to nice values relative to the process's own (IDLE +19,
// LOWEST +10, BELOW_NORMAL +5, NORMAL 0, ABOVE_NORMAL -5, HIGHEST -10,
// TIME_CRITICAL -20, clamped to -20..19). Raising a thread above the
// process's nice value needs a privilege the process may lack; then the
// thread keeps its nice value, the level is still recorded and reported by
// GetThreadPriority, and the call succeeds, as the scheduling of an
// unprivileged process is best effort anyway.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define TQRTL_HAVE_SINGLE_THREADED 1
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

// <fcntl.h> names a flock mode LOCK_WRITE; win32.h gives the name its IStream
// meaning, which is the one the layer uses.
#undef LOCK_WRITE
#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/handles.h"
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {
namespace {

class ThreadObject : public HandleObject, public Waitable {
 public:
  ThreadObject(unsigned(WINAPI* start)(void*), void* argument)
      : HandleObject(HandleKind::kThread), start_(start), argument_(argument) {}

  Waitable* AsWaitable() override { return this; }
  std::atomic<std::uint32_t>* Word() override { return &done_; }
  bool TryAcquire(const WaitTicket&) override { return IsSignaled(); }
  bool IsSignaled() override { return done_.load(std::memory_order_acquire) != 0; }

  // Run: the body of the new thread.
  void Run(std::shared_ptr<ThreadObject> self);

  void Finish(unsigned code) {
    exit_code_.store(code, std::memory_order_relaxed);
    done_.store(1, std::memory_order_release);
    FutexWakeAll(&done_);
  }

  DWORD ExitCode() {
    return IsSignaled() ? exit_code_.load(std::memory_order_relaxed)
                        : static_cast<DWORD>(STILL_ACTIVE);
  }

  // The new thread's system-wide id: 0 until the thread has started.
  std::atomic<std::uint32_t> tid{0};
  std::atomic<int> priority{THREAD_PRIORITY_NORMAL};

 private:
  unsigned(WINAPI* const start_)(void*);
  void* const argument_;
  std::atomic<std::uint32_t> done_{0};
  std::atomic<unsigned> exit_code_{0};
};

// The object of the calling thread when it was started by _beginthreadex.
thread_local ThreadObject* t_current = nullptr;

// Marks the thread finished however it leaves Run: by returning, or by
// _endthreadex (whose pthread_exit unwinds through here).
struct FinishOnExit {
  ThreadObject* thread;
  unsigned code = 0;
  ~FinishOnExit() { thread->Finish(code); }
};
thread_local FinishOnExit* t_finish = nullptr;

void ThreadObject::Run(std::shared_ptr<ThreadObject> self) {
  t_current = this;
  tid.store(GetCurrentThreadId(), std::memory_order_release);
  FutexWakeAll(&tid);
  FinishOnExit finish{this};
  t_finish = &finish;
  finish.code = start_(argument_);
  t_finish = nullptr;
  t_current = nullptr;
  (void)self;  // released after Finish has run, when the frame ends
}

void* ThreadMain(void* raw) {
  std::unique_ptr<std::shared_ptr<ThreadObject>> self(
      static_cast<std::shared_ptr<ThreadObject>*>(raw));
  std::shared_ptr<ThreadObject> thread = std::move(*self);
  self.reset();
  ThreadObject* object = thread.get();
  object->Run(std::move(thread));
  return nullptr;
}

int NiceOffset(int priority) {
  switch (priority) {
    case THREAD_PRIORITY_IDLE:
      return 19;
    case THREAD_PRIORITY_LOWEST:
      return 10;
    case THREAD_PRIORITY_BELOW_NORMAL:
      return 5;
    case THREAD_PRIORITY_NORMAL:
      return 0;
    case THREAD_PRIORITY_ABOVE_NORMAL:
      return -5;
    case THREAD_PRIORITY_HIGHEST:
      return -10;
    case THREAD_PRIORITY_TIME_CRITICAL:
      return -20;
    default:
      return INT_MIN;
  }
}

// The process's nice value when the layer first needed it: the base of every
// thread's priority.
int ProcessNice() {
  static const int nice = [] {
    errno = 0;
    const int value = getpriority(PRIO_PROCESS, 0);
    return errno == 0 ? value : 0;
  }();
  return nice;
}

// The pseudo handle of GetCurrentThread.
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

}  // namespace

// The thread that forked goes on in the child under a new id; its handle
// (the child's copy) must name it, so that SetThreadPriority reaches it.
void ThreadsAfterForkInChild() {
  if (t_current != nullptr) t_current->tid.store(GetCurrentThreadId(), std::memory_order_release);
}

}  // namespace tqrtl::posix

using tqrtl::posix::ThreadObject;

extern "C" {

std::uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned(WINAPI* start)(void*),
                              void* argument, unsigned initFlag, unsigned* threadId) {
  (void)security;
  if (start == nullptr || initFlag != 0) {
    errno = EINVAL;
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto thread = std::make_shared<ThreadObject>(start, argument);
  HANDLE handle = tqrtl::posix::RegisterHandle(thread);
  if (handle == nullptr) {
    errno = EAGAIN;
    return 0;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) {
    size_t size = std::max<size_t>(stackSize, PTHREAD_STACK_MIN);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size = (size + page - 1) / page * page;
    pthread_attr_setstacksize(&attributes, size);
  }
  auto* transfer = new std::shared_ptr<ThreadObject>(thread);
  pthread_t id;
  const int rc = pthread_create(&id, &attributes, tqrtl::posix::ThreadMain, transfer);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    delete transfer;
    CloseHandle(handle);
    errno = rc;
    SetLastError(tqrtl::posix::Win32ErrorFromErrno(rc));
    return 0;
  }
  // Wait until the thread has published its id, so the caller has it now.
  std::uint32_t tid;
  while ((tid = thread->tid.load(std::memory_order_acquire)) == 0)
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&thread->tid), FUTEX_WAIT, 0, nullptr,
            nullptr, 0);
  if (threadId != nullptr) *threadId = tid;
  return reinterpret_cast<uintptr_t>(handle);
}

void _endthreadex(unsigned exitCode) {
  if (tqrtl::posix::t_finish != nullptr) tqrtl::posix::t_finish->code = exitCode;
  pthread_exit(nullptr);
}

HANDLE WINAPI GetCurrentThread(void) { return tqrtl::posix::kCurrentThread; }

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  if (thread == tqrtl::posix::kCurrentThread) {
    if (exitCode != nullptr) *exitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto object = tqrtl::posix::LookupHandle<ThreadObject>(thread, tqrtl::posix::HandleKind::kThread);
  if (!object) return FALSE;
  if (exitCode == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *exitCode = object->ExitCode();
  return TRUE;
}

BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
  const int offset = tqrtl::posix::NiceOffset(priority);
  std::shared_ptr<ThreadObject> held;
  ThreadObject* object;  // null: the current thread, not started by _beginthreadex
  std::uint32_t tid;
  if (thread == tqrtl::posix::kCurrentThread) {
    object = tqrtl::posix::t_current;
    tid = GetCurrentThreadId();
  } else {
    held = tqrtl::posix::LookupHandle<ThreadObject>(thread, tqrtl::posix::HandleKind::kThread);
    if (!held) return FALSE;
    object = held.get();
    tid = object->tid.load(std::memory_order_acquire);
  }
  if (offset == INT_MIN) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int nice = std::clamp(tqrtl::posix::ProcessNice() + offset, -20, 19);
  if (object == nullptr || !object->IsSignaled()) {
    // EPERM/EACCES: not allowed to raise it; ESRCH: the thread just ended.
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
  }
  if (object != nullptr) object->priority.store(priority, std::memory_order_relaxed);
  return TRUE;
}

int WINAPI GetThreadPriority(HANDLE thread) {
  if (thread == tqrtl::posix::kCurrentThread) {
    if (tqrtl::posix::t_current != nullptr)
      return tqrtl::posix::t_current->priority.load(std::memory_order_relaxed);
    return THREAD_PRIORITY_NORMAL;
  }
  auto object = tqrtl::posix::LookupHandle<ThreadObject>(thread, tqrtl::posix::HandleKind::kThread);
  if (!object) return THREAD_PRIORITY_ERROR_RETURN;
  return object->priority.load(std::memory_order_relaxed);
}

void WINAPI GetSystemInfo(LPSYSTEM_INFO info) {
  const long page = sysconf(_SC_PAGESIZE);
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  *info = SYSTEM_INFO{};
#if defined(__x86_64__)
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
#elif defined(__i386__)
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
#else
  info->wProcessorArchitecture = 0xFFFF;  // PROCESSOR_ARCHITECTURE_UNKNOWN
#endif
  info->dwPageSize = static_cast<DWORD>(page > 0 ? page : 4096);
  info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0x10000));
  info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(
      static_cast<uintptr_t>(sizeof(void*) == 8 ? 0x7FFFFFFEFFFFull : 0x7FFEFFFFull));
  const DWORD count = static_cast<DWORD>(processors > 0 ? processors : 1);
  info->dwNumberOfProcessors = count;
  info->dwActiveProcessorMask =
      count >= sizeof(DWORD_PTR) * 8 ? ~DWORD_PTR{0} : (DWORD_PTR{1} << count) - 1;
  info->dwProcessorType = sizeof(void*) == 8 ? 8664 : 586;  // PROCESSOR_AMD_X8664 / INTEL_PENTIUM
  // Views of file mappings start on multiples of this, as on Windows.
  info->dwAllocationGranularity = std::max<DWORD>(65536, info->dwPageSize);
}

}  // extern "C"

// A thread exists while /proc/<id> shows it in a state other than zombie or
// dead. /proc finds threads of every process by their id, listed or not.
BOOL TQThreadExists(DWORD threadId) {
  if (threadId == 0) return FALSE;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/stat", threadId);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FALSE;
  char text[512];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return FALSE;
  text[n] = '\0';
  // "pid (comm) S ...": the name may hold anything, so look after its last ')'.
  const char* end = std::strrchr(text, ')');
  if (end == nullptr || end[1] != ' ') return FALSE;
  const char state = end[2];
  return state != 'Z' && state != 'X' && state != 'x' ? TRUE : FALSE;
}

// The C library clears its flag when the process starts its second thread and
// never sets it again; the C++ library reads the same flag for its shared
// pointers' counts. Without the flag (a C library older than that) the
// answer is always "maybe several".
#if defined(TQRTL_HAVE_SINGLE_THREADED)
constinit const char* const TQSingleThreadedFlag = &__libc_single_threaded;
#else
namespace {
constexpr char kMaybeSeveralThreads = 0;
}  // namespace
constinit const char* const TQSingleThreadedFlag = &kMaybeSeveralThreads;
#endif
