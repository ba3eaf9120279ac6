// Allocation in a shared memory block against the process heap (see
// pairs.h).
#include <cstdlib>
#include <string>

#include "sync/pairs.h"
#include "tqrtl/ipc/SharedMemoryMgr.h"

namespace {
SharedMemoryMgr* g_block = nullptr;
}  // namespace

// Some pieces stay allocated throughout, so first fit walks a real list.
bool MakeSharedBlock() {
  const std::string name = "tqrtl_bench_shm_" + std::to_string(GetCurrentProcessId());
  g_block = new SharedMemoryMgr(name.c_str(), 1 << 20, 16);
  if (!g_block->IsValid()) return false;
  for (int i = 0; i < 64; ++i) {
    void* keep = g_block->Alloc(static_cast<unsigned>(16 + i * 8));
    if (i % 2 == 0) g_block->Free(keep);
  }
  return true;
}

void DropSharedBlock() {
  delete g_block;
  g_block = nullptr;
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
