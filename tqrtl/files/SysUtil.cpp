// SysUtil and Util: the running system and loadable modules.
#include "tqrtl/files/SysUtil.h"

#include <cstring>

namespace {

bool GetVersionInfo(OSVERSIONINFOA* info) {
  std::memset(info, 0, sizeof *info);
  info->dwOSVersionInfoSize = sizeof *info;
  return GetVersionExA(info) != FALSE;
}

// The display's density at which fonts count as large.
constexpr int kLargeFontsPixelsPerInch = 120;

}  // namespace

namespace SysUtil {

int IsWin95() {
  OSVERSIONINFOA info;
  return GetVersionInfo(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
                 info.dwMinorVersion == 0
             ? 1
             : 0;
}

int IsWin98() {
  OSVERSIONINFOA info;
  return GetVersionInfo(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
                 info.dwMinorVersion == 10
             ? 1
             : 0;
}

int IsWinNT() {
  OSVERSIONINFOA info;
  return GetVersionInfo(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0;
}

int IsWinNT3() {
  OSVERSIONINFOA info;
  return GetVersionInfo(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                 info.dwMajorVersion == 3
             ? 1
             : 0;
}

int IsNewNTShell() {
  OSVERSIONINFOA info;
  return GetVersionInfo(&info) && info.dwMajorVersion == 4 ? 1 : 0;
}

int IsLargeFonts() {
  const HDC display = CreateICA("DISPLAY", nullptr, nullptr, nullptr);
  if (display == nullptr) return 0;
  const int density = GetDeviceCaps(display, LOGPIXELSX);
  DeleteDC(display);
  return density >= kLargeFontsPixelsPerInch ? 1 : 0;
}

unsigned long GetMemoryPageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

int IsUniProcessorHost() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors == 1 ? 1 : 0;
}

int IsMultiProcessorHost() { return IsUniProcessorHost() ? 0 : 1; }

char KeyCodeToASCII(unsigned int virtualKey, unsigned int scanCode) {
  BYTE state[256];
  if (!GetKeyboardState(state)) std::memset(state, 0, sizeof state);
  WORD out = 0;
  if (ToAscii(virtualKey, scanCode & 0x7F, state, &out, 0) <= 0) return 0;
  return static_cast<char>(out & 0xFF);
}

}  // namespace SysUtil
namespace Util {

int IsValidWin32Exe(char const* path) {
  // The loader first: a module it accepts as data is valid.
  const HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module != nullptr) {
    FreeLibrary(module);
    return 1;
  }
  // Otherwise a file that can be opened and mapped for reading.
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    file = CreateFileA(path, GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
  }
  int valid = 0;
  const HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping != nullptr) {
    const LPVOID view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view != nullptr) {
      valid = 1;
      UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
  }
  CloseHandle(file);
  return valid;
}

}  // namespace Util
