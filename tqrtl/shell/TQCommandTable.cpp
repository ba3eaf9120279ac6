#include "tqrtl/shell/TQCommandTable.h"

TQCommandNotification::~TQCommandNotification() = default;

TQCommandUpdateEnabledNotification::~TQCommandUpdateEnabledNotification() = default;

// ---------------------------------------------------------------- Handler

TQCommandHandler::TQCommandHandler() = default;

// The copy starts unregistered: EventReceiver's count belongs to the
// original's registrations.
TQCommandHandler::TQCommandHandler(const TQCommandHandler&) : EventReceiver() {}

TQCommandHandler& TQCommandHandler::operator=(const TQCommandHandler&) { return *this; }

TQCommandHandler::~TQCommandHandler() = default;

int TQCommandHandler::UponEventNotification(EventNotification const* n, EventSender*) {
  auto* command = dynamic_cast<TQCommandNotification*>(const_cast<EventNotification*>(n));
  if (command == nullptr) return 0;
  switch (command->phase) {
    case PhaseCanEnable: {
      const bool r = TQCH_OnCanEnable(command->command);
      command->answer = command->answer && r;
      return 1;
    }
    case PhasePreExecute: {
      const bool r = TQCH_OnPreExecute(command->command);
      command->answer = command->answer && r;
      return 1;
    }
    case PhasePostExecute:
      TQCH_OnPostExecute(command->command, command->flag);
      return 1;
    default:
      return 0;
  }
}

bool TQCommandHandler::TQCH_OnCanEnable(int) { return true; }

bool TQCommandHandler::TQCH_OnPreExecute(int) { return true; }

void TQCommandHandler::TQCH_OnPostExecute(int, bool) {}

// ---------------------------------------------------------------- Table

TQCommandTable::TQCommandTable(TQIPC::RoleType role, char const* name, char const* title,
                               unsigned int timeout)
    : TQIPC_Object(role, name, title, timeout) {}

TQCommandTable::TQCommandTable() = default;

TQCommandTable::~TQCommandTable() { TQIPC_Stop(); }

bool TQCommandTable::TQCT_CanEnable(int command) {
  return TQCT_NotifyPhase(PhaseCanEnable, command, false, false);
}

bool TQCommandTable::TQCT_PreExecute(int command) {
  if (TQCT_NotifyPhase(PhasePreExecute, command, false, false)) return true;
  TQCT_NotifyPhase(PhasePostExecute, command, true, false);
  return false;
}

void TQCommandTable::TQCT_PostExecute(int command, bool flag) {
  TQCT_NotifyPhase(PhasePostExecute, command, flag, false);
}

void TQCommandTable::TQCT_UpdateEnables() {
  if (TQIPC_IsConnectionOK()) {
    const TQIPC::StandardMsg msg = {M_UPDATE_ENABLES, 0, 0};
    TQIPC_SendMsg(msg, nullptr);
  }
  EventNotify(TQCommandUpdateEnabledNotification(), ScopeAll);
}

bool TQCommandTable::TQCT_NotifyPhase(TQCommandPhase phase, int command, bool flag,
                                      bool fromPartner) {
  bool remote = true;
  if (!fromPartner && TQIPC_IsConnectionOK()) {
    const TQIPC::StandardMsg msg = {static_cast<UINT>(phase), static_cast<UINT>(command),
                                    flag ? 1 : 0};
    TQIPC::SingleReply reply;
    // Only a bool is an answer; whatever else comes back (an empty reply
    // from some other receiver of the partner's) leaves the partner agreeing.
    if (TQIPC_SendMsg(msg, &reply) == TQIPC::OK && reply.Type() == TQIPC::Reply::ReplyBool) {
      remote = reply.BoolVal();
    }
  }
  TQCommandNotification n(phase, flag, command);
  EventNotify(n, ScopeAll);
  return remote && n.answer;
}

bool TQCommandTable::TQIPC_OnStandardMessage(TQIPC::StandardMsg const& msg,
                                             TQIPC::Reply* reply) {
  switch (msg.message) {
    case PhaseCanEnable:
    case PhasePreExecute:
    case PhasePostExecute:
      reply->Set(TQCT_NotifyPhase(static_cast<TQCommandPhase>(msg.message),
                                  static_cast<int>(msg.wParam), msg.lParam != 0, true));
      return true;
    case M_UPDATE_ENABLES:
      reply->Set(true);
      EventNotify(TQCommandUpdateEnabledNotification(), ScopeAll);
      return true;
    default:
      return TQIPC_Object::TQIPC_OnStandardMessage(msg, reply);
  }
}
