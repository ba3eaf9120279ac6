// Command table sub-commands of the test helper: a command table endpoint
// with one recording command handler, driven by the test through messages
// to its window.
//
//   cmd-master NAME READY [options]   a master command table
//   cmd-slave NAME READY [options]    a slave command table
//       --master HANDLE   puts HANDLE in the connection's environment
//           variable before the start (a slave finds its master by it)
//       --refuse-can C    the handler refuses to enable command C
//       --refuse-pre C    the handler refuses to run command C
//       --sleep-can MS    the handler sleeps MS ms in every CanEnable
//       --timeout MS      the endpoint's send time-out (default 0)
//     Once up, writes "WINDOW PID" to READY and serves until its window is
//     closed (exit 0); exits 3 when the start fails, 4 when nobody closes
//     the window within 120 s.
//
// Messages the helper's second receiver answers (wParam W, lParam L), all
// run on the window thread:
//   0x510 bool TQCT_CanEnable(W)       0x511 bool TQCT_PreExecute(W)
//   0x512 TQCT_PostExecute(W, L != 0)  0x513 TQCT_UpdateEnables()
//   0x514 text: what the handler saw since the last 0x514, in order and
//         separated by spaces: "C7" CanEnable 7, "P7" PreExecute 7,
//         "O7:1" PostExecute 7 with flag true, "U" a refresh request.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "process_helper.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/shell/TQCommandTable.h"

namespace {

class RecordingHandler : public TQCommandHandler {
 public:
  int refuseCan = -1;
  int refusePre = -1;
  DWORD sleepCan = 0;
  std::string log;

  int UponEventNotification(EventNotification const* n, EventSender* sender) override {
    if (dynamic_cast<TQCommandUpdateEnabledNotification const*>(n) != nullptr) {
      Add("U");
      return 1;
    }
    return TQCommandHandler::UponEventNotification(n, sender);
  }
  bool TQCH_OnCanEnable(int command) override {
    Add("C" + std::to_string(command));
    if (sleepCan != 0) Sleep(sleepCan);
    return command != refuseCan;
  }
  bool TQCH_OnPreExecute(int command) override {
    Add("P" + std::to_string(command));
    return command != refusePre;
  }
  void TQCH_OnPostExecute(int command, bool flag) override {
    Add("O" + std::to_string(command) + (flag ? ":1" : ":0"));
  }

 private:
  void Add(const std::string& entry) { log += (log.empty() ? "" : " ") + entry; }
};

class Driver : public TQIPC_MessageHandler {
 public:
  Driver(TQCommandTable* table, RecordingHandler* handler) : table_(table), handler_(handler) {}

 protected:
  bool TQIPC_OnStandardMessage(TQIPC::StandardMsg const& msg, TQIPC::Reply* reply) override {
    const int command = static_cast<int>(msg.wParam);
    switch (msg.message) {
      case 0x510: reply->Set(table_->TQCT_CanEnable(command)); return true;
      case 0x511: reply->Set(table_->TQCT_PreExecute(command)); return true;
      case 0x512: table_->TQCT_PostExecute(command, msg.lParam != 0); return true;
      case 0x513: table_->TQCT_UpdateEnables(); return true;
      case 0x514:
        reply->Set(handler_->log.c_str());
        handler_->log.clear();
        return true;
      default: return false;
    }
  }

 private:
  TQCommandTable* table_;
  RecordingHandler* handler_;
};

int RunTable(TQIPC::RoleType role, int argc, char** argv) {
  if (argc < 3) return 64;
  const std::string name = argv[1];
  const std::string ready = argv[2];
  const char* master = nullptr;
  unsigned timeout = 0;
  int refuseCan = -1, refusePre = -1;
  DWORD sleepCan = 0;
  for (int i = 3; i < argc; ++i) {
    if (i + 1 >= argc) return 64;
    const char* option = argv[i];
    const char* value = argv[++i];
    if (std::strcmp(option, "--master") == 0) master = value;
    else if (std::strcmp(option, "--refuse-can") == 0) refuseCan = std::atoi(value);
    else if (std::strcmp(option, "--refuse-pre") == 0) refusePre = std::atoi(value);
    else if (std::strcmp(option, "--sleep-can") == 0) sleepCan = std::strtoul(value, nullptr, 10);
    else if (std::strcmp(option, "--timeout") == 0) timeout = std::strtoul(value, nullptr, 10);
    else return 64;
  }
  const std::string variable = "TQIPC_" + name + "_ENV_VAR";
  SetEnvironmentVariableA(variable.c_str(), master);

  // On the heap, so that a memory checker sees any use after the delete.
  auto* handler = new RecordingHandler;
  handler->refuseCan = refuseCan;
  handler->refusePre = refusePre;
  handler->sleepCan = sleepCan;
  auto* table = new TQCommandTable(role, name.c_str(), nullptr, timeout);
  auto* driver = new Driver(table, handler);
  table->EventRegister(handler);
  table->EventRegister(driver);
  int code = 3;
  if (table->TQIPC_Start(role, name.c_str(), nullptr, timeout)) {
    const DWORD window =
        static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(table->TQIPC_Window()));
    WriteWholeFile(ready,
                   std::to_string(window) + " " + std::to_string(GetCurrentProcessId()) + "\n");
    code = 4;
    for (int waited = 0; waited < 120000; waited += 20) {
      if (table->TQIPC_Window() == nullptr) {
        code = 0;
        break;
      }
      Sleep(20);
    }
  }
  table->TQIPC_Stop();
  table->EventUnregister(driver);
  table->EventUnregister(handler);
  delete driver;
  delete handler;
  delete table;
  return code;
}

int Master(int argc, char** argv) { return RunTable(TQIPC::Master, argc, argv); }
int Slave(int argc, char** argv) { return RunTable(TQIPC::Slave, argc, argv); }

const ProcessCommand kMaster("cmd-master", Master);
const ProcessCommand kSlave("cmd-slave", Slave);

}  // namespace
