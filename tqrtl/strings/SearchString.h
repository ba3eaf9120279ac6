// SearchString.h: what a user searches for, as one C string.
//
// A search is either a plain text or a text tagged with the name of a search
// pattern. Both travel as one NUL-terminated string, the encoded form, so a
// tagged search can be stored, passed and compared like any text:
//
//   "\<" name "\>" text   a search for `text` with pattern `name`; the text
//                         may be empty, the name never is
//   "\\<" rest            a plain search for "\<" rest: the leading
//                         backslash escapes a text that itself begins with
//                         the opening marker (it is dropped when parsed)
//   anything else         a plain search for exactly that text
//
// (The markers are the two characters backslash and '<', backslash and '>'.)
// The object keeps the encoded form, a pointer to where the searched text
// starts in it, and attribute bits that say which kind of search it is.
//
// The encoding is not fully reversible: parsing drops the escaping
// backslash but the encoded form keeps no escape, so the encoded form of a
// plain search whose text begins with "\<" parses back as a different
// search. Everything else round-trips: a tagged search built from (name,
// text) parses back into the same name, text and attributes as long as the
// name holds no "\>".
//
// Failure: every constructor and the assignment throw TQMemoryException when
// the encoded copy cannot be allocated; a failed assignment leaves the
// target as it was. Null pointers count as empty texts.
//
// Thread-safety: none. An object is used by one thread at a time; distinct
// objects are independent.
#ifndef TQRTL_STRINGS_SEARCHSTRING_H_
#define TQRTL_STRINGS_SEARCHSTRING_H_

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

class TQRTL_API SearchString {
 public:
  // Values of Attribs(). Bit 2 means a pattern name is present; bit 1 is set
  // for every plain search and for a tagged search with a non-empty text.
  static constexpr unsigned int kPlain = 1;
  static constexpr unsigned int kPatternOnly = 2;
  static constexpr unsigned int kPatternAndText = 3;

  // SearchString(): the empty plain search, as SearchString("", "").
  SearchString();
  // SearchString(name, text): with an empty `name` a plain search for
  // `text`; otherwise the encoded form is "\<" name "\>" text and Text()
  // points just after the "\>". A name containing "\>" is stored as given,
  // but PatternName() and a re-parse then see only the part before it.
  SearchString(const char* name, const char* text);
  // SearchString(encoded): parses an encoded form (see the top of this
  // file). An opening "\<" without a closing "\>", or with nothing between
  // the two ("\<\>..."), makes a plain search for the whole string. Reads
  // `encoded` only up to its NUL.
  SearchString(const char* encoded);
  SearchString(const TQString& encoded);
  // Copies duplicate the encoded form; Text() keeps its offset in it.
  SearchString(const SearchString& other);
  SearchString& operator=(const SearchString& other);
  ~SearchString();

  // operator==: 1 when both are the same kind of search and the encoded
  // forms are equal byte for byte (letter case counts), else 0.
  int operator==(const SearchString& other) const;
  int operator!=(const SearchString& other) const;

  // operator const char*: the whole encoded form, owned by this object and
  // valid until it changes or dies. Never null.
  operator const char*() const { return m_encoded; }
  // Text: the searched text, a suffix of the encoded form. Never null.
  const char* Text() const { return m_text; }
  // Attribs: kPlain, kPatternOnly or kPatternAndText.
  unsigned int Attribs() const { return m_attribs; }
  // PatternName: for a tagged search the characters between the opening
  // "\<" and the first "\>" after it; for a plain search the empty string.
  // Throws TQMemoryException when the string cannot be allocated.
  TQString PatternName() const;

 protected:
  char* m_encoded;     // owned; malloc'ed, released with free
  const char* m_text;  // points into m_encoded
  unsigned int m_attribs;

 private:
  void Parse(const char* encoded);
};

#endif  // TQRTL_STRINGS_SEARCHSTRING_H_
