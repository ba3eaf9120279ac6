// Tests of the string and number utilities: trimming, bounded appending and
// formatting, the size estimate (shared with TQString::Format), splitting
// and joining, locale-grouped numbers and font effects.
#include "tqrtl/strings/StrUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Text(const TQString& s) { return std::string(s, static_cast<size_t>(s.GetLength())); }

std::vector<std::string> Elements(TQStringArray& array) {
  std::vector<std::string> out;
  for (int i = 0; i < array.GetSize(); ++i) out.push_back(Text(array.ElementAt(i)));
  return out;
}

TEST(StrUtilTest, StripBlanks) {
  struct Case {
    const char* text;
    const char* leading;   // what StripLeadingBlanks points at
    const char* trailing;  // the text after StripTrailingBlanks
    const char* both;
  } const cases[] = {
      {"  ab c \t", "ab c \t", "  ab c", "ab c"},
      {"ab  ", "ab  ", "ab", "ab"},
      {"\t\r\n\v\f x", "x", "\t\r\n\v\f x", "x"},
      {"", "", "", ""},
      {"   ", "", "", ""},
      {"x", "x", "x", "x"},
  };
  for (const Case& c : cases) {
    char buffer[32];
    std::strcpy(buffer, c.text);
    EXPECT_STREQ(StrUtil::StripLeadingBlanks(buffer), c.leading) << '"' << c.text << '"';
    EXPECT_STREQ(buffer, c.text) << "leading strip changed \"" << c.text << '"';

    char* end = StrUtil::StripTrailingBlanks(buffer);
    EXPECT_STREQ(buffer, c.trailing) << '"' << c.text << '"';
    EXPECT_EQ(end, buffer + std::strlen(c.trailing)) << '"' << c.text << '"';

    std::strcpy(buffer, c.text);
    char* start = StrUtil::StripLeadingTrailingBlanks(buffer);
    EXPECT_STREQ(start, c.both) << '"' << c.text << '"';
    EXPECT_GE(start, buffer);
    EXPECT_LT(start, buffer + sizeof(buffer));
  }
}

TEST(StrUtilTest, ExtendAppendsWithinTheRoomLeft) {
  struct Case {
    const char* target;
    const char* source;
    unsigned int room;
    const char* expected;
    unsigned int appended;
  } const cases[] = {
      {"", "0123456789", 5, "0123", 4}, {"ab", "cd", 10, "abcd", 2}, {"ab", "cdef", 3, "abcd", 2},
      {"ab", "cdef", 1, "ab", 0},       {"ab", "cdef", 0, "ab", 0},  {"ab", "", 4, "ab", 0},
      {"", "xyz", 4, "xyz", 3},  // exactly fills the buffer
  };
  for (const Case& c : cases) {
    char buffer[32];
    std::memset(buffer, '#', sizeof(buffer));
    std::strcpy(buffer, c.target);
    const size_t end = std::strlen(c.target) + c.room;  // one past the buffer
    EXPECT_EQ(StrUtil::Extend(buffer, c.source, c.room), c.appended)
        << '"' << c.target << "\" + \"" << c.source << "\" in " << c.room;
    EXPECT_STREQ(buffer, c.expected) << c.source << " in " << c.room;
    if (c.room > 0) {
      EXPECT_EQ(buffer[end - 1], '\0') << "the buffer's last byte";
      EXPECT_EQ(buffer[end], '#') << "written past the buffer: " << c.source << " in " << c.room;
    }
  }
}

TEST(StrUtilTest, IsPrefixIsCaseSensitive) {
  EXPECT_TRUE(StrUtil::IsPrefix("C:\\src", "C:\\src\\a.c"));
  EXPECT_FALSE(StrUtil::IsPrefix("c:\\src", "C:\\src"));
  EXPECT_TRUE(StrUtil::IsPrefix("", "anything"));
  EXPECT_TRUE(StrUtil::IsPrefix("", ""));
  EXPECT_TRUE(StrUtil::IsPrefix("abc", "abc"));
  EXPECT_FALSE(StrUtil::IsPrefix("abcd", "abc"));
}

TEST(StrUtilTest, SntprintfAddNULAlwaysTerminates) {
  struct Case {
    unsigned int size;
    const char* expected;
    int result;
  } const cases[] = {
      {20, "abcd42", 6}, {7, "abcd42", 6},  // text and NUL fit exactly
      {6, "abcd4", 5},                      // the run-time fills all 6 bytes and adds no NUL
      {4, "abc", 3},     {1, "", 0},
  };
  for (const Case& c : cases) {
    char buffer[32];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(StrUtil::SntprintfAddNUL(buffer, c.size, "%s%d", "abcd", 42), c.result)
        << "size " << c.size;
    EXPECT_STREQ(buffer, c.expected) << "size " << c.size;
    EXPECT_EQ(buffer[c.size], '#') << "written past size " << c.size;
  }
  char untouched = '#';
  EXPECT_EQ(StrUtil::SntprintfAddNUL(&untouched, 0, "abc"), 0);
  EXPECT_EQ(untouched, '#');
}

// FormattedSize is the estimate TQString::Format reserves (its own table is
// in the formatting tests), plus the NUL, clamped to the unsigned range.
TEST(StrUtilTest, FormattedSizeIsTheFormatEstimatePlusOne) {
  EXPECT_EQ(StrUtil::FormattedSize(""), 1u);
  EXPECT_EQ(StrUtil::FormattedSize("%d", 1), 33u);
  EXPECT_EQ(StrUtil::FormattedSize("%.*s|%*d", 3, "abcdef", 40, 7), 3u + 1 + 40 + 1);
  EXPECT_EQ(StrUtil::FormattedSize("%2147483647d%2147483647d%2147483647d", 1, 2, 3), UINT_MAX);
}

TEST(StrUtilTest, SplitAtTheFirstOrLastSeparator) {
  struct Case {
    bool right_side;  // SplitRight, else SplitLeft
    const char* text;
    const char* separator;
    const char* left;
    const char* right;
    bool found;
  } const cases[] = {
      {false, "k=v=w", "=", "k", "v=w", true},
      {true, "k=v=w", "=", "k=v", "w", true},
      {true, "C:\\a\\b.txt", "\\", "C:\\a", "b.txt", true},
      {true, "b.txt", "\\", "", "b.txt", false},
      {false, "b.txt", "\\", "b.txt", "", false},
      {false, "a::b::c", "::", "a", "b::c", true},
      {true, "a::b::c", "::", "a::b", "c", true},
      {true, "aaa", "aa", "a", "", true},  // the last of overlapping matches
      {false, "aaa", "aa", "", "a", true},
      {false, ";x", ";", "", "x", true},
      {true, "x;", ";", "x", "", true},
      {false, "", ";", "", "", false},
      {true, "", ";", "", "", false},
  };
  for (const Case& c : cases) {
    TQString left = "junk";
    TQString right = "junk";
    const TQString text = c.text;
    const bool found = c.right_side ? StrUtil::SplitRight(text, c.separator, &left, &right)
                                    : StrUtil::SplitLeft(text, c.separator, &left, &right);
    const char* name = c.right_side ? "SplitRight(\"" : "SplitLeft(\"";
    EXPECT_EQ(found, c.found) << name << c.text << "\", \"" << c.separator << "\")";
    EXPECT_EQ(Text(left), c.left) << name << c.text << "\", \"" << c.separator << "\")";
    EXPECT_EQ(Text(right), c.right) << name << c.text << "\", \"" << c.separator << "\")";
  }
}

TEST(StrUtilTest, SplitOutputsMayBeNullOrTheTextItself) {
  TQString right;
  EXPECT_TRUE(StrUtil::SplitLeft("a=b", "=", nullptr, &right));
  EXPECT_EQ(Text(right), "b");
  TQString left;
  EXPECT_TRUE(StrUtil::SplitRight("a=b=c", "=", &left, nullptr));
  EXPECT_EQ(Text(left), "a=b");

  TQString text = "head/tail";
  TQString tail;
  EXPECT_TRUE(StrUtil::SplitLeft(text, "/", &tail, &text));  // text is also an output
  EXPECT_EQ(Text(tail), "head");
  EXPECT_EQ(Text(text), "tail");
  text = "dir/name";
  EXPECT_TRUE(StrUtil::SplitRight(text, "/", &text, &tail));
  EXPECT_EQ(Text(text), "dir");
  EXPECT_EQ(Text(tail), "name");
}

TEST(StrUtilTest, SplitIntoArrayAndMergeBack) {
  struct Case {
    const char* text;
    const char* separator;
    std::vector<std::string> pieces;
    const char* merged;  // the pieces joined again
  } const cases[] = {
      {"a;b", ";", {"a", "b"}, "a;b"},
      {"a;;b", ";", {"a", "", "b"}, "a;;b"},
      {";a", ";", {"", "a"}, ";a"},
      {"a;", ";", {"a"}, "a"},
      {";", ";", {""}, ""},
      {"", ";", {}, ""},
      {"one", ";", {"one"}, "one"},
      {"a, b, c", ", ", {"a", "b", "c"}, "a, b, c"},
      {"abc", "", {"abc"}, "abc"},  // an empty separator never splits
  };
  for (const Case& c : cases) {
    TQStringArray segments;
    segments.Add("kept");
    StrUtil::SplitIntoArray(c.text, &segments, c.separator);
    std::vector<std::string> expected = c.pieces;
    expected.insert(expected.begin(), "kept");
    EXPECT_EQ(Elements(segments), expected) << '"' << c.text << "\" at \"" << c.separator << '"';

    segments.RemoveAll();
    StrUtil::SplitIntoArray(c.text, &segments, c.separator);
    TQString merged = "junk";
    StrUtil::MergeIntoString(segments, &merged, c.separator);
    EXPECT_EQ(Text(merged), c.merged) << '"' << c.text << '"';
  }
}

TEST(StrUtilTest, MergeJoinsWithAnyTextEvenIntoAnElement) {
  TQStringArray segments;
  segments.Add("a");
  segments.Add("");
  segments.Add("b");
  TQString result;
  StrUtil::MergeIntoString(segments, &result, "");
  EXPECT_EQ(Text(result), "ab");
  StrUtil::MergeIntoString(segments, &segments.ElementAt(0), " - ");  // into an element
  EXPECT_EQ(Text(segments.ElementAt(0)), "a -  - b");
}

// NumUtil::Format must give exactly what GetNumberFormatA gives with the
// library's format (whatever the locale of the machine), and the plain
// digits where the system cannot format.
TEST(NumUtilTest, GroupsAsTheLocaleNumberFormatSays) {
  NUMBERFMTA format = NumUtil::LocaleNumberFormat();
  format.NumDigits = 0;
  struct Case {
    int value;
  } const cases[] = {{0}, {7}, {-5}, {999}, {1000}, {-1234567}, {1234567}, {INT_MAX}, {INT_MIN}};
  for (const Case& c : cases) {
    const std::string plain = std::to_string(c.value);
    char expected[260];
    ASSERT_NE(GetNumberFormatA(LOCALE_USER_DEFAULT, 0, plain.c_str(), &format, expected,
                               sizeof(expected)),
              0)
        << plain;
    char out[260];
    EXPECT_TRUE(NumUtil::Format(out, c.value)) << plain;
    EXPECT_STREQ(out, expected) << plain;
    EXPECT_EQ(Text(NumUtil::Format(c.value)), expected) << plain;
  }
  const unsigned long big = 4294967295ul;
  char expected[260];
  ASSERT_NE(GetNumberFormatA(LOCALE_USER_DEFAULT, 0, "4294967295", &format, expected, 260), 0);
  EXPECT_EQ(Text(NumUtil::Format(big)), expected);
  EXPECT_EQ(Text(NumUtil::Format(4294967295u)), expected);
}

TEST(NumUtilTest, LocaleFormatHoldsUsableSeparators) {
  const NUMBERFMTA& format = NumUtil::LocaleNumberFormat();
  ASSERT_NE(format.lpDecimalSep, nullptr);
  ASSERT_NE(format.lpThousandSep, nullptr);
  EXPECT_GT(std::strlen(format.lpDecimalSep), 0u);
  EXPECT_LE(format.Grouping, 9u);  // atoi of "3;0" and the like
}

TEST(FontUtilTest, StyleBitsBecomeCharFormatEffects) {
  struct Case {
    unsigned long style;
    unsigned long effects;
  } const cases[] = {{0, 0}, {1, CFE_BOLD},     {2, CFE_ITALIC},         {3, CFE_BOLD | CFE_ITALIC},
                     {7, 3}, {0xFFFFFFFCul, 0}, {0x80000001ul, CFE_BOLD}};
  for (const Case& c : cases) {
    EXPECT_EQ(FontUtil::ToCharFormatEffects(c.style), c.effects) << "style " << c.style;
  }
}

}  // namespace
