// Tests of SearchString: parsing of encoded forms, building from a name and
// a text, equality, copies, hostile input and allocation failure.
//
// Inputs are parsed from heap buffers of exactly their size, so a sanitized
// build catches any read past the NUL.
#include "tqrtl/strings/SearchString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "tqrtl/errors/TQException.h"
#include "tqrtl/strings/internal/search_string_testing.h"

namespace {

// ExactCopy: `text` and its NUL in a heap block with no slack.
std::unique_ptr<char[]> ExactCopy(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

// Checks what every SearchString must satisfy, whatever it was built from.
void ExpectConsistent(const SearchString& s, const std::string& context) {
  SCOPED_TRACE(context);
  const char* encoded = s;
  ASSERT_NE(encoded, nullptr);
  ASSERT_NE(s.Text(), nullptr);
  ASSERT_GE(s.Text(), encoded);
  ASSERT_LE(s.Text(), encoded + std::strlen(encoded));
  const unsigned int attribs = s.Attribs();
  EXPECT_TRUE(attribs == 1 || attribs == 2 || attribs == 3) << attribs;
  if (attribs == SearchString::kPlain) {
    EXPECT_EQ(s.Text(), encoded);
    EXPECT_STREQ(s.PatternName(), "");
  } else {
    EXPECT_EQ(attribs == SearchString::kPatternAndText, *s.Text() != '\0');
    EXPECT_FALSE(s.PatternName().IsEmpty());
  }
  EXPECT_TRUE(s == s);
  EXPECT_FALSE(s != s);
}

// Every test runs with the allocation hook installed, idle until FailNext.
class SearchStringTest : public ::testing::Test {
 protected:
  // FailNext: the next encoded copy fails to allocate; the ones after it
  // succeed again.
  static void FailNext() { fail_next_ = true; }

  void SetUp() override {
    fail_next_ = false;
    previous_ = StrUtil::internal::SetSearchStringAllocationHook(Hook);
  }
  void TearDown() override { StrUtil::internal::SetSearchStringAllocationHook(previous_); }

 private:
  static bool Hook(size_t) { return std::exchange(fail_next_, false); }

  static inline bool fail_next_ = false;
  StrUtil::internal::SearchStringAllocationHook previous_ = nullptr;
};

struct ParseCase {
  const char* input;
  const char* encoded;
  const char* text;
  const char* pattern;
  unsigned int attribs;
};

// C literals: "\\<" is the two characters backslash and '<'.
const ParseCase kParseCases[] = {
    {"", "", "", "", 1},
    {"abc", "abc", "abc", "", 1},
    {"\\<Func\\>main", "\\<Func\\>main", "main", "Func", 3},
    {"\\<Func\\>", "\\<Func\\>", "", "Func", 2},
    {"\\<a\\> ", "\\<a\\> ", " ", "a", 3},
    // The first closing marker ends the name; the rest is text.
    {"\\<a\\>b\\>c", "\\<a\\>b\\>c", "b\\>c", "a", 3},
    {"\\<a\\>\\<b\\>c", "\\<a\\>\\<b\\>c", "\\<b\\>c", "a", 3},
    {"\\<n\\>\\>", "\\<n\\>\\>", "\\>", "n", 3},
    // Backslashes and markers inside the name.
    {"\\<a\\\\>b", "\\<a\\\\>b", "b", "a\\", 3},
    {"\\<\\\\\\>x", "\\<\\\\\\>x", "x", "\\\\", 3},
    {"\\<\\<\\>x", "\\<\\<\\>x", "x", "\\<", 3},
    {"\\<>\\>x", "\\<>\\>x", "x", ">", 3},
    {"\\<\xc3\xa4\\>\xff", "\\<\xc3\xa4\\>\xff", "\xff", "\xc3\xa4", 3},
    // The escape: the first backslash is dropped, the rest is plain.
    {"\\\\<x", "\\<x", "\\<x", "", 1},
    {"\\\\<a\\>b", "\\<a\\>b", "\\<a\\>b", "", 1},
    {"\\\\\\<a\\>b", "\\\\\\<a\\>b", "\\\\\\<a\\>b", "", 1},
    {"\\\\", "\\\\", "\\\\", "", 1},
    {"\\\\x<", "\\\\x<", "\\\\x<", "", 1},
    // Truncated or malformed tags are plain texts, kept whole.
    {"\\", "\\", "\\", "", 1},
    {"\\<", "\\<", "\\<", "", 1},
    {"\\<name\\", "\\<name\\", "\\<name\\", "", 1},
    {"\\<a>b", "\\<a>b", "\\<a>b", "", 1},
    {"\\<\\>abc", "\\<\\>abc", "\\<\\>abc", "", 1},
    {"\\<\\>\\>x", "\\<\\>\\>x", "\\<\\>\\>x", "", 1},
    {"\\>a\\<b", "\\>a\\<b", "\\>a\\<b", "", 1},
    // Markers count only at the very start.
    {"x\\<a\\>b", "x\\<a\\>b", "x\\<a\\>b", "", 1},
    {" \\<a\\>b", " \\<a\\>b", " \\<a\\>b", "", 1},
};

TEST_F(SearchStringTest, ParsesEncodedForms) {
  for (const ParseCase& c : kParseCases) {
    const std::string context = std::string("input \"") + c.input + "\"";
    SCOPED_TRACE(context);
    const auto input = ExactCopy(c.input);
    const SearchString s(input.get());
    ExpectConsistent(s, context);
    EXPECT_STREQ(s, c.encoded);
    EXPECT_STREQ(s.Text(), c.text);
    EXPECT_STREQ(s.PatternName(), c.pattern);
    EXPECT_EQ(s.Attribs(), c.attribs);
    // The same through a TQString, and rebuilt from its parts.
    EXPECT_TRUE(SearchString(TQString(c.input)) == s);
    EXPECT_TRUE(SearchString(s.PatternName(), s.Text()) == s);
  }
}

TEST_F(SearchStringTest, BuildsFromNameAndText) {
  struct Case {
    const char* name;
    const char* text;
    const char* encoded;
    const char* pattern;
    unsigned int attribs;
  };
  const Case cases[] = {
      {"Func", "main", "\\<Func\\>main", "Func", 3},
      {"Func", "", "\\<Func\\>", "Func", 2},
      {"", "", "", "", 1},
      {"", "abc", "abc", "", 1},
      {nullptr, nullptr, "", "", 1},
      {nullptr, "x", "x", "", 1},
      {"a", nullptr, "\\<a\\>", "a", 2},
      {"\\<", "x", "\\<\\<\\>x", "\\<", 3},
      {"n", "\\>", "\\<n\\>\\>", "n", 3},
      // A plain text is stored unescaped, even when it looks like a tag.
      {"", "\\<a\\>b", "\\<a\\>b", "", 1},
      // A name holding the closing marker: Text() is what was given, but the
      // pattern name ends at the first marker, as a parse would see it.
      {"a\\>b", "c", "\\<a\\>b\\>c", "a", 3},
  };
  for (const Case& c : cases) {
    const std::string context = std::string("name \"") + (c.name ? c.name : "(null)") +
                                "\", text \"" + (c.text ? c.text : "(null)") + "\"";
    SCOPED_TRACE(context);
    const SearchString s(c.name, c.text);
    ExpectConsistent(s, context);
    EXPECT_STREQ(s, c.encoded);
    EXPECT_STREQ(s.Text(), c.text ? c.text : "");
    EXPECT_STREQ(s.PatternName(), c.pattern);
    EXPECT_EQ(s.Attribs(), c.attribs);
  }
  const SearchString empty;
  ExpectConsistent(empty, "default");
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(empty.Attribs(), 1u);
}

TEST_F(SearchStringTest, EqualityNeedsSameKindAndSameBytes) {
  struct Case {
    SearchString a;
    SearchString b;
    int equal;
  };
  const Case cases[] = {
      {SearchString(), SearchString("", ""), 1},
      {SearchString("abc"), SearchString("ABC"), 0},
      {SearchString("Func", "main"), SearchString("\\<Func\\>main"), 1},
      {SearchString("func", "main"), SearchString("Func", "main"), 0},
      {SearchString("Func", "main"), SearchString("Func", "main "), 0},
      {SearchString("\\\\<x"), SearchString("", "\\<x"), 1},
      // Same bytes, different kinds of search.
      {SearchString("", "\\<a\\>b"), SearchString("\\<a\\>b"), 0},
      // Same bytes and kind; where Text() starts is not compared.
      {SearchString("a\\>b", "c"), SearchString("\\<a\\>b\\>c"), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("\"") + static_cast<const char*>(c.a) + "\" vs \"" +
                 static_cast<const char*>(c.b) + "\"");
    EXPECT_EQ(c.a == c.b, c.equal);
    EXPECT_EQ(c.b == c.a, c.equal);
    EXPECT_EQ(c.a != c.b, 1 - c.equal);
  }
}

TEST_F(SearchStringTest, CopiesOwnTheirText) {
  auto original = std::make_unique<SearchString>("Func", "main");
  const SearchString copy(*original);
  SearchString assigned("plain");
  assigned = *original;
  const char* original_encoded = *original;
  original.reset();  // a copy that still pointed into it would now read freed memory
  const SearchString* copies[] = {&copy, &assigned};
  for (const SearchString* s : copies) {
    EXPECT_NE(static_cast<const char*>(*s), original_encoded);
    EXPECT_STREQ(*s, "\\<Func\\>main");
    EXPECT_EQ(s->Text(), static_cast<const char*>(*s) + 8);
    EXPECT_EQ(s->Attribs(), 3u);
  }

  // Tagged to plain, and assignment to itself.
  assigned = SearchString("xyz");
  EXPECT_STREQ(assigned.Text(), "xyz");
  EXPECT_EQ(assigned.Attribs(), 1u);
  const char* before = assigned;
  SearchString& self = assigned;
  assigned = self;
  EXPECT_EQ(static_cast<const char*>(assigned), before);
  EXPECT_STREQ(assigned, "xyz");
}

TEST_F(SearchStringTest, HostileInput) {
  const std::string long_name(1 << 20, 'n');
  {
    const auto input = ExactCopy("\\<" + long_name + "\\>t");
    const SearchString s(input.get());
    EXPECT_EQ(s.Attribs(), 3u);
    EXPECT_STREQ(s.Text(), "t");
    EXPECT_EQ(s.PatternName().GetLength(), 1 << 20);
  }
  {
    const auto input = ExactCopy("\\<" + long_name + "\\");
    const SearchString s(input.get());
    EXPECT_EQ(s.Attribs(), 1u);
    EXPECT_EQ(std::strlen(s), long_name.size() + 3);
  }
  // Parsing stops at the first NUL, wherever the closing marker would be.
  EXPECT_EQ(SearchString(TQString("\\<a\0\\>b", 7)).Attribs(), 1u);
  EXPECT_STREQ(SearchString(TQString("\\<a\0\\>b", 7)), "\\<a");
  EXPECT_STREQ(SearchString(static_cast<const char*>(nullptr)), "");

  // Every truncation of forms that hold each marker and the escape.
  for (const std::string full : {"\\<Func\\>main", "\\\\<x\\>y", "\\<\\\\\\>\\>"}) {
    for (size_t n = 0; n <= full.size(); ++n) {
      const auto input = ExactCopy(full.substr(0, n));
      ExpectConsistent(SearchString(input.get()), "prefix \"" + full.substr(0, n) + "\"");
    }
  }
}

TEST_F(SearchStringTest, AllocationFailureThrowsFromEveryConstructor) {
  const SearchString tagged("Func", "main");
  const TQString text("\\<a\\>b");

  FailNext();
  EXPECT_THROW(SearchString(), TQMemoryException);
  FailNext();
  EXPECT_THROW(SearchString("Func", "main"), TQMemoryException);
  FailNext();
  EXPECT_THROW(SearchString("", "main"), TQMemoryException);
  for (const char* encoded : {"\\<a\\>b", "plain", "\\\\<escaped", "\\<\\>"}) {
    FailNext();
    EXPECT_THROW(SearchString{encoded}, TQMemoryException) << encoded;
  }
  FailNext();
  EXPECT_THROW(SearchString{text}, TQMemoryException);
  FailNext();
  EXPECT_THROW(SearchString{tagged}, TQMemoryException);
}

TEST_F(SearchStringTest, FailedAssignmentKeepsTheTarget) {
  const SearchString source("Func", "main");
  SearchString target("\\\\<x");
  const char* before = target;
  FailNext();
  EXPECT_THROW(target = source, TQMemoryException);
  EXPECT_EQ(static_cast<const char*>(target), before);
  EXPECT_STREQ(target, "\\<x");
  EXPECT_EQ(target.Attribs(), 1u);
  target = source;
  EXPECT_TRUE(target == source);
}

}  // namespace
