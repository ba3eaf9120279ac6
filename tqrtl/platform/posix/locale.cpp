// Locale information and number formatting: GetUserDefaultLCID,
// GetLocaleInfoA and GetNumberFormatA.
//
// The user's locale is the process's numeric locale as the environment names
// it (LC_ALL, then LC_NUMERIC, then LANG, the POSIX order). It is read with
// newlocale and nl_langinfo_l, never with setlocale, so asking does not change
// what the C library's own functions (printf, strtod) do in this process. The
// environment is read on every call; a program that changes it sees the new
// locale at the next call.
//
// The C locale has no thousands separator and no grouping, which would make
// every grouped number come out bare. The layer therefore gives the C locale
// (and POSIX, C.UTF-8, an unset environment, and any locale that is not
// installed) the values of a Windows English (United States) system: "." and
// ",", groups of three, LCID 0x409. The C library has no counterpart of the
// fraction-digit count, the leading-zero rule or the negative-number order
// for plain numbers, so those are the usual Windows values (2, 1 and 1) for
// every locale.
//
// Thread-safety: every function may be called from any thread, but like
// getenv it must not race with setenv or putenv.
#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {
namespace {

constexpr LCID kEnglishUs = 0x0409;
// What Windows reports for a user locale that has no LCID of its own.
constexpr LCID kCustomDefault = 0x0C00;
constexpr LCID kNeutral = 0x0000;

// Windows takes any fraction-digit count; this bound only keeps an absurd
// one from building gigabytes of zeros.
constexpr UINT kMostDigits = 1u << 20;

NumericLocale EnglishUs() {
  NumericLocale locale;
  locale.lcid = kEnglishUs;
  locale.decimal = ".";
  locale.thousands = ",";
  locale.grouping = "3;0";
  return locale;
}

// The C locale and its aliases; everything else names a real locale.
bool IsCLocaleName(std::string_view name) {
  return name.empty() || name == "C" || name == "POSIX" || name.starts_with("C.");
}

struct LcidEntry {
  const char* name;  // language_TERRITORY, as in a POSIX locale name
  LCID lcid;
};

// The LCIDs of the locales a user is most likely to run under. A locale not
// listed reports kCustomDefault, as Windows does for a locale without one.
constexpr LcidEntry kLcids[] = {
    {"cs_CZ", 0x0405}, {"da_DK", 0x0406}, {"de_AT", 0x0C07}, {"de_CH", 0x0807}, {"de_DE", 0x0407},
    {"el_GR", 0x0408}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_GB", 0x0809}, {"en_IE", 0x1809},
    {"en_IN", 0x4009}, {"en_NZ", 0x1409}, {"en_US", 0x0409}, {"es_ES", 0x0C0A}, {"es_MX", 0x080A},
    {"fi_FI", 0x040B}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C}, {"fr_FR", 0x040C},
    {"hu_HU", 0x040E}, {"it_CH", 0x0810}, {"it_IT", 0x0410}, {"ja_JP", 0x0411}, {"ko_KR", 0x0412},
    {"nb_NO", 0x0414}, {"nl_BE", 0x0813}, {"nl_NL", 0x0413}, {"pl_PL", 0x0415}, {"pt_BR", 0x0416},
    {"pt_PT", 0x0816}, {"ru_RU", 0x0419}, {"sk_SK", 0x041B}, {"sv_SE", 0x041D}, {"tr_TR", 0x041F},
    {"uk_UA", 0x0422}, {"zh_CN", 0x0804}, {"zh_TW", 0x0404},
};

LCID LcidOfLocaleName(std::string_view name) {
  // "de_DE.UTF-8@euro" -> "de_DE".
  name = name.substr(0, name.find_first_of(".@"));
  for (const LcidEntry& entry : kLcids) {
    if (name == entry.name) return entry.lcid;
  }
  return kCustomDefault;
}

// Guards the cache of UserLocale (and is held across fork()).
std::mutex g_user_locale_lock;

// The user's locale. The values are kept until the environment names another
// locale (or another LOCPATH): besides sparing a newlocale per call, this
// matters because glibc's newlocale leaks its copy of LOCPATH on every call
// while that variable is set.
NumericLocale UserLocale() {
  static std::string cached_key;
  static NumericLocale cached;
  const std::string name = NumericLocaleName();
  const char* path = getenv("LOCPATH");
  std::string key = name + '\n' + (path != nullptr ? path : "");
  const std::lock_guard<std::mutex> lock(g_user_locale_lock);
  if (cached_key.empty() || key != cached_key) {
    cached = ReadNumericLocale(name.c_str());
    cached_key = std::move(key);
  }
  return cached;
}

// The locale that the LCID stands for, or false when the layer does not know
// it. The user's own LCID and the default ones (user, system, neutral and
// custom, as Windows accepts them) give the user's locale; 0x409 is always
// known, because its values do not depend on the host.
bool LocaleForLcid(LCID lcid, NumericLocale* locale) {
  *locale = UserLocale();
  if (lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT || lcid == kNeutral ||
      lcid == kCustomDefault || lcid == locale->lcid) {
    return true;
  }
  if (lcid == kEnglishUs) {
    *locale = EnglishUs();
    return true;
  }
  return false;
}

// Copies `text` and its NUL into `data` the Win32 way: size 0 asks for the
// size, a buffer too small fails with ERROR_INSUFFICIENT_BUFFER.
int CopyOut(const std::string& text, LPSTR data, int size) {
  const int needed = static_cast<int>(text.size()) + 1;
  if (size == 0) return needed;
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(data, text.c_str(), static_cast<size_t>(needed));
  return needed;
}

// A number as GetNumberFormatA takes it: the digits before and after the
// decimal point, without leading zeros in the integer part.
struct Decimal {
  bool negative = false;
  std::string integer;
  std::string fraction;
};

// Parses "-?digits(.digits)?". Either digit run may be empty, even both
// ("", "-" and "." read as zero), as under Windows. Returns false for
// anything else.
bool ParseDecimal(const char* text, Decimal* number) {
  const char* p = text;
  number->negative = *p == '-';
  if (number->negative) ++p;
  while (*p >= '0' && *p <= '9') number->integer += *p++;
  if (*p == '.') {
    ++p;
    while (*p >= '0' && *p <= '9') number->fraction += *p++;
  }
  if (*p != '\0') return false;
  number->integer.erase(0, number->integer.find_first_not_of('0'));
  return true;
}

// Rounds to `digits` fraction digits, half away from zero, and pads the
// fraction with zeros to exactly that many.
void Round(Decimal* number, size_t digits) {
  if (number->fraction.size() <= digits) {
    number->fraction.append(digits - number->fraction.size(), '0');
    return;
  }
  const bool up = number->fraction[digits] >= '5';
  number->fraction.resize(digits);
  if (!up) return;
  // Add one in the last kept place, carrying through the fraction into the
  // integer part, which may grow by a digit ("99.5" -> "100").
  for (size_t i = digits; i-- > 0;) {
    if (number->fraction[i] != '9') {
      ++number->fraction[i];
      return;
    }
    number->fraction[i] = '0';
  }
  for (size_t i = number->integer.size(); i-- > 0;) {
    if (number->integer[i] != '9') {
      ++number->integer[i];
      return;
    }
    number->integer[i] = '0';
  }
  number->integer.insert(0, 1, '1');
}

// The integer digits with `separator` between groups. `grouping` is the
// NUMBERFMTA form: its decimal digits are the group sizes from the decimal
// point leftwards; a last digit 0 ends grouping after the groups before it,
// any other last size repeats (3 = 3;0 = every three, 32 = 3;2;0, 30 = one
// group of three and the rest together, 0 = no grouping).
std::string Group(const std::string& digits, UINT grouping, const char* separator) {
  std::string sizes = std::to_string(grouping);
  bool repeat = true;
  if (sizes.size() > 1 && sizes.back() == '0') {
    sizes.pop_back();
    repeat = false;
  }
  // Insert the separators from the right; each insertion leaves the
  // positions to its left where they were.
  std::string text = digits;
  size_t end = digits.size();
  for (size_t next = 0;; ++next) {
    size_t size = 0;
    if (next < sizes.size()) {
      size = static_cast<size_t>(sizes[next] - '0');
    } else if (repeat) {
      size = static_cast<size_t>(sizes.back() - '0');
    }
    if (size == 0 || size >= end) return text;
    end -= size;
    text.insert(end, separator);
  }
}

std::string FormatNumber(Decimal number, const NUMBERFMTA& format) {
  Round(&number, format.NumDigits);
  // A zero integer part is "0" with LeadingZero, otherwise nothing at all,
  // even when no fraction follows: "0.4" with no digits and no leading zero
  // is the empty text, as Windows gives it.
  std::string text;
  if (!number.integer.empty()) {
    text = Group(number.integer, format.Grouping, format.lpThousandSep);
  } else if (format.LeadingZero != 0) {
    text = "0";
  }
  if (!number.fraction.empty()) {
    text += format.lpDecimalSep;
    text += number.fraction;
  }
  // The sign stays on a value that rounds to zero ("-0.4" -> "-0").
  if (!number.negative) return text;
  switch (format.NegativeOrder) {
    case 0:
      return "(" + text + ")";
    case 1:
      return "-" + text;
    case 2:
      return "- " + text;
    case 3:
      return text + "-";
    default:
      return text + " -";
  }
}

}  // namespace

void LocaleForkPrepare() { g_user_locale_lock.lock(); }
void LocaleForkRelease() { g_user_locale_lock.unlock(); }

std::string NumericLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
    const char* value = getenv(variable);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "C";
}

std::string WindowsGrouping(const char* posix) {
  // The C library's form: one byte per group size from the decimal point
  // leftwards; the end of the string repeats the last size, CHAR_MAX (or
  // any value below 1) stops grouping. Windows writes sizes separated by
  // ';' and marks repetition with a final 0.
  std::string windows;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(posix);
  for (; *p != '\0'; ++p) {
    if (*p >= CHAR_MAX) break;  // CHAR_MAX, or a negative char seen unsigned
    if (!windows.empty()) windows += ';';
    windows += std::to_string(*p);
  }
  if (windows.empty()) return "0";
  if (*p == '\0') windows += ";0";
  return windows;
}

NumericLocale ReadNumericLocale(const char* name) {
  if (IsCLocaleName(name)) return EnglishUs();
  locale_t handle = newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(0));
  if (handle == static_cast<locale_t>(0)) return EnglishUs();
  NumericLocale locale;
  locale.lcid = LcidOfLocaleName(name);
  locale.decimal = nl_langinfo_l(RADIXCHAR, handle);
  locale.thousands = nl_langinfo_l(THOUSEP, handle);
  locale.grouping = WindowsGrouping(nl_langinfo_l(GROUPING, handle));
  freelocale(handle);
  if (locale.decimal.empty()) locale.decimal = ".";
  return locale;
}

}  // namespace tqrtl::posix

using tqrtl::posix::NumericLocale;

LCID WINAPI GetUserDefaultLCID(void) { return tqrtl::posix::UserLocale().lcid; }

int WINAPI GetLocaleInfoA(LCID locale, LCTYPE type, LPSTR data, int size) {
  if (size < 0 || (size > 0 && data == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  NumericLocale values;
  if (!tqrtl::posix::LocaleForLcid(locale, &values)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string text;
  switch (type & ~static_cast<LCTYPE>(LOCALE_NOUSEROVERRIDE)) {
    case LOCALE_SDECIMAL:
      text = values.decimal;
      break;
    case LOCALE_STHOUSAND:
      text = values.thousands;
      break;
    case LOCALE_SGROUPING:
      text = values.grouping;
      break;
    case LOCALE_IDIGITS:
      text = std::to_string(values.digits);
      break;
    case LOCALE_ILZERO:
      text = std::to_string(values.leading_zero);
      break;
    case LOCALE_INEGNUMBER:
      text = std::to_string(values.negative_order);
      break;
    default:
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
  }
  return tqrtl::posix::CopyOut(text, data, size);
}

int WINAPI GetNumberFormatA(LCID locale, DWORD flags, LPCSTR value, const NUMBERFMTA* format,
                            LPSTR number, int size) {
  if (value == nullptr || size < 0 || (size > 0 && number == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // LOCALE_NOUSEROVERRIDE asks for the locale's own format, so it conflicts
  // with an explicit one; other flag bits are ignored, as Windows does. With
  // an explicit format the locale plays no part, so any LCID is accepted.
  if ((flags & LOCALE_NOUSEROVERRIDE) != 0 && format != nullptr) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  NumericLocale values;
  NUMBERFMTA own{};
  if (format == nullptr) {
    if (!tqrtl::posix::LocaleForLcid(locale, &values)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    // The locale's "3;2;0" becomes the NUMBERFMTA number 32.
    UINT grouping = 0;
    for (char c : values.grouping) {
      if (c >= '0' && c <= '9') grouping = grouping * 10 + static_cast<UINT>(c - '0');
    }
    if (grouping % 10 == 0 && grouping != 0) {
      grouping /= 10;  // "3;0" -> 3: a final 0 means repeat
    } else if (grouping != 0) {
      grouping *= 10;  // "3" -> 30: no final 0, no repetition
    }
    own.NumDigits = static_cast<UINT>(values.digits);
    own.LeadingZero = static_cast<UINT>(values.leading_zero);
    own.Grouping = grouping;
    own.lpDecimalSep = values.decimal.data();
    own.lpThousandSep = values.thousands.data();
    own.NegativeOrder = static_cast<UINT>(values.negative_order);
    format = &own;
  }
  if (format->lpDecimalSep == nullptr || format->lpThousandSep == nullptr ||
      format->NegativeOrder > 4 || format->NumDigits > tqrtl::posix::kMostDigits) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  tqrtl::posix::Decimal parsed;
  if (!tqrtl::posix::ParseDecimal(value, &parsed)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return tqrtl::posix::CopyOut(tqrtl::posix::FormatNumber(parsed, *format), number, size);
}
