// internal.h: shared pieces of the POSIX platform layer. Not installed.
//
// The layer reaches the system only through TQSys (syscalls.cpp), a table of
// replaceable function pointers, so that tests can make a chosen call fail
// with a chosen errno and check the failure paths for real.
#ifndef TQRTL_PLATFORM_POSIX_INTERNAL_H_
#define TQRTL_PLATFORM_POSIX_INTERNAL_H_

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "tqrtl/platform/win32.h"

namespace tqrtl::posix {

// The system calls the layer makes. Each entry has the signature and the
// errno convention of its POSIX namesake.
struct SystemCalls {
  void* (*malloc)(size_t size);
  void (*free)(void* memory);
  void* (*realloc)(void* memory, size_t size);
  ssize_t (*read)(int fd, void* buffer, size_t count);
  ssize_t (*write)(int fd, const void* buffer, size_t count);
  int (*isatty)(int fd);
  int (*open)(const char* path, int flags, mode_t mode);
  int (*ftruncate)(int fd, off_t length);
  void* (*mmap)(void* address, size_t length, int protection, int flags, int fd, off_t offset);
  int (*stat)(const char* path, struct stat* st);
  int (*lstat)(const char* path, struct stat* st);
  int (*fstat)(int fd, struct stat* st);
  int (*posix_fallocate)(int fd, off_t offset, off_t length);  // returns the error, as POSIX
  // The window layer reads a socket peer's credentials (SO_PEERCRED) here.
  int (*getsockopt)(int fd, int level, int name, void* value, socklen_t* length);
};

// The table in force. Tests replace entries through SetSystemCalls and put
// the defaults back with ResetSystemCalls.
TQRTL_API const SystemCalls& Sys();
TQRTL_API void SetSystemCalls(const SystemCalls& calls);
TQRTL_API void ResetSystemCalls();

// Who besides the calling user may own a file or folder that holds the
// user's data (see UntrustedReason).
enum class TrustedOwners { kUserOnly, kUserOrRoot };

// UntrustedReason: "" when `st` (a stat result) describes something the
// calling user may trust with its data: owned by the effective user (or,
// with kUserOrRoot, by root, who can do anything anyway) and with none of
// the `forbidden` permission bits (022: nobody else may write; 077: nobody
// else may even enter). Otherwise the reason, in words for a diagnostic.
TQRTL_API std::string UntrustedReason(const struct stat& st, TrustedOwners owners,
                                      mode_t forbidden);

// CheckTrusted: looks `path` up (Sys().stat, or Sys().lstat when
// `follow_links` is false) and applies UntrustedReason. True when it is
// trusted, or when it does not exist and `missing_ok`. Otherwise false with
// the last error set: ERROR_ACCESS_DENIED for an untrusted one (reported on
// standard error, see ReportRefusal), or the failed lookup's error.
bool CheckTrusted(const std::string& path, bool follow_links, TrustedOwners owners,
                  mode_t forbidden, bool missing_ok);

// ReportRefusal: tells the user on standard error why `path` was refused,
// once per process for each path and reason, so a tool (tqreg) or a log
// shows why a call failed with ERROR_ACCESS_DENIED.
void ReportRefusal(const std::string& path, const std::string& reason);

// Win32Error: the Win32 error code that best describes errno value `error`
// (ERROR_GEN_FAILURE-like cases become ERROR_INVALID_FUNCTION).
TQRTL_API DWORD Win32ErrorFromErrno(int error);

// SetLastErrorFromErrno: SetLastError(Win32ErrorFromErrno(errno)).
void SetLastErrorFromErrno();

// CurrentDirectory: the current directory, or "" with errno set.
std::string CurrentDirectory();

// FoldPath: `path` made absolute against the current directory (which a
// null or empty path stands for), with empty, "." and ".." components
// folded away without looking at the disk; ".." above the root stays at the
// root. "" with errno set when the current directory cannot be read.
TQRTL_API std::string FoldPath(const char* path);

// JoinShareModes: enters the new open `fd` (which reads and/or writes)
// among the opens of its file that keep Win32 share modes (_fsopen,
// CreateFileA; see crt_files.cpp), denying others reading and/or writing.
// Returns false with errno EACCES, taking no part, when it conflicts with an
// open already there. A file system without open-file-description locks
// allows every open.
bool JoinShareModes(int fd, bool read, bool write, bool deny_read, bool deny_write);

// IsLoadableElf: whether the `size` bytes at `image` (a whole file) are an
// ELF shared object or executable that this machine's loader could map: its
// class, byte order, version and architecture, one or more loadable
// segments, and program headers and segments inside the file. Reads nothing
// outside the `size` bytes.
TQRTL_API bool IsLoadableElf(const void* image, size_t size);

// Fold: `name` as names that ignore letter case are compared (registry
// names, atoms): upper case for ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic letters; every other byte as it is. The result has the length of
// `name`.
TQRTL_API std::string Fold(std::string_view name);

// FreeCodeModule: FreeLibrary of a module that LoadLibraryA loaded
// (modules.cpp): gives back one load, unloading the module with the last.
// FALSE with ERROR_INVALID_HANDLE for any other handle.
BOOL FreeCodeModule(HMODULE module);

// The numeric locale as GetLocaleInfoA reports it (locale.cpp): the text
// items in Windows' form, the number items as numbers.
struct NumericLocale {
  LCID lcid = 0x0409;
  std::string decimal;     // LOCALE_SDECIMAL
  std::string thousands;   // LOCALE_STHOUSAND
  std::string grouping;    // LOCALE_SGROUPING, e.g. "3;0"
  int digits = 2;          // LOCALE_IDIGITS
  int leading_zero = 1;    // LOCALE_ILZERO
  int negative_order = 1;  // LOCALE_INEGNUMBER
};

// NumericLocaleName: the name of the process's numeric locale from the
// environment: LC_ALL, then LC_NUMERIC, then LANG (the first that is set and
// not empty), else "C".
TQRTL_API std::string NumericLocaleName();

// ReadNumericLocale: the values of the locale called `name`, read without
// changing the process locale. The C locale, its aliases and a locale that
// is not installed give the English (United States) values, LCID 0x409.
TQRTL_API NumericLocale ReadNumericLocale(const char* name);

// WindowsGrouping: the C library's grouping bytes (nl_langinfo GROUPING) in
// Windows' notation: {3} -> "3;0", {3,2} -> "3;2;0", {3,CHAR_MAX} -> "3",
// "" -> "0".
TQRTL_API std::string WindowsGrouping(const char* posix);

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_INTERNAL_H_
