// Tests of what only the POSIX layer does with code pages and strings: the
// narrow code page is UTF-8 here, so OEM text grows when it becomes narrow
// text, and the layer settles details that Wine leaves loose.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files_test_support.h"
#include "test_support.h"
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/win32.h"

namespace {

using Bytes = std::string;

using files_test::Hex;

TEST(CodePagePosixTest, NarrowCodePageIsUtf8) {
  EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
  const char text[] = "\xE2\x82\xAC";
  WCHAR acp[2];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, acp, 2), 2);
  EXPECT_EQ(acp[0], 0x20AC);
}

TEST(CodePagePosixTest, OemToCharInPlaceCutsAtACharacterBoundary) {
  struct Case {
    Bytes oem;
    Bytes expected;
  };
  const Case cases[] = {
      {"", ""},
      {"ab", "ab"},
      {"\xC4\xC4\xC4", "\xE2\x94\x80"},   // three 3-byte characters: one fits
      {"a\x82", "a"},                     // U+00E9 needs 2 bytes, 1 is left
      {"\x82\x82\x82\x82", "\xC3\xA9\xC3\xA9"},
      {"\x82\x82\x82", "\xC3\xA9"},
      {"x\xC4" "abc", "x\xE2\x94\x80" "a"},
  };
  for (const Case& c : cases) {
    char text[32];
    memset(text, 'Z', sizeof(text));
    memcpy(text, c.oem.c_str(), c.oem.size() + 1);
    ASSERT_TRUE(OemToCharA(text, text));
    EXPECT_EQ(Bytes(text), c.expected) << Hex(c.oem) << "gave " << Hex(text);
    for (size_t i = c.oem.size() + 1; i < sizeof(text); ++i)
      ASSERT_EQ(text[i], 'Z') << Hex(c.oem) << "wrote past the NUL at " << i;

    memset(text, 'Z', sizeof(text));
    memcpy(text, c.oem.data(), c.oem.size());
    ASSERT_TRUE(OemToCharBuffA(text, text, static_cast<DWORD>(c.oem.size())));
    EXPECT_EQ(Bytes(text, c.expected.size()), c.expected) << Hex(c.oem);
    for (size_t i = c.expected.size(); i < c.oem.size(); ++i)
      EXPECT_EQ(text[i], '\0') << Hex(c.oem) << "left a stale byte at " << i;
    EXPECT_EQ(text[c.oem.size()], 'Z') << Hex(c.oem);
  }
}

TEST(CodePagePosixTest, OemToCharIntoAnotherBufferGrows) {
  std::vector<char> out(3 * 4 + 2, 'Z');
  ASSERT_TRUE(OemToCharA("\xC4\x82" "A\xFF", out.data()));
  EXPECT_EQ(Bytes(out.data()), "\xE2\x94\x80\xC3\xA9" "A\xC2\xA0");
  EXPECT_EQ(out[10], 'Z');
  // Every byte of 437 is at most 3 bytes of UTF-8 and survives the trip.
  Bytes all;
  for (int i = 1; i < 256; ++i) all += static_cast<char>(i);
  std::vector<char> narrow(3 * all.size() + 1);
  ASSERT_TRUE(OemToCharA(all.c_str(), narrow.data()));
  std::vector<char> oem(narrow.size());
  ASSERT_TRUE(CharToOemA(narrow.data(), oem.data()));
  EXPECT_EQ(Bytes(oem.data()), all);
}

TEST(CodePagePosixTest, CharToOemReplacesWhat437Lacks) {
  struct Case {
    Bytes narrow;
    Bytes expected;
  };
  const Case cases[] = {
      {"\xC2\xA5", "\x9D"},                // U+00A5
      {"\xE2\x82\xAC", "?"},               // U+20AC, not in 437
      {"\xF0\x9F\x98\x80" "a", "?a"},      // one character outside the BMP
      {"a\xFF" "b", "a?b"},                // not UTF-8
      {"\xE2\x82", "?"},                   // truncated sequence
      {"\xC0\xAF", "??"},                  // overlong form
  };
  for (const Case& c : cases) {
    char text[16] = {};
    memcpy(text, c.narrow.data(), c.narrow.size());
    ASSERT_TRUE(CharToOemA(text, text));
    EXPECT_EQ(Bytes(text), c.expected) << Hex(c.narrow) << "gave " << Hex(text);
  }
}

TEST(CodePagePosixTest, InvalidUtf8BecomesOneReplacementPerMaximalSubpart) {
  struct Case {
    Bytes utf8;
    int replacements;
  };
  // Wine counts the first three differently; the layer follows Unicode.
  const Case cases[] = {
      {"\xE0\x80\x80", 3},
      {"\xED\xA0\x80", 3},
      {"\xF4\x90\x80\x80", 4},
      {"\xF0\x90\x80", 1},
      {"\xF0\x90\x80" "\xF0\x90\x80", 2},
  };
  for (const Case& c : cases) {
    WCHAR wide[8];
    const int n = MultiByteToWideChar(CP_UTF8, 0, c.utf8.data(), static_cast<int>(c.utf8.size()),
                                      wide, 8);
    EXPECT_EQ(n, c.replacements) << Hex(c.utf8);
    for (int i = 0; i < n; ++i) EXPECT_EQ(wide[i], 0xFFFD) << Hex(c.utf8);
  }
}

TEST(CodePagePosixTest, RefusesWhatWindowsRefuses) {
  char buffer[16] = "abc";
  WCHAR wide[8] = {'a', 'b', 0};
  BOOL used = FALSE;
  using Case = ErrorCase;
  const auto run = RecordError;
  SetLastError(0);
  const Case cases[] = {
      run("count -2", MultiByteToWideChar(CP_UTF8, 0, "abc", -2, wide, 8)),
      run("source is destination",
          MultiByteToWideChar(1252, 0, buffer, 3, reinterpret_cast<LPWSTR>(buffer), 4)),
      run("wide count -2", WideCharToMultiByte(CP_UTF8, 0, wide, -2, buffer, 8, nullptr, nullptr)),
      run("wide source is destination",
          WideCharToMultiByte(1252, 0, wide, 2, reinterpret_cast<LPSTR>(wide), 8, nullptr,
                              nullptr)),
      run("UTF-8 with a default",
          WideCharToMultiByte(CP_UTF8, 0, wide, 2, buffer, 8, "?", nullptr)),
      run("UTF-8 with used-default",
          WideCharToMultiByte(CP_UTF8, 0, wide, 2, buffer, 8, nullptr, &used)),
      run("CharToOemA null", CharToOemA(nullptr, buffer)),
      run("OemToCharA null", OemToCharA(buffer, nullptr)),
      run("CharToOemBuffA null", CharToOemBuffA(nullptr, buffer, 1)),
      run("OemToCharBuffA null", OemToCharBuffA(nullptr, buffer, 1)),
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, 0) << c.what;
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
  }
}

TEST(CodePagePosixTest, AnsiCodePageReportsReplacedSurrogates) {
  // Code written for a single-byte ANSI code page passes a used-default
  // flag with CP_ACP; here it tells whether anything was lost.
  struct Case {
    std::vector<WCHAR> text;
    BOOL used;
  };
  const Case cases[] = {
      {{'a', 0xE9, 0xD83D, 0xDE00}, FALSE},
      {{'a', 0xD800, 'b'}, TRUE},
  };
  for (const Case& c : cases) {
    char out[16];
    BOOL used = 7;
    EXPECT_GT(WideCharToMultiByte(CP_ACP, 0, c.text.data(), static_cast<int>(c.text.size()), out,
                                  sizeof(out), nullptr, &used),
              0);
    EXPECT_EQ(used, c.used) << c.text.size();
  }
}

TEST(CodePagePosixTest, SurrogatePairIsNotSplitByAShortBuffer) {
  // Wine stores half the pair and reports success; Windows and the layer
  // fail, since the character does not fit.
  WCHAR wide[2] = {0x7777, 0x7777};
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(wide[1], 0x7777);
}

TEST(CodePagePosixTest, StricmpComparesBytesAsUnsigned) {
  // As the Microsoft run-time does; Wine's sorts bytes above 0x7F before
  // ASCII.
  EXPECT_GT(_stricmp("\xC9", "e"), 0);
  EXPECT_GT(_stricmp("A\x80", "a"), 0);
  EXPECT_GT(_strnicmp("\xFF", "z", 1), 0);
  EXPECT_EQ(_stricmp("a", "ab"), -'b');
}

TEST(CodePagePosixTest, CrtNamesHandleNullAndFailedAllocation) {
  errno = 0;
  EXPECT_EQ(_stricmp(nullptr, "a"), INT_MAX);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(_strnicmp("a", nullptr, 1), INT_MAX);
  EXPECT_EQ(_strupr(nullptr), nullptr);
  EXPECT_EQ(_strlwr(nullptr), nullptr);
  EXPECT_EQ(_strrev(nullptr), nullptr);
  EXPECT_EQ(lstrcpynA(nullptr, "a", 4), nullptr);
  char text[4] = "abc";
  EXPECT_EQ(lstrcpynA(text, "xyz", -1), text);
  EXPECT_STREQ(text, "abc");

  tqrtl::posix::SystemCalls calls = tqrtl::posix::Sys();
  calls.malloc = [](size_t) -> void* { return nullptr; };
  tqrtl::posix::SetSystemCalls(calls);
  errno = 0;
  char* copy = _strdup("text");
  const int error = errno;
  tqrtl::posix::ResetSystemCalls();
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(error, ENOMEM);
}

}  // namespace
