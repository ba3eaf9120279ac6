// TQString.h: the library's string type.
//
// TQString is narrow text in the process code page (UTF-8 on Linux) with
// value semantics. Copies share one buffer through a reference count and a
// sharer copies it only before changing it (copy on write), so passing and
// returning strings by value costs one increment of the count: an atomic
// one, or a plain one while the process has never had a second thread. The object
// holds exactly one pointer, to the characters; the header (TQStringData)
// sits just before them, and operator const char* is a plain read.
//
// Buffers are sized exactly: no member keeps slack of its own; spare room
// exists only where a caller asked for it (GetBuffer) or a string was
// shortened in place. The empty string is one static buffer (refs -1) that
// costs no allocation and never changes.
//
// Failure: every allocation failure throws TQMemoryException, and the string
// being changed still points at a valid buffer. Indexes and counts are not
// checked beyond what each member states.
//
// Thread-safety: strings that share a buffer may be copied and destroyed on
// different threads at once. One TQString object must not be used from two
// threads when one of them changes it.
#ifndef TQRTL_STRINGS_TQSTRING_H_
#define TQRTL_STRINGS_TQSTRING_H_

#include <atomic>

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQArray.h"

// TQStringData: the header of a string buffer; the characters follow it.
struct TQRTL_API TQStringData {
  LONG refs;        // sharers (>= 1), or -1: never shared (empty or locked)
  int length;       // characters in use, without the NUL
  int allocLength;  // characters the buffer holds, without the NUL

  // data: the first character, right after the header.
  char* data() { return reinterpret_cast<char*>(this + 1); }
  // operator=: copies the three header fields, not the characters.
  TQStringData& operator=(const TQStringData& other) {
    refs = other.refs;
    length = other.length;
    allocLength = other.allocLength;
    return *this;
  }
};

class TQRTL_API TQString {
 public:
  // Construction and destruction.
  TQString();
  // Copying and destruction are inline (below).
  TQString(const TQString& source);
  // A null pointer, or a value below 0x10000 (a resource id, not text),
  // gives the empty string and reads nothing.
  TQString(const char* text);
  TQString(const unsigned char* text);
  // Wide (UTF-16) text, converted to the process code page.
  TQString(const unsigned short* text);
  // `count` copies of `ch`; empty when count < 1.
  TQString(char ch, int count);
  // Exactly `count` bytes of `text` (embedded NULs included).
  TQString(const char* text, int count);
  ~TQString();

  // Assignment.
  const TQString& operator=(const TQString& source);
  const TQString& operator=(const char* text);
  const TQString& operator=(const unsigned char* text);
  const TQString& operator=(char ch);
  const TQString& operator=(const unsigned short* text);

  // Attributes and access.
  int GetLength() const { return GetData()->length; }
  int GetAllocLength() const { return GetData()->allocLength; }
  int IsEmpty() const { return GetData()->length == 0 ? 1 : 0; }
  operator const char*() const { return m_pchData; }
  // GetAt / operator[]: the byte at `index`. REQUIRES: 0 <= index <= length.
  char GetAt(int index) const { return m_pchData[index]; }
  char operator[](int index) const { return m_pchData[index]; }
  // SetAt: stores `ch` at `index` in a private copy. REQUIRES: 0 <= index < length.
  void SetAt(int index, char ch);

  // Comparison: -1, 0 or +1 by unsigned bytes; ignoring ASCII case (sign
  // only); by the locale's collation (sign only). Null compares as "".
  int Compare(const char* text) const;
  int CompareNoCase(const char* text) const;
  int Collate(const char* text) const;

  // Concatenation in place; a null pointer appends nothing.
  const TQString& operator+=(const char* text);
  const TQString& operator+=(char ch);
  const TQString& operator+=(const TQString& text);

  friend TQRTL_API TQString operator+(const TQString& a, const TQString& b);
  friend TQRTL_API TQString operator+(const TQString& a, const char* b);
  friend TQRTL_API TQString operator+(const char* a, const TQString& b);
  friend TQRTL_API TQString operator+(const TQString& a, char b);
  friend TQRTL_API TQString operator+(char a, const TQString& b);

  // Extraction. Negative `first` or `count` count as 0 and are clamped to
  // the text; an empty result is the shared empty string.
  TQString Mid(int first, int count) const;
  TQString Mid(int first) const;
  TQString Left(int count) const;
  TQString Right(int count) const;
  TQString SpanIncluding(const char* set) const;
  TQString SpanExcluding(const char* set) const;

  // Searching: a zero-based index, or -1. A null `sub` or `set` counts as "".
  int Find(char ch) const;
  int ReverseFind(char ch) const;
  int Find(const char* sub) const;
  int FindOneOf(const char* set) const;

  // In-place changes (each on a private copy).
  void MakeUpper();
  void MakeLower();
  void MakeReverse();
  // CharToOemA / OemToCharA: converts between the process code page and the
  // OEM code page. Where the converted text is longer than the original (OEM
  // to UTF-8 on Linux), the string gets a buffer of the right size.
  void CharToOemA();
  void OemToCharA();
  void TrimRight();
  void TrimLeft();
  void Empty();

  // Buffer access for callers that fill the characters themselves.
  //
  // GetBuffer: a private buffer with room for at least `minLength`
  // characters (and a NUL), the text and length kept; the pointer stays
  // valid until the string next changes. A buffer that is already private
  // and large enough is returned as it is; otherwise the new one holds
  // exactly max(minLength, length) characters.
  char* GetBuffer(int minLength);
  // ReleaseBuffer: ends a GetBuffer: the length becomes `newLength`, or the
  // length of the text up to its first NUL when it is -1.
  // REQUIRES: -1 <= newLength <= GetAllocLength().
  void ReleaseBuffer(int newLength = -1);
  // GetBufferSetLength: GetBuffer(newLength), then the length is newLength.
  // REQUIRES: newLength >= 0.
  char* GetBufferSetLength(int newLength);
  // FreeExtra: moves the text into a buffer of exactly its length.
  void FreeExtra();
  // LockBuffer: gives the string a private buffer and marks it never to be
  // shared: copies of a locked string copy its characters, and assignments
  // into it copy into the locked buffer, so the returned pointer stays
  // valid. The empty string cannot be locked. UnlockBuffer makes the buffer
  // shareable again. A string destroyed while locked frees its buffer.
  char* LockBuffer();
  void UnlockBuffer();

  // LoadStringA: loads string resource `id` of `module` (any length).
  // Returns 1 when a non-empty string was loaded, else 0 (the string is
  // then empty).
  int LoadStringA(unsigned int id, HINSTANCE module);

  // Formatting. Each member replaces the whole content of the string.
  // REQUIRES: no argument points into this string (its buffer may be
  // reused or replaced before the arguments are read).
  //
  // Format: printf-style formatting by the C run-time (the Microsoft
  // run-time's results on every build: %p in upper-case hex without 0x,
  // three-digit exponents, "(null)" for a null %s, 16-bit wide text for
  // %S, %C, %ls and %lc). The buffer is sized once by an estimate made
  // from the format before formatting (see FormatV), so after a Format the
  // string's GetAllocLength() is that estimate whenever the buffer had to be
  // replaced. The conversions the estimate knows are c C s S d i o u x X e
  // f g G p n, with the flags # * - + 0 blank, a width, a precision (also
  // .*) and one size modifier h l F L N; others (E, I64, ll) still print
  // completely, at the cost of a second measuring pass.
  // Throws TQMemoryException when the buffer cannot be had; the string is
  // then unchanged, except when the estimate fell short and the larger
  // buffer failed, which leaves it empty.
  void Format(const char* format, ...);
  // FormatX: Format with string resource `id` of `module` as the format. A
  // missing resource is an empty format, so the string becomes empty.
  void FormatX(unsigned int id, HINSTANCE module, ...);
  // FormatMessageA: formats a Win32 message template ("%1", "%2!d!", ...)
  // with the variadic arguments as its inserts, in order of their numbers.
  // When the system formatter fails (an empty result counts as a failure)
  // the string is unchanged and TQSystemException is thrown with the
  // system's error code.
  void FormatMessageA(const char* format, ...);

 protected:
  char* m_pchData;

  static int SafeStrlen(const char* text);
  TQStringData* GetData() const { return reinterpret_cast<TQStringData*>(m_pchData) - 1; }
  void Init();
  void AllocBuffer(int length);
  void Release();
  static void Release(TQStringData* data);
  // FreeData: frees a buffer that no string shares any more.
  static void FreeData(TQStringData* data);
  void CopyBeforeWrite();
  void AllocBeforeWrite(int length);
  void AllocCopy(TQString& dest, int copyLength, int copyIndex, int extraLength) const;
  void AssignCopy(int length, const char* text);
  void ConcatCopy(int lengthA, const char* textA, int lengthB, const char* textB);
  void ConcatInPlace(int length, const char* text);

  // CopyConstruct: the copy constructor's general case, for a string that
  // already holds the source's pointer: shares the buffer with an atomic
  // increment, or, when the source is empty or locked, takes the empty
  // buffer or a copy of the characters.
  void CopyConstruct();

  // FormatV: the engine behind Format and FormatX. Walks the format once to
  // estimate the output length (StrUtil::FormattedSize is the same estimate
  // plus the NUL), takes a buffer of that many characters with
  // GetBuffer, and formats into it with a size-limited call. When the
  // estimate falls short, the text is measured and formatted again into a
  // buffer of exactly the measured length, so nothing is ever written past
  // the buffer. `arguments` is not consumed: the engine works on copies.
  void FormatV(const char* format, va_list arguments);
};

// Copying and destroying a string are inline so that their common case, a
// shareable buffer, costs no call: while the process has only one thread, a
// plain change of the count with no locked instruction (see
// TQIsSingleThreaded); afterwards one interlocked instruction. The rest
// goes to the library: empty and locked buffers, and freeing the last
// sharer's buffer. The single-threaded accesses are plain on purpose:
// should a thread ever take that path while another can reach the buffer,
// ThreadSanitizer reports the race. A count above 0 read by a sharer stays
// above 0 while it shares (only a sole owner locks its buffer), so the
// relaxed read is enough to choose the path.
inline TQString::TQString(const TQString& source) : m_pchData(source.m_pchData) {
  TQStringData* data = GetData();
  if (TQIsSingleThreaded()) {
    if (data->refs > 0) {
      ++data->refs;
      return;
    }
  } else if (std::atomic_ref<LONG>(data->refs).load(std::memory_order_relaxed) > 0) {
    InterlockedIncrement(&data->refs);
    return;
  }
  CopyConstruct();
}

inline TQString::~TQString() {
  TQStringData* data = GetData();
  if (TQIsSingleThreaded()) {
    // While another sharer stays, nothing is freed.
    if (data->refs > 1) {
      --data->refs;
      return;
    }
  } else if (std::atomic_ref<LONG>(data->refs).load(std::memory_order_relaxed) > 0) {
    // The full barrier of the decrement orders every sharer's reads before
    // the last one frees the buffer.
    if (InterlockedDecrement(&data->refs) == 0) FreeData(data);
    return;
  }
  Release(data);
}

// TQGetEmptyString: the static empty string.
TQRTL_API const TQString& TQGetEmptyString();

// Element helpers for containers of strings.
// TQConstructElements: makes `count` raw slots empty strings (no count changes).
TQRTL_API void TQConstructElements(TQString* elements, int count);
TQRTL_API void TQDestructElements(TQString* elements, int count);
TQRTL_API void TQCopyElements(TQString* destination, const TQString* source, int count);

// TQHashKey: h = h * 33 + c over the characters, in wrapping 32-bit
// arithmetic; narrow bytes count as signed chars, wide units as unsigned.
TQRTL_API unsigned int TQHashKey(const char* key);
TQRTL_API unsigned int TQHashKey(const unsigned short* key);
TQRTL_API unsigned int TQHashKey(TQString key);

// The growable array of strings.
typedef TQArray<TQString, const TQString&> TQStringArray;

#endif  // TQRTL_STRINGS_TQSTRING_H_
