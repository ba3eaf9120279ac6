// TQString copies against std::string copies (see pairs.h).
#include <string>

#include "sync/pairs.h"
#include "tqrtl/strings/TQString.h"

namespace {

// Opaque to the optimiser, so every call really copies and destroys.
[[gnu::noinline]] int PassTQString(TQString text) { return text.GetLength(); }
[[gnu::noinline]] std::size_t PassStdString(std::string text) { return text.size(); }

}  // namespace

void CopyTQString(benchmark::State& state) {
  const TQString source(std::string(static_cast<std::size_t>(state.range(0)), 'x').c_str());
  for (auto _ : state) benchmark::DoNotOptimize(PassTQString(source));
}

void CopyStdString(benchmark::State& state) {
  const std::string source(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(PassStdString(source));
}

void InterlockedPair(benchmark::State& state) {
  LONG count = 1;
  for (auto _ : state) {
    InterlockedIncrement(&count);
    InterlockedDecrement(&count);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(count);
}
