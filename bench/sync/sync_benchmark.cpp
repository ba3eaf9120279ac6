// The light-weight mutex against its reference, in one run: an uncontended
// TQLiteMutex Enter/Leave pair against a std::mutex lock/unlock pair
// (target: at most 1.0 times; two interlocked instructions are the whole
// cost). The ratio is of the best wall-clock time per iteration.
// An idle thread lives through the whole run: in a process with a single
// thread the C library locks std::mutex without atomic instructions, a
// shortcut that no program that needs a mutex ever takes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "tqrtl/core/TQLiteMutex.h"

namespace {

std::string MutexName(const char* stem) {
  static int serial = 0;
  return std::string("tqrtl_bench_") + stem + "_" + std::to_string(GetCurrentProcessId()) + "_" +
         std::to_string(serial++);
}

void LiteMutexUncontended(benchmark::State& state) {
  TQLiteMutex mutex(MutexName("uncontended").c_str());
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

BENCHMARK(LiteMutexUncontended);
BENCHMARK(StdMutexUncontended);

// Remembers the best wall-clock time per iteration of each benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
      auto [place, added] = best_.emplace(run.run_name.function_name, seconds);
      if (!added) place->second = std::min(place->second, seconds);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatio(const char* what, const char* ours, const char* reference, double target) const {
    const auto a = best_.find(ours);
    const auto b = best_.find(reference);
    if (a == best_.end() || b == best_.end() || b->second <= 0) return;
    const double ratio = a->second / b->second;
    std::printf("%-52s %8.4f  (target at most %.1f)%s\n", what, ratio, target,
                ratio <= target ? "" : "  ABOVE TARGET");
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  std::atomic<bool> done{false};
  std::thread idle([&done] {
    while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nRatios (best time per iteration, ours / reference):\n");
  reporter.PrintRatio("TQLiteMutex Enter/Leave / std::mutex lock/unlock", "LiteMutexUncontended",
                      "StdMutexUncontended", 1.0);
  benchmark::Shutdown();
  done = true;
  idle.join();
  return 0;
}
