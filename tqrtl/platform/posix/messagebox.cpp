// MessageBoxA / MessageBeep, and the terminal as the default presenter.
#include <stdio.h>
#include <unistd.h>

#include "tqrtl/platform/internal/presenter.h"
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::platform {

bool IsTerminal(FILE* stream) {
  if (stream == nullptr) return false;
  const int fd = fileno(stream);
  return fd >= 0 && posix::Sys().isatty(fd) == 1;
}

TQMessageBoxPresenter& DefaultPresenter() {
  static TQTerminalPresenter presenter(stderr, stdin);
  return presenter;
}

}  // namespace tqrtl::platform

extern "C" int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  return TQMessageBox(owner, text, caption, type);
}

extern "C" BOOL WINAPI MessageBeep(UINT type) { return TQMessageBeep(type); }
