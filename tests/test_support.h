// test_support.h: helpers shared by the tests.
//
// TestAlphabet(n): the text of test string resource n (n >= 253), the
// alphabet repeated from "a", exactly n characters long.
// RecordingPresenter: a message-box presenter that records what it was asked
// to show and answers with a chosen button; installed for its lifetime.
#ifndef TQRTL_TESTS_TEST_SUPPORT_H_
#define TQRTL_TESTS_TEST_SUPPORT_H_

#include <string>
#include <vector>

#include "tqrtl/platform/win32.h"

inline std::string TestAlphabet(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
  return text;
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

#endif  // TQRTL_TESTS_TEST_SUPPORT_H_
