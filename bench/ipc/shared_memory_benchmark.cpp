// Allocation in a shared memory block against the process heap: Alloc and
// Free of 64 bytes through SharedMemoryMgr (the block's lock taken and left
// each time) against malloc and free, measured in the same run, with the
// ratio printed at the end beside its target. Also the same pair without the
// lock (SafeAlloc, SafeFree), to show what the lock costs, and four
// interlocked instructions alone: what the two lock round trips of an
// Alloc+Free cannot do without, the least the pair can cost.
//
// A second thread lives through the run, as in every real tool. Each
// benchmark runs in several rounds, malloc first, and each ratio is of the
// best CPU time of each side. The block is detached at the end, so that no
// name is left behind.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "best_time_reporter.h"
#include "tqrtl/ipc/SharedMemoryMgr.h"

namespace {

constexpr double kTarget = 4.0;
constexpr int kRounds = 5;

SharedMemoryMgr* g_block = nullptr;

// Some pieces stay allocated throughout, so first fit walks a real list.
bool MakeBlock() {
  const std::string name = "tqrtl_bench_shm_" + std::to_string(GetCurrentProcessId());
  g_block = new SharedMemoryMgr(name.c_str(), 1 << 20, 16);
  if (!g_block->IsValid()) return false;
  for (int i = 0; i < 64; ++i) {
    void* keep = g_block->Alloc(static_cast<unsigned>(16 + i * 8));
    if (i % 2 == 0) g_block->Free(keep);
  }
  return true;
}

void Malloc64(benchmark::State& state) {
  for (auto _ : state) {
    void* p = std::malloc(64);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}

void SharedAlloc64(benchmark::State& state) {
  const SharedMemoryMgr& mgr = *g_block;
  for (auto _ : state) {
    void* p = mgr.Alloc(64);
    benchmark::DoNotOptimize(p);
    mgr.Free(p);
  }
}

void SharedSafeAlloc64(benchmark::State& state) {
  const SharedMemoryMgr& mgr = *g_block;
  for (auto _ : state) {
    void* p = mgr.SafeAlloc(64);
    benchmark::DoNotOptimize(p);
    mgr.SafeFree(p);
  }
}

void FourInterlocked(benchmark::State& state) {
  LONG word = 0;
  for (auto _ : state) {
    InterlockedIncrement(&word);
    InterlockedDecrement(&word);
    InterlockedIncrement(&word);
    InterlockedDecrement(&word);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(word);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::atomic<bool> done{false};
  std::thread idle([&done] {
    while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  const bool made = MakeBlock();
  if (!made) {
    std::fprintf(stderr, "cannot create the shared block\n");
  } else {
    for (int round = 0; round < kRounds; ++round) {
      benchmark::RegisterBenchmark("malloc+free/64", Malloc64);
      benchmark::RegisterBenchmark("Alloc+Free/64", SharedAlloc64);
      benchmark::RegisterBenchmark("SafeAlloc+SafeFree/64", SharedSafeAlloc64);
      benchmark::RegisterBenchmark("interlocked x4", FourInterlocked);
    }
  }
  BestTimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double locked = reporter.Ratio("Alloc+Free/64", "malloc+free/64");
  const double unlocked = reporter.Ratio("SafeAlloc+SafeFree/64", "malloc+free/64");
  const double floor = reporter.Ratio("interlocked x4", "malloc+free/64");
  std::printf("\nshared block time / malloc+free time (64 bytes, same run):\n");
  if (locked >= 0) {
    std::printf("  Alloc+Free          %5.2fx (target <= %.1fx)%s\n", locked, kTarget,
                locked > kTarget ? "  MISSED" : "");
  }
  if (unlocked >= 0) std::printf("  SafeAlloc+SafeFree  %5.2fx\n", unlocked);
  if (floor >= 0) {
    std::printf("  interlocked x4      %5.2fx (the two lock round trips alone)\n", floor);
  }
  benchmark::Shutdown();
  delete g_block;
  g_block = nullptr;
  done = true;
  idle.join();
  return made ? 0 : 1;
}
