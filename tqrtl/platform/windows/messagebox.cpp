// The system's message box as the default presenter on Windows.
#include <io.h>

#include "tqrtl/platform/internal/presenter.h"

namespace tqrtl::platform {
namespace {

class SystemPresenter : public TQMessageBoxPresenter {
 public:
  int Show(HWND owner, const char* text, const char* caption, UINT type) override {
    return ::MessageBoxA(owner, text, caption, type);
  }
  BOOL Beep(UINT type) override { return ::MessageBeep(type); }
};

}  // namespace

bool IsTerminal(FILE* stream) {
  if (stream == nullptr) return false;
  const int fd = _fileno(stream);
  return fd >= 0 && _isatty(fd) != 0;
}

TQMessageBoxPresenter& DefaultPresenter() {
  static SystemPresenter presenter;
  return presenter;
}

}  // namespace tqrtl::platform
