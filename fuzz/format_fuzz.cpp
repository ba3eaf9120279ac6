// Fuzz target for TQString::Format: formats built from the input, with
// flags, widths and precisions (also '*' ones), over arguments whose types
// match their conversions. Checks that nothing crashes or trips a
// sanitizer, that the text equals what the C run-time makes of the same
// call (measured with _vscprintf, then formatted with _vsnprintf), and that
// the buffer is the engine's estimate (StrUtil::FormattedSize - 1), or the
// measured length where the estimate was short.
//
// The arguments come in a fixed order of types (two orders, chosen by the
// first byte), so each call site passes them correctly typed; the input
// picks, slot by slot, a conversion that takes that slot's type, or for an
// int slot a '*' width or precision of the next conversion.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/StrUtil.h"
#include "tqrtl/strings/TQString.h"

namespace {

enum Type { kInt, kLongLong, kDouble, kText, kWide, kPointer };

// Two orders of argument types; the call sites below pass exactly these.
constexpr Type kOrderA[] = {kInt, kText, kDouble, kInt, kWide, kLongLong,
                            kInt, kPointer, kDouble, kInt, kInt, kText};
constexpr Type kOrderB[] = {kDouble, kInt, kInt, kText, kWide, kInt,
                            kDouble, kPointer, kInt, kLongLong, kText, kInt};
constexpr int kSlots = 12;

struct Arguments {
  int ints[kSlots] = {};
  long long longs[kSlots] = {};
  double doubles[kSlots] = {};
  std::string texts[kSlots];
  bool null_text[kSlots] = {};
  std::vector<unsigned short> wides[kSlots];
  bool null_wide[kSlots] = {};
  std::uintptr_t pointers[kSlots] = {};

  const char* Text(int i) const { return null_text[i] ? nullptr : texts[i].c_str(); }
  const unsigned short* Wide(int i) const { return null_wide[i] ? nullptr : wides[i].data(); }
  void* Pointer(int i) const { return reinterpret_cast<void*>(pointers[i]); }
};

void AddFlagsWidthPrecision(FuzzedDataProvider& data, std::string& format, bool star_width,
                            bool star_precision) {
  const uint8_t flags = data.ConsumeIntegral<uint8_t>();
  const char kFlags[] = "-+ #0";
  for (int bit = 0; bit < 5; ++bit)
    if (flags & (1u << bit)) format += kFlags[bit];
  if (star_width) {
    format += '*';
  } else if (flags & 0x20) {
    // Mostly small widths; now and then one far beyond any estimate.
    const int width = (flags & 0x80) ? 5000 : data.ConsumeIntegralInRange(0, 300);
    format += std::to_string(width);
  }
  if (star_precision) {
    format += ".*";
  } else if (flags & 0x40) {
    format += '.';
    if (data.ConsumeBool()) format += std::to_string(data.ConsumeIntegralInRange(0, 400));
  }
}

// Builds the format for one order of types and fills the arguments.
std::string BuildFormat(FuzzedDataProvider& data, const Type* order, Arguments& args) {
  std::string format;
  bool star_width = false;
  bool star_precision = false;
  for (int slot = 0; slot < kSlots && data.remaining_bytes() > 0; ++slot) {
    // Literal text between conversions, with an occasional "%%".
    const std::string literal = data.ConsumeRandomLengthString(8);
    for (char c : literal) {
      if (c == '%')
        format += "%%";
      else if (c != '\0')
        format += c;
    }
    const Type type = order[slot];
    const uint8_t choice = data.ConsumeIntegral<uint8_t>();
    if (type == kInt && !star_precision && (choice & 0xC0) == 0xC0) {
      // This int is a '*' width or precision of the next conversion; a
      // width comes before a precision, in the format as in the arguments.
      if (!star_width && (choice & 1)) {
        star_width = true;
      } else {
        star_precision = true;
      }
      args.ints[slot] = data.ConsumeIntegralInRange(-600, 600);
      continue;
    }
    format += '%';
    AddFlagsWidthPrecision(data, format, star_width, star_precision);
    star_width = star_precision = false;
    // Conversions outside the engine's language (I64, E, w) take an
    // argument its estimate does not, so the estimate would read the
    // arguments after them as the wrong types: they may only come last.
    bool last = false;
    switch (type) {
      case kInt: {
        static const char* const kConversions[] = {"d", "i", "o", "u", "x", "X", "hd", "ld",
                                                   "c", "C", "hc", "lc", "hu", "Lx"};
        format += kConversions[choice % (sizeof(kConversions) / sizeof(kConversions[0]))];
        args.ints[slot] = data.ConsumeIntegral<int>();
        break;
      }
      case kLongLong:
        format += (choice & 1) ? "I64d" : "I64x";
        args.longs[slot] = data.ConsumeIntegral<long long>();
        last = true;
        break;
      case kDouble: {
        // No L: it takes a long double, which the call sites do not pass.
        static const char* const kConversions[] = {"e", "f", "g", "G", "E", "lf"};
        const char* conversion =
            kConversions[choice % (sizeof(kConversions) / sizeof(kConversions[0]))];
        format += conversion;
        last = conversion[0] == 'E';
        switch (data.ConsumeIntegralInRange(0, 3)) {
          case 0: args.doubles[slot] = data.ConsumeFloatingPoint<double>(); break;
          case 1: args.doubles[slot] = 1e300 * (choice & 1 ? -1 : 1); break;
          default: args.doubles[slot] = data.ConsumeFloatingPointInRange(-1e6, 1e6); break;
        }
        break;
      }
      case kText: {
        static const char* const kConversions[] = {"s", "hs", "hS", "Fs"};
        format += kConversions[choice % 4];
        args.null_text[slot] = (choice & 0x30) == 0x30;
        args.texts[slot] = data.ConsumeRandomLengthString(64);
        break;
      }
      case kWide: {
        static const char* const kConversions[] = {"S", "ls", "lS", "ws"};
        format += kConversions[choice % 4];
        last = (choice % 4) == 3;
        args.null_wide[slot] = (choice & 0x30) == 0x30;
        const size_t length = data.ConsumeIntegralInRange<size_t>(0, 32);
        for (size_t i = 0; i < length && data.remaining_bytes() >= 2; ++i) {
          const unsigned short unit = data.ConsumeIntegral<unsigned short>();
          if (unit != 0) args.wides[slot].push_back(unit);
        }
        break;
      }
      case kPointer:
        format += 'p';
        args.pointers[slot] = data.ConsumeIntegral<std::uintptr_t>();
        break;
    }
    if (last) break;
  }
  if (data.ConsumeBool()) format += '%';  // a lone '%' at the end
  for (auto& wide : args.wides) wide.push_back(0);
  return format;
}

// The C run-time's own text for the call, measured first; false when the
// run-time reports an error (a wide text with an unpaired surrogate cannot
// be converted, as on Windows).
bool Reference(std::string* text, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list measure;
  va_copy(measure, arguments);
  const int length = _vscprintf(format, measure);
  va_end(measure);
  if (length < 0) {
    va_end(arguments);
    return false;
  }
  text->assign(static_cast<size_t>(length) + 1, '\0');
  const int written = _vsnprintf(text->data(), text->size(), format, arguments);
  va_end(arguments);
  if (written != length) {
    std::fprintf(stderr, "format \"%s\": measured %d, wrote %d\n", format, length, written);
    std::abort();
  }
  text->resize(static_cast<size_t>(length));
  return true;
}

template <typename... Args>
void Check(const std::string& format, Args... args) {
  TQString formatted = "an earlier text, to be replaced";
  formatted.Format(format.c_str(), args...);
  std::string expected;
  const bool ok = Reference(&expected, format.c_str(), args...);
  const int length = formatted.GetLength();
  if (!ok) {
    // Whatever the run-time managed before its error; the string must
    // still be whole.
    if (static_cast<size_t>(length) != std::strlen(formatted) ||
        length > formatted.GetAllocLength()) {
      std::fprintf(stderr, "format \"%s\": inconsistent string after an error\n",
                   format.c_str());
      std::abort();
    }
    return;
  }
  if (static_cast<size_t>(length) != std::strlen(formatted) ||
      std::string(formatted, static_cast<size_t>(length)) !=
          expected.substr(0, std::strlen(expected.c_str()))) {
    std::fprintf(stderr, "format \"%s\": got \"%s\", expected \"%s\"\n", format.c_str(),
                 static_cast<const char*>(formatted), expected.c_str());
    std::abort();
  }
  // A fresh string's buffer is the estimate, or the measure when that is more.
  TQString fresh;
  fresh.Format(format.c_str(), args...);
  const long long estimate =
      static_cast<long long>(StrUtil::FormattedSize(format.c_str(), args...)) - 1;
  const long long measured = static_cast<long long>(expected.size());
  const long long room = measured <= estimate ? estimate : measured;
  if (fresh.GetAllocLength() != room) {
    std::fprintf(stderr, "format \"%s\": buffer %d, estimate %lld, text %lld\n", format.c_str(),
                 fresh.GetAllocLength(), estimate, measured);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  const bool order_a = data.ConsumeBool();
  Arguments a;
  const std::string format = BuildFormat(data, order_a ? kOrderA : kOrderB, a);
  try {
    if (order_a) {
      Check(format, a.ints[0], a.Text(1), a.doubles[2], a.ints[3], a.Wide(4), a.longs[5],
            a.ints[6], a.Pointer(7), a.doubles[8], a.ints[9], a.ints[10], a.Text(11));
    } else {
      Check(format, a.doubles[0], a.ints[1], a.ints[2], a.Text(3), a.Wide(4), a.ints[5],
            a.doubles[6], a.Pointer(7), a.ints[8], a.longs[9], a.Text(10), a.ints[11]);
    }
  } catch (...) {
    std::fprintf(stderr, "format \"%s\" threw\n", format.c_str());
    std::abort();
  }
  return 0;
}
