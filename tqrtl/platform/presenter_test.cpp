// Tests of the message-box presenter: default buttons, the terminal
// presenter's output and its refusal to wait without a terminal, and
// replacing the presenter.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

std::string ReadAll(FILE* file) {
  std::string text;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(PresenterTest, DefaultButtonFollowsTheType) {
  const struct {
    UINT type;
    int button;
  } kCases[] = {
      {MB_OK, IDOK},
      {MB_OK | MB_DEFBUTTON2, IDOK},  // beyond the last button: the first
      {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON3, IDIGNORE},
      {MB_YESNOCANCEL, IDYES},
      {MB_YESNOCANCEL | MB_DEFBUTTON3 | MB_ICONQUESTION, IDCANCEL},
      {MB_YESNO | MB_DEFBUTTON2, IDNO},
      {MB_RETRYCANCEL, IDRETRY},
      {MB_CANCELTRYCONTINUE | MB_DEFBUTTON3, IDCONTINUE},
      {MB_YESNO | MB_DEFBUTTON4, IDYES},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(TQDefaultMessageBoxButton(c.type), c.button) << "type 0x" << std::hex << c.type;
}

TEST(PresenterTest, TerminalPresenterPrintsAndAnswersWithoutATerminal) {
  FILE* out = std::tmpfile();
  FILE* in = std::tmpfile();  // input that is not a terminal is never read
  ASSERT_NE(out, nullptr);
  ASSERT_NE(in, nullptr);
  std::fputs("n\n", in);
  std::rewind(in);
  TQTerminalPresenter presenter(out, in);
  EXPECT_EQ(presenter.Show(nullptr, "Save changes?", "Editor",
                           MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2),
            IDNO);
  EXPECT_EQ(presenter.Show(nullptr, "Done.", nullptr, MB_OK), IDOK);
  EXPECT_TRUE(presenter.Beep(MB_ICONEXCLAMATION));
  const std::string text = ReadAll(out);
  EXPECT_NE(text.find("[Editor] Question\nSave changes?\n"), std::string::npos) << text;
  EXPECT_NE(text.find("(Y)es (N)o* (C)ancel -> No"), std::string::npos) << text;
  EXPECT_NE(text.find("Done."), std::string::npos) << text;
  EXPECT_EQ(text.find('\a'), std::string::npos);  // a file is not a terminal: no bell
  EXPECT_EQ(std::ftell(in), 0L);
  std::fclose(out);
  std::fclose(in);
}

TEST(PresenterTest, InstalledPresenterTakesEveryBoxAndIsRestored) {
  TQMessageBoxPresenter* before = nullptr;
  {
    RecordingPresenter outer(IDRETRY);
    {
      RecordingPresenter inner(IDCANCEL);
      EXPECT_EQ(TQMessageBox(nullptr, "inner", "c", MB_RETRYCANCEL), IDCANCEL);
      EXPECT_TRUE(TQMessageBeep(MB_ICONHAND));
      EXPECT_EQ(inner.boxes.size(), 1u);
      EXPECT_EQ(inner.beeps, std::vector<UINT>{MB_ICONHAND});
    }
    EXPECT_EQ(TQMessageBox(nullptr, "outer", "c", MB_RETRYCANCEL), IDRETRY);
    EXPECT_EQ(outer.boxes.size(), 1u);
    EXPECT_EQ(outer.boxes[0].text, "outer");
    before = TQSetMessageBoxPresenter(&outer);
    EXPECT_EQ(before, &outer);
  }
  // Back to the default.
  EXPECT_EQ(TQSetMessageBoxPresenter(nullptr), nullptr);
}

}  // namespace
