// process_helper.h: sub-commands of tqrtl_process_helper, the program the
// tests start when they need another process.
//
// Each topic adds a file to tests/process_helper/ that registers its
// sub-commands:
//
//   static int HoldMutex(int argc, char** argv) { ...; return 0; }
//   static const ProcessCommand kHold("mutex-hold", HoldMutex);
//
// argv[0] is the sub-command's name; the return value is the exit code.
// The program exits with 64 for an unknown sub-command.
#ifndef TQRTL_TESTS_PROCESS_HELPER_PROCESS_HELPER_H_
#define TQRTL_TESTS_PROCESS_HELPER_PROCESS_HELPER_H_

#include <string>

using ProcessCommandFn = int (*)(int argc, char** argv);

class ProcessCommand {
 public:
  ProcessCommand(const char* name, ProcessCommandFn fn);
  static ProcessCommandFn Find(const char* name);

 private:
  const char* name_;
  ProcessCommandFn fn_;
  const ProcessCommand* next_;
};

// Writes `text` to `path` through a temporary file renamed over it, so a
// test polling for the file never reads half of it.
void WriteWholeFile(const std::string& path, const std::string& text);

#endif  // TQRTL_TESTS_PROCESS_HELPER_PROCESS_HELPER_H_
