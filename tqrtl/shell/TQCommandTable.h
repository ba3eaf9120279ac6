// TQCommandTable.h: commands of the application, agreed on by every handler
// on both sides of a master-slave connection.
//
// A command is a number the application chooses. It passes through three
// phases: may it be enabled (CanEnable), may it run now (PreExecute), and it
// has run or was refused (PostExecute). For each phase the table first asks
// the partner process, whose table asks only its own handlers, and then its
// own handlers; a command may be enabled or run only when all of them agree.
//
//   TQCT_CanEnable(c)       partner and local handlers; true when all agree
//   TQCT_PreExecute(c)      the same; on a refusal the PostExecute phase
//                           follows at once with flag true, so that every
//                           handler on both sides learns of it
//   TQCT_PostExecute(c, f)  tells everyone; answers nothing
//   TQCT_UpdateEnables()    asks the partner's and the local receivers to
//                           refresh the enabled state of their commands
//
// Between the processes each phase is a standard message whose number is
// the phase (0x469-0x46B), wParam the command and lParam 1 for a true flag;
// the reply is the partner's combined answer as a bool. A partner that does
// not answer (no connection, not a command table, a failed or timed-out
// send) counts as agreeing. M_UPDATE_ENABLES (0x468) carries the refresh
// request and is answered true.
//
// Handlers derive from TQCommandHandler and register with the table
// (EventRegister); every registered handler is asked, even after one has
// refused. A handler must be unregistered before it is destroyed.
//
// Threads: local phases run on the calling thread, phases from the partner
// on the endpoint's window thread; handlers are called under the table's
// lock (ThreadSafeEventSender) either way. A phase asked of the partner
// blocks the caller up to the endpoint's time-out (without limit for 0).
#ifndef TQRTL_SHELL_TQCOMMANDTABLE_H_
#define TQRTL_SHELL_TQCOMMANDTABLE_H_

#include "tqrtl/core/EventSender.h"
#include "tqrtl/ipc/TQIPC_Messages.h"
#include "tqrtl/ipc/TQIPC_Object.h"
#include "tqrtl/platform/win32.h"

// The phases; each value is also the number of the message that carries it.
enum TQCommandPhase {
  M_UPDATE_ENABLES = 0x468,  // the refresh request: a message, not a phase
  PhaseCanEnable = 0x469,
  PhasePreExecute = 0x46A,
  PhasePostExecute = 0x46B,
};

// Sent to the table's receivers for each phase. A handler that refuses sets
// `answer` false; nobody sets it back to true.
struct TQRTL_API TQCommandNotification : EventNotification {
  TQCommandNotification(TQCommandPhase p, bool f, int c)
      : phase(p), flag(f), command(c), answer(true) {}
  ~TQCommandNotification() override;

  TQCommandPhase phase;
  bool flag;  // PhasePostExecute: the flag passed on; otherwise false
  int command;
  bool answer;
};

// Sent to the table's receivers when the enabled states should be
// refreshed (TQCT_UpdateEnables here or in the partner).
struct TQRTL_API TQCommandUpdateEnabledNotification : EventNotification {
  ~TQCommandUpdateEnabledNotification() override;
};

// TQCommandHandler: a receiver that sees each phase as a virtual call.
// Refresh requests are not among them: a handler that wants them overrides
// UponEventNotification and looks for TQCommandUpdateEnabledNotification
// before calling this class's version.
//
// A copy is a new handler that no table holds.
class TQRTL_API TQCommandHandler : public EventReceiver {
 public:
  TQCommandHandler();
  TQCommandHandler(const TQCommandHandler& other);
  TQCommandHandler& operator=(const TQCommandHandler& other);
  ~TQCommandHandler() override;

  // Handles every TQCommandNotification of the three phases (returns 1);
  // anything else is not handled (0).
  int UponEventNotification(EventNotification const* n, EventSender* sender) override;

  // The answers of this handler; the defaults agree.
  virtual bool TQCH_OnCanEnable(int command);
  virtual bool TQCH_OnPreExecute(int command);
  // The command has run (flag as the caller of TQCT_PostExecute passed it)
  // or was refused before it ran (flag true). Nothing to answer.
  virtual void TQCH_OnPostExecute(int command, bool flag);
};

class TQRTL_API TQCommandTable : public TQIPC_Object {
 public:
  // As the endpoint's constructors (TQIPC_Object.h).
  TQCommandTable(TQIPC::RoleType role, char const* name, char const* title, unsigned int timeout);
  TQCommandTable();
  // Stops the endpoint first, so that no message from the partner reaches a
  // half-destroyed table.
  ~TQCommandTable() override;

  virtual bool TQCT_CanEnable(int command);
  // False when anyone refused; the PostExecute phase (flag true) has then
  // already run on both sides.
  virtual bool TQCT_PreExecute(int command);
  virtual void TQCT_PostExecute(int command, bool flag);

  // Sends M_UPDATE_ENABLES to the partner when connected (its answer is not
  // needed), then TQCommandUpdateEnabledNotification to every local receiver.
  void TQCT_UpdateEnables();

 protected:
  // Phases and refresh requests from the partner; anything else is left to
  // the other receivers.
  bool TQIPC_OnStandardMessage(TQIPC::StandardMsg const& msg, TQIPC::Reply* reply) override;

 private:
  // The partner's answer (unless `fromPartner`: the question came from it)
  // and the local handlers', combined.
  bool TQCT_NotifyPhase(TQCommandPhase phase, int command, bool flag, bool fromPartner);
};

#endif  // TQRTL_SHELL_TQCOMMANDTABLE_H_
