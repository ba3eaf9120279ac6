// Sub-commands for the file tests.
//
// files-hold <path> <share> <ready>: opens <path> for reading with _fsopen
// and the share flag <share> (decimal), creates <ready>, then waits without
// end for the test to kill it. Exit code 1 when the open fails.
#include <cstdio>
#include <cstdlib>

#include "process_helper.h"
#include "tqrtl/platform/win32.h"

static int HoldFile(int argc, char** argv) {
  if (argc != 4) return 2;
  FILE* held = _fsopen(argv[1], "rb", std::atoi(argv[2]));
  if (held == nullptr) return 1;
  FILE* ready = std::fopen(argv[3], "wb");
  if (ready == nullptr) return 3;
  std::fclose(ready);
  for (;;) Sleep(1000);
}
static const ProcessCommand kHold("files-hold", HoldFile);
