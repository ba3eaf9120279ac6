// SegmentedString.h: lists of text segments that are also one separated
// text, such as the directory list "src;inc;lib".
//
// SegmentedString keeps the segments in its TQArray base and builds the
// joined text on demand, every time it is asked for (so it is never stale).
// UniqueSegmentedString refuses a segment equal, ignoring letter case, to one
// already present; DirectoryPathString is a unique list separated by ";".
// Segments are compared as texts only: no blanks are trimmed and no path
// separators added or removed, so "src" and "src/" are two segments.
//
// Splitting cuts the text at each occurrence of the separator, from the
// left; each piece before an occurrence is a segment, even when empty, and
// what follows the last occurrence is one only when not empty: with ";",
// "a;;b" is a, "", b and "a;" is a. Joining puts the separator between
// segments, so an empty segment shows as two adjacent separators.
//
// The separator may be longer than one character. An empty or null one is
// taken as ";" (an empty separator could never split anything).
//
// Allocation failures throw TQMemoryException; a refused duplicate is simply
// skipped. Thread-safety: none; one object is used by one thread at a time,
// and even reading the joined text rebuilds it.
#ifndef TQRTL_STRINGS_SEGMENTEDSTRING_H_
#define TQRTL_STRINGS_SEGMENTEDSTRING_H_

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQArray.h"
#include "tqrtl/strings/TQString.h"

class TQRTL_API SegmentedString : public TQArray<TQString, const TQString&> {
 public:
  // SegmentedString: the segments of `text` split at `separator`.
  SegmentedString(const char* text = "", const char* separator = ";");
  // The copy has `other`'s separator and the segments of its joined text.
  SegmentedString(const SegmentedString& other);
  virtual ~SegmentedString();

  // operator=: takes `other`'s separator, then (through the virtual Set)
  // the segments of its joined text; self-assignment does nothing.
  SegmentedString& operator=(const SegmentedString& other);
  // operator=: replaces the segments with those of `text` (virtual Set).
  SegmentedString& operator=(const char* text);

  // operator==, operator!=: the joined texts compared byte by byte, letter
  // case significant.
  bool operator==(const SegmentedString& other) const;
  bool operator!=(const SegmentedString& other) const;

  // Contains: 1 when a segment equals `segment` ignoring letter case, else 0.
  int Contains(const char* segment) const;

  // The joined text, rebuilt now (virtual ResyncValue). The pointer stays
  // valid until the object next changes or converts again.
  operator const char*() const;

  // IsEmpty: 1 when there are no segments, else 0.
  int IsEmpty() const;

  // Insert: the segments of `text` first, then the previous ones after them
  // (in a unique list, a previous segment that the new ones repeat goes).
  virtual void Insert(const char* text);
  // Append: adds the segments of `text` at the end, empty ones included.
  virtual void Append(const char* text);
  // operator+: a new plain SegmentedString with this one's separator and
  // segments, and `text` (or `other`'s joined text) appended without the
  // uniqueness rule, whatever the class of *this.
  virtual SegmentedString operator+(const char* text);
  virtual SegmentedString operator+(const SegmentedString& other);
  // operator+=: the virtual Append of `text` or of `other`'s joined text.
  virtual SegmentedString& operator+=(const char* text);
  virtual SegmentedString& operator+=(const SegmentedString& other);

 protected:
  // Set: empties the list (the element block freed, the growth step kept),
  // then the virtual Append of `text`.
  virtual void Set(const char* text);
  // ResyncValue: value = the segments joined with the separator.
  virtual void ResyncValue();

  // The joined text: a cache rebuilt on every conversion.
  mutable TQString value;
  // Placed between segments and searched for when splitting; never empty.
  TQString separator;

 private:
  // The joined text, rebuilt.
  TQString Joined() const;
};

class TQRTL_API UniqueSegmentedString : public SegmentedString {
 public:
  // UniqueSegmentedString: an empty list with `separator`, then the unique
  // Set of `text` (duplicates inside `text` dropped, the first one kept).
  UniqueSegmentedString(const char* text = "", const char* separator = ";");
  UniqueSegmentedString(const UniqueSegmentedString& other);
  ~UniqueSegmentedString() override;

  // As the SegmentedString assignments; the virtual Set keeps them unique.
  UniqueSegmentedString& operator=(const UniqueSegmentedString& other);
  UniqueSegmentedString& operator=(const SegmentedString& other);
  UniqueSegmentedString& operator=(const char* text);

  // Append: adds each segment of `text`, in order, unless Contains finds it
  // at that moment.
  void Append(const char* text) override;

 protected:
  void Set(const char* text) override;
};

class TQRTL_API DirectoryPathString : public UniqueSegmentedString {
 public:
  // DirectoryPathString: a unique list of `text` separated by ";".
  DirectoryPathString(const char* text = "");
  DirectoryPathString(const DirectoryPathString& other);
  ~DirectoryPathString() override;

  DirectoryPathString& operator=(const DirectoryPathString& other);
  DirectoryPathString& operator=(const SegmentedString& other);
  DirectoryPathString& operator=(const char* text);
};

#endif  // TQRTL_STRINGS_SEGMENTEDSTRING_H_
