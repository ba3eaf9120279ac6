// The message-box presenter: the process-wide choice and the terminal one.
#include <atomic>
#include <cctype>
#include <cstring>

#include "tqrtl/platform/internal/presenter.h"
#include "tqrtl/platform/win32.h"

namespace {

std::atomic<TQMessageBoxPresenter*> g_presenter{nullptr};

TQMessageBoxPresenter& Current() {
  TQMessageBoxPresenter* presenter = g_presenter.load(std::memory_order_acquire);
  return presenter != nullptr ? *presenter : tqrtl::platform::DefaultPresenter();
}

struct Button {
  int id;
  const char* label;  // the first letter is the key
};

// The buttons of a box type, in display order; returns their number.
int ButtonsOf(UINT type, Button* buttons) {
  static const Button kOk{IDOK, "OK"}, kCancel{IDCANCEL, "Cancel"}, kAbort{IDABORT, "Abort"},
      kRetry{IDRETRY, "Retry"}, kIgnore{IDIGNORE, "Ignore"}, kYes{IDYES, "Yes"},
      kNo{IDNO, "No"}, kTryAgain{IDTRYAGAIN, "Try again"}, kContinue{IDCONTINUE, "Continue"};
  int n = 0;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: buttons[n++] = kOk; buttons[n++] = kCancel; break;
    case MB_ABORTRETRYIGNORE:
      buttons[n++] = kAbort; buttons[n++] = kRetry; buttons[n++] = kIgnore; break;
    case MB_YESNOCANCEL:
      buttons[n++] = kYes; buttons[n++] = kNo; buttons[n++] = kCancel; break;
    case MB_YESNO: buttons[n++] = kYes; buttons[n++] = kNo; break;
    case MB_RETRYCANCEL: buttons[n++] = kRetry; buttons[n++] = kCancel; break;
    case MB_CANCELTRYCONTINUE:
      buttons[n++] = kCancel; buttons[n++] = kTryAgain; buttons[n++] = kContinue; break;
    default: buttons[n++] = kOk; break;
  }
  return n;
}

const char* IconWord(UINT type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONHAND: return "Error";
    case MB_ICONQUESTION: return "Question";
    case MB_ICONEXCLAMATION: return "Warning";
    case MB_ICONASTERISK: return "Information";
    default: return nullptr;
  }
}

}  // namespace

TQMessageBoxPresenter::~TQMessageBoxPresenter() = default;

TQMessageBoxPresenter* TQSetMessageBoxPresenter(TQMessageBoxPresenter* presenter) {
  return g_presenter.exchange(presenter, std::memory_order_acq_rel);
}

int TQMessageBox(HWND owner, const char* text, const char* caption, UINT type) {
  return Current().Show(owner, text, caption, type);
}

BOOL TQMessageBeep(UINT type) { return Current().Beep(type); }

int TQDefaultMessageBoxButton(UINT type) {
  Button buttons[3];
  const int count = ButtonsOf(type, buttons);
  const int index = static_cast<int>((type & MB_DEFMASK) >> 8);
  return buttons[index < count ? index : 0].id;
}

TQTerminalPresenter::TQTerminalPresenter(FILE* out, FILE* in) : out_(out), in_(in) {}

int TQTerminalPresenter::Show(HWND, const char* text, const char* caption, UINT type) {
  Button buttons[3];
  const int count = ButtonsOf(type, buttons);
  const int fallback = TQDefaultMessageBoxButton(type);
  if (out_ == nullptr) return fallback;

  // What the program printed before the box belongs before it.
  if (out_ != stdout) std::fflush(stdout);
  const char* icon = IconWord(type);
  std::fprintf(out_, "\n[%s]%s%s\n%s\n", caption != nullptr ? caption : "Error",
               icon != nullptr ? " " : "", icon != nullptr ? icon : "",
               text != nullptr ? text : "");
  const bool ask = count > 1 && in_ != nullptr && tqrtl::platform::IsTerminal(in_);
  std::fputs(ask ? "Choose:" : "Buttons:", out_);
  for (int i = 0; i < count; ++i)
    std::fprintf(out_, " (%c)%s%s", buttons[i].label[0], buttons[i].label + 1,
                 buttons[i].id == fallback ? "*" : "");
  if (!ask) {
    for (int i = 0; i < count; ++i)
      if (buttons[i].id == fallback) std::fprintf(out_, " -> %s\n", buttons[i].label);
    std::fflush(out_);
    return fallback;
  }
  std::fputs(" ? ", out_);
  std::fflush(out_);
  char line[64];
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (std::fgets(line, sizeof(line), in_) == nullptr) return fallback;
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\n' || *p == '\0') return fallback;
    const int key = std::toupper(static_cast<unsigned char>(*p));
    for (int i = 0; i < count; ++i)
      if (std::toupper(static_cast<unsigned char>(buttons[i].label[0])) == key)
        return buttons[i].id;
    std::fputs("? ", out_);
    std::fflush(out_);
  }
  return fallback;
}

BOOL TQTerminalPresenter::Beep(UINT) {
  if (out_ != nullptr && tqrtl::platform::IsTerminal(out_)) {
    std::fputc('\a', out_);
    std::fflush(out_);
  }
  return TRUE;
}
