// Tests of the POSIX window layer beyond Win32's behaviour: who may
// connect, what dead windows leave behind, windows across fork(), and
// hostile bytes on a window's socket.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

// <fcntl.h> names a flock mode LOCK_WRITE; win32.h gives the name its IStream
// meaning.
#undef LOCK_WRITE
#include "files_test_support.h"
#include "process_support.h"
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/posix/window_frame.h"
#include "tqrtl/platform/posix/windows_internal.h"
#include "tqrtl/platform/win32.h"

namespace {

using tqrtl::posix::FrameHeader;
using tqrtl::posix::FrameKind;
using tqrtl::posix::kFrameCopyData;
using tqrtl::posix::kFrameMagic;
using tqrtl::posix::kMaxCopyData;

constexpr UINT kPing = WM_USER + 4;  // window-serve's kServeCompute: 2 * wParam + 3 * lParam
constexpr UINT kRecord = WM_USER + 10;
constexpr UINT kInOrder = WM_USER + 11;
constexpr UINT kDone = WM_USER + 30;

std::atomic<int> g_pings{0};

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kPing) {
    ++g_pings;
    return static_cast<LRESULT>(2 * wParam) + 3 * lParam;
  }
  if (message == kDone) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

const char* CountingClass() {
  static const std::string name = UniqueName("TQCounting");
  static const bool registered = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = CountingProc;
    wc.lpszClassName = name.c_str();
    return RegisterClassExA(&wc) != 0;
  }();
  EXPECT_TRUE(registered);
  return name.c_str();
}

HWND MakeWindow() {
  return CreateWindowExA(0, CountingClass(), "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                         nullptr);
}

DWORD Handle(HWND window) { return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(window)); }
HWND FromHandle(DWORD value) { return reinterpret_cast<HWND>(static_cast<UINT_PTR>(value)); }

std::string EntryPath(HWND window, char kind) {
  char name[16];
  std::snprintf(name, sizeof name, "%08x.%c", Handle(window), kind);
  return tqrtl::posix::WindowDirectory() + "/" + name;
}

// Each test gets a namespace directory of its own (and the helpers it
// starts, through the environment).
struct PrivateNamespace {
  PrivateNamespace() {
    std::filesystem::create_directory(dir);
    chmod(dir.c_str(), 0700);
  }
  ~PrivateNamespace() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  const std::string dir = ScratchPath("windows-ns");
  files_test::ScopedEnv env{{"TQRTL_OBJECT_DIR", dir.c_str()}};
};

// A window owned by a thread of this process that serves until kDone.
struct ServingThread {
  HWND window = nullptr;
  std::thread thread;
  ServingThread() {
    std::atomic<bool> ready{false};
    thread = std::thread([this, &ready] {
      window = MakeWindow();
      ready = true;
      MSG msg;
      while (window != nullptr && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
      if (window != nullptr) DestroyWindow(window);
    });
    while (!ready) std::this_thread::yield();
  }
  ~ServingThread() {
    if (window != nullptr) PostMessageA(window, kDone, 0, 0);
    thread.join();
  }
};

int RawConnect(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

FrameHeader Frame(FrameKind kind, UINT message, WPARAM wParam, LPARAM lParam) {
  FrameHeader h{};
  h.magic = kFrameMagic;
  h.kind = static_cast<std::uint16_t>(kind);
  h.seq = 1;
  h.message = message;
  h.wparam = wParam;
  h.lparam = lParam;
  return h;
}

// Reads until the peer closes (true) or 20 s pass (false); what arrived
// before goes to *received.
bool ReadsUntilClosed(int fd, std::string* received = nullptr) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) return false;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return true;
    if (received != nullptr) received->append(buffer, static_cast<size_t>(n));
  }
}

// The seam: peer-credential lookups on this thread say "another user",
// `g_fake_left` times.
std::atomic<int> g_fake_left{0};
std::atomic<DWORD> g_fake_thread{0};

int FakeGetsockopt(int fd, int level, int name, void* value, socklen_t* length) {
  const int r = ::getsockopt(fd, level, name, value, length);
  if (r == 0 && level == SOL_SOCKET && name == SO_PEERCRED &&
      g_fake_thread == GetCurrentThreadId() && g_fake_left > 0) {
    --g_fake_left;
    static_cast<ucred*>(value)->uid = 12345;
  }
  return r;
}

TEST(WindowsPosixTest, PeersOfAnotherUserAreRefusedOnBothEnds) {
  PrivateNamespace ns;
  tqrtl::posix::SystemCalls calls = tqrtl::posix::Sys();
  calls.getsockopt = FakeGetsockopt;
  tqrtl::posix::SetSystemCalls(calls);
  g_fake_thread = GetCurrentThreadId();

  // Listening end: a connection from "another user" is closed unread.
  HWND window = MakeWindow();
  ASSERT_NE(window, nullptr);
  const std::string socket_path = EntryPath(window, 's');
  g_pings = 0;
  g_fake_left = 1;
  std::atomic<bool> closed_unanswered{false};
  std::thread client([&] {
    int fd = RawConnect(socket_path);
    FrameHeader ping = Frame(FrameKind::kSend, kPing, 1, 1);
    if (fd >= 0) {
      // The window may close the connection before the frame is written.
      (void)send(fd, &ping, sizeof ping, MSG_NOSIGNAL);
      std::string received;
      closed_unanswered = ReadsUntilClosed(fd, &received) && received.empty();
    }
    close(fd);
    // The next connection is the user's own: it ends the loop.
    fd = RawConnect(socket_path);
    FrameHeader done = Frame(FrameKind::kPost, kDone, 0, 0);
    if (send(fd, &done, sizeof done, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof done))
      std::abort();
    close(fd);
  });
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  client.join();
  EXPECT_TRUE(closed_unanswered);
  EXPECT_EQ(g_pings, 0);
  EXPECT_EQ(g_fake_left, 0);

  // Connecting end: a listener of "another user" is sent nothing.
  {
    ServingThread server;
    ASSERT_NE(server.window, nullptr);
    g_fake_left = 1;
    DWORD_PTR result = 0;
    SetLastError(0);
    EXPECT_EQ(SendMessageTimeoutA(server.window, kPing, 1, 1, SMTO_NORMAL, 5000, &result), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(g_fake_left, 0);
    EXPECT_EQ(SendMessageTimeoutA(server.window, kPing, 1, 1, SMTO_NORMAL, 5000, &result), 1);
    EXPECT_EQ(result, 5u);
    EXPECT_EQ(g_pings, 1);  // the last send; nothing of the refused one
  }
  tqrtl::posix::ResetSystemCalls();
  EXPECT_TRUE(DestroyWindow(window));
}

TEST(WindowsPosixTest, ProcessOfAnotherUserIsRefusedForReal) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  PrivateNamespace ns;
  HWND window = MakeWindow();
  ASSERT_NE(window, nullptr);
  // Let the other user reach the socket file, so that only the peer check
  // stands between it and the window.
  const std::string dir = tqrtl::posix::WindowDirectory();
  ASSERT_EQ(chmod(ns.dir.c_str(), 0711), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
  ASSERT_EQ(chmod(EntryPath(window, 's').c_str(), 0777), 0);
  g_pings = 0;
  const std::string socket_path = EntryPath(window, 's');
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // 0: connected, and the window closed the connection without answering.
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const int fd = RawConnect(socket_path);
    if (fd < 0) _exit(3);
    // The window may have closed the connection already: then the frame
    // goes nowhere (EPIPE), which is as good.
    FrameHeader ping = Frame(FrameKind::kSend, kPing, 1, 1);
    (void)send(fd, &ping, sizeof ping, MSG_NOSIGNAL);
    std::string received;
    _exit(ReadsUntilClosed(fd, &received) && received.empty() ? 0 : 5);
  }
  int status = -1;
  std::thread reaper([&] {
    waitpid(child, &status, 0);
    PostMessageA(window, kDone, 0, 0);
  });
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  reaper.join();
  chmod(dir.c_str(), 0700);
  chmod(ns.dir.c_str(), 0700);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(g_pings, 0);
  EXPECT_TRUE(DestroyWindow(window));
}

TEST(WindowsPosixTest, DeadWindowsLeaveNothingThatLaterWindowsTripOver) {
  PrivateNamespace ns;
  ServingThread keeper;  // makes the directory
  ASSERT_NE(keeper.window, nullptr);
  ChildProcess child;
  const std::string ready = ScratchPath("window-ready");
  child = StartHelper({"window-serve", UniqueName("TQStale"), ready});
  ASSERT_TRUE(WaitForFile(ready, 20000));
  HWND dead = nullptr;
  {
    FILE* f = std::fopen(ready.c_str(), "r");
    unsigned value = 0;
    ASSERT_EQ(std::fscanf(f, "%u", &value), 1);
    std::fclose(f);
    std::remove(ready.c_str());
    dead = FromHandle(value);
  }
  DWORD_PTR result = 0;
  ASSERT_EQ(SendMessageTimeoutA(dead, kPing, 1, 1, SMTO_NORMAL, 5000, &result), 1);  // cached
  child.Kill();
  child.Wait(20000);
  // Its files are still there; they mean nothing.
  struct stat st;
  EXPECT_EQ(stat(EntryPath(dead, 's').c_str(), &st), 0);
  EXPECT_EQ(stat(EntryPath(dead, 'w').c_str(), &st), 0);

  // Leftovers of other kinds: a socket without an info file, an info file
  // nobody holds.
  const HWND orphan = FromHandle(0x00012345);
  const HWND unheld = FromHandle(0x00012346);
  {
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, EntryPath(orphan, 's').c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(s);
    files_test::WriteBytes(EntryPath(unheld, 'w'), "TQWN");
  }
  EXPECT_FALSE(IsWindow(orphan));
  EXPECT_FALSE(IsWindow(unheld));

  // The dead window's number, used again by a window of another thread here:
  // the connection to the dead one, still cached, must not stand in the way.
  tqrtl::posix::SetNextWindowHandle(Handle(dead));
  ServingThread again;
  ASSERT_EQ(again.window, dead);
  g_pings = 0;
  EXPECT_EQ(SendMessageTimeoutA(dead, kPing, 2, 1, SMTO_NORMAL, 5000, &result), 1);
  EXPECT_EQ(result, 7u);
  EXPECT_EQ(g_pings, 1);
  EXPECT_TRUE(IsWindow(dead));
  // The new window's claim swept the leftovers away.
  EXPECT_NE(stat(EntryPath(orphan, 's').c_str(), &st), 0);
  EXPECT_NE(stat(EntryPath(unheld, 'w').c_str(), &st), 0);
  // EnumWindows lists the live ones only.
  std::set<HWND> listed;
  EnumWindows(
      [](HWND h, LPARAM p) -> BOOL {
        reinterpret_cast<std::set<HWND>*>(p)->insert(h);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&listed));
  EXPECT_EQ(listed, (std::set<HWND>{keeper.window, again.window}));
}

TEST(WindowsPosixTest, SocketsInALongDirectoryAreReachedThroughItsDescriptor) {
  PrivateNamespace ns;
  const std::string deep = ns.dir + "/" + std::string(120, 'd');
  ASSERT_TRUE(std::filesystem::create_directory(deep));
  chmod(deep.c_str(), 0700);
  files_test::ScopedEnv env{{"TQRTL_OBJECT_DIR", deep.c_str()}};
  ServingThread server;
  ASSERT_NE(server.window, nullptr);
  DWORD_PTR result = 0;
  EXPECT_EQ(SendMessageTimeoutA(server.window, kPing, 3, 0, SMTO_NORMAL, 5000, &result), 1);
  EXPECT_EQ(result, 6u);
}

// The descriptors of a process's windows (sockets and info files).
std::set<int> WindowDescriptors() {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.rfind("socket:", 0) == 0 || target.find("/.windows/") != std::string::npos)
      fds.insert(std::stoi(entry.path().filename().string()));
  }
  return fds;
}

TEST(WindowsPosixTest, ForkedChildOwnsNoWindowsAndKeepsNoneAlive) {
  PrivateNamespace ns;
  HWND window = MakeWindow();
  ASSERT_NE(window, nullptr);
  ServingThread other;  // a second thread's window, and a cached connection to it
  DWORD_PTR result = 0;
  ASSERT_EQ(SendMessageTimeoutA(other.window, kPing, 1, 0, SMTO_NORMAL, 5000, &result), 1);
  const std::set<int> inherited = WindowDescriptors();
  ASSERT_FALSE(inherited.empty());

  g_pings = 0;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Exit codes: 0 fine, 10 + n the n-th check failed.
    for (int fd : inherited)
      if (fcntl(fd, F_GETFD) != -1) _exit(10);
    if (DestroyWindow(window)) _exit(11);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != static_cast<DWORD>(getppid())) _exit(12);
    // The parent's window answers the child, as anybody's would.
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(window, kPing, 2, 0, SMTO_NORMAL, 10000, &answer) || answer != 4)
      _exit(13);
    HWND own = MakeWindow();
    if (own == nullptr || own == window || !DestroyWindow(own)) _exit(14);
    PostMessageA(window, kDone, 0, 0);
    _exit(0);
  }
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
  EXPECT_EQ(g_pings, 1);
  // The child closing its copies took nothing from the parent.
  const int info = open(EntryPath(window, 'w').c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(info, 0);
  EXPECT_NE(flock(info, LOCK_SH | LOCK_NB), 0);
  close(info);
  EXPECT_EQ(SendMessageTimeoutA(other.window, kPing, 1, 0, SMTO_NORMAL, 5000, &result), 1);
  EXPECT_TRUE(DestroyWindow(window));
}

TEST(WindowsPosixTest, HostileFramesDropTheConnectionAndAreNeverDispatched) {
  PrivateNamespace ns;
  const std::string ready = ScratchPath("window-ready");
  ChildProcess child = StartHelper({"window-serve", UniqueName("TQHostile"), ready});
  ASSERT_TRUE(WaitForFile(ready, 20000));
  FILE* f = std::fopen(ready.c_str(), "r");
  unsigned value = 0;
  ASSERT_EQ(std::fscanf(f, "%u", &value), 1);
  std::fclose(f);
  std::remove(ready.c_str());
  const HWND window = FromHandle(value);

  auto record = [](auto change) {
    FrameHeader h = Frame(FrameKind::kPost, kRecord, 1, 0);
    change(h);
    return std::string(reinterpret_cast<const char*>(&h), sizeof h);
  };
  struct Case {
    const char* what;
    std::string bytes;
    bool half_close;  // then shut our writing side: a truncated frame
  };
  const Case kCases[] = {
      {"garbage", "GET / HTTP/1.0\r\n\r\n", false},
      {"wrong magic", record([](FrameHeader& h) { h.magic ^= 1; }), false},
      {"unknown kind", record([](FrameHeader& h) { h.kind = 9; }), false},
      {"a reply toward the window", record([](FrameHeader& h) { h.kind = 3; }), false},
      {"reserved field", record([](FrameHeader& h) { h.reserved = 1; }), false},
      {"payload on a post", record([](FrameHeader& h) { h.length = 4; }) + "abcd", false},
      {"oversized block, no bytes", record([](FrameHeader& h) {
         h.kind = 1;
         h.message = WM_COPYDATA;
         h.flags = kFrameCopyData;
         h.length = kMaxCopyData + 1;
       }),
       false},
      {"WM_COPYDATA with a raw pointer", record([](FrameHeader& h) {
         h.kind = 1;
         h.message = WM_COPYDATA;
         h.lparam = 0x1000;
       }),
       false},
      {"a message that carries a pointer", record([](FrameHeader& h) { h.message = WM_CREATE; }),
       false},
      {"truncated header", record([](FrameHeader&) {}).substr(0, 20), true},
      {"truncated block", record([](FrameHeader& h) {
                            h.kind = 1;
                            h.message = WM_COPYDATA;
                            h.flags = kFrameCopyData;
                            h.length = 1000;
                          }) + "short",
       true},
  };
  for (const Case& c : kCases) {
    const int fd = RawConnect(EntryPath(window, 's'));
    ASSERT_GE(fd, 0) << c.what;
    ASSERT_EQ(send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.bytes.size()))
        << c.what;
    if (c.half_close) shutdown(fd, SHUT_WR);
    std::string answer;
    EXPECT_TRUE(ReadsUntilClosed(fd, &answer)) << c.what;
    EXPECT_TRUE(answer.empty()) << c.what;
    close(fd);
  }
  // Nothing was recorded, and the window works.
  DWORD_PTR result = 99;
  EXPECT_EQ(SendMessageTimeoutA(window, kInOrder, 0, 0, SMTO_NORMAL, 10000, &result), 1);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(SendMessageTimeoutA(window, kPing, 1, 2, SMTO_NORMAL, 10000, &result), 1);
  EXPECT_EQ(result, 8u);
  PostMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(child.Wait(20000), 0);
}

}  // namespace
