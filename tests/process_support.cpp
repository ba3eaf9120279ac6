// process_support.cpp: process control for tests, on POSIX and Windows.
// (Test code only: the library itself reaches the system through
// tqrtl/platform/win32.h.)
#include "process_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
extern char** environ;
#endif

namespace {

// The running executable's full path.
std::string OwnPath() {
#if defined(_WIN32)
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  return std::string(self, n);
#else
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  return std::string(self, n > 0 ? static_cast<size_t>(n) : 0);
#endif
}

// The helper program lives beside the running test executable.
std::string HelperPath() {
  std::string path = OwnPath();
  path.resize(path.find_last_of("\\/") + 1);
#if defined(_WIN32)
  return path + "tqrtl_process_helper.exe";
#else
  return path + "tqrtl_process_helper";
#endif
}

#if defined(_WIN32)
// Quotes one argument by the rules CommandLineToArgvW undoes.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, '\\');
  return out + "\"";
}
#endif

bool FileExists(const std::string& path) {
#if defined(_WIN32)
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat st;
  return stat(path.c_str(), &st) == 0;
#endif
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : handle_(other.handle_), pid_(other.pid_), reaped_(other.reaped_) {
  other.handle_ = 0;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    this->~ChildProcess();
    handle_ = other.handle_;
    pid_ = other.pid_;
    reaped_ = other.reaped_;
    other.handle_ = 0;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (handle_ == 0) return;
  if (!reaped_) {
    Kill();
    Wait(60000);
  }
#if defined(_WIN32)
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
#endif
  handle_ = 0;
}

int ChildProcess::Wait(unsigned timeoutMs) {
  if (handle_ == 0) return kFailed;
#if defined(_WIN32)
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  DWORD r = WaitForSingleObject(h, timeoutMs);
  if (r == WAIT_TIMEOUT) return kTimedOut;
  if (r != WAIT_OBJECT_0) return kFailed;
  reaped_ = true;
  DWORD code = 0;
  if (!GetExitCodeProcess(h, &code)) return kFailed;
  return code == 0xDEAD ? kKilled : static_cast<int>(code);
#else
  if (reaped_) return kFailed;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(static_cast<pid_t>(handle_), &status, WNOHANG);
    if (r == static_cast<pid_t>(handle_)) {
      reaped_ = true;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return kKilled;
    }
    if (r < 0 && errno != EINTR) return kFailed;
    if (std::chrono::steady_clock::now() >= deadline) return kTimedOut;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
#endif
}

void ChildProcess::Kill() {
  if (handle_ == 0 || reaped_) return;
#if defined(_WIN32)
  TerminateProcess(reinterpret_cast<HANDLE>(handle_), 0xDEAD);
#else
  kill(static_cast<pid_t>(handle_), SIGKILL);
#endif
}

ChildProcess StartHelper(const std::vector<std::string>& args) {
  return StartProgram(HelperPath(), args);
}

ChildProcess StartSelf(const std::vector<std::string>& args) {
  return StartProgram(OwnPath(), args);
}

ChildProcess StartProgram(const std::string& program, const std::vector<std::string>& args) {
  ChildProcess child;
#if defined(_WIN32)
  std::string commandLine = Quote(program);
  for (const std::string& arg : args) commandLine += " " + Quote(arg);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &si, &pi)) {
    return child;
  }
  CloseHandle(pi.hThread);
  child.handle_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
  child.pid_ = pi.dwProcessId;
#else
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    return child;
  }
  child.handle_ = pid;
  child.pid_ = static_cast<unsigned long>(pid);
#endif
  return child;
}

int RunHelper(const std::vector<std::string>& args, unsigned timeoutMs) {
  ChildProcess child = StartHelper(args);
  if (!child.Started()) return ChildProcess::kFailed;
  int code = child.Wait(timeoutMs);
  if (code == ChildProcess::kTimedOut) child.Kill();
  return code;
}

bool WaitForFile(const std::string& path, unsigned timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!FileExists(path)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string ScratchPath(const std::string& stem) {
  static std::atomic<unsigned> counter{0};
#if defined(_WIN32)
  char dir[MAX_PATH];
  DWORD n = GetTempPathA(MAX_PATH, dir);
  std::string base(dir, n);
  unsigned long pid = GetCurrentProcessId();
#else
  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  if (base.back() != '/') base += '/';
  unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  char name[96];
  std::snprintf(name, sizeof name, "tqrtl-%s-%lu-%u", stem.c_str(), pid, counter++);
  return base + name;
}

std::string UniqueName(const std::string& stem) {
  const std::string path = ScratchPath(stem);
  return path.substr(path.find_last_of("/\\") + 1);
}
