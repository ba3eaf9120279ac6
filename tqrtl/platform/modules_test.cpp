// Conformance tests of modules and string resources: the same calls run
// against Windows (under Wine) and against the POSIX layer.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/shell/TQUtil.h"

namespace {

int LocalFunction() { return 1; }

TEST(ModulesTest, HandlesNameTheProgramAndTheLibrary) {
  const HMODULE program = GetModuleHandleA(nullptr);
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(program, TQModuleOfAddress(reinterpret_cast<const void*>(&LocalFunction)));

  const HMODULE library = TQModuleOfAddress(reinterpret_cast<const void*>(&TQUtil::ModuleHandle));
  EXPECT_EQ(library, TQUtil::ModuleHandle());
  EXPECT_NE(library, program);
  // The library answers to its Windows name on every system.
  EXPECT_EQ(GetModuleHandleA("tqrtl.dll"), library);
  EXPECT_EQ(GetModuleHandleA("TQRTL"), library);

  SetLastError(0);
  EXPECT_EQ(GetModuleHandleA("no-such-module-here.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(ModulesTest, FileNamesAreFullPaths) {
  char name[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, name, sizeof(name));
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::strlen(name), n);
  EXPECT_NE(std::string(name).find("tqrtl_platform_test"), std::string::npos) << name;

  // Too small: the size comes back with the buffer error, and (as Windows
  // does since Vista; Wine leaves the NUL out) the name is cut to fit.
  char small[9];
  small[8] = 'x';
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, 8), 8u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(small[8], 'x');
  if (!RunningUnderWine()) {
    EXPECT_EQ(std::string(small), std::string(name, 7));
  }
}

TEST(ModulesTest, LoadStringCopiesCutsAndReportsMissingIds) {
  const HINSTANCE self = GetModuleHandleA(nullptr);
  char buffer[512];

  EXPECT_EQ(LoadStringA(self, 1, buffer, sizeof(buffer)), 5);
  EXPECT_STREQ(buffer, "Short");
  EXPECT_EQ(LoadStringA(nullptr, 1, buffer, sizeof(buffer)), 5);  // null: the program
  EXPECT_EQ(LoadStringA(self, 3, buffer, sizeof(buffer)), 15);
  EXPECT_STREQ(buffer, "line1\nline2\ttab");
  EXPECT_STREQ((LoadStringA(self, 5, buffer, sizeof(buffer)), buffer),
               "Unable to read \"%1\": %2!d! bytes");

  // Cut to capacity - 1 with a NUL.
  EXPECT_EQ(LoadStringA(self, 1, buffer, 5), 4);
  EXPECT_STREQ(buffer, "Shor");
  EXPECT_EQ(LoadStringA(self, 1, buffer, 1), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(LoadStringA(self, 300, buffer, 256), 255);
  EXPECT_EQ(std::string(buffer), TestAlphabet(255));
  EXPECT_EQ(LoadStringA(self, 300, buffer, 300), 299);
  EXPECT_EQ(LoadStringA(self, 300, buffer, 301), 300);
  EXPECT_EQ(std::string(buffer), TestAlphabet(300));

  // An empty string looks like a missing one.
  std::strcpy(buffer, "junk");
  EXPECT_EQ(LoadStringA(self, 4, buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "");

  std::strcpy(buffer, "junk");
  SetLastError(0);
  EXPECT_EQ(LoadStringA(self, 999, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_STREQ(buffer, "");
}

TEST(ModulesTest, EachModuleHasItsOwnTable) {
  const HINSTANCE library = TQUtil::ModuleHandle();
  char buffer[256];
  EXPECT_GT(LoadStringA(library, 508, buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "Vantor Lintel - Error");
  // Ids of the program are not the library's, and the reverse.
  EXPECT_EQ(LoadStringA(library, 1, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(LoadStringA(GetModuleHandleA(nullptr), 508, buffer, sizeof(buffer)), 0);
}

// The library's texts with line breaks and quotes, which the resource
// compilers of the two builds must escape alike.
TEST(ModulesTest, LibraryTextsAreExact) {
  const struct {
    UINT id;
    const char* text;
  } kTexts[] = {
      {502, "A system error has occurred\n(%s)\n\nReport this information to Vantor Technical "
            "Support."},
      {503, "Unable to open file \"%1\""},
      {506, "The target process has terminated.\nClose the console window when you are "
            "finished viewing the results."},
  };
  char buffer[256];
  for (const auto& entry : kTexts) {
    EXPECT_EQ(LoadStringA(TQUtil::ModuleHandle(), entry.id, buffer, sizeof(buffer)),
              static_cast<int>(std::strlen(entry.text)))
        << entry.id;
    EXPECT_STREQ(buffer, entry.text) << entry.id;
  }
}

}  // namespace
