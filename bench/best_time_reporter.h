// best_time_reporter.h: a console reporter that also remembers, for each
// benchmark, its best time per iteration, so a program can print ratios of
// two benchmarks measured in the same run after they are done. The best run
// is the least disturbed one on a shared machine.
#ifndef TQRTL_BENCH_BEST_TIME_REPORTER_H_
#define TQRTL_BENCH_BEST_TIME_REPORTER_H_

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

class BestTimeReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
        continue;
      }
      const double iterations = static_cast<double>(run.iterations);
      Keep(best_, run.benchmark_name(), run.cpu_accumulated_time / iterations);
      Keep(best_real_, run.benchmark_name(), run.real_accumulated_time / iterations);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Ratio: best time of `ours` over best time of `reference`, or a negative
  // value when either did not run (filtered out).
  double Ratio(const std::string& ours, const std::string& reference) const {
    return RatioIn(best_, ours, reference);
  }
  // RealTime: the best wall-clock seconds per iteration of `name`, or a
  // negative value when it did not run.
  double RealTime(const std::string& name) const {
    const auto found = best_real_.find(name);
    return found == best_real_.end() ? -1 : found->second;
  }
  // RealRatio: the same with wall-clock times, for work that mostly waits
  // (a write that waits for the disk uses little CPU time).
  double RealRatio(const std::string& ours, const std::string& reference) const {
    return RatioIn(best_real_, ours, reference);
  }

 private:
  using Times = std::map<std::string, double>;

  static void Keep(Times& times, const std::string& name, double seconds) {
    auto [place, added] = times.emplace(name, seconds);
    if (!added) place->second = std::min(place->second, seconds);
  }
  static double RatioIn(const Times& times, const std::string& ours, const std::string& reference) {
    const auto a = times.find(ours);
    const auto b = times.find(reference);
    if (a == times.end() || b == times.end() || b->second <= 0) return -1;
    return a->second / b->second;
  }

  Times best_;       // CPU time per iteration
  Times best_real_;  // wall-clock time per iteration
};

#endif  // TQRTL_BENCH_BEST_TIME_REPORTER_H_
