// Tests of the POSIX layer's shared atom tables: damaged table files, a
// holder of the lock killed in the middle of an update, processes that make
// the table at the same moment, and fork() while other threads use it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "process_support.h"
#undef LOCK_WRITE  // <fcntl.h>'s flock name; win32.h defines the IStream one
#include "tqrtl/platform/posix/atom_table.h"

namespace {

using tqrtl::posix::AtomTableBytes;
using tqrtl::posix::kMaxAtomSlots;
using tqrtl::posix::SharedAtomTable;

// Where the fields lie in the file (atom_table.h).
constexpr off_t kHighOffset = 16;
constexpr off_t SlotOffset(int index) { return 128 + 260 * index; }

void Put32(int fd, off_t offset, std::uint32_t value) {
  ASSERT_EQ(pwrite(fd, &value, 4, offset), 4);
}

std::uint32_t Get32(const std::string& path, off_t offset) {
  std::uint32_t value = 0;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd >= 0 && pread(fd, &value, 4, offset) != 4) value = 0xFFFFFFFF;
  if (fd >= 0) close(fd);
  return value;
}

// Waits for `child` (20 s at most, then kills it): its wait status.
int Reap(pid_t child) {
  int status = 0;
  for (int i = 0; i < 2000; ++i) {
    if (waitpid(child, &status, WNOHANG) == child) return status;
    usleep(10000);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return status;
}

// A table file of its own in a fresh directory, for each test.
class AtomTableFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = ScratchPath("atoms");
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    path_ = dir_ + "/.atoms";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<SharedAtomTable> Open() { return SharedAtomTable::Open(dir_, ".atoms"); }

  std::string dir_;
  std::string path_;
};

// Whatever a process of the user wrote into the file, opening and using it
// fails with an error code: never a crash, never a read outside the table.
TEST_F(AtomTableFileTest, DamagedTablesFailCleanly) {
  {
    auto table = Open();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->Add("Alpha", 5), 0xC000);
    ASSERT_EQ(table->Add("Beta", 4), 0xC001);
  }
  std::string pristine(AtomTableBytes(kMaxAtomSlots), '\0');
  {
    const int fd = open(path_.c_str(), O_RDONLY);
    ASSERT_EQ(pread(fd, pristine.data(), pristine.size(), 0),
              static_cast<ssize_t>(pristine.size()));
    close(fd);
  }
  const off_t size = static_cast<off_t>(pristine.size());
  const struct {
    const char* what;
    std::function<void(int fd)> damage;
    DWORD open_error;  // 0: it opens, and reading slot 0 fails
    DWORD name_error;  // ... with this
  } kCases[] = {
      {"magic", [](int fd) { Put32(fd, 0, 0x54415155); }, ERROR_FILE_INVALID, 0},
      {"version", [](int fd) { Put32(fd, 4, 2); }, ERROR_FILE_INVALID, 0},
      {"more slots than the file", [](int fd) { Put32(fd, 8, 0x4001); }, ERROR_FILE_INVALID, 0},
      {"fewer slots than the file", [](int fd) { Put32(fd, 8, 16); }, ERROR_FILE_INVALID, 0},
      {"no slots", [](int fd) { Put32(fd, 8, 0); }, ERROR_FILE_INVALID, 0},
      {"slot size", [](int fd) { Put32(fd, 12, 256); }, ERROR_FILE_INVALID, 0},
      {"high past the slots", [](int fd) { Put32(fd, kHighOffset, 0x4001); }, ERROR_FILE_INVALID,
       0},
      {"cut short", [size](int fd) { ASSERT_EQ(ftruncate(fd, size - 260), 0); },
       ERROR_FILE_INVALID, 0},
      {"grown", [size](int fd) { ASSERT_EQ(ftruncate(fd, size + 4096), 0); }, ERROR_FILE_INVALID,
       0},
      {"empty", [](int fd) { ASSERT_EQ(ftruncate(fd, 0), 0); }, ERROR_FILE_INVALID, 0},
      {"others may read it", [](int fd) { ASSERT_EQ(fchmod(fd, 0644), 0); }, ERROR_ACCESS_DENIED,
       0},
      {"a text of length 0", [](int fd) { ASSERT_EQ(pwrite(fd, "\0", 1, SlotOffset(0) + 4), 1); },
       0, ERROR_FILE_INVALID},
      {"a NUL inside a text",
       [](int fd) { ASSERT_EQ(pwrite(fd, "\0", 1, SlotOffset(0) + 5 + 2), 1); }, 0,
       ERROR_FILE_INVALID},
      {"a length past the text",
       [](int fd) { ASSERT_EQ(pwrite(fd, "\xFF", 1, SlotOffset(0) + 4), 1); }, 0,
       ERROR_FILE_INVALID},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    {
      const int fd = open(path_.c_str(), O_RDWR | O_TRUNC);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(fchmod(fd, 0600), 0);
      ASSERT_EQ(pwrite(fd, pristine.data(), pristine.size(), 0), size);
      c.damage(fd);
      close(fd);
    }
    testing::internal::CaptureStderr();  // the refusal of a file others may read
    SetLastError(0);
    auto table = Open();
    testing::internal::GetCapturedStderr();
    if (c.open_error != 0) {
      EXPECT_EQ(table, nullptr);
      EXPECT_EQ(GetLastError(), c.open_error);
      continue;
    }
    ASSERT_NE(table, nullptr);
    char text[255];
    size_t length = 0;
    SetLastError(0);
    EXPECT_FALSE(table->Name(0xC000, text, &length));
    EXPECT_EQ(GetLastError(), c.name_error);
    // The slot is not taken for a new text, nor its text matched.
    SetLastError(0);
    const ATOM atom = table->Add("Gamma", 5);
    EXPECT_TRUE(atom == 0xC002 || (atom == 0 && GetLastError() == c.name_error)) << atom;
  }
}

// A process killed while it holds the lock, half-way through an add, leaves
// the lock to the next process and a table that reads as before the add.
TEST_F(AtomTableFileTest, AHolderKilledInTheMiddleOfAnAddLeavesATableThatReads) {
  auto table = Open();
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->Add("Alpha", 5), 0xC000);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto own = Open();
    if (own == nullptr || own->Lock() != 0) _exit(2);
    // What an add writes before it sets the count, and a `high` that a
    // later delete would have lowered again.
    const int fd = open(path_.c_str(), O_RDWR);
    const std::uint8_t length = 5;
    if (pwrite(fd, &length, 1, SlotOffset(1) + 4) != 1 ||
        pwrite(fd, "Ghost", 5, SlotOffset(1) + 5) != 5)
      _exit(3);
    const std::uint32_t high = 7;
    if (pwrite(fd, &high, 4, kHighOffset) != 4) _exit(3);
    kill(getpid(), SIGKILL);
    _exit(4);
  }
  const int status = Reap(child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
  ASSERT_EQ(WTERMSIG(status), SIGKILL);

  SetLastError(0);
  EXPECT_EQ(table->Find("ghost", 5), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Get32(path_, kHighOffset), 1u) << "recomputed after the holder died";
  EXPECT_EQ(table->Find("ALPHA", 5), 0xC000);
  EXPECT_EQ(table->Add("Gamma", 5), 0xC001) << "the half-written slot is free";
  EXPECT_EQ(Get32(path_, kHighOffset), 2u);
  // The lock works as before, for the other handle too.
  auto other = Open();
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->Find("gamma", 5), 0xC001);
}

// Processes that find no table and make it at the same moment all end up
// in one, which is the only file left in the directory.
TEST_F(AtomTableFileTest, ProcessesMakingTheTableAtOnceShareOne) {
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  constexpr int kChildren = 4;
  pid_t children[kChildren];
  for (pid_t& child : children) {
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(gate[1]);
      char byte;
      if (read(gate[0], &byte, 1) != 0) _exit(5);  // until the parent closes it
      auto table = Open();
      _exit(table == nullptr ? 2 : table->Add("Same", 4) == 0xC000 ? 0 : 3);
    }
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t child : children) {
    const int status = Reap(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  auto table = Open();
  ASSERT_NE(table, nullptr);
  for (int i = 0; i < kChildren; ++i) EXPECT_TRUE(table->Delete(0xC000)) << i;
  SetLastError(0);
  EXPECT_FALSE(table->Delete(0xC000));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    ++files;
    EXPECT_EQ(entry.path().filename(), ".atoms");
  }
  EXPECT_EQ(files, 1);
}

// Children made by fork() while a thread of the parent keeps using the
// table see the parent's atoms and use the table freely: nothing of the
// parent's is left locked in them.
TEST(AtomForkTest, ChildrenUseTheTableWhileAThreadOfTheParentDoes) {
  const std::string parent_name = UniqueName("parent");
  const ATOM parent_atom = GlobalAddAtomA(parent_name.c_str());
  ASSERT_NE(parent_atom, 0);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::thread churn([&] {
    const std::string name = UniqueName("churn");
    while (!stop.load()) {
      const ATOM atom = GlobalAddAtomA(name.c_str());
      if (atom == 0 || GlobalDeleteAtom(atom) != 0) failures.fetch_add(1);
    }
  });
  for (int i = 0; i < 20; ++i) {
    const std::string child_name = UniqueName("child");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      char text[256];
      if (GlobalGetAtomNameA(parent_atom, text, sizeof text) == 0 || parent_name != text)
        _exit(2);
      const ATOM atom = GlobalAddAtomA(child_name.c_str());
      if (atom == 0 || GlobalFindAtomA(child_name.c_str()) != atom) _exit(3);
      _exit(GlobalDeleteAtom(atom) == 0 ? 0 : 4);
    }
    const int status = Reap(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << i << ": " << status;
  }
  stop.store(true);
  churn.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(GlobalDeleteAtom(parent_atom), 0);
}

}  // namespace
