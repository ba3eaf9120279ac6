// TQApplShell.h: the application shell, the one object that stands for the
// running application of the tool family: its messaging endpoint and its
// command table at once (TQCommandTable), and the owner of the
// application's two settings keys.
//
// Each application derives its own shell from TQApplShell and constructs
// exactly one. While it lives it is the current shell (Instance()), through
// which the settings that find their place by themselves reach the
// application's keys (the no-argument constructors in
// registry/TQApplSettings.h).
//
// What this class holds today is that much: the current shell and the
// keys. The application's start-up and shutdown, the framework shells, the
// session and the message boxes are not part of it yet.
//
// Settings keys. GetUserKey() and GetMachineKey() make the keys on first
// use, named by GetSettingsKeyName() (HKCU and HKLM "Software\Vantor\<name>"),
// keep them for the shell's life and return the same object every time.
// Making a key touches no registry value. When a key cannot be made (out of
// memory) the result is null and the next call tries again.
//
// Threads: the keys are made without a lock. The application makes its
// first calls of GetUserKey and GetMachineKey before other threads use
// them; afterwards any thread may call them. Construct and destroy the shell
// on one thread, while no other thread uses Instance().
#ifndef TQRTL_SHELL_TQAPPLSHELL_H_
#define TQRTL_SHELL_TQAPPLSHELL_H_

#include "tqrtl/ipc/TQIPC_Messages.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/registry/TQApplSettings.h"
#include "tqrtl/shell/TQCommandTable.h"

class TQRTL_API TQApplShell : public TQCommandTable {
 public:
  // An endpoint of `role` for the connection "TQShell", titled
  // "TQMasterShell" for a master and "TQSlaveShell" for any other role, with
  // time-out 0; not started. The new shell becomes the current shell.
  explicit TQApplShell(TQIPC::RoleType role);
  // As a slave.
  TQApplShell();
  // Stops the endpoint, destroys the keys that were made and, when this is
  // the current shell, leaves no current shell.
  ~TQApplShell() override;
  TQApplShell(const TQApplShell&) = delete;
  TQApplShell& operator=(const TQApplShell&) = delete;

  // The current shell: the one constructed last and not yet destroyed;
  // null when there is none.
  static TQApplShell* Instance() { return m_instance; }
  static TQApplShell* GetShell() { return m_instance; }

  // The application's key in HKCU, made on first use; null when it could
  // not be made.
  virtual TQApplSettings::UserKey* GetUserKey() const;
  // The application's key in HKLM, made on first use; null when it could
  // not be made.
  virtual TQApplSettings::MachineKey* GetMachineKey() const;

  // The name of the application's settings keys below "Software\Vantor":
  // supplied by the application's shell class.
  virtual char const* GetSettingsKeyName() const = 0;

  // The current shell (see Instance()). Exported for tools that read it
  // directly; set only by the shell's constructor and destructor.
  static TQApplShell* m_instance;

 private:
  mutable TQApplSettings::MachineKey* m_machine_key;
  mutable TQApplSettings::UserKey* m_user_key;
};

#endif  // TQRTL_SHELL_TQAPPLSHELL_H_
