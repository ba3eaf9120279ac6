// test_support.h: helpers shared by the tests.
//
// TestAlphabet(n): the text of test string resource n (n >= 253), the
// alphabet repeated from "a", exactly n characters long.
// RecordingPresenter: a message-box presenter that records what it was asked
// to show and answers with a chosen button; installed for its lifetime.
// RecordError: pairs a call's result with the last error the call left.
// MakeTm, MakeSystemTime: calendar values for the time tests.
// RunningUnderWine: true in the Windows build when Wine runs it; where Wine
// is known to differ from Windows, the assertion about Windows' behaviour is
// skipped under Wine.
#ifndef TQRTL_TESTS_TEST_SUPPORT_H_
#define TQRTL_TESTS_TEST_SUPPORT_H_

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tqrtl/platform/win32.h"

inline std::string TestAlphabet(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

// One failing call in a table of calls: what it was, its result and the
// last error it set.
struct ErrorCase {
  const char* what;
  int result;
  DWORD error;
};

// RecordError: called with the result of a call, so it reads that call's
// error; clears the error for the next call of the table.
inline ErrorCase RecordError(const char* what, int result) {
  const ErrorCase c{what, result, GetLastError()};
  SetLastError(0);
  return c;
}

inline struct tm MakeTm(int year, int month, int day, int hour, int minute = 0, int second = 0,
                        int isdst = 0) {
  struct tm t;
  std::memset(&t, 0, sizeof t);
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = isdst;
  return t;
}

inline SYSTEMTIME MakeSystemTime(int year, int month, int day, int hour, int minute, int second,
                                 int milliseconds = 0, int day_of_week = 0) {
  SYSTEMTIME time;
  std::memset(&time, 0, sizeof time);
  time.wYear = static_cast<WORD>(year);
  time.wMonth = static_cast<WORD>(month);
  time.wDayOfWeek = static_cast<WORD>(day_of_week);
  time.wDay = static_cast<WORD>(day);
  time.wHour = static_cast<WORD>(hour);
  time.wMinute = static_cast<WORD>(minute);
  time.wSecond = static_cast<WORD>(second);
  time.wMilliseconds = static_cast<WORD>(milliseconds);
  return time;
}

class RecordingPresenter : public TQMessageBoxPresenter {
 public:
  struct Box {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
  };

  explicit RecordingPresenter(int answer = 0) : answer_(answer) {
    previous_ = TQSetMessageBoxPresenter(this);
  }
  ~RecordingPresenter() override { TQSetMessageBoxPresenter(previous_); }

  int Show(HWND owner, const char* text, const char* caption, UINT type) override {
    boxes.push_back(Box{owner, text ? text : "", caption ? caption : "", type});
    events.push_back("box");
    return answer_ != 0 ? answer_ : TQDefaultMessageBoxButton(type);
  }
  BOOL Beep(UINT type) override {
    beeps.push_back(type);
    events.push_back("beep");
    return TRUE;
  }

  std::vector<Box> boxes;
  std::vector<UINT> beeps;
  std::vector<std::string> events;

 private:
  int answer_;
  TQMessageBoxPresenter* previous_;
};

inline bool RunningUnderWine() {
#if defined(_WIN32)
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

#endif  // TQRTL_TESTS_TEST_SUPPORT_H_
