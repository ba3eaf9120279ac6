// Tests of TQString: buffer sharing and copy on write, the shared empty
// buffer, locking, exact-fit growth, extraction, conversions, resource
// loading, hashing, and copies of one string on several threads.
#include "tqrtl/strings/TQString.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "process_support.h"
#include "test_support.h"
#include "tqrtl/errors/TQException.h"

namespace {

// The header in front of a string's characters.
const TQStringData& Header(const TQString& s) {
  return *(reinterpret_cast<const TQStringData*>(static_cast<const char*>(s)) - 1);
}

std::string Text(const TQString& s) { return std::string(s, static_cast<size_t>(s.GetLength())); }

void ExpectSharedEmpty(const TQString& s) {
  EXPECT_EQ(static_cast<const char*>(s), static_cast<const char*>(TQGetEmptyString()));
  EXPECT_EQ(Header(s).refs, -1);
  EXPECT_EQ(Header(s).length, 0);
  EXPECT_EQ(Header(s).allocLength, 0);
  EXPECT_EQ(s[0], '\0');
}

struct ResultCase {
  TQString result;
  const char* expected;
};

// Each result holds the expected text in a buffer of exactly its length
// (results are copies, never views of their source).
template <size_t N>
void ExpectExactResults(const ResultCase (&cases)[N]) {
  for (size_t i = 0; i < N; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Text(cases[i].result), cases[i].expected);
    EXPECT_EQ(cases[i].result.GetAllocLength(), cases[i].result.GetLength());
  }
}

// Exposes the protected building blocks to tests.
class ProbeString : public TQString {
 public:
  using TQString::ConcatCopy;
};

TEST(TQStringTest, EmptyResultsAllUseTheOneUnchangingBuffer) {
  const unsigned short no_wide[] = {0};
  TQString plain;
  TQString copy(plain);
  TQString assigned = "x";
  assigned = plain;  // a private buffer taking empty text keeps its room...
  TQString shared_then_emptied = "abc";
  TQString other = shared_then_emptied;
  shared_then_emptied.Empty();  // ...but Empty lets go of the buffer.
  TQString from_values[] = {
      TQString(static_cast<const char*>(nullptr)),
      TQString(reinterpret_cast<const char*>(5)),  // a resource id: nothing is read
      TQString(""),
      TQString('x', 0),
      TQString('x', -4),
      TQString("abc", 0),
      TQString(no_wide),
      TQString(static_cast<const unsigned short*>(nullptr)),
      TQString("abc").Mid(3),
      TQString("abc").Left(0),
      TQString("  \t").SpanExcluding(" "),
      TQString() + TQString(),
      TQString() + static_cast<const char*>(nullptr),
  };
  ExpectSharedEmpty(plain);
  ExpectSharedEmpty(copy);
  ExpectSharedEmpty(shared_then_emptied);
  for (const TQString& s : from_values) ExpectSharedEmpty(s);
  EXPECT_EQ(assigned.GetLength(), 0);
  EXPECT_EQ(assigned.GetAllocLength(), 1);
  EXPECT_EQ(Text(other), "abc");

  // Assigning, appending and changing empty text leave the header alone.
  plain = "";
  plain = TQGetEmptyString();
  plain += "";
  plain.MakeUpper();
  plain.MakeReverse();
  plain.TrimLeft();
  plain.TrimRight();
  plain.FreeExtra();
  plain.ReleaseBuffer();
  plain.LockBuffer();  // the empty buffer cannot be locked
  plain.UnlockBuffer();
  plain = no_wide;
  ExpectSharedEmpty(plain);
  ExpectSharedEmpty(TQGetEmptyString());

  alignas(TQString) unsigned char raw[3 * sizeof(TQString)];
  TQString* slots = reinterpret_cast<TQString*>(raw);
  TQConstructElements(slots, 3);
  for (int i = 0; i < 3; ++i) ExpectSharedEmpty(slots[i]);
  TQDestructElements(slots, 3);
  ExpectSharedEmpty(TQGetEmptyString());
}

TEST(TQStringTest, ConstructionAllocatesExactly) {
  TQString hello("hello");
  EXPECT_EQ(Text(hello), "hello");
  EXPECT_EQ(hello.GetAllocLength(), 5);
  EXPECT_EQ(Header(hello).refs, 1);
  EXPECT_EQ(hello[5], '\0');

  EXPECT_EQ(Text(TQString('z', 3)), "zzz");
  EXPECT_EQ(Text(TQString(reinterpret_cast<const unsigned char*>("bytes"))), "bytes");

  // A counted copy keeps embedded NULs in its length, though C-string uses
  // stop at the first.
  TQString counted("a\0b", 3);
  EXPECT_EQ(counted.GetLength(), 3);
  EXPECT_EQ(std::strlen(counted), 1u);
  EXPECT_EQ(Text(counted), std::string("a\0b", 3));
  EXPECT_FALSE(counted.IsEmpty());
}

TEST(TQStringTest, CopiesShareUntilOneChanges) {
  TQString a = "abc";
  TQString b;
  b = a;
  EXPECT_EQ(static_cast<const char*>(a), static_cast<const char*>(b));
  {
    TQString c(b);
    EXPECT_EQ(static_cast<const char*>(c), static_cast<const char*>(a));
    EXPECT_EQ(Header(a).refs, 3);
  }
  EXPECT_EQ(Header(a).refs, 2);

  b.SetAt(0, 'x');
  EXPECT_NE(static_cast<const char*>(a), static_cast<const char*>(b));
  EXPECT_EQ(Text(a), "abc");
  EXPECT_EQ(Text(b), "xbc");
  EXPECT_EQ(Header(a).refs, 1);
  EXPECT_EQ(Header(b).refs, 1);

  // Every in-place change takes its own copy first.
  TQString shared = " Mixed ";
  TQString upper = shared, lower = shared, reversed = shared, trimmed = shared;
  upper.MakeUpper();
  lower.MakeLower();
  reversed.MakeReverse();
  trimmed.TrimLeft();
  trimmed.TrimRight();
  EXPECT_EQ(Text(upper), " MIXED ");
  EXPECT_EQ(Text(lower), " mixed ");
  EXPECT_EQ(Text(reversed), " dexiM ");
  EXPECT_EQ(Text(trimmed), "Mixed");
  EXPECT_EQ(Text(shared), " Mixed ");
  EXPECT_EQ(Header(shared).refs, 1);
}

TEST(TQStringTest, AssignmentReusesPrivateRoomOnly) {
  TQString s = "ab";
  s.GetBuffer(10);
  s.ReleaseBuffer();
  const char* buffer = s;
  s = "hello";
  EXPECT_EQ(static_cast<const char*>(s), buffer);
  EXPECT_EQ(s.GetAllocLength(), 10);
  s = 'c';
  EXPECT_EQ(Text(s), "c");
  EXPECT_EQ(static_cast<const char*>(s), buffer);

  // A shared buffer is never written: the assigned string moves out.
  TQString other = s;
  s = "xyz";
  EXPECT_EQ(Text(other), "c");
  EXPECT_EQ(Text(s), "xyz");
  EXPECT_EQ(s.GetAllocLength(), 3);

  // Text taken from the string itself.
  s = "hello";
  s = static_cast<const char*>(s) + 2;
  EXPECT_EQ(Text(s), "llo");
  TQString t = s;
  s = static_cast<const char*>(s) + 1;  // from the buffer it is leaving
  EXPECT_EQ(Text(s), "lo");
  EXPECT_EQ(Text(t), "llo");
  s = s.Mid(1);
  EXPECT_EQ(Text(s), "o");
  s = static_cast<const char*>(nullptr);
  EXPECT_TRUE(s.IsEmpty());
}

TEST(TQStringTest, LockedBufferIsNeverShared) {
  TQString s = "abc";
  TQString earlier = s;
  char* locked = s.LockBuffer();
  // Locking a shared buffer first gives the string its own.
  EXPECT_NE(locked, static_cast<const char*>(earlier));
  EXPECT_EQ(Header(s).refs, -1);

  TQString copied(s);
  TQString assigned;
  assigned = s;
  EXPECT_NE(static_cast<const char*>(copied), locked);
  EXPECT_NE(static_cast<const char*>(assigned), locked);
  EXPECT_EQ(Text(copied), "abc");
  EXPECT_EQ(Text(assigned), "abc");

  // Assignments into a locked string copy into the locked buffer.
  s = TQString("xy");
  EXPECT_EQ(static_cast<const char*>(s), locked);
  EXPECT_EQ(Text(s), "xy");
  s.Empty();
  EXPECT_EQ(static_cast<const char*>(s), locked);
  EXPECT_EQ(s.GetLength(), 0);
  s = "abc";

  s.UnlockBuffer();
  EXPECT_EQ(Header(s).refs, 1);
  assigned = s;
  EXPECT_EQ(static_cast<const char*>(assigned), locked);
  EXPECT_EQ(Header(s).refs, 2);
  s.UnlockBuffer();  // not locked: a shared count is left as it is
  EXPECT_EQ(Header(s).refs, 2);

  // A lock does not survive a reallocation, and a string destroyed while
  // locked frees its buffer (the leak checker of the sanitizer build
  // watches both).
  TQString grows = "ab";
  grows.LockBuffer();
  grows += "cdef";
  EXPECT_EQ(Header(grows).refs, 1);
  TQString dies_locked = "ab";
  dies_locked.LockBuffer();
}

TEST(TQStringTest, ExtractionClampsToTheText) {
  const TQString abcd = "abcd";
  const ResultCase cases[] = {
      {abcd.Mid(1, 2), "bc"},
      {abcd.Mid(-3, 2), "ab"},
      {abcd.Mid(2, 99), "cd"},
      {abcd.Mid(1, -1), ""},
      {abcd.Mid(4), ""},
      {abcd.Mid(-5), "abcd"},
      {abcd.Mid(INT_MAX, INT_MAX), ""},
      {abcd.Mid(3, INT_MAX), "d"},
      {abcd.Left(-1), ""},
      {abcd.Left(3), "abc"},
      {abcd.Left(99), "abcd"},
      {abcd.Right(99), "abcd"},
      {abcd.Right(1), "d"},
      {abcd.Right(-2), ""},
      {TQString("aabxa").SpanIncluding("ab"), "aab"},
      {TQString("aabxa").SpanExcluding("x"), "aab"},
      {TQString("aab").SpanExcluding("q"), "aab"},
      {TQString("aab").SpanIncluding(""), ""},
  };
  ExpectExactResults(cases);
  EXPECT_EQ(Header(abcd).refs, 1);
}

TEST(TQStringTest, SearchAndCompare) {
  const TQString s = "abcabc";
  EXPECT_EQ(s.Find('b'), 1);
  EXPECT_EQ(s.Find('z'), -1);
  EXPECT_EQ(s.ReverseFind('b'), 4);
  EXPECT_EQ(s.Find("ca"), 2);
  EXPECT_EQ(s.Find(""), 0);
  EXPECT_EQ(s.FindOneOf("xc"), 2);
  EXPECT_EQ(s.FindOneOf("xyz"), -1);

  // Compare: unsigned bytes, results folded to -1, 0, 1.
  EXPECT_EQ(TQString("abc").Compare("abc"), 0);
  EXPECT_EQ(TQString("a").Compare("abc"), -1);
  EXPECT_EQ(TQString("b").Compare("abc"), 1);
  EXPECT_EQ(TQString("\xE9").Compare("z"), 1);  // 0xE9 sorts above ASCII
  EXPECT_EQ(TQString("Hello").CompareNoCase("hELLO"), 0);
  EXPECT_LT(TQString("abc").CompareNoCase("ABD"), 0);
  EXPECT_LT(TQString("_").CompareNoCase("A"), 0);  // compared in lower case
  EXPECT_EQ(TQString("same").Collate("same"), 0);
  EXPECT_LT(TQString("a").Collate("b"), 0);
}

TEST(TQStringTest, ConcatenationBuildsExactBuffers) {
  const TQString ab = "ab";
  const ResultCase cases[] = {
      {ab + TQString("cd"), "abcd"},
      {ab + "cd", "abcd"},
      {"cd" + ab, "cdab"},
      {ab + 'c', "abc"},
      {'c' + ab, "cab"},
      {ab + static_cast<const char*>(nullptr), "ab"},
      {static_cast<const char*>(nullptr) + ab, "ab"},
      {TQString() + "x", "x"},
  };
  ExpectExactResults(cases);
  EXPECT_EQ(Header(ab).refs, 1);

  // Appends without room reallocate to the exact size each time.
  TQString s = "ab";
  s += "cd";
  EXPECT_EQ(s.GetAllocLength(), 4);
  s += 'e';
  s += static_cast<const char*>(nullptr);
  s += TQString("f");
  EXPECT_EQ(Text(s), "abcdef");
  EXPECT_EQ(s.GetAllocLength(), 6);
  s += s;
  EXPECT_EQ(Text(s), "abcdefabcdef");

  // An append to a shared string leaves the other sharer alone.
  TQString t = s;
  t += "!";
  EXPECT_EQ(Text(s), "abcdefabcdef");
  EXPECT_EQ(Text(t), "abcdefabcdef!");

  // An append into spare room reads its own text correctly.
  TQString roomy = "xy";
  roomy.GetBuffer(8);
  roomy += roomy;
  roomy += static_cast<const char*>(roomy) + 1;
  EXPECT_EQ(Text(roomy), "xyxyyxy");
  EXPECT_EQ(roomy.GetAllocLength(), 8);
}

TEST(TQStringTest, TrimRemovesWhiteSpaceRuns) {
  struct Case {
    const char* input;
    const char* left;
    const char* right;
  } cases[] = {
      {"  ", "", ""},
      {"\t x", "x", "\t x"},
      {"x \r\n", "x \r\n", "x"},
      {" \v\f a b \t", "a b \t", " \v\f a b"},
      {"none", "none", "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    TQString left = c.input, right = c.input;
    left.TrimLeft();
    right.TrimRight();
    EXPECT_EQ(Text(left), c.left);
    EXPECT_EQ(Text(right), c.right);
  }
  // Trimming shortens in place; the room stays for later appends.
  TQString s = "ab   ";
  const char* buffer = s;
  s.TrimRight();
  s += "cd";
  EXPECT_EQ(static_cast<const char*>(s), buffer);
  EXPECT_EQ(Text(s), "abcd");
}

TEST(TQStringTest, GetBufferReservesAndFreeExtraGivesBack) {
  TQString s = "ab";
  char* p = s.GetBuffer(100);
  EXPECT_EQ(s.GetAllocLength(), 100);
  EXPECT_EQ(s.GetLength(), 2);
  EXPECT_STREQ(p, "ab");
  s += "cd";
  EXPECT_EQ(static_cast<const char*>(s), p);
  EXPECT_EQ(s.GetBuffer(50), p);  // already big enough and private
  s.FreeExtra();
  EXPECT_EQ(s.GetAllocLength(), 4);
  EXPECT_EQ(Text(s), "abcd");

  // A shared buffer is not handed out.
  TQString other = s;
  char* own = s.GetBuffer(0);
  EXPECT_NE(own, static_cast<const char*>(other));
  EXPECT_EQ(s.GetAllocLength(), 4);
  std::memcpy(own, "wxyz", 4);
  s.ReleaseBuffer();
  EXPECT_EQ(Text(s), "wxyz");
  EXPECT_EQ(Text(other), "abcd");

  // ReleaseBuffer measures the text, or takes the length given; it never
  // looks past the buffer, even when the caller wrote over the last NUL.
  p = s.GetBuffer(6);
  std::strcpy(p, "12");
  s.ReleaseBuffer();
  EXPECT_EQ(Text(s), "12");
  p = s.GetBuffer(6);
  std::memset(p, 'q', 7);
  s.ReleaseBuffer();
  EXPECT_EQ(Text(s), "qqqqqq");
  s.ReleaseBuffer(3);
  EXPECT_EQ(Text(s), "qqq");

  p = s.GetBufferSetLength(5);
  EXPECT_EQ(s.GetLength(), 5);
  EXPECT_EQ(p[5], '\0');
  s.GetBufferSetLength(1);
  s.FreeExtra();
  EXPECT_EQ(Text(s), "q");
  EXPECT_EQ(s.GetAllocLength(), 1);

  // Emptied in place, FreeExtra returns to the shared empty buffer.
  s.GetBufferSetLength(0);
  s.FreeExtra();
  ExpectSharedEmpty(s);
}

TEST(TQStringTest, WideTextIsConverted) {
  const unsigned short abc[] = {'a', 'b', 'c', 0};
  TQString s(abc);
  EXPECT_EQ(Text(s), "abc");
  EXPECT_EQ(s.GetAllocLength(), 6);  // two bytes a unit are reserved
  s = "previous";
  s = abc;
  EXPECT_EQ(Text(s), "abc");
  s = static_cast<const unsigned short*>(nullptr);
  EXPECT_TRUE(s.IsEmpty());

  // Text outside ASCII, in the code page of each build.
  const unsigned short e_acute[] = {0xE9, 0};
  const unsigned short cjk[] = {0x65E5, 0x672C, 0};  // three UTF-8 bytes each
  if (GetACP() == CP_UTF8) {
    EXPECT_EQ(Text(TQString(e_acute)), "\xC3\xA9");
    EXPECT_EQ(Text(TQString(cjk)), "\xE6\x97\xA5\xE6\x9C\xAC");
    s = cjk;
    EXPECT_EQ(Text(s), "\xE6\x97\xA5\xE6\x9C\xAC");
  } else if (GetACP() == 1252) {
    EXPECT_EQ(Text(TQString(e_acute)), "\xE9");
  }
}

TEST(TQStringTest, OemConversionsRoundTrip) {
  if (GetOEMCP() != 437) GTEST_SKIP() << "expects OEM code page 437";
  // 0x82 is e-acute in code page 437.
  std::string native;
  if (GetACP() == CP_UTF8) {
    native = "caf\xC3\xA9";
  } else if (GetACP() == 1252) {
    native = "caf\xE9";
  } else {
    GTEST_SKIP() << "expects code page 1252 or UTF-8";
  }
  TQString s = "caf\x82";
  TQString kept = s;
  s.OemToCharA();
  EXPECT_EQ(Text(s), native);
  EXPECT_EQ(s.GetAllocLength(), s.GetLength());
  EXPECT_EQ(Text(kept), "caf\x82");
  s.CharToOemA();
  EXPECT_EQ(Text(s), "caf\x82");

  TQString ascii = "plain";
  ascii.CharToOemA();
  EXPECT_EQ(Text(ascii), "plain");
  TQString empty;
  empty.OemToCharA();
  ExpectSharedEmpty(empty);
}

TEST(TQStringTest, LoadStringRetriesUntilTheTextFits) {
  const HINSTANCE module = GetModuleHandleA(nullptr);
  // Texts that leave fewer than three bytes of the first 256 spare are
  // loaded again with 512, 768, ... bytes; the final buffer shows which
  // attempt ended the loop.
  struct Case {
    unsigned int id;
    int allocLength;
  } cases[] = {
      {253, 253}, {254, 511}, {255, 511}, {300, 511}, {1200, 1279}, {1400, 1535},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    TQString s;
    EXPECT_EQ(s.LoadStringA(c.id, module), 1);
    EXPECT_EQ(Text(s), TestAlphabet(static_cast<int>(c.id)));
    EXPECT_EQ(s.GetAllocLength(), c.allocLength);
  }

  TQString s = "before";
  EXPECT_EQ(s.LoadStringA(1, module), 1);
  EXPECT_EQ(Text(s), "Short");
  EXPECT_EQ(s.LoadStringA(4, module), 0);  // an empty resource
  EXPECT_TRUE(s.IsEmpty());
  s = "before";
  EXPECT_EQ(s.LoadStringA(999, module), 0);  // no such resource
  EXPECT_TRUE(s.IsEmpty());
}

TEST(TQStringTest, HashKeys) {
  EXPECT_EQ(TQHashKey(""), 0u);
  EXPECT_EQ(TQHashKey("a"), 97u);
  EXPECT_EQ(TQHashKey("ab"), 3299u);
  EXPECT_EQ(TQHashKey("\xE9"), 4294967273u);  // the byte counts as -23
  EXPECT_EQ(TQHashKey(TQString("ab")), 3299u);

  const unsigned short wide_ab[] = {'a', 'b', 0};
  const unsigned short wide_high[] = {0xE9, 0xFFFF, 0};  // units count unsigned
  const unsigned short wide_empty[] = {0};
  EXPECT_EQ(TQHashKey(wide_ab), 3299u);
  EXPECT_EQ(TQHashKey(wide_high), 0xE9u * 33u + 0xFFFFu);
  EXPECT_EQ(TQHashKey(wide_empty), 0u);
}

TEST(TQStringTest, OversizedLengthsThrowMemoryException) {
  ProbeString s;
  EXPECT_THROW(s.ConcatCopy(INT_MAX, "", 1, "x"), TQMemoryException);
  EXPECT_THROW(TQString("abc", -1), TQMemoryException);
  ExpectSharedEmpty(s);
}

TEST(TQStringTest, CopiesOnManyThreadsKeepTheCountRight) {
  const TQString shared = "shared text";
  constexpr int kThreads = 8;
  constexpr int kRounds = 5000;
  std::vector<std::thread> threads;
  std::vector<int> mismatches(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&shared, &mismatches, t] {
      for (int i = 0; i < kRounds; ++i) {
        TQString copy(shared);
        TQString held[4] = {copy, copy, shared, copy};
        TQString assigned;
        assigned = held[i % 4];
        // A writer takes its own copy while the others keep sharing.
        if (i % 16 == t) {
          assigned.SetAt(0, 'S');
          if (std::strcmp(assigned, "Shared text") != 0) ++mismatches[t];
        }
        if (std::strcmp(copy, "shared text") != 0) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  EXPECT_EQ(Header(shared).refs, 1);
  EXPECT_EQ(Text(shared), "shared text");
}

// In a fresh process the counts of the first copies change without locks
// while there is one thread; the threads started afterwards must still see
// them right, and a ThreadSanitizer build must find no race between them.
TEST(TQStringTest, CopiesMadeBeforeTheFirstThreadAreSharedRightByLaterThreads) {
  EXPECT_EQ(RunHelper({"string-copies-on-new-threads"}), 0);
}

}  // namespace
