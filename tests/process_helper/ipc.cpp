// Messaging endpoint sub-commands of the test helper: a master or a slave
// endpoint whose receiver answers a fixed set of test messages, so that a
// test (which sends to the helper's window with SendMessageTimeoutA, without
// an endpoint of its own) can drive both sides of a connection.
//
//   ipc-master NAME READY [options]   starts a master endpoint
//   ipc-slave NAME READY [options]    starts a slave endpoint
//       --vote yes|no|silent|ignore|first   how the receiver answers the
//           connect notification: votes yes or no, handles it without a
//           vote, does not handle it, or votes yes only the first time
//       --master HANDLE   puts HANDLE in the connection's environment
//           variable before the start (without it the variable is removed,
//           and a slave falls back on the registry value)
//       --timeout MS      the endpoint's send time-out (default 0)
//       --stop-on-hang    stops the endpoint as soon as message 0x505 has
//           begun to sleep (which then also posts 0x509 with lParam
//           kAfterStop to its own window), and deletes it once the
//           endpoint's thread has ended: exit 0 when the stop returned only
//           after the receiver had finished and the receiver never saw the
//           posted message; 5 and 6 when it did (see RunEndpoint)
//     Once up, writes "WINDOW PID" to the file READY and serves until its
//     window is closed (exit 0); exits 3 when the start fails, 4 when
//     nobody closes the window within 120 s.
//   ipc-twice NAME   starts a master, then a second endpoint, then the first
//     one again after a stop; exits 0 when only the first start succeeded,
//     else 10 + the step that went wrong.
//
// The receiver's standard messages (wParam W, lParam L):
//   0x500 bool W != 0          0x501 dword W        0x502 text of W letters
//   0x503 handled, empty       0x504 fills a reply but declines (not handled)
//   0x505 sleeps W ms (first creates READY.hang), then bool true
//   0x506 dword: this process's id
//   0x507 relays standard message W with wParam L to the partner
//   0x508 relays block message 0x600 of L pattern bytes to the partner
//   0x509 remembers L (sent posted)          0x50A dword: the last L of 0x509
//   0x50B posts 0x509 with lParam L to the partner; dword: the status
//   0x50C sends 0x505 with W = 300 to the partner (both sides at once)
//   0x50D closes this endpoint's window (the helper then ends), bool true
// Block message 0x600: dword, the size when every byte follows the pattern,
// else bool false. A relay answers with the text "STATUS TYPE VALUE" (VALUE:
// the dword, the bool, or a text's length when it has the letter pattern,
// else 999999).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "process_helper.h"
#include "tqrtl/ipc/TQIPC_Object.h"
#include "tqrtl/platform/win32.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

std::string g_ready;
volatile LONG g_posted = 0;
volatile LONG g_hang_done = 0;  // message 0x505 has finished sleeping
bool g_stop_on_hang = false;
constexpr LONG kAfterStop = 0x5050;

unsigned char PatternByte(size_t i) { return static_cast<unsigned char>(i * 7 + 1); }

std::string Letters(size_t n) {
  std::string text(n, 'a');
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

std::string Describe(TQIPC::Status status, const TQIPC::SingleReply& reply) {
  unsigned long value = 0;
  switch (reply.Type()) {
    case TQIPC::Reply::ReplyBool: value = reply.BoolVal() ? 1 : 0; break;
    case TQIPC::Reply::ReplyDword: value = reply.DwordVal(); break;
    case TQIPC::Reply::ReplyString: {
      const std::string text = reply.StrVal();
      value = text == Letters(text.size()) ? text.size() : 999999;
      break;
    }
    default: break;
  }
  char line[64];
  std::snprintf(line, sizeof line, "%d %d %lu", static_cast<int>(status),
                static_cast<int>(reply.Type()), value);
  return line;
}

bool Exists(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f != nullptr) std::fclose(f);
  return f != nullptr;
}

class TestReceiver : public TQIPC_MessageHandler {
 public:
  TestReceiver(TQIPC_Object* endpoint, std::string vote)
      : endpoint_(endpoint), vote_(std::move(vote)) {}

 protected:
  bool TQIPC_OnConnectMessage(TQIPC::ConnectMsg const&, TQIPC::Reply* reply) override {
    ++connects_;
    if (vote_ == "ignore") return false;
    if (vote_ == "yes") reply->Set(true);
    if (vote_ == "no") reply->Set(false);
    if (vote_ == "first") reply->Set(connects_ == 1);
    return true;
  }

  bool TQIPC_OnStandardMessage(TQIPC::StandardMsg const& msg, TQIPC::Reply* reply) override {
    const UINT w = msg.wParam;
    const LONG l = msg.lParam;
    switch (msg.message) {
      case 0x500: reply->Set(w != 0); return true;
      case 0x501: reply->Set(static_cast<unsigned long>(w)); return true;
      case 0x502: reply->Set(Letters(w).c_str()); return true;
      case 0x503: return true;
      case 0x504: reply->Set(true); return false;
      case 0x505:
        if (g_stop_on_hang) {
          // Queued now, it comes out only after the stop: by then the
          // stopped endpoint must not hand it to its receivers.
          PostMessageA(endpoint_->TQIPC_Window(), 0x509, 0, kAfterStop);
        }
        WriteWholeFile(g_ready + ".hang", "hang\n");
        Sleep(w);
        reply->Set(true);
        InterlockedExchange(&g_hang_done, 1);
        return true;
      case 0x506: reply->Set(static_cast<unsigned long>(GetCurrentProcessId())); return true;
      case 0x507: {
        TQIPC::SingleReply answer;
        const TQIPC::StandardMsg relayed = {w, static_cast<UINT>(l), 0};
        const TQIPC::Status status = endpoint_->TQIPC_SendMsg(relayed, &answer);
        reply->Set(Describe(status, answer).c_str());
        return true;
      }
      case 0x508: {
        std::vector<unsigned char> bytes(static_cast<size_t>(l));
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = PatternByte(i);
        const TQIPC::BlockMsg block = {0x600, bytes.empty() ? nullptr : bytes.data(),
                                       static_cast<UINT>(bytes.size())};
        TQIPC::SingleReply answer;
        const TQIPC::Status status = endpoint_->TQIPC_SendMsg(block, &answer);
        reply->Set(Describe(status, answer).c_str());
        return true;
      }
      case 0x509: InterlockedExchange(&g_posted, l); return true;
      case 0x50A: reply->Set(static_cast<unsigned long>(g_posted)); return true;
      case 0x50B: {
        const TQIPC::StandardMsg posted = {0x509, 0, l};
        reply->Set(static_cast<unsigned long>(endpoint_->TQIPC_PostMsg(posted)));
        return true;
      }
      case 0x50C: {
        TQIPC::SingleReply answer;
        const TQIPC::StandardMsg hang = {0x505, 300, 0};
        const TQIPC::Status status = endpoint_->TQIPC_SendMsg(hang, &answer);
        reply->Set(Describe(status, answer).c_str());
        return true;
      }
      case 0x50D:
        PostMessageA(endpoint_->TQIPC_Window(), WM_CLOSE, 0, 0);
        reply->Set(true);
        return true;
      default:
        return false;
    }
  }

  bool TQIPC_OnBlockMessage(TQIPC::BlockMsg const& msg, TQIPC::Reply* reply) override {
    if (msg.message != 0x600) return false;
    const unsigned char* bytes = static_cast<const unsigned char*>(msg.data);
    for (UINT i = 0; i < msg.size; ++i) {
      if (bytes[i] != PatternByte(i)) {
        reply->Set(false);
        return true;
      }
    }
    reply->Set(static_cast<unsigned long>(msg.size));
    return true;
  }

 private:
  TQIPC_Object* endpoint_;
  std::string vote_;
  int connects_ = 0;
};

// Waits up to 60 s for thread `id` of this process to end.
bool WaitForThreadEnd(DWORD id) {
#if defined(_WIN32)
  const HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
  if (thread == nullptr) return true;  // already gone
  const bool ended = WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return ended;
#else
  const std::string task = "/proc/self/task/" + std::to_string(id);
  for (int waited = 0; waited < 60000; waited += 10) {
    if (access(task.c_str(), F_OK) != 0) return true;
    Sleep(10);
  }
  return false;
#endif
}

int RunEndpoint(TQIPC::RoleType role, int argc, char** argv) {
  if (argc < 3) return 64;
  const std::string name = argv[1];
  g_ready = argv[2];
  std::string vote = "yes";
  const char* master = nullptr;
  unsigned timeout = 0;
  bool stopOnHang = false;
  for (int i = 3; i < argc; ++i) {
    const bool valued = i + 1 < argc;
    if (std::strcmp(argv[i], "--stop-on-hang") == 0) stopOnHang = true;
    else if (valued && std::strcmp(argv[i], "--vote") == 0) vote = argv[++i];
    else if (valued && std::strcmp(argv[i], "--master") == 0) master = argv[++i];
    else if (valued && std::strcmp(argv[i], "--timeout") == 0) timeout = std::strtoul(argv[++i], nullptr, 10);
    else return 64;
  }
  const std::string variable = "TQIPC_" + name + "_ENV_VAR";
  SetEnvironmentVariableA(variable.c_str(), master);

  g_stop_on_hang = stopOnHang;
  // On the heap, so that a memory checker sees any use after the delete.
  auto* endpoint = new TQIPC_Object(role, name.c_str(), nullptr, timeout);  // titled by role
  DWORD thread = 0;
  auto* receiver = new TestReceiver(endpoint, vote);
  endpoint->EventRegister(receiver);
  int code = 3;
  if (endpoint->TQIPC_Start(role, name.c_str(), nullptr, timeout)) {
    const DWORD window =
        static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(endpoint->TQIPC_Window()));
    WriteWholeFile(g_ready,
                   std::to_string(window) + " " + std::to_string(GetCurrentProcessId()) + "\n");
    thread = GetWindowThreadProcessId(endpoint->TQIPC_Window(), nullptr);
    code = 4;
    const std::string hang = g_ready + ".hang";
    for (int waited = 0; waited < 120000; waited += 20) {
      if (endpoint->TQIPC_Window() == nullptr) {
        code = 0;
        break;
      }
      if (stopOnHang && Exists(hang)) {
        // Stopped while the receiver still sleeps: TQIPC_Stop gives up on
        // the thread after 1000 ms and cuts it off.
        code = 0;
        break;
      }
      Sleep(20);
    }
  }
  endpoint->TQIPC_Stop();
  if (stopOnHang && code == 0) {
    // The receiver still in the message would have used the endpoint after
    // its delete below.
    if (g_hang_done == 0) code = 5;
    // The receiver stays registered until the thread has ended, so the
    // posted message would reach it were the thread not cut off.
    if (!WaitForThreadEnd(thread)) code = 7;
    if (code == 0 && g_posted == kAfterStop) code = 6;
  }
  endpoint->EventUnregister(receiver);
  delete receiver;
  delete endpoint;
  return code;
}

int Master(int argc, char** argv) { return RunEndpoint(TQIPC::Master, argc, argv); }
int Slave(int argc, char** argv) { return RunEndpoint(TQIPC::Slave, argc, argv); }

int Twice(int argc, char** argv) {
  if (argc != 2) return 64;
  const std::string other = std::string(argv[1]) + "_other";
  TQIPC_Object first, second;
  if (!first.TQIPC_Start(TQIPC::Master, argv[1], nullptr, 0)) return 11;
  if (second.TQIPC_Start(TQIPC::Master, other.c_str(), nullptr, 0)) return 12;
  first.TQIPC_Stop();
  if (first.TQIPC_Window() != nullptr) return 13;
  if (first.TQIPC_Start(TQIPC::Master, argv[1], nullptr, 0)) return 14;
  return 0;
}

const ProcessCommand kMaster("ipc-master", Master);
const ProcessCommand kSlave("ipc-slave", Slave);
const ProcessCommand kTwice("ipc-twice", Twice);

}  // namespace
