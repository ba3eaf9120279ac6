// TQApplShell.h: the application shell, the one object that stands for the
// running application of the tool family: its messaging endpoint and its
// command table at once (TQCommandTable), an event sender for everything
// that happens to the session, the owner of the application's two settings
// keys and of the framework shells (plug-in modules) named in the registry.
//
// Each application derives its own shell from TQApplShell (a master) or
// TQApplSlaveShell (a slave, shell/TQApplSlaveShell.h) and constructs
// exactly one. While it lives it is the current shell (Instance()), through
// which the settings that find their place by themselves reach the
// application's keys (the no-argument constructors in
// registry/TQApplSettings.h).
//
// Start-up and shutdown. OnStartUp loads the framework shells of the role's
// list (HKLM "Software\Vantor\<name>\FrameworkShells\Master" or "\Slave",
// looked for along the machine key's "InstallDir"), starts them, and only
// then starts the endpoint, so that the plug-ins are running before a
// partner can reach the application. OnShutDown stops them in the same
// order and the endpoint last. A shell of role None never starts its
// endpoint.
//
// Session. The shell keeps a session state, a number whose meaning belongs
// to the applications; running commands 0, 1, 2 and 4 moves it (see
// TQCT_PreExecute), and every change is sent to the shell's receivers as a
// TQSession::StateChanged. A slave connecting to a master raises
// TQSession::Initialized there, and a workspace saved while the shell
// listens to it raises TQSession::SettingsChanged.
//
// Failures: start-up and shutdown report 1 or 0 and never throw (registry
// failures while reading the lists count as a failed start-up). A framework
// shell that fails to load or start makes OnStartUp fail after the others
// were shut down and unloaded; one switched off in the registry ("Load" 0)
// is skipped. The reporting operations return what the message box gives.
//
// Settings keys. GetUserKey() and GetMachineKey() make the keys on first
// use, named by GetSettingsKeyName() (HKCU and HKLM "Software\Vantor\<name>"),
// keep them for the shell's life and return the same object every time.
// Making a key touches no registry value. When a key cannot be made (out of
// memory) the result is null and the next call tries again.
//
// Threads: the shell is a ThreadSafeEventSender, so notifications from the
// endpoint's window thread (connects, command phases from the partner) and
// from the application's threads reach its receivers one at a time. Message
// boxes and exception reports are serialised by a lock of the shell's own.
// OnStartUp, OnShutDown and the framework-shell operations run on one
// application thread, never on the window thread. The keys are made without
// a lock: the application makes its first calls of GetUserKey and
// GetMachineKey before other threads use them. Construct and destroy the
// shell on one thread, while no other thread uses Instance().
#ifndef TQRTL_SHELL_TQAPPLSHELL_H_
#define TQRTL_SHELL_TQAPPLSHELL_H_

#include "tqrtl/core/EventSender.h"
#include "tqrtl/core/TQPlex.h"
#include "tqrtl/errors/TQException.h"
#include "tqrtl/files/FileFinder.h"
#include "tqrtl/ipc/TQIPC_Messages.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/registry/TQApplSettings.h"
#include "tqrtl/shell/TQCommandTable.h"
#include "tqrtl/shell/TQDynamicObject.h"
#include "tqrtl/strings/SearchString.h"

class TQWorkspace;

// How a search the user started ended, as the application reports it to
// ReportSearchResult. The library gives the values no meaning of its own.
enum SearchResult {
  SearchFound = 0,
  SearchNotFound = 1,
};

// Notifications the shell sends to its receivers (EventSender::ScopeAll).
namespace TQSession {

// The session state: a number whose meaning belongs to the applications.
// The shell sets 0, 1, 2, 3, 9, 11 and 12 itself (TQCT_PreExecute).
typedef int SessionState;

// A slave has connected to this (master) shell; no receiver of the shell's
// own took the connect notification.
struct TQRTL_API Initialized : EventNotification {
  explicit Initialized(DWORD pid) : processId(pid) {}
  ~Initialized() override;
  DWORD processId;  // the connecting slave's process id
};

// Something about the session changed; `workspace` is the shell's
// GetWorkspace() at that moment (may be null). Not sent by itself.
struct TQRTL_API Changed : EventNotification {
  explicit Changed(TQWorkspace* w) : workspace(w) {}
  ~Changed() override;
  TQWorkspace* workspace;
};

// The session state has been set (also to the value it had).
struct TQRTL_API StateChanged : Changed {
  StateChanged(TQWorkspace* w, SessionState s) : Changed(w), state(s) {}
  ~StateChanged() override;
  SessionState state;
};

// The workspace the shell listens to has saved its settings.
struct TQRTL_API SettingsChanged : Changed {
  explicit SettingsChanged(TQWorkspace* w) : Changed(w) {}
  ~SettingsChanged() override;
};

}  // namespace TQSession

class TQRTL_API TQApplShell : public TQCommandTable {
 public:
  // An endpoint of `role` for the connection "TQShell", titled
  // "TQMasterShell" for a master and "TQSlaveShell" for any other role, with
  // time-out 0; not started. No framework shells, session state 0. The new
  // shell becomes the current shell.
  explicit TQApplShell(TQIPC::RoleType role);
  // As a slave.
  TQApplShell();
  // Stops the endpoint, destroys the keys that were made and, when this is
  // the current shell, leaves no current shell. Framework shells still in
  // the list are forgotten, not unloaded: call OnShutDown first.
  ~TQApplShell() override;
  TQApplShell(const TQApplShell&) = delete;
  TQApplShell& operator=(const TQApplShell&) = delete;

  // The current shell: the one constructed last and not yet destroyed;
  // null when there is none.
  static TQApplShell* Instance() { return m_instance; }
  static TQApplShell* GetShell() { return m_instance; }

  // TQCT_PreExecute: the command table's agreement first (false, changing
  // nothing, when refused); then command 0 sets state 3, 1 state 9, 2
  // state 1, and 4 stops listening to the workspace and sets state 11.
  // True when the command may run.
  bool TQCT_PreExecute(int command) override;
  // TQCT_PostExecute: the command table's phase first; then command 2 sets
  // state 2 and starts listening to the workspace (if any), command 4 sets
  // state 12 and then 0.
  void TQCT_PostExecute(int command, bool flag) override;

  // GetWorkspace: the application's current workspace; null when none.
  virtual TQWorkspace* GetWorkspace() const = 0;

  // OnStartUp: loads and starts the framework shells, then starts the
  // endpoint (not for role None) with the properties given at
  // construction. 1 on success; 0 when a shell failed to load, start, or
  // the endpoint failed to start, with every framework shell shut down and
  // unloaded again.
  virtual int OnStartUp();
  // OnShutDown: shuts down and unloads the framework shells, then stops the
  // endpoint (not for role None). 1 when every shell shut down and
  // unloaded; 0 when one refused. The endpoint is stopped either way.
  virtual int OnShutDown();

  // GetApplName: the application's display name, for captions.
  virtual char const* GetApplName() const = 0;
  // GetMainWnd: the window that owns the application's message boxes; null
  // here (boxes are then task-modal).
  virtual HWND GetMainWnd() const;

  // The application's key in HKCU, made on first use; null when it could
  // not be made.
  virtual TQApplSettings::UserKey* GetUserKey() const;
  // The application's key in HKLM, made on first use; null when it could
  // not be made.
  virtual TQApplSettings::MachineKey* GetMachineKey() const;

  // GetHelpFileName: the path of the application's help file, for the
  // tools' help commands and the framework shells that add pages to it.
  // The library itself never asks for it.
  virtual char const* GetHelpFileName() const = 0;

  // The name of the application's settings keys below "Software\Vantor":
  // supplied by the application's shell class.
  virtual char const* GetSettingsKeyName() const = 0;

  // DisplayStatusMessage: shows a line (or string resource `id` of the
  // application) in the application's status bar; nothing here.
  virtual void DisplayStatusMessage(char const* text);
  virtual void DisplayStatusMessage(unsigned int id);

  // ReportException: shows `e`'s message (TQException::DisplayErrorMessage)
  // with `style` (0: an exclamation box). A null `caption` is the library's
  // "... - <GetApplName()> Error" text, cut at 260 characters; a null
  // `owner` is GetMainWnd(). One report or box at a time per shell. Returns
  // the button chosen, 0 when no message could be built.
  virtual int ReportException(TQException const& e, unsigned int style = 0,
                              char const* caption = nullptr, HWND owner = nullptr) const;
  // DisplayMessageBox: MessageBoxA with `style` (0: MB_ICONINFORMATION),
  // always MB_TOPMOST, and MB_TASKMODAL when there is no owner window. A
  // null `caption` is GetApplName(), a null `owner` GetMainWnd(). One box
  // at a time per shell. Returns MessageBoxA's result.
  virtual int DisplayMessageBox(char const* text, unsigned int style = 0,
                                char const* caption = nullptr, HWND owner = nullptr) const;

  // ReportSearchResult: tells the user how a search ended; nothing here.
  virtual void ReportSearchResult(SearchString const& search, SearchResult result);

  // MakeFileFinder: a new finder over `path` (REQUIRES: not null) whose
  // prompter asks for files on behalf of `name` (FileFinder::UserPrompter).
  // The caller owns the finder; the finder holds the references. Throws
  // TQMemoryException when memory runs out (nothing is leaked).
  virtual FileFinder* MakeFileFinder(FileFinder::SearchPathA* path, char const* name);

  // UponEventNotification (as a receiver of its own endpoint and of the
  // workspace): inter-process messages first; a workspace's SettingsChanged
  // becomes TQSession::SettingsChanged (handled); a connect notification
  // that nothing of the shell's own took raises TQSession::Initialized and
  // stays unhandled, so that it does not count as a vote.
  int UponEventNotification(EventNotification const* n, EventSender* sender) override;

  // SessionState: the state last set (0 after construction).
  TQSession::SessionState SessionState() const { return m_session_state; }

  // The current shell (see Instance()). Exported for tools that read it
  // directly; set only by the shell's constructor and destructor.
  static TQApplShell* m_instance;
  // The number of the window message by which a slave asks its master for
  // the path of the master's workspace ("TQ_Get_Workspace_Name", the same
  // in every process of the user). Registered when the library is loaded;
  // 0 when registering failed.
  static UINT m_get_workspace_msg_id;

 protected:
  // SetSessionState: stores `state`, then sends TQSession::StateChanged
  // with GetWorkspace() and `state`.
  void SetSessionState(TQSession::SessionState state);

  // LoadFrameworkShells: loads every entry of the role's list (Slave reads
  // "Slave", every other role "Master") in the registry's order and appends
  // it to the list; entries switched off are skipped. 1 on success; 0 when
  // an entry failed to load or the registry failed, after unloading every
  // shell in the list.
  int LoadFrameworkShells();
  // StartUpFrameworkShells: starts every loaded shell in list order; at the
  // first refusal shuts the started ones down and returns 0; else 1.
  int StartUpFrameworkShells();
  // ShutDownFrameworkShells: shuts down every started shell in list order;
  // 0 at the first refusal (the rest stay started), else 1.
  int ShutDownFrameworkShells();
  // UnloadFrameworkShells: takes the shells off the list from its head,
  // unloading those loaded or shut down; at the first unload that fails
  // returns 0, the rest staying in the list. 1 when the list is empty.
  int UnloadFrameworkShells();

  // The framework shells in the list, in load order.
  int FrameworkShellCount() const { return m_shell_count; }

 private:
  struct ShellNode {
    ShellNode* next;
    TQFrameworkShell* shell;
  };

  // The list of framework shells: appended at the tail, taken from the
  // head; nodes are carved from TQPlex blocks of kShellsPerBlock.
  static constexpr unsigned kShellsPerBlock = 10;
  void AppendShell(TQFrameworkShell* shell);
  TQFrameworkShell* TakeFirstShell();
  int LoadShellList();

  // The shell's TQIPC_MessageHandler part as a workspace's receiver.
  EventReceiver* AsReceiver() {
    return static_cast<EventReceiver*>(static_cast<TQIPC_MessageHandler*>(this));
  }

  mutable TQApplSettings::MachineKey* m_machine_key;
  mutable TQApplSettings::UserKey* m_user_key;
  ShellNode* m_shells_head;
  ShellNode* m_shells_tail;
  ShellNode* m_free_nodes;
  TQPlex* m_node_blocks;
  int m_shell_count;
  mutable CRITICAL_SECTION m_lock;
  TQSession::SessionState m_session_state;
};

#endif  // TQRTL_SHELL_TQAPPLSHELL_H_
