// The current shell, its settings keys, and the settings that reach those
// keys through it; start-up with framework shell modules named in a private
// registry; the session states. (The shell in a real connection:
// TQApplSlaveShell_test.cpp.)
#include "tqrtl/shell/TQApplShell.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "registry_test_support.h"
#include "tqrtl/errors/TQException.h"
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
  char const* GetApplName() const override { return "Test Tool"; }
  char const* GetHelpFileName() const override { return ""; }

  TQWorkspace* workspace_ = nullptr;

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

TEST_F(ApplShellTest, StartUpRunsTheListedShellsOrLeavesNoneLoaded) {
  // Role None reads the "Master" list and never starts an endpoint (which a
  // process can do only once).
  TestShell shell(appl_, TQIPC::None);
  TQApplSettings::MachineKey* machine = shell.GetMachineKey();
  machine->m_install_dir = TQRTL_TEST_SHELL_DIR;
  auto list = [machine](const char* key, const char* module, int load) {
    TQReg::DynamicObjectKey entry(&machine->m_framework_shells.m_master, key);
    entry.m_module = module;
    entry.m_load = load;
  };
  list("1 shell", TQRTL_TEST_SHELL, 1);
  list("2 second", "no-such-module", 0);
  ASSERT_EQ(1, shell.OnStartUp());
  EXPECT_TRUE(IsLoaded(TQRTL_TEST_SHELL));
  EXPECT_EQ(nullptr, shell.TQIPC_Window());
  EXPECT_EQ(1, shell.OnShutDown());
  EXPECT_FALSE(IsLoaded(TQRTL_TEST_SHELL));

  // A second entry without a module, whose factory gives nothing, or whose
  // shell refuses to start fails start-up; the first shell is shut down
  // (else it would stay loaded) and unloaded.
  for (const char* module : {"", TQRTL_TEST_SHELL_NULL, TQRTL_TEST_SHELL_REFUSE}) {
    SCOPED_TRACE(module);
    list("2 second", module, 1);
    EXPECT_EQ(0, shell.OnStartUp());
    EXPECT_FALSE(IsLoaded(TQRTL_TEST_SHELL));
  }
  EXPECT_FALSE(IsLoaded(TQRTL_TEST_SHELL_NULL));
  EXPECT_FALSE(IsLoaded(TQRTL_TEST_SHELL_REFUSE));

  // An entry damaged outside the library (the module name stored as a
  // number) names no module: start-up fails the same way.
  list("2 second", TQRTL_TEST_SHELL, 1);
  registry_test::WriteStored(HKEY_LOCAL_MACHINE, Path("FrameworkShells\\Master\\2 second"), "",
                             REG_DWORD, registry_test::Le32({7}));
  EXPECT_EQ(0, shell.OnStartUp());
  EXPECT_FALSE(IsLoaded(TQRTL_TEST_SHELL));
}

// ------------------------------------------------------------ Session

TEST_F(ApplShellTest, CommandsMoveTheSessionAndWhileItLastsTheWorkspaceIsHeard) {
  struct SessionLog : EventReceiver {
    std::vector<int> states;
    int saves = 0;
    int UponEventNotification(EventNotification const* n, EventSender*) override {
      if (auto const* s = dynamic_cast<TQSession::StateChanged const*>(n)) states.push_back(s->state);
      if (dynamic_cast<TQSession::SettingsChanged const*>(n) != nullptr) ++saves;
      return 1;
    }
  } log;
  const std::string file = ScratchPath("session-ws");
  TQWorkspace workspace;
  ASSERT_EQ(1, workspace.Load(file.c_str(), nullptr));
  TestShell shell(appl_, TQIPC::None);
  shell.workspace_ = &workspace;
  shell.EventRegister(&log);
  workspace.Save();  // not heard yet
  ASSERT_TRUE(shell.TQCT_PreExecute(2));
  shell.TQCT_PostExecute(2, false);
  workspace.Save();
  ASSERT_TRUE(shell.TQCT_PreExecute(4));
  workspace.Save();  // not heard any more
  shell.TQCT_PostExecute(4, false);
  EXPECT_EQ((std::vector<int>{1, 2, 11, 12, 0}), log.states);
  EXPECT_EQ(1, log.saves);
  EXPECT_EQ(0, shell.SessionState());
  shell.EventUnregister(&log);
  workspace.Close();
  std::remove(file.c_str());
}

}  // namespace
