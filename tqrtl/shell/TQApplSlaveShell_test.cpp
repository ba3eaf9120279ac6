// A slave shell connected for real to a master shell in a helper process
// (shell-master in tests/process_helper/shell.cpp). A process may start an
// endpoint only once, so each case runs in a process of its own: the test
// starts this executable again for just that test.
#include "tqrtl/shell/TQApplSlaveShell.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "process_support.h"
#include "registry_test_support.h"
#include "tqrtl/shell/TQWorkspace.h"

namespace {

class SlaveShell : public TQApplSlaveShell {
 public:
  ~SlaveShell() override { TQIPC_Stop(); }
  char const* GetSettingsKeyName() const override { return "TQRTL Slave Shell Test"; }
  char const* GetApplName() const override { return "Slave Test"; }
  char const* GetHelpFileName() const override { return ""; }
  TQWorkspace* CreateWorkspace() override { return new TQWorkspace; }
};

constexpr char kChildVariable[] = "TQRTL_SLAVE_SHELL_TEST_CHILD";

// In the test's first run: starts this executable for the current test
// alone, expects it to pass and returns false. In that second run: true.
bool RunsInOwnProcess() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = std::string(test->test_suite_name()) + "." + test->name();
  char value[256] = "";
  const DWORD n = GetEnvironmentVariableA(kChildVariable, value, sizeof value);
  if (n > 0 && n < sizeof value && name == value) return true;
  SetEnvironmentVariableA(kChildVariable, name.c_str());
  ChildProcess child = StartSelf({"--gtest_filter=" + name});
  SetEnvironmentVariableA(kChildVariable, nullptr);
  EXPECT_EQ(0, child.Wait(120000)) << name << " failed in its own process (output above)";
  return false;
}

// Starts a master that has saved a workspace, and a slave shell that finds
// it; checks the connection and returns the slave's workspace path ("none"
// for no workspace), taken before the slave shuts down.
std::string ConnectSlave(bool masterAnswers) {
  const std::string ready = ScratchPath("master-ready"), saved = ScratchPath("master-ws");
  std::vector<std::string> args = {"shell-master", ready, saved};
  if (!masterAnswers) args.push_back("--no-answer");
  ChildProcess master = StartHelper(args);
  // Read until the number is there: under Wine the file can be found a
  // moment before it can be read (about one run in twenty).
  unsigned long window = 0;
  for (int waited = 0; waited < 60000 && window == 0; waited += 10) {
    std::ifstream(ready) >> window;
    if (window == 0) Sleep(10);
  }
  EXPECT_NE(0u, window) << "the master did not come up";
  SetEnvironmentVariableA("TQIPC_TQShell_ENV_VAR", std::to_string(window).c_str());
  std::string result = "not connected";
  {
    SlaveShell shell;
    if (shell.OnStartUp() == 1 && shell.TQIPC_IsConnectionOK()) {
      TQWorkspace* workspace = shell.GetWorkspace();
      result = workspace == nullptr ? "none" : workspace->Pathname();
      // What the master saved, read from the file it named.
      if (workspace != nullptr) {
        EXPECT_STREQ("src-a;src-b", workspace->SrcPaths());
      }
      EXPECT_EQ(1, shell.OnShutDown());
      EXPECT_EQ(nullptr, shell.GetWorkspace());
    }
  }
  PostMessageA(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)), WM_CLOSE, 0, 0);
  EXPECT_EQ(0, master.Wait(60000));
  std::remove(ready.c_str());
  std::remove(saved.c_str());
  return result == saved ? "the master's" : result;
}

TEST(TQApplSlaveShellProcessTest, SlaveLoadsTheMastersWorkspace) {
  if (RunsInOwnProcess()) {
    EXPECT_EQ("the master's", ConnectSlave(true));
  }
}

TEST(TQApplSlaveShellProcessTest, MasterThatDoesNotAnswerLeavesTheSlaveWithoutAWorkspace) {
  if (RunsInOwnProcess()) {
    EXPECT_EQ("none", ConnectSlave(false));
  }
}

}  // namespace
