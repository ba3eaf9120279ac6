// Sub-commands for the TQLiteMutex tests.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "process_helper.h"
#include "tqrtl/core/TQLiteMutex.h"

namespace {

bool Touch(const char* path) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

bool Exists(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

// lite-mutex-count <name> <counter file> <rounds> <ready file> <go file>:
// when <go file> appears, adds 1 to the number in <counter file> <rounds>
// times, each time under the mutex entered twice. Exit 0, or 2..5 for a
// failure.
int Count(int argc, char** argv) {
  if (argc != 6) return 2;
  TQLiteMutex mutex(argv[1]);
  if (!mutex.IsValid()) return 3;
  const int rounds = std::atoi(argv[3]);
  if (!Touch(argv[4])) return 2;
  while (!Exists(argv[5])) Sleep(1);
  const DWORD self = GetCurrentThreadId();
  for (int i = 0; i < rounds; ++i) {
    if (mutex.Enter(true) != TQLiteMutex::Acquired) return 4;
    if (mutex.Enter(i % 2 == 0) != TQLiteMutex::Acquired) return 4;
    if (mutex.OwnerThreadId() != self || mutex.RecursionCount() != 2) return 5;
    FILE* f = std::fopen(argv[2], "r+b");
    if (f == nullptr) return 2;
    long value = 0;
    if (std::fscanf(f, "%ld", &value) != 1) return 5;
    std::rewind(f);
    std::fprintf(f, "%ld", value + 1);
    std::fclose(f);
    mutex.Leave();
    mutex.Leave();
  }
  return 0;
}
const ProcessCommand kCount("lite-mutex-count", Count);

// lite-mutex-hold <name> <ready file>: enters the mutex, creates <ready
// file> and sleeps until killed.
int Hold(int argc, char** argv) {
  if (argc != 3) return 2;
  TQLiteMutex mutex(argv[1]);
  if (mutex.Enter(true) != TQLiteMutex::Acquired) return 4;
  if (!Touch(argv[2])) return 2;
  for (;;) Sleep(1000);
}
const ProcessCommand kHold("lite-mutex-hold", Hold);

// lite-mutex-wait <name> <ready file>: creates <ready file>, then waits
// for the mutex. Exit 0 when it was acquired (and left again), 1 when the
// mutex was abandoned, 3 when it could not be opened.
int Wait(int argc, char** argv) {
  if (argc != 3) return 2;
  TQLiteMutex mutex(argv[1]);
  if (!mutex.IsValid()) return 3;
  if (!Touch(argv[2])) return 2;
  const TQLiteMutex::WaitStatus status = mutex.Enter(true);
  if (status == TQLiteMutex::Acquired) mutex.Leave();
  return status == TQLiteMutex::Acquired ? 0 : 1;
}
const ProcessCommand kWait("lite-mutex-wait", Wait);

}  // namespace
