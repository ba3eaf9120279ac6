// tqplatform.h: the library's own platform services, the same on every
// system. Included by tqrtl/platform/win32.h; do not include it directly.
//
// - Message boxes go through a replaceable presenter. Without one, Windows
//   shows the system's message box and other systems use the terminal
//   presenter, which never blocks a process that has no terminal.
// - Modules declare their string resources with TQRTL_STRING_TABLE.
// - TQPathSeparator: the separator of file paths on this system.
// - TQModuleOfAddress names the module that contains an address.
// - TQIsSingleThreaded tells whether the process has only ever had one thread.
// - TQMktime32, TQTime32 and TQStrftime: calendar time with the Microsoft C
//   run-time's results on every system.
//
// Thread-safety: all functions may be called from any thread. The presenter
// is process-wide; replace it while no message box is showing.
#ifndef TQRTL_PLATFORM_TQPLATFORM_H_
#define TQRTL_PLATFORM_TQPLATFORM_H_

#include <stddef.h>
#include <stdio.h>
#include <time.h>

#include "tqrtl/platform/export.h"

// File paths. TQPathSeparator is the separator between the directories of a
// path: '\\' on Windows, '/' elsewhere; TQPathSeparatorText is the same as a
// string. Lists of directories are separated by ';' on every system.
// TQIsPathSeparator: whether `c` separates the directories of a path here:
// the platform's separator, and the backslash on every system (so names in
// Windows' notation, such as registry key paths, split the same way).
#if defined(_WIN32)
inline constexpr char TQPathSeparator = '\\';
inline constexpr char TQPathSeparatorText[] = "\\";
#else
inline constexpr char TQPathSeparator = '/';
inline constexpr char TQPathSeparatorText[] = "/";
#endif
inline constexpr bool TQIsPathSeparator(char c) { return c == TQPathSeparator || c == '\\'; }

// A presenter shows message boxes and sounds beeps for the whole process.
// Applications and tests install their own with TQSetMessageBoxPresenter.
class TQRTL_API TQMessageBoxPresenter {
 public:
  virtual ~TQMessageBoxPresenter();

  // Show: presents `text` under `caption` with the buttons, icon and default
  // button that `type` (MB_* flags) asks for, and returns the id of the
  // button chosen (IDOK, IDCANCEL, IDYES, ...). `owner` may be null.
  virtual int Show(HWND owner, const char* text, const char* caption, UINT type) = 0;

  // Beep: sounds `type` (an MB_ICON* value, or 0xFFFFFFFF for the simple
  // beep). Returns TRUE when the sound was accepted.
  virtual BOOL Beep(UINT type) = 0;
};

// TQTerminalPresenter: writes each box to `out` as a caption line, the text
// and the buttons. When `in` is an interactive terminal it asks which button
// to press (an empty line or end of input takes the default); otherwise it
// returns the default button at once, so it never blocks a process that has
// no terminal. A beep writes BEL to `out` when `out` is a terminal.
class TQRTL_API TQTerminalPresenter : public TQMessageBoxPresenter {
 public:
  // REQUIRES: `out` and `in` stay open while the presenter is used; `in` may
  // be null (never ask).
  explicit TQTerminalPresenter(FILE* out = stderr, FILE* in = stdin);
  int Show(HWND owner, const char* text, const char* caption, UINT type) override;
  BOOL Beep(UINT type) override;

 private:
  FILE* out_;
  FILE* in_;
};

// TQSetMessageBoxPresenter: installs `presenter` for the whole process and
// returns the one installed before (null when the default was in use).
// Passing null restores the default. The caller keeps ownership.
TQRTL_API TQMessageBoxPresenter* TQSetMessageBoxPresenter(TQMessageBoxPresenter* presenter);

// TQMessageBox / TQMessageBeep: MessageBoxA and MessageBeep through the
// installed presenter (or the default one).
TQRTL_API int TQMessageBox(HWND owner, const char* text, const char* caption, UINT type);
TQRTL_API BOOL TQMessageBeep(UINT type);

// TQDefaultMessageBoxButton: the id of the button that `type` marks as the
// default (MB_DEFBUTTON1..4 over the buttons of MB_OK..MB_CANCELTRYCONTINUE);
// a default beyond the last button falls back to the first.
TQRTL_API int TQDefaultMessageBoxButton(UINT type);

// TQThreadExists: TRUE while the thread with the system-wide id `threadId`
// (GetCurrentThreadId in that thread) is alive, in any process the caller
// may see; FALSE once it has ended or its process has exited or been killed
// (a process that has died but was not yet reaped by its parent counts as
// ended). Lets a supervisor find out that the owner of a lock died. Ids are
// reused by the system after a while, so a very old id may name a newer
// thread.
TQRTL_API BOOL TQThreadExists(DWORD threadId);

// TQIsSingleThreaded: TRUE while the process has never had a thread other
// than the caller; FALSE from the start of a second thread on, for good, even
// after that thread has ended, and always where the system cannot tell (on
// Windows, whose loader starts threads of its own). A TRUE answer holds until
// the caller itself starts a thread, and starting it publishes everything
// the caller wrote before; so while it is TRUE, data that threads may later
// share (a reference count) can be updated without a locked instruction.
// Not for data that a signal handler changes too. Inline, because its users
// are the few instructions of a string copy.
#if defined(_WIN32)
inline BOOL TQIsSingleThreaded() { return FALSE; }
#else
// TQSingleThreadedFlag: the system's byte behind TQIsSingleThreaded
// (nonzero while single-threaded), or a constant zero where the system
// keeps none. Read it only through TQIsSingleThreaded.
extern TQRTL_API const char* const TQSingleThreadedFlag;
inline BOOL TQIsSingleThreaded() { return *TQSingleThreadedFlag != 0 ? TRUE : FALSE; }
#endif

// TQModuleOfAddress: the handle of the loaded module (executable or shared
// library) that contains `address`, or null with ERROR_MOD_NOT_FOUND.
TQRTL_API HMODULE TQModuleOfAddress(const void* address);

// Calendar time with the Microsoft C run-time's results. The library keeps
// time as a signed 32-bit count of seconds since 1970-01-01 00:00:00 UTC
// (__time32_t, declared by <time.h> on Windows and by win32.h elsewhere).
// These have names of the library's own: the 64-bit Windows import library
// has no _mktime32 or _time32, and other systems' strftime writes other
// texts. Local time is that of the process's time zone (TZ).

// TQMktime32: _mktime32. Reads the local calendar fields of `time`
// (tm_wday and tm_yday are ignored; the other fields may be out of range
// and are carried over, so January 32 is February 1). tm_isdst > 0 takes
// the fields as daylight time, one hour ahead of standard time, even in a
// zone without daylight time; 0 as standard time; < 0 lets the zone decide.
// On success returns the time and rewrites all of `time`, tm_wday and
// tm_yday included, as the local calendar fields of the result. Returns -1
// when the time lies outside 1970-01-01 00:00:00 to 2038-01-19 03:14:07 UTC;
// `time` is then unspecified.
TQRTL_API __time32_t TQMktime32(struct tm* time);

// TQTime32: _time32. The current time, also stored in `*time` unless
// `time` is null; -1 once the current time no longer fits.
TQRTL_API __time32_t TQTime32(__time32_t* time);

// TQStrftime: strftime in the "C" locale as the Microsoft run-time writes
// it: %c is "03/05/24 14:07:09", %x "03/05/24", %X "14:07:09", %p "AM" or
// "PM"; with `#`, %#c and %#x take the long date ("Tuesday, March 05, 2024")
// and the numeric codes drop leading zeros (%#d is "5"); %Z and %z are both
// the time zone's name in full ("Eastern Standard Time"), for daylight time
// when tm_isdst > 0. Codes: a A b B c d H I j m M p S U w W x X y Y z Z %.
// Returns the length of the text written to `buffer`, NUL excluded; returns
// 0, with an empty `buffer` when `size` allows, for an empty text, a text
// that does not fit in `size` bytes with its NUL, an unknown code, a lone
// trailing %, or a field out of its range where a code needs it.
TQRTL_API size_t TQStrftime(char* buffer, size_t size, const char* format,
                            const struct tm* time);

// String resources. A module declares its texts once, as an X-macro list of
// X(id, "text") lines in a header that holds nothing else:
//
//   #define MYAPP_STRINGS(X) X(100, "Ready.") X(101, "Unable to open \x22%1\x22")
//
// One source file of the module says TQRTL_STRING_TABLE(MYAPP_STRINGS), and
// its CMake target calls tqrtl_string_resources(target header MYAPP_STRINGS),
// which on Windows turns the list into an .rc string table. LoadStringA then
// finds the texts under the module's handle on every system. Write a double
// quote as \x22, which both C++ and the resource compiler read.
struct TQStringResource {
  unsigned int id;
  const char* text;
};

// Registers a module's table for LoadStringA while it exists; the table of
// the main program stays registered until the process ends.
class TQRTL_API TQStringTableRegistration {
 public:
  TQStringTableRegistration(const TQStringResource* table, int count);
  ~TQStringTableRegistration();
  TQStringTableRegistration(const TQStringTableRegistration&) = delete;
  TQStringTableRegistration& operator=(const TQStringTableRegistration&) = delete;

 private:
  const TQStringResource* table_;
};

#if defined(_WIN32)
#define TQRTL_STRING_TABLE(LIST) static_assert(true, "the .rc file holds the strings")
#else
#define TQRTL_STRING_ENTRY_(id, text) {id, text},
#define TQRTL_STRING_TABLE(LIST)                                                    \
  namespace {                                                                       \
  const TQStringResource tqrtl_string_table_[] = {LIST(TQRTL_STRING_ENTRY_)};       \
  const TQStringTableRegistration tqrtl_string_table_registration_(                 \
      tqrtl_string_table_,                                                          \
      static_cast<int>(sizeof(tqrtl_string_table_) / sizeof(tqrtl_string_table_[0]))); \
  }                                                                                 \
  static_assert(true, "")
#endif

#endif  // TQRTL_PLATFORM_TQPLATFORM_H_
