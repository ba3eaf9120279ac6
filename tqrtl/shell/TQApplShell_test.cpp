// The current shell, its settings keys, and the settings that reach those
// keys through it; start-up with framework shell modules named in a private
// registry; the session states; message boxes and reports. (The shell in a
// real connection: TQApplSlaveShell_test.cpp.)
#include "tqrtl/shell/TQApplShell.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "registry_test_support.h"
#include "tqrtl/errors/TQException.h"
#include "tqrtl/platform/tqplatform.h"
#include "tqrtl/registry/TQApplSettings.h"
#include "tqrtl/shell/TQWorkspace.h"

namespace {

using registry_test::KeyExists;
using registry_test::ReadStored;

class TestShell : public TQApplShell {
 public:
  explicit TestShell(std::string name, TQIPC::RoleType role = TQIPC::Slave)
      : TQApplShell(role), name_(std::move(name)) {}
  char const* GetSettingsKeyName() const override { return name_.c_str(); }
  TQWorkspace* GetWorkspace() const override { return workspace_; }
  char const* GetApplName() const override { return appl_name_.c_str(); }
  char const* GetHelpFileName() const override { return ""; }

  using TQApplShell::FrameworkShellCount;
  using TQApplShell::LoadFrameworkShells;
  using TQApplShell::UnloadFrameworkShells;

  TQWorkspace* workspace_ = nullptr;
  std::string appl_name_ = "Test Tool";

 private:
  std::string name_;
};

class ApplShellTest : public ::testing::Test {
 protected:
  ApplShellTest() : appl_(registry_test::UniqueName("Shell")) {}
  ~ApplShellTest() override {
    registry_test::DeleteTree(HKEY_CURRENT_USER, Path());
    registry_test::DeleteTree(HKEY_LOCAL_MACHINE, Path());
  }
  std::string Path(const std::string& below = "") const {
    return "Software\\Vantor\\" + appl_ + (below.empty() ? "" : "\\" + below);
  }
  std::string User(const std::string& below, const char* name) const {
    return ReadStored(HKEY_CURRENT_USER, Path(below), name).Text();
  }

  std::string appl_;
};

TEST_F(ApplShellTest, ShellIsCurrentWhileItLives) {
  struct Row {
    TQIPC::RoleType role;
    const char* title;
  };
  const Row rows[] = {
      {TQIPC::Master, "TQMasterShell"},
      {TQIPC::Slave, "TQSlaveShell"},
      {TQIPC::None, "TQSlaveShell"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    ASSERT_EQ(nullptr, TQApplShell::Instance());
    auto shell = std::make_unique<TestShell>(appl_, row.role);
    EXPECT_EQ(shell.get(), TQApplShell::Instance());
    EXPECT_EQ(shell.get(), TQApplShell::GetShell());
    TQIPC::RoleType role = TQIPC::None;
    char const* name = nullptr;
    char const* title = nullptr;
    unsigned timeout = 99;
    shell->GetProps(&role, &name, &title, &timeout);
    EXPECT_EQ(row.role, role);
    EXPECT_STREQ("TQShell", name);
    EXPECT_STREQ(row.title, title);
    EXPECT_EQ(0u, timeout);
    shell.reset();
    EXPECT_EQ(nullptr, TQApplShell::Instance());
    EXPECT_EQ(nullptr, TQApplShell::GetShell());
  }

  // Without arguments: a slave.
  struct DefaultShell : TQApplShell {
    char const* GetSettingsKeyName() const override { return "Unused"; }
    TQWorkspace* GetWorkspace() const override { return nullptr; }
    char const* GetApplName() const override { return "Unused"; }
    char const* GetHelpFileName() const override { return ""; }
  } plain;
  EXPECT_EQ(TQIPC::Slave, plain.TQIPC_Role());
}

TEST_F(ApplShellTest, KeysAreMadeOnFirstUseAndKept) {
  TestShell shell(appl_);
  TQApplSettings::UserKey* user = shell.GetUserKey();
  TQApplSettings::MachineKey* machine = shell.GetMachineKey();
  ASSERT_NE(nullptr, user);
  ASSERT_NE(nullptr, machine);
  EXPECT_EQ(user, shell.GetUserKey());
  EXPECT_EQ(machine, shell.GetMachineKey());
  EXPECT_EQ(Path(), static_cast<const char*>(user->Path()));
  EXPECT_EQ(Path(), static_cast<const char*>(machine->Path()));
  // Making a key object touches nothing in the registry.
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Path()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path()));

  // Each in its own hive.
  machine->m_max_mru.Get();
  user->m_preferences.m_details_on_bottom.Get();
  EXPECT_EQ(10u, ReadStored(HKEY_LOCAL_MACHINE, Path(), "MaxMRU").Dword());
  EXPECT_FALSE(ReadStored(HKEY_CURRENT_USER, Path(), "MaxMRU").exists);
  EXPECT_TRUE(
      ReadStored(HKEY_CURRENT_USER, Path("Preferences"), "Details On Bottom").exists);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path("Preferences")));
}

TEST_F(ApplShellTest, SettingsWithoutArgumentsUseTheShellsKeys) {
  TestShell shell(appl_);
  shell.GetMachineKey()->m_default_source_path = "src;lib";

  TQApplSettings::SourcePaneSettings source;
  TQApplSettings::StackPaneSettings stack;
  EXPECT_EQ(Path("Preferences\\SourcePane"), static_cast<const char*>(source.Path()));
  EXPECT_EQ(Path("Preferences\\StackPane"), static_cast<const char*>(stack.Path()));
  EXPECT_STREQ("Courier New", source.m_font.m_name.Get());
  EXPECT_STREQ("MS Sans Serif", stack.m_font.m_name.Get());
  EXPECT_EQ("Courier New", User("Preferences\\SourcePane\\TextFont", "Name"));
  EXPECT_EQ("MS Sans Serif", User("Preferences\\StackPane\\TextFont", "Name"));
  stack.m_font.m_name = "Fixedsys";
  EXPECT_STREQ("Fixedsys", TQApplSettings::StackPaneSettings().m_font.m_name.Get());

  TQApplSettings::SrcSearchPathSetting sources;
  TQApplSettings::SymSearchPathSetting symbols;
  EXPECT_STREQ("src;lib", sources.m_paths.Get());
  EXPECT_EQ("src;lib", User("SrcPath", "Paths"));
  symbols.m_paths = "sym;.";
  EXPECT_EQ("sym;.", User("SymbolPath", "Paths"));
  EXPECT_STREQ("sym;.", TQApplSettings::SymSearchPathSetting().m_paths.Get());
  EXPECT_STREQ("src;lib", TQApplSettings::SrcSearchPathSetting().m_paths.Get());
}

TEST_F(ApplShellTest, SettingsWithoutArgumentsNeedAShell) {
  ASSERT_EQ(nullptr, TQApplShell::Instance());
  EXPECT_THROW(TQApplSettings::SourcePaneSettings(), TQGeneralException);
  EXPECT_THROW(TQApplSettings::StackPaneSettings(), TQGeneralException);
  EXPECT_THROW(TQApplSettings::SrcSearchPathSetting(), TQGeneralException);
  EXPECT_THROW(TQApplSettings::SymSearchPathSetting(), TQGeneralException);

  // Nor a shell that is gone.
  { TestShell shell(appl_); }
  EXPECT_THROW(TQApplSettings::SrcSearchPathSetting(), TQGeneralException);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path()));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Path()));
}

// ------------------------------------------------------------ Start-up

bool IsLoaded(const char* file) { return GetModuleHandleA(file) != nullptr; }

// One entry of a framework shell list: its key name (the registry lists
// them in name order), its module, its "Load" value.
struct Entry {
  const char* key;
  const char* module;
  int load;
};

// Start-up tests run with role None or fail before the endpoint would
// start: an endpoint may be started only once in a process.
class ShellStartUpTest : public ApplShellTest {
 protected:
  ShellStartUpTest() : shell_(appl_, TQIPC::None) {
    shell_.GetMachineKey()->m_install_dir = TQRTL_TEST_SHELL_DIR;
  }
  void List(Registry::Subkey& list, std::initializer_list<Entry> entries) {
    for (const Entry& e : entries) {
      TQReg::DynamicObjectKey key(&list, e.key);
      key.m_module = e.module;
      key.m_load = e.load;
    }
  }
  Registry::Subkey& Master() { return shell_.GetMachineKey()->m_framework_shells.m_master; }
  Registry::Subkey& Slave() { return shell_.GetMachineKey()->m_framework_shells.m_slave; }
  void ClearLists() { registry_test::DeleteTree(HKEY_LOCAL_MACHINE, Path("FrameworkShells")); }

  TestShell shell_;
};

TEST_F(ShellStartUpTest, RunsTheRolesShellsWithoutAnEndpointForRoleNone) {
  List(Master(), {{"1 shell", TQRTL_TEST_SHELL, 1}, {"2 off", "no-such-module", 0}});
  List(Slave(), {{"1 broken", "", 1}});
  ASSERT_EQ(1, shell_.OnStartUp());
  EXPECT_EQ(1, shell_.FrameworkShellCount());
  EXPECT_TRUE(IsLoaded(TQRTL_TEST_SHELL));
  EXPECT_EQ(nullptr, shell_.TQIPC_Window());
  EXPECT_EQ(1, shell_.OnShutDown());
  EXPECT_EQ(0, shell_.FrameworkShellCount());
  EXPECT_FALSE(IsLoaded(TQRTL_TEST_SHELL));

  // Nothing listed: nothing to do, and that is a success.
  ClearLists();
  EXPECT_EQ(1, shell_.OnStartUp());
  EXPECT_EQ(1, shell_.OnShutDown());
}

TEST_F(ShellStartUpTest, SlaveReadsItsOwnList) {
  List(Master(), {{"1 broken", "", 1}});
  List(Slave(), {{"1 shell", TQRTL_TEST_SHELL_REFUSE, 1}});
  // Loading only: a slave that started up would start its endpoint.
  TestShell slave(appl_, TQIPC::Slave);
  ASSERT_EQ(1, slave.LoadFrameworkShells());
  EXPECT_EQ(1, slave.FrameworkShellCount());
  EXPECT_TRUE(IsLoaded(TQRTL_TEST_SHELL_REFUSE));
  EXPECT_EQ(1, slave.UnloadFrameworkShells());
  EXPECT_FALSE(IsLoaded(TQRTL_TEST_SHELL_REFUSE));
}

TEST_F(ShellStartUpTest, FailedLoadOrStartLeavesNothingLoaded) {
  struct Row {
    const char* what;
    Entry second;
  };
  const Row rows[] = {
      {"no module name", {"2 broken", "", 1}},
      {"factory gives null", {"2 null", TQRTL_TEST_SHELL_NULL, 1}},
      {"no factory", {"2 noexport", TQRTL_TEST_SHELL_NOEXPORT, 1}},
      // Loads, but refuses to start after the first has started: the first
      // must be shut down, or it would stay loaded.
      {"refuses to start", {"2 refuse", TQRTL_TEST_SHELL_REFUSE, 1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // (One module per list: a module hands out one object however often it
    // is listed.)
    List(Master(), {{"1 shell", TQRTL_TEST_SHELL, 1}, row.second});
    EXPECT_EQ(0, shell_.OnStartUp());
    EXPECT_EQ(0, shell_.FrameworkShellCount());
    for (const char* module : {TQRTL_TEST_SHELL, TQRTL_TEST_SHELL_NULL, TQRTL_TEST_SHELL_NOEXPORT,
                               TQRTL_TEST_SHELL_REFUSE}) {
      EXPECT_FALSE(IsLoaded(module)) << module;
    }
    EXPECT_EQ(nullptr, shell_.TQIPC_Window());
    ClearLists();
  }
}

// ------------------------------------------------------------ Session

// Records what the shell tells its receivers.
struct SessionLog : EventReceiver {
  std::vector<int> states;
  std::vector<TQWorkspace*> workspaces;
  int settingsChanged = 0;
  int UponEventNotification(EventNotification const* n, EventSender*) override {
    if (auto const* s = dynamic_cast<TQSession::StateChanged const*>(n)) {
      states.push_back(s->state);
      workspaces.push_back(s->workspace);
      return 1;
    }
    if (auto const* c = dynamic_cast<TQSession::SettingsChanged const*>(n)) {
      ++settingsChanged;
      workspaces.push_back(c->workspace);
      return 1;
    }
    return 0;
  }
};

struct Refuser : TQCommandHandler {
  int refuse = -1;
  bool TQCH_OnPreExecute(int command) override { return command != refuse; }
};

TEST_F(ApplShellTest, CommandsMoveTheSessionStateAndTheWorkspaceIsHeardBetween) {
  const std::string file = ScratchPath("session-ws");
  TQWorkspace workspace;
  ASSERT_EQ(1, workspace.Load(file.c_str(), nullptr));
  TestShell shell(appl_, TQIPC::None);
  shell.workspace_ = &workspace;
  SessionLog log;
  Refuser refuser;
  shell.EventRegister(&log);
  shell.EventRegister(&refuser);
  EXPECT_EQ(0, shell.SessionState());

  struct Row {
    int command;
    std::vector<int> before, after;  // states sent by PreExecute, PostExecute
  };
  const Row rows[] = {
      {0, {3}, {}}, {1, {9}, {}}, {2, {1}, {2}}, {3, {}, {}}, {4, {11}, {12, 0}}, {7, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command);
    const int old = shell.SessionState();
    log.states.clear();
    ASSERT_TRUE(shell.TQCT_PreExecute(row.command));
    EXPECT_EQ(row.before, log.states);
    log.states.clear();
    shell.TQCT_PostExecute(row.command, false);
    EXPECT_EQ(row.after, log.states);
    const std::vector<int>& last = row.after.empty() ? row.before : row.after;
    EXPECT_EQ(last.empty() ? old : last.back(), shell.SessionState());
  }
  for (TQWorkspace* w : log.workspaces) EXPECT_EQ(&workspace, w);

  // A refused command changes nothing.
  refuser.refuse = 0;
  log.states.clear();
  EXPECT_FALSE(shell.TQCT_PreExecute(0));
  EXPECT_TRUE(log.states.empty());

  // After command 2 the shell passes the workspace's saves on; command 4
  // stops that.
  workspace.Save();
  EXPECT_EQ(0, log.settingsChanged);
  shell.TQCT_PreExecute(2);
  shell.TQCT_PostExecute(2, false);
  workspace.Save();
  EXPECT_EQ(1, log.settingsChanged);
  shell.TQCT_PreExecute(4);
  workspace.Save();
  EXPECT_EQ(1, log.settingsChanged);
  EXPECT_FALSE(workspace.LastSaveFailed());

  shell.EventUnregister(&refuser);
  shell.EventUnregister(&log);
  workspace.Close();
  std::remove(file.c_str());
}

TEST_F(ApplShellTest, ConnectNotificationBecomesInitializedAndIsNoVote) {
  TestShell shell(appl_, TQIPC::None);
  struct Hello : EventReceiver {
    std::vector<DWORD> pids;
    int UponEventNotification(EventNotification const* n, EventSender*) override {
      auto const* i = dynamic_cast<TQSession::Initialized const*>(n);
      if (i != nullptr) pids.push_back(i->processId);
      return i != nullptr;
    }
  } hello;
  shell.EventRegister(&hello);
  const TQIPC::ConnectMsg msg = {TQIPC::M_CONNECT, 4242};
  TQIPC::MultiReply reply;
  // Nobody handled the connect itself: the shell raises Initialized and
  // casts no vote.
  EXPECT_EQ(0, shell.EventNotify(TQIPC::ConnectMsgArrived(&reply, &msg)));
  EXPECT_EQ(std::vector<DWORD>{4242}, hello.pids);
  EXPECT_EQ(TQIPC::Reply::ReplyNone, reply.Type());
  shell.EventUnregister(&hello);
}

// ------------------------------------------------------------ Reports

// Records each box; holds it open a moment to show overlapping callers.
class BoxRecorder : public TQMessageBoxPresenter {
 public:
  struct Box {
    HWND owner;
    std::string text, caption;
    UINT type;
  };
  int Show(HWND owner, const char* text, const char* caption, UINT type) override {
    if (++open_ > 1) overlapped_ = true;
    Sleep(hold_);
    boxes_.push_back({owner, text, caption, type});
    --open_;
    return IDRETRY;
  }
  BOOL Beep(UINT) override { return TRUE; }

  std::vector<Box> boxes_;
  std::atomic<int> open_{0};
  std::atomic<bool> overlapped_{false};
  DWORD hold_ = 0;
};

class ShellReportTest : public ApplShellTest {
 protected:
  ShellReportTest() { old_ = TQSetMessageBoxPresenter(&boxes_); }
  ~ShellReportTest() override { TQSetMessageBoxPresenter(old_); }
  BoxRecorder boxes_;
  TQMessageBoxPresenter* old_ = nullptr;
};

TEST_F(ShellReportTest, MessageBoxesTakeTheApplicationsDefaults) {
  TestShell shell(appl_);
  HWND owner = reinterpret_cast<HWND>(0x1234);
  EXPECT_EQ(IDRETRY, shell.DisplayMessageBox("one"));
  EXPECT_EQ(IDRETRY, shell.DisplayMessageBox("two", MB_YESNO | MB_ICONQUESTION, "Own", owner));
  ASSERT_EQ(2u, boxes_.boxes_.size());
  EXPECT_EQ(nullptr, boxes_.boxes_[0].owner);
  EXPECT_EQ("Test Tool", boxes_.boxes_[0].caption);
  EXPECT_EQ(MB_ICONINFORMATION | MB_TASKMODAL | MB_TOPMOST, boxes_.boxes_[0].type);
  EXPECT_EQ(owner, boxes_.boxes_[1].owner);
  EXPECT_EQ("Own", boxes_.boxes_[1].caption);
  EXPECT_EQ(MB_YESNO | MB_ICONQUESTION | MB_TOPMOST, boxes_.boxes_[1].type);

  // An exception report names the application in its caption, cut short
  // for a name too long for it.
  boxes_.boxes_.clear();
  EXPECT_EQ(IDRETRY, shell.ReportException(TQMemoryException()));
  shell.appl_name_.assign(400, 'n');
  EXPECT_EQ(IDRETRY, shell.ReportException(TQMemoryException(), MB_ICONSTOP, "Given"));
  EXPECT_EQ(IDRETRY, shell.ReportException(TQMemoryException()));
  ASSERT_EQ(3u, boxes_.boxes_.size());
  EXPECT_NE(std::string::npos, boxes_.boxes_[0].caption.find("Test Tool Error"));
  EXPECT_EQ("Given", boxes_.boxes_[1].caption);
  EXPECT_EQ(MB_ICONSTOP, boxes_.boxes_[1].type & MB_ICONMASK);
  EXPECT_EQ(260u, boxes_.boxes_[2].caption.size());
  EXPECT_NE(std::string::npos, boxes_.boxes_[2].caption.find("nnnn"));
}

TEST_F(ShellReportTest, BoxesFromManyThreadsAppearOneAtATime) {
  TestShell shell(appl_);
  boxes_.hold_ = 5;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shell, t] {
      for (int i = 0; i < 5; ++i) {
        if (t % 2 == 0) shell.DisplayMessageBox("box");
        else shell.ReportException(TQMemoryException());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(20u, boxes_.boxes_.size());
  EXPECT_FALSE(boxes_.overlapped_.load());
}

TEST_F(ApplShellTest, FileFinderHoldsThePathAndFindsAlongIt) {
  TestShell shell(appl_);
  const std::string dir = ScratchPath("finder-dir");
  std::filesystem::create_directories(dir);
  std::FILE* f = std::fopen((dir + "/found.txt").c_str(), "wb");
  ASSERT_NE(nullptr, f);
  std::fclose(f);
  auto* path = new FileFinder::SearchPathA;
  path->AddRef();
  path->Add(dir.c_str());
  {
    std::unique_ptr<FileFinder> finder(shell.MakeFileFinder(path, "who asks"));
    EXPECT_EQ(2, path->GetRefCount());
    TQString found;
    EXPECT_EQ(1, finder->Find("found.txt", &found, 0));
    EXPECT_EQ(0, finder->Find("missing.txt", &found, 0));
  }
  EXPECT_EQ(1, path->GetRefCount());
  path->Release();
  std::filesystem::remove_all(dir);
}

}  // namespace
