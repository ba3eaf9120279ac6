// Sub-commands for the tests of modules of code. Exit codes: 0 done, 2 the
// module did not load, 3 its export was not found.
#include "process_helper.h"
#include "tqrtl/platform/win32.h"

namespace {

// load-library <name> <export>: loads the module and finds the export.
int LoadLibraryCommand(int argc, char** argv) {
  if (argc < 3) return 64;
  const HMODULE module = LoadLibraryA(argv[1]);
  if (module == nullptr) return 2;
  return GetProcAddress(module, argv[2]) != nullptr ? 0 : 3;
}
const ProcessCommand kLoadLibrary("load-library", LoadLibraryCommand);

}  // namespace
