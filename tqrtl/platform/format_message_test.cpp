// Conformance tests of FormatMessageA: the insert syntax of message
// templates, argument arrays and va_lists, allocated and caller buffers,
// and the shape of the system's texts. The Windows build checks Wine's
// kernel32, the Linux build the POSIX layer; both must agree. (The exact
// Windows wording of the system texts, which Wine does not have, is checked
// in posix/format_message_posix_test.cpp.)
//
// Each table line is one case: the expected text (or error) and the template.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>

#include "tqrtl/platform/win32.h"

namespace {

constexpr DWORD kFromString = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER;
constexpr DWORD kFromArray = kFromString | FORMAT_MESSAGE_ARGUMENT_ARRAY;
constexpr DWORD kSystemText = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
// Wine's code for a message that formats to nothing.
constexpr DWORD kErrorNoWorkDone = 235;

struct Result {
  DWORD length;
  DWORD error;  // GetLastError when the call failed, else 0
  std::string text;
};

bool operator==(const Result& a, const Result& b) {
  return a.length == b.length && a.error == b.error && a.text == b.text;
}
std::ostream& operator<<(std::ostream& out, const Result& r) {
  return out << "{" << r.length << ", error " << r.error << ", \"" << r.text << "\"}";
}
Result Text(const std::string& text) { return {static_cast<DWORD>(text.size()), 0, text}; }
Result Error(DWORD error) { return {0, error, ""}; }

// The result of an allocating call, its text freed again.
Result Taken(DWORD length, char* text) {
  Result result{length, length == 0 ? GetLastError() : 0, text != nullptr ? text : ""};
  LocalFree(text);
  return result;
}

// FormatMessageA with `flags` (plus ALLOCATE_BUFFER).
Result Format(DWORD flags, const void* source, DWORD id, const DWORD_PTR* arguments) {
  char* text = nullptr;
  SetLastError(0);
  const DWORD length = FormatMessageA(
      flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, source, id, 0, reinterpret_cast<LPSTR>(&text), 0,
      reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
  return Taken(length, text);
}

Result FromArray(const char* message, const DWORD_PTR* arguments, DWORD flags = 0) {
  return Format(kFromArray | flags, message, 0, arguments);
}

Result FromList(const char* message, ...) {
  va_list arguments;
  va_start(arguments, message);
  char* text = nullptr;
  SetLastError(0);
  const DWORD length =
      FormatMessageA(kFromString, message, 0, 0, reinterpret_cast<LPSTR>(&text), 0, &arguments);
  va_end(arguments);
  return Taken(length, text);
}

DWORD_PTR Arg(const void* pointer) { return reinterpret_cast<DWORD_PTR>(pointer); }

// Three words, then null slots up to insert 99, so any insert number is safe.
struct Words {
  DWORD_PTR slots[101] = {Arg("one"), Arg("two"), Arg("three")};
};

struct TemplateCase {
  const char* expected;
  const char* message;
};

TEST(FormatMessageTest, ExpandsTheInsertSyntax) {
  const Words words;
  const TemplateCase kCases[] = {
      {"one two", "%1 %2"},
      {"two-one-one", "%2-%1-%1"},
      {"100%", "100%%"},
      {"abc", "abc%0def"},  // %0 ends the text without a line break
      {"a\r\nb|a\rb|a\tb", "a%nb|a%rb|a%tb"},
      {"a.b a!b a b q", "a%.b a%!b a% b %q"},
      {"a\r\nb|a\r\nb|a\r\nb|a\r\n\r\nb", "a\nb|a\r\nb|a\rb|a\n\rb"},
      {"trailing  ", "trailing  "},
      {"onex", "%1!s!x"},
      {"onea", "%1a"},
      {"|", "%1!!|"},
      {"(null)", "%10"},
      {"(null)0", "%100"},  // at most two digits
      {"(null)", "%99"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(FromArray(c.message, words.slots), Text(c.expected)) << "template " << c.message;
}

TEST(FormatMessageTest, AppliesPrintfFormatsToTheLow32Bits) {
  const DWORD_PTR numbers[] = {42,        static_cast<DWORD_PTR>(-5), 0xBEEF, 0x100000005ull, 3,
                               Arg("xyz")};
  const TemplateCase kCases[] = {
      {"42|-5|4294967291|0000beef|BEEF", "%1!d!|%2!d!|%2!u!|%3!08x!|%3!X!"},
      {"5|4294967301|4294967301|4294967301|5", "%4!d!|%4!I64d!|%4!lld!|%4!Id!|%4!x!"},
      {"100000005|100000005|5|5|0000000100000005", "%4!I64x!|%4!llx!|%4!lx!|%4!hd!|%4!p!"},
      {"[  xyz][xyz  ][xy]", "[%6!5s!][%6!-5s!][%6!.2s!]"},
      {"*|    *", "%1!c!|%1!5c!"},
      {"e|f|%", "%1!e!|%1!f!|%1!%!"},  // no floating point in inserts
      {"q|q|q|42|0x2a|+42|42||2a|2a|2a",
       "%1!5q!|%1!q!|%1!-5q!|%1!hhd!|%1!#x!|%1!+d!|%1!.0d!|%1!05%!|%1!Lx!|%1!I32x!|%1!zx!"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(FromArray(c.message, numbers), Text(c.expected)) << "template " << c.message;
}

// A '*' in an insert's format takes the next slot, then the insert's value
// comes from the slot after it.
TEST(FormatMessageTest, TakesStarWidthsFromTheFollowingSlots) {
  const DWORD_PTR both[] = {6, 2, Arg("abcdef"), Arg("next")};
  EXPECT_EQ(FromArray("[%1!*.*s!] %4", both), Text("[    ab] next"));
  EXPECT_EQ(FromArray("[%2!.*s!] %4", both), Text("[ab] next"));
  const DWORD_PTR width[] = {6, Arg("abc"), Arg("next")};
  EXPECT_EQ(FromArray("[%1!*s!] %3", width), Text("[   abc] next"));
  EXPECT_EQ(FromArray("[%1!*s!] %2 %3", width), Text("[   abc] abc next"));
  EXPECT_EQ(FromArray("%1!*s!%2", width), Text("   abcabc"));
}

TEST(FormatMessageTest, InsertsWideText) {
  const DWORD_PTR texts[] = {Arg("xy"), Arg(u"wide"), 0};
  EXPECT_EQ(FromArray("%1!s! %2!ls! %2!S! %2!ws! %3!s!|%3", texts),
            Text("xy wide wide wide (null)|(null)"));
}

TEST(FormatMessageTest, TakesVaListArgumentsInOrderOfTheirNumbers) {
  EXPECT_EQ(FromList("%1 and %2", "x", "y"), Text("x and y"));
  EXPECT_EQ(FromList("%1!d! items, %2!s!", 7, "ok"), Text("7 items, ok"));
  EXPECT_EQ(FromList("%2 then %1", "a", "b"), Text("b then a"));
  EXPECT_EQ(FromList("%1!I64d!|%2", -5LL, "z"), Text("-5|z"));
  EXPECT_EQ(FromList("no inserts"), Text("no inserts"));
}

TEST(FormatMessageTest, FailsOnMalformedOrEmptyResults) {
  const Words words;
  const struct {
    DWORD error;
    const char* message;
  } kCases[] = {
      {ERROR_INVALID_PARAMETER, "end%"},  // a lone '%' at the end
      {ERROR_INVALID_PARAMETER, "%"},
      {ERROR_INVALID_PARAMETER, "%1!"},  // an insert format without its closing '!'
      {ERROR_INVALID_PARAMETER, "%1!s"},
      {ERROR_INVALID_PARAMETER, "ok %1!-20s"},
      {kErrorNoWorkDone, ""},
      {kErrorNoWorkDone, "%0"},
      {kErrorNoWorkDone, "%01"},
      {kErrorNoWorkDone, "%1!!"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(FromArray(c.message, words.slots), Error(c.error)) << "template " << c.message;
  for (const char* message : {"%1!s!", "%2", "a%1b"}) {
    EXPECT_EQ(FromArray(message, nullptr), Error(ERROR_INVALID_PARAMETER)) << message;
    EXPECT_EQ(Format(kFromString, message, 0, nullptr), Error(ERROR_INVALID_PARAMETER)) << message;
  }
}

// IGNORE_INSERTS copies %1, %1!d!, %% and the like through, but %n, %r, %t,
// %0 and line breaks still work and a lone '%' still fails.
TEST(FormatMessageTest, CopiesInsertsThroughWhenIgnoringThem) {
  const TemplateCase kCases[] = {
      {"%1 %2 %% \r\n ", "%1 %2 %% %n %0 x"},
      {"%1!d! a\r\nb", "%1!d! a\nb"},
      {"a\r\nb\r", "a\rb%r"},
      {"a%.b %q \t \r %! %%", "a%.b %q %t %r %! %%"},
      {"%1!*s! %99", "%1!*s! %99"},
      {"%12345", "%12345"},
      {"x", "x%0y"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Format(kFromString | FORMAT_MESSAGE_IGNORE_INSERTS, c.message, 0, nullptr),
              Text(c.expected))
        << "template " << c.message;
  }
  EXPECT_EQ(Format(kFromString | FORMAT_MESSAGE_IGNORE_INSERTS, "end%", 0, nullptr),
            Error(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Format(kFromString | FORMAT_MESSAGE_IGNORE_INSERTS, "", 0, nullptr),
            Error(kErrorNoWorkDone));
}

TEST(FormatMessageTest, WrapsLinesAtTheWidthInTheLowByte) {
  const Words words;
  const struct {
    DWORD width;
    const char* expected;
    const char* message;
  } kCases[] = {
      {10, "line one\r\nis here\r\nline two", "line one is here%nline two"},
      {10, "line one\r\nis here\r\nline two", "line one is here line two"},
      {10, "one two\r\nthree one\r\ntwo three", "%1 %2 %3 %1 %2 %3"},
      {10, "a b c d", "a\nb c\r\nd"},  // the template's own breaks become blanks
      {3, "a\r\nb\r\nc\r\nd\r\ne", "a b c d e"},
      {5, "abcde\r\nfghij\r\nkl\r\nmn", "abcdefghijkl mn"},
      {10, "aaa\tbbbb\tc\r\nc dd", "aaa\tbbbb\tcc dd"},
      {FORMAT_MESSAGE_MAX_WIDTH_MASK, "a b c d\r\ne", "a\nb c\r\nd%ne"},
      {FORMAT_MESSAGE_MAX_WIDTH_MASK, "a  b   ", "a  b   "},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(FromArray(c.message, words.slots, c.width), Text(c.expected))
        << "width " << c.width << ", template " << c.message;
}

TEST(FormatMessageTest, NeedsRoomForTheNulInACallersBuffer) {
  const Words words;
  const struct {
    DWORD size;
    const char* message;
    DWORD result;
    DWORD error;
    const char* stored;  // the buffer afterwards, '#' where untouched
  } kCases[] = {
      {4, "abc", 3, 0, "abc\0##"},
      {3, "abc", 0, ERROR_INSUFFICIENT_BUFFER, "######"},
      {0, "abc", 0, ERROR_INSUFFICIENT_BUFFER, "######"},
      {2, "%1", 0, ERROR_INSUFFICIENT_BUFFER, "######"},
      {6, "", 0, kErrorNoWorkDone, "######"},
      {6, "ab%", 0, ERROR_INVALID_PARAMETER, "######"},
  };
  for (const auto& c : kCases) {
    char buffer[6];
    std::memset(buffer, '#', sizeof(buffer));
    SetLastError(0);
    const DWORD result = FormatMessageA(
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, c.message, 0, 0, buffer, c.size,
        reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(words.slots)));
    EXPECT_EQ(result, c.result) << "size " << c.size << ", template " << c.message;
    if (result == 0) {
      EXPECT_EQ(GetLastError(), c.error) << "size " << c.size << ", template " << c.message;
    }
    EXPECT_EQ(std::string(buffer, sizeof(buffer)), std::string(c.stored, sizeof(buffer)))
        << "size " << c.size << ", template " << c.message;
  }
}

TEST(FormatMessageTest, SurvivesHugeWidths) {
  const Words words;
  const Result wide = FromArray("%1!20000s!|", words.slots);
  EXPECT_EQ(wide.length, 20001u);
  EXPECT_EQ(wide.text, std::string(19997, ' ') + "one|");
  const Result precise = FromArray("%1!.20000s!|%1!-.2000000000s!|", words.slots);
  EXPECT_EQ(precise, Text("one|one|"));
}

TEST(FormatMessageTest, AllocatesAtLeastTheSizeAskedFor) {
  char* text = nullptr;
  ASSERT_EQ(FormatMessageA(kFromString, "x", 0, 0, reinterpret_cast<LPSTR>(&text), 100, nullptr),
            1u);
  ASSERT_NE(text, nullptr);
  text[99] = 'y';  // the buffer really is that large
  EXPECT_STREQ(text, "x");
  LocalFree(text);
}

// The system's texts differ between Windows and Wine; their shape does not.
TEST(FormatMessageTest, SystemTextsEndInALineBreak) {
  // (The POSIX layer's exact texts of every code it uses are checked in
  // posix/format_message_posix_test.cpp.)
  const DWORD kCodes[] = {ERROR_SUCCESS,           ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
                          ERROR_INVALID_PARAMETER, ERROR_NO_MORE_ITEMS,  ERROR_TIMEOUT};
  for (DWORD code : kCodes) {
    char buffer[1024];
    SetLastError(0xDEAD);
    const DWORD length =
        FormatMessageA(kSystemText, nullptr, code, 0, buffer, sizeof(buffer), nullptr);
    ASSERT_GT(length, 2u) << "code " << code;
    EXPECT_EQ(std::strlen(buffer), length) << "code " << code;
    EXPECT_EQ(std::string(buffer + length - 2), "\r\n") << "code " << code;
    EXPECT_EQ(GetLastError(), 0xDEADu) << "code " << code;
    // The same text when allocated, and without IGNORE_INSERTS (it has none).
    EXPECT_EQ(Format(kSystemText, nullptr, code, nullptr), Text(buffer)) << "code " << code;
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, nullptr), Text(buffer))
        << "code " << code;
  }
}

TEST(FormatMessageTest, SystemTextsFailForUnknownCodesAndShortBuffers) {
  EXPECT_EQ(Format(kSystemText, nullptr, 0x1234567, nullptr), Error(ERROR_MR_MID_NOT_FOUND));
  char buffer[8];
  SetLastError(0);
  EXPECT_EQ(FormatMessageA(kSystemText, nullptr, ERROR_FILE_NOT_FOUND, 0, buffer, sizeof(buffer),
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

// ERROR_MR_MID_NOT_FOUND's text has two inserts: copied through with
// IGNORE_INSERTS, filled in without it.
TEST(FormatMessageTest, SystemTextsTakeInserts) {
  const Words words;
  const Result raw = Format(kSystemText, nullptr, ERROR_MR_MID_NOT_FOUND, nullptr);
  EXPECT_NE(raw.text.find("0x%1"), std::string::npos) << raw;
  EXPECT_NE(raw.text.find("%2"), std::string::npos) << raw;
  const Result filled = Format(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                               ERROR_MR_MID_NOT_FOUND, words.slots);
  EXPECT_NE(filled.text.find("0xone"), std::string::npos) << filled;
  EXPECT_NE(filled.text.find("two"), std::string::npos) << filled;
  EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, nullptr),
            Error(ERROR_INVALID_PARAMETER));
}

TEST(FormatMessageTest, TemplateWinsOverOtherSources) {
  EXPECT_EQ(Format(kFromString | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, "xx",
                   ERROR_FILE_NOT_FOUND, nullptr),
            Text("xx"));
  EXPECT_EQ(Format(FORMAT_MESSAGE_IGNORE_INSERTS, "xx", 0, nullptr),
            Error(ERROR_INVALID_PARAMETER));
}

}  // namespace
