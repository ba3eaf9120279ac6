// The command table: how local handlers combine (in this process), and how
// the two sides of a connection agree (between helper processes: cmd-master
// and cmd-slave in tests/process_helper/commands.cpp, driven through their
// windows, while this process has no endpoint).
#include "tqrtl/shell/TQCommandTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "endpoint_support.h"
#include "process_support.h"
#include "registry_test_support.h"
#include "tqrtl/shell/TQApplShell.h"

namespace {

// ------------------------------------------------------------ In one process

// Records each call as "<id><phase><command>" into a log shared by all.
class Recorder : public TQCommandHandler {
 public:
  Recorder(char id, std::string* log, int refuseCan = -1, int refusePre = -1)
      : id_(id), log_(log), refuseCan_(refuseCan), refusePre_(refusePre) {}
  bool TQCH_OnCanEnable(int command) override {
    Add("C" + std::to_string(command));
    return command != refuseCan_;
  }
  bool TQCH_OnPreExecute(int command) override {
    Add("P" + std::to_string(command));
    return command != refusePre_;
  }
  void TQCH_OnPostExecute(int command, bool flag) override {
    Add("O" + std::to_string(command) + (flag ? ":1" : ":0"));
  }

 private:
  void Add(const std::string& entry) {
    *log_ += (log_->empty() ? "" : " ") + std::string(1, id_) + entry;
  }
  char id_;
  std::string* log_;
  int refuseCan_;
  int refusePre_;
};

struct UpdateCounter : EventReceiver {
  int updates = 0;
  int UponEventNotification(EventNotification const* n, EventSender*) override {
    if (dynamic_cast<TQCommandUpdateEnabledNotification const*>(n) == nullptr) return 0;
    ++updates;
    return 1;
  }
};

TEST(TQCommandTableTest, LocalHandlersAreAllAskedAndMustAllAgree) {
  enum Call { CanEnable, PreExecute, PostExecute };
  struct Row {
    Call call;
    int command;
    bool flag;
    bool answer;  // PostExecute answers nothing
    const char* log;
  };
  // a refuses to enable 5, b refuses to run 6, c agrees to everything.
  const Row rows[] = {
      {CanEnable, 5, false, false, "aC5 bC5 cC5"},
      {CanEnable, 6, false, true, "aC6 bC6 cC6"},
      {PreExecute, 6, false, false, "aP6 bP6 cP6 aO6:1 bO6:1 cO6:1"},
      {PreExecute, 5, false, true, "aP5 bP5 cP5"},
      {PostExecute, 5, false, true, "aO5:0 bO5:0 cO5:0"},
      {PostExecute, 6, true, true, "aO6:1 bO6:1 cO6:1"},
  };
  std::string log;
  Recorder a('a', &log, 5, -1), b('b', &log, -1, 6), c('c', &log);
  TQCommandTable table;
  for (Recorder* r : {&a, &b, &c}) table.EventRegister(r);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.log);
    log.clear();
    switch (row.call) {
      case CanEnable: EXPECT_EQ(row.answer, table.TQCT_CanEnable(row.command)); break;
      case PreExecute: EXPECT_EQ(row.answer, table.TQCT_PreExecute(row.command)); break;
      case PostExecute: table.TQCT_PostExecute(row.command, row.flag); break;
    }
    EXPECT_EQ(row.log, log);
  }

  // Refresh requests reach every receiver; handlers ignore them.
  UpdateCounter counter;
  table.EventRegister(&counter);
  log.clear();
  table.TQCT_UpdateEnables();
  EXPECT_EQ(1, counter.updates);
  EXPECT_EQ("", log);
  for (EventReceiver* r : std::initializer_list<EventReceiver*>{&a, &b, &c, &counter}) {
    table.EventUnregister(r);
  }

  // Nobody to ask: everything may happen.
  EXPECT_TRUE(table.TQCT_CanEnable(5));
  EXPECT_TRUE(table.TQCT_PreExecute(6));
}

TEST(TQCommandTableTest, HandlerTakesOnlyTheThreePhases) {
  std::string log;
  Recorder r('r', &log, 1, 1);
  TQCommandNotification update(M_UPDATE_ENABLES, false, 1);
  EXPECT_EQ(0, r.UponEventNotification(&update, nullptr));
  EXPECT_TRUE(update.answer);
  TQCommandUpdateEnabledNotification refresh;
  EXPECT_EQ(0, r.UponEventNotification(&refresh, nullptr));
  EXPECT_EQ("", log);

  // An answer already false stays false, whatever the handler says.
  TQCommandNotification refused(PhaseCanEnable, false, 2);
  refused.answer = false;
  EXPECT_EQ(1, r.UponEventNotification(&refused, nullptr));
  EXPECT_FALSE(refused.answer);

  // A copy is a handler of its own, held by no table.
  TQCommandTable table;
  table.EventRegister(&r);
  Recorder copy(r);
  EXPECT_EQ(1, r.EventRegistrations());
  EXPECT_EQ(0, copy.EventRegistrations());
  table.EventUnregister(&r);
}

// ------------------------------------------------------------ Two processes


// The helper's answer to one of the table calls 0x510-0x511 as "1"/"0".
std::string Call(const Endpoint& e, UINT call, int command) {
  auto reply = Ask(e, call, static_cast<UINT>(command));
  if (!reply || reply->Type() != TQIPC::Reply::ReplyBool) return "no answer";
  return reply->BoolVal() ? "1" : "0";
}

// What the helper's handler saw since the last look.
std::string Log(const Endpoint& e) {
  auto reply = Ask(e, 0x514);
  return reply ? reply->StrVal() : "no answer";
}

void DeleteBackup(const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Vantor\\IPC", 0, KEY_ALL_ACCESS, &key) ==
      ERROR_SUCCESS) {
    RegDeleteValueA(key, ("TQIPC_" + name + "_ENV_VAR").c_str());
    RegCloseKey(key);
  }
}

struct Pair {
  Pair(std::vector<std::string> masterOptions, const char* slaveCommand,
       std::vector<std::string> slaveOptions)
      : name(UniqueName("cmd")) {
    master = Launch("cmd-master", name, masterOptions);
    if (!master->Up()) return;
    slaveOptions.insert(slaveOptions.end(), {"--master", Handle(master->window)});
    slave = Launch(slaveCommand, name, slaveOptions);
  }
  ~Pair() {
    slave.reset();
    master.reset();
    DeleteBackup(name);
  }
  std::string name;
  std::unique_ptr<Endpoint> master, slave;
};

TEST(TQCommandTableTest, BothSidesAgreeOnEveryPhase) {
  // The master refuses to enable 7 and to run 8, the slave 9 and 10.
  Pair pair({"--refuse-can", "7", "--refuse-pre", "8"}, "cmd-slave",
            {"--refuse-can", "9", "--refuse-pre", "10"});
  ASSERT_TRUE(pair.slave && pair.slave->Up());
  struct Row {
    UINT call;  // 0x510 CanEnable, 0x511 PreExecute
    int command;
    const char* answer;
    const char* log;  // the same on both sides
  };
  const Row rows[] = {
      {0x510, 7, "0", "C7"},
      {0x510, 9, "0", "C9"},
      {0x510, 8, "1", "C8"},
      {0x511, 8, "0", "P8 O8:1"},
      {0x511, 10, "0", "P10 O10:1"},
      {0x511, 7, "1", "P7"},
  };
  for (const Endpoint* asker : {pair.master.get(), pair.slave.get()}) {
    SCOPED_TRACE(asker == pair.master.get() ? "asked in the master" : "asked in the slave");
    for (const Row& row : rows) {
      SCOPED_TRACE(row.log);
      EXPECT_EQ(row.answer, Call(*asker, row.call, row.command));
      EXPECT_EQ(row.log, Log(*pair.master));
      EXPECT_EQ(row.log, Log(*pair.slave));
    }
    // Post-execute and refresh requests reach both sides too.
    ASSERT_TRUE(Ask(*asker, 0x512, 11, 0));
    ASSERT_TRUE(Ask(*asker, 0x512, 12, 1));
    ASSERT_TRUE(Ask(*asker, 0x513));
    EXPECT_EQ("O11:0 O12:1 U", Log(*pair.master));
    EXPECT_EQ("O11:0 O12:1 U", Log(*pair.slave));
  }
}

TEST(TQCommandTableTest, PartnerThatDoesNotAnswerAgrees) {
  // A partner without a command table: its receivers leave the phase
  // messages unhandled.
  {
    Pair pair({"--refuse-can", "4"}, "ipc-slave", {});
    ASSERT_TRUE(pair.slave && pair.slave->Up());
    EXPECT_EQ("1", Call(*pair.master, 0x510, 3));
    EXPECT_EQ("0", Call(*pair.master, 0x510, 4));
    EXPECT_EQ("1", Call(*pair.master, 0x511, 3));
    EXPECT_EQ("C3 C4 P3", Log(*pair.master));
  }
  // A partner whose handler is still busy when the master's time-out ends.
  {
    Pair pair({"--timeout", "200"}, "cmd-slave", {"--sleep-can", "3000", "--refuse-can", "5"});
    ASSERT_TRUE(pair.slave && pair.slave->Up());
    EXPECT_EQ("1", Call(*pair.master, 0x510, 5));
    EXPECT_EQ("C5", Log(*pair.master));
    EXPECT_EQ("C5", Log(*pair.slave));  // it did refuse, too late to count
  }
}

// Counts what it is asked, from whichever thread asks.
class CountingHandler : public TQCommandHandler {
 public:
  std::atomic<int> canEnable{0}, preExecute{0}, refusedPost{0};
  bool TQCH_OnCanEnable(int) override {
    ++canEnable;
    return true;
  }
  bool TQCH_OnPreExecute(int) override {
    ++preExecute;
    return true;
  }
  void TQCH_OnPostExecute(int, bool flag) override {
    if (flag) ++refusedPost;
  }
};

class MasterShell : public TQApplShell {
 public:
  MasterShell() : TQApplShell(TQIPC::Master) {}
  char const* GetSettingsKeyName() const override { return "Unused"; }
  TQWorkspace* GetWorkspace() const override { return nullptr; }
  char const* GetApplName() const override { return "Master"; }
  char const* GetHelpFileName() const override { return ""; }
};

// The only test of this program that starts an endpoint of its own (one per
// process). This process is the master shell: its own thread asks the slave
// while the slave asks it, so that handlers run on the application's thread
// and on the window thread at once.
TEST(TQApplShellProcessTest, MasterShellAndSlaveAskEachOtherAtOnce) {
  constexpr int kRounds = 40;
  CountingHandler handler;
  {
    MasterShell shell;
    shell.EventRegister(&handler);
    ASSERT_TRUE(shell.TQIPC_Start(TQIPC::None, nullptr, nullptr, 0));
    auto slave = Launch("cmd-slave", "TQShell",
                        {"--master", Handle(shell.TQIPC_Window()), "--refuse-pre", "2"});
    ASSERT_TRUE(slave->Up());

    std::thread partner([&] {
      for (int i = 0; i < kRounds; ++i) EXPECT_EQ("1", Call(*slave, 0x510, 1));
    });
    for (int i = 0; i < kRounds; ++i) {
      EXPECT_TRUE(shell.TQCT_CanEnable(1));
      EXPECT_FALSE(shell.TQCT_PreExecute(2));  // the slave refuses it
    }
    partner.join();
    slave.reset();
    shell.EventUnregister(&handler);
  }
  EXPECT_EQ(nullptr, TQApplShell::Instance());
  EXPECT_EQ(2 * kRounds, handler.canEnable.load());
  EXPECT_EQ(kRounds, handler.preExecute.load());
  EXPECT_EQ(kRounds, handler.refusedPost.load());
  DeleteBackup("TQShell");
}

}  // namespace
