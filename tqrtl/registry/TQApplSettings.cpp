// TQApplSettings: an application's user and machine keys and the settings
// built around them.
#include "tqrtl/registry/TQApplSettings.h"

#include "tqrtl/errors/TQException.h"
#include "tqrtl/shell/TQApplShell.h"

namespace TQApplSettings {
namespace {

constexpr const char* kVantorDir = "C:\\Vantor";
constexpr const char* kHelpFile = "Vantor.hlp";

}  // namespace

// ---------------------------------------------------------------- ApplRootKey

ApplRootKey::ApplRootKey(Registry::Key* parent, const char* name)
    : Registry::Subkey(parent, name), EventSender() {}

ApplRootKey::ApplRootKey(const ApplRootKey& other) : Registry::Subkey(other), EventSender() {}

ApplRootKey::~ApplRootKey() = default;

int ApplRootKey::EventNotify(const EventNotification& n, EventSender::EventScope scope) const {
  int handled = 0;
  if (TQReg::RootKey* shared = TQReg::RootOf(*this)) handled += shared->EventNotify(n, scope);
  return handled + EventSender::EventNotify(n, scope);
}

// ---------------------------------------------------------------- UserKey

UserKey::Preferences::Preferences(Registry::Key* parent)
    : Registry::Subkey(parent, "Preferences"),
      m_auto_close_console(this, "Auto Close Console", 1),
      m_details_on_bottom(this, "Details On Bottom", 0) {}

UserKey::Preferences::Preferences(const Preferences& other)
    : Registry::Subkey(other),
      m_auto_close_console(this, "Auto Close Console", other.m_auto_close_console.GetDefault()),
      m_details_on_bottom(this, "Details On Bottom", other.m_details_on_bottom.GetDefault()) {}

UserKey::Preferences::~Preferences() = default;

UserKey::UserKey(const char* name)
    : ApplRootKey(TQReg::CurrentUserRoot(), name), m_preferences(this) {}

UserKey::UserKey(const UserKey& other) : ApplRootKey(other), m_preferences(this) {}

UserKey::~UserKey() = default;

// ---------------------------------------------------------------- MachineKey

MachineKey::FrameworkShells::FrameworkShells(Registry::Key* parent)
    : Registry::Subkey(parent, "FrameworkShells"),
      m_master(this, "Master"),
      m_slave(this, "Slave") {}

MachineKey::FrameworkShells::FrameworkShells(const FrameworkShells& other)
    : Registry::Subkey(other), m_master(this, "Master"), m_slave(this, "Slave") {}

MachineKey::FrameworkShells::~FrameworkShells() = default;

MachineKey::MachineKey(const char* name)
    : ApplRootKey(TQReg::LocalMachineRoot(), name),
      m_framework_shells(this),
      m_install_dir(this, "InstallDir", kVantorDir),
      m_help_dir(this, "HelpDir", "\\Help"),
      m_help_file(this, "Help File", kHelpFile),
      m_what_help_file(this, "What Help File", kHelpFile),
      m_common_dir(this, "CommonDir", kVantorDir),
      m_default_source_path(this, "Default Source Path", ".;.."),
      m_www1(this, "WWW1", "https://www.vantor.com/"),
      m_www3(this, "WWW3", "https://www.vantor.com/support/updates/"),
      m_www4(this, "WWW4", "https://www.vantor.com/support/faq/"),
      m_www5(this, "WWW5", "https://www.vantor.com/support/report/"),
      m_max_mru(this, "MaxMRU", 10) {}

MachineKey::MachineKey(const MachineKey& other)
    : ApplRootKey(other),
      m_framework_shells(this),
      m_install_dir(this, "InstallDir", other.m_install_dir.GetDefault()),
      m_help_dir(this, "HelpDir", other.m_help_dir.GetDefault()),
      m_help_file(this, "Help File", other.m_help_file.GetDefault()),
      m_what_help_file(this, "What Help File", other.m_what_help_file.GetDefault()),
      m_common_dir(this, "CommonDir", other.m_common_dir.GetDefault()),
      m_default_source_path(this, "Default Source Path", other.m_default_source_path.GetDefault()),
      m_www1(this, "WWW1", other.m_www1.GetDefault()),
      m_www3(this, "WWW3", other.m_www3.GetDefault()),
      m_www4(this, "WWW4", other.m_www4.GetDefault()),
      m_www5(this, "WWW5", other.m_www5.GetDefault()),
      m_max_mru(this, "MaxMRU", other.m_max_mru.GetDefault()) {}

MachineKey::~MachineKey() = default;

// ---------------------------------------------------------------- ProductInfo

ProductInfo::ProductInfo(Registry::Key* parent, const char* name)
    : Registry::Subkey(parent, name),
      m_installed(this, "Installed", 0),
      m_help_file(this, "Help File", ""),
      m_what_help_file(this, "What Help File", "") {}

ProductInfo::ProductInfo(const Registry::Subkey& key)
    : ProductInfo(const_cast<Registry::Key*>(key.Parent()), key.Name()) {}

ProductInfo::ProductInfo(const ProductInfo& other)
    : Registry::Subkey(other),
      m_installed(this, "Installed", other.m_installed.GetDefault()),
      m_help_file(this, "Help File", other.m_help_file.GetDefault()),
      m_what_help_file(this, "What Help File", other.m_what_help_file.GetDefault()) {}

ProductInfo::~ProductInfo() = default;

// ---------------------------------------------------------------- The shell's keys

namespace {

TQApplShell& CurrentShell() {
  TQApplShell* shell = TQApplShell::Instance();
  if (shell == nullptr) throw TQGeneralException();
  return *shell;
}

UserKey& ShellUserKey() {
  UserKey* key = CurrentShell().GetUserKey();
  if (key == nullptr) throw TQMemoryException();
  return *key;
}

MachineKey& ShellMachineKey() {
  MachineKey* key = CurrentShell().GetMachineKey();
  if (key == nullptr) throw TQMemoryException();
  return *key;
}

}  // namespace

// ---------------------------------------------------------------- Panes

SourcePaneSettings::SourcePaneSettings(UserKey& user)
    : TQReg::FilePaneSettings(&user.m_preferences, "SourcePane",
                              TQReg::DefaultPaneValuesFixedFont()) {}

SourcePaneSettings::SourcePaneSettings() : SourcePaneSettings(ShellUserKey()) {}

SourcePaneSettings::SourcePaneSettings(const SourcePaneSettings& other)
    : TQReg::FilePaneSettings(other) {}

SourcePaneSettings::~SourcePaneSettings() = default;

StackPaneSettings::StackPaneSettings(UserKey& user)
    : TQReg::StdPaneSettings(&user.m_preferences, "StackPane",
                             TQReg::DefaultPaneValuesVariableFont()) {}

StackPaneSettings::StackPaneSettings() : StackPaneSettings(ShellUserKey()) {}

StackPaneSettings::StackPaneSettings(const StackPaneSettings& other)
    : TQReg::StdPaneSettings(other) {}

StackPaneSettings::~StackPaneSettings() = default;

// ---------------------------------------------------------------- Search paths

// The machine's default is read after the subkey is built and before
// "Paths" is: that read may itself store ".;.." in the machine key.
SrcSearchPathSetting::SrcSearchPathSetting(UserKey& user, MachineKey& machine)
    : Registry::Subkey(&user, "SrcPath"),
      m_paths(this, "Paths", machine.m_default_source_path.Get()) {}

SrcSearchPathSetting::SrcSearchPathSetting()
    : SrcSearchPathSetting(ShellUserKey(), ShellMachineKey()) {}

SrcSearchPathSetting::SrcSearchPathSetting(const SrcSearchPathSetting& other)
    : Registry::Subkey(other), m_paths(this, "Paths", other.m_paths.GetDefault()) {}

SrcSearchPathSetting::~SrcSearchPathSetting() = default;

SymSearchPathSetting::SymSearchPathSetting(UserKey& user, MachineKey& machine)
    : Registry::Subkey(&user, "SymbolPath"),
      m_paths(this, "Paths", machine.m_default_source_path.Get()) {}

SymSearchPathSetting::SymSearchPathSetting()
    : SymSearchPathSetting(ShellUserKey(), ShellMachineKey()) {}

SymSearchPathSetting::SymSearchPathSetting(const SymSearchPathSetting& other)
    : Registry::Subkey(other), m_paths(this, "Paths", other.m_paths.GetDefault()) {}

SymSearchPathSetting::~SymSearchPathSetting() = default;

}  // namespace TQApplSettings
