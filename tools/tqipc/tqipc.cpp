// tqipc: looks at the user's messaging endpoints and talks to them.
//
//   tqipc list                              window, process id and title of
//                                           each live endpoint
//   tqipc ping HANDLE [/t MS]               sends M_PING, prints the reply
//   tqipc send HANDLE MSG [WPARAM [LPARAM]] [/t MS]
//                                           sends a standard message, prints
//                                           the reply
//   tqipc --help (or /?), tqipc --version
//
// HANDLE is a window as `list` prints it (decimal, or hexadecimal with 0x).
// MSG is 0x403 (M_PING) or above, WPARAM a 32-bit unsigned number, LPARAM a
// 32-bit signed one. The time-out is 5000 ms unless /t gives another (0:
// no limit). A text reply is read from its global atom, which is then
// deleted, as an endpoint does.
//
// Exit codes: 0 the endpoint replied; 1 bad command line; 2 no such
// endpoint window, or the send failed or timed out; 3 delivered, but no
// receiver handled it.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tqrtl/ipc/TQIPC_Messages.h"
#include "tqrtl/ipc/TQIPC_Object.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/version.h"

namespace {

enum Exit { kReplied = 0, kUsage = 1, kFailed = 2, kNoReply = 3 };

const char kUsageText[] =
    "usage: tqipc list\n"
    "       tqipc ping HANDLE [/t MS]\n"
    "       tqipc send HANDLE MSG [WPARAM [LPARAM]] [/t MS]\n"
    "       tqipc --help | /? | --version\n"
    "HANDLE as list prints it; numbers in decimal or 0x hexadecimal; MSG 0x403 or above.\n"
    "/t: the send time-out in ms (default 5000, 0 waits without limit).\n"
    "exit codes: 0 replied, 1 bad command line, 2 no such endpoint or the send failed,\n"
    "            3 no receiver handled the message\n";

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "tqipc: %s\n", problem);
  std::fputs(kUsageText, stderr);
  return kUsage;
}

// A number of at most 32 bits: decimal, or hexadecimal after 0x; a leading
// minus only where `allowNegative`.
bool ParseNumber(const char* text, bool allowNegative, std::int64_t* value) {
  const bool negative = text[0] == '-';
  if (negative && !allowNegative) return false;
  const char* digits = negative ? text + 1 : text;
  int base = 10;
  if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits += 2;
  }
  if (digits[0] == '\0' || digits[0] == '-' || digits[0] == '+' || digits[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long magnitude = std::strtoull(digits, &end, base);
  if (errno != 0 || *end != '\0') return false;
  if (negative ? magnitude > 0x80000000ull : magnitude > 0xFFFFFFFFull) return false;
  *value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

HWND WindowFromNumber(std::int64_t number) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(static_cast<DWORD>(number)));
}

DWORD NumberOfWindow(HWND window) {
  return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(window));
}

bool IsEndpoint(HWND window) {
  char name[64];
  if (!IsWindow(window)) return false;
  const int length = GetClassNameA(window, name, sizeof name);
  return length > 0 && std::strcmp(name, TQIPC_Object::kWindowClass) == 0;
}

struct Found {
  HWND window;
  DWORD pid;
  std::string title;
};

BOOL CALLBACK Collect(HWND window, LPARAM list) {
  if (IsEndpoint(window)) {
    char title[256] = "";
    GetWindowTextA(window, title, sizeof title);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    reinterpret_cast<std::vector<Found>*>(list)->push_back({window, pid, title});
  }
  return TRUE;
}

int List() {
  std::vector<Found> found;
  EnumWindows(&Collect, reinterpret_cast<LPARAM>(&found));
  std::printf("%-12s %-10s %s\n", "WINDOW", "PID", "TITLE");
  for (const Found& f : found) {
    std::printf("%-12lu %-10lu %s\n", static_cast<unsigned long>(NumberOfWindow(f.window)),
                static_cast<unsigned long>(f.pid), f.title.c_str());
  }
  return kReplied;
}

// Prints the reply the way it was decoded; the exit code.
int Send(HWND window, UINT message, UINT wParam, LONG lParam, DWORD timeout) {
  if (!IsEndpoint(window)) {
    std::fprintf(stderr, "tqipc: %lu is not a messaging endpoint window\n",
                 static_cast<unsigned long>(NumberOfWindow(window)));
    return kFailed;
  }
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(window, message, wParam, static_cast<LPARAM>(lParam), SMTO_NORMAL,
                           timeout, &result)) {
    const DWORD error = GetLastError();
    std::fprintf(stderr, "tqipc: the send failed (%s, error %lu)\n",
                 error == ERROR_TIMEOUT ? "timed out" : "no answer",
                 static_cast<unsigned long>(error));
    return kFailed;
  }
  const DWORD r = static_cast<DWORD>(result);
  if (r == TQIPC::REPLY_NOT_HANDLED) {
    std::printf("no reply: no receiver handled the message\n");
    return kNoReply;
  }
  TQIPC::SingleReply reply;
  reply.Decode(r);
  switch (reply.Type()) {
    case TQIPC::Reply::ReplyBool:
      std::printf("bool %s\n", reply.BoolVal() ? "true" : "false");
      break;
    case TQIPC::Reply::ReplyDword:
      std::printf("dword %lu\n", reply.DwordVal());
      break;
    case TQIPC::Reply::ReplyString:
      std::printf("text \"%s\"\n", reply.StrVal());
      break;
    default:
      std::printf((r & TQIPC::REPLY_STRING_FLAG) != 0 ? "empty (the text's atom was gone)\n"
                                                       : "empty\n");
      break;
  }
  return kReplied;
}

int Run(int argc, char** argv) {
  std::vector<const char*> args;
  DWORD timeout = 5000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "/?" || arg == "-?" || arg == "-h" || arg == "--help") {
      std::fputs(kUsageText, stdout);
      return kReplied;
    }
    if (arg == "--version") {
      std::puts("tqipc " TQRTL_VERSION);
      return kReplied;
    }
    if (arg == "/t" || arg == "/T") {
      std::int64_t ms = 0;
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], false, &ms)) {
        return Usage("/t needs a time-out in ms");
      }
      timeout = static_cast<DWORD>(ms);
      ++i;
      continue;
    }
    args.push_back(argv[i]);
  }
  if (args.empty()) return Usage(nullptr);
  const std::string command = args[0];
  if (command == "list") {
    if (args.size() != 1) return Usage("list takes no arguments");
    return List();
  }
  if (command != "ping" && command != "send") return Usage("unknown command");
  const size_t most = command == "ping" ? 2 : 5;
  const size_t least = command == "ping" ? 2 : 3;
  if (args.size() < least || args.size() > most) return Usage("wrong number of arguments");
  std::int64_t handle = 0, message = TQIPC::M_PING, wParam = 0, lParam = 0;
  if (!ParseNumber(args[1], false, &handle) || handle == 0) return Usage("bad HANDLE");
  if (command == "send") {
    if (!ParseNumber(args[2], false, &message) || message < TQIPC::M_PING) {
      return Usage("MSG must be a number of 0x403 or above");
    }
    if (args.size() > 3 && !ParseNumber(args[3], false, &wParam)) return Usage("bad WPARAM");
    if (args.size() > 4 && (!ParseNumber(args[4], true, &lParam) || lParam > 0x7FFFFFFF)) {
      return Usage("bad LPARAM");
    }
  }
  return Send(WindowFromNumber(handle), static_cast<UINT>(message), static_cast<UINT>(wParam),
              static_cast<LONG>(lParam), timeout);
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
