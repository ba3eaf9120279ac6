// Tests of what only the POSIX layer does with locales: it takes the numeric
// locale from the environment, reads it without setlocale, and gives the C
// locale Windows English (United States) values. Also the cases where Wine
// strays from Windows (size queries, a carry that adds a digit group, the
// locale's own format), which the conformance tests cannot check.
//
// A real locale is tested with definitions compiled by localedef into a
// private directory named by LOCPATH, so the tests need no installed locale;
// they are skipped when localedef or its UTF-8 character map is missing.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "files_test_support.h"
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/win32.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TQRTL_LEAK_CHECKER 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define TQRTL_LEAK_CHECKER 1
#endif
#ifdef TQRTL_LEAK_CHECKER
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using tqrtl::posix::NumericLocale;

using files_test::ScopedEnv;

// The locale variables set (or, for null, removed) for its lifetime.
struct Environment : ScopedEnv {
  Environment(const char* lc_all, const char* lc_numeric, const char* lang)
      : ScopedEnv({{"LC_ALL", lc_all}, {"LC_NUMERIC", lc_numeric}, {"LANG", lang}}) {}
};

std::string Info(LCID lcid, LCTYPE type) {
  char buffer[260];
  const int length = GetLocaleInfoA(lcid, type, buffer, sizeof(buffer));
  return length > 0 ? std::string(buffer) : "(failed)";
}

std::string UserFormat(const char* value) {
  char buffer[260];
  const int length =
      GetNumberFormatA(LOCALE_USER_DEFAULT, 0, value, nullptr, buffer, sizeof(buffer));
  return length > 0 ? std::string(buffer) : "(failed)";
}

TEST(LocalePosixTest, EnvironmentNamesTheLocaleInPosixOrder) {
  struct Case {
    const char* lc_all;
    const char* lc_numeric;
    const char* lang;
    const char* expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, "C"},
      {"de_DE.UTF-8", "fr_FR.UTF-8", "en_GB.UTF-8", "de_DE.UTF-8"},
      {nullptr, "fr_FR.UTF-8", "en_GB.UTF-8", "fr_FR.UTF-8"},
      {nullptr, nullptr, "en_GB.UTF-8", "en_GB.UTF-8"},
      {"", "", "en_GB.UTF-8", "en_GB.UTF-8"},  // empty counts as unset
      {"", "", "", "C"},
  };
  for (const Case& c : cases) {
    Environment environment(c.lc_all, c.lc_numeric, c.lang);
    EXPECT_EQ(tqrtl::posix::NumericLocaleName(), c.expected)
        << (c.lc_all ? c.lc_all : "-") << ' ' << (c.lc_numeric ? c.lc_numeric : "-") << ' '
        << (c.lang ? c.lang : "-");
  }
}

TEST(LocalePosixTest, CLocaleAndMissingLocalesReadAsEnglishUnitedStates) {
  for (const char* name : {"C", "POSIX", "C.UTF-8", "C.utf8", "", "xx_NOWHERE.UTF-8"}) {
    const NumericLocale locale = tqrtl::posix::ReadNumericLocale(name);
    EXPECT_EQ(locale.lcid, 0x0409u) << '"' << name << '"';
    EXPECT_EQ(locale.decimal, ".") << '"' << name << '"';
    EXPECT_EQ(locale.thousands, ",") << '"' << name << '"';
    EXPECT_EQ(locale.grouping, "3;0") << '"' << name << '"';
  }
}

TEST(LocalePosixTest, GroupingBytesBecomeWindowsNotation) {
  struct Case {
    const char* posix;
    const char* windows;
  };
  const Case cases[] = {
      {"\3", "3;0"}, {"\3\2", "3;2;0"}, {"\3\177", "3"},       {"\3\2\177", "3;2"}, {"", "0"},
      {"\177", "0"}, {"\377", "0"},     {"\4\3\2", "4;3;2;0"}, {"\3\3", "3;3;0"},
  };
  for (const Case& c : cases) {
    std::string bytes;
    for (const char* p = c.posix; *p != '\0'; ++p) {
      bytes += std::to_string(static_cast<unsigned char>(*p)) + ' ';
    }
    EXPECT_EQ(tqrtl::posix::WindowsGrouping(c.posix), c.windows) << bytes;
  }
}

TEST(LocalePosixTest, CLocaleUserFormat) {
  Environment environment("C", nullptr, nullptr);
  EXPECT_EQ(GetUserDefaultLCID(), 0x0409u);
  EXPECT_EQ(Info(LOCALE_USER_DEFAULT, LOCALE_SGROUPING), "3;0");
  EXPECT_EQ(Info(LOCALE_SYSTEM_DEFAULT, LOCALE_STHOUSAND), ",");
  // Wine misreads "3;0" here and prints "-1234,567.00"; Windows groups.
  EXPECT_EQ(UserFormat("-1234567"), "-1,234,567.00");
  EXPECT_EQ(UserFormat("0.125"), "0.13");
  char buffer[32];
  SetLastError(0);
  EXPECT_EQ(GetNumberFormatA(LOCALE_USER_DEFAULT, LOCALE_NOUSEROVERRIDE, "1", nullptr, buffer,
                             sizeof(buffer)),
            5);
  EXPECT_STREQ(buffer, "1.00");
  SetLastError(0);
  EXPECT_EQ(GetLocaleInfoA(0x0407, LOCALE_SDECIMAL, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(GetNumberFormatA(0x0407, 0, "1", nullptr, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// The size query gives what the call writes, where Wine answers 2 whatever
// the number; and a carry from rounding gets its own digit group, where Wine
// groups by the digit count before rounding ("999.5" becomes "1000").
TEST(LocalePosixTest, SizeQueryAndRoundingCarry) {
  char decimal[] = ".";
  char thousands[] = ",";
  NUMBERFMTA format{0, 1, 3, decimal, thousands, 0};
  const struct {
    const char* value;
    const char* expected;
  } cases[] = {
      {"999.5", "1,000"},
      {"-999999.5", "(1,000,000)"},
      {"99.5", "100"},
      {"", "0"},
      {"123456789012345678901234567890", "123,456,789,012,345,678,901,234,567,890"},
  };
  for (const auto& c : cases) {
    char buffer[64];
    const int written =
        GetNumberFormatA(LOCALE_USER_DEFAULT, 0, c.value, &format, buffer, sizeof(buffer));
    EXPECT_EQ(written, static_cast<int>(strlen(c.expected)) + 1) << c.value;
    EXPECT_STREQ(buffer, c.expected) << c.value;
    EXPECT_EQ(GetNumberFormatA(LOCALE_USER_DEFAULT, 0, c.value, &format, nullptr, 0), written)
        << c.value;
  }
}

// Locales compiled for the test into a private LOCPATH directory: one like
// German (Germany) and one the LCID table does not know, with a separator of
// several bytes and groups of 3 then 2.
class CompiledLocaleTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/tqrtl-locale-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    directory_ = pattern;
    const bool german = Compile("de_DE.UTF-8", "\"<U002C>\"", "\"<U002E>\"", "3;3");
    const bool other = Compile("tq_ZZ.UTF-8", "\"<U002E>\"", "\"<U2009>\"", "3;2");
    ready_ = german && other;
  }
  static void TearDownTestSuite() {
    if (!directory_.empty()) {
      std::string command = "rm -rf '" + directory_ + "'";
      EXPECT_EQ(system(command.c_str()), 0);
    }
  }
  // glibc's newlocale leaks its copy of LOCPATH on each call while that is
  // set, which only these tests do; the leak checker is told to look away.
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "localedef could not compile the test locales";
#ifdef TQRTL_LEAK_CHECKER
    __lsan_disable();
    leak_checker_disabled_ = true;
#endif
  }
  void TearDown() override {
#ifdef TQRTL_LEAK_CHECKER
    if (leak_checker_disabled_) __lsan_enable();
#endif
  }

  // Writes a definition with only a numeric part and compiles it. localedef
  // warns about the missing parts (exit status 1) but writes the locale; 4
  // and above are real failures.
  static bool Compile(const std::string& name, const char* decimal, const char* thousands,
                      const char* grouping) {
    const std::string source = directory_ + "/" + name + ".def";
    FILE* file = fopen(source.c_str(), "w");
    if (file == nullptr) return false;
    fprintf(file, "LC_NUMERIC\ndecimal_point %s\nthousands_sep %s\ngrouping %s\nEND LC_NUMERIC\n",
            decimal, thousands, grouping);
    fclose(file);
    const std::string command = "localedef -c -i '" + source + "' -f UTF-8 '" + directory_ + "/" +
                                name + "' >/dev/null 2>&1";
    const int status = system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) > 1) return false;
    struct stat info;
    return stat((directory_ + "/" + name + "/LC_NUMERIC").c_str(), &info) == 0;
  }

  static std::string directory_;
  static bool ready_;
  bool leak_checker_disabled_ = false;
};

std::string CompiledLocaleTest::directory_;
bool CompiledLocaleTest::ready_ = false;

TEST_F(CompiledLocaleTest, GermanValuesAndLcid) {
  Environment environment(nullptr, "de_DE.UTF-8", "C");
  environment.Set("LOCPATH", directory_.c_str());
  EXPECT_EQ(GetUserDefaultLCID(), 0x0407u);
  struct Case {
    LCID lcid;
    LCTYPE type;
    const char* expected;
  };
  const Case cases[] = {
      {LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, ","},
      {LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, "."},
      {LOCALE_USER_DEFAULT, LOCALE_SGROUPING, "3;3;0"},
      {LOCALE_USER_DEFAULT, LOCALE_IDIGITS, "2"},
      {0x0407, LOCALE_SDECIMAL, ","},
      {0x0409, LOCALE_SDECIMAL, "."},  // always known, whatever the user's locale
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Info(c.lcid, c.type), c.expected) << std::hex << c.lcid << ' ' << c.type;
  }
  EXPECT_EQ(UserFormat("-1234567.891"), "-1.234.567,89");
  // The process's own locale is untouched: printf still uses '.'.
  char printed[16];
  snprintf(printed, sizeof(printed), "%.1f", 1.5);
  EXPECT_STREQ(printed, "1.5");
}

TEST_F(CompiledLocaleTest, UnlistedLocaleWithMultibyteSeparator) {
  Environment environment("tq_ZZ.UTF-8", nullptr, nullptr);
  environment.Set("LOCPATH", directory_.c_str());
  EXPECT_EQ(GetUserDefaultLCID(), 0x0C00u);  // no LCID of its own
  EXPECT_EQ(Info(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND), "\xE2\x80\x89");
  EXPECT_EQ(Info(LOCALE_USER_DEFAULT, LOCALE_SGROUPING), "3;2;0");
  EXPECT_EQ(UserFormat("1234567"),
            "12\xE2\x80\x89"
            "34\xE2\x80\x89"
            "567.00");
  EXPECT_EQ(Info(0x0C00, LOCALE_SGROUPING), "3;2;0");
}

}  // namespace
