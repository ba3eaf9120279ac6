// TQIPC_Messages.h: what travels between a master and a slave endpoint
// (TQIPC_Object, ipc/TQIPC_Object.h), the reply a handler fills in, the
// notifications an endpoint raises for each arrival, and
// TQIPC_MessageHandler, the receiver base that turns those notifications into
// three virtual calls.
//
// Messages. A StandardMsg is a window message of its own: a number (0x404
// and above for applications) and two 32-bit values. A BlockMsg is a number
// and a byte block, carried by WM_COPYDATA (dwData the number); the receiving
// process sees a copy of the bytes that lives only while the message is
// handled. A ConnectMsg never travels: each end builds one for its own
// receivers when a slave connects, and they vote on it.
//
// The reply travels back as the 32-bit result of the window message:
//
//   0                  not produced by a receiving endpoint; the sender's
//                      reply is left as it was
//   1                  handled, the reply empty (or a text that could not
//                      be made into an atom)
//   2                  nobody handled the message
//   3 / 4              bool true (REPLY_ACK) / false (REPLY_NAK)
//   5 .. 0x7FFFFFFF    dword, value = result - 5
//   0x80000000 + atom  text: the name of a global atom, made by the
//                      receiver and deleted by the sender after reading
//
// Because of that encoding a dword reply can be at most 0x7FFFFFFA
// (REPLY_DWORD_MAX). Reply::Set refuses a larger one and leaves the reply as
// it was, instead of letting it travel as a wrong code. A text reply keeps at
// most 254 characters; it arrives whole.
//
// Voting. The connect notification carries a MultiReply: each Set(bool) is a
// vote, and the reply ends false as soon as one vote was false. A handler
// that handles the notification without voting leaves the reply empty, which
// counts as yes. MultiReply ignores texts and dwords.
//
// Lifetime: messages, replies and notifications of an arrival live on the
// endpoint's window thread's stack for the length of one dispatch; a handler
// copies whatever it keeps (the bytes of a block message included).
#ifndef TQRTL_IPC_TQIPC_MESSAGES_H_
#define TQRTL_IPC_TQIPC_MESSAGES_H_

#include "tqrtl/core/EventSender.h"
#include "tqrtl/platform/win32.h"

namespace TQIPC {

enum RoleType {
  None = 0,
  Master = 1,
  Slave = 2,
};

// The result of a send or post.
enum Status {
  OK = 0,       // delivered, and a receiver on the other side handled it
  Failed = 1,   // no connection, or the send or post failed or timed out
  NoReply = 2,  // delivered, but no receiver on the other side handled it
};

// Message numbers, in the application-private range of window messages.
constexpr UINT M_CONNECT_REQ = 0x401;  // slave -> master: wParam slave window, lParam pid
constexpr UINT M_CONNECT = 0x402;      // the number of the connect notification; never sent
constexpr UINT M_PING = 0x403;         // either way; answered REPLY_ACK
constexpr UINT M_FIRST_STANDARD = 0x404;

// Message results (see the top of this file).
constexpr DWORD REPLY_NONE = 0;
constexpr DWORD REPLY_EMPTY = 1;
constexpr DWORD REPLY_NOT_HANDLED = 2;
constexpr DWORD REPLY_ACK = 3;
constexpr DWORD REPLY_NAK = 4;
constexpr DWORD REPLY_DWORD_BASE = 5;
constexpr DWORD REPLY_DWORD_MAX = 0x7FFFFFFAu;
constexpr DWORD REPLY_STRING_FLAG = 0x80000000u;

struct StandardMsg {
  UINT message;
  UINT wParam;
  LONG lParam;
};

struct BlockMsg {
  UINT message;
  void* data;
  UINT size;
};

struct ConnectMsg {
  UINT message;  // always M_CONNECT
  DWORD processId;
};

// Reply: what a handler answers. Filled by the Set functions, read as any
// type whatever was set.
struct TQRTL_API Reply {
  enum ReplyType {
    ReplyNone = 0,
    ReplyBool = 1,
    ReplyDword = 2,
    ReplyString = 3,
  };
  static const int kValueSize = 255;  // a text of 254 characters and its NUL

  virtual ~Reply();

  // Text: its first 254 characters (the empty text for null), the rest of
  // the value zero-filled.
  virtual void Set(char const* s);
  // Dword: refused (nothing changes) above REPLY_DWORD_MAX.
  virtual void Set(unsigned long d);
  virtual void Set(bool b);
  // Forms that would be ambiguous between the two above.
  void Set(unsigned int d) { Set(static_cast<unsigned long>(d)); }
  void Set(int d);

  ReplyType Type() const { return type; }
  bool BoolVal() const { return value[0] != 0; }
  unsigned long DwordVal() const;
  char const* StrVal() const { return value; }

  // The reply as a message result (see the top of this file); a text is
  // made into a global atom, which the reader of the result deletes.
  DWORD Encode() const;
  // Reads a result `r` other than REPLY_NOT_HANDLED into the reply: a text
  // from its atom (deleted afterwards); 0 and 1 leave the reply as it was.
  void Decode(DWORD r);

  ReplyType type;
  char value[kValueSize];

 protected:
  Reply();
  Reply(const Reply&) = default;
  Reply& operator=(const Reply&) = default;
  void Clear();
};

// SingleReply: the reply of standard and block messages.
struct TQRTL_API SingleReply : Reply {
  SingleReply();
};

// MultiReply: the reply of the connect notification; collects votes.
struct TQRTL_API MultiReply : Reply {
  MultiReply();
  using Reply::Set;
  void Set(char const* s) override;
  void Set(unsigned long d) override;
  // The first vote sets the reply; every later one can only turn it false.
  void Set(bool b) override;
};

// Notifications raised by an endpoint for each arrival.
struct TQRTL_API MsgArrived : EventNotification {
  MsgArrived(Reply* r, void const* m) : reply(r), message(m) {}
  ~MsgArrived() override;
  Reply* reply;
  void const* message;
};

struct TQRTL_API ConnectMsgArrived : MsgArrived {
  ConnectMsgArrived(MultiReply* r, ConnectMsg const* m) : MsgArrived(r, m) {}
  ~ConnectMsgArrived() override;
  ConnectMsg const& Message() const { return *static_cast<ConnectMsg const*>(message); }
};

struct TQRTL_API StandardMsgArrived : MsgArrived {
  StandardMsgArrived(SingleReply* r, StandardMsg const* m) : MsgArrived(r, m) {}
  ~StandardMsgArrived() override;
  StandardMsg const& Message() const { return *static_cast<StandardMsg const*>(message); }
};

struct TQRTL_API BlockMsgArrived : MsgArrived {
  BlockMsgArrived(SingleReply* r, BlockMsg const* m) : MsgArrived(r, m) {}
  ~BlockMsgArrived() override;
  BlockMsg const& Message() const { return *static_cast<BlockMsg const*>(message); }
};

}  // namespace TQIPC

// TQIPC_MessageHandler: derive from it and register with an endpoint to
// handle messages. UponEventNotification calls the override that matches the
// notification's type; each returns true when it handled the message (and
// then has filled the reply, or left it empty on purpose). A handler that
// fills the reply and returns false has not handled it.
//
// Copies: a copy is a new receiver that no sender holds (its registration
// count starts at 0), so that the count never claims registrations the copy
// does not have.
class TQRTL_API TQIPC_MessageHandler : public EventReceiver {
 public:
  ~TQIPC_MessageHandler() override;
  int UponEventNotification(EventNotification const* n, EventSender* sender) override;

 protected:
  TQIPC_MessageHandler();
  TQIPC_MessageHandler(const TQIPC_MessageHandler&);
  TQIPC_MessageHandler& operator=(const TQIPC_MessageHandler&);

  virtual bool TQIPC_OnConnectMessage(TQIPC::ConnectMsg const& msg, TQIPC::Reply* reply);
  virtual bool TQIPC_OnStandardMessage(TQIPC::StandardMsg const& msg, TQIPC::Reply* reply);
  virtual bool TQIPC_OnBlockMessage(TQIPC::BlockMsg const& msg, TQIPC::Reply* reply);
};

#endif  // TQRTL_IPC_TQIPC_MESSAGES_H_
