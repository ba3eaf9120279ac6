// The system's version, the display's information context and the keyboard:
// GetVersionExA, CreateICA, GetDeviceCaps, DeleteDC, GetKeyboardState and
// ToAscii. See win32.h for what each reports here and why.
//
// Thread-safety: every function may be called from any thread.
#include <string.h>
#include <strings.h>

#include <mutex>
#include <set>

#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/internal.h"

namespace {

constexpr DWORD kVersionInfoSize = sizeof(OSVERSIONINFOA);  // 148
constexpr DWORD kVersionInfoExSize = kVersionInfoSize + 8;  // the extended form
constexpr int kDisplayPixelsPerInch = 96;

// Live information contexts: each CreateICA gives a new one.
struct DisplayContext {
  int unused;
};
std::mutex g_contexts_lock;
std::set<const void*> g_contexts;

bool IsLiveContext(HDC dc) {
  std::lock_guard<std::mutex> hold(g_contexts_lock);
  return g_contexts.count(dc) != 0;
}

// The United States layout: the character of a key without and with Shift.
struct KeyChars {
  unsigned key;
  char plain;
  char shifted;
};
constexpr KeyChars kPunctuation[] = {
    {VK_OEM_1, ';', ':'},     {VK_OEM_PLUS, '=', '+'},   {VK_OEM_COMMA, ',', '<'},
    {VK_OEM_MINUS, '-', '_'}, {VK_OEM_PERIOD, '.', '>'}, {VK_OEM_2, '/', '?'},
    {VK_OEM_3, '`', '~'},     {VK_OEM_4, '[', '{'},      {VK_OEM_5, '\\', '|'},
    {VK_OEM_6, ']', '}'},     {VK_OEM_7, '\'', '"'},     {VK_SPACE, ' ', ' '},
    {VK_RETURN, '\r', '\r'},  {VK_BACK, '\b', '\b'},     {VK_TAB, '\t', '\t'},
    {VK_ESCAPE, 0x1B, 0x1B},  {VK_MULTIPLY, '*', '*'},   {VK_ADD, '+', '+'},
    {VK_SUBTRACT, '-', '-'},  {VK_DECIMAL, '.', '.'},    {VK_DIVIDE, '/', '/'},
};
constexpr char kShiftedDigits[] = ")!@#$%^&*(";

// The character of `key`, or 0.
char Translate(unsigned key, const BYTE* state) {
  const bool shift = (state[VK_SHIFT] & 0x80) != 0;
  const bool control = (state[VK_CONTROL] & 0x80) != 0;
  const bool caps = (state[VK_CAPITAL] & 0x01) != 0;
  if (key >= 'A' && key <= 'Z') {
    if (control) return static_cast<char>(key - 'A' + 1);
    return static_cast<char>(shift != caps ? key : key + ('a' - 'A'));
  }
  if (control) return 0;
  if (key >= '0' && key <= '9') {
    return shift ? kShiftedDigits[key - '0'] : static_cast<char>(key);
  }
  if (key >= VK_NUMPAD0 && key <= VK_NUMPAD9) return static_cast<char>('0' + key - VK_NUMPAD0);
  for (const KeyChars& k : kPunctuation) {
    if (k.key == key) return shift ? k.shifted : k.plain;
  }
  return 0;
}

}  // namespace

void tqrtl::posix::ContextsForkPrepare() { g_contexts_lock.lock(); }
void tqrtl::posix::ContextsForkRelease() { g_contexts_lock.unlock(); }

extern "C" {

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA versionInfo) {
  if (versionInfo == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD size = versionInfo->dwOSVersionInfoSize;
  if (size != kVersionInfoSize && size != kVersionInfoExSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memset(reinterpret_cast<char*>(versionInfo) + sizeof(DWORD), 0, size - sizeof(DWORD));
  versionInfo->dwMajorVersion = 6;
  versionInfo->dwMinorVersion = 2;
  versionInfo->dwBuildNumber = 9200;
  versionInfo->dwPlatformId = VER_PLATFORM_WIN32_NT;
  if (size == kVersionInfoExSize) {
    // wProductType, after the service pack numbers and the suite mask.
    reinterpret_cast<BYTE*>(versionInfo)[kVersionInfoSize + 6] = 1;  // VER_NT_WORKSTATION
  }
  return TRUE;
}

HDC WINAPI CreateICA(LPCSTR driver, LPCSTR device, LPCSTR port, const DEVMODEA* initData) {
  const bool display = (driver != nullptr && strcasecmp(driver, "DISPLAY") == 0) ||
                       (device != nullptr && strcasecmp(device, "DISPLAY") == 0);
  if (!display) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DisplayContext* context = new DisplayContext{0};
  std::lock_guard<std::mutex> hold(g_contexts_lock);
  g_contexts.insert(context);
  return reinterpret_cast<HDC>(context);
}

int WINAPI GetDeviceCaps(HDC dc, int index) {
  if (!IsLiveContext(dc)) return 0;
  switch (index) {
    case LOGPIXELSX:
    case LOGPIXELSY:
      return kDisplayPixelsPerInch;
    case BITSPIXEL:
      return 32;
    case PLANES:
      return 1;
    default:
      return 0;
  }
}

BOOL WINAPI DeleteDC(HDC dc) {
  {
    std::lock_guard<std::mutex> hold(g_contexts_lock);
    if (g_contexts.erase(dc) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  delete reinterpret_cast<DisplayContext*>(dc);
  return TRUE;
}

BOOL WINAPI GetKeyboardState(PBYTE keyState) {
  if (keyState == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  memset(keyState, 0, 256);
  return TRUE;
}

int WINAPI ToAscii(UINT virtualKey, UINT scanCode, const BYTE* keyState, LPWORD out, UINT flags) {
  if (keyState == nullptr || out == nullptr || (scanCode & 0x8000) != 0 || virtualKey > 0xFF) {
    return 0;
  }
  const char c = Translate(virtualKey, keyState);
  if (c == 0) return 0;
  *out = static_cast<WORD>(static_cast<unsigned char>(c));
  return 1;
}

}  // extern "C"
