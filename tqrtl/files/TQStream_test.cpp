// Tests of TQStream: the stored forms to the byte, hostile string lengths,
// the stream interface's results, and who closes a shared file.
#include "tqrtl/files/TQStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files_test_support.h"
#include "tqrtl/errors/TQException.h"

namespace {

using files_test::Hex;
using files_test::ReadBytes;
using files_test::ScratchDir;
using files_test::U32;
using files_test::WriteBytes;

LARGE_INTEGER Offset(LONGLONG v) {
  LARGE_INTEGER i;
  i.QuadPart = v;
  return i;
}

ULARGE_INTEGER Size(ULONGLONG v) {
  ULARGE_INTEGER i;
  i.QuadPart = v;
  return i;
}

ULONG Position(TQStream& s) {
  ULARGE_INTEGER at = Size(0xDEADBEEFDEADBEEFull);
  EXPECT_EQ(s.Data()->Seek(Offset(0), STREAM_SEEK_CUR, &at), S_OK);
  EXPECT_EQ(at.u.HighPart, 0u);
  return at.u.LowPart;
}

TEST(TQStreamTest, StoredFormsAreExactBytesAndReadBack) {
  ScratchDir dir;
  const std::string path = dir.File("forms.bin");
  {
    TQStream s(path.c_str(), "w+b");
    EXPECT_EQ(s.Write(static_cast<unsigned char>(0xA5)), 1);
    EXPECT_EQ(s.Write(static_cast<unsigned short>(0x1234)), 1);
    EXPECT_EQ(s.Write(static_cast<unsigned long>(0x89ABCDEFul)), 1);
    EXPECT_EQ(s.Write(TQString("abc")), 1);
    EXPECT_EQ(s.Write(TQString()), 1);
    EXPECT_EQ(s.Write("xy"), 1);
  }
  const std::string expected =
      std::string("\xA5\x34\x12\xEF\xCD\xAB\x89", 7) + U32(3) + "abc" + U32(0) + U32(2) + "xy";
  EXPECT_EQ(Hex(ReadBytes(path)), Hex(expected));

  TQStream s(path.c_str(), "r+b");
  unsigned char c = 0;
  unsigned short w = 0;
  unsigned long l = 0xFFFFFFFFul;
  TQString a, empty("was"), b;
  EXPECT_EQ(s.Read(&c), 1);
  EXPECT_EQ(s.Read(&w), 1);
  EXPECT_EQ(s.Read(&l), 1);
  EXPECT_EQ(s.Read(&a), 1);
  EXPECT_EQ(s.Read(&empty), 1);
  EXPECT_EQ(s.Read(&b), 1);
  EXPECT_EQ(c, 0xA5);
  EXPECT_EQ(w, 0x1234);
  EXPECT_EQ(l, 0x89ABCDEFul);  // zero-extended where unsigned long is wider
  EXPECT_STREQ(a, "abc");
  EXPECT_STREQ(empty, "");
  EXPECT_STREQ(b, "xy");
  // At the end, every read fails.
  EXPECT_EQ(s.Read(&c), 0);
  EXPECT_EQ(s.Read(&a), 0);
}

TEST(TQStreamTest, StringReadsTrustNoLengthBeyondTheFile) {
  ScratchDir dir;
  struct Case {
    const char* what;
    std::string bytes;
    int result;
    const char* text;  // the string afterwards
  };
  const Case cases[] = {
      {"four gigabytes promised", U32(0xFFFFFFFFul) + "abc", 0, "old"},
      {"two gigabytes promised", U32(0x7FFFFFFFul) + "abc", 0, "old"},
      {"more than the file holds", U32(10) + "abc", 0, "old"},
      {"length field cut short", std::string("\x03\x00", 2), 0, "old"},
      {"no bytes at all", "", 0, "old"},
      {"embedded NUL shortens", U32(5) + std::string("ab\0cd", 5), 1, "ab"},
      {"exact fit", U32(3) + "xyz", 1, "xyz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.File("string.bin");
    WriteBytes(path, c.bytes);
    TQStream s(path.c_str(), "rb");
    TQString text("old");
    EXPECT_EQ(s.Read(&text), c.result);
    EXPECT_STREQ(text, c.text);
  }
}

TEST(TQStreamTest, TypedReadsNeedEveryByte) {
  ScratchDir dir;
  TQStream s(dir.File("short.bin").c_str(), "w+b");
  ASSERT_EQ(s.Write(static_cast<unsigned short>(7)), 1);
  ASSERT_EQ(s.Rewind(), 1);
  unsigned long l = 0;
  EXPECT_EQ(s.Read(&l), 0);  // two bytes where four are needed: S_FALSE
  ULONG got = 99;
  char buffer[8];
  ASSERT_EQ(s.Rewind(), 1);
  EXPECT_EQ(s.Data()->Read(buffer, 8, &got), S_FALSE);
  EXPECT_EQ(got, 2u);
}

TEST(TQStreamTest, StreamInterfaceResults) {
  ScratchDir dir;
  const std::string path = dir.File("istream.bin");
  TQStream s(path.c_str(), "w+b");
  IStream* stream = s.Data();
  ASSERT_EQ(stream, static_cast<IStream*>(&s));
  ASSERT_EQ(stream->Write("hello", 5, nullptr), S_OK);

  // Seeking: each origin, the new position, and a bad origin that moves
  // nothing.
  ULARGE_INTEGER at;
  EXPECT_EQ(stream->Seek(Offset(1), STREAM_SEEK_SET, &at), S_OK);
  EXPECT_EQ(at.QuadPart, 1u);
  EXPECT_EQ(stream->Seek(Offset(2), STREAM_SEEK_CUR, &at), S_OK);
  EXPECT_EQ(at.QuadPart, 3u);
  EXPECT_EQ(stream->Seek(Offset(-1), STREAM_SEEK_END, &at), S_OK);
  EXPECT_EQ(at.QuadPart, 4u);
  EXPECT_EQ(stream->Seek(Offset(0), 3, &at), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(Position(s), 4u);
  // Only the low 32 bits of the offset count.
  EXPECT_EQ(stream->Seek(Offset(0x100000002ll), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(Position(s), 2u);

  // Commit flushes, but says it is not implemented.
  EXPECT_EQ(stream->Commit(0), E_NOTIMPL);

  // Only IStream is answered for (not even IUnknown), without a reference.
  const IID unknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  void* out = &s;
  EXPECT_EQ(stream->QueryInterface(unknown, &out), E_NOTIMPL);
  out = nullptr;
  EXPECT_EQ(stream->QueryInterface(kTQIID_IStream, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(stream));

  // Bad pointers are refused, not touched.
  ULONG* bad = nullptr;
  EXPECT_EQ(stream->Read(nullptr, 4, nullptr), STG_E_INVALIDPOINTER);
  EXPECT_EQ(stream->Write(nullptr, 4, nullptr), STG_E_INVALIDPOINTER);
  EXPECT_EQ(stream->Read(&out, 0, bad), S_OK);

  // SetSize: only to zero, which empties the file on disk.
  EXPECT_EQ(stream->SetSize(Size(3)), E_NOTIMPL);
  EXPECT_EQ(ReadBytes(path), "hello");
  EXPECT_EQ(stream->SetSize(Size(0)), S_OK);
  EXPECT_EQ(ReadBytes(path), "");
}

TEST(TQStreamTest, StatDescribesTheFile) {
  ScratchDir dir;
  const std::string path = dir.File("stat.bin");
  TQStream s(path.c_str(), "w+b");
  ASSERT_EQ(s.Write("abcdef"), 1);

  STATSTG st;
  std::memset(&st, 0, sizeof st);
  LPOLESTR untouched = reinterpret_cast<LPOLESTR>(&st);
  st.pwcsName = untouched;
  st.grfLocksSupported = 77;
  ASSERT_EQ(s.Data()->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.pwcsName, untouched);
  EXPECT_EQ(st.type, static_cast<DWORD>(STGTY_STREAM));
  EXPECT_EQ(st.cbSize.QuadPart, 10u);
  EXPECT_EQ(st.grfLocksSupported, 77u);
  // A time after 2001 is past 0x01C0_0000_0000_0000 in FILETIME units.
  EXPECT_GT(st.mtime.dwHighDateTime, 0x01C00000u);

  ASSERT_EQ(s.Data()->Stat(&st, STATFLAG_DEFAULT), S_OK);
  LPOLESTR first = st.pwcsName;
  ASSERT_NE(first, untouched);
  std::string name;
  for (LPOLESTR p = first; *p != 0; ++p) name += static_cast<char>(*p);
  EXPECT_STREQ(name.c_str(), s.Name());
  ASSERT_EQ(s.Data()->Stat(&st, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(st.pwcsName, first);  // the same buffer again
  EXPECT_EQ(s.Data()->Stat(&st, 2), STG_E_INVALIDFLAG);
  EXPECT_EQ(s.Data()->Stat(nullptr, STATFLAG_NONAME), STG_E_INVALIDPOINTER);
}

TEST(TQStreamTest, AStreamWithoutAFileRefusesEverything) {
  TQStream s;
  IStream* stream = s.Data();
  char buffer[4];
  STATSTG st;
  IStream* clone = nullptr;
  EXPECT_STREQ(s.Name(), "");
  EXPECT_EQ(stream->Read(buffer, 4, nullptr), E_UNEXPECTED);
  EXPECT_EQ(stream->Write(buffer, 4, nullptr), E_UNEXPECTED);
  EXPECT_EQ(stream->Seek(Offset(0), STREAM_SEEK_SET, nullptr), E_UNEXPECTED);
  EXPECT_EQ(stream->CopyTo(stream, Size(1), nullptr, nullptr), E_UNEXPECTED);
  EXPECT_EQ(stream->Commit(0), E_UNEXPECTED);
  EXPECT_EQ(stream->Stat(&st, STATFLAG_NONAME), E_UNEXPECTED);
  EXPECT_EQ(stream->Clone(&clone), E_UNEXPECTED);
  TQString text;
  unsigned char c;
  EXPECT_EQ(s.Rewind(), 0);
  EXPECT_EQ(s.Read(&text), 0);
  EXPECT_EQ(s.Write(text), 0);
  EXPECT_EQ(s.Read(&c), 0);
  EXPECT_EQ(s.Write(c), 0);
}

TEST(TQStreamTest, OpeningAMissingFileThrowsWithItsName) {
  ScratchDir dir;
  const std::string path = dir.File("missing.bin");
  try {
    TQStream s(path.c_str(), "rb");
    FAIL() << "no exception";
  } catch (const TQStreamOpenException& e) {
    char message[TQException::kMessageBufferSize];
    ASSERT_TRUE(e.GetErrorMessage(message));
    EXPECT_NE(std::string(message).find(path), std::string::npos) << message;
    EXPECT_EQ(e.GetError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
}

TEST(TQStreamTest, CopiesShareOneFileThatClosesOnce) {
  ScratchDir dir;
  const std::string path = dir.File("shared.bin");
  TQStream* copy;
  {
    TQStream owner(path.c_str(), "w+b");
    EXPECT_STREQ(owner.Name(), path.c_str());  // already a full path
    copy = new TQStream(owner);
    TQStream assigned;
    assigned = owner;
    ASSERT_EQ(owner.Write("one"), 1);
    ASSERT_EQ(assigned.Write("two"), 1);  // one file, one position
    EXPECT_STREQ(copy->Name(), owner.Name());
  }  // owner and assigned go; the copy still holds the file open
  ASSERT_EQ(copy->Write("three"), 1);
  delete copy;  // the last owner closes it
  EXPECT_EQ(ReadBytes(path), U32(3) + "one" + U32(3) + "two" + U32(5) + "three");

  // Assigning over the last owner closes its file instead of leaking it;
  // reopening the same path for writing then works everywhere.
  TQStream a(path.c_str(), "r+b");
  a = TQStream();
  TQStream b(path.c_str(), "w+b");
  EXPECT_EQ(b.Write("x"), 1);
}

TEST(TQStreamTest, CloneAndCopyToWorkOnTheirOwnDescriptors) {
  ScratchDir dir;
  const std::string path = dir.File("clone.bin");
  TQStream s(path.c_str(), "w+b");
  ASSERT_EQ(s.Data()->Write("0123456789", 10, nullptr), S_OK);
  ASSERT_EQ(s.Data()->Seek(Offset(4), STREAM_SEEK_SET, nullptr), S_OK);

  IStream* clone = nullptr;
  ASSERT_EQ(s.Data()->Clone(&clone), S_OK);
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(clone->AddRef(), 1u);
  char two[3] = {};
  ULONG got = 0;
  EXPECT_EQ(clone->Read(two, 2, &got), S_OK);
  EXPECT_STREQ(two, "45");

  // CopyTo from the original into the clone's file: all or nothing.
  TQStream target(dir.File("target.bin").c_str(), "w+b");
  ULARGE_INTEGER read = Size(99), written = Size(99);
  ASSERT_EQ(s.Data()->Seek(Offset(0), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(s.Data()->CopyTo(target.Data(), Size(3), &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, 3u);
  EXPECT_EQ(written.QuadPart, 3u);
  written = Size(99);
  // Four gigabytes asked, seven bytes there: nothing written, no memory
  // spent on the rest.
  EXPECT_EQ(s.Data()->CopyTo(target.Data(), Size(0xFFFFFFFFull), &read, &written), S_FALSE);
  EXPECT_EQ(read.QuadPart, 7u);
  EXPECT_EQ(written.QuadPart, 99u);
  EXPECT_EQ(s.Data()->CopyTo(nullptr, Size(1), nullptr, nullptr), STG_E_INVALIDPOINTER);
  EXPECT_EQ(clone->Release(), 0u);  // deletes the clone and closes its duplicate
  EXPECT_EQ(ReadBytes(dir.File("target.bin")), "012");
}

}  // namespace
