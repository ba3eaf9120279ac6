// Conformance tests of GetNumberFormatA and GetLocaleInfoA: run against the
// POSIX layer on Linux and against the system under Wine, and must pass on
// both. Number formats are given explicitly so that the results do not
// depend on the host's locale; the user's locale is checked only for the
// shape of its answers.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "tqrtl/platform/win32.h"

namespace {

struct Format {
  UINT digits = 0;
  UINT leading_zero = 1;
  UINT grouping = 3;
  const char* decimal = ".";
  const char* thousands = ",";
  UINT negative_order = 1;
};

struct Formatted {
  int result;
  DWORD error;
  std::string text;
};

// Formats `value` into a roomy buffer, as the library does. (A size query is
// not made here: Wine's GetNumberFormatA answers it with 2 whatever the
// number; the POSIX layer's own tests check it.)
Formatted FormatNumber(const char* value, const Format& f) {
  std::string decimal = f.decimal;
  std::string thousands = f.thousands;
  NUMBERFMTA format{f.digits,       f.leading_zero,   f.grouping,
                    decimal.data(), thousands.data(), f.negative_order};
  char buffer[260];
  SetLastError(0);
  const int result =
      GetNumberFormatA(LOCALE_USER_DEFAULT, 0, value, &format, buffer, sizeof(buffer));
  if (result <= 0) return {result, GetLastError(), ""};
  return {result, GetLastError(), buffer};
}

Format Digits(UINT digits) {
  Format f;
  f.digits = digits;
  return f;
}

Format Blank(UINT negative_order = 1) {
  Format f;
  f.thousands = " ";
  f.negative_order = negative_order;
  return f;
}

Format Grouping(UINT grouping) {
  Format f = Blank();
  f.grouping = grouping;
  return f;
}

TEST(NumberFormatTest, FormatsDecimalText) {
  struct Case {
    const char* value;
    Format format;
    const char* expected;
  };
  const Case cases[] = {
      {"1234567", Format{}, "1,234,567"},
      {"-1234567", Format{}, "-1,234,567"},
      {"0", Format{}, "0"},
      {"123", Format{}, "123"},
      {"0012", Format{}, "12"},
      // Rounding to the digit count, half away from zero.
      {"123.456", Format{}, "123"},
      {"123.5", Format{}, "124"},
      {"-123.5", Format{}, "-124"},
      {"0.5", Format{}, "1"},
      {"1.005", Digits(2), "1.01"},
      {"9.999", Digits(2), "10.00"},
      {"1.5", Digits(3), "1.500"},
      {"1234567.891", Digits(9), "1,234,567.891000000"},
      // The decimal point may stand at either end.
      {"5.", Digits(1), "5.0"},
      {".5", Digits(1), "0.5"},
      {"-.25", Digits(2), "-0.25"},
      // Empty digit runs read as zero, and a negative value keeps its sign
      // when it rounds to zero.
      {"", Format{}, "0"},
      {".", Digits(1), "0.0"},
      {"-", Format{}, "-0"},
      {"-0.001", Format{}, "-0"},
      {"-0.001", Blank(0), "(0)"},
      // Negative orders.
      {"-1234567", Blank(0), "(1 234 567)"},
      {"-1234567", Blank(2), "- 1 234 567"},
      {"-1234567", Blank(3), "1 234 567-"},
      {"-1234567", Blank(4), "1 234 567 -"},
      {"1234567", Blank(0), "1 234 567"},
      // Group sizes: the last repeats unless it is 0.
      {"1234567", Grouping(32), "12 34 567"},
      {"1234567890", Grouping(32), "1 23 45 67 890"},
      {"1234567", Grouping(0), "1234567"},
      {"1234567", Grouping(30), "1234 567"},
      {"1234567", Grouping(320), "12 34 567"},
      {"1234567", Grouping(10), "123456 7"},
      {"1234567", Grouping(4), "123 4567"},
      {"1234567", Grouping(1), "1 2 3 4 5 6 7"},
  };
  for (const Case& c : cases) {
    const Formatted f = FormatNumber(c.value, c.format);
    EXPECT_EQ(f.text, c.expected) << c.value;
    EXPECT_EQ(f.result, static_cast<int>(strlen(c.expected)) + 1) << c.value;
  }
}

TEST(NumberFormatTest, LeadingZeroAndSeparators) {
  Format no_zero = Digits(2);
  no_zero.leading_zero = 0;
  Format words = Digits(1);
  words.decimal = "::";
  words.thousands = "''";
  Format bare = Digits(1);
  bare.decimal = "";
  bare.thousands = "";
  struct Case {
    const char* value;
    Format format;
    const char* expected;
  };
  const Case cases[] = {
      {"0.5", no_zero, ".50"},   {"-0.5", no_zero, "-.50"},      {"12.5", no_zero, "12.50"},
      {"0.4", Format{0, 0}, ""}, {"1234.5", words, "1''234::5"}, {"1234.5", bare, "12345"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatNumber(c.value, c.format).text, c.expected) << c.value;
  }
}

TEST(NumberFormatTest, RefusesTextThatIsNotADecimal) {
  for (const char* value :
       {"12ab", "+5", " 5", "5 ", "1e5", "1,234", "1.2.3", "--5", "0x10", "5-"}) {
    const Formatted f = FormatNumber(value, Format{});
    EXPECT_EQ(f.result, 0) << '"' << value << '"';
    EXPECT_EQ(f.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << '"' << value << '"';
  }
}

// Each refused call fails with its error and writes nothing past the
// capacity it was given; exactly the length without the NUL is too short.
TEST(NumberFormatTest, RefusesBadArgumentsAndShortBuffers) {
  char decimal[] = ".";
  char thousands[] = ",";
  const NUMBERFMTA good{0, 1, 3, decimal, thousands, 1};
  struct Case {
    const char* what;
    const char* value;
    NUMBERFMTA format;
    DWORD flags;
    int capacity;
    DWORD error;
  };
  const Case cases[] = {
      {"capacity 5", "1234567", good, 0, 5, ERROR_INSUFFICIENT_BUFFER},
      {"capacity 9", "1234567", good, 0, 9, ERROR_INSUFFICIENT_BUFFER},
      {"negative order 5", "-1", {0, 1, 3, decimal, thousands, 5}, 0, 32, ERROR_INVALID_PARAMETER},
      {"null decimal", "-1", {0, 1, 3, nullptr, thousands, 1}, 0, 32, ERROR_INVALID_PARAMETER},
      {"null thousands", "-1", {0, 1, 3, decimal, nullptr, 1}, 0, 32, ERROR_INVALID_PARAMETER},
      {"no-override flag with a format", "-1", good, LOCALE_NOUSEROVERRIDE, 32,
       ERROR_INVALID_FLAGS},
      {"null value", nullptr, good, 0, 32, ERROR_INVALID_PARAMETER},
      {"capacity -1", "1", good, 0, -1, ERROR_INVALID_PARAMETER},
  };
  char buffer[40];
  for (const Case& c : cases) {
    memset(buffer, '#', sizeof(buffer));
    SetLastError(0);
    EXPECT_EQ(
        GetNumberFormatA(LOCALE_USER_DEFAULT, c.flags, c.value, &c.format, buffer, c.capacity), 0)
        << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
    if (c.capacity >= 0) {
      EXPECT_EQ(buffer[c.capacity], '#') << c.what;
    }
  }
  EXPECT_EQ(GetNumberFormatA(LOCALE_USER_DEFAULT, 0, "1234567", &good, buffer, 10), 10);
  EXPECT_STREQ(buffer, "1,234,567");
}

TEST(NumberFormatTest, UserLocaleFormatUsesItsSeparators) {
  char decimal[8];
  char thousands[8];
  ASSERT_GT(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, decimal, sizeof(decimal)), 0);
  ASSERT_GT(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, thousands, sizeof(thousands)), 0);
  char buffer[64];
  const int length =
      GetNumberFormatA(LOCALE_USER_DEFAULT, 0, "-1.5", nullptr, buffer, sizeof(buffer));
  ASSERT_GT(length, 0);
  EXPECT_EQ(length, static_cast<int>(strlen(buffer)) + 1);
  EXPECT_NE(strstr(buffer, decimal), nullptr) << buffer;
  EXPECT_NE(strchr(buffer, '5'), nullptr) << buffer;
}

// The items the library reads, with what English (United States) says.
struct Item {
  LCTYPE type;
  const char* name;
  const char* english_us;
};
const Item kItems[] = {
    {LOCALE_SDECIMAL, "SDECIMAL", "."},     {LOCALE_STHOUSAND, "STHOUSAND", ","},
    {LOCALE_SGROUPING, "SGROUPING", "3;0"}, {LOCALE_IDIGITS, "IDIGITS", "2"},
    {LOCALE_ILZERO, "ILZERO", "1"},         {LOCALE_INEGNUMBER, "INEGNUMBER", "1"},
};

TEST(LocaleInfoTest, UserLocaleAnswersEveryItemConsistently) {
  for (const Item& item : kItems) {
    for (LCID lcid : {static_cast<LCID>(LOCALE_USER_DEFAULT), GetUserDefaultLCID()}) {
      SetLastError(0);
      const int needed = GetLocaleInfoA(lcid, item.type, nullptr, 0);
      ASSERT_GT(needed, 0) << item.name << " error " << GetLastError();
      char buffer[260];
      memset(buffer, '#', sizeof(buffer));
      EXPECT_EQ(GetLocaleInfoA(lcid, item.type, buffer, needed), needed) << item.name;
      EXPECT_EQ(static_cast<int>(strlen(buffer)) + 1, needed) << item.name;
      char overridden[260];
      EXPECT_EQ(
          GetLocaleInfoA(lcid, item.type | LOCALE_NOUSEROVERRIDE, overridden, sizeof(overridden)),
          needed)
          << item.name;
      if (needed > 1) {
        SetLastError(0);
        EXPECT_EQ(GetLocaleInfoA(lcid, item.type, buffer, needed - 1), 0) << item.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << item.name;
      }
    }
  }
  // The number items are decimal numbers that the library reads with atoi.
  char grouping[16];
  ASSERT_GT(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SGROUPING, grouping, 16), 0);
  EXPECT_TRUE(grouping[0] >= '0' && grouping[0] <= '9') << grouping;
}

TEST(LocaleInfoTest, EnglishUnitedStates) {
  for (const Item& item : kItems) {
    char buffer[260];
    const int length = GetLocaleInfoA(0x0409, item.type, buffer, sizeof(buffer));
    EXPECT_EQ(length, static_cast<int>(strlen(item.english_us)) + 1) << item.name;
    EXPECT_STREQ(buffer, item.english_us) << item.name;
  }
  char buffer[2];
  SetLastError(0);
  EXPECT_EQ(GetLocaleInfoA(0x0409, LOCALE_SGROUPING, buffer, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(GetLocaleInfoA(0x0409, LOCALE_SGROUPING, nullptr, 0), 4);
}

TEST(LocaleInfoTest, RefusesAnUnknownItem) {
  char buffer[16];
  SetLastError(0);
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, 0x7FFF, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

}  // namespace
