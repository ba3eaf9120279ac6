// Conformance tests of the code page functions: run against the POSIX layer
// on Linux and against the system under Wine, and must pass on both. Where
// the ANSI code page matters (UTF-8 on Linux, 1252 under Wine) the tests use
// explicit code pages or branch on GetACP().
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "files_test_support.h"
#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

using Wide = std::vector<WCHAR>;
using Bytes = std::string;

using files_test::Hex;

std::string Hex(const Wide& units) {
  std::string text;
  char digits[6];
  for (WCHAR u : units) {
    snprintf(digits, sizeof(digits), "%04X ", static_cast<unsigned>(u));
    text += digits;
  }
  return text.empty() ? "(empty)" : text;
}

// A conversion as callers make it: a size query, then the conversion into
// a buffer of that size. When the query fails, the conversion is still tried
// into a roomy buffer; `result` and `error` are what the conversion says. The
// source is copied to a heap block of exactly its size, so that a read past
// the count is caught by the address sanitizer.
struct Converted {
  int size_needed;
  int result;
  DWORD error;
  Wide wide;
  Bytes bytes;
  BOOL used_default;
};

Converted ToWide(UINT code_page, const Bytes& source, DWORD flags = 0) {
  Converted c{};
  std::vector<char> in(source.begin(), source.end());
  SetLastError(0);
  c.size_needed =
      MultiByteToWideChar(code_page, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
  c.wide.resize(c.size_needed > 0 ? c.size_needed : 64);
  SetLastError(0);
  c.result = MultiByteToWideChar(code_page, flags, in.data(), static_cast<int>(in.size()),
                                 c.wide.data(), static_cast<int>(c.wide.size()));
  c.error = GetLastError();
  c.wide.resize(c.result);
  return c;
}

Converted ToBytes(UINT code_page, const Wide& source, DWORD flags = 0,
                  const char* default_char = nullptr, bool want_used = false) {
  Converted c{};
  Wide in = source;
  c.used_default = 7;
  LPBOOL used = want_used ? &c.used_default : nullptr;
  SetLastError(0);
  c.size_needed = WideCharToMultiByte(code_page, flags, in.data(), static_cast<int>(in.size()),
                                      nullptr, 0, default_char, used);
  c.bytes.resize(c.size_needed > 0 ? c.size_needed : 64);
  SetLastError(0);
  c.result =
      WideCharToMultiByte(code_page, flags, in.data(), static_cast<int>(in.size()), c.bytes.data(),
                          static_cast<int>(c.bytes.size()), default_char, used);
  c.error = GetLastError();
  c.bytes.resize(c.result);
  return c;
}

TEST(CodePageTest, ReportsTheCodePages) {
  EXPECT_EQ(GetOEMCP(), 437u);
  const UINT acp = GetACP();
  EXPECT_TRUE(acp == CP_UTF8 || acp == 1252) << acp;
}

TEST(CodePageTest, SingleByteCodePagesRoundTripEveryByte) {
  struct Known {
    UINT cp;
    unsigned char byte;
    WCHAR expected;
  };
  const Known known[] = {
      {437, 0x00, 0x0000},  {437, 0x7F, 0x007F},  {437, 0x80, 0x00C7},  {437, 0x82, 0x00E9},
      {437, 0x8E, 0x00C4},  {437, 0x9E, 0x20A7},  {437, 0xC4, 0x2500},  {437, 0xE1, 0x00DF},
      {437, 0xFE, 0x25A0},  {437, 0xFF, 0x00A0},  {1252, 0x80, 0x20AC}, {1252, 0x81, 0x0081},
      {1252, 0x9F, 0x0178}, {1252, 0xA0, 0x00A0}, {1252, 0xE9, 0x00E9},
  };
  Bytes all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (UINT cp : {437u, 1252u, static_cast<UINT>(CP_OEMCP)}) {
    SCOPED_TRACE(cp);
    const Converted wide = ToWide(cp, all, MB_ERR_INVALID_CHARS);
    ASSERT_EQ(wide.result, 256);
    EXPECT_EQ(wide.size_needed, 256);
    for (const Known& k : known) {
      if (k.cp == (cp == CP_OEMCP ? 437u : cp)) {
        EXPECT_EQ(wide.wide[k.byte], k.expected) << "byte " << int{k.byte};
      }
    }
    Wide sorted = wide.wide;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
        << "two bytes decode to the same character";
    const Converted back = ToBytes(cp, wide.wide, 0, nullptr, true);
    EXPECT_EQ(back.bytes, all) << Hex(back.bytes);
    EXPECT_EQ(back.used_default, FALSE);
  }
}

TEST(CodePageTest, GlyphCharsShowThe437ControlBytesAsPictures) {
  EXPECT_EQ(ToWide(437, "\x01\x1c\x7f", MB_USEGLYPHCHARS).wide, (Wide{0x263A, 0x221F, 0x2302}));
  EXPECT_EQ(ToWide(437, "\x01\x1c\x7f").wide, (Wide{0x01, 0x1C, 0x7F}));
}

TEST(CodePageTest, Utf8DecodesToUtf16) {
  struct Case {
    Bytes utf8;
    Wide expected;
    bool valid;
  };
  const WCHAR R = 0xFFFD;
  const Case cases[] = {
      {"A", {0x41}, true},
      {Bytes("a\0b", 3), {0x61, 0x00, 0x62}, true},
      {"\xC3\xA9", {0xE9}, true},
      {"\xE2\x82\xAC", {0x20AC}, true},
      {"\xEF\xBF\xBF", {0xFFFF}, true},
      {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}, true},
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}, true},
      {"\x80", {R}, false},
      {"a\xFF"
       "b",
       {0x61, R, 0x62},
       false},
      {"\xC0\xAF", {R, R}, false},
      {"\xC3", {R}, false},
      {"\xE2\x82", {R}, false},
      {"\xE2\x82"
       "a",
       {R, 0x61},
       false},
      {"\xF0\x9F\x98", {R}, false},
      {"\xF8\x88\x80\x80\x80", {R, R, R, R, R}, false},
  };
  for (const Case& c : cases) {
    const Converted wide = ToWide(CP_UTF8, c.utf8);
    EXPECT_EQ(wide.wide, c.expected) << Hex(c.utf8) << "gave " << Hex(wide.wide);
    EXPECT_EQ(wide.size_needed, wide.result) << Hex(c.utf8);
    const Converted strict = ToWide(CP_UTF8, c.utf8, MB_ERR_INVALID_CHARS);
    if (c.valid) {
      EXPECT_EQ(strict.wide, c.expected) << Hex(c.utf8);
    } else {
      EXPECT_EQ(strict.size_needed, 0) << Hex(c.utf8);
      EXPECT_EQ(strict.result, 0) << Hex(c.utf8);
      EXPECT_EQ(strict.error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION)) << Hex(c.utf8);
    }
  }
}

TEST(CodePageTest, Utf16EncodesToUtf8) {
  struct Case {
    Wide utf16;
    Bytes expected;
    bool valid;
  };
  const Bytes R = "\xEF\xBF\xBD";
  const Case cases[] = {
      {{0x41}, "A", true},
      {{0xE9}, "\xC3\xA9", true},
      {{0x7FF, 0x800}, "\xDF\xBF\xE0\xA0\x80", true},
      {{0xFFFF}, "\xEF\xBF\xBF", true},
      {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", true},
      {{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF", true},
      {{0x61, 0xD800, 0x62}, "a" + R + "b", false},
      {{0x61, 0xDC00}, "a" + R, false},
      {{0xD800}, R, false},
      {{0xDE00, 0xD83D}, R + R, false},
  };
  for (const Case& c : cases) {
    const Converted bytes = ToBytes(CP_UTF8, c.utf16);
    EXPECT_EQ(bytes.bytes, c.expected) << Hex(c.utf16) << "gave " << Hex(bytes.bytes);
    EXPECT_EQ(bytes.size_needed, bytes.result) << Hex(c.utf16);
    const Converted strict = ToBytes(CP_UTF8, c.utf16, WC_ERR_INVALID_CHARS);
    if (c.valid) {
      EXPECT_EQ(strict.bytes, c.expected) << Hex(c.utf16);
    } else {
      EXPECT_EQ(strict.size_needed, 0) << Hex(c.utf16);
      EXPECT_EQ(strict.result, 0) << Hex(c.utf16);
      EXPECT_EQ(strict.error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION)) << Hex(c.utf16);
    }
  }
}

TEST(CodePageTest, RandomUtf16RoundTripsThroughUtf8) {
  std::mt19937 random(20240305);
  for (int round = 0; round < 500; ++round) {
    Wide text(1 + random() % 40);
    for (size_t i = 0; i < text.size(); ++i) {
      switch (random() % 4) {
        case 0:
          text[i] = static_cast<WCHAR>(1 + random() % 0x7F);
          break;
        case 1:
          text[i] = static_cast<WCHAR>(0x80 + random() % 0x780);
          break;
        case 2:
          text[i] = static_cast<WCHAR>(0xE000 + random() % 0x2000);
          break;
        default:
          if (i + 1 < text.size()) {
            text[i] = static_cast<WCHAR>(0xD800 + random() % 0x400);
            text[++i] = static_cast<WCHAR>(0xDC00 + random() % 0x400);
          } else {
            text[i] = static_cast<WCHAR>(0x800 + random() % 0xD000);
          }
      }
    }
    const Converted utf8 = ToBytes(CP_UTF8, text, WC_ERR_INVALID_CHARS);
    ASSERT_GT(utf8.result, 0) << Hex(text);
    ASSERT_EQ(utf8.size_needed, utf8.result) << Hex(text);
    const Converted back = ToWide(CP_UTF8, utf8.bytes, MB_ERR_INVALID_CHARS);
    ASSERT_EQ(back.wide, text) << Hex(utf8.bytes);
  }
}

TEST(CodePageTest, AnyBytesConvertSafely) {
  std::mt19937 random(7);
  // Lead and continuation bytes are common, so that sequences are often
  // nearly valid.
  const unsigned char interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                       0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 2000; ++round) {
    Bytes input(1 + random() % 12, '\0');
    for (char& c : input) {
      c = static_cast<char>(random() % 2 ? interesting[random() % sizeof(interesting)]
                                         : random() % 256);
    }
    const Converted wide = ToWide(CP_UTF8, input);
    ASSERT_GT(wide.result, 0) << Hex(input);
    ASSERT_EQ(wide.size_needed, wide.result) << Hex(input);
    ASSERT_LE(wide.result, static_cast<int>(input.size())) << Hex(input);
    // Whatever came in, what comes out is well-formed UTF-16.
    const Converted again = ToBytes(CP_UTF8, wide.wide, WC_ERR_INVALID_CHARS);
    ASSERT_GT(again.result, 0) << Hex(input);
    if (ToWide(CP_UTF8, input, MB_ERR_INVALID_CHARS).result > 0) {
      ASSERT_EQ(again.bytes, input);
    }
    for (UINT cp : {437u, 1252u})
      ASSERT_EQ(ToWide(cp, input).result, static_cast<int>(input.size())) << Hex(input);
  }
}

TEST(CodePageTest, CountMinusOneIncludesTheNul) {
  const char text[] = "h\xC3\xA9llo";
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 6);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 6, nullptr, 0), 5);
  WCHAR wide[8];
  for (WCHAR& u : wide) u = 0x7777;
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 8), 6);
  EXPECT_EQ(wide[1], 0xE9);
  EXPECT_EQ(wide[5], 0);
  EXPECT_EQ(wide[6], 0x7777);

  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr), 7);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, wide, -1, nullptr, 0, nullptr, nullptr), 6);
  char bytes[8];
  memset(bytes, 'Z', sizeof(bytes));
  ASSERT_EQ(WideCharToMultiByte(437, 0, wide, -1, bytes, 8, nullptr, nullptr), 6);
  EXPECT_STREQ(bytes, "h\x82llo");
  EXPECT_EQ(bytes[6], 'Z');
}

TEST(CodePageTest, TooSmallBufferFailsWithoutWritingPastIt) {
  struct Case {
    UINT cp;
    Bytes text;  // converted to wide with the code page, then back
    int wide_capacity;
    int byte_capacity;
  };
  const Case cases[] = {
      {CP_UTF8, "abcdef", 5, 5},
      {CP_UTF8, "ab\xE2\x82\xAC", 2, 4},
      {437, "caf\x82", 3, 3},
  };
  const WCHAR kWideCanary = 0x7777;
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.text));
    const Converted full = ToWide(c.cp, c.text);
    Wide wide(c.wide_capacity + 4, kWideCanary);
    SetLastError(0);
    const int wide_result = MultiByteToWideChar(
        c.cp, 0, c.text.data(), static_cast<int>(c.text.size()), wide.data(), c.wide_capacity);
    const DWORD wide_error = GetLastError();
    Bytes bytes(c.byte_capacity + 4, 'Z');
    SetLastError(0);
    const int byte_result =
        WideCharToMultiByte(c.cp, 0, full.wide.data(), static_cast<int>(full.wide.size()),
                            bytes.data(), c.byte_capacity, nullptr, nullptr);
    const DWORD byte_error = GetLastError();
    EXPECT_EQ(wide_result, 0);
    EXPECT_EQ(wide_error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(byte_result, 0);
    EXPECT_EQ(byte_error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    for (int i = c.wide_capacity; i < c.wide_capacity + 4; ++i) EXPECT_EQ(wide[i], kWideCanary);
    for (int i = c.byte_capacity; i < c.byte_capacity + 4; ++i) EXPECT_EQ(bytes[i], 'Z');
  }
  SetLastError(0);
  WCHAR one[1];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ab", -1, one, 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(CodePageTest, BadParametersFail) {
  WCHAR wide[8];
  char bytes[8];
  const WCHAR source[] = {'a', 'b', 0};
  using Case = ErrorCase;
  const auto run = RecordError;
  SetLastError(0);
  const Case bad_parameter[] = {
      run("null source", MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, wide, 8)),
      run("count 0", MultiByteToWideChar(CP_UTF8, 0, "ab", 0, wide, 8)),
      run("null output", MultiByteToWideChar(CP_UTF8, 0, "ab", 2, nullptr, 8)),
      run("capacity -1", MultiByteToWideChar(CP_UTF8, 0, "ab", 2, wide, -1)),
      run("code page 12345", MultiByteToWideChar(12345, 0, "ab", 2, wide, 8)),
      run("W null source", WideCharToMultiByte(CP_UTF8, 0, nullptr, 1, bytes, 8, nullptr, nullptr)),
      run("W count 0", WideCharToMultiByte(CP_UTF8, 0, source, 0, bytes, 8, nullptr, nullptr)),
      run("W null out", WideCharToMultiByte(CP_UTF8, 0, source, 2, nullptr, 8, nullptr, nullptr)),
      run("W cap -1", WideCharToMultiByte(CP_UTF8, 0, source, 2, bytes, -1, nullptr, nullptr)),
      run("W cp 12345", WideCharToMultiByte(12345, 0, source, 2, bytes, 8, nullptr, nullptr)),
  };
  for (const Case& c : bad_parameter) {
    EXPECT_EQ(c.result, 0) << c.what;
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
  }
  const Case bad_flags[] = {
      run("flag 0x100", MultiByteToWideChar(CP_UTF8, 0x100, "ab", 2, wide, 8)),
      run("flag 0x100, 437", MultiByteToWideChar(437, 0x100, "ab", 2, wide, 8)),
      run("W flag 1000", WideCharToMultiByte(1252, 0x1000, source, 2, bytes, 8, nullptr, nullptr)),
  };
  for (const Case& c : bad_flags) {
    EXPECT_EQ(c.result, 0) << c.what;
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_INVALID_FLAGS)) << c.what;
  }
}

TEST(CodePageTest, MissingCharactersBecomeTheDefaultCharacter) {
  struct Case {
    UINT cp;
    Wide text;
    DWORD flags;
    const char* default_char;
    Bytes expected;
    BOOL used;
  };
  const Case cases[] = {
      {1252, {0x61, 0x4E00}, 0, nullptr, "a?", TRUE},
      {437, {0x61, 0x4E00}, 0, nullptr, "a?", TRUE},
      {437, {0x4E00}, 0, "*", "*", TRUE},
      {437, {0x20AC}, 0, nullptr, "?", TRUE},
      {1252, {0x20AC, 0xE9}, 0, nullptr, "\x80\xE9", FALSE},
      {1252, {0x0100}, WC_NO_BEST_FIT_CHARS, nullptr, "?", TRUE},
      {437, {0x03B2}, WC_NO_BEST_FIT_CHARS, nullptr, "?", TRUE},
      {1252, {0xD83D, 0xDE00}, 0, nullptr, "??", TRUE},
      {437, {0x2500, 0x00A0}, 0, nullptr, "\xC4\xFF", FALSE},
  };
  for (const Case& c : cases) {
    const Converted got = ToBytes(c.cp, c.text, c.flags, c.default_char, true);
    EXPECT_EQ(got.bytes, c.expected) << c.cp << ": " << Hex(c.text) << "gave " << Hex(got.bytes);
    EXPECT_EQ(got.used_default, c.used) << c.cp << ": " << Hex(c.text);
  }
}

// The narrow text "café Ä" in the ANSI code page.
Bytes CafeInAnsi() {
  return GetACP() == CP_UTF8 ? Bytes("caf\xC3\xA9 \xC3\x84") : Bytes("caf\xE9 \xC4");
}

TEST(CodePageTest, CharToOemConvertsInPlaceAndOemToCharRestores) {
  const Bytes ansi = CafeInAnsi();
  char text[16] = {};
  memcpy(text, ansi.data(), ansi.size());
  ASSERT_TRUE(CharToOemA(text, text));
  EXPECT_STREQ(text, "caf\x82 \x8E") << Hex(text);

  char restored[32];
  memset(restored, 'Z', sizeof(restored));
  ASSERT_TRUE(OemToCharA(text, restored));
  EXPECT_EQ(Bytes(restored), ansi) << Hex(restored);
}

TEST(CodePageTest, BuffFormsConvertExactlyTheLength) {
  const Bytes ansi = CafeInAnsi();
  const Bytes source = ansi + "xyz";
  const DWORD length = static_cast<DWORD>(ansi.size());
  char out[32];
  memset(out, 'Z', sizeof(out));
  ASSERT_TRUE(CharToOemBuffA(source.c_str(), out, length));
  EXPECT_EQ(Bytes(out, 6), "caf\x82 \x8E") << Hex(Bytes(out, length));
  // A UTF-8 source is longer than its OEM text; the rest of the length is
  // cleared rather than left stale.
  for (DWORD i = 6; i < length; ++i) EXPECT_EQ(out[i], '\0') << i;
  EXPECT_EQ(out[length], 'Z');

  char back[32];
  memset(back, 'Z', sizeof(back));
  ASSERT_TRUE(OemToCharBuffA("caf\x82 \x8Exyz", back, 6));
  EXPECT_EQ(Bytes(back, ansi.size()), ansi);
  EXPECT_EQ(back[ansi.size()], 'Z');

  char same[8] = "ab";
  ASSERT_TRUE(CharToOemBuffA(same, same, 0));
  EXPECT_STREQ(same, "ab");
}

TEST(CodePageTest, OemFunctionsRefuseNullPointers) {
  char text[8] = "x";
  EXPECT_FALSE(CharToOemA(nullptr, text));
  EXPECT_FALSE(CharToOemA("x", nullptr));
  EXPECT_FALSE(OemToCharA(nullptr, text));
  EXPECT_FALSE(OemToCharA("x", nullptr));
  EXPECT_FALSE(CharToOemBuffA(nullptr, text, 1));
  EXPECT_FALSE(OemToCharBuffA("x", nullptr, 1));
}

}  // namespace
