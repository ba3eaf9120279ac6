// SegmentedString, UniqueSegmentedString and DirectoryPathString.
#include "tqrtl/strings/SegmentedString.h"

#include "tqrtl/strings/StrUtil.h"

namespace {

const char* SeparatorOrDefault(const char* separator) {
  return separator != nullptr && *separator != '\0' ? separator : ";";
}

}  // namespace

// ---------------------------------------------------------------------------
// SegmentedString

SegmentedString::SegmentedString(const char* text, const char* separatorText)
    : separator(SeparatorOrDefault(separatorText)) {
  SegmentedString::Set(text);
}

SegmentedString::SegmentedString(const SegmentedString& other)
    : TQArray<TQString, const TQString&>(), separator(other.separator) {
  SegmentedString::Set(other.Joined());
}

SegmentedString::~SegmentedString() = default;

SegmentedString& SegmentedString::operator=(const SegmentedString& other) {
  if (this == &other) return *this;
  const TQString text = other.Joined();  // before the separator changes
  separator = other.separator;
  Set(text);
  return *this;
}

SegmentedString& SegmentedString::operator=(const char* text) {
  // `text` may be this list's own joined text, which Set empties first.
  const TQString copy(text);
  Set(copy);
  return *this;
}

bool SegmentedString::operator==(const SegmentedString& other) const {
  return Joined().Compare(other.Joined()) == 0;
}

bool SegmentedString::operator!=(const SegmentedString& other) const { return !(*this == other); }

int SegmentedString::Contains(const char* segment) const {
  const char* wanted = segment != nullptr ? segment : "";
  for (int i = 0; i < size; ++i) {
    if (_stricmp(data[i], wanted) == 0) return 1;
  }
  return 0;
}

SegmentedString::operator const char*() const {
  const_cast<SegmentedString*>(this)->ResyncValue();
  return value;
}

int SegmentedString::IsEmpty() const { return size == 0 ? 1 : 0; }

void SegmentedString::Insert(const char* text) {
  const TQString previous = Joined();
  const TQString inserted(text);  // `text` may point into this list's value
  Set(inserted);
  Append(previous);
}

void SegmentedString::Append(const char* text) {
  const TQString copy(text);
  StrUtil::SplitIntoArray(copy, this, separator);
}

SegmentedString SegmentedString::operator+(const char* text) {
  SegmentedString result(*this);
  result.SegmentedString::Append(text);
  return result;
}

SegmentedString SegmentedString::operator+(const SegmentedString& other) {
  SegmentedString result(*this);
  result.SegmentedString::Append(other.Joined());
  return result;
}

SegmentedString& SegmentedString::operator+=(const char* text) {
  Append(text);
  return *this;
}

SegmentedString& SegmentedString::operator+=(const SegmentedString& other) {
  Append(other.Joined());
  return *this;
}

void SegmentedString::Set(const char* text) {
  const TQString copy(text);
  value.Empty();
  Resize(0, -1);
  Append(copy);
}

void SegmentedString::ResyncValue() { value = Joined(); }

TQString SegmentedString::Joined() const {
  TQString joined;
  StrUtil::MergeIntoString(const_cast<SegmentedString&>(*this), &joined, separator);
  return joined;
}

// ---------------------------------------------------------------------------
// UniqueSegmentedString

UniqueSegmentedString::UniqueSegmentedString(const char* text, const char* separatorText)
    : SegmentedString("", separatorText) {
  UniqueSegmentedString::Set(text);
}

UniqueSegmentedString::UniqueSegmentedString(const UniqueSegmentedString& other)
    : SegmentedString("", other.separator) {
  UniqueSegmentedString::Set(static_cast<const char*>(other));
}

UniqueSegmentedString::~UniqueSegmentedString() = default;

UniqueSegmentedString& UniqueSegmentedString::operator=(const UniqueSegmentedString& other) {
  SegmentedString::operator=(other);
  return *this;
}

UniqueSegmentedString& UniqueSegmentedString::operator=(const SegmentedString& other) {
  SegmentedString::operator=(other);
  return *this;
}

UniqueSegmentedString& UniqueSegmentedString::operator=(const char* text) {
  SegmentedString::operator=(text);
  return *this;
}

void UniqueSegmentedString::Append(const char* text) {
  TQArray<TQString, const TQString&> pieces;
  const TQString copy(text);
  StrUtil::SplitIntoArray(copy, &pieces, separator);
  for (int i = 0; i < pieces.GetSize(); ++i) {
    if (!Contains(pieces.data[i])) Add(pieces.data[i]);
  }
}

void UniqueSegmentedString::Set(const char* text) { SegmentedString::Set(text); }

// ---------------------------------------------------------------------------
// DirectoryPathString

DirectoryPathString::DirectoryPathString(const char* text) : UniqueSegmentedString(text, ";") {}

DirectoryPathString::DirectoryPathString(const DirectoryPathString& other)
    : UniqueSegmentedString(other) {}

DirectoryPathString::~DirectoryPathString() = default;

DirectoryPathString& DirectoryPathString::operator=(const DirectoryPathString& other) {
  UniqueSegmentedString::operator=(other);
  return *this;
}

DirectoryPathString& DirectoryPathString::operator=(const SegmentedString& other) {
  UniqueSegmentedString::operator=(other);
  return *this;
}

DirectoryPathString& DirectoryPathString::operator=(const char* text) {
  UniqueSegmentedString::operator=(text);
  return *this;
}
