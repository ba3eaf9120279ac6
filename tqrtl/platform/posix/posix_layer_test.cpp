// Tests of details that only the POSIX layer has: the errno mapping, the
// failure seam, MessageBoxA through the presenter, the terminal presenter
// asking on a real (pseudo-)terminal, the single-threaded flag, and what
// ReplaceFileA keeps of the replaced file.
#include <errno.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "process_support.h"
#include "test_support.h"
#include "tqrtl/platform/posix/internal.h"

namespace {

TEST(ErrnoMappingTest, CommonErrorsHaveTheirWin32Codes) {
  const struct {
    int error;
    DWORD win32;
  } kCases[] = {
      {0, ERROR_SUCCESS},           {ENOENT, ERROR_FILE_NOT_FOUND},
      {ENOTDIR, ERROR_PATH_NOT_FOUND}, {EACCES, ERROR_ACCESS_DENIED},
      {EPERM, ERROR_ACCESS_DENIED}, {EBADF, ERROR_INVALID_HANDLE},
      {ENOMEM, ERROR_NOT_ENOUGH_MEMORY}, {EEXIST, ERROR_ALREADY_EXISTS},
      {EINVAL, ERROR_INVALID_PARAMETER}, {ENOSPC, ERROR_DISK_FULL},
      {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE}, {ETIMEDOUT, ERROR_TIMEOUT},
      {ENOTEMPTY, ERROR_DIR_NOT_EMPTY}, {EPIPE, ERROR_BROKEN_PIPE},
      {12345, ERROR_INVALID_FUNCTION},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(tqrtl::posix::Win32ErrorFromErrno(c.error), c.win32) << "errno " << c.error;
}

TEST(ErrnoMappingTest, EveryMappedCodeHasASystemText) {
  char text[1024];
  for (int error = 0; error < 200; ++error) {
    const DWORD code = tqrtl::posix::Win32ErrorFromErrno(error);
    EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof(text), nullptr),
              0u)
        << "errno " << error << " -> " << code;
  }
}

// ReplaceFileA gives the replacement the replaced file's permissions, whatever
// mode the replacement was made with.
TEST(ReplaceFileTest, TheReplacementTakesThePermissionsOfTheReplacedFile) {
  char dir[] = "/tmp/tqrtl_replace_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string replaced = std::string(dir) + "/replaced", replacement = replaced + ".new";
  for (const mode_t mode : {0640, 0444}) {
    for (const std::string& path : {replaced, replacement}) {
      std::FILE* file = std::fopen(path.c_str(), "w");
      ASSERT_NE(file, nullptr);
      std::fclose(file);
      ASSERT_EQ(chmod(path.c_str(), path == replaced ? mode : 0600), 0);
    }
    ASSERT_TRUE(ReplaceFileA(replaced.c_str(), replacement.c_str(), nullptr, 0, nullptr, nullptr));
    struct stat facts;
    ASSERT_EQ(stat(replaced.c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 07777, mode) << std::oct << mode;
    unlink(replaced.c_str());
  }
  rmdir(dir);
}

TEST(PosixPresenterTest, MessageBoxGoesThroughThePresenter) {
  RecordingPresenter presenter(IDYES);
  EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_YESNO), IDYES);
  EXPECT_TRUE(MessageBeep(0xFFFFFFFFu));
  ASSERT_EQ(presenter.boxes.size(), 1u);
  EXPECT_EQ(presenter.boxes[0].caption, "caption");
  EXPECT_EQ(presenter.beeps, std::vector<UINT>{0xFFFFFFFFu});
}

// A pseudo-terminal stands in for a person at a terminal.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    in_ = fdopen(dup(slave_), "r");
    out_ = fdopen(dup(slave_), "w");
  }
  ~PseudoTerminal() {
    if (in_) std::fclose(in_);
    if (out_) std::fclose(out_);
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  bool ok() const { return in_ != nullptr && out_ != nullptr; }
  void Type(const char* keys) { ASSERT_GT(write(master_, keys, std::strlen(keys)), 0); }
  FILE* in() { return in_; }
  FILE* out() { return out_; }

 private:
  int master_ = -1, slave_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
};

TEST(PosixPresenterTest, TerminalPresenterAsksAPersonAtATerminal) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  TQTerminalPresenter presenter(terminal.out(), terminal.in());
  terminal.Type("n\n");
  EXPECT_EQ(presenter.Show(nullptr, "Overwrite?", "Tool", MB_YESNO), IDNO);
  terminal.Type("\n");  // an empty answer takes the default
  EXPECT_EQ(presenter.Show(nullptr, "Again?", "Tool", MB_YESNO | MB_DEFBUTTON2), IDNO);
  terminal.Type("x\nr\n");  // an unknown key asks again
  EXPECT_EQ(presenter.Show(nullptr, "Disk busy", "Tool", MB_ABORTRETRYIGNORE), IDRETRY);
}

TEST(SystemCallSeamTest, ReplacedCallsAreUsedAndRestored) {
  tqrtl::posix::SystemCalls calls = tqrtl::posix::Sys();
  calls.isatty = [](int) { return 1; };  // everything looks like a terminal
  tqrtl::posix::SetSystemCalls(calls);
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  TQTerminalPresenter presenter(out, nullptr);
  presenter.Beep(MB_OK);
  tqrtl::posix::ResetSystemCalls();
  presenter.Beep(MB_OK);
  std::rewind(out);
  std::string text;
  for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
  EXPECT_EQ(text, "\a");  // one bell: only while the seam said "terminal"
  std::fclose(out);
}

}  // namespace

namespace {

// Runs the dlclose helper and returns what it printed.
std::string RunDlcloseHelper(const char* mode) {
  const std::string command =
      std::string(TQRTL_DLCLOSE_HELPER) + " " + TQRTL_LIBRARY_FILE + " " + mode;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string output;
  char line[256];
  while (std::fgets(line, sizeof(line), pipe) != nullptr) output += line;
  EXPECT_EQ(pclose(pipe), 0) << output;
  return output;
}

// In a process of its own, since any earlier test here may have started a
// thread already.
TEST(SingleThreadedTest, TrueUntilTheSecondThreadStartsAndFalseFromThenOn) {
  EXPECT_EQ(RunHelper({"single-threaded-flag"}), 0);
}

TEST(ModuleEntryTest, AttachOnLoadDetachOnDlclose) {
  EXPECT_EQ(RunDlcloseHelper("unload"), "loaded attached\ncallback detached\nclosed\n");
}

TEST(ModuleEntryTest, DlcloseAfterKickShutDownRunsNothingMore) {
  EXPECT_EQ(RunDlcloseHelper("kick"), "loaded attached\ncallback attached\nkicked\nclosed\n");
}

}  // namespace
