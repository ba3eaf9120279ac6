// Conformance tests of the C run-time's printf family (_vsnprintf,
// _snprintf, _vscprintf) and of user32's wsprintfA. The expectations are the
// Microsoft run-time's results: the Windows build checks them against the
// system (Wine's msvcrt and user32), the Linux build against the POSIX
// layer. Pointer-width results assume the 64-bit builds (16 hex digits).
//
// Each table line is one case: the expected text, the format, the argument.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "tqrtl/platform/win32.h"

namespace {

// The text _vsnprintf makes of `format` in a roomy buffer, or "<-1>".
std::string Crt(const char* format, ...) {
  static char buffer[4096];
  va_list arguments;
  va_start(arguments, format);
  const int length = _vsnprintf(buffer, sizeof(buffer), format, arguments);
  va_end(arguments);
  return length < 0 ? "<-1>" : std::string(buffer, static_cast<size_t>(length));
}

std::string Wsprintf(const char* format, ...) {
  char buffer[1100];
  va_list arguments;
  va_start(arguments, format);
  const int length = wvsprintfA(buffer, format, arguments);
  va_end(arguments);
  EXPECT_EQ(std::strlen(buffer), static_cast<size_t>(length)) << format;
  return std::string(buffer, static_cast<size_t>(length));
}

// A 16-bit wide text written as a UTF-16 literal.
const WCHAR* W(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

double Bits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = Bits(0x7FF8000000000000ull);
const double kNegativeNaN = Bits(0xFFF8000000000000ull);

struct TextCase {
  const char* expected;
  const char* format;
};
template <class T>
struct Case {
  const char* expected;
  const char* format;
  T value;
};

TEST(CrtPrintfTest, FormatsWithoutArguments) {
  const TextCase kCases[] = {
      {"100%", "100%%"}, {"", "%"},          {"abc", "abc%"}, {"", "%-"},     {"", "%5"},
      {"", "%l"},        {"", "%."},         {"", "%05%"},    {"|", "%-5%|"}, {"q", "%q"},
      {"[q]", "[%5q]"},  {"y|", "%y|"},      {"qd", "%qd"},   {"I", "%I"},    {"I6d", "%I6d"},
      {"I3", "%I3"},     {"-3s|", "%.-3s|"}, {"", "%I64"},    {"", "%hl"},    {"", "%ll"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Crt(c.format), c.expected) << "format " << c.format;
}

TEST(CrtPrintfTest, FormatsIntegers) {
  const Case<int> kCases[] = {
      {"42   |", "%-5d|", 42},
      {" 42", "% d", 42},
      {"+42", "%+ d", 42},
      {"-0042", "%05d", -42},
      {"-42  |", "%-05d|", -42},
      {"", "%.0d", 0},
      {"-00042", "%.5d", -42},
      {"-0000042", "%08.5d", -42},  // the '0' flag survives a precision
      {"00000|", "%05.0d|", 0},
      {"+|", "%+.0d|", 0},
      {"  007|", "%5.3d|", 7},
      {"-2147483648", "%d", INT_MIN},
      {"4294967295", "%u", -1},
      {"5", "%+u", 5},
      {"ffffffff", "%x", -1},
      {"0xff", "%#x", 255},
      {"0", "%#x", 0},
      {"010", "%#o", 8},
      {"|", "%#.0o|", 0},
      {"0x005", "%#05x", 5},
      {"0xff    |", "%-#8x|", 255},
      {"  0x00ff|", "%#8.4x|", 255},
      {"4464", "%hd", 70000},
      {"300", "%hhd", 300},
      {"-1", "%I32d", -1},
      {"ffffffff", "%Lx", -1},
      {"k5", "%k%d", 5},
      {"a", "%c", 'a'},
      {"[    a]", "[%5c]", 'a'},
      {"[0000a]", "[%05c]", 'a'},
      {"A", "%c", 0x141},
      {"W", "%C", 'W'},
      {"x", "%wc", 'x'},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value), c.expected) << "format " << c.format << ", " << c.value;
}

TEST(CrtPrintfTest, Formats64BitIntegers) {
  const Case<long long> kCases[] = {
      {"-5", "%I64d", -5},
      {"18446744073709551615", "%I64u", -1},
      {"-9223372036854775808", "%I64d", LLONG_MIN},
      {"1777777777777777777777", "%I64o", -1},
      {"0XFFFFFFFFFFFFFFFF", "%#I64X", -1},
      {"ffffffffffffffff", "%llx", -1},
      {"ffffffffffffffff", "%Ix", -1},  // I is pointer-sized
      {"-1", "%jd", -1},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value), c.expected) << "format " << c.format << ", " << c.value;
}

TEST(CrtPrintfTest, FormatsPointersInUpperCaseHexWithoutPrefix) {
  const Case<uintptr_t> kCases[] = {
      {"000000001234ABCD", "%p", 0x1234ABCD},           {"0000000000000000", "%p", 0},
      {"[    000000001234ABCD]", "[%20p]", 0x1234ABCD}, {"[00000000000000AB    ]", "[%-20p]", 0xAB},
      {"[0X00000000000000AB]", "[%#p]", 0xAB},          {"[    00000000000000AB]", "[%020p]", 0xAB},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, reinterpret_cast<void*>(c.value)), c.expected) << "format " << c.format;
}

TEST(CrtPrintfTest, FormatsNarrowStrings) {
  static const char kUnterminated[3] = {'a', 'b', 'c'};
  const Case<const char*> kCases[] = {
      {"(null)", "%s", nullptr},      {"[    (null)]", "[%10s]", nullptr},
      {"[(nu]", "[%.3s]", nullptr},   {"abc", "%.3s", "abcdef"},
      {"abc", "%.3s", kUnterminated}, {"ab        |", "%-010s|", "ab"},
      {"[000ab]", "[%05s]", "ab"},    {"[]", "[%.0s]", "abc"},
      {"   ab", "% 5s", "ab"},        {"|", "%.s|", "abc"},
      {"abc", "%.99999s", "abc"},     {"narrow", "%hs", "narrow"},
      {"narrow", "%Ls", "narrow"},    {"x", "%I64s", "x"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value), c.expected) << "format " << c.format;
}

TEST(CrtPrintfTest, FormatsWideStrings) {
  const Case<const WCHAR*> kCases[] = {
      {"wide", "%ls", W(u"wide")},  {"wide", "%S", W(u"wide")},  {"ww", "%ws", W(u"ww")},
      {"w", "%lls", W(u"w")},       {"wide", "%LS", W(u"wide")}, {"(null)", "%ls", nullptr},
      {"[(nu]", "[%.3S]", nullptr}, {"ab", "%.2ls", W(u"abc")},  {"[  wide]", "[%6ls]", W(u"wide")},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value), c.expected) << "format " << c.format;
}

TEST(CrtPrintfTest, FormatsFloatingPointWithThreeDigitExponents) {
  const Case<double> kCases[] = {
      {"1.234568e+004", "%e", 12345.678},
      {"1.500000E+000", "%E", 1.5},
      {"0.000000e+000", "%e", 0.0},
      {"4.940656e-324", "%e", 5e-324},
      {"1.797693e+308", "%e", DBL_MAX},
      {"1.000e+001", "%.3e", 9.9996},
      {"+1.235e+003", "%+.3e", 1234.5},
      {"-1.00e+000", "%010.2e", -1.0},
      {"0.0001", "%g", 0.0001},
      {"1E+020", "%G", 1e20},
      {"-0", "%g", -0.0},
      {"1e-005", "%g", 1e-5},
      {"1.23457e+008", "%g", 123456789.0},
      {"1.00000", "%#g", 1.0},
      {"3.", "%#.0g", 3.0},
      {"100000", "%g", 100000.0},
      {"1e+006", "%g", 1e6},
      {"9.99989e-321", "%g", 1e-320},
      {"0.000123", "%.3g", 0.0001234},
      {"0.1", "%.16g", 0.1},
      {"0.10000000000000001", "%.17g", 0.1},
      {"2", "%.0g", 1.5},
      {"100000000000000000000.000000", "%f", 1e20},
      {"0.0000000000000000000000000000010000000000", "%.40f", 1e-30},
      {"0003.142", "%08.3f", 3.14159},
      {"1.", "%#.0f", 1.0},
      {"-0.000000", "%f", -0.0},
      {"-0", "%.0f", -0.4},
      {"-0000001.0|", "%010.1f|", -1.0},
      {" 0000001.0|", "% 010.1f|", 1.0},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value), c.expected) << "format " << c.format << ", " << c.value;
}

// The L prefix takes a long double: 80 bits on Linux, a double to the
// Microsoft run-time (and to the Windows build's CRT calls). Either way the
// value prints, and the argument after it is read from the right place.
#ifdef _WIN32
using CrtLongDouble = double;
#else
using CrtLongDouble = long double;
#endif

TEST(CrtPrintfTest, ReadsLongDoubleForL) {
  const Case<CrtLongDouble> kCases[] = {
      {"1.500000|7", "%Lf|%d", 1.5},
      {"-2.500000e+003|7", "%Le|%d", -2500.0},
      {"1.2E+010|7", "%.2LG|%d", 1.2e10},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value, 7), c.expected) << "format " << c.format;
  // A plain double after a long double, and L on an integer changes nothing.
  EXPECT_EQ(Crt("%Lf %f %Lx", CrtLongDouble{0.5}, 0.25, -1), "0.500000 0.250000 ffffffff");
}

// Digits are those of the exact binary value, and a value exactly halfway
// rounds away from zero (glibc rounds such ties to even).
TEST(CrtPrintfTest, RoundsExactTiesAwayFromZero) {
  const Case<double> kCases[] = {
      {"1", "%.0f", 0.5},           {"3", "%.0f", 2.5},
      {"10", "%.0f", 9.5},          {"0.3", "%.1f", 0.25},
      {"0.13", "%.2f", 0.125},      {"3e+000", "%.0e", 2.5},
      {"3.e+000", "%#.0e", 2.5},    {"2.67", "%.2f", 2.675},  // 2.67499999... in binary
      {"0.3", "%.1f", 0.35},                                  // 0.34999999...
      {"0.1", "%.1f", 0.05},                                  // 0.05000000000000000277
      {"9.99e+000", "%.2e", 9.995}, {"1.00e+001", "%.2e", 9.9951},
      {"123457", "%g", 123456.5},   {"1e+006", "%g", 999999.5},
      {"1e+002", "%.2g", 99.5},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value), c.expected) << "format " << c.format << ", " << c.value;
}

// Halfway cases decided far from the rounding position: digits that read
// 4999... or 5000... for a long way, and ties that end deep in the fraction,
// at the end of a large integer or of a subnormal's 751 digits.
TEST(CrtPrintfTest, DecidesNearTiesOnTheExactValue) {
  const Case<double> kCases[] = {
      {"0.9", "%.1f", 0.95},                              // 0.94999999999999995559...
      {"767.472", "%.3f", 0x1.7fbc7ae147ae1p+9},          // 767.47249999999996816...
      {"-8.95994e+003", "%.5e", -0x1.17ff8f5c28f5cp+13},  // -8959.9449999999997089...
      {"0.132113", "%.6g", 0x1.0e9185cee17ap-3},          // 0.13211349999999999482...
      {"0.00000000093132257461547851563", "%.29f", 0x1p-30},
      {"9.3132257461547851563e-010", "%.19e", 0x1p-30},
      {"4.50359962737050e+015", "%.14e", 4503599627370495.0},
      {"4503599627370496", "%.0f", 4503599627370495.5},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value), c.expected) << "format " << c.format << ", " << c.value;
  const std::string subnormal = Crt("%.749e", 5e-324);  // exact: ...33447265625e-324
  ASSERT_GT(subnormal.size(), 20u);
  EXPECT_EQ(subnormal.substr(subnormal.size() - 20), "826553344726563e-324");
}

// Fixed point across the scales where exact rounding gets hard: results of
// up to 19 and 20 digits on either side of 2^64, whole numbers on either side
// of 2^64, values far below the last place shown, and ties or carries in the
// last place.
TEST(CrtPrintfTest, RoundsFixedPointExactlyAtEveryScale) {
  const Case<double> kCases[] = {
      {"0.1000000000000000056", "%.19f", 0.1},
      {"18.250000000000000000", "%.18f", 18.25},  // 1825 x 10^16 < 2^64
      {"18.500000000000000000", "%.18f", 18.5},   // 1850 x 10^16 > 2^64
      {"1.5000000000000000000", "%.19f", 1.5},
      {"18446744073709549568", "%.0f", 0x1.fffffffffffffp+63},
      {"18446744073709551616", "%.0f", 0x1p+64},
      {"9223372036854777856.0", "%.1f", 0x1.0000000000001p+63},
      {"4503599627370497", "%.0f", 0x1.0000000000001p+52},
      {"0.0000000000000000000", "%.19f", 1e-30},
      {"-0.0000000000000000000", "%.19f", -1e-30},
      {"0.000", "%.3f", 5e-324},
      {"0.0000000000000000001", "%.19f", 0x1p-64},  // 5.42e-20 rounds up
      {"0.0000000000000000000", "%.19f", 0x1p-65},  // 2.71e-20 rounds down
      {"0.0004882813", "%.10f", 0x1p-11},           // 0.00048828125
      {"9.99", "%.2f", 9.995},                      // 9.99499999999999921...
      {"10.0", "%.1f", 9.96},
      {"-1.00", "%.2f", -1.005},  // -1.00499999999999989...
      {" -0.0", "%5.1f", -0.04},
      {"1234567.000000", "%.6f", 1234567.0000005},  // 1234567.00000049988...
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value), c.expected) << "format " << c.format << ", " << c.value;
}

TEST(CrtPrintfTest, PrintsLongNumbersDigitForDigit) {
  EXPECT_EQ(Crt("%f", 1e300),
            "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786"
            "3713750804478640437044438328838781769425232353604305756447921847867069828483872009265"
            "7580373783023379478809005936895323497079994508111903896764088007465274278014249457925"
            "8788820056842838115669472196386865459400540160.000000");
  EXPECT_EQ(Crt("%.1000f", 0.1),
            "0.1000000000000000055511151231257827021181583404541015625" + std::string(945, '0'));
}

TEST(CrtPrintfTest, FormatsHexadecimalFloatingPoint) {
  const Case<double> kCases[] = {
      {"0x1.0000000000000p+0", "%a", 1.0},
      {"0X1.0000000000000P-1", "%A", 0.5},
      {"0x0.0000000000000p+0", "%a", 0.0},
      {"-0x0.0000000000000p+0", "%a", -0.0},
      {"-0x1.8000000000000p+0", "%a", -1.5},
      {"0x1.00p+0", "%.2a", 1.0},
      {"0x1p+0", "%.0a", 1.0},
      {"0x2p+0", "%.0a", 1.5},  // a tie rounds up, and the carry stays in front
      {"0x2.0p+0", "%.1a", 1.96875},
      {"0x0.0000000000001p-1022", "%a", 5e-324},
      {"0x1.0000000000000p-1022", "%a", DBL_MIN},
      {"0x1.7e43c8800759cp+996", "%a", 1e300},
      {"-0x0000000001.0000000000000p+0|", "%030a|", -1.0},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value), c.expected) << "format " << c.format << ", " << c.value;
}

// The old run-time's texts: "1.#INF", "1.#QNAN", "-1.#IND" (a NaN with the
// sign bit), whose characters after the point stand in for the digits.
TEST(CrtPrintfTest, FormatsInfinityAndNaNInTheOldStyle) {
  const Case<double> kCases[] = {
      {"1.#INF00", "%f", kInf},
      {"-1.#INF00", "%f", -kInf},
      {"1.#QNAN0", "%f", kNaN},
      {"-1.#IND00", "%f", kNegativeNaN},
      {"+1.#INF00", "%+f", kInf},
      {"-01.#INF00", "%010f", -kInf},
      {"1.#INF      |", "%-12f|", kInf},
      {"1", "%.0f", kInf},
      {"1.$", "%.1f", kInf},
      {"1.#J", "%.2f", kInf},
      {"1.#IO", "%.3f", kInf},
      {"      +1.#IO|", "%+12.3f|", kInf},
      {"1.#INF00e+000", "%e", kInf},
      {"1.#QNAN0E+000", "%E", kNaN},
      {"1.#Je+000", "%.2e", kInf},
      {"1e+000", "%.0e", kInf},
      {"1.#INF  e+000  |", "%-15e|", kInf},
      {"1.#INF", "%g", kInf},
      {"1.#QNAN", "%g", kNaN},
      {"-1.#IND", "%g", kNegativeNaN},
      {"0x1.#INF000000000p+0", "%a", kInf},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Crt(c.format, c.value), c.expected) << "format " << c.format;
}

TEST(CrtPrintfTest, TakesWidthAndPrecisionFromArguments) {
  EXPECT_EQ(Crt("%*d|", 5, 1), "    1|");
  EXPECT_EQ(Crt("%*d|", -5, 1), "1    |");  // a negative width aligns left
  EXPECT_EQ(Crt("%.*d|", -5, 1), "1|");     // a negative precision is none
  EXPECT_EQ(Crt("%*.*s|", 5, 2, "abc"), "   ab|");
  EXPECT_EQ(Crt("%-*.*f|", 8, 2, 3.14159), "3.14    |");
}

TEST(CrtPrintfTest, PercentNPrintsNothing) {
  int count = 99;
  EXPECT_EQ(Crt("ab%ncd", &count), "abcd");
  EXPECT_EQ(Crt("%n%d", &count, 7), "7");
}

// _vsnprintf stores what fits; a cut text returns -1 without a NUL, an exact
// fit returns the length without a NUL, and a NUL follows when there is room.
TEST(CrtPrintfTest, VsnprintfCutsWithoutTerminating) {
  const struct {
    size_t size;
    const char* text;
    int result;
    const char* stored;  // the buffer afterwards, '#' where untouched
  } kCases[] = {
      {4, "abcdef", -1, "abcd####"}, {6, "abcdef", 6, "abcdef##"}, {7, "abcdef", 6, "abcdef\0#"},
      {0, "abcdef", -1, "########"}, {0, "", 0, "########"},       {1, "", 0, "\0#######"},
  };
  for (const auto& c : kCases) {
    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, c.size, "%s", c.text), c.result)
        << "size " << c.size << " " << c.text;
    EXPECT_EQ(std::string(buffer, sizeof(buffer)), std::string(c.stored, sizeof(buffer)))
        << "size " << c.size << " " << c.text;
  }
  char buffer[8];
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(_snprintf(buffer, 2, "%5d", 1), -1);
  EXPECT_EQ(std::string(buffer, 3), "  #");
  EXPECT_EQ(_snprintf(buffer, 3, "%d", 123456), -1);
  EXPECT_EQ(std::string(buffer, 4), "123#");
  EXPECT_EQ(_snprintf(buffer, 5, "%s!", "hey"), 4);
  EXPECT_STREQ(buffer, "hey!");
}

// The length _vscprintf reports, or with `into_nothing` what _vsnprintf
// reports for a null buffer of size 0.
int Measure(bool into_nothing, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length =
      into_nothing ? _vsnprintf(nullptr, 0, format, arguments) : _vscprintf(format, arguments);
  va_end(arguments);
  return length;
}

TEST(CrtPrintfTest, MeasuresTheFullLength) {
  for (bool into_nothing : {false, true}) {
    EXPECT_EQ(Measure(into_nothing, ""), 0);
    EXPECT_EQ(Measure(into_nothing, "%s", "hello"), 5);
    EXPECT_EQ(Measure(into_nothing, "%10d", 1), 10);
    EXPECT_EQ(Measure(into_nothing, "%.600f", 1.0), 602);
  }
}

TEST(CrtPrintfTest, WsprintfFormatsIntegersTheUser32Way) {
  const Case<int> kCases[] = {
      {"    1", "%5d", 1},
      {"-0003", "%05d", -3},
      {"-3   |", "%-05d|", -3},
      {"4294967295", "%lu", -1},
      {"00042", "%.5d", 42},
      {"0|", "%.0d|", 0},
      {"70000", "%hd", 70000},
      {"0xff", "%#x", 255},
      {"0x0", "%#x", 0},
      {"   0xff|", "%#5x|", 255},  // the 0x is not part of the width
      {"0x000ff|", "%#05x|", 255},
      {"0XFF      |", "%-#8X|", 255},
      {"+d", "%+d", 5},
      {"*d", "%*d", 5},
      {"o", "%#o", 8},
      {"ld", "%lld", 5},
      {"k5", "%k%d", 5},
      {"W", "%C", 'W'},
      {"    a|", "%5c|", 'a'},
      {"f", "%f", 0},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Wsprintf(c.format, c.value), c.expected) << "format " << c.format << ", " << c.value;
}

TEST(CrtPrintfTest, WsprintfFormatsTextAndCopiesUnknownConversions) {
  const TextCase kTextCases[] = {
      {"100%", "100%%"}, {"", "%"},       {"abc", "abc%"},   {"q", "%q"},
      {"     q", "%5q"}, {"q|", "%-5q|"}, {"     ", "%05%"}, {"n", "%n"},
  };
  for (const auto& c : kTextCases)
    EXPECT_EQ(Wsprintf(c.format), c.expected) << "format " << c.format;

  const Case<const char*> kStringCases[] = {
      {"str", "%s", "str"},      {"abc", "%.3s", "abcdef"},   {"       abc|", "%10.3s|", "abcdef"},
      {"(null)", "%s", nullptr}, {"narrow", "%hs", "narrow"}, {"ab|", "%.0s|", "ab"},
      {"ab|", "%.s|", "ab"},
  };
  for (const auto& c : kStringCases)
    EXPECT_EQ(Wsprintf(c.format, c.value), c.expected) << "format " << c.format;

  EXPECT_EQ(Wsprintf("%S|%ls", W(u"wide"), W(u"text")), "wide|text");
  EXPECT_EQ(Wsprintf("%I64d|%I64x", -5LL, -1LL), "-5|ffffffffffffffff");
  EXPECT_EQ(Wsprintf("%p", reinterpret_cast<void*>(0x1234ABCD)), "000000001234ABCD");
  EXPECT_EQ(Wsprintf("TQIPC_%s_ENV_VAR", "name"), "TQIPC_name_ENV_VAR");
}

TEST(CrtPrintfTest, WsprintfWritesTheNulOfACharacterZero) {
  char buffer[8];
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(wsprintfA(buffer, "%c", 0), 1);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], '\0');
}

// Output stops at 1023 characters and a NUL, whatever the buffer's size.
TEST(CrtPrintfTest, WsprintfStopsAt1024Bytes) {
  const std::string long_text(1500, 'a');
  char buffer[2048];
  for (const char* format : {"%s", "%s%s", "%1030s"}) {
    std::memset(buffer, 0x7F, sizeof(buffer));
    const int result = wsprintfA(buffer, format, long_text.c_str(), long_text.c_str());
    EXPECT_EQ(std::strlen(buffer), 1023u) << format;
    EXPECT_GE(result, 1023) << format;
    EXPECT_EQ(buffer[1024], 0x7F) << format;
  }
}

}  // namespace
