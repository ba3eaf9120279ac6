// TQIPC_Messages.cpp: replies, their result encoding, and the handler base.
#include "tqrtl/ipc/TQIPC_Messages.h"

#include <cstring>

namespace TQIPC {

Reply::Reply() { Clear(); }

Reply::~Reply() = default;

void Reply::Clear() {
  type = ReplyNone;
  std::memset(value, 0, sizeof value);
}

void Reply::Set(char const* s) {
  std::memset(value, 0, sizeof value);
  if (s != nullptr) std::strncpy(value, s, kValueSize - 1);
  type = ReplyString;
}

void Reply::Set(unsigned long d) {
  if (d > REPLY_DWORD_MAX) return;
  std::memset(value, 0, 4);
  const DWORD word = static_cast<DWORD>(d);
  std::memcpy(value, &word, 4);
  type = ReplyDword;
}

void Reply::Set(bool b) {
  value[0] = b ? 1 : 0;
  type = ReplyBool;
}

void Reply::Set(int d) {
  if (d < 0) return;  // no dword reply is negative
  Set(static_cast<unsigned long>(d));
}

unsigned long Reply::DwordVal() const {
  DWORD word;
  std::memcpy(&word, value, 4);
  return word;
}

DWORD Reply::Encode() const {
  switch (type) {
    case ReplyBool:
      return BoolVal() ? REPLY_ACK : REPLY_NAK;
    case ReplyDword:
      return static_cast<DWORD>(DwordVal()) + REPLY_DWORD_BASE;
    case ReplyString: {
      const ATOM atom = GlobalAddAtomA(value);
      return atom != 0 ? REPLY_STRING_FLAG + atom : REPLY_EMPTY;
    }
    default:
      return REPLY_EMPTY;
  }
}

void Reply::Decode(DWORD r) {
  if ((r & REPLY_STRING_FLAG) != 0) {
    const ATOM atom = static_cast<ATOM>(r & 0xFFFF);
    char text[kValueSize];
    const UINT length = GlobalGetAtomNameA(atom, text, kValueSize);
    GlobalDeleteAtom(atom);
    std::memset(value, 0, sizeof value);
    if (length != 0) {
      std::memcpy(value, text, length);
      type = ReplyString;
    } else {
      type = ReplyNone;
    }
  } else if (r >= REPLY_DWORD_BASE) {
    const DWORD word = r - REPLY_DWORD_BASE;
    std::memcpy(value, &word, 4);
    type = ReplyDword;
  } else if (r == REPLY_ACK || r == REPLY_NAK) {
    value[0] = r == REPLY_ACK ? 1 : 0;
    type = ReplyBool;
  }
}

SingleReply::SingleReply() = default;

MultiReply::MultiReply() = default;

void MultiReply::Set(char const*) {}

void MultiReply::Set(unsigned long) {}

void MultiReply::Set(bool b) {
  if (type == ReplyNone) {
    Reply::Set(b);
  } else {
    value[0] = (value[0] != 0 && b) ? 1 : 0;
  }
}

MsgArrived::~MsgArrived() = default;
ConnectMsgArrived::~ConnectMsgArrived() = default;
StandardMsgArrived::~StandardMsgArrived() = default;
BlockMsgArrived::~BlockMsgArrived() = default;

}  // namespace TQIPC

TQIPC_MessageHandler::TQIPC_MessageHandler() = default;

TQIPC_MessageHandler::TQIPC_MessageHandler(const TQIPC_MessageHandler&) : EventReceiver() {}

TQIPC_MessageHandler& TQIPC_MessageHandler::operator=(const TQIPC_MessageHandler&) {
  return *this;
}

TQIPC_MessageHandler::~TQIPC_MessageHandler() = default;

int TQIPC_MessageHandler::UponEventNotification(EventNotification const* n, EventSender*) {
  // Tested in this order: each arrival type derives from MsgArrived only.
  if (auto* c = dynamic_cast<TQIPC::ConnectMsgArrived const*>(n)) {
    return TQIPC_OnConnectMessage(c->Message(), c->reply) ? 1 : 0;
  }
  if (auto* s = dynamic_cast<TQIPC::StandardMsgArrived const*>(n)) {
    return TQIPC_OnStandardMessage(s->Message(), s->reply) ? 1 : 0;
  }
  if (auto* b = dynamic_cast<TQIPC::BlockMsgArrived const*>(n)) {
    return TQIPC_OnBlockMessage(b->Message(), b->reply) ? 1 : 0;
  }
  return 0;
}

bool TQIPC_MessageHandler::TQIPC_OnConnectMessage(TQIPC::ConnectMsg const&, TQIPC::Reply*) {
  return false;
}

bool TQIPC_MessageHandler::TQIPC_OnStandardMessage(TQIPC::StandardMsg const&, TQIPC::Reply*) {
  return false;
}

bool TQIPC_MessageHandler::TQIPC_OnBlockMessage(TQIPC::BlockMsg const&, TQIPC::Reply*) {
  return false;
}
