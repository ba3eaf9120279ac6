// The slave shell: in this process without a connection, and connected for
// real to a master shell in a helper process (shell-master in
// tests/process_helper/shell.cpp). A process may start an endpoint only
// once, so each connected case runs in a process of its own: the test
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
  explicit SlaveShell(TQIPC::RoleType role = TQIPC::Slave) : TQApplSlaveShell(role) {}
  ~SlaveShell() override { TQIPC_Stop(); }
  char const* GetSettingsKeyName() const override { return "TQRTL Slave Shell Test"; }
  char const* GetApplName() const override { return "Slave Test"; }
  char const* GetHelpFileName() const override { return ""; }
  TQWorkspace* CreateWorkspace() override {
    ++created;
    return new TQWorkspace;
  }
  int created = 0;
};

// Counts the Initialized notifications a shell raises.
struct HelloCounter : EventReceiver {
  int count = 0;
  int UponEventNotification(EventNotification const* n, EventSender*) override {
    if (dynamic_cast<TQSession::Initialized const*>(n) == nullptr) return 0;
    ++count;
    return 1;
  }
};

TEST(TQApplSlaveShellTest, WithoutAConnectionThereIsNoWorkspace) {
  // A shell of another role never asks; a slave that cannot reach its
  // master gets no answer. Either way the connect stays unhandled, no
  // workspace is made, and the shell's Initialized goes out as for any
  // shell.
  for (TQIPC::RoleType role : {TQIPC::Master, TQIPC::Slave}) {
    SCOPED_TRACE(role);
    SlaveShell shell(role);
    HelloCounter hello;
    shell.EventRegister(&hello);
    const TQIPC::ConnectMsg msg = {TQIPC::M_CONNECT, 7};
    TQIPC::MultiReply reply;
    EXPECT_EQ(0, shell.EventNotify(TQIPC::ConnectMsgArrived(&reply, &msg)));
    EXPECT_EQ(0, shell.created);
    EXPECT_EQ(nullptr, shell.GetWorkspace());
    EXPECT_EQ(1, hello.count);
    shell.EventUnregister(&hello);
    EXPECT_EQ(1, shell.OnShutDown());
  }
  EXPECT_NE(0u, TQApplShell::m_get_workspace_msg_id);
  EXPECT_EQ(TQApplShell::m_get_workspace_msg_id, RegisterWindowMessageA("TQ_Get_Workspace_Name"));
}

// ------------------------------------------------------------ Two processes

constexpr char kChildVariable[] = "TQRTL_SLAVE_SHELL_TEST_CHILD";

// In the test's first run: starts this executable for the current test
// alone and expects it to pass; returns false. In that second run: true.
bool RunsInOwnProcess() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = std::string(test->test_suite_name()) + "." + test->name();
  char value[256] = "";
  const DWORD n = GetEnvironmentVariableA(kChildVariable, value, sizeof value);
  if (n > 0 && n < sizeof value && name == value) return true;
  SetEnvironmentVariableA(kChildVariable, name.c_str());
  ChildProcess child = StartSelf({"--gtest_filter=" + name});
  SetEnvironmentVariableA(kChildVariable, nullptr);
  EXPECT_TRUE(child.Started());
  EXPECT_EQ(0, child.Wait(120000)) << name << " failed in its own process (output above)";
  return false;
}

// A master shell in a helper process; closed and awaited at the end.
struct Master {
  explicit Master(bool answer) : ready(ScratchPath("master-ready")),
                                 workspace(ScratchPath("master-ws")) {
    std::vector<std::string> args = {"shell-master", ready, workspace};
    if (!answer) args.push_back("--no-answer");
    child = StartHelper(args);
    for (int waited = 0; waited < 60000 && child.Started(); waited += 20) {
      std::ifstream in(ready);
      unsigned long handle = 0, pid = 0;
      if (in >> handle >> pid) {
        window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(handle));
        // A slave finds its master through this variable.
        SetEnvironmentVariableA("TQIPC_TQShell_ENV_VAR", std::to_string(handle).c_str());
        return;
      }
      if (child.Wait(20) != ChildProcess::kTimedOut) return;
    }
  }
  ~Master() {
    if (window != nullptr) {
      PostMessageA(window, WM_CLOSE, 0, 0);
      EXPECT_EQ(0, child.Wait(60000));
    }
    SetEnvironmentVariableA("TQIPC_TQShell_ENV_VAR", nullptr);
    std::remove(ready.c_str());
    std::remove(workspace.c_str());
  }
  std::string ready, workspace;
  ChildProcess child;
  HWND window = nullptr;
};

TEST(TQApplSlaveShellProcessTest, SlaveLoadsTheMastersWorkspace) {
  if (!RunsInOwnProcess()) return;
  Master master(true);
  ASSERT_NE(nullptr, master.window);
  SlaveShell shell;
  ASSERT_EQ(1, shell.OnStartUp());
  EXPECT_EQ(master.window, shell.TQIPC_PartnerWindow());
  ASSERT_NE(nullptr, shell.GetWorkspace());
  EXPECT_EQ(1, shell.created);
  TQWorkspace* workspace = shell.GetWorkspace();
  EXPECT_TRUE(workspace->IsLoaded());
  EXPECT_EQ(master.workspace, workspace->Pathname());
  // What the master saved, read from the file it names.
  EXPECT_STREQ("work-dir", workspace->WorkingDir());
  EXPECT_STREQ("src-a;src-b", workspace->SrcPaths());

  // The master's shell saw this process connect.
  const TQIPC::StandardMsg ask = {0x520, 0, 0};
  TQIPC::SingleReply reply;
  ASSERT_EQ(TQIPC::OK, shell.TQIPC_SendMsg(ask, &reply));
  EXPECT_EQ(GetCurrentProcessId(), reply.DwordVal());

  EXPECT_EQ(1, shell.OnShutDown());
  EXPECT_EQ(nullptr, shell.GetWorkspace());
  EXPECT_EQ(nullptr, shell.TQIPC_Window());
}

TEST(TQApplSlaveShellProcessTest, MasterThatDoesNotAnswerLeavesNoWorkspace) {
  if (!RunsInOwnProcess()) return;
  Master master(false);
  ASSERT_NE(nullptr, master.window);
  SlaveShell shell;
  ASSERT_EQ(1, shell.OnStartUp());
  EXPECT_TRUE(shell.TQIPC_IsConnectionOK());
  EXPECT_EQ(master.window, shell.TQIPC_PartnerWindow());
  EXPECT_EQ(0, shell.created);
  EXPECT_EQ(nullptr, shell.GetWorkspace());
  EXPECT_EQ(1, shell.OnShutDown());
}

}  // namespace
