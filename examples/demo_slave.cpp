// tqdemo_slave: the demo's slave tool.
//
//   tqdemo_slave run SOURCES FILE   attach, work, detach
//   tqdemo_slave stop               attach, ask the master to stop, detach
//
// Both attach to the running master (found through the registry, where the
// master published its window) and load the master's workspace. "run" then
// runs commands through their phases, which the master's side (its
// plug-in) takes part in: "build" runs, "clean" is refused in the master.
// It looks for FILE with a file finder over the workspace's search path,
// which does not find it, adds the directory SOURCES to the workspace's
// source paths, saves the workspace, finds FILE there, and has the master
// reload the workspace. "stop" runs the "stop-master" command.
//
// Exit codes: 0 every step went as expected; 1 bad command line; 2 no master
// to attach to; 3 a step went otherwise (the line before says which).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "demo_shared.h"
#include "tqrtl/tqrtl.h"

namespace {

constexpr char kWho[] = "[slave]";

class SlaveShell : public TQApplSlaveShell {
 public:
  ~SlaveShell() override { TQIPC_Stop(); }
  char const* GetApplName() const override { return "Demo Slave"; }
  char const* GetHelpFileName() const override { return ""; }
  char const* GetSettingsKeyName() const override { return "Demo Slave"; }
  // Called when the master has named its workspace: the slave's own kind of
  // workspace object, which the shell then loads and owns.
  TQWorkspace* CreateWorkspace() override { return new TQWorkspace; }
};

// The slave's own handler: it sees the phases too, here only to show that a
// refusal in the master reaches the handlers of both processes.
class SlaveCommands : public TQCommandHandler {
 public:
  void TQCH_OnPostExecute(int command, bool refused) override {
    if (refused) demo::Say(kWho, "was told \"%s\" did not run", demo::CommandName(command));
  }
};

enum class Outcome { kRan, kRefused, kDisabled };

// A command as an application runs one: may it be enabled, may it run now,
// (it runs), it has run. Each question goes to the master first.
Outcome RunCommand(TQApplShell& shell, int command) {
  char const* const name = demo::CommandName(command);
  if (!shell.TQCT_CanEnable(command)) {
    demo::Say(kWho, "\"%s\" cannot be enabled", name);
    return Outcome::kDisabled;
  }
  if (!shell.TQCT_PreExecute(command)) {
    demo::Say(kWho, "\"%s\" was refused", name);
    return Outcome::kRefused;
  }
  demo::Say(kWho, "\"%s\" runs", name);
  shell.TQCT_PostExecute(command, false);
  return Outcome::kRan;
}

bool Expect(bool ok, char const* what) {
  if (!ok) demo::Say(kWho, "FAILED: %s", what);
  return ok;
}

// Looks for `file` along the workspace's search path, adds `sources` to it,
// saves the workspace and looks again.
bool FindThroughWorkspace(SlaveShell& shell, TQWorkspace& workspace, char const* sources,
                          char const* file) {
  // The finder holds the search path (reference-counted) and deletes it.
  auto* path = new WorkspaceSearchPath(&workspace);
  std::unique_ptr<FileFinder> finder(shell.MakeFileFinder(path, shell.GetApplName()));
  TQString found;
  const int before = finder->Find(file, &found, 0);
  demo::Say(kWho, "looks for %s along \"%s\": %s", file,
            static_cast<char const*>(path->Value()),
            before ? static_cast<char const*>(found) : "not found");
  if (!Expect(before == 0, "the file was found before its directory was on the path")) {
    return false;
  }

  path->Add(sources);
  workspace.Save();
  if (!Expect(!workspace.LastSaveFailed(), "saving the workspace")) return false;
  demo::Say(kWho, "added %s to the workspace's source paths and saved it", sources);

  // The finder remembers that the file was not found; force a new search.
  const int after = finder->Find(file, &found, 1);
  demo::Say(kWho, "looks for %s again: %s", file,
            after ? static_cast<char const*>(found) : "not found");
  return Expect(after == 1, "the file was not found in the added directory");
}

int Usage() {
  std::fprintf(stderr,
               "usage: tqdemo_slave run SOURCES FILE\n"
               "       tqdemo_slave stop\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool run = argc == 4 && std::strcmp(argv[1], "run") == 0;
  const bool stop = argc == 2 && std::strcmp(argv[1], "stop") == 0;
  if (!run && !stop) return Usage();

  SlaveShell shell;
  SlaveCommands commands;
  shell.EventRegister(&commands);
  // Attaching happens inside start-up: the endpoint connects to the master,
  // asks for the workspace and loads it.
  if (!shell.OnStartUp()) {
    shell.EventUnregister(&commands);
    demo::Say(kWho, "cannot attach: no master is running (start tqdemo_master first)");
    return 2;
  }
  demo::Say(kWho, "attached to the master (window %lu)",
            static_cast<unsigned long>(
                reinterpret_cast<std::uintptr_t>(shell.TQIPC_PartnerWindow())));

  bool ok = true;
  TQWorkspace* workspace = shell.GetWorkspace();
  if (workspace == nullptr || !workspace->IsLoaded()) {
    demo::Say(kWho, "FAILED: the master named no workspace that loads");
    ok = false;
  } else if (run) {
    demo::Say(kWho, "loaded the master's workspace %s (source paths \"%s\")",
              workspace->Pathname(), static_cast<char const*>(workspace->SrcPaths()));
  }

  // The directory goes into the workspace, which other processes read: its
  // full path.
  char sources[MAX_PATH] = "";
  if (run && _fullpath(sources, argv[2], sizeof sources) == nullptr) {
    demo::Say(kWho, "FAILED: no full path for %s", argv[2]);
    ok = false;
  }

  if (ok && run) {
    ok = Expect(RunCommand(shell, demo::kBuild) == Outcome::kRan, "\"build\" did not run") &&
         Expect(RunCommand(shell, demo::kClean) == Outcome::kRefused,
                "\"clean\" was not refused") &&
         FindThroughWorkspace(shell, *workspace, sources, argv[3]) &&
         Expect(RunCommand(shell, demo::kReloadWorkspace) == Outcome::kRan,
                "\"reload-workspace\" did not run");
  } else if (ok && stop) {
    ok = Expect(RunCommand(shell, demo::kStopMaster) == Outcome::kRan,
                "\"stop-master\" did not run");
  }

  const int down = shell.OnShutDown();
  shell.EventUnregister(&commands);
  demo::Say(kWho, "detached");
  return ok && down ? 0 : 3;
}
