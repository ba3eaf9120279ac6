// Tests of the messaging endpoint between real processes. Every endpoint
// lives in a helper process (ipc-master, ipc-slave: see
// tests/process_helper/ipc.cpp); this process has no endpoint and drives
// the helpers by sending to their windows: a helper's receiver relays what
// it is asked to its partner and answers "STATUS TYPE VALUE" (see the helper
// for the message numbers).
#include "tqrtl/ipc/TQIPC_Object.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "endpoint_support.h"
#include "process_support.h"
#include "registry_test_support.h"

namespace {

const char kStatusFailed[] = "1 0 0";
const char kStatusNoReply[] = "2 0 0";

// Asks `from` to send standard message `message` (wParam `w`) to its
// partner: what the partner answered, as "STATUS TYPE VALUE".
std::string Relay(const Endpoint& from, UINT message, UINT w = 0) {
  auto reply = Ask(from.window, 0x507, message, static_cast<LONG>(w));
  return reply ? reply->StrVal() : "no answer from the helper";
}

std::string PidAnswer(const Endpoint& e) {
  return "0 2 " + std::to_string(e.pid);
}

// Removes the registry value by which a master of connection `name` was
// published.
void DeleteBackup(const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Vantor\\IPC", 0, KEY_ALL_ACCESS, &key) ==
      ERROR_SUCCESS) {
    RegDeleteValueA(key, ("TQIPC_" + name + "_ENV_VAR").c_str());
    RegCloseKey(key);
  }
}

// A connection between two helpers; the slave finds the master through the
// environment variable.
struct Pair {
  Pair(std::vector<std::string> masterOptions = {}, std::vector<std::string> slaveOptions = {})
      : name(UniqueName("ipc")) {
    master = Launch("ipc-master", name, masterOptions);
    if (!master->Up()) return;
    slaveOptions.insert(slaveOptions.end(), {"--master", Handle(*master)});
    slave = Launch("ipc-slave", name, slaveOptions);
  }
  ~Pair() {
    slave.reset();
    master.reset();
    DeleteBackup(name);
  }
  std::string name;
  std::unique_ptr<Endpoint> master, slave;
};

TEST(TQIPCObjectTest, ConnectsOnlyWhenEveryReceiverSaysYes) {
  struct Row {
    const char* masterVote;
    const char* slaveVote;
    bool connects;
  };
  const Row rows[] = {
      {"yes", "yes", true},
      {"silent", "ignore", true},  // handled without a vote, or not at all: yes
      {"no", "yes", false},
      {"yes", "no", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.masterVote) + " / " + row.slaveVote);
    Pair pair({"--vote", row.masterVote}, {"--vote", row.slaveVote});
    ASSERT_TRUE(pair.master->Up());
    if (!row.connects) {
      EXPECT_FALSE(pair.slave->Up());
      EXPECT_EQ(3, pair.slave->exitCode);
      continue;
    }
    ASSERT_TRUE(pair.slave->Up());
    EXPECT_EQ(PidAnswer(*pair.slave), Relay(*pair.master, 0x506));
    EXPECT_EQ(PidAnswer(*pair.master), Relay(*pair.slave, 0x506));
  }
}

TEST(TQIPCObjectTest, MasterKeepsItsPartnerWhenItsReceiversRefuseAnother) {
  Pair pair({"--vote", "first"});
  ASSERT_TRUE(pair.slave->Up());
  auto refused = Launch("ipc-slave", pair.name, {"--master", Handle(*pair.master)});
  EXPECT_EQ(3, refused->exitCode);
  EXPECT_EQ(PidAnswer(*pair.slave), Relay(*pair.master, 0x506));
}

TEST(TQIPCObjectTest, RepliesOfEveryTypeTravelBothWays) {
  struct Row {
    UINT relay;  // 0x507 standard, 0x508 block
    UINT message;
    UINT w;
    std::string answer;
  };
  const std::vector<Row> rows = {
      {0x507, 0x500, 1, "0 1 1"},
      {0x507, 0x500, 0, "0 1 0"},
      {0x507, 0x501, 0, "0 2 0"},
      {0x507, 0x501, 0x7FFFFFFA, "0 2 2147483642"},
      {0x507, 0x502, 254, "0 3 254"},
      {0x507, 0x502, 1, "0 3 1"},
      {0x507, 0x503, 0, "0 0 0"},           // handled, empty
      {0x507, 0x504, 0, kStatusNoReply},    // filled a reply, declined
      {0x507, 0x520, 0, kStatusNoReply},    // nobody handles it
      {0x507, 0x400, 0, "0 0 0"},           // the default window procedure's 0
      {0x507, TQIPC::M_PING, 0, "0 1 1"},
      {0x507, TQIPC::M_CONNECT, 0, "0 0 0"},
      {0x508, 0, 0, "0 2 0"},               // an empty block
      {0x508, 0, 70000, "0 2 70000"},
  };
  Pair pair;
  ASSERT_TRUE(pair.slave->Up());
  for (const Endpoint* from : {pair.master.get(), pair.slave.get()}) {
    SCOPED_TRACE(from == pair.master.get() ? "master to slave" : "slave to master");
    for (const Row& row : rows) {
      SCOPED_TRACE(row.message);
      auto reply = Ask(from->window, row.relay, row.message, static_cast<LONG>(row.w));
      ASSERT_TRUE(reply.has_value());
      EXPECT_EQ(row.answer, reply->StrVal());
    }
  }

  // A text reply of the longest kind, read in this process.
  auto text = Ask(pair.slave->window, 0x502, 254, 0);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(TQIPC::Reply::ReplyString, text->Type());
  EXPECT_EQ(254u, std::string(text->StrVal()).size());

  // A posted message arrives, in each direction.
  for (const auto& [from, to, value] :
       {std::tuple{pair.slave.get(), pair.master.get(), 4242},
        std::tuple{pair.master.get(), pair.slave.get(), 777}}) {
    auto posted = Ask(from->window, 0x50B, 0, value);
    ASSERT_TRUE(posted.has_value());
    EXPECT_EQ(static_cast<unsigned long>(TQIPC::OK), posted->DwordVal());
    unsigned long seen = 0;
    for (int tries = 0; tries < 3000 && seen != static_cast<DWORD>(value); ++tries) {
      auto last = Ask(to->window, 0x50A, 0, 0);
      ASSERT_TRUE(last.has_value());
      seen = last->DwordVal();
      if (seen != static_cast<DWORD>(value)) Sleep(10);
    }
    EXPECT_EQ(static_cast<DWORD>(value), seen);
  }
}

TEST(TQIPCObjectTest, SlaveFindsTheMasterThroughTheRegistry) {
  const std::string name = UniqueName("ipc");
  auto master = Launch("ipc-master", name);
  ASSERT_TRUE(master->Up());
  // The slave's environment has no variable.
  auto slave = Launch("ipc-slave", name);
  ASSERT_TRUE(slave->Up());
  EXPECT_EQ(PidAnswer(*master), Relay(*slave, 0x506));
  const auto stored = registry_test::ReadStored(HKEY_CURRENT_USER, "Software\\Vantor\\IPC",
                                                ("TQIPC_" + name + "_ENV_VAR").c_str());
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), stored.type);
  EXPECT_EQ(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(master->window)),
            stored.Dword());
  slave.reset();
  master.reset();
  DeleteBackup(name);
}

TEST(TQIPCObjectTest, SlaveDoesNotStartWithoutALiveMaster) {
  Pair pair;  // only for its name and its clean-up
  ASSERT_TRUE(pair.master->Up());
  const std::string stale = Handle(*pair.master);
  pair.slave.reset();
  pair.master->Close();

  // The master's window is gone; the registry still names it.
  EXPECT_EQ(3, Launch("ipc-slave", pair.name, {"--master", stale})->exitCode);
  EXPECT_EQ(3, Launch("ipc-slave", pair.name)->exitCode);
  DeleteBackup(pair.name);
  EXPECT_EQ(3, Launch("ipc-slave", pair.name)->exitCode);
}

TEST(TQIPCObjectTest, KilledMasterFailsTheSlavesSends) {
  // The slave waits without a time limit: only noticing the death ends it.
  Pair pair({}, {"--timeout", "0"});
  ASSERT_TRUE(pair.slave->Up());
  std::string inFlight;
  std::thread sender([&] { inFlight = Relay(*pair.slave, 0x505, 600000); });
  EXPECT_TRUE(WaitForFile(pair.master->ready + ".hang", 60000));
  pair.master->child.Kill();
  EXPECT_EQ(ChildProcess::kKilled, pair.master->child.Wait(60000));
  pair.master->window = nullptr;
  sender.join();
  EXPECT_EQ(kStatusFailed, inFlight);
  EXPECT_EQ(kStatusFailed, Relay(*pair.slave, 0x506));
}

TEST(TQIPCObjectTest, HungReceiverFailsTheSendAtTheTimeOut) {
  Pair pair({}, {"--timeout", "300"});
  ASSERT_TRUE(pair.slave->Up());
  EXPECT_EQ(kStatusFailed, Relay(*pair.slave, 0x505, 3000));
  // The connection outlives the time-out: once the master is free again it
  // answers.
  std::string answer;
  for (int tries = 0; tries < 100 && answer != PidAnswer(*pair.master); ++tries) {
    answer = Relay(*pair.slave, 0x506);
  }
  EXPECT_EQ(PidAnswer(*pair.master), answer);
}

TEST(TQIPCObjectTest, BothSidesSendToEachOtherAtOnce) {
  // No time limits: a deadlock would hang here, not pass.
  Pair pair({"--timeout", "0"}, {"--timeout", "0"});
  ASSERT_TRUE(pair.slave->Up());
  for (int round = 0; round < 3; ++round) {
    std::string fromMaster, fromSlave;
    // Each window thread sends to the other from inside its receiver.
    auto cross = [](const Endpoint& e) {
      auto reply = Ask(e.window, 0x50C, 0, 0);
      return reply ? std::string(reply->StrVal()) : "no answer from the helper";
    };
    std::thread a([&] { fromMaster = cross(*pair.master); });
    std::thread b([&] { fromSlave = cross(*pair.slave); });
    a.join();
    b.join();
    EXPECT_EQ("0 1 1", fromMaster);
    EXPECT_EQ("0 1 1", fromSlave);
  }
}

// The helper stops its endpoint while a receiver still sleeps in this
// message, past TQIPC_Stop's wait for the thread: the receiver still
// finishes and answers, the stop returns only once it has, and a message
// the thread takes from its queue after the stop never reaches a receiver
// (the helper checks both: exit 5 and 6).
TEST(TQIPCObjectTest, StopOutlastedByAReceiver) {
  const std::string name = UniqueName("ipc");
  auto master = Launch("ipc-master", name, {"--stop-on-hang"});
  ASSERT_TRUE(master->Up());
  auto reply = Ask(master->window, 0x505, 2500, 0);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(TQIPC::Reply::ReplyBool, reply->Type());
  EXPECT_EQ(0, master->child.Wait(60000));
  master->window = nullptr;
  DeleteBackup(name);
}

TEST(TQIPCObjectTest, OneEndpointPerProcess) {
  EXPECT_EQ(0, RunHelper({"ipc-twice", UniqueName("ipc")}));
}

}  // namespace
