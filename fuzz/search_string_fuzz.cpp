// search_string_fuzz.cpp: libFuzzer target for parsing search strings.
//
// The input bytes, cut at the first NUL and NUL-terminated in a block of
// exactly that size, are parsed as an encoded search string. The result is
// then copied, assigned, rebuilt from its pattern name and text, and parsed
// again from its encoded form; every step must keep the class's invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tqrtl/strings/SearchString.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckInvariants(const SearchString& s) {
  const char* encoded = s;
  Check(encoded != nullptr);
  const size_t length = std::strlen(encoded);
  Check(s.Text() >= encoded && s.Text() <= encoded + length);
  const unsigned int attribs = s.Attribs();
  Check(attribs == 1 || attribs == 2 || attribs == 3);
  if (attribs == SearchString::kPlain) {
    Check(s.Text() == encoded);
    Check(s.PatternName().IsEmpty());
  } else {
    Check((attribs == SearchString::kPatternAndText) == (*s.Text() != '\0'));
    // A tagged form is "\<" name "\>" text, with a non-empty name that
    // holds no closing marker.
    const TQString name = s.PatternName();
    Check(!name.IsEmpty());
    Check(std::strncmp(encoded, "\\<", 2) == 0);
    Check(std::strstr(name, "\\>") == nullptr);
    Check(std::strncmp(encoded + 2, name, name.GetLength()) == 0);
    Check(std::strncmp(encoded + 2 + name.GetLength(), "\\>", 2) == 0);
    Check(encoded + 2 + name.GetLength() + 2 == s.Text());
  }
  Check(s == s && !(s != s));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const void* nul = std::memchr(data, 0, size);
  const size_t length = nul != nullptr ? static_cast<const uint8_t*>(nul) - data : size;
  std::unique_ptr<char[]> input(new char[length + 1]);
  std::memcpy(input.get(), data, length);
  input[length] = '\0';

  const SearchString parsed(input.get());
  CheckInvariants(parsed);
  const bool escaped = std::strncmp(input.get(), "\\\\<", 3) == 0;
  Check(std::strcmp(parsed, escaped ? input.get() + 1 : input.get()) == 0);
  if (parsed.Attribs() == SearchString::kPlain && !escaped &&
      std::strncmp(input.get(), "\\<", 2) == 0) {
    // A plain search that opens with "\<" has no name: no closing marker,
    // or one right after the opening one.
    const char* close = std::strstr(input.get() + 2, "\\>");
    Check(close == nullptr || close == input.get() + 2);
  }

  const SearchString copy(parsed);
  CheckInvariants(copy);
  Check(copy == parsed);
  Check(copy.Text() - static_cast<const char*>(copy) ==
        parsed.Text() - static_cast<const char*>(parsed));

  SearchString assigned("\\<x\\>y");
  assigned = parsed;
  CheckInvariants(assigned);
  Check(assigned == parsed);

  const SearchString rebuilt(parsed.PatternName(), parsed.Text());
  CheckInvariants(rebuilt);
  Check(rebuilt == parsed);

  // Only the escape is lost when the encoded form is parsed again.
  const SearchString reparsed(static_cast<const char*>(parsed));
  CheckInvariants(reparsed);
  if (!escaped) Check(reparsed == parsed);
  return 0;
}
