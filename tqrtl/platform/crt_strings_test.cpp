// Conformance tests of the Win32 string functions and the C run-time string
// names: run against the POSIX layer on Linux and against the system under
// Wine, and must pass on both. Comparisons check only the sign, which is all
// that the two agree on.
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "tqrtl/platform/win32.h"

namespace {

int Sign(int value) { return value < 0 ? -1 : value > 0 ? 1 : 0; }

TEST(CrtStringsTest, StricmpComparesAsLowerCase) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  };
  const Case cases[] = {
      {"abc", "ABD", -1}, {"ABD", "abc", 1},  {"Hello", "hELLO", 0}, {"", "", 0},
      {"a", "ab", -1},    {"ab", "a", 1},     {"_", "a", -1},         {"_", "A", -1},
      {"[", "a", -1},     {"Z", "[", 1},      {"\xE9", "\xC9", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(_stricmp(c.a, c.b)), c.sign) << '"' << c.a << "\" vs \"" << c.b << '"';
    EXPECT_EQ(Sign(_strnicmp(c.a, c.b, 100)), c.sign) << '"' << c.a << "\" vs \"" << c.b << '"';
  }
}

TEST(CrtStringsTest, StrnicmpStopsAfterCount) {
  EXPECT_EQ(_strnicmp("abcX", "ABCy", 3), 0);
  EXPECT_LT(_strnicmp("abcX", "ABCy", 4), 0);
  EXPECT_EQ(_strnicmp("a", "b", 0), 0);
}

TEST(CrtStringsTest, CaseAndReverseWorkInPlaceOnBytes) {
  struct Case {
    char* (*function)(char*);
    const char* name;
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
      {_strupr, "_strupr", "MiXed \xC9\xE9 1_z", "MIXED \xC9\xE9 1_Z"},
      {_strlwr, "_strlwr", "MiXed \xC9\xE9 1_Z", "mixed \xC9\xE9 1_z"},
      {_strupr, "_strupr", "", ""},
      {_strrev, "_strrev", "abc", "cba"},
      {_strrev, "_strrev", "abcd", "dcba"},
      {_strrev, "_strrev", "a", "a"},
      {_strrev, "_strrev", "", ""},
      {_strrev, "_strrev", "ab\xE9", "\xE9" "ba"},
  };
  for (const Case& c : cases) {
    char text[32];
    strcpy(text, c.input);
    EXPECT_EQ(c.function(text), text) << c.name << "(\"" << c.input << "\")";
    EXPECT_STREQ(text, c.expected) << c.name << "(\"" << c.input << "\")";
  }
}

TEST(CrtStringsTest, StrdupCopies) {
  char* copy = _strdup("text");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "text");
  free(copy);
  EXPECT_EQ(_strdup(nullptr), nullptr);
}

TEST(CrtStringsTest, LstrlenCountsAndAcceptsNull) {
  EXPECT_EQ(lstrlenA(nullptr), 0);
  EXPECT_EQ(lstrlenA(""), 0);
  EXPECT_EQ(lstrlenA("abc"), 3);
  const WCHAR wide[] = {'a', 0xE9, 0xD83D, 0xDE00, 0};
  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(lstrlenW(wide), 4);
}

TEST(CrtStringsTest, LstrcpyAndLstrcat) {
  char text[16];
  EXPECT_EQ(lstrcpyA(text, "abc"), text);
  EXPECT_STREQ(text, "abc");
  EXPECT_EQ(lstrcatA(text, "de"), text);
  EXPECT_STREQ(text, "abcde");
  EXPECT_EQ(lstrcpyA(nullptr, "abc"), nullptr);
}

TEST(CrtStringsTest, LstrcpynCopiesAtMostCountMinusOneAndTerminates) {
  struct Case {
    int count;
    const char* expected;  // null: the buffer is untouched
  };
  const Case cases[] = {
      {0, nullptr}, {1, ""}, {2, "h"}, {3, "he"}, {5, "hell"}, {6, "hello"}, {20, "hello"},
  };
  for (const Case& c : cases) {
    char text[32];
    memset(text, 'Z', sizeof(text));
    EXPECT_EQ(lstrcpynA(text, "hello", c.count), text) << c.count;
    if (c.expected == nullptr) {
      EXPECT_EQ(text[0], 'Z') << c.count;
      continue;
    }
    EXPECT_STREQ(text, c.expected) << c.count;
    const size_t written = strlen(c.expected) + 1;
    for (size_t i = written; i < sizeof(text); ++i) ASSERT_EQ(text[i], 'Z') << c.count;
  }
}

TEST(CrtStringsTest, LstrcmpUsesWordSortOrder) {
  struct Case {
    const char* a;
    const char* b;
    int sign;    // lstrcmpA
    int i_sign;  // lstrcmpiA
  };
  const Case cases[] = {
      {"abc", "abc", 0, 0},   {"abc", "abd", -1, -1}, {"", "a", -1, -1},
      {"ab", "a", 1, 1},      {"a", "B", -1, -1},     {"B", "a", 1, 1},
      {"a", "A", -1, 0},      {"A", "a", 1, 0},       {"abc", "ABD", -1, -1},
      {"ABC", "abc", 1, 0},   {"aB", "Ab", -1, 0},    {"Z", "a", 1, 1},
      {"_", "a", -1, -1},     {"_", "A", -1, -1},     {"1", "a", -1, -1},
      {"10", "9", -1, -1},    {" ", "!", -1, -1},     {"a b", "ab", -1, -1},
      {"a-c", "ab", 1, 1},    {"a'c", "ab", 1, 1},    {"coop", "co-op", -1, -1},
      {"co-op", "coop", 1, 1}, {"a-", "a", 1, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lstrcmpA(c.a, c.b), c.sign) << "lstrcmpA(\"" << c.a << "\", \"" << c.b << "\")";
    EXPECT_EQ(lstrcmpiA(c.a, c.b), c.i_sign) << "lstrcmpiA(\"" << c.a << "\", \"" << c.b << "\")";
  }
  EXPECT_EQ(lstrcmpA(nullptr, "a"), -1);
  EXPECT_EQ(lstrcmpA("a", nullptr), 1);
  EXPECT_EQ(lstrcmpA(nullptr, nullptr), 0);
  EXPECT_EQ(lstrcmpiA(nullptr, ""), -1);
}

}  // namespace
