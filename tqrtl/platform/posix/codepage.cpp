// Code pages: GetACP, GetOEMCP, MultiByteToWideChar, WideCharToMultiByte and
// the OEM conversions CharToOemA, OemToCharA and their Buff forms.
//
// The narrow code page of the POSIX layer is UTF-8 and the OEM code page is
// 437; 1252 is known too, because text from Windows arrives in it. The file
// has three parts: the single-byte tables, the two Win32 converters (one
// loop per direction, with a sink that counts when asked for the size and
// otherwise never writes past the capacity), and the OEM conversions, which
// go straight between UTF-8 and 437 so that they can work in place.
// win32.h states where the results differ from Windows.
//
// Thread-safety: every function may be called from any thread.
#include <string.h>

#include <array>
#include <climits>
#include <cstddef>

#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/posix/unicode.h"

namespace tqrtl::posix {
namespace {

// ---------------------------------------------------------------------------
// Single-byte code pages. Bytes below 0x80 are ASCII in both; the tables hold
// the upper half. Every byte has a character, so decoding never fails.

using UpperHalf = std::array<char16_t, 128>;

constexpr UpperHalf kCp437Upper = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // F8
};

// What MB_USEGLYPHCHARS shows for the control bytes 0x01..0x1F of 437 (the
// pictures the display adapter drew for them); 0x7F is kCp437Glyph7F.
constexpr std::array<char16_t, 32> kCp437Glyphs = {
    0x0000, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022,  // 00
    0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C,  // 08
    0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,  // 10
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC,  // 18
};
constexpr char16_t kCp437Glyph7F = 0x2302;

// 1252: 0x80..0x9F as below (the five unassigned bytes map to the C1
// controls of the same value, as on Windows), 0xA0..0xFF as Latin-1.
constexpr UpperHalf Make1252Upper() {
  constexpr char16_t kLow[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88
      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98
  };
  UpperHalf table{};
  for (int i = 0; i < 128; ++i) table[i] = i < 32 ? kLow[i] : static_cast<char16_t>(0x80 + i);
  return table;
}
constexpr UpperHalf kCp1252Upper = Make1252Upper();

// The upper half sorted by character, for encoding by binary search.
struct ReverseEntry {
  char16_t c;
  unsigned char byte;
};
using ReverseTable = std::array<ReverseEntry, 128>;

constexpr ReverseTable MakeReverse(const UpperHalf& upper) {
  ReverseTable table{};
  for (int i = 0; i < 128; ++i) {  // insertion sort: 128 entries, compile time
    ReverseEntry entry{upper[i], static_cast<unsigned char>(0x80 + i)};
    int j = i;
    for (; j > 0 && table[j - 1].c > entry.c; --j) table[j] = table[j - 1];
    table[j] = entry;
  }
  return table;
}

struct SingleByteCodePage {
  const UpperHalf* upper;
  ReverseTable reverse;
  bool has_glyphs;
};

constexpr SingleByteCodePage kCp437 = {&kCp437Upper, MakeReverse(kCp437Upper), true};
constexpr SingleByteCodePage kCp1252 = {&kCp1252Upper, MakeReverse(kCp1252Upper), false};

// Each table is a bijection between the 256 bytes and 256 characters.
constexpr bool IsBijection(const SingleByteCodePage& page) {
  for (int i = 0; i < 128; ++i) {
    if (page.reverse[i].c < 0x80) return false;
    if (i > 0 && page.reverse[i - 1].c == page.reverse[i].c) return false;
  }
  return true;
}
static_assert(IsBijection(kCp437) && IsBijection(kCp1252));

char32_t ByteToChar(const SingleByteCodePage& page, unsigned char byte, bool glyphs) {
  if (byte >= 0x80) return (*page.upper)[byte - 0x80];
  if (glyphs && page.has_glyphs) {
    if (byte == 0x7F) return kCp437Glyph7F;
    if (byte != 0 && byte < 0x20) return kCp437Glyphs[byte];
  }
  return byte;
}

// CharToByte: the byte for c, or -1 when the code page lacks it.
int CharToByte(const SingleByteCodePage& page, char32_t c) {
  if (c < 0x80) return static_cast<int>(c);
  size_t low = 0;
  size_t high = page.reverse.size();
  while (low < high) {
    const size_t mid = (low + high) / 2;
    if (page.reverse[mid].c < c) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low < page.reverse.size() && page.reverse[low].c == c) return page.reverse[low].byte;
  return -1;
}

// ---------------------------------------------------------------------------
// Code page numbers.

constexpr UINT kCpThreadAcp = 3;  // CP_THREAD_ACP: the ANSI code page too

struct CodePage {
  const SingleByteCodePage* single;  // null for UTF-8
  bool named_utf8;                   // CP_UTF8 itself, not CP_ACP
};

bool ResolveCodePage(UINT code_page, CodePage* page) {
  switch (code_page) {
    case CP_ACP:
    case kCpThreadAcp: *page = {nullptr, false}; return true;
    case CP_UTF8: *page = {nullptr, true}; return true;
    case CP_OEMCP:
    case 437: *page = {&kCp437, false}; return true;
    case 1252: *page = {&kCp1252, false}; return true;
    default: return false;
  }
}

// ---------------------------------------------------------------------------
// Sink: where a converter puts its units. With a capacity of 0 it only
// counts (Win32's size query); otherwise it stores whole characters while
// they fit and remembers when one did not.
template <typename Unit>
class Sink {
 public:
  Sink(Unit* buffer, int capacity)
      : buffer_(capacity > 0 ? buffer : nullptr), capacity_(static_cast<size_t>(capacity)) {}

  void Put(const Unit* units, size_t count) {
    if (buffer_ != nullptr) {
      if (capacity_ - size_ < count) {
        full_ = true;
        return;
      }
      for (size_t i = 0; i < count; ++i) buffer_[size_ + i] = units[i];
    }
    size_ += count;
  }

  bool full() const { return full_; }

  // Result: the Win32 result, the count of units; 0 with
  // ERROR_INSUFFICIENT_BUFFER when the output did not fit (or could not be
  // counted in an int).
  int Result() const {
    if (full_ || size_ > static_cast<size_t>(INT_MAX)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    return static_cast<int>(size_);
  }

 private:
  Unit* buffer_;
  size_t capacity_;
  size_t size_ = 0;
  bool full_ = false;
};

size_t WideLength(const WCHAR* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// ---------------------------------------------------------------------------
// 437 <-> UTF-8 for the OEM conversions.

// Utf8ToOem: converts count bytes of UTF-8 at source to 437 at destination,
// which may be source itself (each character shrinks to one byte, written
// after it has been read). Returns the number of bytes written.
size_t Utf8ToOem(const char* source, size_t count, char* destination) {
  const auto* in = reinterpret_cast<const unsigned char*>(source);
  size_t read = 0;
  size_t written = 0;
  while (read < count) {
    char32_t c;
    read += DecodeUtf8(in + read, count - read, &c);
    const int byte = c == kInvalidChar ? -1 : CharToByte(kCp437, c);
    destination[written++] = byte < 0 ? '?' : static_cast<char>(byte);
  }
  return written;
}

// OemToUtf8: converts count bytes of 437 at source to UTF-8 at destination,
// a separate buffer of at least 3 * count bytes. Returns the bytes written.
size_t OemToUtf8(const char* source, size_t count, char* destination) {
  size_t written = 0;
  for (size_t i = 0; i < count; ++i)
    written += EncodeUtf8(ByteToChar(kCp437, static_cast<unsigned char>(source[i]), false),
                          destination + written);
  return written;
}

// OemToUtf8InPlace: converts the count bytes of 437 at text to UTF-8 in the
// same bytes, keeping as many leading characters as fit in count bytes.
// Returns the bytes of the result. The characters are written last to first:
// character i lands at or after offset i, so it only overwrites characters
// already converted.
size_t OemToUtf8InPlace(char* text, size_t count) {
  size_t kept = 0;
  size_t total = 0;
  for (; kept < count; ++kept) {
    const size_t width =
        Utf8Length(ByteToChar(kCp437, static_cast<unsigned char>(text[kept]), false));
    if (total + width > count) break;
    total += width;
  }
  size_t end = total;
  for (size_t i = kept; i-- > 0;) {
    char encoded[4];
    const size_t width =
        EncodeUtf8(ByteToChar(kCp437, static_cast<unsigned char>(text[i]), false), encoded);
    end -= width;
    memcpy(text + end, encoded, width);
  }
  return total;
}

BOOL InvalidParameter() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

}  // namespace
}  // namespace tqrtl::posix

using tqrtl::posix::CodePage;
using tqrtl::posix::Fail;
using tqrtl::posix::kInvalidChar;
using tqrtl::posix::kReplacementChar;
using tqrtl::posix::Sink;

extern "C" UINT WINAPI GetACP(void) { return CP_UTF8; }

extern "C" UINT WINAPI GetOEMCP(void) { return 437; }

extern "C" int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte,
                                          int multiByteCount, LPWSTR wideChar,
                                          int wideCharCount) {
  if (multiByte == nullptr || multiByteCount == 0 || multiByteCount < -1 || wideCharCount < 0 ||
      (wideChar == nullptr && wideCharCount != 0) ||
      static_cast<const void*>(wideChar) == static_cast<const void*>(multiByte))
    return Fail(ERROR_INVALID_PARAMETER);
  CodePage page;
  if (!tqrtl::posix::ResolveCodePage(codePage, &page)) return Fail(ERROR_INVALID_PARAMETER);
  if ((flags & ~static_cast<DWORD>(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS |
                                   MB_ERR_INVALID_CHARS)) != 0)
    return Fail(ERROR_INVALID_FLAGS);

  const auto* in = reinterpret_cast<const unsigned char*>(multiByte);
  const size_t count =
      multiByteCount == -1 ? strlen(multiByte) + 1 : static_cast<size_t>(multiByteCount);
  Sink<WCHAR> out(wideChar, wideCharCount);
  if (page.single != nullptr) {
    const bool glyphs = (flags & MB_USEGLYPHCHARS) != 0;
    for (size_t i = 0; i < count && !out.full(); ++i) {
      const WCHAR unit = static_cast<WCHAR>(tqrtl::posix::ByteToChar(*page.single, in[i], glyphs));
      out.Put(&unit, 1);
    }
  } else {
    for (size_t i = 0; i < count && !out.full();) {
      char32_t c;
      i += tqrtl::posix::DecodeUtf8(in + i, count - i, &c);
      if (c == kInvalidChar) {
        if ((flags & MB_ERR_INVALID_CHARS) != 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
        c = kReplacementChar;
      }
      WCHAR units[2];
      out.Put(units, tqrtl::posix::EncodeUtf16(c, units));
    }
  }
  return out.Result();
}

extern "C" int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideChar,
                                          int wideCharCount, LPSTR multiByte,
                                          int multiByteCount, LPCSTR defaultChar,
                                          LPBOOL usedDefaultChar) {
  if (wideChar == nullptr || wideCharCount == 0 || wideCharCount < -1 || multiByteCount < 0 ||
      (multiByte == nullptr && multiByteCount != 0) ||
      static_cast<const void*>(wideChar) == static_cast<const void*>(multiByte))
    return Fail(ERROR_INVALID_PARAMETER);
  CodePage page;
  if (!tqrtl::posix::ResolveCodePage(codePage, &page)) return Fail(ERROR_INVALID_PARAMETER);
  if ((flags & ~static_cast<DWORD>(WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR |
                                   WC_ERR_INVALID_CHARS | WC_COMPOSITECHECK |
                                   WC_NO_BEST_FIT_CHARS)) != 0)
    return Fail(ERROR_INVALID_FLAGS);
  // UTF-8 can encode everything, so Windows refuses a default character for
  // it; CP_ACP is let through because code written for a single-byte ANSI
  // code page passes one.
  if (page.named_utf8 && (defaultChar != nullptr || usedDefaultChar != nullptr))
    return Fail(ERROR_INVALID_PARAMETER);

  const size_t count =
      wideCharCount == -1 ? tqrtl::posix::WideLength(wideChar) + 1
                          : static_cast<size_t>(wideCharCount);
  Sink<char> out(multiByte, multiByteCount);
  bool used_default = false;
  if (page.single != nullptr) {
    const char fallback = defaultChar != nullptr ? defaultChar[0] : '?';
    // Unit by unit, as Windows does: a surrogate pair becomes two defaults.
    for (size_t i = 0; i < count && !out.full(); ++i) {
      const int byte = tqrtl::posix::CharToByte(*page.single, wideChar[i]);
      char converted = fallback;
      if (byte >= 0) {
        converted = static_cast<char>(byte);
      } else {
        used_default = true;
      }
      out.Put(&converted, 1);
    }
  } else {
    for (size_t i = 0; i < count && !out.full();) {
      char32_t c;
      i += tqrtl::posix::DecodeUtf16(wideChar + i, count - i, &c);
      if (c == kInvalidChar) {
        if ((flags & WC_ERR_INVALID_CHARS) != 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
        c = kReplacementChar;
        used_default = true;
      }
      char bytes[4];
      out.Put(bytes, tqrtl::posix::EncodeUtf8(c, bytes));
    }
  }
  const int result = out.Result();
  if (result != 0 && usedDefaultChar != nullptr) *usedDefaultChar = used_default ? TRUE : FALSE;
  return result;
}

extern "C" BOOL WINAPI CharToOemA(LPCSTR source, LPSTR destination) {
  if (source == nullptr || destination == nullptr) return tqrtl::posix::InvalidParameter();
  const size_t written = tqrtl::posix::Utf8ToOem(source, strlen(source), destination);
  destination[written] = '\0';
  return TRUE;
}

extern "C" BOOL WINAPI CharToOemBuffA(LPCSTR source, LPSTR destination, DWORD length) {
  if (source == nullptr || destination == nullptr) return tqrtl::posix::InvalidParameter();
  const size_t written = tqrtl::posix::Utf8ToOem(source, length, destination);
  memset(destination + written, 0, length - written);
  return TRUE;
}

extern "C" BOOL WINAPI OemToCharA(LPCSTR source, LPSTR destination) {
  if (source == nullptr || destination == nullptr) return tqrtl::posix::InvalidParameter();
  const size_t length = strlen(source);
  const size_t written = source == destination
                             ? tqrtl::posix::OemToUtf8InPlace(destination, length)
                             : tqrtl::posix::OemToUtf8(source, length, destination);
  destination[written] = '\0';
  return TRUE;
}

extern "C" BOOL WINAPI OemToCharBuffA(LPCSTR source, LPSTR destination, DWORD length) {
  if (source == nullptr || destination == nullptr) return tqrtl::posix::InvalidParameter();
  if (source == destination) {
    const size_t written = tqrtl::posix::OemToUtf8InPlace(destination, length);
    memset(destination + written, 0, length - written);
  } else {
    tqrtl::posix::OemToUtf8(source, length, destination);
  }
  return TRUE;
}
