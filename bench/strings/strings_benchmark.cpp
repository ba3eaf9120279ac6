// TQString against std::string, in one run: appending, and formatting a
// typical status line with Format against snprintf into a buffer followed
// by a std::string made from it. Prints each pair's ratio (TQString time /
// std::string time) beside its target, where there is one: Format must cost
// about what its plain equivalent does. (Copies of TQString, whose cost is
// the cost of its shared reference count, are measured with the other
// synchronisation pairs in bench/sync.)
//
// Each pair runs in several rounds, std::string first, and the ratio is of
// the best time of each side (CPU time): on a shared machine a neighbour's
// burst slows single runs, and rounds spread over the run give both sides
// the same chances.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "best_time_reporter.h"
#include "tqrtl/strings/TQString.h"

namespace {

constexpr int kAppends = 64;  // pieces per appending run
constexpr int kRounds = 3;

constexpr double kFormatTarget = 1.2;

void AppendTQString(benchmark::State& state) {
  for (auto _ : state) {
    TQString text;
    for (int i = 0; i < kAppends; ++i) text += "piece-8 ";
    benchmark::DoNotOptimize(static_cast<const char*>(text));
  }
}

void AppendStdString(benchmark::State& state) {
  for (auto _ : state) {
    std::string text;
    for (int i = 0; i < kAppends; ++i) text += "piece-8 ";
    benchmark::DoNotOptimize(text.data());
  }
}

constexpr const char* kStatusFormat = "%s: %d of %d (%5.1f%%)";

void FormatTQString(benchmark::State& state) {
  int done = 0;
  for (auto _ : state) {
    TQString text;
    text.Format(kStatusFormat, "Indexing sources", done, 1200, done * 100.0 / 1200);
    benchmark::DoNotOptimize(static_cast<const char*>(text));
    done = (done + 1) % 1200;
  }
}

void FormatStdString(benchmark::State& state) {
  int done = 0;
  for (auto _ : state) {
    char buffer[256];
    std::snprintf(buffer, sizeof(buffer), kStatusFormat, "Indexing sources", done, 1200,
                  done * 100.0 / 1200);
    std::string text(buffer);
    benchmark::DoNotOptimize(text.data());
    done = (done + 1) % 1200;
  }
}

// The same line without its floating-point part: what the engine itself
// costs beside the run-time's conversions.
constexpr const char* kCountFormat = "%s: %d of %d";

void FormatIntsTQString(benchmark::State& state) {
  int done = 0;
  for (auto _ : state) {
    TQString text;
    text.Format(kCountFormat, "Indexing sources", done, 1200);
    benchmark::DoNotOptimize(static_cast<const char*>(text));
    done = (done + 1) % 1200;
  }
}

void FormatIntsStdString(benchmark::State& state) {
  int done = 0;
  for (auto _ : state) {
    char buffer[256];
    std::snprintf(buffer, sizeof(buffer), kCountFormat, "Indexing sources", done, 1200);
    std::string text(buffer);
    benchmark::DoNotOptimize(text.data());
    done = (done + 1) % 1200;
  }
}

// Prints the ratios of the pairs once the runs are done.
class RatioReporter : public BestTimeReporter {
 public:
  void PrintRatios() const {
    std::printf("\nTQString time / std::string time (same work, same run):\n");
    bool missed = false;
    auto line = [&](const std::string& kind, const std::string& suffix, const char* what,
                    double target) {
      const double ratio = Ratio(kind + "/TQString" + suffix, kind + "/std::string" + suffix);
      if (ratio < 0) return;  // filtered out
      const bool miss = target > 0 && ratio > target;
      missed = missed || miss;
      if (target > 0) {
        std::printf("  %-34s %5.2fx (target <= %.2fx)%s\n", what, ratio, target,
                    miss ? "  MISSED" : "");
      } else {
        std::printf("  %-34s %5.2fx\n", what, ratio);
      }
    };
    line("append", "", "append 64 x 8 chars", 0);
    line("format", "", "Format vs snprintf+string", kFormatTarget);
    line("format-ints", "", "  the same without %5.1f", 0);
    if (missed) std::printf("Some targets were missed.\n");
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Each pair runs back to back so that both see the same machine.
  for (int round = 0; round < kRounds; ++round) {
    benchmark::RegisterBenchmark("append/std::string", AppendStdString);
    benchmark::RegisterBenchmark("append/TQString", AppendTQString);
    benchmark::RegisterBenchmark("format/std::string", FormatStdString);
    benchmark::RegisterBenchmark("format/TQString", FormatTQString);
    benchmark::RegisterBenchmark("format-ints/std::string", FormatIntsStdString);
    benchmark::RegisterBenchmark("format-ints/TQString", FormatIntsTQString);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
