// shutdown_helper: a tool that registers shutdown callbacks and ends, for
// the tests of module start-up and shutdown.
//
//   shutdown_helper exit <file>   register callbacks A and B, then return
//   shutdown_helper kick <file>   the same, then KickShutDown, then return
//
// Each callback appends a line to <file> naming itself and whether the
// library's module handle was still set when it ran (it is cleared when the
// library detaches from the process).
#include <cstdio>
#include <cstring>

#include "tqrtl/tqrtl.h"

namespace {

const char* g_file = nullptr;

void Append(const char* line) {
  FILE* out = std::fopen(g_file, "a");
  if (out == nullptr) return;
  std::fprintf(out, "%s %s\n", line, TQUtil::ModuleHandle() != nullptr ? "attached" : "detached");
  std::fclose(out);
}

void CallbackA() { Append("A"); }
void CallbackB() { Append("B"); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  g_file = argv[2];
  // Any process-unique value serves as a module's key; these two fall into
  // buckets 1 and 2 of the callback map.
  TQUtil::RegisterOnShutDownCallback(reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(0x1000)),
                                     CallbackA);
  TQUtil::RegisterOnShutDownCallback(reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(0x1010)),
                                     CallbackB);
  if (std::strcmp(argv[1], "kick") == 0) {
    TQUtil::KickShutDown();
    Append("kicked");
  }
  return 0;
}
