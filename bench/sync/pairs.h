// pairs.h: the measured pairs of the synchronisation benchmark that live
// outside sync_benchmark.cpp, each a Google Benchmark function beside the
// reference it is compared with.
#ifndef TQRTL_BENCH_SYNC_PAIRS_H_
#define TQRTL_BENCH_SYNC_PAIRS_H_

#include <benchmark/benchmark.h>

#include <cstdint>

// TQString copied and destroyed (passed by value) against std::string, for
// a text of state.range(0) characters; InterlockedPair is one interlocked
// increment and decrement, the least a copy of a shared buffer costs once a
// second thread exists.
void CopyTQString(benchmark::State& state);
void CopyStdString(benchmark::State& state);
void InterlockedPair(benchmark::State& state);
inline constexpr std::int64_t kCopySizes[] = {40, 1024};

// Alloc and Free of 64 bytes in a shared block (MakeSharedBlock first; the
// block's lock is taken and left each time) against malloc and free; the
// same without the lock (SafeAlloc, SafeFree); and four interlocked
// instructions, the two lock round trips alone. DropSharedBlock detaches
// the block, so no name is left behind.
bool MakeSharedBlock();
void DropSharedBlock();
void Malloc64(benchmark::State& state);
void SharedAlloc64(benchmark::State& state);
void SharedSafeAlloc64(benchmark::State& state);
void FourInterlocked(benchmark::State& state);

#endif  // TQRTL_BENCH_SYNC_PAIRS_H_
