// demo_plugin: a framework shell (plug-in module) for the demo's master.
//
// The master loads it because the registry names it under the master's
// "FrameworkShells\Master" key. Once started, it takes part in every command
// of the master's command table, including the phases that a slave asks
// about from its own process: it agrees to everything except running
// "clean", which it refuses. The slave sees that refusal as the answer to
// its own TQCT_PreExecute.
#include "demo_shared.h"
#include "tqrtl/tqrtl.h"

namespace {

constexpr char kWho[] = "[plug-in]";

class CleanRefuser : public TQCommandHandler {
 public:
  bool TQCH_OnPreExecute(int command) override {
    if (command == demo::kClean) {
      demo::Say(kWho, "refuses \"%s\": the build output is in use", demo::CommandName(command));
      return false;
    }
    demo::Say(kWho, "agrees to run \"%s\"", demo::CommandName(command));
    return true;
  }
  void TQCH_OnPostExecute(int command, bool refused) override {
    if (refused) demo::Say(kWho, "was told \"%s\" did not run", demo::CommandName(command));
  }
};

class DemoPlugin : public TQFrameworkShell {
 public:
  DemoPlugin() { demo::Say(kWho, "loaded into the master"); }
  ~DemoPlugin() override { demo::Say(kWho, "unloaded"); }

  bool TQDO_StartUp() override {
    // The shell that started this plug-in is the process's current shell;
    // it is also the command table that the slave's questions reach.
    m_table = TQApplShell::Instance();
    if (m_table == nullptr) return false;
    m_table->EventRegister(&m_handler);
    TQDO_SetState(TQDO_StateStarted);
    demo::Say(kWho, "started: watching the commands of \"%s\"", m_table->GetApplName());
    return true;
  }

  bool TQDO_ShutDown() override {
    // A handler must leave the table before it is destroyed, which happens
    // when the module is unloaded.
    if (m_table != nullptr) m_table->EventUnregister(&m_handler);
    m_table = nullptr;
    TQDO_SetState(TQDO_StateShutDown);
    demo::Say(kWho, "shut down");
    return true;
  }

 private:
  TQApplShell* m_table = nullptr;
  CleanRefuser m_handler;
};

}  // namespace

extern "C" TQ_MODULE_EXPORT void* GetTQFrameworkShellInstance() {
  // Static: unloading the module destroys it; the library never deletes a
  // framework shell.
  static DemoPlugin plugin;
  return static_cast<TQFrameworkShell*>(&plugin);
}
