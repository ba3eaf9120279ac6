// process_support.h: start, watch and kill other processes in tests.
//
// Tests that need "another process" start the helper program
// tqrtl_process_helper with a sub-command (tests/process_helper/). It is
// built next to the test executables, on Linux and Windows alike.
//
//   ChildProcess child = StartHelper({"mutex-hold", name, readyFile});
//   ASSERT_TRUE(child.Started());
//   ASSERT_TRUE(WaitForFile(readyFile, 20000));
//   child.Kill();                         // SIGKILL / TerminateProcess
//   EXPECT_EQ(child.Wait(20000), kKilled);
//
// Wait never hangs: after the time-out it returns kTimedOut and the child is
// still running (the destructor kills and reaps a child that is left).
#ifndef TQRTL_TESTS_PROCESS_SUPPORT_H_
#define TQRTL_TESTS_PROCESS_SUPPORT_H_

#include <cstdint>
#include <string>
#include <vector>

class ChildProcess {
 public:
  static constexpr int kTimedOut = -1000;  // Wait: still running
  static constexpr int kKilled = -1001;    // Wait: ended by a signal / TerminateProcess
  static constexpr int kFailed = -1002;    // Wait: no child, or waiting failed

  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  bool Started() const { return handle_ != 0; }
  // The child's exit code, kKilled, kTimedOut or kFailed.
  int Wait(unsigned timeoutMs);
  // Ends the child at once, as a crash would (no clean-up runs in it).
  void Kill();
  unsigned long Pid() const { return pid_; }

 private:
  friend ChildProcess StartProgram(const std::string& program,
                                   const std::vector<std::string>& args);
  std::intptr_t handle_ = 0;  // pid on POSIX, process HANDLE on Windows
  unsigned long pid_ = 0;
  bool reaped_ = false;
};

// Starts `program` with `args`; the child inherits the environment.
ChildProcess StartProgram(const std::string& program, const std::vector<std::string>& args);

// Starts tqrtl_process_helper with the given arguments (first: the
// sub-command). The child inherits the environment.
ChildProcess StartHelper(const std::vector<std::string>& args);

// Starts the running test executable itself with the given arguments (a
// --gtest_filter naming one test, say), for a test that needs a process of
// its own: one that starts an endpoint, which a process can do only once.
ChildProcess StartSelf(const std::vector<std::string>& args);

// Starts the helper and waits for it (kTimedOut after timeoutMs, the child
// then killed): its exit code.
int RunHelper(const std::vector<std::string>& args, unsigned timeoutMs = 60000);

// Polls until the file exists (true) or the time-out passes (false).
bool WaitForFile(const std::string& path, unsigned timeoutMs);

// A path for a scratch file unique to this process and call, in the
// temporary directory. The file is not created.
std::string ScratchPath(const std::string& stem);

// A name for a named object, unique to this process and call.
std::string UniqueName(const std::string& stem);

#endif  // TQRTL_TESTS_PROCESS_SUPPORT_H_
