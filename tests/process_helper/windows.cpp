// Sub-commands for the tests of windows and messages: the other process
// whose window the test sends and posts to.
//
// window-serve <class> <ready-file> [<partner> <go-file>]: registers the
// class, creates a window titled "served", writes its handle ("%u") to the
// ready file and serves messages until WM_CLOSE or WM_QUIT. With a partner
// window and a go file it also waits for the go file and then sends 0x405
// (sleep 300 ms) to the partner, so that both processes send to each other
// at the same time; the result goes to <go-file>.out.
// Exit codes: 0 done, 2 the window could not be made, 3 the cross send
// failed.
//
// The window procedure's messages (kServe* below) are the protocol between
// the test and this program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "process_helper.h"
#include "tqrtl/platform/win32.h"

namespace {

constexpr UINT kServeCompute = WM_USER + 4;   // returns 2 * wParam + 3 * lParam
constexpr UINT kServeSleep = WM_USER + 5;     // sleeps lParam ms, returns 4242
                                              // (touching <ready-file>.busy first)
constexpr UINT kServeCount = WM_USER + 6;     // how many kServeSleep ran
constexpr UINT kServeExit = WM_USER + 7;      // the process exits in the handler
constexpr UINT kServeCallBack = WM_USER + 8;  // sends kServeEcho(lParam) to window wParam, +1
constexpr UINT kServeEcho = WM_USER + 9;      // (the test answers it)
constexpr UINT kServeRecord = WM_USER + 10;   // posted: records wParam
constexpr UINT kServeInOrder = WM_USER + 11;  // records 1..n in order? n : -1

int g_slept = 0;
std::string g_busy_file;  // touched when a kServeSleep starts
std::vector<WPARAM> g_recorded;

void WriteText(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  FILE* f = std::fopen(temporary.c_str(), "w");
  if (f == nullptr) return;
  std::fputs(text.c_str(), f);
  std::fclose(f);
  std::remove(path.c_str());
  std::rename(temporary.c_str(), path.c_str());
}

bool Exists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

LRESULT CALLBACK ServeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kServeCompute:
      return static_cast<LRESULT>(2 * wParam) + 3 * lParam;
    case kServeSleep:
      WriteText(g_busy_file, "busy");
      Sleep(static_cast<DWORD>(lParam));
      ++g_slept;
      return 4242;
    case kServeCount:
      return g_slept;
    case kServeExit:
      std::fflush(nullptr);
      std::_Exit(5);
    case kServeCallBack: {
      DWORD_PTR answer = 0;
      if (!SendMessageTimeoutA(reinterpret_cast<HWND>(wParam), kServeEcho, 0, lParam, SMTO_NORMAL,
                               10000, &answer))
        return -1;
      return static_cast<LRESULT>(answer) + 1;
    }
    case kServeRecord:
      g_recorded.push_back(wParam);
      return 0;
    case kServeInOrder:
      for (size_t i = 0; i < g_recorded.size(); ++i)
        if (g_recorded[i] != i + 1) return -1;
      return static_cast<LRESULT>(g_recorded.size());
    case WM_COPYDATA: {
      // Checks the block (dwData 77, bytes i & 0xFF), then scribbles on the
      // copy: the sender's bytes must not change.
      auto* block = reinterpret_cast<COPYDATASTRUCT*>(lParam);
      if (block->cbData == 0) return block->lpData == nullptr ? 0x5A : -2;
      auto* bytes = static_cast<unsigned char*>(block->lpData);
      for (DWORD i = 0; i < block->cbData; ++i)
        if (bytes[i] != (i & 0xFF)) return -3;
      std::memset(bytes, 0xEE, block->cbData);
      if (block->dwData != 77) return -4;
      return static_cast<LRESULT>(static_cast<DWORD>(0x80001234u));
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

int WindowServe(int argc, char** argv) {
  if (argc < 3) return 64;
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = ServeProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = argv[1];
  if (RegisterClassExA(&wc) == 0) return 2;
  HWND window = CreateWindowExA(0, argv[1], "served", 0, 0, 0, 0, 0, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  if (window == nullptr) return 2;
  char text[32];
  std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(window)));
  g_busy_file = std::string(argv[2]) + ".busy";
  WriteText(argv[2], text);
  if (argc >= 5) {
    const std::string go = argv[4];
    while (!Exists(go)) Sleep(1);
    DWORD_PTR answer = 0;
    const LRESULT ok = SendMessageTimeoutA(reinterpret_cast<HWND>(std::strtoul(argv[3], nullptr, 10)),
                                           kServeSleep, 0, 300, SMTO_NORMAL, 10000, &answer);
    std::snprintf(text, sizeof text, "%d %d %u", static_cast<int>(ok), static_cast<int>(answer),
                  static_cast<unsigned>(g_slept));
    WriteText(go + ".out", text);
    if (!ok) return 3;
  }
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}
const ProcessCommand kWindowServe("window-serve", WindowServe);

}  // namespace
