// SearchString.cpp: parsing and building the encoded form of a search.
//
// Every encoded copy is one malloc'ed block of exactly its length and a NUL.
// Parsing reads its input only up to the NUL: each look-ahead past the first
// character is guarded by the character before it being non-NUL.
#include "tqrtl/strings/SearchString.h"

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tqrtl/errors/TQException.h"
#include "tqrtl/strings/internal/search_string_testing.h"

namespace {

constexpr char kOpen[] = "\\<";
constexpr char kClose[] = "\\>";
constexpr size_t kMarkerLength = 2;

std::atomic<StrUtil::internal::SearchStringAllocationHook> g_allocation_hook{nullptr};

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// Allocate: `size` bytes from malloc; throws TQMemoryException when there are
// none (or the test hook says so).
char* Allocate(size_t size) {
  const auto hook = g_allocation_hook.load(std::memory_order_relaxed);
  void* memory = (hook != nullptr && hook(size)) ? nullptr : std::malloc(size);
  if (memory == nullptr) throw TQMemoryException();
  return static_cast<char*>(memory);
}

char* Duplicate(const char* text) {
  const size_t size = std::strlen(text) + 1;
  char* copy = Allocate(size);
  std::memcpy(copy, text, size);
  return copy;
}

bool StartsWithOpen(const char* s) { return s[0] == '\\' && s[1] == '<'; }

// The escape of a plain text that begins with the opening marker: "\\<".
bool StartsWithEscape(const char* s) { return s[0] == '\\' && StartsWithOpen(s + 1); }

}  // namespace

namespace StrUtil::internal {

SearchStringAllocationHook SetSearchStringAllocationHook(SearchStringAllocationHook hook) {
  return g_allocation_hook.exchange(hook);
}

}  // namespace StrUtil::internal

SearchString::SearchString() : SearchString("", "") {}

SearchString::SearchString(const char* name, const char* text) {
  name = OrEmpty(name);
  text = OrEmpty(text);
  if (*name == '\0') {
    m_encoded = Duplicate(text);
    m_text = m_encoded;
    m_attribs = kPlain;
    return;
  }
  const size_t name_length = std::strlen(name);
  const size_t text_length = std::strlen(text);
  // Only a name and text that share most of a 32-bit address space could
  // overflow the sum.
  if (text_length > SIZE_MAX - 2 * kMarkerLength - 1 - name_length) throw TQMemoryException();
  const size_t size = kMarkerLength + name_length + kMarkerLength + text_length + 1;
  char* p = m_encoded = Allocate(size);
  std::memcpy(p, kOpen, kMarkerLength);
  p += kMarkerLength;
  std::memcpy(p, name, name_length);
  p += name_length;
  std::memcpy(p, kClose, kMarkerLength);
  p += kMarkerLength;
  std::memcpy(p, text, text_length + 1);
  m_text = p;
  m_attribs = text_length != 0 ? kPatternAndText : kPatternOnly;
}

SearchString::SearchString(const char* encoded) { Parse(OrEmpty(encoded)); }

SearchString::SearchString(const TQString& encoded) { Parse(encoded); }

SearchString::SearchString(const SearchString& other)
    : m_encoded(Duplicate(other.m_encoded)),
      m_text(m_encoded + (other.m_text - other.m_encoded)),
      m_attribs(other.m_attribs) {}

SearchString& SearchString::operator=(const SearchString& other) {
  if (this == &other) return *this;
  // Copy first, so a failed allocation leaves this object as it was.
  char* copy = Duplicate(other.m_encoded);
  std::free(m_encoded);
  m_encoded = copy;
  m_text = copy + (other.m_text - other.m_encoded);
  m_attribs = other.m_attribs;
  return *this;
}

SearchString::~SearchString() { std::free(m_encoded); }

void SearchString::Parse(const char* s) {
  if (StartsWithEscape(s)) {
    // The backslash only protects the marker behind it; it is not searched.
    m_encoded = Duplicate(s + 1);
    m_text = m_encoded;
    m_attribs = kPlain;
    return;
  }
  if (StartsWithOpen(s)) {
    // The first closing marker ends the name; one right after the opening
    // marker would make an empty name, and then the text is plain.
    const char* close = std::strstr(s + kMarkerLength, kClose);
    if (close != nullptr && close != s + kMarkerLength) {
      m_encoded = Duplicate(s);
      m_text = m_encoded + (close - s) + kMarkerLength;
      m_attribs = *m_text != '\0' ? kPatternAndText : kPatternOnly;
      return;
    }
  }
  m_encoded = Duplicate(s);
  m_text = m_encoded;
  m_attribs = kPlain;
}

int SearchString::operator==(const SearchString& other) const {
  return m_attribs == other.m_attribs && std::strcmp(m_encoded, other.m_encoded) == 0 ? 1 : 0;
}

int SearchString::operator!=(const SearchString& other) const { return *this == other ? 0 : 1; }

TQString SearchString::PatternName() const {
  if (m_attribs == kPlain) return TQString();
  const char* name = m_encoded + kMarkerLength;
  // A tagged encoded form always holds a closing marker after the name.
  const char* close = std::strstr(name, kClose);
  const std::ptrdiff_t length = close - name;
  if (length > INT_MAX) throw TQMemoryException();
  return TQString(name, static_cast<int>(length));
}
