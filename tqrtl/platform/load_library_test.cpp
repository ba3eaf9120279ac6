// Conformance tests of modules of code (LoadLibraryA, GetProcAddress,
// FreeLibrary) with the test plug-in (tests/plugin/), built beside this
// executable: the same calls run against Windows (under Wine) and against
// the POSIX layer.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "process_support.h"
#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

#if defined(_WIN32)
const char kPluginFile[] = "TQTestPlugin.dll";
#else
const char kPluginFile[] = "libTQTestPlugin.so";
#endif

// The executable's folder, ending in its separator.
std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, n);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

using ValueFn = int (*)();
using SetValueFn = int (*)(int);

// An export as the function it is (through void(*)(), the type any
// function pointer may pass through).
template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

ValueFn ValueOf(HMODULE module) { return Export<ValueFn>(module, "TQPluginValue"); }

TEST(LoadLibraryTest, FindsThePlugInByPathByBareNameAndByItsWindowsName) {
  const std::vector<std::string> names = {ProgramFolder() + kPluginFile, "TQTestPlugin.dll",
                                          "TQTestPlugin"};
  HMODULE first = nullptr;
  for (const std::string& name : names) {
    SetLastError(0);
    const HMODULE module = LoadLibraryA(name.c_str());
    ASSERT_NE(module, nullptr) << name << ": " << GetLastError();
    if (first == nullptr) first = module;
    EXPECT_EQ(module, first) << name;  // one module, loaded again
    const ValueFn value = ValueOf(module);
    ASSERT_NE(value, nullptr) << name;
    EXPECT_EQ(value(), 0) << name;
  }
  EXPECT_EQ(GetModuleHandleA("TQTestPlugin.dll"), first);
  for (size_t i = 0; i < names.size(); ++i) EXPECT_TRUE(FreeLibrary(first)) << i;
}

// Each load is counted; the last FreeLibrary unloads the module, and a new
// load starts it afresh.
TEST(LoadLibraryTest, TheLastFreeUnloads) {
  const HMODULE module = LoadLibraryA("TQTestPlugin.dll");
  ASSERT_NE(module, nullptr);
  const auto set_value = Export<SetValueFn>(module, "TQPluginSetValue");
  ASSERT_NE(set_value, nullptr);
  EXPECT_EQ(set_value(42), 0);
  ASSERT_EQ(LoadLibraryA("TQTestPlugin"), module);
  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_EQ(ValueOf(module)(), 42) << "one load is left";
  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandleA("TQTestPlugin.dll"), nullptr);

  const HMODULE again = LoadLibraryA("TQTestPlugin.dll");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(ValueOf(again)(), 0);
  EXPECT_TRUE(FreeLibrary(again));
}

TEST(LoadLibraryTest, FailuresGiveWin32Codes) {
  const std::string text_file = ScratchPath("notalib") + ".dll";
  if (FILE* f = std::fopen(text_file.c_str(), "w")) {
    std::fputs("This is text, not a module.\n", f);
    std::fclose(f);
  }
  const HMODULE plugin = LoadLibraryA("TQTestPlugin.dll");
  ASSERT_NE(plugin, nullptr);
  const std::string missing_path = ProgramFolder() + "tqrtl-no-such-module.dll";
  const struct {
    ErrorCase call;
    DWORD error;
  } kCases[] = {
      {RecordError("missing by name", LoadLibraryA("tqrtl-no-such-module.dll") != nullptr),
       ERROR_MOD_NOT_FOUND},
      {RecordError("missing by path", LoadLibraryA(missing_path.c_str()) != nullptr),
       ERROR_MOD_NOT_FOUND},
      {RecordError("text file", LoadLibraryA(text_file.c_str()) != nullptr), ERROR_BAD_EXE_FORMAT},
      {RecordError("missing export", GetProcAddress(plugin, "TQPluginNoSuchExport") != nullptr),
       ERROR_PROC_NOT_FOUND},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.call.result, 0) << c.call.what;
    EXPECT_EQ(c.call.error, c.error) << c.call.what;
  }
  EXPECT_TRUE(FreeLibrary(plugin));
  std::remove(text_file.c_str());
}

// Modules loaded as data and modules of code are freed by the same call.
TEST(LoadLibraryTest, FreeLibraryTakesDataFilesAndCodeAlike) {
  const std::string path = ProgramFolder() + kPluginFile;
  const HMODULE data = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(data, nullptr);
  const HMODULE code = LoadLibraryA(path.c_str());
  ASSERT_NE(code, nullptr);
  EXPECT_NE(data, code);
  EXPECT_TRUE(FreeLibrary(data));
  EXPECT_NE(ValueOf(code), nullptr);
  EXPECT_TRUE(FreeLibrary(code));
  EXPECT_EQ(GetModuleHandleA("TQTestPlugin.dll"), nullptr);
}

}  // namespace
