// The synchronisation benchmark: the light-weight mutex, the shared heap
// and string copies against their references, in one run, each ratio
// printed beside its target at the end:
//
//   - uncontended: a TQLiteMutex Enter/Leave pair against a std::mutex
//     lock/unlock pair (at most 1.0 times), by CPU time;
//   - hand-off between two processes: a TQLiteMutex that two processes
//     enter and leave in turn (A leaves, B enters, B leaves, A enters ...)
//     against a raw futex ping-pong between the same two processes (at most
//     2.0 times), by wall-clock time. One iteration is two hand-offs on
//     either side: to the other process and back. Both sides run with the
//     two processes' working threads on one CPU (see Pinning);
//   - SharedMemoryMgr Alloc+Free of 64 bytes against malloc+free (at most
//     4.0 times), by CPU time, beside the same without the lock and four
//     interlocked instructions alone (what two lock round trips cost);
//   - TQString copy+destroy of 40 and 1,024 characters against std::string
//     (at most 1.25 and 0.25 times), by CPU time: first while the process
//     has only its own thread, where TQString counts its sharers without
//     locked instructions, then with a second thread alive as in every real
//     tool (a process never goes back to the shortcut once it has had a
//     thread). Both figures are printed; the targets stand for the second.
//
// Apart from those first copies, a second thread lives through the whole
// run: in a process with a single thread the C library locks std::mutex
// without atomic instructions, a shortcut that no program that needs a
// mutex ever takes. A watchdog thread in each process watches the other
// one, so that neither side can hang when the other dies.
//
// The other process is this program started again with a hidden switch
// (kChildSwitch). It serves one session per benchmark run, as the control
// block in a named mapping asks, and ends by itself when told to or when its
// parent is gone; everything it opened it closes, so no name is left behind.
//
// Each pair runs in several rounds, reference first, and the ratio is of the
// best time of each side: on a shared machine a neighbour's burst slows single
// runs, and rounds spread over the run give both sides the same chances.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "best_time_reporter.h"
#include "sync/pairs.h"
#include "tqrtl/core/TQLiteMutex.h"

#if defined(__linux__)
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char** environ;
#define TQRTL_BENCH_HANDOFF 1
#endif

namespace {

constexpr int kRounds = 5;
constexpr double kUncontendedTarget = 1.0;
constexpr double kHandoffTarget = 2.0;
constexpr double kSharedHeapTarget = 4.0;

// The ratio a copy must stay within, with a second thread alive.
double CopyTarget(std::int64_t size) { return size == 40 ? 1.25 : 0.25; }

std::string UniqueName(const char* stem) {
  static int serial = 0;
  return std::string("tqrtl_bench_") + stem + "_" + std::to_string(GetCurrentProcessId()) + "_" +
         std::to_string(serial++);
}

void LiteMutexUncontended(benchmark::State& state) {
  TQLiteMutex mutex(UniqueName("uncontended").c_str());
  if (!mutex.IsValid()) {
    state.SkipWithError("the mutex could not be made");
    return;
  }
  for (auto _ : state) {
    mutex.Enter(true);
    mutex.Leave();
  }
}

void StdMutexUncontended(benchmark::State& state) {
  std::mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
}

#if defined(TQRTL_BENCH_HANDOFF)

constexpr char kChildSwitch[] = "--tqrtl-handoff-child";

// The control block, at the start of a named mapping both processes map.
// Every word is a futex word or read beside one.
struct Control {
  std::atomic<std::uint32_t> request;  // the parent's session number, raised per session
  std::atomic<std::uint32_t> kind;     // what the session is (Kind)
  std::atomic<std::uint64_t> iterations;
  std::atomic<std::uint32_t> ready;  // the child's: the session it has begun
  std::atomic<std::uint32_t> done;   // the child's: the session it has ended
  std::atomic<std::uint32_t> ball;   // the ping-pong word: 1 the child's turn, 0 the parent's
  std::atomic<std::int32_t> cpu;     // the CPU the session runs on, -1 for anywhere
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

enum Kind : std::uint32_t { kQuit = 0, kPingPong = 1, kLiteMutex = 2 };
// Stored into the ball by a watchdog whose peer is gone: ends either loop.
constexpr std::uint32_t kStop = 3;

long Futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value,
           const timespec* timeout = nullptr) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr, 0);
}
void Wake(std::atomic<std::uint32_t>* word) { Futex(word, FUTEX_WAKE, 1); }

// Pinning. A hand-off costs a wake-up and a switch between the two
// processes; whether that happens on one CPU or between two changes it by
// several times on a small or virtual machine (an interrupt to the other
// CPU, its way out of idle, the scheduler's choice of where the woken
// process runs), and that choice differed between rounds, so single runs
// disagreed by more than the difference between the two sides. Every
// session therefore runs with the parent's measuring thread and the child's
// serving thread on the CPU the parent was on when the session began, the
// reference as well as the mutex; everything else (the watchdogs, the rest
// of the run) keeps the affinity it had.
class PinnedTo {
 public:
  // Pins the calling thread to `cpu` (nothing for a negative one, or when
  // the system refuses); the destructor gives the thread its old affinity.
  explicit PinnedTo(int cpu) {
    if (cpu < 0 || cpu >= CPU_SETSIZE || sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pinned_ = sched_setaffinity(0, sizeof one, &one) == 0;
  }
  ~PinnedTo() {
    if (pinned_) sched_setaffinity(0, sizeof saved_, &saved_);
  }
  PinnedTo(const PinnedTo&) = delete;
  PinnedTo& operator=(const PinnedTo&) = delete;

  bool pinned() const { return pinned_; }

 private:
  cpu_set_t saved_{};
  bool pinned_ = false;
};

// Waits until `word` holds `value` or `gone` is set; false when `gone`.
bool WaitForValue(std::atomic<std::uint32_t>* word, std::uint32_t value,
                  const std::atomic<bool>& gone) {
  const timespec slice{0, 50 * 1000 * 1000};
  for (;;) {
    const std::uint32_t now = word->load(std::memory_order_acquire);
    if (now == value) return true;
    if (gone.load()) return false;
    Futex(word, FUTEX_WAIT, now, &slice);
  }
}

// The hand-off goes round three mutexes, so that each process always
// leaves one mutex and then enters another that the other process holds:
// the process that leaves a mutex never asks for it again before the other
// one has it (re-entering at once could take it back before the waiter,
// since an auto-reset event goes to whichever waiter looks first). Step i
// of the parent: leave m[i % 3], enter m[(i + 2) % 3]; step i of the child:
// enter m[i % 3], leave m[(i + 2) % 3]. The parent starts holding m[0] and
// m[1], the child m[2]; each step passes one mutex each way, and every
// Leave finds the other process waiting for it.
constexpr int kHandoffMutexes = 3;

// One run's shared objects, as this process sees them.
struct Shared {
  HANDLE mapping = nullptr;
  Control* control = nullptr;
  TQLiteMutex* mutexes[kHandoffMutexes] = {};

  bool Open(const char* controlName, const char* mutexStem, bool create) {
    mapping = create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          sizeof(Control), controlName)
                     : OpenFileMappingA(FILE_MAP_WRITE, FALSE, controlName);
    if (mapping == nullptr) return false;
    control = static_cast<Control*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    bool valid = control != nullptr;
    for (int i = 0; i < kHandoffMutexes; ++i) {
      mutexes[i] = new TQLiteMutex((std::string(mutexStem) + "_" + std::to_string(i)).c_str());
      valid = valid && mutexes[i]->IsValid();
    }
    return valid;
  }
  void Close() {
    for (TQLiteMutex*& mutex : mutexes) {
      delete mutex;
      mutex = nullptr;
    }
    if (control != nullptr) UnmapViewOfFile(control);
    control = nullptr;
    if (mapping != nullptr) CloseHandle(mapping);
    mapping = nullptr;
  }
  TQLiteMutex& Mutex(std::uint64_t i) const { return *mutexes[i % kHandoffMutexes]; }
};

// Watchdog: once `peerGone()` says so, ends whatever the loops of this
// process wait for (the ball, the mutex) and keeps doing it until stopped,
// in case a loop overwrote the stop mark in the meantime.
class Watchdog {
 public:
  template <typename PeerGone>
  Watchdog(Shared& shared, PeerGone peerGone)
      : thread_([this, &shared, peerGone]() mutable {
          while (!stop_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (!gone_.load() && !peerGone()) continue;
            gone_.store(true);
            shared.control->ball.store(kStop);
            Futex(&shared.control->ball, FUTEX_WAKE, 2);
            Futex(&shared.control->request, FUTEX_WAKE, 2);
            for (TQLiteMutex* mutex : shared.mutexes) mutex->Abandon();
          }
        }) {}
  ~Watchdog() {
    stop_.store(true);
    thread_.join();
  }
  const std::atomic<bool>& gone() const { return gone_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> gone_{false};
  std::thread thread_;
};

// The child's side: serves sessions until told to quit or the parent is gone.
int RunChild(const char* controlName, const char* mutexName, pid_t parent) {
  Shared shared;
  if (!shared.Open(controlName, mutexName, false)) {
    shared.Close();
    return 2;
  }
  Control& c = *shared.control;
  int code = 0;
  {
    Watchdog watchdog(shared, [parent] { return getppid() != parent; });
    std::uint32_t served = c.done.load();
    for (;;) {
      if (!WaitForValue(&c.request, served + 1, watchdog.gone())) {
        code = 3;
        break;
      }
      served += 1;
      const std::uint32_t kind = c.kind.load();
      const std::uint64_t iterations = c.iterations.load();
      if (kind == kQuit) break;
      const PinnedTo pin(c.cpu.load());
      if (kind == kPingPong) {
        c.ready.store(served, std::memory_order_release);
        Wake(&c.ready);
        for (std::uint64_t i = 0; i < iterations; ++i) {
          std::uint32_t ball;
          while ((ball = c.ball.load(std::memory_order_acquire)) == 0) {
            Futex(&c.ball, FUTEX_WAIT, 0);
          }
          if (ball == kStop) break;
          c.ball.store(0, std::memory_order_release);
          Wake(&c.ball);
        }
      } else {
        // Holds m[2] before it says it is ready, so the parent's first
        // Enter of it waits.
        TQLiteMutex& first = shared.Mutex(2);
        if (first.Enter(true) == TQLiteMutex::Acquired) {
          c.ready.store(served, std::memory_order_release);
          Wake(&c.ready);
          std::uint64_t i = 0;
          for (; i < iterations; ++i) {
            if (shared.Mutex(i).Enter(true) != TQLiteMutex::Acquired) break;
            shared.Mutex(i + 2).Leave();
          }
          if (i == iterations) shared.Mutex(i + 2).Leave();
        }
      }
      c.done.store(served, std::memory_order_release);
      Wake(&c.done);
    }
  }
  shared.Close();
  return code;
}

// The parent's side: the child process, its watchdog, and the sessions.
class Peer {
 public:
  bool Start(const char* self) {
    controlName_ = UniqueName("handoff_control");
    const std::string mutexName = UniqueName("handoff_mutex");
    if (!shared_.Open(controlName_.c_str(), mutexName.c_str(), true)) return false;
    const std::string parent = std::to_string(getpid());
    const char* argv[] = {self,           kChildSwitch, controlName_.c_str(), mutexName.c_str(),
                          parent.c_str(), nullptr};
    if (posix_spawn(&child_, "/proc/self/exe", nullptr, nullptr, const_cast<char**>(argv),
                    environ) != 0) {
      child_ = 0;
      return false;
    }
    watchdog_ = new Watchdog(shared_, [this] {
      int status;
      if (waitpid(child_, &status, WNOHANG) != child_) return false;
      reaped_.store(true);
      return true;
    });
    return true;
  }

  // Stop: asks the child to quit and waits for it (killing it after ten
  // seconds), then closes everything.
  void Stop() {
    if (watchdog_ != nullptr) {
      if (!watchdog_->gone().load()) Begin(kQuit, 0);
      for (int i = 0; i < 500 && !watchdog_->gone().load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      delete watchdog_;
      watchdog_ = nullptr;
      if (!reaped_.load()) {
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
      }
    }
    shared_.Close();
  }

  bool Alive() const { return watchdog_ != nullptr && !watchdog_->gone().load(); }
  Control& control() { return *shared_.control; }
  const Shared& shared() const { return shared_; }

  // Begin: starts a session of `iterations` and waits until the child has
  // begun it; false when the child is gone. The child's serving thread runs
  // on `cpu` throughout the session (-1: wherever the system puts it).
  bool Begin(Kind kind, std::uint64_t iterations, int cpu = -1) {
    Control& c = control();
    c.kind.store(kind);
    c.cpu.store(cpu);
    c.iterations.store(iterations);
    session_ = c.request.fetch_add(1) + 1;
    Wake(&c.request);
    return kind == kQuit || WaitForValue(&c.ready, session_, watchdog_->gone());
  }
  // End: waits until the child has ended the session.
  bool End() { return WaitForValue(&control().done, session_, watchdog_->gone()); }

 private:
  Shared shared_;
  std::string controlName_;
  pid_t child_ = 0;
  std::atomic<bool> reaped_{false};
  Watchdog* watchdog_ = nullptr;
  std::uint32_t session_ = 0;
};

Peer* g_peer = nullptr;

// The CPU a session runs on: the one this thread is pinned to, or anywhere
// when it could not be pinned (then neither side is).
int SessionCpu(const PinnedTo& pin) { return pin.pinned() ? sched_getcpu() : -1; }

void HandoffFutex(benchmark::State& state) {
  if (g_peer == nullptr || !g_peer->Alive()) {
    state.SkipWithError("the other process is not running");
    return;
  }
  Control& c = g_peer->control();
  c.ball.store(0);
  const PinnedTo pin(sched_getcpu());
  if (!g_peer->Begin(kPingPong, static_cast<std::uint64_t>(state.max_iterations),
                     SessionCpu(pin))) {
    state.SkipWithError("the other process is gone");
    return;
  }
  bool stopped = false;
  for (auto _ : state) {
    c.ball.store(1, std::memory_order_release);
    Wake(&c.ball);
    std::uint32_t ball;
    while ((ball = c.ball.load(std::memory_order_acquire)) == 1) Futex(&c.ball, FUTEX_WAIT, 1);
    if (ball == kStop) {
      stopped = true;
      break;
    }
  }
  if (!g_peer->End() || stopped) state.SkipWithError("the other process is gone");
}

void HandoffLiteMutex(benchmark::State& state) {
  if (g_peer == nullptr || !g_peer->Alive()) {
    state.SkipWithError("the other process is not running");
    return;
  }
  const Shared& shared = g_peer->shared();
  const PinnedTo pin(sched_getcpu());
  if (shared.Mutex(0).Enter(true) != TQLiteMutex::Acquired) {
    state.SkipWithError("the other process is gone");
    return;
  }
  if (shared.Mutex(1).Enter(true) != TQLiteMutex::Acquired) {
    shared.Mutex(0).Leave();
    state.SkipWithError("the other process is gone");
    return;
  }
  const bool begun =
      g_peer->Begin(kLiteMutex, static_cast<std::uint64_t>(state.max_iterations), SessionCpu(pin));
  std::uint64_t i = 0;
  bool stopped = !begun;
  if (begun) {
    for (auto _ : state) {
      shared.Mutex(i).Leave();
      if (shared.Mutex(i + 2).Enter(true) != TQLiteMutex::Acquired) {
        stopped = true;
        break;
      }
      ++i;
    }
  }
  // The two held now (after a failed Enter the mutexes are abandoned, and
  // Leave does nothing).
  shared.Mutex(i).Leave();
  shared.Mutex(i + 1).Leave();
  if (!g_peer->End() || stopped) state.SkipWithError("the other process is gone");
}

#endif  // TQRTL_BENCH_HANDOFF

class RatioReporter : public BestTimeReporter {
 public:
  void PrintRatios() const {
    std::printf("\nRatios (best time per iteration, ours / reference, same run):\n");
    bool missed = false;
    auto line = [&](const std::string& what, double ratio, double target) {
      if (ratio < 0) return;  // filtered out
      const bool miss = target > 0 && ratio > target;
      missed = missed || miss;
      if (target > 0) {
        std::printf("  %-54s %6.2fx (target <= %.2fx)%s\n", what.c_str(), ratio, target,
                    miss ? "  MISSED" : "");
      } else {
        std::printf("  %-54s %6.2fx\n", what.c_str(), ratio);
      }
    };
    line("TQLiteMutex Enter/Leave / std::mutex (CPU)",
         Ratio("uncontended/TQLiteMutex", "uncontended/std::mutex"), kUncontendedTarget);
    line("TQLiteMutex hand-off / futex ping-pong (wall)",
         RealRatio("handoff/TQLiteMutex/real_time", "handoff/futex/real_time"), kHandoffTarget);
    line("SharedMemoryMgr Alloc+Free 64 / malloc+free",
         Ratio("shared/Alloc+Free/64", "shared/malloc+free/64"), kSharedHeapTarget);
    line("  SafeAlloc+SafeFree (no lock) / malloc+free",
         Ratio("shared/SafeAlloc+SafeFree/64", "shared/malloc+free/64"), 0);
    line("  four interlocked instructions / malloc+free",
         Ratio("shared/interlocked x4", "shared/malloc+free/64"), 0);
    for (std::int64_t size : kCopySizes) {
      const std::string n = std::to_string(size);
      line("TQString copy " + n + " chars / std::string, one thread",
           Ratio("copy/TQString/" + n, "copy/std::string/" + n), 0);
      line("TQString copy " + n + " chars / std::string, two threads",
           Ratio("copy-threaded/TQString/" + n, "copy-threaded/std::string/" + n),
           CopyTarget(size));
      line("  interlocked inc+dec alone / std::string, " + n,
           Ratio("copy-threaded/interlocked-pair", "copy-threaded/std::string/" + n), 0);
    }
    if (missed) std::printf("Some targets were missed.\n");
  }
};

}  // namespace

int main(int argc, char** argv) {
#if defined(TQRTL_BENCH_HANDOFF)
  if (argc == 5 && std::strcmp(argv[1], kChildSwitch) == 0) {
    return RunChild(argv[2], argv[3], static_cast<pid_t>(std::atol(argv[4])));
  }
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;

  // The copies while this is the process's only thread.
  const bool singleThreaded = TQIsSingleThreaded() != FALSE;
  for (int round = 0; round < kRounds; ++round) {
    for (std::int64_t size : kCopySizes) {
      benchmark::RegisterBenchmark("copy/std::string", CopyStdString)->Arg(size);
      benchmark::RegisterBenchmark("copy/TQString", CopyTQString)->Arg(size);
    }
  }
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::ClearRegisteredBenchmarks();

  std::atomic<bool> done{false};
  std::thread idle([&done] {
    while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
#if defined(TQRTL_BENCH_HANDOFF)
  Peer peer;
  if (peer.Start(argv[0])) {
    g_peer = &peer;
  } else {
    std::fprintf(stderr, "the other process could not be started\n");
  }
#endif
  const bool block = MakeSharedBlock();
  if (!block) std::fprintf(stderr, "the shared block could not be made\n");
  for (int round = 0; round < kRounds; ++round) {
    benchmark::RegisterBenchmark("uncontended/std::mutex", StdMutexUncontended);
    benchmark::RegisterBenchmark("uncontended/TQLiteMutex", LiteMutexUncontended);
#if defined(TQRTL_BENCH_HANDOFF)
    benchmark::RegisterBenchmark("handoff/futex", HandoffFutex)->UseRealTime();
    benchmark::RegisterBenchmark("handoff/TQLiteMutex", HandoffLiteMutex)->UseRealTime();
#endif
    if (block) {
      benchmark::RegisterBenchmark("shared/malloc+free/64", Malloc64);
      benchmark::RegisterBenchmark("shared/Alloc+Free/64", SharedAlloc64);
      benchmark::RegisterBenchmark("shared/SafeAlloc+SafeFree/64", SharedSafeAlloc64);
      benchmark::RegisterBenchmark("shared/interlocked x4", FourInterlocked);
    }
    for (std::int64_t size : kCopySizes) {
      benchmark::RegisterBenchmark("copy-threaded/std::string", CopyStdString)->Arg(size);
      benchmark::RegisterBenchmark("copy-threaded/TQString", CopyTQString)->Arg(size);
    }
    benchmark::RegisterBenchmark("copy-threaded/interlocked-pair", InterlockedPair);
  }
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  if (!singleThreaded) {
    std::printf(
        "The process had a second thread from the start: the one-thread figures\n"
        "are threaded ones too.\n");
  }
  benchmark::Shutdown();

  DropSharedBlock();
#if defined(TQRTL_BENCH_HANDOFF)
  g_peer = nullptr;
  peer.Stop();
#endif
  done = true;
  idle.join();
  return block ? 0 : 1;
}
