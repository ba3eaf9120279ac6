// Tests of LoadLibraryA's search on Linux: the Linux forms of a Windows
// name beside a path, the loader's path for a bare name, and which exports
// GetProcAddress reaches. The module is a copy of the test plug-in
// (tests/plugin/), built beside this executable.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "files_test_support.h"
#include "process_support.h"
#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

std::string PlugInPath() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
  return path.substr(0, path.find_last_of('/') + 1) + "libTQTestPlugin.so";
}

class PlugInFolder {
 public:
  PlugInFolder() : path_(ScratchPath("plugins")) { std::filesystem::create_directory(path_); }
  ~PlugInFolder() { std::filesystem::remove_all(path_); }
  // Copies the plug-in here as `file` (a file of its own, so a module of
  // its own for the loader).
  void Add(const std::string& file) const {
    std::filesystem::copy_file(PlugInPath(), path_ + "/" + file);
  }
  void AddText(const std::string& file) const {
    files_test::WriteBytes(path_ + "/" + file, "not a module\n");
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(LoadLibraryPosixTest, AWindowsNameFindsTheLinuxFileBesideIt) {
  PlugInFolder folder;
  folder.Add("Plain.so");
  folder.Add("libPrefixed.so");
  folder.AddText("Text.dll");
  folder.AddText("Mixed.dll");
  folder.Add("libMixed.so");
  const struct {
    const char* name;
    DWORD error;  // 0: loads
  } kCases[] = {
      {"Plain.dll", 0},
      {"Plain", 0},
      {"Prefixed.dll", 0},
      {"Prefixed", 0},
      {"libPrefixed.so", 0},
      {"Mixed.dll", 0},  // a text file does not stop the search
      {"Text.dll", ERROR_BAD_EXE_FORMAT},
      {"Missing.dll", ERROR_MOD_NOT_FOUND},
      {"Plain.exe", ERROR_MOD_NOT_FOUND},  // only ".dll" stands for ".so"
  };
  for (const auto& c : kCases) {
    const std::string path = folder.path() + "/" + c.name;
    SetLastError(0);
    const HMODULE module = LoadLibraryA(path.c_str());
    if (c.error != 0) {
      EXPECT_EQ(module, nullptr) << c.name;
      EXPECT_EQ(GetLastError(), c.error) << c.name;
      continue;
    }
    ASSERT_NE(module, nullptr) << c.name << ": " << GetLastError();
    EXPECT_NE(GetProcAddress(module, "TQPluginValue"), nullptr) << c.name;
    EXPECT_TRUE(FreeLibrary(module)) << c.name;
  }
}

// A bare name that is not beside the executable is looked for where the
// loader looks, which a process reads when it starts.
TEST(LoadLibraryPosixTest, ABareNameIsLookedForOnTheLoadersPath) {
  PlugInFolder folder;
  folder.Add("libElsewhere.so");
  EXPECT_EQ(RunHelper({"load-library", "Elsewhere.dll", "TQPluginValue"}), 2);
  files_test::ScopedEnv env({{"LD_LIBRARY_PATH", folder.path().c_str()}});
  EXPECT_EQ(RunHelper({"load-library", "Elsewhere.dll", "TQPluginValue"}), 0);
  EXPECT_EQ(RunHelper({"load-library", "Elsewhere", "TQPluginNoSuchExport"}), 3);
}

// GetProcAddress finds a module's own exports, not those of the modules it
// depends on, and FreeLibrary takes only what LoadLibraryA gave.
TEST(LoadLibraryPosixTest, ExportsAndFreesStayWithTheirModule) {
  const HMODULE library = GetModuleHandleA("tqrtl.dll");
  ASSERT_NE(library, nullptr);
  EXPECT_NE(GetProcAddress(library, "GetLastError"), nullptr);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(library, "malloc"), nullptr);  // the C library's
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x1000), "GetLastError"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  SetLastError(0);
  EXPECT_FALSE(FreeLibrary(library));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
