// TQApplSlaveShell.h: the application shell of a slave tool, which works on
// the same workspace as the master it attaches to.
//
// When the master accepts the connection (during OnStartUp, on the
// endpoint's window thread), the slave shell asks the master for the path of
// its current workspace with the standard message
// TQApplShell::m_get_workspace_msg_id (wParam 0, lParam 0), makes a
// workspace object of the application's own class (CreateWorkspace) and
// loads that path into it. The master's application answers the request in
// its shell's TQIPC_OnStandardMessage with a text reply holding the path;
// the library does not answer it for the master.
//
// Failures: a master that does not answer leaves the slave connected
// without a workspace (GetWorkspace() null); an answer with an empty path,
// or a path the workspace cannot load, leaves a workspace whose Load
// failed (TQWorkspace::IsLoaded() false). The shell never votes against the
// connection.
//
// Ownership and threads: the shell owns the workspace from the connect to
// OnShutDown, which closes and destroys it. The workspace is made on the
// window thread while OnStartUp waits for the connection, so the thread
// that called OnStartUp sees it once OnStartUp returns.
#ifndef TQRTL_SHELL_TQAPPLSLAVESHELL_H_
#define TQRTL_SHELL_TQAPPLSLAVESHELL_H_

#include "tqrtl/ipc/TQIPC_Messages.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/shell/TQApplShell.h"

class TQWorkspace;

class TQRTL_API TQApplSlaveShell : public TQApplShell {
 public:
  // TQApplShell(role); no workspace.
  explicit TQApplSlaveShell(TQIPC::RoleType role);
  // As a slave.
  TQApplSlaveShell();
  // Stops the endpoint; a workspace still held (OnShutDown not called) is
  // destroyed.
  ~TQApplSlaveShell() override;

  // GetWorkspace: the workspace loaded at the connect; null before, after
  // OnShutDown, or when the master did not answer.
  TQWorkspace* GetWorkspace() const override { return m_workspace; }

  // OnShutDown: closes and destroys the workspace, then TQApplShell's
  // shutdown and its result.
  int OnShutDown() override;

  // CreateWorkspace: a new, empty workspace of the application's class,
  // which the shell then owns and deletes. Called on the endpoint's window
  // thread.
  virtual TQWorkspace* CreateWorkspace() = 0;

 protected:
  // TQIPC_OnConnectMessage: for a shell of role Slave, asks the master for
  // its workspace and loads it (see the top of this file); true when it did
  // so or the base handler took the message. False, loading nothing, when
  // the master gave no answer.
  bool TQIPC_OnConnectMessage(TQIPC::ConnectMsg const& msg, TQIPC::Reply* reply) override;

 private:
  TQWorkspace* m_workspace;
};

#endif  // TQRTL_SHELL_TQAPPLSLAVESHELL_H_
