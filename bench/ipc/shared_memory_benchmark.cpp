// Allocation in a shared memory block against the process heap: Alloc and
// Free of 64 bytes through SharedMemoryMgr (the block's lock taken and left
// each time) against malloc and free, measured in the same run, with the
// ratio printed at the end. Also the same pair without the lock (SafeAlloc,
// SafeFree), to show what the lock costs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "best_time_reporter.h"
#include "tqrtl/ipc/SharedMemoryMgr.h"

namespace {

constexpr double kTarget = 4.0;

// Some pieces stay allocated throughout, so first fit walks a real list.
SharedMemoryMgr& Block() {
  static SharedMemoryMgr* mgr = [] {
    const std::string name = "tqrtl_bench_shm_" + std::to_string(GetCurrentProcessId());
    auto* m = new SharedMemoryMgr(name.c_str(), 1 << 20, 16);
    if (!m->IsValid()) {
      std::fprintf(stderr, "cannot create the shared block\n");
      std::exit(1);
    }
    for (int i = 0; i < 64; ++i) {
      void* keep = m->Alloc(static_cast<unsigned>(16 + i * 8));
      if (i % 2 == 0) m->Free(keep);
    }
    return m;
  }();
  return *mgr;
}

void Malloc64(benchmark::State& state) {
  for (auto _ : state) {
    void* p = std::malloc(64);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}

void SharedAlloc64(benchmark::State& state) {
  SharedMemoryMgr& mgr = Block();
  for (auto _ : state) {
    void* p = mgr.Alloc(64);
    benchmark::DoNotOptimize(p);
    mgr.Free(p);
  }
}

void SharedSafeAlloc64(benchmark::State& state) {
  SharedMemoryMgr& mgr = Block();
  for (auto _ : state) {
    void* p = mgr.SafeAlloc(64);
    benchmark::DoNotOptimize(p);
    mgr.SafeFree(p);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RegisterBenchmark("malloc+free/64", Malloc64);
  benchmark::RegisterBenchmark("Alloc+Free/64", SharedAlloc64);
  benchmark::RegisterBenchmark("SafeAlloc+SafeFree/64", SharedSafeAlloc64);
  BestTimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double locked = reporter.Ratio("Alloc+Free/64", "malloc+free/64");
  const double unlocked = reporter.Ratio("SafeAlloc+SafeFree/64", "malloc+free/64");
  std::printf("\nshared block time / malloc+free time (64 bytes, same run):\n");
  if (locked >= 0) {
    std::printf("  Alloc+Free          %5.2fx (target <= %.1fx)%s\n", locked, kTarget,
                locked > kTarget ? "  MISSED" : "");
  }
  if (unlocked >= 0) std::printf("  SafeAlloc+SafeFree  %5.2fx\n", unlocked);
  benchmark::Shutdown();
  return 0;
}
