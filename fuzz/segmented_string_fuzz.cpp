// Fuzz target: segmented strings, which split lists read from settings and
// the environment. Checks, for any text and separator, that splitting and
// joining agree and that unique lists hold no two segments equal ignoring
// case.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tqrtl/strings/SegmentedString.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // First byte: the separator's length (1 to 3); then the separator; then
  // the text. NULs end texts here, so they become ';'.
  const size_t separator_length = 1 + data[0] % 3;
  if (size < 1 + separator_length) return 0;
  std::string separator(reinterpret_cast<const char*>(data + 1), separator_length);
  std::string text(reinterpret_cast<const char*>(data + 1 + separator_length),
                   size - 1 - separator_length);
  for (char& c : separator) c = c == '\0' ? ';' : c;
  for (char& c : text) c = c == '\0' ? ';' : c;

  const SegmentedString plain(text.c_str(), separator.c_str());
  const std::string joined = static_cast<const char*>(plain);
  // Joining gives the text back, or the text less a trailing separator.
  Check(joined == text || joined + separator == text);
  // Splitting the joined text again gives the same segments, but for an
  // empty last one (its trailing separator is dropped by the split).
  const SegmentedString again(joined.c_str(), separator.c_str());
  const int count = plain.GetSize();
  const bool empty_last = count > 0 && plain[count - 1].IsEmpty();
  Check(again.GetSize() == count - (empty_last ? 1 : 0));

  UniqueSegmentedString unique(text.c_str(), separator.c_str());
  for (int i = 0; i < unique.GetSize(); ++i) {
    Check(plain.Contains(unique[i]) == 1);
    for (int j = i + 1; j < unique.GetSize(); ++j) {
      Check(_stricmp(unique[i], unique[j]) != 0);
    }
  }
  unique.Insert(joined.c_str());
  Check(unique.GetSize() <= plain.GetSize());
  return 0;
}
