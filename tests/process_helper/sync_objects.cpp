// Sub-commands for the tests of named events and file mappings: the other
// process that opens, sets, waits on or holds a name. Exit codes: 0 done,
// 2 the name could not be opened, 3 a wait did not end as expected, 4 the
// shared memory did not hold what was expected.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "process_helper.h"
#include "tqrtl/platform/win32.h"

namespace {

void Touch(const char* path) {
  if (FILE* f = std::fopen(path, "w")) std::fclose(f);
}

// event-wait <name> <ready-file>: opens the event, says it is ready, waits
// for it (60 s at most).
int EventWait(int argc, char** argv) {
  if (argc < 3) return 64;
  HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, argv[1]);
  if (event == nullptr) return 2;
  Touch(argv[2]);
  return WaitForSingleObject(event, 60000) == WAIT_OBJECT_0 ? 0 : 3;
}
const ProcessCommand kEventWait("event-wait", EventWait);

// event-set <name>: opens the event and sets it.
int EventSet(int argc, char** argv) {
  if (argc < 2) return 64;
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
  if (event == nullptr) return 2;
  return SetEvent(event) ? 0 : 3;
}
const ProcessCommand kEventSet("event-set", EventSet);

// event-pong <ping> <pong> <rounds>: waits for ping and answers with pong,
// `rounds` times.
int EventPong(int argc, char** argv) {
  if (argc < 4) return 64;
  HANDLE ping = OpenEventA(EVENT_ALL_ACCESS, FALSE, argv[1]);
  HANDLE pong = OpenEventA(EVENT_ALL_ACCESS, FALSE, argv[2]);
  if (ping == nullptr || pong == nullptr) return 2;
  for (int i = std::atoi(argv[3]); i > 0; --i) {
    if (WaitForSingleObject(ping, 30000) != WAIT_OBJECT_0) return 3;
    SetEvent(pong);
  }
  return 0;
}
const ProcessCommand kEventPong("event-pong", EventPong);

// wait-any <event0> <event1> <ready-file>: exits with 10 + the index of the
// event that ended the wait.
int WaitAny(int argc, char** argv) {
  if (argc < 4) return 64;
  HANDLE events[2] = {OpenEventA(EVENT_ALL_ACCESS, FALSE, argv[1]),
                      OpenEventA(EVENT_ALL_ACCESS, FALSE, argv[2])};
  if (events[0] == nullptr || events[1] == nullptr) return 2;
  Touch(argv[3]);
  const DWORD result = WaitForMultipleObjects(2, events, FALSE, 60000);
  return result < 2 ? 10 + static_cast<int>(result) : 3;
}
const ProcessCommand kWaitAny("wait-any", WaitAny);

// mapping-exchange <name> <expected> <reply>: opens the mapping, checks that
// it starts with `expected` and writes `reply` at offset 2048.
int MappingExchange(int argc, char** argv) {
  if (argc < 4) return 64;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, argv[1]);
  if (mapping == nullptr) return 2;
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
  if (view == nullptr) return 2;
  if (std::strcmp(view, argv[2]) != 0) return 4;
  std::strcpy(view + 2048, argv[3]);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  return 0;
}
const ProcessCommand kMappingExchange("mapping-exchange", MappingExchange);

// hold-names <mapping> <event> <ready-file>: creates a 4 KiB mapping holding
// "held" and its thread id at offset 64, and a set manual-reset event; says
// it is ready and sleeps until it is killed.
int HoldNames(int argc, char** argv) {
  if (argc < 4) return 64;
  HANDLE mapping =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, argv[1]);
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, argv[2]);
  if (mapping == nullptr || event == nullptr) return 2;
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
  if (view == nullptr) return 2;
  std::strcpy(view, "held");
  const DWORD id = GetCurrentThreadId();
  std::memcpy(view + 64, &id, sizeof id);
  Touch(argv[3]);
  Sleep(INFINITE);
  return 0;
}
const ProcessCommand kHoldNames("hold-names", HoldNames);

}  // namespace
