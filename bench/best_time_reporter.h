// best_time_reporter.h: a console reporter that also remembers, for each
// benchmark, its best time per iteration, so a program can print ratios of
// two benchmarks measured in the same run after they are done. The best run
// is the least disturbed one on a shared machine.
#ifndef TQRTL_BENCH_BEST_TIME_REPORTER_H_
#define TQRTL_BENCH_BEST_TIME_REPORTER_H_

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

class BestTimeReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
        continue;
      }
      const double seconds = run.cpu_accumulated_time / static_cast<double>(run.iterations);
      auto [place, added] = best_.emplace(run.benchmark_name(), seconds);
      if (!added) place->second = std::min(place->second, seconds);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Ratio: best time of `ours` over best time of `reference`, or a negative
  // value when either did not run (filtered out).
  double Ratio(const std::string& ours, const std::string& reference) const {
    const auto a = best_.find(ours);
    const auto b = best_.find(reference);
    if (a == best_.end() || b == best_.end() || b->second <= 0) return -1;
    return a->second / b->second;
  }

 private:
  std::map<std::string, double> best_;
};

#endif  // TQRTL_BENCH_BEST_TIME_REPORTER_H_
