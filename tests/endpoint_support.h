// endpoint_support.h: endpoint helper processes, for the tests that drive
// messaging endpoints from outside (this process has none of its own).
//
// A helper sub-command such as ipc-master or cmd-slave takes a connection
// name and a READY file, writes "WINDOW PID" there once its endpoint is up
// and serves until its window is closed:
//
//   auto master = Launch("ipc-master", name);
//   ASSERT_TRUE(master->Up());
//   auto reply = Ask(master->window, 0x501, 7);   // its receiver's answer
//   master->Close();                              // WM_CLOSE, clean exit
#ifndef TQRTL_TESTS_ENDPOINT_SUPPORT_H_
#define TQRTL_TESTS_ENDPOINT_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process_support.h"
#include "tqrtl/ipc/TQIPC_Messages.h"
#include "tqrtl/platform/win32.h"

struct Endpoint {
  ChildProcess child;
  HWND window = nullptr;
  DWORD pid = 0;
  std::string ready;
  int exitCode = 0;  // when it ended before it was up

  bool Up() const { return window != nullptr; }
  // Closes the window as a user would and waits for a clean end.
  void Close() {
    if (window == nullptr) return;
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0, child.Wait(60000));
    window = nullptr;
  }
  ~Endpoint() {
    Close();
    std::remove(ready.c_str());
    std::remove((ready + ".hang").c_str());  // left by ipc helpers' hanging message
  }
};

// Starts an endpoint helper and waits until it is up or has ended.
inline std::unique_ptr<Endpoint> Launch(const char* command, const std::string& name,
                                        std::vector<std::string> options = {}) {
  auto e = std::make_unique<Endpoint>();
  e->ready = ScratchPath(std::string(command) + "-ready");
  std::vector<std::string> args = {command, name, e->ready};
  args.insert(args.end(), options.begin(), options.end());
  e->child = StartHelper(args);
  EXPECT_TRUE(e->child.Started());
  for (int waited = 0; waited < 60000; waited += 20) {
    std::ifstream in(e->ready);
    unsigned long window = 0, pid = 0;
    if (in >> window >> pid) {
      e->window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
      e->pid = static_cast<DWORD>(pid);
      return e;
    }
    const int code = e->child.Wait(20);
    if (code != ChildProcess::kTimedOut) {
      e->exitCode = code;
      return e;
    }
  }
  ADD_FAILURE() << command << " neither came up nor ended";
  return e;
}

// A window handle as the helpers take it on their command line.
inline std::string Handle(HWND window) {
  return std::to_string(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(window)));
}
inline std::string Handle(const Endpoint& e) { return Handle(e.window); }

// Sends `message` to an endpoint's window and decodes the reply: none when
// the send failed or nobody handled the message.
inline std::optional<TQIPC::SingleReply> Ask(HWND window, UINT message, UINT wParam = 0,
                                             LONG lParam = 0) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, 60000, &result) ||
      static_cast<DWORD>(result) == TQIPC::REPLY_NOT_HANDLED) {
    return std::nullopt;
  }
  TQIPC::SingleReply reply;
  reply.Decode(static_cast<DWORD>(result));
  return reply;
}

inline std::optional<TQIPC::SingleReply> Ask(const Endpoint& e, UINT message, UINT wParam = 0,
                                             LONG lParam = 0) {
  return Ask(e.window, message, wParam, lParam);
}

#endif  // TQRTL_TESTS_ENDPOINT_SUPPORT_H_
