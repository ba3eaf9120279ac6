// unicode.h: UTF-8 and UTF-16 decoding and encoding for the POSIX layer.
// Not installed.
//
// Decoders take a pointer and a count and never read past the count, so they
// are safe on any bytes. An invalid sequence decodes to kInvalidChar and
// covers its maximal valid prefix (at least one unit), which is the Unicode
// recommendation for where one replacement character goes.
//
// Thread-safety: pure functions.
#ifndef TQRTL_PLATFORM_POSIX_UNICODE_H_
#define TQRTL_PLATFORM_POSIX_UNICODE_H_

#include <cstddef>

#include "tqrtl/platform/win32.h"

namespace tqrtl::posix {

inline constexpr char32_t kInvalidChar = 0xFFFFFFFFu;
inline constexpr char32_t kReplacementChar = 0xFFFDu;

// DecodeUtf8: the character that starts at text[0], where text holds `count`
// (>= 1) bytes. Stores it in *c (kInvalidChar for an invalid sequence:
// overlong forms, surrogates, values above U+10FFFF, stray or missing
// continuation bytes) and returns the number of bytes it takes (1 to 4).
constexpr size_t DecodeUtf8(const unsigned char* text, size_t count, char32_t* c) {
  const unsigned char lead = text[0];
  if (lead < 0x80) {
    *c = lead;
    return 1;
  }
  size_t trail;
  char32_t value;
  // The first continuation byte's range excludes overlong forms, surrogates
  // and values above U+10FFFF; later ones are always 0x80..0xBF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *c = kInvalidChar;
    return 1;
  }
  for (size_t i = 1; i <= trail; ++i) {
    if (i >= count || text[i] < low || text[i] > high) {
      *c = kInvalidChar;
      return i;
    }
    value = (value << 6) | (text[i] & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  *c = value;
  return trail + 1;
}

// DecodeUtf16: as DecodeUtf8 for UTF-16 units; an unpaired surrogate is
// kInvalidChar and takes one unit.
constexpr size_t DecodeUtf16(const WCHAR* text, size_t count, char32_t* c) {
  const char32_t unit = text[0];
  if (unit < 0xD800 || unit > 0xDFFF) {
    *c = unit;
    return 1;
  }
  if (unit <= 0xDBFF && count >= 2 && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
    *c = 0x10000 + ((unit - 0xD800) << 10) + (text[1] - 0xDC00u);
    return 2;
  }
  *c = kInvalidChar;
  return 1;
}

// Utf8Length: how many bytes EncodeUtf8 writes for c (a valid character).
constexpr size_t Utf8Length(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// EncodeUtf8: writes c (a valid character) to out[0..4) and returns the
// number of bytes written.
constexpr size_t EncodeUtf8(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

// EncodeUtf16: writes c (a valid character) to out[0..2) and returns the
// number of units written.
constexpr size_t EncodeUtf16(char32_t c, WCHAR* out) {
  if (c < 0x10000) {
    out[0] = static_cast<WCHAR>(c);
    return 1;
  }
  out[0] = static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
  out[1] = static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
  return 2;
}

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_UNICODE_H_
