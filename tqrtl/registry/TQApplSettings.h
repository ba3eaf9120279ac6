// TQApplSettings.h: the registry tree of one application of the family.
//
// Each application has two keys named by its shell's settings key name, both
// event senders whose notifications also reach the shared root of their hive
// (TQReg.h):
//
//   HKCU\Software\Vantor\<appl>                    UserKey
//     Preferences: "Auto Close Console" 1, "Details On Bottom" 0
//       SourcePane, StackPane                      pane settings (fixed, variable font)
//     SrcPath, SymbolPath: "Paths"                 search paths
//   HKLM\Software\Vantor\<appl>                    MachineKey
//     "InstallDir", "CommonDir" "C:\Vantor"; "HelpDir" "\Help" (not joined to
//     the install directory); "Help File", "What Help File" "Vantor.hlp";
//     "Default Source Path" ".;.." (directories separated by ";");
//     "WWW1", "WWW3", "WWW4", "WWW5" web addresses; "MaxMRU" 10
//     FrameworkShells\Master\<shell>, FrameworkShells\Slave\<shell>
//                                                  one DynamicObjectKey each
//
// ProductInfo ("Installed" 0, "Help File" "", "What Help File" "") sits in
// any key a caller chooses.
//
// Building any of these objects touches no registry value except the two
// search-path settings, which read the machine's "Default Source Path" (and
// so store ".;.." there when nothing valid is stored): that text, read at
// construction, is the default of the user's "Paths". Values repair
// themselves on first read (RegistryValue.h); Win32 failures arrive as
// `unsigned int` 3.
//
// The pane and search-path settings are built over the keys they hang from:
// passed in by the caller, or, by the constructors without arguments, the
// keys of the current application shell (TQApplShell::Instance(),
// shell/TQApplShell.h). Those constructors need a shell: without one they
// throw TQGeneralException (the library's generic message), and when the
// shell cannot make its key, TQMemoryException.
//
// A copied settings object gets values of its own, bound to the copy (as in
// TQReg.h). Thread-safety: one thread at a time per object; notification
// follows EventSender's rules.
#ifndef TQRTL_REGISTRY_TQAPPLSETTINGS_H_
#define TQRTL_REGISTRY_TQAPPLSETTINGS_H_

#include "tqrtl/core/EventSender.h"
#include "tqrtl/registry/Registry.h"
#include "tqrtl/registry/RegistryValue.h"
#include "tqrtl/registry/TQReg.h"

namespace TQApplSettings {

// ApplRootKey: an application's key, and an event sender whose
// notifications go first to the shared root of its hive, then to its own
// receivers.
class TQRTL_API ApplRootKey : public Registry::Subkey, public EventSender {
 public:
  ApplRootKey(const ApplRootKey& other);
  ~ApplRootKey() override;

  // EventNotify: the shared root's EventNotify (when this key hangs below
  // a hive that has one), then this sender's own; returns how many
  // receivers handled `n` in both together.
  int EventNotify(const EventNotification& n,
                  EventSender::EventScope scope = ScopeAll) const override;

 protected:
  ApplRootKey(Registry::Key* parent, const char* name);
};

// UserKey: HKCU\Software\Vantor\<name>.
class TQRTL_API UserKey : public ApplRootKey {
 public:
  class TQRTL_API Preferences : public Registry::Subkey {
   public:
    explicit Preferences(Registry::Key* parent);
    Preferences(const Preferences& other);
    ~Preferences() override;

    Registry::NumberValue<int> m_auto_close_console;
    Registry::NumberValue<int> m_details_on_bottom;
  };

  explicit UserKey(const char* name);
  UserKey(const UserKey& other);
  ~UserKey() override;

  Preferences m_preferences;
};

// MachineKey: HKLM\Software\Vantor\<name>.
class TQRTL_API MachineKey : public ApplRootKey {
 public:
  // The lists of framework shells to load, one subkey per shell.
  class TQRTL_API FrameworkShells : public Registry::Subkey {
   public:
    explicit FrameworkShells(Registry::Key* parent);
    FrameworkShells(const FrameworkShells& other);
    ~FrameworkShells() override;

    Registry::Subkey m_master;
    Registry::Subkey m_slave;
  };

  explicit MachineKey(const char* name);
  MachineKey(const MachineKey& other);
  ~MachineKey() override;

  FrameworkShells m_framework_shells;
  Registry::StringValue m_install_dir;
  Registry::StringValue m_help_dir;
  Registry::StringValue m_help_file;
  Registry::StringValue m_what_help_file;
  Registry::StringValue m_common_dir;
  Registry::StringValue m_default_source_path;
  Registry::StringValue m_www1;
  Registry::StringValue m_www3;
  Registry::StringValue m_www4;
  Registry::StringValue m_www5;
  Registry::NumberValue<unsigned int> m_max_mru;
};

// ProductInfo: what an installed product keeps, in a key of the caller's.
class TQRTL_API ProductInfo : public Registry::Subkey {
 public:
  ProductInfo(Registry::Key* parent, const char* name);
  // On the same registry key as `key`, with values of its own.
  explicit ProductInfo(const Registry::Subkey& key);
  ProductInfo(const ProductInfo& other);
  ~ProductInfo() override;

  Registry::NumberValue<int> m_installed;
  Registry::StringValue m_help_file;
  Registry::StringValue m_what_help_file;
};

// SourcePaneSettings: "SourcePane" below the user's "Preferences", with the
// fixed-font defaults.
class TQRTL_API SourcePaneSettings : public TQReg::FilePaneSettings {
 public:
  explicit SourcePaneSettings(UserKey& user);
  SourcePaneSettings();  // the shell's user key
  SourcePaneSettings(const SourcePaneSettings& other);
  ~SourcePaneSettings() override;
};

// StackPaneSettings: "StackPane" below the user's "Preferences", with the
// variable-font defaults.
class TQRTL_API StackPaneSettings : public TQReg::StdPaneSettings {
 public:
  explicit StackPaneSettings(UserKey& user);
  StackPaneSettings();  // the shell's user key
  StackPaneSettings(const StackPaneSettings& other);
  ~StackPaneSettings() override;
};

// SrcSearchPathSetting: the user's "SrcPath" key; its "Paths" defaults to
// the machine's "Default Source Path" as read at construction.
class TQRTL_API SrcSearchPathSetting : public Registry::Subkey {
 public:
  SrcSearchPathSetting(UserKey& user, MachineKey& machine);
  SrcSearchPathSetting();  // the shell's user and machine keys
  SrcSearchPathSetting(const SrcSearchPathSetting& other);
  ~SrcSearchPathSetting() override;

  Registry::StringValue m_paths;
};

// SymSearchPathSetting: the same in the user's "SymbolPath" key.
class TQRTL_API SymSearchPathSetting : public Registry::Subkey {
 public:
  SymSearchPathSetting(UserKey& user, MachineKey& machine);
  SymSearchPathSetting();  // the shell's user and machine keys
  SymSearchPathSetting(const SymSearchPathSetting& other);
  ~SymSearchPathSetting() override;

  Registry::StringValue m_paths;
};

}  // namespace TQApplSettings

#endif  // TQRTL_REGISTRY_TQAPPLSETTINGS_H_
