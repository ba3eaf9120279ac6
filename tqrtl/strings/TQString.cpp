// TQString.cpp: the string type, its element helpers and hash.
//
// The file is divided into: the shared empty buffer and the buffer building
// blocks (allocation, release, copy before write), construction and
// assignment, the read-only members, the members that change the text in
// place, buffer access, resource loading, and the free functions.
//
// Ordering rule used throughout: when a string moves to a new buffer, the new
// buffer is allocated and filled before the old one is released. The source
// text may live in the old buffer (s = s.Mid(1), s += s), and a buffer that
// is shared can be freed by another thread the moment this string drops its
// reference. It also means an allocation failure leaves the string as it was.
#include "tqrtl/strings/TQString.h"

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "tqrtl/errors/TQException.h"

namespace {

// The shared empty buffer: a header that says "never shared, no text" and
// its NUL. It is constant-initialised, so strings built by static
// constructors of any module can point at it before anything else runs.
// Nothing ever writes to it; every writer checks IsSharedEmpty first.
struct EmptyBuffer {
  TQStringData header;
  char text[1];
};
constinit EmptyBuffer g_empty = {{-1, 0, 0}, {'\0'}};
static_assert(offsetof(EmptyBuffer, text) == sizeof(TQStringData),
              "the characters must follow the header directly");

bool IsSharedEmpty(const TQStringData* data) { return data == &g_empty.header; }

// Reads a buffer's reference count. Other sharers may change it at the same
// time through the interlocked operations (the inline Win32 ones, the same
// atomics TQInterlocked* wraps, without a call into an exported function on
// the copy path), so the read is atomic as well; acquire pairs
// with their releasing decrement, so that once we see ourselves as the only
// owner their last reads of the characters are behind us.
LONG LoadRefs(TQStringData* data) {
  return std::atomic_ref<LONG>(data->refs).load(std::memory_order_acquire);
}

// Adds a sharer to a buffer. A locked instruction costs about as much as the
// rest of a copy, and it is needed only when another thread may hold the
// same buffer. While the process has one thread, nobody else can reach the
// count, and when this thread later starts another, the start publishes the
// count as it stands; so a plain update is enough. (Plain, not relaxed
// atomic: were the reasoning ever wrong, ThreadSanitizer would see a race.)
void AddRef(TQStringData* data) {
  if (TQIsSingleThreaded()) {
    ++data->refs;
  } else {
    InterlockedIncrement(&data->refs);
  }
}

// Drops a sharer from a buffer (see AddRef); returns the new count.
LONG DropRef(TQStringData* data) {
  if (TQIsSingleThreaded()) return --data->refs;
  return InterlockedDecrement(&data->refs);
}

[[noreturn]] void ThrowOutOfMemory() { throw TQMemoryException(); }

// The sum of two non-negative lengths; a sum beyond int is a request no
// buffer can satisfy, reported as running out of memory.
int AddLengths(int a, int b) {
  if (a < 0 || b < 0 || b > INT_MAX - a) ThrowOutOfMemory();
  return a + b;
}

// The length of the text in `buffer`, looking at no more than `limit` bytes
// (a caller may have overwritten the NUL it was given).
int BoundedLength(const char* buffer, int limit) {
  const void* nul = std::memchr(buffer, '\0', static_cast<size_t>(limit));
  return nul == nullptr ? limit : static_cast<int>(static_cast<const char*>(nul) - buffer);
}

int WideLength(const unsigned short* text) {
  int length = 0;
  while (text[length] != 0) {
    if (length == INT_MAX) ThrowOutOfMemory();
    ++length;
  }
  return length;
}

// Room for the narrow form of a wide text of `wideLength` units: two bytes a
// unit, which covers every single- and double-byte code page, or more when
// the converter says it needs more (three bytes a unit in UTF-8).
int NarrowRoom(const unsigned short* text, int wideLength) {
  if (wideLength > INT_MAX / 2) ThrowOutOfMemory();
  int room = 2 * wideLength;
  const int needed = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(text), -1, nullptr, 0,
                                         nullptr, nullptr);
  if (needed - 1 > room) room = needed - 1;
  return room;
}

// Converts wide `text` to the process code page into `buffer` of `capacity`
// bytes. Returns the converter's count (NUL included), or 0. The text always
// ends within the buffer, even when the conversion fails.
int WideToNarrow(char* buffer, int capacity, const unsigned short* text) {
  if (capacity <= 0) return 0;
  const int count = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(text), -1, buffer,
                                        capacity, nullptr, nullptr);
  buffer[count > 0 ? count - 1 : 0] = '\0';
  return count > 0 ? count : 0;
}

// Converts the NUL-terminated `text` (`length` bytes) with `convert` into a
// new scratch buffer of three bytes a byte, the most a character grows to
// between the OEM and the process code pages. Returns null for empty text;
// *convertedLength receives the length of the result.
template <class Convert>
std::unique_ptr<char[]> ConvertCodePage(const char* text, int length, Convert convert,
                                        int* convertedLength) {
  *convertedLength = 0;
  if (length == 0) return nullptr;
  if (length > (INT_MAX - 1) / 3) ThrowOutOfMemory();
  const int room = 3 * length;
  std::unique_ptr<char[]> scratch(new (std::nothrow) char[static_cast<size_t>(room) + 1]);
  if (scratch == nullptr) ThrowOutOfMemory();
  scratch[room] = '\0';
  convert(text, scratch.get());
  *convertedLength = BoundedLength(scratch.get(), room);
  return scratch;
}

bool IsWhiteSpace(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

int Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

}  // namespace

// ---------------------------------------------------------------------------
// Buffer building blocks.

int TQString::SafeStrlen(const char* text) { return text == nullptr ? 0 : lstrlenA(text); }

void TQString::Init() { m_pchData = g_empty.text; }

void TQString::AllocBuffer(int length) {
  if (length == 0) {
    Init();
    return;
  }
  if (length < 0) ThrowOutOfMemory();
  const size_t bytes = sizeof(TQStringData) + static_cast<size_t>(length) + 1;
  void* block = ::operator new(bytes, std::nothrow);
  if (block == nullptr) ThrowOutOfMemory();
  TQStringData* data = static_cast<TQStringData*>(block);
  data->refs = 1;
  data->length = length;
  data->allocLength = length;
  data->data()[length] = '\0';
  m_pchData = data->data();
}

void TQString::Release(TQStringData* data) {
  if (IsSharedEmpty(data)) return;
  // 0: this was the last sharer. Below -1: the buffer was locked, so it had
  // this one owner only, and nobody else can reach it any more either.
  const LONG refs = DropRef(data);
  if (refs == 0 || refs < -1) ::operator delete(static_cast<void*>(data));
}

void TQString::FreeData(TQStringData* data) { ::operator delete(static_cast<void*>(data)); }

void TQString::Release() {
  Release(GetData());
  Init();
}

void TQString::CopyBeforeWrite() {
  TQStringData* old = GetData();
  if (LoadRefs(old) <= 1) return;
  AllocBuffer(old->length);
  std::memcpy(m_pchData, old->data(), static_cast<size_t>(old->length) + 1);
  Release(old);
}

void TQString::AllocBeforeWrite(int length) {
  TQStringData* data = GetData();
  if (LoadRefs(data) > 1 || length > data->allocLength) {
    Release();
    AllocBuffer(length);
  }
}

void TQString::AllocCopy(TQString& dest, int copyLength, int copyIndex, int extraLength) const {
  const int total = AddLengths(copyLength, extraLength);
  // Read the source before `dest` changes: it may be this very string.
  const char* source = m_pchData + copyIndex;
  TQStringData* old = dest.GetData();
  dest.AllocBuffer(total);
  if (copyLength > 0) std::memcpy(dest.m_pchData, source, static_cast<size_t>(copyLength));
  Release(old);
}

void TQString::AssignCopy(int length, const char* text) {
  TQStringData* old = GetData();
  if (LoadRefs(old) > 1 || length > old->allocLength) {
    AllocBuffer(length);
    if (length > 0) std::memcpy(m_pchData, text, static_cast<size_t>(length));
    Release(old);
    return;
  }
  if (IsSharedEmpty(old)) return;  // only empty text fits, and it is there
  // The text may be part of this very buffer (s = s + 2 as a pointer).
  if (length > 0) std::memmove(m_pchData, text, static_cast<size_t>(length));
  old->length = length;
  m_pchData[length] = '\0';
}

void TQString::ConcatCopy(int lengthA, const char* textA, int lengthB, const char* textB) {
  const int total = AddLengths(lengthA, lengthB);
  if (total == 0) return;
  AllocBuffer(total);
  if (lengthA > 0) std::memcpy(m_pchData, textA, static_cast<size_t>(lengthA));
  if (lengthB > 0) std::memcpy(m_pchData + lengthA, textB, static_cast<size_t>(lengthB));
}

void TQString::ConcatInPlace(int length, const char* text) {
  if (length == 0) return;
  TQStringData* data = GetData();
  if (LoadRefs(data) < 2 && length <= data->allocLength - data->length) {
    // `text` may be this string's own text; the ranges cannot overlap, but
    // memmove costs nothing extra here.
    std::memmove(m_pchData + data->length, text, static_cast<size_t>(length));
    data->length += length;
    m_pchData[data->length] = '\0';
    return;
  }
  // A new exact buffer; the old one (and any lock on it) is let go.
  ConcatCopy(data->length, m_pchData, length, text);
  Release(data);
}

// ---------------------------------------------------------------------------
// Construction and assignment.

TQString::TQString() { Init(); }

void TQString::CopyConstruct() {
  TQStringData* data = GetData();
  if (LoadRefs(data) >= 0) {
    AddRef(data);
    return;
  }
  // Empty or locked: a locked buffer is never shared, so copy its text.
  Init();
  if (!IsSharedEmpty(data)) AssignCopy(data->length, data->data());
}

TQString::TQString(const char* text) {
  Init();
  // Values below 0x10000 are resource ids passed where text is expected.
  if (text == nullptr || reinterpret_cast<UINT_PTR>(text) < 0x10000) return;
  const int length = lstrlenA(text);
  if (length > 0) {
    AllocBuffer(length);
    std::memcpy(m_pchData, text, static_cast<size_t>(length));
  }
}

TQString::TQString(const unsigned char* text) {
  Init();
  *this = reinterpret_cast<const char*>(text);
}

TQString::TQString(const unsigned short* text) {
  Init();
  if (text == nullptr || text[0] == 0) return;
  const int wideLength = WideLength(text);
  const int room = NarrowRoom(text, wideLength);
  AllocBuffer(room);
  WideToNarrow(m_pchData, room + 1, text);
  GetData()->length = BoundedLength(m_pchData, room);
}

TQString::TQString(char ch, int count) {
  Init();
  if (count < 1) return;
  AllocBuffer(count);
  std::memset(m_pchData, ch, static_cast<size_t>(count));
}

TQString::TQString(const char* text, int count) {
  Init();
  if (count == 0) return;
  AllocBuffer(count);
  std::memcpy(m_pchData, text, static_cast<size_t>(count));
}

const TQString& TQString::operator=(const TQString& source) {
  if (m_pchData == source.m_pchData) return *this;
  TQStringData* mine = GetData();
  TQStringData* theirs = source.GetData();
  const bool locked = LoadRefs(mine) < 0 && !IsSharedEmpty(mine);
  if (locked || LoadRefs(theirs) < 0) {
    AssignCopy(theirs->length, source.m_pchData);
  } else {
    AddRef(theirs);
    Release(mine);
    m_pchData = source.m_pchData;
  }
  return *this;
}

const TQString& TQString::operator=(const char* text) {
  AssignCopy(SafeStrlen(text), text);
  return *this;
}

const TQString& TQString::operator=(const unsigned char* text) {
  return *this = reinterpret_cast<const char*>(text);
}

const TQString& TQString::operator=(char ch) {
  AssignCopy(1, &ch);
  return *this;
}

const TQString& TQString::operator=(const unsigned short* text) {
  const int wideLength = text == nullptr ? 0 : WideLength(text);
  const int room = wideLength == 0 ? 0 : NarrowRoom(text, wideLength);
  AllocBeforeWrite(room);
  if (IsSharedEmpty(GetData())) return *this;
  if (wideLength == 0) {
    m_pchData[0] = '\0';
  } else {
    WideToNarrow(m_pchData, room + 1, text);
  }
  GetData()->length = BoundedLength(m_pchData, room);
  return *this;
}

// ---------------------------------------------------------------------------
// Comparison, extraction and searching. A null argument counts as "".

int TQString::Compare(const char* text) const {
  return Sign(std::strcmp(m_pchData, text == nullptr ? "" : text));
}

int TQString::CompareNoCase(const char* text) const {
  return _stricmp(m_pchData, text == nullptr ? "" : text);
}

int TQString::Collate(const char* text) const {
  return std::strcoll(m_pchData, text == nullptr ? "" : text);
}

TQString TQString::Mid(int first, int count) const {
  const int length = GetData()->length;
  if (first < 0) first = 0;
  if (count < 0) count = 0;
  TQString result;
  if (first > length) return result;
  if (count > length - first) count = length - first;
  AllocCopy(result, count, first, 0);
  return result;
}

TQString TQString::Mid(int first) const {
  if (first < 0) first = 0;
  return Mid(first, GetData()->length - first);
}

TQString TQString::Left(int count) const {
  const int length = GetData()->length;
  count = count < 0 ? 0 : (count > length ? length : count);
  TQString result;
  AllocCopy(result, count, 0, 0);
  return result;
}

TQString TQString::Right(int count) const {
  const int length = GetData()->length;
  count = count < 0 ? 0 : (count > length ? length : count);
  TQString result;
  AllocCopy(result, count, length - count, 0);
  return result;
}

TQString TQString::SpanIncluding(const char* set) const {
  return Left(static_cast<int>(std::strspn(m_pchData, set == nullptr ? "" : set)));
}

TQString TQString::SpanExcluding(const char* set) const {
  return Left(static_cast<int>(std::strcspn(m_pchData, set == nullptr ? "" : set)));
}

int TQString::Find(char ch) const {
  const char* hit = std::strchr(m_pchData, ch);
  return hit == nullptr ? -1 : static_cast<int>(hit - m_pchData);
}

int TQString::ReverseFind(char ch) const {
  const char* hit = std::strrchr(m_pchData, ch);
  return hit == nullptr ? -1 : static_cast<int>(hit - m_pchData);
}

int TQString::Find(const char* sub) const {
  const char* hit = std::strstr(m_pchData, sub == nullptr ? "" : sub);
  return hit == nullptr ? -1 : static_cast<int>(hit - m_pchData);
}

int TQString::FindOneOf(const char* set) const {
  const char* hit = std::strpbrk(m_pchData, set == nullptr ? "" : set);
  return hit == nullptr ? -1 : static_cast<int>(hit - m_pchData);
}

// ---------------------------------------------------------------------------
// Concatenation.

const TQString& TQString::operator+=(const char* text) {
  ConcatInPlace(SafeStrlen(text), text);
  return *this;
}

const TQString& TQString::operator+=(char ch) {
  ConcatInPlace(1, &ch);
  return *this;
}

const TQString& TQString::operator+=(const TQString& text) {
  ConcatInPlace(text.GetData()->length, text.m_pchData);
  return *this;
}

TQString operator+(const TQString& a, const TQString& b) {
  TQString result;
  result.ConcatCopy(a.GetData()->length, a.m_pchData, b.GetData()->length, b.m_pchData);
  return result;
}

TQString operator+(const TQString& a, const char* b) {
  TQString result;
  result.ConcatCopy(a.GetData()->length, a.m_pchData, TQString::SafeStrlen(b), b);
  return result;
}

TQString operator+(const char* a, const TQString& b) {
  TQString result;
  result.ConcatCopy(TQString::SafeStrlen(a), a, b.GetData()->length, b.m_pchData);
  return result;
}

TQString operator+(const TQString& a, char b) {
  TQString result;
  result.ConcatCopy(a.GetData()->length, a.m_pchData, 1, &b);
  return result;
}

TQString operator+(char a, const TQString& b) {
  TQString result;
  result.ConcatCopy(1, &a, b.GetData()->length, b.m_pchData);
  return result;
}

// ---------------------------------------------------------------------------
// In-place changes. Each starts with a private copy; the shared empty buffer
// is left alone, since there is nothing in it to change.

void TQString::SetAt(int index, char ch) {
  CopyBeforeWrite();
  m_pchData[index] = ch;
}

void TQString::MakeUpper() {
  CopyBeforeWrite();
  if (!IsSharedEmpty(GetData())) _strupr(m_pchData);
}

void TQString::MakeLower() {
  CopyBeforeWrite();
  if (!IsSharedEmpty(GetData())) _strlwr(m_pchData);
}

void TQString::MakeReverse() {
  CopyBeforeWrite();
  if (!IsSharedEmpty(GetData())) _strrev(m_pchData);
}

// The code-page conversions go through a scratch buffer: in a single-byte
// process code page the text keeps its length, but with UTF-8 one OEM byte
// can become three bytes, and the reverse direction shrinks. The result then
// replaces the text as an assignment would: in place when it fits a buffer
// this string owns, else in a new buffer of exactly its length.
void TQString::CharToOemA() {
  int length = 0;
  std::unique_ptr<char[]> converted = ConvertCodePage(
      m_pchData, GetData()->length, [](const char* from, char* to) { ::CharToOemA(from, to); },
      &length);
  if (converted != nullptr) AssignCopy(length, converted.get());
}

void TQString::OemToCharA() {
  int length = 0;
  std::unique_ptr<char[]> converted = ConvertCodePage(
      m_pchData, GetData()->length, [](const char* from, char* to) { ::OemToCharA(from, to); },
      &length);
  if (converted != nullptr) AssignCopy(length, converted.get());
}

void TQString::TrimRight() {
  CopyBeforeWrite();
  TQStringData* data = GetData();
  int end = data->length;
  while (end > 0 && IsWhiteSpace(m_pchData[end - 1])) --end;
  if (end == data->length) return;
  m_pchData[end] = '\0';
  data->length = end;
}

void TQString::TrimLeft() {
  CopyBeforeWrite();
  TQStringData* data = GetData();
  int start = 0;
  while (start < data->length && IsWhiteSpace(m_pchData[start])) ++start;
  if (start == 0) return;
  const int rest = data->length - start;
  std::memmove(m_pchData, m_pchData + start, static_cast<size_t>(rest) + 1);
  data->length = rest;
}

void TQString::Empty() {
  TQStringData* data = GetData();
  if (data->length == 0) return;
  if (LoadRefs(data) >= 0) {
    Release();
  } else {
    AssignCopy(0, nullptr);  // locked: keep the buffer the caller holds
  }
}

// ---------------------------------------------------------------------------
// Buffer access.

char* TQString::GetBuffer(int minLength) {
  TQStringData* old = GetData();
  if (LoadRefs(old) < 2 && minLength <= old->allocLength) return m_pchData;
  const int length = old->length;
  AllocBuffer(minLength > length ? minLength : length);
  if (!IsSharedEmpty(GetData())) {
    std::memcpy(m_pchData, old->data(), static_cast<size_t>(length) + 1);
    GetData()->length = length;
  }
  Release(old);
  return m_pchData;
}

void TQString::ReleaseBuffer(int newLength) {
  CopyBeforeWrite();
  TQStringData* data = GetData();
  if (IsSharedEmpty(data)) return;
  if (newLength == -1) newLength = BoundedLength(m_pchData, data->allocLength);
  data->length = newLength;
  m_pchData[newLength] = '\0';
}

char* TQString::GetBufferSetLength(int newLength) {
  GetBuffer(newLength);
  TQStringData* data = GetData();
  if (!IsSharedEmpty(data)) {
    data->length = newLength;
    m_pchData[newLength] = '\0';
  }
  return m_pchData;
}

void TQString::FreeExtra() {
  TQStringData* old = GetData();
  if (old->length == old->allocLength) return;
  AllocBuffer(old->length);
  if (old->length > 0) std::memcpy(m_pchData, old->data(), static_cast<size_t>(old->length));
  Release(old);
}

char* TQString::LockBuffer() {
  char* text = GetBuffer(0);
  // GetBuffer(0) left a buffer nobody else holds, so a plain store is safe.
  if (!IsSharedEmpty(GetData())) GetData()->refs = -1;
  return text;
}

void TQString::UnlockBuffer() {
  // Only a locked buffer is touched: setting a shared buffer's count to 1
  // would let its other sharers free it under each other.
  TQStringData* data = GetData();
  if (!IsSharedEmpty(data) && LoadRefs(data) < 0) data->refs = 1;
}

// ---------------------------------------------------------------------------
// Resource loading.

// Most resource strings are short, so the first attempt goes to the stack and
// the heap is touched once, for the final text. The system cuts a text that
// does not fit and reports how much it copied; a count that leaves fewer than
// three bytes spare may be such a cut, so the text is loaded again into
// buffers 256 bytes larger each time until it clearly fits.
int TQString::LoadStringA(unsigned int id, HINSTANCE module) {
  constexpr int kStep = 256;
  char local[kStep];
  int loaded = ::LoadStringA(module, id, local, kStep);
  if (loaded < 0) loaded = 0;
  if (kStep - loaded > 2) {
    AssignCopy(loaded, local);
    return loaded > 0 ? 1 : 0;
  }
  int size = kStep;
  do {
    if (size > INT_MAX - kStep) ThrowOutOfMemory();
    size += kStep;
    loaded = ::LoadStringA(module, id, GetBuffer(size - 1), size);
  } while (size - loaded < 3);
  ReleaseBuffer();
  return loaded > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Free functions.

const TQString& TQGetEmptyString() {
  static const TQString empty;
  return empty;
}

void TQConstructElements(TQString* elements, int count) {
  for (int i = 0; i < count; ++i) new (static_cast<void*>(elements + i)) TQString();
}

void TQDestructElements(TQString* elements, int count) {
  for (int i = 0; i < count; ++i) elements[i].~TQString();
}

void TQCopyElements(TQString* destination, const TQString* source, int count) {
  for (int i = 0; i < count; ++i) destination[i] = source[i];
}

unsigned int TQHashKey(const char* key) {
  unsigned int hash = 0;
  if (key == nullptr) return hash;
  // Bytes count as signed chars: 0x80..0xFF add negative values.
  for (; *key != '\0'; ++key)
    hash = hash * 33 + static_cast<unsigned int>(static_cast<signed char>(*key));
  return hash;
}

unsigned int TQHashKey(const unsigned short* key) {
  unsigned int hash = 0;
  if (key == nullptr) return hash;
  for (; *key != 0; ++key) hash = hash * 33 + *key;
  return hash;
}

unsigned int TQHashKey(TQString key) { return TQHashKey(static_cast<const char*>(key)); }
