// Tests of the POSIX registry store that only it can have: its files and
// their permissions, broken and unreadable stores, several real processes at
// once (one killed mid-write), answers from memory and transactions. Each
// test has its own scratch store.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "files_test_support.h"
#include "process_support.h"
#undef LOCK_WRITE  // <fcntl.h>'s flock name; win32.h defines the IStream one
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/posix/registry.h"
#include "tqrtl/platform/win32.h"

namespace {

namespace fs = std::filesystem;
using tqrtl::posix::RegistryCheckHive;
using tqrtl::posix::RegistryCloseAll;
using tqrtl::posix::RegistryHivePath;
using tqrtl::posix::RegistryStatementCount;

using files_test::ReadBytes;
using files_test::WriteBytes;

unsigned Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
}

LONG Create(HKEY root, const char* path, HKEY* key) {
  return RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key, nullptr);
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value);
}

// ReadDword: the value at HKCU\path\name as the library reads it (a create
// per level, then the value), or ~0u with the error in *error.
DWORD ReadDword(const char* path, const char* name, LONG* error = nullptr) {
  HKEY key = nullptr;
  LONG r = Create(HKEY_CURRENT_USER, path, &key);
  DWORD value = ~0u, size = sizeof value;
  if (r == ERROR_SUCCESS) {
    r = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
  }
  if (error != nullptr) *error = r;
  return r == ERROR_SUCCESS ? value : ~0u;
}

class RegistryPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = ScratchPath("registry-store");
    dir_ = scratch_ + "/config/registry";
    fs::create_directories(scratch_);
    setenv("TQRTL_REGISTRY_DIR", dir_.c_str(), 1);
    ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegistryCloseAll();
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }
  std::string Hive(HKEY root) { return RegistryHivePath(root); }

  std::string scratch_;
  std::string dir_;
};

TEST_F(RegistryPosixTest, StoreLivesInTheChosenDirectoryAndIsPrivate) {
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Vantor", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, "v", 1), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(Hive(HKEY_CURRENT_USER), dir_ + "/HKEY_CURRENT_USER.sqlite");
  EXPECT_EQ(Mode(dir_), 0700u);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    EXPECT_EQ(Mode(Hive(HKEY_CURRENT_USER) + suffix), 0600u) << suffix;
  }
  EXPECT_EQ(Mode(dir_ + "/changes"), 0600u);
  EXPECT_EQ(Hive(HKEY_CLASSES_ROOT), "");

  // Without the variable: the XDG configuration folder.
  ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);
  unsetenv("TQRTL_REGISTRY_DIR");
  setenv("XDG_CONFIG_HOME", (scratch_ + "/xdg").c_str(), 1);
  EXPECT_EQ(Hive(HKEY_LOCAL_MACHINE), scratch_ + "/xdg/tqrtl/registry/HKEY_LOCAL_MACHINE.sqlite");
  unsetenv("XDG_CONFIG_HOME");
  ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);
  setenv("TQRTL_REGISTRY_DIR", dir_.c_str(), 1);
}

TEST_F(RegistryPosixTest, BrokenStoresFailWithAnErrorCodeAndAreLeftAlone) {
  fs::create_directories(dir_);
  const std::string hive = dir_ + "/HKEY_CURRENT_USER.sqlite";
  const std::string garbage(8192, 'x');

  // Not a database, and someone else's database: refused, not touched.
  WriteBytes(hive, garbage);
  HKEY key = nullptr;
  EXPECT_EQ(Create(HKEY_CURRENT_USER, "A", &key), ERROR_BADDB);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_READ, &key), ERROR_BADDB);
  EXPECT_TRUE(ReadBytes(hive) == garbage);
  fs::remove(hive);
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(hive.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(x); INSERT INTO notes VALUES(42);", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  const std::string foreign = ReadBytes(hive);
  EXPECT_EQ(Create(HKEY_CURRENT_USER, "A", &key), ERROR_BADDB);
  EXPECT_TRUE(ReadBytes(hive) == foreign);

  // A directory where the file belongs.
  fs::remove(hive);
  fs::create_directory(hive);
  EXPECT_NE(Create(HKEY_CURRENT_USER, "A", &key), ERROR_SUCCESS);
  fs::remove(hive);

  // Once the file is put right, the next call works: nothing sticks.
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "A", &key), ERROR_SUCCESS);
  for (int i = 0; i < 300; ++i) {
    HKEY child = nullptr;
    ASSERT_EQ(Create(key, ("child-with-a-longish-name-" + std::to_string(i)).c_str(), &child), 0);
    RegCloseKey(child);
  }
  RegCloseKey(key);

  // Damaged pages behind an intact header: each call fails cleanly.
  ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);  // checkpoints the WAL into the file
  std::string damaged = ReadBytes(hive);
  ASSERT_GT(damaged.size(), 8192u);
  for (size_t i = 4096; i < damaged.size(); ++i) damaged[i] = static_cast<char>(0xA5 ^ i);
  WriteBytes(hive, damaged);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(Create(HKEY_CURRENT_USER, "B", &key), ERROR_BADDB);
  std::string report;
  EXPECT_EQ(RegistryCheckHive(HKEY_CURRENT_USER, &report), ERROR_BADDB);
}

// As root, permissions are tried from a process that has become nobody.
TEST_F(RegistryPosixTest, UnreadableAndReadOnlyStores) {
  HKEY key = nullptr;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    ASSERT_EQ(Create(root, "Software\\Shared", &key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "v", 1), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  const std::string machine = Hive(HKEY_LOCAL_MACHINE);
  if (geteuid() == 0) {
    // The directory is private to its owner: another user can do nothing.
    EXPECT_EQ(RunHelper({"registry-as-user", "65534", "HKCU", "read", "Software\\Shared", "v"}),
              ERROR_ACCESS_DENIED);
    // The machine hive opened up for reading only.
    fs::permissions(scratch_, fs::perms(0755));
    fs::permissions(scratch_ + "/config", fs::perms(0755));
    fs::permissions(dir_, fs::perms(0755));
    for (const char* suffix : {"", "-wal", "-shm"}) {
      fs::permissions(machine + suffix, fs::perms(0644));
    }
    fs::permissions(dir_ + "/changes", fs::perms(0644));
    EXPECT_EQ(RunHelper({"registry-as-user", "65534", "HKLM", "read", "Software\\Shared", "v"}),
              ERROR_SUCCESS);
    EXPECT_EQ(RunHelper({"registry-as-user", "65534", "HKLM", "write", "Software\\Shared", "v"}),
              ERROR_ACCESS_DENIED);
  } else {
    ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);
    fs::permissions(machine, fs::perms(0444));
    DWORD value = 0, size = sizeof value;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, KEY_ALL_ACCESS, &key), 0);
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, "v", 2), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);
    fs::permissions(Hive(HKEY_CURRENT_USER), fs::perms(0));
    EXPECT_EQ(Create(HKEY_CURRENT_USER, "A", &key), ERROR_ACCESS_DENIED);
  }
}

// The fault seam's stat: `g_foreign` is owned by another user.
std::string g_foreign;
int ForeignStat(const char* path, struct stat* st) {
  const int rc = stat(path, st);
  if (rc == 0 && g_foreign == path) st->st_uid = geteuid() + 4242;
  return rc;
}

// The folder and its files must be the user's own and writable by nobody
// else: one that another user owns or may write to would let that user read
// what is stored or plant what is read. Each is refused, with the reason on
// standard error, and works again once put right.
TEST_F(RegistryPosixTest, AFolderOrFileOthersOwnOrMayWriteIsRefused) {
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Plugins", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, "v", 1), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);
  const std::string hive = Hive(HKEY_CURRENT_USER);
  // Each file is checked by a call of its own (SQLite's two files by one).
  const struct {
    std::string path;
    unsigned mode;  // given to the path (created empty when missing)...
    bool foreign;   // ...or the path made another user's (fault seam)
    const char* reason;
  } kCases[] = {
      {dir_, 0770, false, "other users may write"},
      {hive, 0666, false, "other users may write"},
      {hive + "-shm", 0622, false, "other users may write"},
      {dir_ + "/changes", 0666, false, "other users may write"},
      {dir_, 0700, true, "owned by user"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path + (c.foreign ? " foreign" : " mode " + std::to_string(c.mode)));
    const bool made = !fs::exists(c.path);
    if (made) WriteBytes(c.path, "");
    const unsigned old_mode = Mode(c.path);
    ASSERT_EQ(chmod(c.path.c_str(), c.mode), 0);
    g_foreign = c.foreign ? c.path : "";
    tqrtl::posix::SystemCalls calls = tqrtl::posix::Sys();
    calls.stat = ForeignStat;
    tqrtl::posix::SetSystemCalls(calls);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Plugins", 0, KEY_READ, &key),
              ERROR_ACCESS_DENIED);
    const std::string said = testing::internal::GetCapturedStderr();
    tqrtl::posix::ResetSystemCalls();
    EXPECT_NE(said.find(c.path + ": "), std::string::npos) << said;
    EXPECT_NE(said.find(c.reason), std::string::npos) << said;
    ASSERT_EQ(chmod(c.path.c_str(), old_mode), 0);
    if (made) fs::remove(c.path);
    EXPECT_EQ(ReadDword("Software\\Plugins", "v"), 1u) << "put right, it works again";
    ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);
  }
}

// The change counters' file shortened (even emptied) under a running
// process: its calls go on with the right answers, and writes of other
// processes are still seen.
TEST_F(RegistryPosixTest, AShortenedCounterFileIsSurvived) {
  const char* path = "Software\\Counted";
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, path, &key), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, "n", 1), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(ReadDword(path, "n"), 1u);  // warm: answered from memory
  const std::string changes = dir_ + "/changes";
  DWORD expected = 1;
  for (off_t length : {0, 12}) {  // no page left; a page cut inside a counter
    SCOPED_TRACE(length);
    ASSERT_EQ(truncate(changes.c_str(), length), 0);
    EXPECT_EQ(ReadDword(path, "n"), expected);
    ASSERT_EQ(RunHelper({"registry-set-dword", path, "n", std::to_string(++expected)}), 0);
    EXPECT_EQ(ReadDword(path, "n"), expected) << "another process's write";
    ASSERT_EQ(Create(HKEY_CURRENT_USER, path, &key), ERROR_SUCCESS);
    ASSERT_EQ(truncate(changes.c_str(), length), 0);
    EXPECT_EQ(SetDword(key, "n", ++expected), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(ReadDword(path, "n"), expected) << "its own write";
    EXPECT_EQ(RunHelper({"registry-set-dword", path, "n", std::to_string(++expected)}), 0);
    EXPECT_EQ(ReadDword(path, "n"), expected) << "another process's write after a repair";
  }
  EXPECT_GE(fs::file_size(changes), 4096u) << "a writer made the file whole again";

  // The store's guard against SIGBUS takes only faults in its own pages:
  // touching another shortened mapping still ends the process (through the
  // handler that was there before, such as a sanitizer's, or by the signal).
  const std::string other = scratch_ + "/other";
  WriteBytes(other, std::string(8192, 'x'));
  EXPECT_EXIT(
      {
        const int fd = open(other.c_str(), O_RDWR);
        auto* bytes = static_cast<volatile char*>(
            mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (ftruncate(fd, 0) == 0) bytes[4096] = 1;
        _exit(0);
      },
      [](int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); }, "");
}

// Out of descriptors, the store is not "corrupt": the calls say so
// (ERROR_TOO_MANY_OPEN_FILES), and work again when descriptors are free.
TEST_F(RegistryPosixTest, RunningOutOfDescriptorsIsNotADamagedStore) {
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Few", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, "v", 7), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);
  // None free must fail, six must do; in between either answer is right.
  for (int free = 0; free <= 6; ++free) {
    const int code =
        RunHelper({"registry-few-descriptors", std::to_string(free), "Software\\Few", "v"});
    EXPECT_TRUE((code == 0 && free > 0) || (code == ERROR_TOO_MANY_OPEN_FILES && free < 6))
        << free << " free descriptors: exit code " << code;
  }
  std::string report;
  EXPECT_EQ(RegistryCheckHive(HKEY_CURRENT_USER, &report), ERROR_SUCCESS) << report;
  EXPECT_EQ(ReadDword("Software\\Few", "v"), 7u);
}

TEST_F(RegistryPosixTest, RepeatedReadsComeFromMemoryUntilAnotherProcessWrites) {
  const char* path = "Software\\Vantor\\Tools\\Settings";
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, path, &key), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, "Width", 640), ERROR_SUCCESS);
  EXPECT_EQ(ReadDword(path, "Width"), 640u);  // the first read fills the copy

  const std::string hive = Hive(HKEY_CURRENT_USER);
  const std::string db = ReadBytes(hive), wal = ReadBytes(hive + "-wal");
  const std::uint64_t before = RegistryStatementCount();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(ReadDword(path, "Width"), 640u);
  EXPECT_EQ(RegistryStatementCount(), before);
  EXPECT_TRUE(ReadBytes(hive) == db);
  EXPECT_TRUE(ReadBytes(hive + "-wal") == wal);
  // Writing what is there already is not a write either.
  EXPECT_EQ(SetDword(key, "Width", 640), ERROR_SUCCESS);
  EXPECT_EQ(RegistryStatementCount(), before);

  ASSERT_EQ(RunHelper({"registry-set-dword", path, "Width", "800"}), 0);
  EXPECT_EQ(ReadDword(path, "Width"), 800u);
  EXPECT_GT(RegistryStatementCount(), before);
  ASSERT_EQ(RunHelper({"registry-set-dword", path, "Height", "480"}), 0);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 2u);
  RegCloseKey(key);
}

// What the process sees of a key: its values in order (name, type, data),
// its last write time, and the time its parent lists for it.
std::string View(const char* parent, const char* leaf) {
  std::string out;
  HKEY up = nullptr, key = nullptr;
  if (Create(HKEY_CURRENT_USER, parent, &up) != ERROR_SUCCESS ||
      Create(up, leaf, &key) != ERROR_SUCCESS) {
    return "no key";
  }
  for (DWORD i = 0;; ++i) {
    char name[64];
    BYTE data[64];
    DWORD length = sizeof name, size = sizeof data, type = 0;
    if (RegEnumValueA(key, i, name, &length, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    out += std::string(name) + ":" + std::to_string(type) + ":" +
           std::string(reinterpret_cast<char*>(data), size) + ";";
  }
  FILETIME own{}, listed{};
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr, nullptr, &own);
  char name[64];
  DWORD length = sizeof name;
  RegEnumKeyExA(up, 0, name, &length, nullptr, nullptr, nullptr, &listed);
  out += " own " + std::to_string(own.dwLowDateTime) + " listed " +
         std::to_string(listed.dwLowDateTime);
  RegCloseKey(key);
  RegCloseKey(up);
  return out;
}

TEST_F(RegistryPosixTest, OwnWritesUpdateTheCopyInMemory) {
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Own", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, "First", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, "Second", 2), ERROR_SUCCESS);
  View("Software", "Own");  // fills the copy

  // Overwrite in place (another spelling keeps the first), a new value last,
  // a type change, an empty value.
  ASSERT_EQ(SetDword(key, "FIRST", 10), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, "Third", 3), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Second", 0, REG_SZ, reinterpret_cast<const BYTE*>("two"), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  const std::uint64_t before = RegistryStatementCount();
  const std::string fromMemory = View("Software", "Own");
  EXPECT_EQ(RegistryStatementCount(), before) << "the reads after the writes went to the database";

  RegCloseKey(key);
  ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);  // the next view comes from the database
  EXPECT_EQ(View("Software", "Own"), fromMemory);
  EXPECT_NE(fromMemory.find("First:4:"), std::string::npos) << fromMemory;

  // A write of another process after ours still shows.
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Own", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, "Third", 30), ERROR_SUCCESS);
  EXPECT_EQ(ReadDword("Software\\Own", "Third"), 30u);
  ASSERT_EQ(RunHelper({"registry-set-dword", "Software\\Own", "Third", "300"}), 0);
  EXPECT_EQ(ReadDword("Software\\Own", "Third"), 300u);
  RegCloseKey(key);
}

TEST_F(RegistryPosixTest, FourProcessesAtOnceOneKilledMidWrite) {
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "Shared", &key), ERROR_SUCCESS);
  std::vector<std::string> progress;
  std::vector<ChildProcess> children;
  for (int id = 0; id < 4; ++id) {
    progress.push_back(scratch_ + "/progress-" + std::to_string(id));
    const char* count = id == 3 ? "1000000" : "60";
    children.push_back(StartHelper({"registry-writer", std::to_string(id), count, progress[id]}));
    ASSERT_TRUE(children.back().Started());
  }
  // Kill the endless writer once it has written a few values, wherever it is.
  auto lines = [](const std::string& file) {
    std::ifstream in(file);
    std::vector<long> numbers;
    for (long n; in >> n;) numbers.push_back(n);
    return numbers;
  };
  for (int i = 0; i < 2000 && lines(progress[3]).size() < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  children[3].Kill();
  EXPECT_EQ(children[3].Wait(20000), ChildProcess::kKilled);
  for (int id = 0; id < 3; ++id) EXPECT_EQ(children[id].Wait(120000), 0) << id;

  // Every value whose call returned is there, in this process too.
  for (int id = 0; id < 4; ++id) {
    const std::vector<long> done = lines(progress[id]);
    EXPECT_TRUE(id == 3 || done.size() == 60u) << id;
    EXPECT_GE(done.size(), 1u);
    for (long i : done) {
      const std::string name = "p" + std::to_string(id) + "-" + std::to_string(i);
      DWORD value = ~0u, size = sizeof value;
      EXPECT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&value), &size),
                ERROR_SUCCESS)
          << name;
      EXPECT_EQ(value, static_cast<DWORD>(i)) << name;
    }
  }
  RegCloseKey(key);
  std::string report;
  EXPECT_EQ(RegistryCheckHive(HKEY_CURRENT_USER, &report), ERROR_SUCCESS) << report;
  EXPECT_EQ(report, "ok");
}

TEST_F(RegistryPosixTest, TransactionsCommitOrLeaveNoTrace) {
  using tqrtl::posix::RegistryBeginTransaction;
  using tqrtl::posix::RegistryCommitTransaction;
  using tqrtl::posix::RegistryRollbackTransaction;
  HKEY key = nullptr;
  ASSERT_EQ(RegistryBeginTransaction(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(RegistryBeginTransaction(HKEY_CURRENT_USER), ERROR_BUSY);
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "T\\One", &key), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(key, "v", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "T"), ERROR_ACCESS_DENIED);  // undoes only itself
  EXPECT_EQ(ReadDword("T\\One", "v"), 1u);
  RegCloseKey(key);
  ASSERT_EQ(RegistryRollbackTransaction(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "T", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(RegistryBeginTransaction(HKEY_CURRENT_USER), ERROR_SUCCESS);
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "T\\Two", &key), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(key, "v", 2), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegistryCloseAll(), ERROR_BUSY);
  ASSERT_EQ(RegistryCommitTransaction(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(RegistryCommitTransaction(HKEY_CURRENT_USER), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);
  EXPECT_EQ(ReadDword("T\\Two", "v"), 2u);
}

// Names of the values of HKCU\path in enumeration order, with their dwords.
std::string ValueList(HKEY root, const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "missing";
  std::string list;
  for (DWORD i = 0;; ++i) {
    char name[64];
    DWORD length = sizeof name, value = 0, size = sizeof value;
    if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                      &size) != ERROR_SUCCESS)
      break;
    list += std::string(name, length) + "=" + std::to_string(value) + " ";
  }
  RegCloseKey(key);
  return list;
}

TEST_F(RegistryPosixTest, TransactionOverBothHivesIsAllOrNothing) {
  using tqrtl::posix::RegistryBeginTransactions;
  using tqrtl::posix::RegistryCommitTransactions;
  using tqrtl::posix::RegistrySetCommitFault;
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "Both\\Old", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(Create(HKEY_CURRENT_USER, "Both", &key), ERROR_SUCCESS);
  for (const char* name : {"a", "v", "b"}) ASSERT_EQ(SetDword(key, name, 1), ERROR_SUCCESS);
  RegCloseKey(key);
  const std::string before = ValueList(HKEY_CURRENT_USER, "Both");

  // Hives begun one by one have no undo record: committing both is refused.
  ASSERT_EQ(tqrtl::posix::RegistryBeginTransaction(HKEY_CURRENT_USER), ERROR_SUCCESS);
  ASSERT_EQ(tqrtl::posix::RegistryBeginTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegistryCommitTransactions(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(tqrtl::posix::RegistryCommitTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegistryCommitTransactions(), ERROR_SUCCESS);  // one hive needs no undo
  // The user hive commits first and is put back when the machine hive's
  // commit fails: every kind of change (overwrite, delete, new key) undone.
  for (LONG fault : {LONG{ERROR_DISK_FULL}, LONG{ERROR_SUCCESS}}) {
    ASSERT_EQ(RegistryBeginTransactions({HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}), ERROR_SUCCESS);
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "Both", &key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "a"), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, "v", 2), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, "a", 2), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, "Old"), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "Both\\New", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Both", &key), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, "m", 3), ERROR_SUCCESS);
    RegCloseKey(key);
    RegistrySetCommitFault(HKEY_LOCAL_MACHINE, fault);
    ASSERT_EQ(RegistryCommitTransactions(), fault);
    ASSERT_EQ(RegistryCloseAll(), ERROR_SUCCESS);  // no transaction left open

    // Read afresh from the files.
    const bool undone = fault != ERROR_SUCCESS;
    EXPECT_EQ(ValueList(HKEY_CURRENT_USER, "Both"), undone ? before : "v=2 b=1 a=2 ");
    EXPECT_EQ(ValueList(HKEY_CURRENT_USER, "Both\\Old"), undone ? "" : "missing");
    EXPECT_EQ(ValueList(HKEY_CURRENT_USER, "Both\\New"), undone ? "missing" : "");
    EXPECT_EQ(ValueList(HKEY_LOCAL_MACHINE, "Both"), undone ? "missing" : "m=3 ");
    std::string report;
    EXPECT_EQ(RegistryCheckHive(HKEY_CURRENT_USER, &report), ERROR_SUCCESS) << report;
  }
}

}  // namespace
