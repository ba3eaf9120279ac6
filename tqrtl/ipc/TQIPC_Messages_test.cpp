// Tests of the message vocabulary in one process: replies through their
// result encoding and back (texts through real global atoms), the votes on a
// connect notification, and which handler answers a message.
#include "tqrtl/ipc/TQIPC_Messages.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string Letters(size_t n, char first = 'a') {
  std::string text(n, first);
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char>(first + i % 26);
  return text;
}

struct EncodeRow {
  const char* what;
  std::function<void(TQIPC::Reply&)> fill;
  DWORD result;  // REPLY_STRING_FLAG: any text result
  TQIPC::Reply::ReplyType decoded;
  std::string text;         // decoded text (ReplyString)
  unsigned long dword = 0;  // decoded dword (ReplyDword) or bool (ReplyBool)
};

// Each reply is encoded as the receiving side does, then decoded into a
// reply that already holds a dword 77, as the sending side does.
TEST(TQIPCReplyTest, EncodesAndDecodesEveryType) {
  const std::string t254 = Letters(254, 'A');
  const std::string t300 = Letters(300, 'k');
  const std::vector<EncodeRow> rows = {
      {"true", [](TQIPC::Reply& r) { r.Set(true); }, 3, TQIPC::Reply::ReplyBool, "", 1},
      {"false", [](TQIPC::Reply& r) { r.Set(false); }, 4, TQIPC::Reply::ReplyBool, "", 0},
      {"dword 0", [](TQIPC::Reply& r) { r.Set(0); }, 5, TQIPC::Reply::ReplyDword, "", 0},
      {"largest dword", [](TQIPC::Reply& r) { r.Set(0x7FFFFFFAul); }, 0x7FFFFFFFu,
       TQIPC::Reply::ReplyDword, "", 0x7FFFFFFAul},
      {"refused dword keeps the earlier value",
       [](TQIPC::Reply& r) {
         r.Set(9u);
         r.Set(0x7FFFFFFBul);
         r.Set(0xFFFFFFFFul);
         r.Set(-1);
       },
       14, TQIPC::Reply::ReplyDword, "", 9},
      {"empty", [](TQIPC::Reply&) {}, 1, TQIPC::Reply::ReplyDword, "", 77},
      {"254 characters", [&](TQIPC::Reply& r) { r.Set(t254.c_str()); },
       TQIPC::REPLY_STRING_FLAG, TQIPC::Reply::ReplyString, t254},
      {"300 characters cut to 254", [&](TQIPC::Reply& r) { r.Set(t300.c_str()); },
       TQIPC::REPLY_STRING_FLAG, TQIPC::Reply::ReplyString, t300.substr(0, 254)},
      {"empty text makes no atom", [](TQIPC::Reply& r) { r.Set(""); }, 1,
       TQIPC::Reply::ReplyDword, "", 77},
      {"null text", [](TQIPC::Reply& r) { r.Set(static_cast<const char*>(nullptr)); }, 1,
       TQIPC::Reply::ReplyDword, "", 77},
  };
  for (const EncodeRow& row : rows) {
    SCOPED_TRACE(row.what);
    TQIPC::SingleReply sent;
    row.fill(sent);
    const DWORD result = sent.Encode();
    if (row.result == TQIPC::REPLY_STRING_FLAG) {
      ASSERT_EQ(TQIPC::REPLY_STRING_FLAG, result & 0xFFFF0000u);
      EXPECT_NE(0, GlobalFindAtomA(row.text.c_str()));
    } else {
      EXPECT_EQ(row.result, result);
    }
    TQIPC::SingleReply received;
    received.Set(77u);
    received.Decode(result);
    EXPECT_EQ(row.decoded, received.Type());
    switch (row.decoded) {
      case TQIPC::Reply::ReplyString:
        EXPECT_EQ(row.text, received.StrVal());
        // The reader deletes the atom: each text costs one for one message.
        EXPECT_EQ(0, GlobalFindAtomA(row.text.c_str()));
        break;
      case TQIPC::Reply::ReplyBool:
        EXPECT_EQ(row.dword != 0, received.BoolVal());
        break;
      default:
        EXPECT_EQ(row.dword, received.DwordVal());
        break;
    }
  }
}

TEST(TQIPCReplyTest, TextWhoseAtomIsGoneDecodesEmpty) {
  TQIPC::SingleReply sent;
  sent.Set("a reply nobody will find");
  const DWORD result = sent.Encode();
  ASSERT_NE(0u, result & TQIPC::REPLY_STRING_FLAG);
  GlobalDeleteAtom(static_cast<ATOM>(result & 0xFFFF));
  TQIPC::SingleReply received;
  received.Set(0x01020304ul);
  received.Decode(result);
  EXPECT_EQ(TQIPC::Reply::ReplyNone, received.Type());
  EXPECT_EQ(0ul, received.DwordVal());
}

// A handler of every kind of arrival that records what it was given.
class Voter : public TQIPC_MessageHandler {
 public:
  Voter(std::string how, std::vector<std::string>* log) : how_(std::move(how)), log_(log) {}

 protected:
  bool TQIPC_OnConnectMessage(TQIPC::ConnectMsg const& m, TQIPC::Reply* reply) override {
    log_->push_back(how_ + ":connect " + std::to_string(m.processId));
    reply->Set("texts are no votes");
    reply->Set(9ul);
    if (how_ == "yes") reply->Set(true);
    if (how_ == "no") reply->Set(false);
    return how_ != "ignore";
  }
  bool TQIPC_OnStandardMessage(TQIPC::StandardMsg const& m, TQIPC::Reply* reply) override {
    log_->push_back(how_ + ":standard " + std::to_string(m.wParam) + "," +
                    std::to_string(m.lParam));
    reply->Set(static_cast<unsigned long>(how_.size()));
    return how_ != "ignore";
  }
  bool TQIPC_OnBlockMessage(TQIPC::BlockMsg const& m, TQIPC::Reply* reply) override {
    log_->push_back(how_ + ":block " + std::string(static_cast<const char*>(m.data), m.size));
    reply->Set(how_.c_str());
    return how_ != "ignore";
  }

 private:
  std::string how_;
  std::vector<std::string>* log_;
};

// The result an endpoint answers for a notification: 2 when nobody handled
// it, else the encoded reply.
DWORD Notify(const std::vector<std::string>& hows, const TQIPC::MsgArrived& n,
             EventSender::EventScope scope, std::vector<std::string>* log) {
  ThreadSafeEventSender sender;
  std::vector<std::unique_ptr<Voter>> voters;
  for (const std::string& how : hows) {
    voters.push_back(std::make_unique<Voter>(how, log));
    sender.EventRegister(voters.back().get());
  }
  const int handled = sender.EventNotify(n, scope);
  for (auto& voter : voters) sender.EventUnregister(voter.get());
  return handled == 0 ? TQIPC::REPLY_NOT_HANDLED : n.reply->Encode();
}

TEST(TQIPCVotingTest, EveryReceiverVotesAndOneNoWins) {
  struct Row {
    std::vector<std::string> hows;
    DWORD result;
  };
  const Row rows[] = {
      {{"yes", "no", "yes"}, TQIPC::REPLY_NAK},
      {{"no", "yes"}, TQIPC::REPLY_NAK},
      {{"yes", "yes"}, TQIPC::REPLY_ACK},
      {{"silent"}, TQIPC::REPLY_EMPTY},  // handled without a vote: a yes
      {{"ignore", "silent", "ignore"}, TQIPC::REPLY_EMPTY},
      {{"ignore", "no"}, TQIPC::REPLY_NAK},
      {{"ignore"}, TQIPC::REPLY_NOT_HANDLED},
      {{}, TQIPC::REPLY_NOT_HANDLED},
  };
  for (const Row& row : rows) {
    std::string joined;
    for (const auto& h : row.hows) joined += h + " ";
    SCOPED_TRACE(joined);
    const TQIPC::ConnectMsg message = {TQIPC::M_CONNECT, 4711};
    TQIPC::MultiReply reply;
    TQIPC::ConnectMsgArrived n(&reply, &message);
    std::vector<std::string> log;
    EXPECT_EQ(row.result, Notify(row.hows, n, EventSender::ScopeAll, &log));
    ASSERT_EQ(row.hows.size(), log.size());  // nobody skipped
    for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(row.hows[i] + ":connect 4711", log[i]);
  }
}

TEST(TQIPCHandlerTest, FirstHandlerAnswersByArrivalType) {
  std::vector<std::string> log;
  const TQIPC::StandardMsg standard = {0x404, 7, -8};
  TQIPC::SingleReply reply;
  TQIPC::StandardMsgArrived s(&reply, &standard);
  // "ignore" filled a reply and declined; "first" answers; "second" is
  // never asked.
  EXPECT_EQ(5u + 5u, Notify({"ignore", "first", "second"}, s, EventSender::ScopeFirst, &log));
  EXPECT_EQ((std::vector<std::string>{"ignore:standard 7,-8", "first:standard 7,-8"}), log);

  log.clear();
  char bytes[] = {'x', 'y', 'z'};
  const TQIPC::BlockMsg block = {0x404, bytes, 3};
  TQIPC::SingleReply blockReply;
  TQIPC::BlockMsgArrived b(&blockReply, &block);
  const DWORD result = Notify({"block", "other"}, b, EventSender::ScopeFirst, &log);
  EXPECT_EQ((std::vector<std::string>{"block:block xyz"}), log);
  TQIPC::SingleReply decoded;
  decoded.Decode(result);
  EXPECT_STREQ("block", decoded.StrVal());
}

}  // namespace
