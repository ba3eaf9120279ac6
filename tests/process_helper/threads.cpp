// Sub-commands that need a process of their own because they watch it go
// from one thread to several: the single-threaded flag, and strings whose
// counts were changed without locks before the first thread started.
#include <cstring>
#include <thread>
#include <vector>

#include "process_helper.h"
#include "tqrtl/strings/TQString.h"

namespace {

// single-threaded-flag: the process is single-threaded at the start, and no
// longer once a thread has been started, also after that thread ended.
// Exit 0; 2 when it was not single-threaded at the start, 3 when the flag
// stayed set while the thread ran, 4 when it came back after the thread.
int SingleThreadedFlag(int, char**) {
  if (!TQIsSingleThreaded()) return 2;
  BOOL while_running = TRUE;
  std::thread thread([&while_running] { while_running = TQIsSingleThreaded(); });
  thread.join();
  if (while_running) return 3;
  return TQIsSingleThreaded() ? 4 : 0;
}
const ProcessCommand kSingleThreadedFlag("single-threaded-flag", SingleThreadedFlag);

class CountedString : public TQString {
 public:
  using TQString::TQString;
  LONG Refs() const { return GetData()->refs; }
};

// string-copies-on-new-threads: a string and copies of it made while the
// process has one thread, then copied, assigned, changed and dropped by
// threads started afterwards, all at once. Exit 0 when the count comes back
// to what the first thread holds and every copy kept its text; 2 for a wrong
// count, 3 for a wrong text.
int StringCopiesOnNewThreads(int, char**) {
  const CountedString text("made before any thread");
  const TQString early[3] = {text, text, text};
  if (text.Refs() != 4) return 2;
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        TQString copy(early[(i + t) % 3]);
        TQString assigned;
        assigned = text;
        if (i % 64 == t) assigned.SetAt(0, 'M');
        if (std::strcmp(copy, "made before any thread") != 0) ++wrong[t];
        if (assigned[1] != 'a') ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int count : wrong)
    if (count != 0) return 3;
  return text.Refs() == 4 ? 0 : 2;
}
const ProcessCommand kStringCopies("string-copies-on-new-threads", StringCopiesOnNewThreads);

}  // namespace
