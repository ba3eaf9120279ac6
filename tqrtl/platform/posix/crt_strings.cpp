// The string functions of Win32 (lstrlenA, lstrcpyA, lstrcmpA, ...) and of
// the Microsoft C run-time (_stricmp, _strupr, _strrev, _strdup, ...).
//
// The C run-time names are thin loops over bytes in the "C" locale: only
// ASCII letters change case. lstrcmpA and lstrcmpiA compare in a word-sort
// order, which is what Windows callers get from the user locale and what
// sorted lists in the tools expect; see CompareWords below.
//
// Thread-safety: every function may be called from any thread; none keeps
// state.
#include <errno.h>
#include <string.h>

#include <array>
#include <climits>
#include <cstdint>

#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/posix/unicode.h"

namespace tqrtl::posix {
namespace {

unsigned char AsciiLower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

unsigned char AsciiUpper(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// The C run-time's result for a null argument of _stricmp and _strnicmp.
constexpr int kNlsCompareError = INT_MAX;

// ---------------------------------------------------------------------------
// Word sort.
//
// Every character has a weight at one of two levels:
// - primary, for characters that count first: whitespace and symbols, then
//   digits, then letters, with a letter's two cases equal;
// - ignorable, for the hyphen, the apostrophe and the control characters
//   other than tab, line feed, vertical tab, form feed and carriage return,
//   so that "co-op" sorts beside "coop".
// Two strings compare on their primary weights first, then (lstrcmpA only)
// on the case of their letters, lower case first, then on their ignorable
// characters: by position, where an earlier one sorts later, then by weight.
// Outside ASCII, characters are primary and sort after the letters by code
// point; bytes that are not UTF-8 sort after all characters.

constexpr char kPrimaryOrder[] =
    " \t\n\v\f\r!\"#$%&()*,./:;?@[\\]^_`{|}~+<=>0123456789abcdefghijklmnopqrstuvwxyz";
constexpr char kIgnorableOrder[] =
    "\x01\x02\x03\x04\x05\x06\x07\x08\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19"
    "\x1a\x1b\x1c\x1d\x1e\x1f\x7f'-";

// Weight of an ASCII character: bit 15 set for an ignorable one, else its
// primary weight (upper-case letters share the lower case's).
constexpr uint16_t kIgnorable = 0x8000;

constexpr std::array<uint16_t, 128> MakeAsciiWeights() {
  std::array<uint16_t, 128> weights{};
  for (size_t i = 0; i + 1 < sizeof(kPrimaryOrder); ++i)
    weights[static_cast<unsigned char>(kPrimaryOrder[i])] = static_cast<uint16_t>(i + 1);
  for (size_t i = 0; i + 1 < sizeof(kIgnorableOrder); ++i)
    weights[static_cast<unsigned char>(kIgnorableOrder[i])] =
        static_cast<uint16_t>(kIgnorable | (i + 1));
  for (int c = 'A'; c <= 'Z'; ++c) weights[c] = weights[c + ('a' - 'A')];
  return weights;
}
constexpr std::array<uint16_t, 128> kAsciiWeights = MakeAsciiWeights();

struct SortChar {
  uint32_t primary;    // 0 for an ignorable character
  uint32_t ignorable;  // its weight, 0 for a primary character
  bool upper;
};

constexpr uint32_t kNonAsciiBase = 0x1000;
constexpr uint32_t kInvalidByteBase = kNonAsciiBase + 0x110000;

// Decodes the character at *text (not the NUL) and moves past it.
SortChar NextSortChar(const unsigned char** text) {
  const unsigned char* p = *text;
  if (*p < 0x80) {
    ++*text;
    const uint16_t weight = kAsciiWeights[*p];
    if ((weight & kIgnorable) != 0) return {0, static_cast<uint32_t>(weight & ~kIgnorable), false};
    return {weight, 0, *p >= 'A' && *p <= 'Z'};
  }
  // A NUL is never a continuation byte, so the decoder stops at the end.
  char32_t c;
  *text += DecodeUtf8(p, strnlen(reinterpret_cast<const char*>(p), 4), &c);
  if (c == kInvalidChar) return {kInvalidByteBase + *p, 0, false};
  return {kNonAsciiBase + c, 0, false};
}

int Sign(int64_t difference) { return difference < 0 ? -1 : difference > 0 ? 1 : 0; }

// Compares the primary characters of a and b, on their primary weights or,
// with by_case, on their case.
int ComparePrimary(const unsigned char* a, const unsigned char* b, bool by_case) {
  for (;;) {
    SortChar ca{};
    SortChar cb{};
    while (*a != 0 && (ca = NextSortChar(&a)).primary == 0) {
    }
    while (*b != 0 && (cb = NextSortChar(&b)).primary == 0) {
    }
    if (ca.primary == 0 || cb.primary == 0)
      return Sign(int64_t{ca.primary != 0} - (cb.primary != 0));
    const int order = by_case ? Sign(int64_t{ca.upper} - cb.upper)
                              : Sign(int64_t{ca.primary} - int64_t{cb.primary});
    if (order != 0) return order;
  }
}

// Compares the ignorable characters of a and b.
int CompareIgnorable(const unsigned char* a, const unsigned char* b) {
  size_t position_a = 0;
  size_t position_b = 0;
  for (;;) {
    SortChar ca{};
    SortChar cb{};
    for (; *a != 0; ++position_a)
      if ((ca = NextSortChar(&a)).ignorable != 0) break;
    for (; *b != 0; ++position_b)
      if ((cb = NextSortChar(&b)).ignorable != 0) break;
    if (ca.ignorable == 0 || cb.ignorable == 0)
      return Sign(int64_t{ca.ignorable != 0} - (cb.ignorable != 0));
    if (position_a != position_b) return position_a < position_b ? 1 : -1;
    if (ca.ignorable != cb.ignorable) return ca.ignorable < cb.ignorable ? -1 : 1;
    ++position_a;
    ++position_b;
  }
}

int CompareWords(LPCSTR a, LPCSTR b, bool by_case) {
  if (a == nullptr || b == nullptr) return Sign(int64_t{a != nullptr} - (b != nullptr));
  const auto* ua = reinterpret_cast<const unsigned char*>(a);
  const auto* ub = reinterpret_cast<const unsigned char*>(b);
  int order = ComparePrimary(ua, ub, false);
  if (order == 0 && by_case) order = ComparePrimary(ua, ub, true);
  if (order == 0) order = CompareIgnorable(ua, ub);
  return order;
}

}  // namespace
}  // namespace tqrtl::posix

// ---------------------------------------------------------------------------
// Win32.

extern "C" int WINAPI lstrlenA(LPCSTR text) {
  if (text == nullptr) return 0;
  const size_t length = strlen(text);
  return length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

extern "C" int WINAPI lstrlenW(LPCWSTR text) {
  if (text == nullptr) return 0;
  int length = 0;
  while (length < INT_MAX && text[length] != 0) ++length;
  return length;
}

extern "C" LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source) {
  if (destination == nullptr || source == nullptr) return nullptr;
  memmove(destination, source, strlen(source) + 1);
  return destination;
}

extern "C" LPSTR WINAPI lstrcpynA(LPSTR destination, LPCSTR source, int maxLength) {
  if (destination == nullptr || source == nullptr) return nullptr;
  if (maxLength <= 0) return destination;
  const size_t length = strnlen(source, static_cast<size_t>(maxLength) - 1);
  memmove(destination, source, length);
  destination[length] = '\0';
  return destination;
}

extern "C" LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source) {
  if (destination == nullptr || source == nullptr) return nullptr;
  memmove(destination + strlen(destination), source, strlen(source) + 1);
  return destination;
}

extern "C" int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
  return tqrtl::posix::CompareWords(a, b, true);
}

extern "C" int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
  return tqrtl::posix::CompareWords(a, b, false);
}

// ---------------------------------------------------------------------------
// C run-time.

extern "C" int _stricmp(const char* a, const char* b) { return _strnicmp(a, b, SIZE_MAX); }

extern "C" int _strnicmp(const char* a, const char* b, size_t count) {
  if (a == nullptr || b == nullptr) {
    errno = EINVAL;
    return tqrtl::posix::kNlsCompareError;
  }
  const auto* ua = reinterpret_cast<const unsigned char*>(a);
  const auto* ub = reinterpret_cast<const unsigned char*>(b);
  for (size_t i = 0; i < count; ++i) {
    const int la = tqrtl::posix::AsciiLower(ua[i]);
    const int lb = tqrtl::posix::AsciiLower(ub[i]);
    if (la != lb || la == 0) return la - lb;
  }
  return 0;
}

extern "C" char* _strupr(char* text) {
  if (text == nullptr) return nullptr;
  for (char* p = text; *p != '\0'; ++p)
    *p = static_cast<char>(tqrtl::posix::AsciiUpper(static_cast<unsigned char>(*p)));
  return text;
}

extern "C" char* _strlwr(char* text) {
  if (text == nullptr) return nullptr;
  for (char* p = text; *p != '\0'; ++p)
    *p = static_cast<char>(tqrtl::posix::AsciiLower(static_cast<unsigned char>(*p)));
  return text;
}

extern "C" char* _strrev(char* text) {
  if (text == nullptr) return nullptr;
  const size_t length = strlen(text);
  for (size_t i = 0; i < length / 2; ++i) {
    const char c = text[i];
    text[i] = text[length - 1 - i];
    text[length - 1 - i] = c;
  }
  return text;
}

extern "C" char* _strdup(const char* text) {
  if (text == nullptr) return nullptr;
  const size_t size = strlen(text) + 1;
  auto* copy = static_cast<char*>(tqrtl::posix::Sys().malloc(size));
  if (copy == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  memcpy(copy, text, size);
  return copy;
}
