// Tests of SegmentedString, UniqueSegmentedString and DirectoryPathString.
#include "tqrtl/strings/SegmentedString.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Segments(const SegmentedString& s) {
  std::vector<std::string> out;
  for (int i = 0; i < s.GetSize(); ++i) out.emplace_back(static_cast<const char*>(s[i]));
  return out;
}

using List = std::vector<std::string>;

TEST(SegmentedStringTest, SplitsAndJoinsBackTheSameText) {
  const struct {
    const char* text;
    const char* separator;
    List segments;
    const char* joined;
  } cases[] = {
      {"", ";", {}, ""},
      {"a", ";", {"a"}, "a"},
      {"a;b", ";", {"a", "b"}, "a;b"},
      {"a;;b", ";", {"a", "", "b"}, "a;;b"},
      {";a", ";", {"", "a"}, ";a"},
      {"a;b;", ";", {"a", "b"}, "a;b"},  // a trailing separator adds nothing
      {";", ";", {""}, ""},
      {"A;a;A", ";", {"A", "a", "A"}, "A;a;A"},  // plain lists keep duplicates
      {"x::y::", "::", {"x", "y"}, "x::y"},      // separators of several characters
      {"x:y::z", "::", {"x:y", "z"}, "x:y::z"},
      {"a|b;c", "|", {"a", "b;c"}, "a|b;c"},
      {"a;b", "", {"a", "b"}, "a;b"},  // an empty separator means ";"
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " at " + c.separator);
    const SegmentedString s(c.text, c.separator);
    EXPECT_EQ(Segments(s), c.segments);
    EXPECT_STREQ(static_cast<const char*>(s), c.joined);
    EXPECT_EQ(s.IsEmpty(), c.segments.empty() ? 1 : 0);
  }
}

TEST(SegmentedStringTest, UniqueListsDropLaterSpellingsOfASegment) {
  const struct {
    const char* text;
    List segments;
  } cases[] = {
      {"a;;b;;c", {"a", "", "b", "c"}},
      {"C:\\A;c:\\a;D:\\B", {"C:\\A", "D:\\B"}},
      {"src;src/; src", {"src", "src/", " src"}},  // texts, not paths: no trimming
      {"x;X;x;y;Y", {"x", "y"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Segments(UniqueSegmentedString(c.text)), c.segments);
    EXPECT_EQ(Segments(DirectoryPathString(c.text)), c.segments);
  }
  EXPECT_STREQ(DirectoryPathString("C:\\A;c:\\a;D:\\B"), "C:\\A;D:\\B");
}

TEST(SegmentedStringTest, InsertPutsNewSegmentsFirstAndTheirSpellingWins) {
  DirectoryPathString d("X");
  d.Insert("Y;x");
  EXPECT_STREQ(d, "Y;x");

  SegmentedString plain("b;c");
  plain.Insert("a;b");
  EXPECT_STREQ(plain, "a;b;b;c");

  // Through the base class the unique rules still apply (virtual Append).
  UniqueSegmentedString u("p;q");
  SegmentedString& base = u;
  base += "Q;r";
  // Another list's joined text is split at this list's separator.
  base += SegmentedString("r|s", "|");
  EXPECT_STREQ(u, "p;q;r;r|s");
  EXPECT_EQ(u.Contains("P"), 1);
  EXPECT_EQ(u.Contains("t"), 0);
}

TEST(SegmentedStringTest, PlusMakesAPlainListAndAssignmentTakesTheSeparator) {
  UniqueSegmentedString u("a");
  const SegmentedString sum = u + "a";
  EXPECT_STREQ(sum, "a;a");
  EXPECT_STREQ(u, "a");
  EXPECT_STREQ(u + SegmentedString("b;a"), "a;b;a");

  DirectoryPathString d("one;two");
  d = SegmentedString("x|X|y", "|");
  EXPECT_STREQ(d, "x|y");
  d += "z|Y";
  EXPECT_STREQ(d, "x|y|z");

  // Self-assignment and assigning a list's own text keep it as it was.
  SegmentedString s("k;l");
  const SegmentedString& alias = s;
  s = alias;
  EXPECT_STREQ(s, "k;l");
  s = static_cast<const char*>(s);
  EXPECT_STREQ(s, "k;l");
  s.Insert(static_cast<const char*>(s));
  EXPECT_STREQ(s, "k;l;k;l");

  const DirectoryPathString copy(d);
  EXPECT_STREQ(copy, "x|y|z");
}

TEST(SegmentedStringTest, EqualityComparesTheJoinedTextWithCase) {
  EXPECT_TRUE(SegmentedString("a|b", "|") == SegmentedString("a|b", "|"));
  EXPECT_TRUE(SegmentedString("A;b") != SegmentedString("a;b"));
  EXPECT_TRUE(SegmentedString("a;b;") == SegmentedString("a;b"));
  // Different separators give different texts for the same segments.
  EXPECT_TRUE(SegmentedString("a|b", "|") != SegmentedString("a;b"));
}

}  // namespace
