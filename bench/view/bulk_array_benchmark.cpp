// bulk_array_benchmark.cpp: BulkArray<T> against a std::vector<T> holding
// the same elements, in the same run: a full pass with the iterator, and
// reads at random indexes. After the runs it prints each BulkArray time as a
// ratio of the vector's time for the same work, beside its target.
//
// Sizes: 4 Ki elements (in the first-level cache), 1 Mi (in the last-level
// cache) and 16 Mi (in main memory).
//
// Every pair runs in several rounds, vector then BulkArray, and each keeps
// its best time: on a shared machine a neighbour's burst or a busy
// last-level cache slows single runs by a third or more, and rounds spread
// over the run give both sides the same chances of a quiet one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "best_time_reporter.h"
#include "tqrtl/view/BulkArray.h"

namespace {

using Element = std::uint32_t;

constexpr std::int64_t kSizes[] = {1 << 12, 1 << 20, 1 << 24};
constexpr int kRandomReads = 1 << 16;  // reads per iteration
constexpr int kRounds = 3;
constexpr double kIterateTarget = 1.5;
constexpr double kRandomTarget = 3.0;

struct Data {
  std::vector<Element> vector;
  BulkArray<Element> bulk;
  std::vector<ULONG> indexes;  // kRandomReads random element numbers
};

// Data: the elements for `count`, built on first use and kept for the run.
Data& DataFor(std::int64_t count) {
  static std::map<std::int64_t, std::unique_ptr<Data>> cache;
  std::unique_ptr<Data>& data = cache[count];
  if (!data) {
    data = std::make_unique<Data>();
    const ULONG n = static_cast<ULONG>(count);
    data->vector.resize(n);
    data->bulk.SetSize(n, 0);
    for (ULONG e = 0; e < n; ++e) {
      const Element value = e * 2654435761u;
      data->vector[e] = value;
      data->bulk[e] = value;
    }
    std::mt19937 random(12345);
    std::uniform_int_distribution<ULONG> pick(0, n - 1);
    data->indexes.resize(kRandomReads);
    for (ULONG& index : data->indexes) index = pick(random);
  }
  return *data;
}

void IterateVector(benchmark::State& state) {
  const Data& data = DataFor(state.range(0));
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (Element value : data.vector) sum += value;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void IterateBulk(benchmark::State& state) {
  Data& data = DataFor(state.range(0));
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (BulkArray<Element>::Iterator it(data.bulk); it.IsValid(); it.MoveNext()) sum += *it;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void RandomVector(benchmark::State& state) {
  const Data& data = DataFor(state.range(0));
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (ULONG index : data.indexes) sum += data.vector[index];
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kRandomReads);
}

void RandomBulk(benchmark::State& state) {
  Data& data = DataFor(state.range(0));
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (ULONG index : data.indexes) sum += data.bulk[index];
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kRandomReads);
}

// Prints the ratios of the pairs once the runs are done.
class RatioReporter : public BestTimeReporter {
 public:
  // PrintRatios: one line per size and kind of work with both runs.
  void PrintRatios() const {
    std::printf("\nBulkArray time / std::vector time (same elements, same run):\n");
    bool missed = false;
    for (const char* kind : {"iterate", "random"}) {
      const double target = std::string(kind) == "iterate" ? kIterateTarget : kRandomTarget;
      for (std::int64_t size : kSizes) {
        const std::string suffix = "/" + std::to_string(size);
        const double ratio =
            Ratio(std::string(kind) + "/bulk" + suffix, std::string(kind) + "/vector" + suffix);
        if (ratio < 0) continue;  // filtered out
        missed = missed || ratio > target;
        std::printf("  %-8s %9lld elements: %5.2fx (target <= %.1fx)%s\n", kind,
                    static_cast<long long>(size), ratio, target, ratio > target ? "  MISSED" : "");
      }
    }
    if (missed) std::printf("Some targets were missed.\n");
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Each pair runs back to back, vector first, so that both see the same
  // state of the machine; the reporter keeps the best of the rounds.
  for (int round = 0; round < kRounds; ++round) {
    for (std::int64_t size : kSizes) {
      benchmark::RegisterBenchmark("iterate/vector", IterateVector)->Arg(size);
      benchmark::RegisterBenchmark("iterate/bulk", IterateBulk)->Arg(size);
    }
    for (std::int64_t size : kSizes) {
      benchmark::RegisterBenchmark("random/vector", RandomVector)->Arg(size);
      benchmark::RegisterBenchmark("random/bulk", RandomBulk)->Arg(size);
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
