// format_message_fuzz.cpp: libFuzzer target for message templates and
// printf formats.
//
// Input: byte 0 picks what is fuzzed, byte 1 holds options, the rest is the
// payload.
//   0  FormatMessageA with the payload as template (FROM_STRING), into a
//      fixed buffer, into an allocated one, and with the same values as an
//      argument array and as a va_list; all must agree. Options: bit 0
//      IGNORE_INSERTS, bits 1-2 the line width (none, MAX_WIDTH_MASK, or a
//      small width taken from bits 3-7).
//   1  _snprintf with one conversion assembled from the payload (flags,
//      width and precision, possibly '*', a size prefix and a conversion
//      from a fixed table, so the argument's type is known), checked
//      against _vsnprintf's contract for every buffer size.
//   2  The engine's core with the payload as an arbitrary format in any
//      dialect; an argument source that always has a valid value of the
//      kind asked for makes any format safe. Doubles come from the payload's
//      bits, so infinities, NaNs and subnormals all appear.
// Every insert slot and every pointer argument points at a text that is
// valid both as a narrow string and as a 16-bit wide one.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tqrtl/platform/posix/crt_format.h"
#include "tqrtl/platform/win32.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Texts valid as char and as char16_t strings (each ASCII unit is a one-byte
// narrow string), one with an unpaired surrogate.
constexpr const char16_t* kTexts[] = {u"one", u"two words", u"", u"\xD800x",
                                      u"caf\u00E9 \U0001F600"};
constexpr size_t kTextCount = sizeof(kTexts) / sizeof(kTexts[0]);
constexpr int kSlots = 101;  // inserts 1..99 and two '*' after the last

DWORD_PTR Slot(int i) { return reinterpret_cast<DWORD_PTR>(kTexts[i % kTextCount]); }

#define TQ_S10(n)                                                                        \
  Slot(n), Slot(n + 1), Slot(n + 2), Slot(n + 3), Slot(n + 4), Slot(n + 5), Slot(n + 6), \
      Slot(n + 7), Slot(n + 8), Slot(n + 9)

DWORD FromList(DWORD flags, const char* message, char* buffer, DWORD size, ...) {
  va_list arguments;
  va_start(arguments, size);
  const DWORD length = FormatMessageA(flags, message, 0, 0, buffer, size, &arguments);
  va_end(arguments);
  return length;
}

void FuzzFormatMessage(uint8_t options, const char* message) {
  DWORD flags = FORMAT_MESSAGE_FROM_STRING;
  if (options & 1) flags |= FORMAT_MESSAGE_IGNORE_INSERTS;
  switch ((options >> 1) & 3) {
    case 1:
      flags |= FORMAT_MESSAGE_MAX_WIDTH_MASK;
      break;
    case 2:
      flags |= 1u + (options >> 3);
      break;
    default:
      break;
  }
  DWORD_PTR slots[kSlots];
  for (int i = 0; i < kSlots; ++i) slots[i] = Slot(i);
  va_list* array = reinterpret_cast<va_list*>(slots);

  char fixed[1024];
  const DWORD fixed_length = FormatMessageA(flags | FORMAT_MESSAGE_ARGUMENT_ARRAY, message, 0, 0,
                                            fixed, sizeof(fixed), array);
  const DWORD fixed_error = fixed_length == 0 ? GetLastError() : 0;
  if (fixed_length != 0) Check(fixed_length < sizeof(fixed) && fixed[fixed_length] == '\0');

  char* allocated = nullptr;
  const DWORD allocated_length =
      FormatMessageA(flags | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     message, 0, 0, reinterpret_cast<LPSTR>(&allocated), 0, array);
  Check((allocated_length != 0) == (allocated != nullptr));
  if (allocated != nullptr) {
    Check(allocated[allocated_length] == '\0');
    if (fixed_length != 0) {
      Check(fixed_length == allocated_length);
      Check(std::memcmp(fixed, allocated, fixed_length) == 0);
    } else {
      Check(fixed_error == ERROR_INSUFFICIENT_BUFFER && allocated_length >= sizeof(fixed));
    }
  } else if (fixed_length != 0) {
    std::abort();  // what fits in 1 KiB must fit in an allocated buffer
  }

  // The same values from a va_list give the same text.
  char listed[1024];
  const DWORD listed_length = FromList(flags, message, listed, sizeof(listed), TQ_S10(0),
                                       TQ_S10(10), TQ_S10(20), TQ_S10(30), TQ_S10(40), TQ_S10(50),
                                       TQ_S10(60), TQ_S10(70), TQ_S10(80), TQ_S10(90), Slot(100));
  Check(listed_length == fixed_length);
  if (listed_length != 0) Check(std::memcmp(listed, fixed, listed_length) == 0);
  LocalFree(allocated);
}

// Reads the payload front to back; zeros once it runs out.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint64_t Bits() {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = value << 8 | Byte();
    return value;
  }
  const uint8_t* rest() const { return data_ + position_; }
  size_t remaining() const { return position_ < size_ ? size_ - position_ : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

double DoubleFromBits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

enum class Kind { kInt, kInt64, kDouble, kText, kPointer };
struct Conversion {
  const char* text;
  Kind kind;
};
constexpr Conversion kConversions[] = {
    {"d", Kind::kInt},     {"i", Kind::kInt},      {"u", Kind::kInt},     {"x", Kind::kInt},
    {"X", Kind::kInt},     {"o", Kind::kInt},      {"c", Kind::kInt},     {"C", Kind::kInt},
    {"hd", Kind::kInt},    {"hhu", Kind::kInt},    {"ld", Kind::kInt},    {"lc", Kind::kInt},
    {"I32x", Kind::kInt},  {"I64d", Kind::kInt64}, {"lld", Kind::kInt64}, {"I64X", Kind::kInt64},
    {"Iu", Kind::kInt64},  {"e", Kind::kDouble},   {"E", Kind::kDouble},  {"f", Kind::kDouble},
    {"g", Kind::kDouble},  {"G", Kind::kDouble},   {"a", Kind::kDouble},  {"A", Kind::kDouble},
    {"s", Kind::kText},    {"S", Kind::kText},     {"ls", Kind::kText},   {"hs", Kind::kText},
    {"p", Kind::kPointer}, {"n", Kind::kPointer},  {"q", Kind::kInt},     {"%", Kind::kInt},
};

void FuzzSnprintf(Reader& in) {
  const uint8_t flags = in.Byte();
  const uint8_t shape = in.Byte();
  const Conversion& conversion =
      kConversions[in.Byte() % (sizeof(kConversions) / sizeof(kConversions[0]))];
  std::string format = "<%";
  for (int bit = 0; bit < 5; ++bit)
    if (flags & (1 << bit)) format += "-+ #0"[bit];
  const bool star_width = shape & 1;
  const bool star_precision = shape & 2;
  const int width = static_cast<int8_t>(in.Byte()) * ((shape & 4) ? 1000 : 1);
  const int precision = static_cast<int8_t>(in.Byte()) * ((shape & 8) ? 1000 : 1);
  if (star_width)
    format += '*';
  else if (width > 0)
    format += std::to_string(width);
  if (shape & 16) {
    format += '.';
    if (star_precision)
      format += '*';
    else if (precision >= 0)
      format += std::to_string(precision);
  }
  format += conversion.text;
  format += '>';

  const uint64_t bits = in.Bits();
  const char* text = reinterpret_cast<const char*>(kTexts[bits % kTextCount]);
  const void* pointer = (shape & 32) ? nullptr : text;
  int sink = 0;
  auto call = [&](char* buffer, size_t size) -> int {
    const char* f = format.c_str();
    const int32_t i = static_cast<int32_t>(bits);
    const long long ll = static_cast<long long>(bits);
    const double d = DoubleFromBits(bits);
    // The '*' values come first, then the conversion's own argument.
    auto with_stars = [&](auto value) {
      if (star_width && (shape & 16) && star_precision)
        return _snprintf(buffer, size, f, width, precision, value);
      if (star_width) return _snprintf(buffer, size, f, width, value);
      if ((shape & 16) && star_precision) return _snprintf(buffer, size, f, precision, value);
      return _snprintf(buffer, size, f, value);
    };
    switch (conversion.kind) {
      case Kind::kInt:
        return with_stars(i);
      case Kind::kInt64:
        return with_stars(ll);
      case Kind::kDouble:
        return with_stars(d);
      case Kind::kText:
        return with_stars(pointer);
      case Kind::kPointer:
        return with_stars(conversion.text[0] == 'n' ? &sink : pointer);
    }
    return 0;
  };

  const int length = call(nullptr, 0);
  Check(sink == 0);  // %n never writes
  if (length < 0 || length > (1 << 20)) return;
  std::vector<char> full(static_cast<size_t>(length) + 1, '#');
  Check(call(full.data(), full.size()) == length);
  Check(full[static_cast<size_t>(length)] == '\0');
  Check(full[0] == '<' && full[static_cast<size_t>(length) - 1] == '>');
  // Every shorter buffer: a cut text (-1, no NUL) or an exact fit (no NUL).
  const size_t size = bits % (static_cast<size_t>(length) + 2);
  std::vector<char> cut(size + 1, '#');
  const int result = call(cut.data(), size);
  if (size > static_cast<size_t>(length)) {
    Check(result == length && cut[static_cast<size_t>(length)] == '\0');
  } else {
    Check(result == (size == static_cast<size_t>(length) ? length : -1));
    Check(cut[size] == '#');
  }
  Check(std::memcmp(cut.data(), full.data(), size < static_cast<size_t>(length) ? size : length) ==
        0);
}

// Always has a valid value of the kind the engine asks for.
class SafeArguments final : public tqrtl::posix::PrintfArguments {
 public:
  explicit SafeArguments(uint64_t seed) : seed_(seed) {}
  int32_t NextInt() override { return static_cast<int32_t>(Next()); }
  int64_t NextInt64() override { return static_cast<int64_t>(Next()); }
  double NextDouble() override { return DoubleFromBits(Next()); }
  const void* NextPointer() override {
    const uint64_t value = Next();
    return value % 7 == 0 ? nullptr : kTexts[value % kTextCount];
  }

 private:
  uint64_t Next() {
    const uint64_t value = seed_;
    seed_ = seed_ * 6364136223846793005ull + 1442695040888963407ull;
    // Small widths and precisions are the interesting ones.
    return (value >> 60) == 0 ? value & 0x3F : value;
  }
  uint64_t seed_;
};

void FuzzCore(uint8_t options, Reader& in) {
  using tqrtl::posix::FormatPrintf;
  using tqrtl::posix::FormatSink;
  using tqrtl::posix::PrintfDialect;
  const PrintfDialect dialect = options % 3 == 0   ? PrintfDialect::kCrt
                                : options % 3 == 1 ? PrintfDialect::kMessageInsert
                                                   : PrintfDialect::kUser32;
  const uint64_t seed = in.Bits();
  // An exactly-sized copy, so reading past the end is caught.
  std::vector<char> format(in.rest(), in.rest() + in.remaining());

  SafeArguments measure_arguments(seed);
  FormatSink counter(nullptr, 0);
  const bool measured = FormatPrintf(dialect, std::string_view(format.data(), format.size()),
                                     measure_arguments, counter);
  if (counter.length() > (1 << 20)) return;
  std::vector<char> text(counter.length() + 1, '#');
  SafeArguments arguments(seed);
  FormatSink sink(text.data(), counter.length());
  Check(FormatPrintf(dialect, std::string_view(format.data(), format.size()), arguments, sink) ==
        measured);
  Check(sink.length() == counter.length() && text[counter.length()] == '#');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0] % 3;
  const uint8_t options = data[1];
  Reader in(data + 2, size - 2);
  if (mode == 0) {
    // The template, cut at its first NUL, in an exactly-sized block.
    const size_t length = strnlen(reinterpret_cast<const char*>(in.rest()), in.remaining());
    std::vector<char> message(in.rest(), in.rest() + length);
    message.push_back('\0');
    FuzzFormatMessage(options, message.data());
  } else if (mode == 1) {
    FuzzSnprintf(in);
  } else {
    FuzzCore(options, in);
  }
  return 0;
}
