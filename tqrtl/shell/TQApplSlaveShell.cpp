#include "tqrtl/shell/TQApplSlaveShell.h"

#include "tqrtl/shell/TQWorkspace.h"
#include "tqrtl/strings/TQString.h"

TQApplSlaveShell::TQApplSlaveShell(TQIPC::RoleType role)
    : TQApplShell(role), m_workspace(nullptr) {}

TQApplSlaveShell::TQApplSlaveShell() : TQApplSlaveShell(TQIPC::Slave) {}

TQApplSlaveShell::~TQApplSlaveShell() {
  // The window thread may still be making the workspace: stop it first.
  TQIPC_Stop();
  delete m_workspace;
  m_workspace = nullptr;
}

int TQApplSlaveShell::OnShutDown() {
  if (m_workspace != nullptr) {
    m_workspace->Close();
    delete m_workspace;
    m_workspace = nullptr;
  }
  return TQApplShell::OnShutDown();
}

bool TQApplSlaveShell::TQIPC_OnConnectMessage(TQIPC::ConnectMsg const& msg,
                                              TQIPC::Reply* reply) {
  bool handled = false;
  if (TQIPC_Role() == TQIPC::Slave) {
    TQIPC_Trace("Sending GET_WORKSPACE message");
    const TQIPC::StandardMsg request = {m_get_workspace_msg_id, 0, 0};
    TQIPC::SingleReply answer;
    if (TQIPC_SendMsg(request, &answer) != TQIPC::OK) return false;
    // A copy: the reply lives on this stack frame only.
    const TQString path(answer.StrVal());
    TQIPC_Trace("Workspace path name is %s", static_cast<char const*>(path));
    TQWorkspace* workspace = CreateWorkspace();
    // A reconnect replaces the workspace of the earlier connection.
    delete m_workspace;
    m_workspace = workspace;
    if (m_workspace != nullptr) m_workspace->Load(path, nullptr);
    handled = true;
  }
  return TQApplShell::TQIPC_OnConnectMessage(msg, reply) || handled;
}
