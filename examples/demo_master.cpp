// tqdemo_master: the demo's master tool.
//
//   tqdemo_master WORKSPACE [--ready FILE]
//
// Loads the workspace WORKSPACE (a storage file, created when missing),
// starts up (the plug-ins named in the registry first, then the messaging
// endpoint that slaves attach to), answers the slaves' workspace request
// with WORKSPACE, and serves until it is told to stop: by a slave running
// the "stop-master" command, by SIGINT or SIGTERM, or by its window being
// closed. Then it shuts down (plug-ins stopped and unloaded, endpoint
// closed). With --ready, the endpoint's window number is written to FILE
// once slaves can attach.
//
// Exit codes: 0 stopped as asked; 1 bad command line; 2 the workspace could
// not be loaded; 3 start-up failed (a plug-in did not load or start, or the
// endpoint did not open); 4 a plug-in refused to shut down.
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "demo_shared.h"
#include "tqrtl/tqrtl.h"

namespace {

constexpr char kWho[] = "[master]";

volatile std::sig_atomic_t g_signal = 0;
extern "C" void OnSignal(int number) { g_signal = number; }

class MasterShell;

// The master's own part in its commands: it acts on the two commands that
// concern it once they have run. Phases that arrive from a slave run on the
// endpoint's window thread; the main thread only reads the stop flag.
class MasterCommands : public TQCommandHandler {
 public:
  explicit MasterCommands(MasterShell* shell) : m_shell(shell) {}
  void TQCH_OnPostExecute(int command, bool refused) override;
  bool StopRequested() const { return m_stop.load(); }

 private:
  MasterShell* m_shell;
  std::atomic<bool> m_stop{false};
};

class MasterShell : public TQApplShell {
 public:
  explicit MasterShell(TQWorkspace* workspace)
      : TQApplShell(TQIPC::Master), m_workspace(workspace), m_commands(this) {
    EventRegister(&m_commands);
  }
  ~MasterShell() override {
    // No phase from a slave may reach the handler while it goes.
    TQIPC_Stop();
    EventUnregister(&m_commands);
  }

  TQWorkspace* GetWorkspace() const override { return m_workspace; }
  char const* GetApplName() const override { return "Demo Master"; }
  char const* GetHelpFileName() const override { return ""; }
  // HKLM and HKCU "Software\Vantor\Demo Master": the plug-in list lives in
  // the machine key.
  char const* GetSettingsKeyName() const override { return "Demo Master"; }

  bool StopRequested() const { return m_commands.StopRequested(); }

 protected:
  // The slaves' workspace request. The library leaves the answer to the
  // master: the path of the workspace it works on.
  bool TQIPC_OnStandardMessage(TQIPC::StandardMsg const& msg, TQIPC::Reply* reply) override {
    if (msg.message != m_get_workspace_msg_id) {
      return TQApplShell::TQIPC_OnStandardMessage(msg, reply);
    }
    demo::Say(kWho, "a slave asks for the workspace: %s", m_workspace->Pathname());
    reply->Set(m_workspace->Pathname());
    return true;
  }

 private:
  TQWorkspace* m_workspace;
  MasterCommands m_commands;
};

void MasterCommands::TQCH_OnPostExecute(int command, bool refused) {
  if (refused) return;
  if (command == demo::kReloadWorkspace) {
    // The slave saved the workspace file; read it again.
    TQWorkspace* workspace = m_shell->GetWorkspace();
    const TQString path(workspace->Pathname());
    if (workspace->Load(path, nullptr)) {
      demo::Say(kWho, "reloaded the workspace: source paths \"%s\"", static_cast<char const*>(workspace->SrcPaths()));
    } else {
      demo::Say(kWho, "could not reload the workspace %s", static_cast<char const*>(path));
    }
  } else if (command == demo::kStopMaster) {
    demo::Say(kWho, "a slave asked me to stop");
    m_stop = true;
  }
}

bool WriteReadyFile(std::string const& ready, HWND window) {
  // Written whole under another name and renamed, so that a reader never
  // sees half a number.
  const std::string temporary = ready + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) return false;
  std::fprintf(f, "%lu\n",
               static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(window)));
  const bool written = std::fclose(f) == 0;
  return written && std::rename(temporary.c_str(), ready.c_str()) == 0;
}

int Usage() {
  std::fprintf(stderr, "usage: tqdemo_master WORKSPACE [--ready FILE]\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ready;
  if (argc == 4 && std::strcmp(argv[2], "--ready") == 0) ready = argv[3];
  else if (argc != 2) return Usage();
  // Slaves may run in another directory: they get the absolute path.
  char path[MAX_PATH];
  if (_fullpath(path, argv[1], sizeof path) == nullptr) return Usage();

  TQWorkspace workspace;
  if (!workspace.Load(path, "demo")) {
    demo::Say(kWho, "cannot load the workspace %s", path);
    return 2;
  }
  demo::Say(kWho, "workspace %s loaded (source paths \"%s\")", path, static_cast<char const*>(workspace.SrcPaths()));

  MasterShell shell(&workspace);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  demo::Say(kWho, "starting up: plug-ins from HKLM\\Software\\Vantor\\%s\\FrameworkShells\\Master",
            shell.GetSettingsKeyName());
  if (!shell.OnStartUp()) {
    demo::Say(kWho, "start-up failed: a plug-in did not load or start, or the endpoint did not open");
    return 3;
  }
  const HWND window = shell.TQIPC_Window();
  demo::Say(kWho, "endpoint open (window %lu); slaves may attach",
            static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(window)));
  if (!ready.empty() && !WriteReadyFile(ready, window)) {
    demo::Say(kWho, "cannot write %s", ready.c_str());
    shell.OnShutDown();
    return 3;
  }

  // Serve: the endpoint's own thread answers the slaves; this thread only
  // waits for one of the ways to stop.
  while (!shell.StopRequested() && g_signal == 0 && shell.TQIPC_Window() != nullptr) Sleep(20);
  if (g_signal != 0) demo::Say(kWho, "signal %d: stopping", static_cast<int>(g_signal));
  else if (shell.TQIPC_Window() == nullptr) demo::Say(kWho, "my window was closed: stopping");

  const int down = shell.OnShutDown();
  workspace.Close();
  demo::Say(kWho, down ? "shut down: plug-ins stopped and unloaded, endpoint closed"
                       : "shut down, but a plug-in refused to stop");
  return down ? 0 : 4;
}
