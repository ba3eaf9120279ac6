// The messaging benchmark: one standard message and its reply between two
// processes, through a master endpoint and a slave endpoint, against a raw
// round trip over the same kind of socket between the same two processes.
// Target: the endpoint's round trip at most 1.5 times the raw one.
//
// This process is the master; the other one is this program started again
// with a hidden switch (kChildSwitch), which inherits the master's
// environment variable and attaches as the slave. Each iteration sends one
// standard message from the master to the slave, whose receiver answers a
// dword, and checks the answer. The raw reference writes the same twelve
// bytes (number, wParam, lParam) to an echo thread in the child over a
// socket pair the child inherited and reads four bytes back, each side
// sleeping in read() until its bytes come.
//
// The endpoint's waits look for their answer for a few tens of
// microseconds before they sleep, so that an exchange does not pay for
// waking an idle CPU on each message. A second raw pair waits the same way
// (RawLookingRoundTrip); endpoint / raw-looking is what the endpoint's own
// work costs over the bare socket, and is printed beside the target's ratio.
//
// Built for Windows (under Wine there is no such socket to compare with),
// the program prints the endpoint's round trip in microseconds, to be set
// beside the Linux figure.
//
// Both sides are wall-clock times: the work is mostly waiting for the other
// process. Each pair runs in several rounds, raw first, and the ratio is of
// the best time of each side.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "best_time_reporter.h"
#include "tqrtl/tqrtl.h"

#if !defined(_WIN32)
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#define TQRTL_BENCH_RAW 1
#endif

namespace {

constexpr int kRounds = 5;
constexpr double kTarget = 1.5;
constexpr char kChildSwitch[] = "--tqrtl-messages-child";
constexpr unsigned kTimeoutMs = 10000;

// The messages of the session, all answered by the slave's receiver.
constexpr unsigned kEcho = 0x405;  // answers wParam + 1
constexpr unsigned kQuit = 0x406;  // the slave ends

// The slave's receiver.
class SlaveReceiver : public TQIPC_MessageHandler {
 public:
  std::atomic<bool> quit{false};

 protected:
  bool TQIPC_OnStandardMessage(TQIPC::StandardMsg const& message, TQIPC::Reply* reply) override {
    if (message.message == kEcho) {
      reply->Set(static_cast<unsigned long>(message.wParam + 1));
      return true;
    }
    if (message.message == kQuit) {
      quit.store(true);
      reply->Set(true);
      return true;
    }
    return false;
  }
};

#if defined(TQRTL_BENCH_RAW)
// read(), after looking for data for up to 50 us as the endpoint's waits
// do (when `looking`).
ssize_t ReadAfterLooking(int fd, void* data, std::size_t size, bool looking) {
  if (looking) {
    pollfd p{fd, POLLIN, 0};
    const auto stop = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    while (poll(&p, 1, 0) == 0 && std::chrono::steady_clock::now() < stop) sched_yield();
  }
  return read(fd, data, size);
}

// The raw reference's other end: twelve bytes in, four bytes out, until the
// socket closes.
void EchoLoop(int fd, bool looking) {
  unsigned char request[12];
  for (;;) {
    std::size_t got = 0;
    while (got < sizeof request) {
      const ssize_t n = ReadAfterLooking(fd, request + got, sizeof request - got, looking);
      if (n <= 0) return;
      got += static_cast<std::size_t>(n);
    }
    std::uint32_t answer;
    std::memcpy(&answer, request + 4, 4);
    answer += 1;
    if (write(fd, &answer, sizeof answer) != static_cast<ssize_t>(sizeof answer)) return;
  }
}
#endif

// The child: attaches as the slave and answers until told to quit or the
// master is gone.
int RunChild(const char* name, int rawFd, int lookingFd) {
#if defined(TQRTL_BENCH_RAW)
  std::thread echo, lookingEcho;
  if (rawFd >= 0) echo = std::thread(EchoLoop, rawFd, false);
  if (lookingFd >= 0) lookingEcho = std::thread(EchoLoop, lookingFd, true);
#else
  (void)rawFd;
  (void)lookingFd;
#endif
  int code = 0;
  {
    SlaveReceiver receiver;
    TQIPC_Object slave;
    slave.EventRegister(&receiver);
    if (slave.TQIPC_Start(TQIPC::Slave, name, "bench slave", kTimeoutMs)) {
      while (!receiver.quit.load() && slave.TQIPC_IsConnectionOK()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    } else {
      code = 2;
    }
    slave.TQIPC_Stop();
    slave.EventUnregister(&receiver);
  }
#if defined(TQRTL_BENCH_RAW)
  for (int fd : {rawFd, lookingFd}) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
  if (echo.joinable()) echo.join();
  if (lookingEcho.joinable()) lookingEcho.join();
  for (int fd : {rawFd, lookingFd}) {
    if (fd >= 0) close(fd);
  }
#endif
  return code;
}

// The master's side of the session.
class Session {
 public:
  bool Start(const char* self) {
    name_ = "bench" + std::to_string(GetCurrentProcessId());
    if (!master_.TQIPC_Start(TQIPC::Master, name_.c_str(), "bench master", kTimeoutMs)) {
      std::fprintf(stderr, "the master endpoint could not be started\n");
      return false;
    }
#if defined(TQRTL_BENCH_RAW)
    int childFds[2];
    for (int k = 0; k < 2; ++k) {
      int pair[2];
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
      (k == 0 ? raw_ : looking_) = pair[0];
      childFds[k] = dup(pair[1]);  // without close-on-exec: the child inherits it
      close(pair[1]);
    }
    const std::string fd = std::to_string(childFds[0]);
    const std::string lookingFd = std::to_string(childFds[1]);
    const char* argv[] = {self, kChildSwitch, name_.c_str(), fd.c_str(), lookingFd.c_str(),
                          nullptr};
    const int spawned = posix_spawn(&child_, "/proc/self/exe", nullptr, nullptr,
                                    const_cast<char**>(argv), environ);
    close(childFds[0]);
    close(childFds[1]);
    if (spawned != 0) {
      child_ = 0;
      return false;
    }
#else
    std::string command = std::string("\"") + self + "\" " + kChildSwitch + " " + name_ + " -1 -1";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
      return false;
    }
    CloseHandle(info.hThread);
    child_ = info.hProcess;
#endif
    // Connected once the slave's request made it the master's partner.
    for (int i = 0; i < 1000; ++i) {
      if (master_.TQIPC_IsConnectionOK()) return true;
      if (!ChildRunning()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "the slave did not attach\n");
    return false;
  }

  void Stop() {
    TQIPC::SingleReply reply;
    if (master_.TQIPC_IsConnectionOK()) {
      master_.TQIPC_SendMsg(TQIPC::StandardMsg{kQuit, 0, 0}, &reply);
    }
#if defined(TQRTL_BENCH_RAW)
    for (int* fd : {&raw_, &looking_}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    if (child_ != 0) {
      for (int i = 0; i < 500 && ChildRunning(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (ChildRunning()) {
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
      }
      child_ = 0;
    }
#else
    if (child_ != nullptr) {
      if (WaitForSingleObject(child_, 10000) != WAIT_OBJECT_0) TerminateProcess(child_, 1);
      CloseHandle(child_);
      child_ = nullptr;
    }
#endif
    master_.TQIPC_Stop();
  }

  TQIPC_Object& master() { return master_; }
  int raw(bool looking) const { return looking ? looking_ : raw_; }

 private:
  bool ChildRunning() {
#if defined(TQRTL_BENCH_RAW)
    if (child_ == 0 || reaped_) return false;
    int status;
    if (waitpid(child_, &status, WNOHANG) == child_) reaped_ = true;
    return !reaped_;
#else
    return child_ != nullptr && WaitForSingleObject(child_, 0) == WAIT_TIMEOUT;
#endif
  }

  TQIPC_Object master_;
  std::string name_;
  int raw_ = -1;
  int looking_ = -1;
#if defined(TQRTL_BENCH_RAW)
  pid_t child_ = 0;
  bool reaped_ = false;
#else
  HANDLE child_ = nullptr;
#endif
};

Session* g_session = nullptr;

void EndpointRoundTrip(benchmark::State& state) {
  if (g_session == nullptr) {
    state.SkipWithError("no slave");
    return;
  }
  TQIPC_Object& master = g_session->master();
  unsigned value = 0;
  for (auto _ : state) {
    TQIPC::SingleReply reply;
    if (master.TQIPC_SendMsg(TQIPC::StandardMsg{kEcho, value, 0}, &reply) != TQIPC::OK ||
        reply.DwordVal() != value + 1) {
      state.SkipWithError("the slave did not answer");
      return;
    }
    ++value;
  }
}

#if defined(TQRTL_BENCH_RAW)
void RawExchange(benchmark::State& state, bool looking) {
  const int fd = g_session != nullptr ? g_session->raw(looking) : -1;
  if (fd < 0) {
    state.SkipWithError("no slave");
    return;
  }
  std::uint32_t value = 0;
  for (auto _ : state) {
    unsigned char request[12] = {};
    std::uint32_t number = kEcho;
    std::memcpy(request, &number, 4);
    std::memcpy(request + 4, &value, 4);
    std::uint32_t answer = 0;
    if (write(fd, request, sizeof request) != static_cast<ssize_t>(sizeof request) ||
        ReadAfterLooking(fd, &answer, sizeof answer, looking) !=
            static_cast<ssize_t>(sizeof answer) ||
        answer != value + 1) {
      state.SkipWithError("the echo failed");
      return;
    }
    ++value;
  }
}
void RawRoundTrip(benchmark::State& state) { RawExchange(state, false); }
void RawLookingRoundTrip(benchmark::State& state) { RawExchange(state, true); }
BENCHMARK(RawRoundTrip);
BENCHMARK(RawLookingRoundTrip);
#endif
BENCHMARK(EndpointRoundTrip);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], kChildSwitch) == 0) {
    return RunChild(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

#if !defined(_WIN32)
  // The master publishes its window in the registry too: a private one, so
  // that a benchmark run leaves the user's own registry alone. The child
  // inherits it.
  char scratch[] = "/tmp/tqrtl-messages-bench-XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  setenv("TQRTL_REGISTRY_DIR", scratch, 1);
#endif

  int status = 0;
  {
    Session session;
    if (session.Start(argv[0])) {
      g_session = &session;
      BestTimeReporter reporter;
      for (int round = 0; round < kRounds; ++round) benchmark::RunSpecifiedBenchmarks(&reporter);
      g_session = nullptr;

      std::printf("\nOne standard message and its reply between two processes (best of %d):\n",
                  kRounds);
      const double ours = reporter.RealTime("EndpointRoundTrip");
      if (ours > 0) std::printf("  endpoint round trip %10.1f us\n", ours * 1e6);
#if defined(TQRTL_BENCH_RAW)
      const double raw = reporter.RealTime("RawRoundTrip");
      if (raw > 0) std::printf("  raw socket round trip %8.1f us\n", raw * 1e6);
      const double looking = reporter.RealTime("RawLookingRoundTrip");
      if (looking > 0) std::printf("  raw, looking first    %8.1f us\n", looking * 1e6);
      const double ratio = reporter.RealRatio("EndpointRoundTrip", "RawRoundTrip");
      if (ratio > 0) {
        const bool miss = ratio > kTarget;
        std::printf("  endpoint / raw %15.2fx (target <= %.2fx)%s\n", ratio, kTarget,
                    miss ? "  MISSED" : "");
      }
      const double own = reporter.RealRatio("EndpointRoundTrip", "RawLookingRoundTrip");
      if (own > 0) std::printf("  endpoint / raw looking first %.2fx\n", own);
#endif
      if (ours <= 0) status = 1;
    } else {
      status = 1;
    }
    session.Stop();
  }
  benchmark::Shutdown();
#if !defined(_WIN32)
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
#endif
  return status;
}
