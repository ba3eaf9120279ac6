// Tests of the POSIX layer's namespace of named objects: its permissions,
// the clean-up of names whose holders died, failures of the system calls,
// name encoding, and mappings of files.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "files_test_support.h"
#undef LOCK_WRITE  // <fcntl.h>'s flock name; win32.h defines the IStream one
#include "tqrtl/platform/posix/handles.h"
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/posix/named_objects.h"

namespace {

using tqrtl::posix::NamedObjectPath;
using tqrtl::posix::NamespaceDirectory;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(NamespacePosixTest, OnlyTheUserMayOpenOrListTheNames) {
  const std::string name = UniqueName("private");
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  const std::string dir = NamespaceDirectory();
  const std::string path = NamedObjectPath(name.c_str());
  struct stat st;
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, geteuid());
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  if (geteuid() == 0) {
    // Another user, pointed at this user's namespace, gets nothing.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
      setenv("TQRTL_OBJECT_DIR", dir.c_str(), 1);
      int failures = 0;
      if (OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str()) != nullptr ||
          GetLastError() != ERROR_ACCESS_DENIED)
        failures |= 1;
      if (opendir(dir.c_str()) != nullptr || errno != EACCES) failures |= 2;
      if (open(path.c_str(), O_RDWR) >= 0 || errno != EACCES) failures |= 4;
      _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: opened, 2: listed, 4: opened the file";
  }
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(Exists(path)) << "the last close removes the name";
}

// Points this process and the children it starts at a namespace of their
// own while it lives, so that no other process sweeps it meanwhile.
class PrivateNamespace {
 public:
  PrivateNamespace() {
    char scratch[] = "/tmp/tqrtl-ns-XXXXXX";
    if (mkdtemp(scratch) != nullptr) dir_ = scratch;
    env_.Set("TQRTL_OBJECT_DIR", dir_.c_str());
  }
  ~PrivateNamespace() {
    unlink((dir_ + "/.lock").c_str());
    rmdir(dir_.c_str());
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  files_test::ScopedEnv env_;
};

TEST(NamespacePosixTest, ADirectoryOthersMayEnterIsRefused) {
  PrivateNamespace private_namespace;
  const char* scratch = private_namespace.dir().c_str();
  ASSERT_EQ(chmod(scratch, 0755), 0);
  SetLastError(0);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "open-to-all"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(chmod(scratch, 0700), 0);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "open-to-all");
  EXPECT_NE(event, nullptr);
  EXPECT_TRUE(Exists(std::string(scratch) + "/open-to-all"));
  if (event != nullptr) CloseHandle(event);
  // Nothing but the lock file is left behind.
  DIR* listing = opendir(scratch);
  ASSERT_NE(listing, nullptr);
  int entries = 0;
  while (const dirent* entry = readdir(listing)) entries += entry->d_name[0] != '.';
  closedir(listing);
  EXPECT_EQ(entries, 0);
}

// The fault seam's lstat: `g_fake_path` is a directory of `g_fake_uid`
// with mode `g_fake_mode`; other paths are as they are.
std::string g_fake_path;
uid_t g_fake_uid = 0;
mode_t g_fake_mode = 0700;
int FakeLstat(const char* path, struct stat* st) {
  if (g_fake_path != path) return lstat(path, st);
  std::memset(st, 0, sizeof *st);
  st->st_mode = S_IFDIR | g_fake_mode;
  st->st_uid = g_fake_uid;
  return 0;
}

void FakeFolder(const std::string& path, uid_t owner, mode_t mode) {
  g_fake_path = path;
  g_fake_uid = owner;
  g_fake_mode = mode;
  tqrtl::posix::SystemCalls calls = tqrtl::posix::Sys();
  calls.lstat = FakeLstat;
  tqrtl::posix::SetSystemCalls(calls);
}

// The folder of the names is the same for every process of the user,
// whatever its environment: the user's runtime folder when the system made
// one that is the user's alone, else /dev/shm. XDG_RUNTIME_DIR plays no part.
TEST(NamespacePosixTest, NamesLiveInTheUsersOwnRuntimeFolder) {
  const std::string uid = std::to_string(geteuid());
  files_test::ScopedEnv env({{"TQRTL_OBJECT_DIR", nullptr}, {"XDG_RUNTIME_DIR", "/tmp/elsewhere"}});
  const struct {
    uid_t owner;
    mode_t mode;
    std::string expected;
  } kCases[] = {
      {geteuid(), 0700, "/run/user/" + uid + "/tqrtl"},
      {geteuid() + 1, 0700, "/dev/shm/tqrtl-" + uid},  // someone else's: not ours to use
      {geteuid(), 0755, "/dev/shm/tqrtl-" + uid},      // others may enter it
  };
  for (const auto& c : kCases) {
    FakeFolder("/run/user/" + uid, c.owner, c.mode);
    EXPECT_EQ(NamespaceDirectory(), c.expected) << c.owner << std::oct << " mode " << c.mode;
  }
  tqrtl::posix::ResetSystemCalls();
}

// Another user who made the user's folder first (anyone may make folders in
// /dev/shm) gets no names from it: calls are refused, and the user is told
// where and what to do.
TEST(NamespacePosixTest, AFolderAnotherUserMadeIsRefusedAndReported) {
  files_test::ScopedEnv env({{"TQRTL_OBJECT_DIR", nullptr}});
  const std::string dir = NamespaceDirectory();
  FakeFolder(dir, geteuid() + 1000, 0700);
  testing::internal::CaptureStderr();
  SetLastError(0);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, UniqueName("squatted").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  const std::string said = testing::internal::GetCapturedStderr();
  tqrtl::posix::ResetSystemCalls();
  EXPECT_NE(said.find(dir), std::string::npos) << said;
  EXPECT_NE(said.find("TQRTL_OBJECT_DIR"), std::string::npos) << said;
}

TEST(NamespacePosixTest, NamesOfKilledHoldersAreRemovedWhenNextSeen) {
  PrivateNamespace private_namespace;
  ASSERT_FALSE(private_namespace.dir().empty());
  const std::string mapping = UniqueName("killed-map"), event = UniqueName("killed-event");
  const std::string ready = ScratchPath("ready");
  std::remove(ready.c_str());  // one of an earlier run with this process id
  ChildProcess holder = StartHelper({"hold-names", mapping, event, ready});
  ASSERT_TRUE(WaitForFile(ready, 20000));
  std::remove(ready.c_str());
  holder.Kill();
  ASSERT_EQ(holder.Wait(20000), ChildProcess::kKilled);
  // The files stay, held by nobody...
  EXPECT_TRUE(Exists(NamedObjectPath(mapping.c_str())));
  EXPECT_TRUE(Exists(NamedObjectPath(event.c_str())));
  // ...until a name is looked up here,
  SetLastError(0);
  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, event.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(Exists(NamedObjectPath(event.c_str())));
  // ...or a new process first uses the namespace: it sweeps them all.
  EXPECT_EQ(RunHelper({"event-set", UniqueName("nobody")}), 2);
  EXPECT_FALSE(Exists(NamedObjectPath(mapping.c_str())));
}

TEST(NamespacePosixTest, FailedSystemCallsLeaveNoNameBehind) {
  const std::string name = UniqueName("full");
  tqrtl::posix::SystemCalls calls = tqrtl::posix::Sys();
  calls.ftruncate = [](int, off_t) {
    errno = ENOSPC;
    return -1;
  };
  tqrtl::posix::SetSystemCalls(calls);
  SetLastError(0);
  EXPECT_EQ(
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str()),
      nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  tqrtl::posix::ResetSystemCalls();
  EXPECT_FALSE(Exists(NamedObjectPath(name.c_str())));

  SetLastError(0xDEAD);
  HANDLE mapping =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(GetLastError(), 0u);

  calls = tqrtl::posix::Sys();
  calls.mmap = [](void*, size_t, int, int, int, off_t) -> void* {
    errno = ENOMEM;
    return MAP_FAILED;
  };
  tqrtl::posix::SetSystemCalls(calls);
  SetLastError(0);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  SetLastError(0);
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  tqrtl::posix::ResetSystemCalls();
  EXPECT_TRUE(Exists(NamedObjectPath(name.c_str()))) << "the live name survives";
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_FALSE(Exists(NamedObjectPath(name.c_str())));
}

// A named mapping takes its memory when it is created: one larger than the
// free space of the memory file system fails at once, with nothing left
// behind, instead of the first write past the free space killing the
// process with SIGBUS.
TEST(NamespacePosixTest, AMappingLargerThanTheFreeSpaceFailsWhenCreated) {
  const std::string name = UniqueName("huge");
  tqrtl::posix::SystemCalls calls = tqrtl::posix::Sys();
  calls.posix_fallocate = [](int, off_t, off_t) { return ENOSPC; };
  tqrtl::posix::SetSystemCalls(calls);
  SetLastError(0);
  EXPECT_EQ(
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1 << 20, name.c_str()),
      nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  tqrtl::posix::ResetSystemCalls();
  EXPECT_FALSE(Exists(NamedObjectPath(name.c_str())));

  // For real, on a small memory file system of the test's own (root only).
  PrivateNamespace private_namespace;
  const std::string& dir = private_namespace.dir();
  if (mount("tqrtl-test", dir.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  SetLastError(0);
  EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4 << 20, "big"),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_FALSE(Exists(dir + "/big"));
  unlink((dir + "/.lock").c_str());
  EXPECT_EQ(umount(dir.c_str()), 0);
}

TEST(NamespacePosixTest, AnyNameMapsToOneFileOfItsOwn) {
  const std::string dir = NamespaceDirectory() + "/";
  const struct {
    const char* name;
    const char* file;
  } kCases[] = {
      {"plain-Name_1.x", "plain-Name_1.x"},
      {"a/b", "a%2Fb"},
      {"..", "%2E."},
      {"100%", "100%25"},
      {"Local\\x", "x"},
      {"Global\\x", "Global%5Cx"},
      {"sp ace", "sp%20ace"},
      {"\xC3\xA9", "%C3%A9"},
  };
  for (const auto& c : kCases) EXPECT_EQ(NamedObjectPath(c.name), dir + c.file) << c.name;
  EXPECT_EQ(NamedObjectPath(std::string(251, 'a').c_str()), "");

  // "Local\" is the same namespace.
  const std::string name = UniqueName("local");
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  HANDLE local = CreateEventA(nullptr, TRUE, FALSE, ("Local\\" + name).c_str());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  SetLastError(0);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, std::string(300, 'n').c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  CloseHandle(local);
  CloseHandle(event);
}

// A file handle as the file services make one: an object with a descriptor.
class FileObject : public tqrtl::posix::HandleObject {
 public:
  explicit FileObject(int fd) : HandleObject(tqrtl::posix::HandleKind::kFile), fd_(fd) {}
  ~FileObject() override { close(fd_); }
  int FileDescriptor() const override { return fd_; }

 private:
  int fd_;
};

TEST(MappingPosixTest, FilesAreMappedThroughTheirHandles) {
  const std::string path = ScratchPath("mapped");
  {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("0123456789", f);
    std::fclose(f);
  }
  HANDLE read_only = tqrtl::posix::RegisterHandle(
      std::make_shared<FileObject>(open(path.c_str(), O_RDONLY | O_CLOEXEC)));
  HANDLE mapping = CreateFileMappingA(read_only, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 10), "0123456789");
  SetLastError(0);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_TRUE(CloseHandle(read_only));

  // A writable mapping larger than the file grows the file.
  HANDLE writable = tqrtl::posix::RegisterHandle(
      std::make_shared<FileObject>(open(path.c_str(), O_RDWR | O_CLOEXEC)));
  mapping = CreateFileMappingA(writable, nullptr, PAGE_READWRITE, 0, 8192, nullptr);
  ASSERT_NE(mapping, nullptr);
  auto* out = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_NE(out, nullptr);
  out[8191] = 'z';
  EXPECT_TRUE(UnmapViewOfFile(out));
  EXPECT_TRUE(CloseHandle(mapping));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 8192);

  // An empty file cannot be mapped whole; a handle without a file, not at all.
  ASSERT_EQ(ftruncate(tqrtl::posix::LookupHandle(writable)->FileDescriptor(), 0), 0);
  SetLastError(0);
  EXPECT_EQ(CreateFileMappingA(writable, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_INVALID));
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetLastError(0);
  EXPECT_EQ(CreateFileMappingA(event, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(event);
  CloseHandle(writable);
  unlink(path.c_str());
}

}  // namespace
