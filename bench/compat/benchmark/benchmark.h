// benchmark/benchmark.h stand-in: the small part of Google Benchmark's
// interface that the benchmarks built without the package use, so that one
// source builds against the real package on Linux and against this header
// in the MinGW cross-build, for which no package exists here.
//
// What it offers: BENCHMARK(function), State with the range-for loop,
// SkipWithError, DoNotOptimize and ClobberMemory, Initialize with the flags
// --benchmark_min_time=<seconds>[s] or <count>x, --benchmark_filter=<text>
// (names that contain the text; not a regular expression, which would cost
// this header most of its compile time) and --benchmark_repetitions=<n>,
// ReportUnrecognizedArguments, RunSpecifiedBenchmarks with a reporter, Shutdown, and
// ConsoleReporter with the Run fields that reporters read. Nothing else (no arguments, ranges,
// threads, fixtures, aggregates or output formats): a benchmark that needs
// more builds only where the package is.
//
// The iteration count grows as Google Benchmark's does, until one run lasts
// the minimum time (0.5 s unless told). Time is wall-clock time, steady
// clock, and is reported as both real and CPU time: under Wine, a registry
// call is served by another process, so the calling process's CPU time
// would leave most of the cost out.
#ifndef TQRTL_BENCH_COMPAT_BENCHMARK_BENCHMARK_H_
#define TQRTL_BENCH_COMPAT_BENCHMARK_BENCHMARK_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace benchmark {

using IterationCount = std::int64_t;

template <class T>
inline void DoNotOptimize(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

template <class T>
inline void DoNotOptimize(T& value) {
  asm volatile("" : "+r,m"(value) : : "memory");
}

inline void ClobberMemory() { asm volatile("" : : : "memory"); }

class State {
 public:
  // What the range-for loop hands out; nothing to use.
  struct __attribute__((unused)) Value {};

  class Iterator {
   public:
    Iterator(State* state, IterationCount left) : state_(state), left_(left) {}
    Value operator*() const { return Value(); }
    Iterator& operator++() {
      --left_;
      return *this;
    }
    bool operator!=(const Iterator&) {
      if (left_ > 0) return true;
      state_->Finish();
      return false;
    }

   private:
    State* state_;
    IterationCount left_;
  };

  explicit State(IterationCount iterations) : max_iterations(iterations) {}

  Iterator begin() {
    start_ = std::chrono::steady_clock::now();
    return Iterator(this, error_ ? 0 : max_iterations);
  }
  Iterator end() { return Iterator(this, 0); }

  void SkipWithError(const char* message) {
    error_ = true;
    message_ = message != nullptr ? message : "";
  }
  bool error_occurred() const { return error_; }
  const std::string& error_message() const { return message_; }
  // The iterations done: all of them once the loop ended, else none.
  IterationCount iterations() const { return finished_ ? max_iterations : 0; }
  bool finished() const { return finished_; }
  double seconds() const { return seconds_; }

  const IterationCount max_iterations;

 private:
  void Finish() {
    if (finished_) return;
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    finished_ = true;
  }

  std::chrono::steady_clock::time_point start_;
  double seconds_ = 0;
  bool finished_ = false;
  bool error_ = false;
  std::string message_;
};

class BenchmarkReporter {
 public:
  struct Context {};

  struct Run {
    enum RunType { RT_Iteration, RT_Aggregate };

    std::string benchmark_name() const { return name; }

    std::string name;
    RunType run_type = RT_Iteration;
    bool error_occurred = false;
    std::string error_message;
    IterationCount iterations = 0;
    double real_accumulated_time = 0;  // seconds, all iterations together
    double cpu_accumulated_time = 0;   // the same wall-clock time (see above)
  };

  virtual ~BenchmarkReporter() = default;
  virtual bool ReportContext(const Context&) { return true; }
  virtual void ReportRuns(const std::vector<Run>& runs) = 0;
  virtual void Finalize() {}
};

class ConsoleReporter : public BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override {
    std::printf("%-40s %15s %12s\n", "Benchmark", "Time", "Iterations");
    std::printf("%s\n", std::string(69, '-').c_str());
    return true;
  }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) {
        std::printf("%-40s ERROR OCCURRED: '%s'\n", run.name.c_str(), run.error_message.c_str());
        continue;
      }
      const double ns = run.iterations > 0
                            ? run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations)
                            : 0;
      std::printf("%-40s %12.1f ns %12s\n", run.name.c_str(), ns,
                  std::to_string(run.iterations).c_str());
    }
    std::fflush(stdout);
  }
};

namespace internal {

using Function = void (*)(State&);

struct Registered {
  std::string name;
  Function function;
};

struct Settings {
  double min_seconds = 0.5;
  IterationCount fixed_iterations = 0;  // --benchmark_min_time=<n>x
  std::string filter;
  int repetitions = 1;
};

inline std::vector<Registered>& Benchmarks() {
  static std::vector<Registered> list;
  return list;
}

inline Settings& Flags() {
  static Settings settings;
  return settings;
}

inline int Register(const char* name, Function function) {
  Benchmarks().push_back(Registered{name, function});
  return 0;
}

// One flag "--name=value": its value, or NULL when `arg` is another one.
inline const char* FlagValue(const char* arg, const char* name) {
  const std::size_t n = std::strlen(name);
  if (std::strncmp(arg, "--", 2) != 0 || std::strncmp(arg + 2, name, n) != 0) return nullptr;
  return arg[2 + n] == '=' ? arg + 3 + n : nullptr;
}

inline BenchmarkReporter::Run Measure(const Registered& benchmark) {
  const Settings& flags = Flags();
  BenchmarkReporter::Run run;
  run.name = benchmark.name;
  IterationCount iterations = flags.fixed_iterations > 0 ? flags.fixed_iterations : 1;
  for (;;) {
    State state(iterations);
    benchmark.function(state);
    if (state.error_occurred() || !state.finished()) {
      run.error_occurred = true;
      run.error_message =
          state.error_occurred() ? state.error_message() : std::string("the loop ended early");
      return run;
    }
    const double seconds = state.seconds();
    if (flags.fixed_iterations > 0 || seconds >= flags.min_seconds || iterations >= 1000000000) {
      run.iterations = iterations;
      run.real_accumulated_time = seconds;
      run.cpu_accumulated_time = seconds;
      return run;
    }
    // Aim past the minimum by 40%, growing at most tenfold while a run is
    // still short enough to be mostly noise.
    double factor = flags.min_seconds * 1.4 / std::max(seconds, 1e-9);
    if (seconds / flags.min_seconds <= 0.1) factor = std::min(factor, 10.0);
    const double next =
        std::max(factor * static_cast<double>(iterations), static_cast<double>(iterations) + 1);
    iterations = static_cast<IterationCount>(std::min(next, 1e9));
  }
}

}  // namespace internal

// Initialize: takes the flags this header knows out of argv.
inline void Initialize(int* argc, char** argv) {
  internal::Settings& flags = internal::Flags();
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    const char* arg = argv[i];
    if (const char* v = internal::FlagValue(arg, "benchmark_min_time")) {
      char* end = nullptr;
      const double number = std::strtod(v, &end);
      if (end != nullptr && *end == 'x') {
        flags.fixed_iterations = std::max<IterationCount>(1, static_cast<IterationCount>(number));
      } else {
        flags.min_seconds = number;
      }
    } else if (const char* f = internal::FlagValue(arg, "benchmark_filter")) {
      flags.filter = f;
    } else if (const char* r = internal::FlagValue(arg, "benchmark_repetitions")) {
      flags.repetitions = std::max(1, std::atoi(r));
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  argv[kept] = nullptr;
}

inline bool ReportUnrecognizedArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::fprintf(stderr, "%s: error: unrecognized command-line flag: %s\n", argv[0], argv[i]);
  }
  return argc > 1;
}

inline std::size_t RunSpecifiedBenchmarks(BenchmarkReporter* reporter) {
  const internal::Settings& flags = internal::Flags();
  std::size_t ran = 0;
  reporter->ReportContext(BenchmarkReporter::Context());
  for (const internal::Registered& benchmark : internal::Benchmarks()) {
    if (benchmark.name.find(flags.filter) == std::string::npos) continue;
    ++ran;
    for (int i = 0; i < flags.repetitions; ++i) {
      const BenchmarkReporter::Run run = internal::Measure(benchmark);
      reporter->ReportRuns({run});
      if (run.error_occurred) break;
    }
  }
  reporter->Finalize();
  return ran;
}

inline void Shutdown() {}

}  // namespace benchmark

#define TQRTL_BENCHMARK_CONCAT2(a, b) a##b
#define TQRTL_BENCHMARK_CONCAT(a, b) TQRTL_BENCHMARK_CONCAT2(a, b)
#define BENCHMARK(function)                                                                   \
  [[maybe_unused]] static const int TQRTL_BENCHMARK_CONCAT(benchmark_registered_, __LINE__) = \
      ::benchmark::internal::Register(#function, function)

#endif  // TQRTL_BENCH_COMPAT_BENCHMARK_BENCHMARK_H_
