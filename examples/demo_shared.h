// demo_shared.h: what the demo's master tool, slave tool and plug-in agree
// on: the commands of the master's command table, and one way of printing a
// transcript line.
#ifndef TQRTL_EXAMPLES_DEMO_SHARED_H_
#define TQRTL_EXAMPLES_DEMO_SHARED_H_

#include <cstdarg>
#include <cstdio>

namespace demo {

// Command numbers are the application's to choose. These keep clear of 0-4,
// to which the application shell itself gives a meaning (session states).
enum Command {
  kBuild = 101,            // every handler agrees
  kClean = 102,            // the plug-in in the master refuses to run it
  kReloadWorkspace = 103,  // the master reads the workspace file again
  kStopMaster = 104,       // the master shuts down once the command has run
};

inline char const* CommandName(int command) {
  switch (command) {
    case kBuild: return "build";
    case kClean: return "clean";
    case kReloadWorkspace: return "reload-workspace";
    case kStopMaster: return "stop-master";
    default: return "?";
  }
}

// Prints one line of the transcript, "[who] text", and flushes it at once:
// the master and the slave write to the same terminal (or pipe), and their
// lines must come out in the order they happened. The line is formatted
// whole first, so that the window thread and the main thread of one process
// never mix their lines.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline void Say(char const* who, char const* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::printf("%-10s %s\n", who, text);
  std::fflush(stdout);
}

}  // namespace demo

#endif  // TQRTL_EXAMPLES_DEMO_SHARED_H_
