// TQIPC_Object.h: one end of a connection between a master process and a
// slave process.
//
// Each end owns a hidden window of class "TQIPC_ObjectWindow", titled with
// its title and " IPC Trace", created and served by a window thread of its
// own. The ends talk by sending window messages to each other's window (the
// vocabulary is in ipc/TQIPC_Messages.h):
//
//   M_CONNECT_REQ 0x401   slave -> master; wParam slave window, lParam pid
//   M_CONNECT     0x402   the connect notification's number; answered 1
//   M_PING        0x403   answered by TQIPC_OnPing (REPLY_ACK)
//   0x404 and up          standard messages; wParam, lParam the payload
//   WM_COPYDATA           block messages; dwData the number
//
// Finding the master. A master publishes its window handle ("%u") in the
// environment variable "TQIPC_<name>_ENV_VAR", which the processes it starts
// afterwards inherit, and as a REG_DWORD of the same name under
// HKEY_CURRENT_USER\Software\Vantor\IPC. A slave reads the variable, or the
// registry value when the variable is missing.
//
// Connecting. The slave's window thread, while its window is being created,
// sends M_CONNECT_REQ. The master gives its receivers a ConnectMsgArrived
// (all of them vote); on a no it answers 4 and keeps its earlier partner,
// else it takes the slave as its partner (replacing any earlier one) and
// answers 3. The slave then lets its own receivers vote the same way; a no
// there fails the slave's start (the master still holds the refused slave as
// partner until it finds the window gone). Every receiver of an endpoint is
// asked: its own TQIPC_MessageHandler base is always the first registered.
//
// Arrivals run on the window thread: each becomes a notification to the
// receivers (standard and block messages: the first that handles it
// answers), and the reply travels back as the message result.
//
// Start and stop. TQIPC_Start returns once the window thread is up (a
// slave: connected), false when the thread ended instead. Window classes are
// never unregistered, so only the first start in a process gets past the
// class registration: a second endpoint in one process, or a second start of
// the same one, fails. TQIPC_Stop asks the window to close and waits for the
// thread at most 1000 ms.
//
// Lifetime of the object against its thread. The window thread reaches the
// object only through a small shared link. When the thread has not ended
// 1000 ms after TQIPC_Stop asked it to, TQIPC_Stop cuts it off: from then on
// the thread answers every message as unhandled and never touches the
// object again. A thread that is inside the object at that moment (a
// receiver still running, say one waiting for the partner's reply) is waited
// for until it leaves, so that once TQIPC_Stop returns the object can be
// destroyed; that wait is as long as the receiver takes. (Do not stop or
// destroy an endpoint from a receiver running on its own window thread.)
// A class derived from TQIPC_Object that overrides a message operation
// calls TQIPC_Stop in its own destructor, so that no arrival reaches the
// object while it is half destroyed.
//
// Time-out. A time-out of 0 stays 0 on systems of the NT line (all that we
// build for): SendMessageTimeoutA then waits without limit. Elsewhere 0
// becomes 5000 ms.
//
// Failures are results: TQIPC_Start false, a send or post Failed or NoReply;
// nothing throws except TQMemoryException when a receiver list node cannot
// be allocated. A partner window that has gone is noticed at the next send or
// post and forgotten.
//
// Threads: TQIPC_Start and TQIPC_Stop from one thread at a time (not the
// window thread). Sends and posts from any thread, the window thread
// included (a receiver may send to the partner; a thread that waits in a
// send still serves what the partner sends it).
#ifndef TQRTL_IPC_TQIPC_OBJECT_H_
#define TQRTL_IPC_TQIPC_OBJECT_H_

#include <atomic>
#include <cstdarg>

#include "tqrtl/core/EventSender.h"
#include "tqrtl/core/TQEvent.h"
#include "tqrtl/ipc/TQIPC_Messages.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

struct TQIPC_ThreadLink;

class TQRTL_API TQIPC_Object : public ThreadSafeEventSender, public TQIPC_MessageHandler {
 public:
  // Names longer than this make variable names that do not fit in 128 bytes.
  static const int kMaxNameLength = 113;
  static const char kWindowClass[];     // "TQIPC_ObjectWindow"
  static const char kRegistryKey[];     // "Software\Vantor\IPC"
  static const char kVariableFormat[];  // "TQIPC_%s_ENV_VAR"
  static const char kTitleSuffix[];     // " IPC Trace"

  TQIPC_Object(TQIPC::RoleType role, char const* name, char const* title, unsigned int timeout);
  TQIPC_Object();
  ~TQIPC_Object() override;
  TQIPC_Object(const TQIPC_Object&) = delete;
  TQIPC_Object& operator=(const TQIPC_Object&) = delete;

  // Writes each property whose pointer is not null.
  void GetProps(TQIPC::RoleType* role, char const** name, char const** title,
                unsigned int* timeout) const;
  TQIPC::RoleType TQIPC_Role() const { return m_role; }

  // This end's window and the partner's (0 when none).
  HWND TQIPC_Window() const { return m_own_window.load(); }
  HWND TQIPC_PartnerWindow() const { return m_partner_window.load(); }

  // Sets the properties (see SetProps), starts the window thread and waits
  // until it is up (a slave: connected) or has ended.
  bool TQIPC_Start(TQIPC::RoleType role, char const* name, char const* title,
                   unsigned int timeout);
  void TQIPC_Stop();

  // Sends and waits up to the time-out for the reply, which is filled in when
  // the result is OK (`reply` may be null).
  TQIPC::Status TQIPC_SendMsg(TQIPC::StandardMsg const& msg, TQIPC::SingleReply* reply);
  TQIPC::Status TQIPC_SendMsg(TQIPC::BlockMsg const& msg, TQIPC::SingleReply* reply);
  // Posts without waiting; OK once the message is queued.
  TQIPC::Status TQIPC_PostMsg(TQIPC::StandardMsg const& msg);

  // True while the partner's window exists; else forgets the partner.
  bool TQIPC_IsConnectionOK();

  // Trace hooks: they do nothing.
  void TQIPC_Trace(char const* format, ...) const;
  void TQIPC_TraceVA(char const* format, va_list args) const;
  void TQIPC_TraceClear() const;

 protected:
  // Each argument that is not 0 or null replaces its property; an empty
  // title then becomes "None", "Master" or "Slave" by `role`. Names longer
  // than kMaxNameLength are cut.
  void SetProps(TQIPC::RoleType role, char const* name, char const* title, unsigned int timeout);

  // Answers M_PING; the result is the message result (REPLY_ACK).
  virtual long TQIPC_OnPing();

 private:
  friend struct TQIPC_ThreadLink;
  static unsigned WINAPI TQIPC_ThreadProc(void* link);
  static LRESULT CALLBACK TQIPC_WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  LRESULT WindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  bool TQIPC_OnCreate();
  bool Master_OnCreate();
  bool Slave_OnCreate();
  DWORD TQIPC_OnConnectReq(HWND slaveWindow, DWORD slaveProcessId);
  DWORD TQIPC_DispatchConnectMsg(DWORD processId);
  DWORD DispatchStandardMessage(UINT message, UINT wParam, LONG lParam) const;
  DWORD DispatchBlockMessage(UINT message, void* data, DWORD size) const;
  DWORD DispatchMessageA(TQIPC::MsgArrived& n, EventSender::EventScope scope) const;
  TQIPC::Status TQIPC_SendMessage(UINT message, WPARAM wParam, LPARAM lParam,
                                  TQIPC::SingleReply* reply);
  void MakeEnvVarName(char* buffer) const;
  void WriteEnvVar();
  bool ReadEnvVar();

  std::atomic<HWND> m_own_window;
  std::atomic<HWND> m_partner_window;
  HANDLE m_thread;
  DWORD m_thread_id;
  TQString m_name;
  TQString m_title;
  unsigned int m_timeout;
  TQIPC::RoleType m_role;
  TQEvent m_started;
  TQIPC_ThreadLink* m_link;
};

#endif  // TQRTL_IPC_TQIPC_OBJECT_H_
