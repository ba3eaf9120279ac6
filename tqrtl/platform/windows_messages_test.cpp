// Conformance tests of windows and messages: the same calls run against
// Windows (under Wine) and against the POSIX layer. The other process is
// tqrtl_process_helper window-serve (tests/process_helper/windows.cpp),
// whose window procedure answers the kServe* messages below.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "process_support.h"
#include "tqrtl/platform/win32.h"

namespace {

constexpr UINT kServeCompute = WM_USER + 4;
constexpr UINT kServeSleep = WM_USER + 5;
constexpr UINT kServeCount = WM_USER + 6;
constexpr UINT kServeExit = WM_USER + 7;
constexpr UINT kServeCallBack = WM_USER + 8;
constexpr UINT kServeEcho = WM_USER + 9;
constexpr UINT kServeRecord = WM_USER + 10;
constexpr UINT kServeInOrder = WM_USER + 11;
constexpr UINT kProbeDirect = WM_USER + 20;

// What the test window's procedure saw.
struct Seen {
  void* create_param = nullptr;
  int destroyed = 0;
  int slept = 0;
  int in_send = 0;
  std::vector<WPARAM> posted;
};
Seen g_seen;
bool g_sending = false;
thread_local bool t_quit_on_destroy = false;
constexpr UINT_PTR kRefuseCreate = 0xBAD;

LRESULT CALLBACK TestProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
      g_seen.create_param = create->lpCreateParams;
      return reinterpret_cast<UINT_PTR>(create->lpCreateParams) == kRefuseCreate ? -1 : 0;
    }
    case WM_DESTROY:
      ++g_seen.destroyed;
      if (t_quit_on_destroy) PostQuitMessage(0);
      return 0;
    case kServeSleep:
      Sleep(static_cast<DWORD>(lParam));
      ++g_seen.slept;
      return 4242;
    case kServeEcho:
      return lParam * 10;
    case kServeRecord:
      g_seen.posted.push_back(wParam);
      return 0;
    case kProbeDirect:
      if (g_sending) ++g_seen.in_send;
      return 77;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

// The test process's class, registered once.
const char* TestClass() {
  static const std::string name = UniqueName("TQTestWnd");
  static const bool registered = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TestProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = name.c_str();
    return RegisterClassExA(&wc) != 0;
  }();
  EXPECT_TRUE(registered);
  return name.c_str();
}

HWND MakeWindow(void* param = nullptr) {
  return CreateWindowExA(0, TestClass(), "test window", 0, 0, 0, 0, 0, nullptr, nullptr,
                         GetModuleHandleA(nullptr), param);
}

HWND ToWindow(unsigned long value) {
  return reinterpret_cast<HWND>(static_cast<UINT_PTR>(value));
}

std::string ReadText(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    char buffer[128];
    size_t n = std::fread(buffer, 1, sizeof buffer, f);
    text.assign(buffer, n);
    std::fclose(f);
  }
  return text;
}

// Another process serving a window.
struct Server {
  ChildProcess child;
  HWND window = nullptr;
  std::string class_name;
  std::string ready;

  explicit Server(std::vector<std::string> extra = {}) {
    class_name = UniqueName("TQServe");
    ready = ScratchPath("window-ready");
    std::vector<std::string> args = {"window-serve", class_name, ready};
    args.insert(args.end(), extra.begin(), extra.end());
    child = StartHelper(args);
    EXPECT_TRUE(child.Started());
    EXPECT_TRUE(WaitForFile(ready, 20000));
    window = ToWindow(std::strtoul(ReadText(ready).c_str(), nullptr, 10));
    std::remove(ready.c_str());
  }
  ~Server() { std::remove((ready + ".busy").c_str()); }
  // Posts a sleep of `ms` and waits until the window's thread is in it.
  bool MakeBusy(LPARAM ms) {
    const std::string busy = ready + ".busy";
    std::remove(busy.c_str());
    return PostMessageA(window, kServeSleep, 0, ms) && WaitForFile(busy, 20000);
  }
  LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam, UINT timeoutMs, DWORD_PTR* result) {
    return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, timeoutMs, result);
  }
  int Close() {
    PostMessageA(window, WM_CLOSE, 0, 0);
    return child.Wait(20000);
  }
};

TEST(WindowsTest, ClassesBelongToTheProcessAndAreRegisteredOnce) {
  const std::string name = UniqueName("TQProbeWnd");
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = TestProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = name.c_str();
  EXPECT_NE(RegisterClassExA(&wc), 0);
  SetLastError(0);
  EXPECT_EQ(RegisterClassExA(&wc), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
  // The name ignores letter case.
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  wc.lpszClassName = upper.c_str();
  EXPECT_EQ(RegisterClassExA(&wc), 0);
  // Another process registers the same name for itself (its window exists).
  Server server;
  ASSERT_TRUE(IsWindow(server.window));
  EXPECT_EQ(server.Close(), 0);
}

TEST(WindowsTest, CreateRunsWmCreateAndDestroyEndsTheWindow) {
  int param = 0;
  HWND window = MakeWindow(&param);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(g_seen.create_param, &param);
  EXPECT_LE(reinterpret_cast<UINT_PTR>(window), 0x7FFFFFFFu);
  EXPECT_TRUE(IsWindow(window));
  EXPECT_TRUE(UpdateWindow(window));
  ShowWindow(window, SW_HIDE);
  EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0);
  SetWindowLongPtrA(window, GWLP_USERDATA, 0x1234);
  EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0x1234);
  char text[64];
  EXPECT_EQ(GetClassNameA(window, text, sizeof text), static_cast<int>(strlen(TestClass())));
  EXPECT_STREQ(text, TestClass());
  EXPECT_EQ(GetWindowTextA(window, text, sizeof text), 11);
  EXPECT_STREQ(text, "test window");
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(window, &pid), GetCurrentThreadId());
  EXPECT_EQ(pid, GetCurrentProcessId());

  const int destroyed = g_seen.destroyed;
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_EQ(g_seen.destroyed, destroyed + 1);
  EXPECT_FALSE(IsWindow(window));

  // A refused WM_CREATE leaves no window.
  SetLastError(0);
  EXPECT_EQ(MakeWindow(reinterpret_cast<void*>(kRefuseCreate)), nullptr);
  EXPECT_NE(GetLastError(), 0u);
}

TEST(WindowsTest, GoneWindowsFailWithInvalidWindowHandle) {
  HWND window = MakeWindow();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(DestroyWindow(window));
  const HWND gone[] = {window, nullptr};
  for (HWND h : gone) {
    DWORD_PTR result = 99;
    SetLastError(0);
    EXPECT_EQ(SendMessageTimeoutA(h, kServeCompute, 1, 2, SMTO_NORMAL, 1000, &result), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(result, 0u);
    EXPECT_FALSE(IsWindow(h));
  }
  SetLastError(0);
  EXPECT_FALSE(PostMessageA(window, kServeRecord, 1, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(DestroyWindow(window));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(WindowsTest, OwnThreadSendsCallTheProcedureAndPostsQueueInOrder) {
  HWND window = MakeWindow();
  ASSERT_NE(window, nullptr);
  DWORD_PTR result = 0;
  g_sending = true;
  const int before = g_seen.in_send;
  EXPECT_EQ(SendMessageTimeoutA(window, kProbeDirect, 0, 0, SMTO_NORMAL, 0, &result), 1);
  g_sending = false;
  EXPECT_EQ(result, 77u);
  EXPECT_EQ(g_seen.in_send, before + 1);  // called inside the send: nothing queued

  g_seen.posted.clear();
  for (WPARAM i = 1; i <= 5; ++i) ASSERT_TRUE(PostMessageA(window, kServeRecord, i, 0));
  PostQuitMessage(7);
  MSG msg;
  int got;
  while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) DispatchMessageA(&msg);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(g_seen.posted, (std::vector<WPARAM>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(DestroyWindow(window));
}

TEST(WindowsTest, SendToAnotherProcessReturnsTheProceduresResult) {
  Server server;
  ASSERT_NE(server.window, nullptr);
  DWORD_PTR result = 0;
  SetLastError(0x5EED);
  EXPECT_EQ(server.Send(kServeCompute, 1, 2, 0, &result), 1);
  EXPECT_EQ(result, 8u);
  EXPECT_EQ(GetLastError(), 0x5EEDu);  // success leaves the error alone
  EXPECT_EQ(server.Send(kServeCompute, 10, 20, 5000, &result), 1);
  EXPECT_EQ(result, 80u);
  // A message the procedure leaves to DefWindowProcA.
  EXPECT_EQ(server.Send(WM_USER, 1, 2, 5000, &result), 1);
  EXPECT_EQ(result, 0u);
  EXPECT_TRUE(SendMessageA(server.window, kServeCompute, 3, 0) == 6);

  // Window facts of another process.
  char text[64];
  EXPECT_EQ(GetClassNameA(server.window, text, sizeof text),
            static_cast<int>(server.class_name.size()));
  EXPECT_EQ(server.class_name, text);
  EXPECT_EQ(GetWindowTextA(server.window, text, sizeof text), 6);
  EXPECT_STREQ(text, "served");
  DWORD pid = 0;
  EXPECT_NE(GetWindowThreadProcessId(server.window, &pid), 0u);
  EXPECT_EQ(pid, static_cast<DWORD>(server.child.Pid()));
  struct Search {
    HWND wanted;
    bool found;
  } search{server.window, false};
  EXPECT_TRUE(EnumWindows(
      [](HWND h, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        if (h == s->wanted) s->found = true;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search)));
  EXPECT_TRUE(search.found);
  EXPECT_EQ(server.Close(), 0);
}

TEST(WindowsTest, BusyPeerWaitsWithoutLimitOrTimesOut) {
  Server server;
  ASSERT_NE(server.window, nullptr);
  DWORD_PTR result = 0;
  // Time-out 0 waits for as long as the peer is busy.
  ASSERT_TRUE(server.MakeBusy(1500));
  EXPECT_EQ(server.Send(kServeCompute, 1, 2, 0, &result), 1);
  EXPECT_EQ(result, 8u);
  EXPECT_EQ(server.Send(kServeCount, 0, 0, 5000, &result), 1);
  EXPECT_EQ(result, 1u);  // the send waited for the sleep to end

  // A time-out fails with ERROR_TIMEOUT, and the next send gets its own answer.
  ASSERT_TRUE(server.MakeBusy(2000));
  SetLastError(0);
  EXPECT_EQ(server.Send(kServeCompute, 1, 2, 500, &result), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_EQ(server.Send(kServeCompute, 5, 0, 0, &result), 1);
  EXPECT_EQ(result, 10u);
  EXPECT_EQ(server.Close(), 0);
}

TEST(WindowsTest, PeerThatExitsInTheHandlerFailsTheSendPromptly) {
  Server server;
  ASSERT_NE(server.window, nullptr);
  DWORD_PTR result = 0;
  EXPECT_EQ(server.Send(kServeCompute, 1, 1, 5000, &result), 1);  // connected and working
  SetLastError(0);
  EXPECT_EQ(server.Send(kServeExit, 0, 0, 30000, &result), 0);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));  // seen, not waited out
  EXPECT_EQ(server.child.Wait(20000), 5);
  EXPECT_FALSE(IsWindow(server.window));
  SetLastError(0);
  EXPECT_EQ(server.Send(kServeCompute, 1, 2, 1000, &result), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(PostMessageA(server.window, kServeRecord, 1, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(WindowsTest, KilledPeerIsNoWindowAnyMore) {
  Server server;
  ASSERT_NE(server.window, nullptr);
  server.child.Kill();
  server.child.Wait(20000);
  EXPECT_FALSE(IsWindow(server.window));
  DWORD_PTR result = 0;
  SetLastError(0);
  EXPECT_EQ(server.Send(kServeCompute, 1, 2, 0, &result), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(WindowsTest, WaitingSenderServesSendsToItsOwnWindows) {
  HWND mine = MakeWindow();
  ASSERT_NE(mine, nullptr);
  // A nested send: the peer's handler sends back to us while we wait.
  Server server;
  DWORD_PTR result = 0;
  EXPECT_EQ(server.Send(kServeCallBack, reinterpret_cast<WPARAM>(mine), 4, 10000, &result), 1);
  EXPECT_EQ(result, 41u);

  // Both sending to each other at once: each serves the other's message
  // while it waits in its own send.
  const std::string go = ScratchPath("window-go");
  char text[32];
  std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(mine)));
  Server crossing({text, go});
  ASSERT_NE(crossing.window, nullptr);
  const int slept = g_seen.slept;
  if (FILE* f = std::fopen(go.c_str(), "w")) std::fclose(f);
  EXPECT_EQ(crossing.Send(kServeSleep, 0, 300, 10000, &result), 1);
  EXPECT_EQ(result, 4242u);
  EXPECT_EQ(g_seen.slept, slept + 1);  // the peer's send ran while ours waited
  ASSERT_TRUE(WaitForFile(go + ".out", 20000));
  int ok = 0, answer = 0, peer_slept = 0;
  EXPECT_EQ(std::sscanf(ReadText(go + ".out").c_str(), "%d %d %d", &ok, &answer, &peer_slept), 3);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(answer, 4242);
  EXPECT_EQ(crossing.Close(), 0);
  EXPECT_EQ(server.Close(), 0);
  std::remove(go.c_str());
  std::remove((go + ".out").c_str());
  EXPECT_TRUE(DestroyWindow(mine));
}

TEST(WindowsTest, CopyDataArrivesAsTheReceiversOwnCopy) {
  Server server;
  ASSERT_NE(server.window, nullptr);
  struct Case {
    DWORD size;
    bool with_data;
    LRESULT expected;
  };
  const Case kCases[] = {
      {24, true, static_cast<LRESULT>(static_cast<DWORD>(0x80001234u))},
      {0, false, 0x5A},  // cbData 0: the receiver sees lpData NULL
      {300000, true, static_cast<LRESULT>(static_cast<DWORD>(0x80001234u))},  // over a socket buffer
  };
  for (const Case& c : kCases) {
    std::vector<unsigned char> bytes(c.size);
    for (DWORD i = 0; i < c.size; ++i) bytes[i] = static_cast<unsigned char>(i & 0xFF);
    COPYDATASTRUCT block{77, c.size, c.with_data ? bytes.data() : nullptr};
    DWORD_PTR result = 0;
    EXPECT_EQ(server.Send(WM_COPYDATA, 3, reinterpret_cast<LPARAM>(&block), 10000, &result), 1)
        << c.size;
    EXPECT_EQ(static_cast<LRESULT>(result), c.expected) << c.size;
    for (DWORD i = 0; i < c.size; ++i)
      ASSERT_EQ(bytes[i], static_cast<unsigned char>(i & 0xFF)) << "the sender's copy changed";
  }
  EXPECT_EQ(server.Close(), 0);
}

TEST(WindowsTest, PostsToAnotherProcessArriveInOrder) {
  Server server;
  ASSERT_NE(server.window, nullptr);
  for (WPARAM i = 1; i <= 200; ++i) ASSERT_TRUE(PostMessageA(server.window, kServeRecord, i, 0));
  // Sent messages go before posted ones, so ask until all have been seen
  // (-1: one came out of order).
  DWORD_PTR result = 0;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(server.Send(kServeInOrder, 0, 0, 10000, &result), 1);
    if (static_cast<LRESULT>(result) == 200 || static_cast<LRESULT>(result) == -1) break;
    Sleep(10);
  }
  EXPECT_EQ(static_cast<LRESULT>(result), 200);
  EXPECT_EQ(server.Close(), 0);
}

TEST(WindowsTest, WindowOfAnotherThreadIsServedByItsOwner) {
  HWND window = nullptr;
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread owner([&] {
    t_quit_on_destroy = true;
    window = MakeWindow();
    SetEvent(ready);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  });
  ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
  ASSERT_NE(window, nullptr);
  DWORD_PTR result = 0;
  EXPECT_EQ(SendMessageTimeoutA(window, kServeEcho, 0, 6, SMTO_NORMAL, 5000, &result), 1);
  EXPECT_EQ(result, 60u);
  SetLastError(0);
  EXPECT_FALSE(DestroyWindow(window));  // only the owning thread may
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(PostMessageA(window, WM_CLOSE, 0, 0));  // DefWindowProcA destroys it
  owner.join();
  EXPECT_FALSE(IsWindow(window));
  CloseHandle(ready);
}

}  // namespace
