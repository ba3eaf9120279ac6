// SysUtil.h: questions about the running system (its family and version,
// the display's font size, memory pages, processors) and turning a key code
// into a character. Util: whether a file is a module the system can load.
//
// None of them keeps state or throws; each asks the system afresh.
// (SysUtil::LoadObject, which makes objects from modules named in the
// registry, is declared with the dynamic objects: tqrtl/shell/TQDynamicObject.h.)
// Thread-safety: any thread.
#ifndef TQRTL_FILES_SYSUTIL_H_
#define TQRTL_FILES_SYSUTIL_H_

#include "tqrtl/platform/win32.h"

namespace SysUtil {

// IsWin95, IsWin98: the system is of the Windows 95 line
// (VER_PLATFORM_WIN32_WINDOWS) with minor version 0 (95) or 10 (98).
// IsWinNT: the system is of the NT line (VER_PLATFORM_WIN32_NT); IsWinNT3:
// of it with major version 3. IsNewNTShell: major version 4, whatever the
// line. Each is 0 when GetVersionExA fails. (The NT line is what every
// supported system reports, Linux included.)
TQRTL_API int IsWin95();
TQRTL_API int IsWin98();
TQRTL_API int IsWinNT();
TQRTL_API int IsWinNT3();
TQRTL_API int IsNewNTShell();

// IsLargeFonts: 1 when the display has at least 120 dots per inch
// horizontally (LOGPIXELSX); 0 otherwise or when the display cannot be
// asked.
TQRTL_API int IsLargeFonts();

// GetMemoryPageSize: the size of a memory page in bytes (GetSystemInfo).
TQRTL_API unsigned long GetMemoryPageSize();

// IsUniProcessorHost: 1 when the system has exactly one processor, else 0.
// IsMultiProcessorHost: the opposite.
TQRTL_API int IsUniProcessorHost();
TQRTL_API int IsMultiProcessorHost();

// KeyCodeToASCII: the character that `virtualKey` gives under the current
// keyboard state (ToAscii with the low 7 bits of `scanCode`), or 0 when the
// key gives none.
TQRTL_API char KeyCodeToASCII(unsigned int virtualKey, unsigned int scanCode);

}  // namespace SysUtil

namespace Util {

// IsValidWin32Exe: 1 when the system's loader accepts the file at `path` as
// a module it could map as data (on Linux: an ELF shared object or
// executable of this machine), or, failing that, when the file can be opened
// and mapped for reading; else 0. The function looks at no bytes itself, so
// any readable non-empty file passes the second test, while an empty file,
// a directory or a missing file fails both. Everything opened is released
// before it returns.
TQRTL_API int IsValidWin32Exe(char const* path);

}  // namespace Util

#endif  // TQRTL_FILES_SYSUTIL_H_
