// Tests of AttribPathName: the stored form to the byte, attribute bits that
// survive a round trip, and reads that stop at a damaged file.
#include "tqrtl/files/AttribPathName.h"

#include <gtest/gtest.h>

#include <string>

#include "files_test_support.h"
#include "tqrtl/files/TQStream.h"

namespace {

using files_test::Hex;
using files_test::ReadBytes;
using files_test::ScratchDir;
using files_test::U32;
using files_test::WriteBytes;

TEST(AttribPathNameTest, WritesWordThenPathAndReadsBothBack) {
  ScratchDir dir;
  const std::string path = dir.File("paths.bin");
  {
    TQStream s(path.c_str(), "w+b");
    AttribPathName system("x");
    system.SetSystemFile(true);
    EXPECT_EQ(system.Serialize(&s, AttribPathName::Write), 1);
    EXPECT_EQ(AttribPathName(TQString("dir/file.c")).Serialize(&s, AttribPathName::Write), 1);
  }
  EXPECT_EQ(Hex(ReadBytes(path)),
            Hex(U32(1) + U32(1) + "x" + U32(0) + U32(10) + "dir/file.c"));

  TQStream s(path.c_str(), "r+b");
  AttribPathName first, second("was here");
  second.SetSystemFile(true);
  EXPECT_EQ(first.Serialize(&s, AttribPathName::Read), 1);
  EXPECT_EQ(second.Serialize(&s, AttribPathName::Read), 1);
  EXPECT_TRUE(first.IsSystemFile());
  EXPECT_STREQ(first.Path(), "x");
  EXPECT_FALSE(second.IsSystemFile());
  EXPECT_STREQ(second.Path(), "dir/file.c");
}

TEST(AttribPathNameTest, BitsWithoutMeaningSurviveStorage) {
  ScratchDir dir;
  const std::string path = dir.File("bits.bin");
  // Attribute word 0x80000003: the system flag plus bits this library
  // does not interpret.
  WriteBytes(path, U32(0x80000003u) + U32(1) + "p");
  TQStream s(path.c_str(), "r+b");
  AttribPathName p;
  ASSERT_EQ(p.Serialize(&s, AttribPathName::Read), 1);
  EXPECT_EQ(p.Attributes(), 0x80000003u);
  p.SetSystemFile(false);
  EXPECT_EQ(p.Attributes(), 0x80000002u);

  AttribPathName copy;
  copy = p;
  TQStream out(dir.File("out.bin").c_str(), "w+b");
  ASSERT_EQ(copy.Serialize(&out, AttribPathName::Write), 1);
  EXPECT_EQ(Hex(ReadBytes(dir.File("out.bin"))), Hex(U32(0x80000002u) + U32(1) + "p"));
}

TEST(AttribPathNameTest, DamagedInputFailsWithZero) {
  ScratchDir dir;
  struct Case {
    const char* what;
    std::string bytes;
    const char* pathAfter;  // the path as the failed read leaves it
  };
  const Case cases[] = {
      {"empty file", "", "old"},
      {"word cut short", std::string("\x01\x00", 2), "old"},
      {"no string length", U32(1), "old"},
      {"string longer than the file", U32(1) + U32(0x7FFFFFFFu) + "abc", "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.File("damaged.bin");
    WriteBytes(path, c.bytes);
    TQStream s(path.c_str(), "r+b");
    AttribPathName p("old");
    EXPECT_EQ(p.Serialize(&s, AttribPathName::Read), 0);
    EXPECT_STREQ(p.Path(), c.pathAfter);
  }
  AttribPathName p("x");
  EXPECT_EQ(p.Serialize(nullptr, AttribPathName::Write), 0);
}

}  // namespace
