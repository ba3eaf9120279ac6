// Conformance tests of named events and file mappings, within one process
// and across real processes (tqrtl_process_helper, tests/process_helper/
// sync_objects.cpp): the same calls run against Windows (under Wine) and
// against the POSIX layer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "process_support.h"
#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

// Starts the helper with `args` and the path of a "ready" file last, and
// waits until the child has made it. Process ids are reused, so a file of an
// earlier run may be there: it is removed first, or the wait would not wait.
ChildProcess StartWhenReady(std::vector<std::string> args) {
  const std::string ready = ScratchPath("ready");
  std::remove(ready.c_str());
  args.push_back(ready);
  ChildProcess child = StartHelper(args);
  EXPECT_TRUE(child.Started());
  EXPECT_TRUE(WaitForFile(ready, 20000));
  std::remove(ready.c_str());
  return child;
}

DWORD PageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

bool AllZero(const char* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

HANDLE CreateMapping(const std::string& name, DWORD size) {
  return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str());
}

TEST(NamedEventTest, CreateOpensTheLiveEventAndKeepsItsKind) {
  const std::string name = UniqueName("event");
  SetLastError(0xDEAD);
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), 0u);

  // The same name again: the same event, its kind and state unchanged.
  HANDLE second = CreateEventA(nullptr, FALSE, TRUE, name.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_NE(second, first);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(second));
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);  // still manual reset

  HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
  ASSERT_NE(opened, nullptr);
  ASSERT_TRUE(ResetEvent(opened));
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);

  // Names are case-sensitive.
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  SetLastError(0xDEAD);
  HANDLE other = CreateEventA(nullptr, TRUE, TRUE, upper.c_str());
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);

  // Events and mappings share one namespace.
  const std::string mapping_name = UniqueName("clash");
  HANDLE mapping = CreateMapping(mapping_name, 16);
  ASSERT_NE(mapping, nullptr);
  const ErrorCase kClashes[] = {
      RecordError("CreateEventA on a mapping's name",
                  CreateEventA(nullptr, TRUE, FALSE, mapping_name.c_str()) != nullptr),
      RecordError("OpenEventA on a mapping's name",
                  OpenEventA(EVENT_ALL_ACCESS, FALSE, mapping_name.c_str()) != nullptr),
      RecordError("CreateFileMappingA on an event's name", CreateMapping(name, 16) != nullptr),
      RecordError("OpenFileMappingA on an event's name",
                  OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()) != nullptr),
  };
  for (const ErrorCase& c : kClashes) {
    EXPECT_EQ(c.result, 0) << c.what;
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_INVALID_HANDLE)) << c.what;
  }

  // The name goes with its last handle.
  for (HANDLE h : {first, second, opened, other, mapping}) EXPECT_TRUE(CloseHandle(h));
  SetLastError(0);
  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(NamedMappingTest, NamesShareZeroFilledMemoryUntilTheLastHandleCloses) {
  const std::string name = UniqueName("map");
  const DWORD page = PageSize();
  SetLastError(0xDEAD);
  HANDLE first = CreateMapping(name, 16);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  auto* view = static_cast<char*>(MapViewOfFile(first, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(AllZero(view, page)) << "the size is rounded up to a page of zeros";
  std::strcpy(view, "hello");

  // Created again with another size: the same memory, of the first size.
  HANDLE second = CreateMapping(name, 65536);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  auto* again = static_cast<char*>(MapViewOfFile(second, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again, view);
  EXPECT_STREQ(again, "hello");
  again[100] = 'x';
  EXPECT_EQ(view[100], 'x');
  EXPECT_EQ(MapViewOfFile(second, FILE_MAP_READ, 0, 0, 65536), nullptr);

  HANDLE reader = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  ASSERT_NE(reader, nullptr);
  auto* read_view = static_cast<const char*>(MapViewOfFile(reader, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(read_view, nullptr);
  EXPECT_STREQ(read_view, "hello");
  const ErrorCase kFailures[] = {
      RecordError("write view of a read-only handle",
                  MapViewOfFile(reader, FILE_MAP_WRITE, 0, 0, 0) != nullptr),
      RecordError("view at an offset that is not a multiple of 64 KiB",
                  MapViewOfFile(first, FILE_MAP_READ, 0, page, 0) != nullptr),
      RecordError(
          "open a missing name",
          OpenFileMappingA(FILE_MAP_WRITE, FALSE, UniqueName("missing").c_str()) != nullptr),
      RecordError("size 0 without a file", CreateMapping(UniqueName("empty"), 0) != nullptr),
      RecordError("unmap an address in no view", UnmapViewOfFile(&page)),
  };
  const DWORD kErrors[] = {ERROR_ACCESS_DENIED, ERROR_MAPPED_ALIGNMENT, ERROR_FILE_NOT_FOUND,
                           ERROR_INVALID_PARAMETER, ERROR_INVALID_ADDRESS};
  for (size_t i = 0; i < sizeof(kErrors) / sizeof(kErrors[0]); ++i) {
    EXPECT_EQ(kFailures[i].result, 0) << kFailures[i].what;
    EXPECT_EQ(kFailures[i].error, kErrors[i]) << kFailures[i].what;
  }

  // Any address inside a view names the view.
  auto* extra = static_cast<char*>(MapViewOfFile(first, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(extra, nullptr);
  EXPECT_TRUE(UnmapViewOfFile(extra + 100));
  SetLastError(0);
  EXPECT_FALSE(UnmapViewOfFile(extra));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));

  // Every handle closed while views remain: the name is gone, the views
  // keep the old memory, and a new create gets fresh zeroed memory.
  for (HANDLE h : {first, second, reader}) EXPECT_TRUE(CloseHandle(h));
  SetLastError(0);
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_STREQ(again, "hello");
  SetLastError(0xDEAD);
  HANDLE fresh = CreateMapping(name, 16);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  auto* fresh_view = static_cast<char*>(MapViewOfFile(fresh, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_NE(fresh_view, nullptr);
  EXPECT_TRUE(AllZero(fresh_view, page));
  std::strcpy(fresh_view, "new");
  EXPECT_STREQ(view, "hello");

  for (const void* v : {static_cast<const void*>(view), static_cast<const void*>(again),
                        static_cast<const void*>(read_view), static_cast<const void*>(fresh_view)})
    EXPECT_TRUE(UnmapViewOfFile(v));
  EXPECT_TRUE(CloseHandle(fresh));
}

TEST(NamedMappingTest, UnnamedMappingsAreMemoryOfTheirOwn) {
  HANDLE a = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100, nullptr);
  HANDLE b = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100, nullptr);
  ASSERT_TRUE(a != nullptr && b != nullptr);
  auto* a1 = static_cast<char*>(MapViewOfFile(a, FILE_MAP_WRITE, 0, 0, 0));
  auto* a2 = static_cast<char*>(MapViewOfFile(a, FILE_MAP_READ, 0, 0, 100));
  auto* b1 = static_cast<char*>(MapViewOfFile(b, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_TRUE(a1 != nullptr && a2 != nullptr && b1 != nullptr);
  EXPECT_TRUE(AllZero(a1, PageSize()));
  std::strcpy(a1, "only a");
  EXPECT_STREQ(a2, "only a");  // two views of one mapping
  EXPECT_STREQ(b1, "");        // another mapping
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_STREQ(a2, "only a");  // views outlive the handle
  for (void* v : {static_cast<void*>(a1), static_cast<void*>(a2), static_cast<void*>(b1)})
    EXPECT_TRUE(UnmapViewOfFile(v));
  EXPECT_TRUE(CloseHandle(b));
}

TEST(NamedObjectsAcrossProcessesTest, EventsWakeWaitersInOtherProcesses) {
  // A child waits on an event this process sets.
  const std::string waited = UniqueName("waited");
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, waited.c_str());
  ASSERT_NE(event, nullptr);
  ChildProcess waiter = StartWhenReady({"event-wait", waited});
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(waiter.Wait(60000), 0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the child took the auto-reset event";

  // A child sets an event this process created; a missing name fails there.
  const std::string set_by_child = UniqueName("set");
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, set_by_child.c_str());
  ASSERT_NE(manual, nullptr);
  EXPECT_EQ(RunHelper({"event-set", set_by_child}), 0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(RunHelper({"event-set", UniqueName("nobody")}), 2);

  // Many hand-offs back and forth between two processes lose no wake-up.
  const std::string ping_name = UniqueName("ping"), pong_name = UniqueName("pong");
  HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, ping_name.c_str());
  HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, pong_name.c_str());
  ASSERT_TRUE(ping != nullptr && pong != nullptr);
  constexpr int kRounds = 500;
  ChildProcess partner = StartHelper({"event-pong", ping_name, pong_name, std::to_string(kRounds)});
  ASSERT_TRUE(partner.Started());
  int round = 0;
  for (; round < kRounds; ++round) {
    SetEvent(ping);
    if (WaitForSingleObject(pong, 30000) != WAIT_OBJECT_0) break;
  }
  EXPECT_EQ(round, kRounds);
  EXPECT_EQ(partner.Wait(60000), 0);

  // A child's wait-any over two events reports the one set here.
  const std::string a = UniqueName("any0"), b = UniqueName("any1");
  HANDLE any[2] = {CreateEventA(nullptr, TRUE, FALSE, a.c_str()),
                   CreateEventA(nullptr, TRUE, FALSE, b.c_str())};
  ChildProcess any_waiter = StartWhenReady({"wait-any", a, b});
  ASSERT_TRUE(SetEvent(any[1]));
  EXPECT_EQ(any_waiter.Wait(60000), 11);

  for (HANDLE h : {event, manual, ping, pong, any[0], any[1]}) CloseHandle(h);
}

TEST(NamedObjectsAcrossProcessesTest, ProcessesShareMappedMemory) {
  const std::string name = UniqueName("shared");
  HANDLE mapping = CreateMapping(name, 4096);
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  std::strcpy(view, "from parent");
  EXPECT_EQ(RunHelper({"mapping-exchange", name, "from parent", "from child"}), 0);
  EXPECT_STREQ(view + 2048, "from child");
  EXPECT_EQ(RunHelper({"mapping-exchange", name, "something else", "x"}), 4);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_EQ(RunHelper({"mapping-exchange", name, "", ""}), 2) << "the name went with the handle";
}

TEST(NamedObjectsAcrossProcessesTest, AKilledProcessLeavesNoNameBehind) {
  const std::string mapping_name = UniqueName("killed-map"),
                    event_name = UniqueName("killed-event");
  ChildProcess holder = StartWhenReady({"hold-names", mapping_name, event_name});

  // While the holder lives, the names are there, with its data.
  HANDLE seen = OpenFileMappingA(FILE_MAP_READ, FALSE, mapping_name.c_str());
  ASSERT_NE(seen, nullptr) << GetLastError();
  auto* view = static_cast<const char*>(MapViewOfFile(seen, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_STREQ(view, "held");
  DWORD holder_thread = 0;
  std::memcpy(&holder_thread, view + 64, sizeof holder_thread);
  EXPECT_TRUE(TQThreadExists(holder_thread));
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_TRUE(CloseHandle(seen));

  holder.Kill();
  EXPECT_EQ(holder.Wait(20000), ChildProcess::kKilled);
  EXPECT_FALSE(TQThreadExists(holder_thread));

  SetLastError(0);
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, mapping_name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, event_name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // Created anew: fresh zeroed memory, a new unsignalled event.
  SetLastError(0xDEAD);
  HANDLE mapping = CreateMapping(mapping_name, 4096);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  auto* fresh = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(fresh, nullptr);
  EXPECT_TRUE(AllZero(fresh, 4096));
  SetLastError(0xDEAD);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(UnmapViewOfFile(fresh));
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_TRUE(CloseHandle(event));
}

}  // namespace
