// Application shell sub-command of the test helper.
//
//   shell-master READY WORKSPACE [--no-answer]
//     A master application shell. It saves a workspace at the path
//     WORKSPACE (source paths "src-a;src-b"), starts up, writes its window
//     handle to READY and serves until its window is closed (exit 0). Its
//     shell answers the workspace request with WORKSPACE, unless
//     --no-answer. Exits 3 when saving or start-up fails, 4 when nobody
//     closes the window within 120 s.
#include <cstdint>
#include <cstring>
#include <string>

#include "process_helper.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/shell/TQApplShell.h"
#include "tqrtl/shell/TQWorkspace.h"

namespace {

class MasterShell : public TQApplShell {
 public:
  MasterShell(TQWorkspace* workspace, bool answer)
      : TQApplShell(TQIPC::Master), workspace_(workspace), answer_(answer) {}
  ~MasterShell() override { TQIPC_Stop(); }
  TQWorkspace* GetWorkspace() const override { return workspace_; }
  char const* GetApplName() const override { return "Helper Master"; }
  char const* GetHelpFileName() const override { return ""; }
  char const* GetSettingsKeyName() const override { return "TQRTL Helper Master"; }

 protected:
  bool TQIPC_OnStandardMessage(TQIPC::StandardMsg const& msg, TQIPC::Reply* reply) override {
    if (msg.message != m_get_workspace_msg_id || !answer_) {
      return TQApplShell::TQIPC_OnStandardMessage(msg, reply);
    }
    reply->Set(workspace_->Pathname());
    return true;
  }

 private:
  TQWorkspace* workspace_;
  bool answer_;
};

int ShellMaster(int argc, char** argv) {
  if (argc < 3 || argc > 4) return 64;
  TQWorkspace workspace;
  if (!workspace.Load(argv[2], "helper")) return 3;
  workspace.SrcPaths() = "src-a;src-b";
  workspace.Save();
  MasterShell shell(&workspace, argc < 4 || std::strcmp(argv[3], "--no-answer") != 0);
  if (workspace.LastSaveFailed() || !shell.OnStartUp()) return 3;
  WriteWholeFile(argv[1],
                 std::to_string(reinterpret_cast<std::uintptr_t>(shell.TQIPC_Window())) + "\n");
  int code = 4;
  for (int waited = 0; waited < 120000 && code == 4; waited += 20) {
    if (shell.TQIPC_Window() == nullptr) code = 0;
    Sleep(20);
  }
  shell.OnShutDown();
  return code;
}

const ProcessCommand kShellMaster("shell-master", ShellMaster);

}  // namespace
