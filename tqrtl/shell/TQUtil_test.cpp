// Tests of module start-up and shutdown: the library's module handle and
// strings, the shutdown-callback map, and (in child processes) the callbacks
// running once when the library unloads with the process.
#include "tqrtl/shell/TQUtil.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tqrtl/platform/win32.h"

namespace {

HINSTANCE FakeModule(ULONG_PTR value) { return reinterpret_cast<HINSTANCE>(value); }

std::vector<std::string> g_calls;
void CallbackA() { g_calls.push_back("A"); }
void CallbackB() { g_calls.push_back("B"); }
void CallbackC() { g_calls.push_back("C"); }

TEST(TQUtilTest, ModuleHandleIsTheLibrarysOwn) {
  const HINSTANCE module = TQUtil::ModuleHandle();
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module, TQModuleOfAddress(reinterpret_cast<const void*>(&TQUtil::KickShutDown)));
  EXPECT_NE(module, GetModuleHandleA(nullptr));
}

TEST(TQUtilTest, LoadsTheLibrarysStrings) {
  TQString text;
  EXPECT_TRUE(TQUtil::LoadStringA(508, &text));
  EXPECT_STREQ(text, "Vantor Lintel - Error");
  EXPECT_FALSE(TQUtil::LoadStringA(9999, &text));
  EXPECT_TRUE(text.IsEmpty());

  StrUtil::StringHandle handle = TQUtil::LoadStringA(507);
  EXPECT_STREQ(handle, "Vantor Lintel - %s Error");
  EXPECT_STREQ(TQUtil::LoadStringA(9999), "*** Can't load string 9999");
}

TEST(TQUtilTest, OneCallbackPerModule) {
  const HINSTANCE m = FakeModule(0x5000);
  EXPECT_TRUE(TQUtil::RegisterOnShutDownCallback(m, CallbackA));
  EXPECT_FALSE(TQUtil::RegisterOnShutDownCallback(m, CallbackB));  // the first stays
  EXPECT_FALSE(TQUtil::UnregisterOnShutDownCallback(FakeModule(0x5010)));

  g_calls.clear();
  TQUtil::KickShutDown();
  EXPECT_EQ(g_calls, std::vector<std::string>{"A"});

  EXPECT_TRUE(TQUtil::UnregisterOnShutDownCallback(m));
  EXPECT_FALSE(TQUtil::UnregisterOnShutDownCallback(m));
  g_calls.clear();
  TQUtil::KickShutDown();
  EXPECT_TRUE(g_calls.empty());
}

TEST(TQUtilTest, KickShutDownWalksBucketsThenChainsNewestFirst) {
  // (handle >> 4) mod 17: 0x1000 -> 1, 0x1010 -> 2, 0x1110 -> 1 again.
  const HINSTANCE a = FakeModule(0x1000), b = FakeModule(0x1010), c = FakeModule(0x1110);
  ASSERT_TRUE(TQUtil::RegisterOnShutDownCallback(b, CallbackB));
  ASSERT_TRUE(TQUtil::RegisterOnShutDownCallback(a, CallbackA));
  ASSERT_TRUE(TQUtil::RegisterOnShutDownCallback(c, CallbackC));
  g_calls.clear();
  TQUtil::KickShutDown();
  EXPECT_EQ(g_calls, (std::vector<std::string>{"C", "A", "B"}));
  // Callbacks stay registered: a second kick runs them again.
  g_calls.clear();
  TQUtil::KickShutDown();
  EXPECT_EQ(g_calls.size(), 3u);
  for (HINSTANCE m : {a, b, c}) EXPECT_TRUE(TQUtil::UnregisterOnShutDownCallback(m));
}

TEST(TQUtilTest, ManyModulesSpillIntoMoreNodeBlocks) {
  // 25 modules need three blocks of 10 nodes; unregistering them all in a
  // different order leaves the map as it was.
  std::vector<HINSTANCE> modules;
  for (ULONG_PTR i = 0; i < 25; ++i) modules.push_back(FakeModule(0x20000 + i * 0x30));
  for (HINSTANCE m : modules) ASSERT_TRUE(TQUtil::RegisterOnShutDownCallback(m, CallbackA));
  g_calls.clear();
  TQUtil::KickShutDown();
  EXPECT_EQ(g_calls.size(), 25u);
  for (size_t i = 0; i < modules.size(); i += 2)
    EXPECT_TRUE(TQUtil::UnregisterOnShutDownCallback(modules[i]));
  for (size_t i = 1; i < modules.size(); i += 2)
    EXPECT_TRUE(TQUtil::UnregisterOnShutDownCallback(modules[i]));
  g_calls.clear();
  TQUtil::KickShutDown();
  EXPECT_TRUE(g_calls.empty());
}

// Runs the helper program (beside this test program) and returns the lines
// its callbacks wrote.
std::vector<std::string> RunHelper(const std::string& mode) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof(self));
  EXPECT_GT(n, 0u);
  std::string dir(self, n);
  dir = dir.substr(0, dir.find_last_of("/\\") + 1);
  const std::string out =
      dir + "shutdown_" + mode + "_" + std::to_string(GetCurrentProcessId()) + ".txt";
  std::remove(out.c_str());
  const std::string command = dir + "tqrtl_shutdown_helper " + mode + " " + out;
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<std::string> lines;
  std::ifstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  in.close();
  std::remove(out.c_str());
  return lines;
}

TEST(TQUtilProcessTest, UnloadRunsTheCallbacksOnce) {
  EXPECT_EQ(RunHelper("exit"), (std::vector<std::string>{"A detached", "B detached"}));
}

TEST(TQUtilProcessTest, UnloadAfterKickShutDownRunsNothingMore) {
  EXPECT_EQ(RunHelper("kick"),
            (std::vector<std::string>{"A attached", "B attached", "kicked attached"}));
}

}  // namespace
