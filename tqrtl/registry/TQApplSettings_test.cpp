// The shared roots, the shared settings subkeys and an application's
// settings tree, read on an empty registry and checked in the registry
// itself.
#include "tqrtl/registry/TQApplSettings.h"

#include <gtest/gtest.h>

#include <string>

#include "registry_test_support.h"
#include "tqrtl/registry/TQReg.h"

namespace {

using registry_test::KeyExists;
using registry_test::Le32;
using registry_test::ReadStored;
using registry_test::Stored;

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() : appl_(registry_test::UniqueName("Appl")) {}
  ~SettingsTest() override {
    registry_test::DeleteTree(HKEY_CURRENT_USER, UserPath());
    registry_test::DeleteTree(HKEY_LOCAL_MACHINE, MachinePath());
  }
  std::string UserPath(const std::string& below = "") const {
    return "Software\\Vantor\\" + appl_ + (below.empty() ? "" : "\\" + below);
  }
  std::string MachinePath() const { return "Software\\Vantor\\" + appl_; }
  Stored User(const std::string& below, const char* name) const {
    return ReadStored(HKEY_CURRENT_USER, UserPath(below), name);
  }

  std::string appl_;
};

TEST_F(SettingsTest, RootOfFindsTheSharedRootOfTheHive) {
  TQApplSettings::UserKey user(appl_.c_str());
  TQApplSettings::MachineKey machine(appl_.c_str());
  EXPECT_EQ(TQReg::CurrentUserRoot(), TQReg::RootOf(user.m_preferences.m_details_on_bottom));
  EXPECT_EQ(TQReg::LocalMachineRoot(), TQReg::RootOf(machine.m_max_mru));
  EXPECT_EQ(TQReg::CurrentUserRoot(), TQReg::RootOf(*TQReg::CurrentUserRoot()));
  Registry::RootKey classes(HKEY_CLASSES_ROOT);
  Registry::Subkey below(&classes, "Anything");
  EXPECT_EQ(nullptr, TQReg::RootOf(below));
  EXPECT_STREQ("Software\\Vantor", TQReg::CurrentUserRoot()->Path());
  EXPECT_STREQ("Software\\Vantor", TQReg::LocalMachineRoot()->Name());
  EXPECT_EQ(HKEY_LOCAL_MACHINE, static_cast<HKEY>(*TQReg::LocalMachineRoot()->Root()));
}

TEST_F(SettingsTest, PaneSettingsReadAndStoreTheirDefaults) {
  TQApplSettings::UserKey user(appl_.c_str());
  TQReg::FilePaneSettings source(&user.m_preferences, "SourcePane",
                                 TQReg::DefaultPaneValuesFixedFont());
  EXPECT_STREQ("Courier New", source.m_font.m_name.Get());
  EXPECT_EQ(10, source.m_font.m_size.Get());
  EXPECT_EQ(0u, source.m_font.m_effects.Get());
  EXPECT_EQ(0xBC000008u, source.m_colors.m_foreground.Get());
  EXPECT_EQ(0xBC000005u, source.m_colors.m_background.Get());
  EXPECT_EQ(255u, source.m_highlight.Get());
  EXPECT_EQ(8u, source.m_tabs.Get());

  const std::string pane = "Preferences\\SourcePane";
  // Where each lands: one value of each key.
  EXPECT_EQ("Courier New", User(pane + "\\TextFont", "Name").Text());
  EXPECT_EQ(0xBC000008u, User(pane + "\\TextColors", "Foreground").Dword());
  EXPECT_EQ(8u, User(pane, "Tabs").Dword());

  // Built over an existing key object, it binds to the same registry key.
  Registry::Subkey same(&user.m_preferences, "SourcePane");
  TQReg::FilePaneSettings bound(same, TQReg::DefaultPaneValuesVariableFont());
  EXPECT_STREQ(source.Path(), bound.Path());
  EXPECT_STREQ("Courier New", bound.m_font.m_name.Get());  // stored wins over the default
  EXPECT_STREQ("MS Sans Serif", bound.m_font.m_name.GetDefault());

  // The application's own pane classes, variable font for the stack pane.
  TQApplSettings::SourcePaneSettings app_source(user);
  EXPECT_STREQ(source.Path(), app_source.Path());
  TQApplSettings::StackPaneSettings stack(user);
  EXPECT_EQ(8, stack.m_font.m_size.Get());
  EXPECT_STREQ("MS Sans Serif", stack.m_font.m_name.Get());
  EXPECT_EQ(0xBC000005u, stack.m_colors.m_background.Get());
  EXPECT_EQ("MS Sans Serif", User("Preferences\\StackPane\\TextFont", "Name").Text());
}

TEST_F(SettingsTest, CopiesAreBoundToThemselves) {
  TQApplSettings::UserKey user(appl_.c_str());
  auto* original = new TQReg::FontSettings(&user.m_preferences, "Font", "Arial", 9, 1);
  TQReg::FontSettings copy(*original);
  delete original;
  EXPECT_EQ(&copy, copy.m_name.Parent());
  EXPECT_STREQ("Arial", copy.m_name.Get());
  copy.m_size = 12;
  EXPECT_EQ(12u, User("Preferences\\Font", "Size").Dword());
}

TEST_F(SettingsTest, WindowStateAndModuleKeysStoreTheirDefaults) {
  TQApplSettings::UserKey user(appl_.c_str());
  TQReg::WindowState window(&user, "Main Window");
  EXPECT_EQ(1, window.m_show_cmd.Get());
  EXPECT_EQ(1, window.m_visible.Get());
  EXPECT_EQ(0, window.m_normal_rect.Get().right);
  EXPECT_EQ(1u, User("Main Window", "ShowCmd").Dword());
  EXPECT_EQ(1u, User("Main Window", "Visible").Dword());
  const Stored rect = User("Main Window", "NormalRect");
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), rect.type);
  EXPECT_EQ(Le32({2, 0, 0, 0, 0}), rect.data);

  TQReg::DynamicObjectKey module(&user, "Module");
  EXPECT_STREQ("", module.m_module.Get());
  EXPECT_EQ(0, module.m_load.Get());
  const Stored unnamed = User("Module", "");
  EXPECT_TRUE(unnamed.exists);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), unnamed.type);
}

TEST_F(SettingsTest, MachineKeyDefaultsAndTheFrameworkShellLists) {
  TQApplSettings::MachineKey machine(appl_.c_str());
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MachinePath()));  // building reads nothing
  EXPECT_EQ(10u, machine.m_max_mru.Get());
  EXPECT_EQ(10u, ReadStored(HKEY_LOCAL_MACHINE, MachinePath(), "MaxMRU").Dword());
  EXPECT_STREQ("\\Help", machine.m_help_dir.Get());
  EXPECT_STREQ("C:\\Vantor", machine.m_install_dir.Get());
  EXPECT_STREQ("Vantor.hlp", machine.m_what_help_file.Get());
  EXPECT_STREQ(".;..", machine.m_default_source_path.Get());

  // Each subkey of a shell list is one module to load.
  Registry::Subkey(&machine.m_framework_shells.m_master, "Editor").Create();
  Registry::Subkey(&machine.m_framework_shells.m_master, "Viewer").Create();
  int modules = 0;
  for (Registry::SubkeyIterator it(machine.m_framework_shells.m_master); it.More();) {
    TQReg::DynamicObjectKey module(it.Next());
    EXPECT_EQ(0, module.m_load.Get());
    ++modules;
  }
  EXPECT_EQ(2, modules);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, MachinePath() + "\\FrameworkShells\\Master\\Viewer"));

  TQApplSettings::ProductInfo product(&machine, "Product");
  EXPECT_EQ(0, product.m_installed.Get());
  TQApplSettings::ProductInfo same(static_cast<const Registry::Subkey&>(product));
  EXPECT_EQ(&same, same.m_help_file.Parent());
  EXPECT_STREQ("", same.m_help_file.Get());
}

TEST_F(SettingsTest, SearchPathsDefaultToTheMachineListOfTheirTime) {
  TQApplSettings::UserKey user(appl_.c_str());
  TQApplSettings::MachineKey machine(appl_.c_str());
  machine.m_default_source_path = "src;include";
  TQApplSettings::SrcSearchPathSetting source(user, machine);
  EXPECT_STREQ("src;include", source.m_paths.Get());
  EXPECT_EQ("src;include", User("SrcPath", "Paths").Text());

  machine.m_default_source_path = "elsewhere";
  EXPECT_STREQ("src;include", TQApplSettings::SrcSearchPathSetting(user, machine).m_paths.Get());
  TQApplSettings::SymSearchPathSetting symbols(user, machine);
  EXPECT_STREQ("elsewhere", symbols.m_paths.Get());
  symbols.m_paths = "sym";
  EXPECT_EQ("sym", User("SymbolPath", "Paths").Text());
}

struct Note : EventNotification {};

struct Counter : EventReceiver {
  int calls = 0;
  int UponEventNotification(EventNotification const*, EventSender*) override {
    ++calls;
    return 1;
  }
};

TEST_F(SettingsTest, ApplicationKeysNotifyTheSharedRootOfTheirHiveToo) {
  TQApplSettings::UserKey user(appl_.c_str());
  TQApplSettings::MachineKey machine(appl_.c_str());
  Counter on_root, on_user;
  TQReg::CurrentUserRoot()->EventRegister(&on_root);
  user.EventRegister(&on_user);
  EXPECT_EQ(2, user.EventNotify(Note(), EventSender::ScopeAll));
  EXPECT_EQ(0, machine.EventNotify(Note(), EventSender::ScopeAll));
  EXPECT_EQ(1, on_root.calls);
  EXPECT_EQ(1, on_user.calls);
  TQReg::CurrentUserRoot()->EventUnregister(&on_root);
  user.EventUnregister(&on_user);
}

}  // namespace
