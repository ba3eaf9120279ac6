// Tests of TQString's formatting: the conversion language against the
// Microsoft C run-time's results (the same table passes on Windows, where
// msvcrt formats, and on Linux), the buffer estimate seen through
// GetAllocLength, the measuring path for texts the estimate cannot hold,
// FormatX and FormatMessageA.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tqrtl/errors/TQException.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

namespace {

std::string Text(const TQString& s) { return std::string(s, static_cast<size_t>(s.GetLength())); }

// 16-bit wide text on both builds.
const unsigned short* W(const char16_t* text) {
  return reinterpret_cast<const unsigned short*>(text);
}

// What the C run-time makes of `format`, measured first, so any length fits.
std::string Reference(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list measure;
  va_copy(measure, arguments);
  const int length = _vscprintf(format, measure);
  va_end(measure);
  std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
  _vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);
  text.resize(static_cast<size_t>(length > 0 ? length : 0));
  return text;
}

template <typename... Args>
void CheckText(int line, const char* expected, const char* format, Args... args) {
  TQString s;
  s.Format(format, args...);
  EXPECT_EQ(Text(s), expected) << "format \"" << format << "\" (line " << line << ")";
  EXPECT_EQ(s.GetLength(), static_cast<int>(std::strlen(s))) << "format \"" << format << "\"";
}
#define EXPECT_FORMAT(expected, ...) CheckText(__LINE__, expected, __VA_ARGS__)

// The room Format reserved for a fresh string, and the text it made.
template <typename... Args>
void CheckEstimate(int line, int estimate, const char* format, Args... args) {
  TQString s;
  s.Format(format, args...);
  EXPECT_EQ(s.GetAllocLength(), estimate) << "format \"" << format << "\" (line " << line << ")";
  EXPECT_EQ(Text(s), Reference(format, args...)) << "format \"" << format << "\"";
}
#define EXPECT_ESTIMATE(estimate, ...) CheckEstimate(__LINE__, estimate, __VA_ARGS__)

TEST(TQStringFormatTest, ConversionsPrintAsTheMicrosoftRunTimeDoes) {
  const char* const null_text = nullptr;
  const unsigned short* const null_wide = nullptr;
  // Literal text and percent signs.
  EXPECT_FORMAT("", "");
  EXPECT_FORMAT("plain text", "plain text");
  EXPECT_FORMAT("%", "%%");
  EXPECT_FORMAT("100%", "100%%");
  EXPECT_FORMAT("abc", "abc%");  // a lone % at the end prints nothing
  EXPECT_FORMAT("ayb", "a%yb");  // an unknown conversion prints its letter
  // Integers.
  EXPECT_FORMAT("5", "%d", 5);
  EXPECT_FORMAT("-17|-17", "%i|%ld", -17, -17);
  EXPECT_FORMAT("    5|5    |", "%5d|%-5d|", 5, 5);
  EXPECT_FORMAT("+7| 7|-0042", "%+d|% d|%05d", 7, 7, -42);
  EXPECT_FORMAT("4294967295", "%u", -1);
  EXPECT_FORMAT("ff|FF|0xff|0XFF|010", "%x|%X|%#x|%#X|%#o", 255, 255, 255, 255, 8);
  EXPECT_FORMAT("00042|  042", "%.5d|%5.3d", 42, 42);
  EXPECT_FORMAT("4464", "%hd", 70000);  // h: a short
  EXPECT_FORMAT("    7|7   |", "%*d|%-*d|", 5, 7, 4, 7);
  EXPECT_FORMAT("7   |", "%*d|", -4, 7);  // a negative * width left-justifies
  EXPECT_FORMAT("-5|1234567890123", "%I64d|%I64d", -5LL, 1234567890123LL);
  // Characters.
  EXPECT_FORMAT("x|x    |  y", "%c|%-5c|%3c", 'x', 'x', 'y');
  EXPECT_FORMAT("W|W|n|n", "%C|%lc|%hc|%hC", 'W', 'W', 'n', 'n');
  // Narrow text.
  EXPECT_FORMAT("abc", "%s", "abc");
  EXPECT_FORMAT("       abc", "%10.3s", "abcdef");
  EXPECT_FORMAT("ab|ab    |ab", "%.2s|%-6s|%.*s", "abcdef", "ab", 2, "abc");
  EXPECT_FORMAT("narrow|narrow", "%hs|%hS", "narrow", "narrow");
  EXPECT_FORMAT("(null)", "%s", null_text);
  EXPECT_FORMAT("[    (null)]|[(nu]", "[%10s]|[%.3s]", null_text, null_text);
  // Wide text is 16-bit on both builds.
  EXPECT_FORMAT("wide|wide|wide", "%ls|%S|%lS", W(u"wide"), W(u"wide"), W(u"wide"));
  EXPECT_FORMAT("  wi|(null)", "%4.2ls|%S", W(u"wide"), null_wide);
  // Floating point: three-digit exponents.
  EXPECT_FORMAT("3.141590|3.14|    3.14|0003.142", "%f|%.2f|%8.2f|%08.3f", 3.14159, 3.14159,
                3.14159, 3.14159);
  EXPECT_FORMAT("1.234568e+004|0.0001|1E+020", "%e|%g|%G", 12345.678, 0.0001, 1e20);
  EXPECT_FORMAT("100000|1e+006|0.000e+000", "%g|%g|%.3e", 100000.0, 1e6, 0.0);
  EXPECT_FORMAT("-0.500000|1|3", "%f|%.0f|%.0f", -0.5, 0.5, 2.5);  // half away from zero
  EXPECT_FORMAT("1.500000E+000", "%E", 1.5);
  // Pointers: upper-case hex, zero-padded to the pointer width, no 0x.
  EXPECT_FORMAT(sizeof(void*) == 8 ? "000000001234ABCD" : "1234ABCD", "%p",
                reinterpret_cast<void*>(0x1234ABCD));
}

TEST(TQStringFormatTest, ReservesExactlyTheEstimate) {
  const char* const null_text = nullptr;
  int count = 0;
  EXPECT_ESTIMATE(0, "");
  EXPECT_ESTIMATE(1, "%%");
  EXPECT_ESTIMATE(4, "100%%");
  EXPECT_ESTIMATE(3, "abc%");      // walked up to the NUL, nothing read
  EXPECT_ESTIMATE(3, "%s", "abc");
  EXPECT_ESTIMATE(1, "%s", "");    // text counts at least 1
  EXPECT_ESTIMATE(6, "%s", null_text);
  EXPECT_ESTIMATE(10, "%10.3s", "abcdef");  // precision first, then width
  EXPECT_ESTIMATE(2, "%.2s", "abcdef");
  EXPECT_ESTIMATE(6, "%.0s", "abcdef");     // precision 0 does not limit
  EXPECT_ESTIMATE(3, "%.*s", 3, "abcdef");
  EXPECT_ESTIMATE(6, "%-5c|", 'x');
  EXPECT_ESTIMATE(2, "%lc", 'x');
  EXPECT_ESTIMATE(4, "%ls", W(u"wide"));    // read as 16-bit text
  EXPECT_ESTIMATE(1 + 1 + 6, "%S|%hS", W(u"w"), "narrow");
  EXPECT_ESTIMATE(4, "%#s", "ab");          // # adds 2 to any conversion
  EXPECT_ESTIMATE(32, "%d", 5);
  EXPECT_ESTIMATE(34, "%#x", 255);
  EXPECT_ESTIMATE(40, "%*d", 40, 7);
  EXPECT_ESTIMATE(40, "%20.20d", 7);
  EXPECT_ESTIMATE(34, "%-+ 0#5d", 7);
  EXPECT_ESTIMATE(32, "%p", static_cast<void*>(&count));
  EXPECT_ESTIMATE(7 + 128, "Total: %8.2f", 3.5);
  EXPECT_ESTIMATE(150, "%100.50e", 1.0);
  EXPECT_ESTIMATE(128 + 1 + 32 + 1 + 3, "%g,%u,%s", 2.0, 3u, "abc");
  EXPECT_ESTIMATE(2, "a%nb", &count);       // %n takes its pointer, needs no room
  EXPECT_ESTIMATE(32 + 1, "%5Ld%hld", 5, 6);  // one modifier only; "d" is text
  // %Lf takes a long double (a double on Windows). Enough texts go first that
  // the last one follows the long double among the arguments in memory, so
  // an estimate that took the wrong size would size the wrong pointer.
#ifdef _WIN32
  const double half = 1.5;
#else
  const long double half = 1.5L;
#endif
  EXPECT_ESTIMATE(5 + 128 + 3, "%s%s%s%s%s%.2Lf%s", "a", "b", "c", "d", "e", half, "xyz");
  EXPECT_FORMAT("abcde1.50xyz", "%s%s%s%s%s%.2Lf%s", "a", "b", "c", "d", "e", half, "xyz");
}

TEST(TQStringFormatTest, KeepsAPrivateBufferThatIsLargeEnough) {
  TQString s;
  s.Format("%s", std::string(100, 'a').c_str());
  ASSERT_EQ(s.GetAllocLength(), 100);
  s.Format("%d", 5);
  EXPECT_EQ(Text(s), "5");
  EXPECT_EQ(s.GetAllocLength(), 100);

  // A shared buffer is never written: the other sharer keeps its text.
  TQString shared = s;
  s.Format("%s", "new");
  EXPECT_EQ(Text(shared), "5");
  EXPECT_EQ(Text(s), "new");
}

// Texts longer than the estimate: measured, then formatted into a buffer of
// exactly their length.
TEST(TQStringFormatTest, MeasuresAndGrowsWhenTheEstimateFallsShort) {
  struct Case {
    const char* format;
    double value;
  } const cases[] = {
      {"%f", 1e300},       // 301 digits before the point
      {"%.400f", 1e300},   // estimate 400, text 702
      {"%-130f|", -1e200},
      {"%E|%E", 1e300},    // outside the language: estimated as 0
  };
  for (const Case& c : cases) {
    const std::string expected = Reference(c.format, c.value, c.value);
    TQString s = "an earlier text";
    TQString sharer = s;
    s.Format(c.format, c.value, c.value);
    EXPECT_EQ(Text(s), expected) << "format \"" << c.format << "\"";
    EXPECT_EQ(s.GetAllocLength(), static_cast<int>(expected.size())) << c.format;
    EXPECT_EQ(Text(sharer), "an earlier text") << c.format;
  }
  EXPECT_EQ(Reference("%f", 1e300).size(), 308u);

  // Width 5000 reserves 5000 and the text fills it exactly.
  TQString exact;
  exact.Format("%5000f", 1e300);
  EXPECT_EQ(exact.GetLength(), 5000);
  EXPECT_EQ(exact.GetAllocLength(), 5000);
  EXPECT_EQ(Text(exact), Reference("%5000f", 1e300));

  // A text one character over the reserved room (which the run-time
  // reports as an exact fit without the NUL) is not taken as complete.
  TQString one_over;
  one_over.Format("%*s%s", -3, "ab", "c");  // reserves 3; prints "ab c"
  EXPECT_EQ(Text(one_over), "ab c");
  EXPECT_EQ(one_over.GetAllocLength(), 4);

  // An empty estimate starts from the shared empty string.
  TQString from_nothing;
  from_nothing.Format("%y%E", 2.0);
  EXPECT_EQ(Text(from_nothing), "y2.000000E+000");
}

TEST(TQStringFormatTest, WideTextIsConvertedToTheNarrowCodePage) {
  const unsigned short* text = W(u"caf\u00e9");
  char expected[16] = {};
  ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(text), -1, expected,
                                sizeof(expected), nullptr, nullptr),
            0);
  TQString s;
  s.Format("%ls", text);  // 4 reserved; more bytes where the code page is UTF-8
  EXPECT_EQ(Text(s), expected);
  EXPECT_GE(s.GetAllocLength(), 4);
}

TEST(TQStringFormatTest, FormatXTakesTheFormatFromAResource) {
  const HINSTANCE module = GetModuleHandleA(nullptr);
  TQString s = "old";
  s.FormatX(1, module, 42);
  EXPECT_EQ(Text(s), "Short");
  s.FormatX(1010, module);
  EXPECT_EQ(s.GetLength(), 1010);
  s.FormatX(999, module, 42);  // no such resource: an empty format
  EXPECT_EQ(Text(s), "");
}

TEST(TQStringFormatTest, FormatMessageInsertsArgumentsByNumber) {
  TQString s;
  s.FormatMessageA("%1 and %2", "x", "y");
  EXPECT_EQ(Text(s), "x and y");
  s.FormatMessageA("%1!d! items, %2!s!", 7, "ok");
  EXPECT_EQ(Text(s), "7 items, ok");
  s.FormatMessageA("%2-%1-%1", "one", "two");
  EXPECT_EQ(Text(s), "two-one-one");
  s.FormatMessageA("100%% done%n");
  EXPECT_EQ(Text(s), "100% done\r\n");
}

TEST(TQStringFormatTest, FormatMessageFailureThrowsAndKeepsTheText) {
  TQString s = "kept";
  for (const char* bad : {"end%", "", "%0"}) {
    try {
      s.FormatMessageA(bad);
      ADD_FAILURE() << "no exception for \"" << bad << "\"";
    } catch (const TQSystemException& e) {
      EXPECT_NE(e.GetError(), 0u) << bad;
    }
    EXPECT_EQ(Text(s), "kept") << bad;
  }
}

}  // namespace
