// Application shell sub-commands of the test helper.
//
//   shell-master READY WORKSPACE [--no-answer]
//     A master application shell. It saves a workspace at the path
//     WORKSPACE (working directory "work-dir", source paths "src-a;src-b"),
//     starts up, writes "WINDOW PID" to READY and serves until its window
//     is closed (exit 0). Its shell answers the workspace request with
//     WORKSPACE, unless --no-answer, and message 0x520 with the process id
//     of the last slave it saw connect (TQSession::Initialized; 0 for none).
//     Exits 3 when the workspace cannot be saved or start-up fails, 4 when
//     nobody closes the window within 120 s.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "process_helper.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/shell/TQApplShell.h"
#include "tqrtl/shell/TQWorkspace.h"

namespace {

void WriteReady(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) return;
  std::fputs(text.c_str(), f);
  std::fclose(f);
  std::rename(temporary.c_str(), path.c_str());
}

class MasterShell : public TQApplShell {
 public:
  MasterShell(TQWorkspace* workspace, bool answer)
      : TQApplShell(TQIPC::Master), workspace_(workspace), answer_(answer) {}
  ~MasterShell() override { TQIPC_Stop(); }

  TQWorkspace* GetWorkspace() const override { return workspace_; }
  char const* GetApplName() const override { return "Helper Master"; }
  char const* GetHelpFileName() const override { return ""; }
  char const* GetSettingsKeyName() const override { return "TQRTL Helper Master"; }

  int UponEventNotification(EventNotification const* n, EventSender* sender) override {
    if (auto const* hello = dynamic_cast<TQSession::Initialized const*>(n)) {
      slave_ = hello->processId;
    }
    return TQApplShell::UponEventNotification(n, sender);
  }

 protected:
  bool TQIPC_OnStandardMessage(TQIPC::StandardMsg const& msg, TQIPC::Reply* reply) override {
    if (msg.message == m_get_workspace_msg_id && answer_) {
      reply->Set(workspace_->Pathname());
      return true;
    }
    if (msg.message == 0x520) {
      reply->Set(static_cast<unsigned long>(slave_));
      return true;
    }
    return TQApplShell::TQIPC_OnStandardMessage(msg, reply);
  }

 private:
  TQWorkspace* workspace_;
  bool answer_;
  DWORD slave_ = 0;
};

int ShellMaster(int argc, char** argv) {
  if (argc < 3 || argc > 4) return 64;
  const std::string ready = argv[1];
  const bool answer = argc < 4 || std::strcmp(argv[3], "--no-answer") != 0;
  TQWorkspace workspace;
  if (!workspace.Load(argv[2], "helper")) return 3;
  workspace.WorkingDir() = "work-dir";
  workspace.SrcPaths() = "src-a;src-b";
  workspace.Save();
  if (workspace.LastSaveFailed()) return 3;

  MasterShell shell(&workspace, answer);
  if (!shell.OnStartUp()) return 3;
  const DWORD window = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(shell.TQIPC_Window()));
  WriteReady(ready, std::to_string(window) + " " + std::to_string(GetCurrentProcessId()) + "\n");
  int code = 4;
  for (int waited = 0; waited < 120000; waited += 20) {
    if (shell.TQIPC_Window() == nullptr) {
      code = 0;
      break;
    }
    Sleep(20);
  }
  shell.OnShutDown();
  return code;
}

const ProcessCommand kShellMaster("shell-master", ShellMaster);

}  // namespace
