// tqplatform.h: the library's own platform services, the same on every
// system. Included by tqrtl/platform/win32.h; do not include it directly.
//
// - Message boxes go through a replaceable presenter. Without one, Windows
//   shows the system's message box and other systems use the terminal
//   presenter, which never blocks a process that has no terminal.
// - Modules declare their string resources with TQRTL_STRING_TABLE.
// - TQModuleOfAddress names the module that contains an address.
//
// Thread-safety: all functions may be called from any thread. The presenter
// is process-wide; replace it while no message box is showing.
#ifndef TQRTL_PLATFORM_TQPLATFORM_H_
#define TQRTL_PLATFORM_TQPLATFORM_H_

#include <stdio.h>

#include "tqrtl/platform/export.h"

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

// TQModuleOfAddress: the handle of the loaded module (executable or shared
// library) that contains `address`, or null with ERROR_MOD_NOT_FOUND.
TQRTL_API HMODULE TQModuleOfAddress(const void* address);

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
