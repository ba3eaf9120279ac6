// Tests of the .reg reader and writer: exact round trips of both versions,
// the line breaking of long hex lists, and a table of bad and tolerated
// lines, each with the line number the reader must report.
#include "tools/tqreg/reg_file.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace tqreg {
namespace {

using namespace std::string_literals;

// Written: the file in `format`, which must not be refused.
std::string Written(const RegFile& file, RegFormat format) {
  std::string bytes, error;
  EXPECT_TRUE(WriteRegFile(file, format, &bytes, &error)) << error;
  return bytes;
}

// A file in the editor's own form, holding every kind of value.
const char kVersion4[] =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Vantor]\r\n"
    "@=\"default text\"\r\n"
    "\"Plain\"=\"C:\\\\Tools\\\\\\\"quoted\\\" \\\\n stays\"\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\"Bytes\"=hex:00,01,7f,80,ff\r\n"
    "\"Empty bytes\"=hex:\r\n"
    "\"Short dword\"=hex(4):01,02\r\n"
    "\"Expand\"=hex(2):25,50,41,54,48,25,00\r\n"
    "\"Multi\"=hex(7):61,00,62,00,00\r\n"
    "\"Quad\"=hex(b):01,02,03,04,05,06,07,08\r\n"
    "\"None\"=hex(0):ff\r\n"
    "\"Odd type\"=hex(12345):01\r\n"
    "\"Two lines\"=hex(1):6c,69,6e,65,0d,0a,00\r\n"
    "\"No NUL\"=hex(1):61,62\r\n"
    "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
    "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n"
    "  2f,30,31\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Vantor\\Empty key]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Vantor]\r\n"
    "\"a\\\\b\"=\"x\"\r\n"
    "\r\n";

TEST(RegFileTest, BothVersionsRoundTripByteForByte) {
  RegFile file;
  std::vector<RegProblem> problems;
  ASSERT_TRUE(ParseRegFile(kVersion4, &file, &problems));
  ASSERT_TRUE(problems.empty()) << problems[0].line << ": " << problems[0].message;
  EXPECT_EQ(Written(file, RegFormat::kVersion4), kVersion4);
  ASSERT_EQ(file.keys.size(), 3u);
  const std::vector<RegValue>& values = file.keys[0].values;
  ASSERT_EQ(values.size(), 14u);
  EXPECT_EQ(values[0].name, "");
  EXPECT_EQ(values[1].data, std::string("C:\\Tools\\\"quoted\" \\n stays\0", 27));
  EXPECT_EQ(values[2].data, std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(values[10].type, 0x12345u);
  EXPECT_EQ(values[11].data, std::string("line\r\n\0", 7));
  EXPECT_EQ(values[13].data.size(), 50u);
  EXPECT_EQ(file.keys[2].values[0].name, "a\\b");

  // The same content as version 5: UTF-16 throughout, strings of the hex
  // kinds in UTF-16 too, and back to the same stored bytes.
  const std::string version5 = Written(file, RegFormat::kVersion5);
  ASSERT_EQ(version5.substr(0, 2), "\xFF\xFE");
  EXPECT_NE(Utf16ToUtf8(version5.substr(2)).find("\"Expand\"=hex(2):25,00,50,00,41,00,54,00,48,"),
            std::string::npos);
  RegFile again;
  ASSERT_TRUE(ParseRegFile(version5, &again, &problems));
  ASSERT_TRUE(problems.empty());
  EXPECT_EQ(Written(again, RegFormat::kVersion5), version5);
  EXPECT_EQ(Written(again, RegFormat::kVersion4), kVersion4);
}

TEST(RegFileTest, LongHexListsBreakBeforeColumn80) {
  RegFile file;
  file.keys.push_back({"HKEY_CURRENT_USER\\X", false, {}, 0});
  for (const std::string& name : {std::string(), std::string("n"), std::string(40, 'w')}) {
    file.keys[0].values.push_back({name, 3, std::string(300, '\x5a'), false, 0});
  }
  const std::string text = Written(file, RegFormat::kVersion4);
  size_t start = 0, continuations = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    const std::string line = text.substr(start, end - start);
    EXPECT_LE(line.size(), 80u) << line;
    if (line.rfind("  5a", 0) == 0) {
      ++continuations;
      EXPECT_TRUE(line.back() != '\\' || line.size() == 2u + 25 * 3 + 1) << line;
    }
    start = end + 2;
  }
  EXPECT_GT(continuations, 10u);
}

struct LineCase {
  std::string text;  // lines from line 3, after the header and a key
  std::vector<int> badLines;
  size_t values;     // values read
  bool cut = false;  // the last line has no line break
};

// BadLines: the numbers of the lines that ParseRegFile reports in `text`;
// the number of values it read in `values`.
std::vector<int> BadLines(const std::string& text, size_t* values = nullptr) {
  RegFile file;
  std::vector<RegProblem> problems;
  EXPECT_TRUE(ParseRegFile(text, &file, &problems));
  std::vector<int> lines;
  for (const RegProblem& p : problems) lines.push_back(p.line);
  if (values != nullptr) {
    *values = 0;
    for (const RegKey& k : file.keys) *values += k.values.size();
  }
  return lines;
}

TEST(RegFileTest, BadLinesAreReportedWithTheirNumbers) {
  const LineCase cases[] = {
      {"\"a\"=\"b\"", {}, 1},
      {"  \"a\" = \"b\" ;comment", {}, 1},
      {"@=-\n\"x\" =  - ", {}, 2},
      {"\"a\"=\"b\"c\"", {3}, 0},
      {"\"a\"=\"b\" #comment", {3}, 0},
      {"\"a", {3}, 0},
      {"\"a\" \"b\"", {3}, 0},
      {"garbage", {3}, 0},
      {"\"a\"=dword:1", {}, 1},
      {"\"a\"=DWORD:ffffffff ;max", {}, 1},
      {"\"a\"=dword:123456789", {3}, 0},
      {"\"a\"=dword:0x1", {3}, 0},
      {"\"a\"=dword: 1", {3}, 0},
      {"\"a\"=dword:", {3}, 0},
      {"\"a\"=hex(0x2):00", {3}, 0},
      {"\"a\"=hex(100000000):00", {3}, 0},
      {"\"a\"=hex(2:00", {3}, 0},
      {"\"a\"=hex:1g", {3}, 0},
      {"\"a\"=hex:001", {3}, 0},
      {"\"a\"=hex:01,,02", {3}, 0},
      {"\"a\"=hex 01", {3}, 0},
      {"\"a\"=str:\"x\"", {3}, 0},
      {"\"a\"=hex:01,\\\n\n; note\n  02,03", {}, 1},
      {"\"a\"=hex:01,\\ ;note\n  02", {}, 1},
      {"\"a\"=hex:01,\\\n# not here\n\"b\"=\"c\"", {3}, 1},
      {"\"a\"=hex:01,\\\n[HKEY_CURRENT_USER\\Y]\n\"b\"=\"c\"", {3}, 1},
      // A file cut inside a continued list (a full disk) is not taken.
      {"\"a\"=hex:01,\\", {3}, 0},
      {"\"a\"=hex:01,\\\n  02,\\\n\n; the end", {3}, 0},
      {"[-HKEY_CURRENT_USER\\Gone]\n\"ignored\"=bad", {}, 0},
      // An unknown root is a bad line; its values are not read.
      {"[HKEY_NOWHERE\\X]\n\"ignored\"=bad\n[HKEY_CURRENT_USER\\Y]\n\"v\"=\"w\"", {3}, 1},
      {"[]\n\"v\"=\"w\"", {3}, 0},
      {"[no closing bracket", {3}, 0},
      // Nothing may follow the closing bracket but blanks.
      {"[HKEY_CURRENT_USER\\Y] junk\n\"v\"=\"w\"", {3}, 0},
      {"[HKEY_CURRENT_USER\\Y]\t \n\"v\"=\"w\"", {}, 1},
      // Names ending at a NUL in the store would overwrite each other.
      {"\"a\0x\"=\"1\"\n\"a\0y\"=\"2\""s, {3, 4}, 0},
      {"[HKEY_CURRENT_USER\\Y\0Z]\n\"v\"=\"w\""s, {3}, 0},
      {"\"v\"=\"a\0b\""s, {}, 1},  // data may hold a NUL
      // A last line without its line break may be a value cut short.
      {"\"a\"=dword:00", {3}, 0, true},
      {"\"a\"=hex:01,\\\n  02,0", {3}, 0, true},
      {"\"a\"=hex:01,\\\n; note", {3}, 0, true},
      {"; comment", {}, 0, true},
      {"[HKEY_CURRENT_USER\\Y]", {}, 0, true},
  };
  for (const LineCase& c : cases) {
    size_t values = 0;
    EXPECT_EQ(
        BadLines("REGEDIT4\n[HKEY_CURRENT_USER\\X]\n" + c.text + (c.cut ? "" : "\n"), &values),
        c.badLines)
        << c.text;
    EXPECT_EQ(values, c.values) << c.text;
  }

  RegFile file;
  std::vector<RegProblem> problems;
  ASSERT_TRUE(ParseRegFile("REGEDIT4\n\"orphan\"=\"v\"\n", &file, &problems));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].line, 2);
}

TEST(RegFileTest, HeadersAndHostileEncodings) {
  struct HeaderCase {
    std::string bytes;
    bool accepted;
  };
  const std::string bom16 = "\xFF\xFE";
  const HeaderCase cases[] = {
      {"REGEDIT4\r\n", true},
      {"  \tREGEDIT4\n", true},
      {"\xEF\xBB\xBFREGEDIT4\n", true},
      {bom16 + Utf8ToUtf16("Windows Registry Editor Version 5.00\r\n"), true},
      {"Windows Registry Editor Version 5.00", true},
      {"regedit4\n", false},
      {"\nREGEDIT4\n", false},
      {"REGEDIT5\n", false},
      {"Windows Registry Editor Version 5.0\n", false},
      {"", false},
      {bom16, false},
      {bom16 + "R", false},  // an odd byte of UTF-16
      {std::string("REGEDIT4\0\n", 10), false},
  };
  for (const HeaderCase& c : cases) {
    RegFile file;
    std::vector<RegProblem> problems;
    EXPECT_EQ(ParseRegFile(c.bytes, &file, &problems), c.accepted) << c.bytes;
    if (!c.accepted) {
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_EQ(problems[0].line, 0);
    }
  }

  // Malformed UTF-16 and UTF-8 turn into U+FFFD, never into a crash.
  EXPECT_EQ(Utf16ToUtf8(std::string("\x00\xD8\x41\x00", 4)),
            "\xEF\xBF\xBD"
            "A");
  EXPECT_EQ(Utf16ToUtf8(std::string("\x3D\xD8\x00\xDE", 4)), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), std::string("\x3D\xD8\x00\xDE", 4));
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), std::string("\xFD\xFF\xFD\xFF", 4));
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), std::string("\xFD\xFF\xFD\xFF", 4));

  // A huge hex list costs what its text costs, and parses.
  std::string big = "REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=hex:";
  for (int i = 0; i < 200000; ++i) big += i + 1 < 200000 ? "ab,\\\n  " : "ab\n";
  RegFile file;
  std::vector<RegProblem> problems;
  ASSERT_TRUE(ParseRegFile(big, &file, &problems));
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(file.keys.size(), 1u);
  EXPECT_EQ(file.keys[0].values[0].data.size(), 200000u);
}

TEST(RegFileTest, Version5TextMustBeExactUtf16) {
  struct Case {
    std::string body;  // UTF-16LE after the header and a key line
    std::vector<int> badLines;
  };
  auto u = [](const std::string& utf8) { return Utf8ToUtf16(utf8); };
  const std::string loneHigh("\x00\xD8", 2);
  const Case cases[] = {
      {u("\"a\"=hex(2):41,00,00,00\r\n"), {}},
      {u("\"a\"=hex(2):41,00,00\r\n"), {3}},  // odd: a byte would be lost
      {u("\"a\"=hex(7):41,00,00,00,00\r\n"), {3}},
      {u("\"a\"=hex(1):00,d8,00,00\r\n"), {3}},  // an unpaired surrogate
      {u("\"a\"=hex(1):3d,d8,00,de,00,00\r\n"), {}},
      {u("\"a\"=hex:41\r\n"), {}},  // binary data is bytes in both versions
      {u("\"ok\"=\"1\"\r\n\"b") + loneHigh + u("\"=\"2\"\r\n"), {4}},
  };
  for (const Case& c : cases) {
    const std::string bytes =
        "\xFF\xFE" + u("Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\X]\r\n") +
        c.body;
    EXPECT_EQ(BadLines(bytes), c.badLines) << Utf16ToUtf8(c.body);
  }
  // In REGEDIT4 the same lists are bytes, any number of them.
  EXPECT_EQ(BadLines("REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex(2):41\n"), std::vector<int>{});
}

// Hostile names and data, in both versions: the writer either refuses them
// with a message naming the key and value, or what it writes reads back
// exactly, byte for byte.
TEST(RegFileTest, HostileNamesAndDataComeBackExactOrAreRefused) {
  struct Case {
    std::string key;  // below HKEY_CURRENT_USER
    std::string name;
    std::uint32_t type;
    std::string data;
    bool refused4, refused5;
    std::string shown;  // in the message when refused
  };
  const Case cases[] = {
      {"K", "\xFF\xFE", 1, "x\0"s, false, true, "\\xFF\\xFE"},
      {"K", "v", 1, "\xFF\xFE\0"s, false, true, "\"v\""},
      {"K", "v", 7, "a\0\xC0\x80\0\0"s, false, true, "\"v\""},  // an overlong NUL
      {"K", "v", 3, "\xFF\xFE\0\n"s, false, false, ""},         // binary: any bytes
      {"K\xFF", "v", 1, "x\0"s, false, true, "K\\xFF"},
      {"K", "line\nbreak", 1, "x\0"s, true, true, "line\\nbreak"},
      {"K\nL", "v", 1, "x\0"s, true, true, "K\\nL"},
      {"K", "a\0b"s, 1, "x\0"s, true, true, "a\\x00b"},
      {"K", "q\"uo\\te\\", 1, "\"\\\0"s, false, false, ""},
      {"K]x", "@", 1, "\r\n\0"s, false, false, ""},
      {"K ", "", 1, "no NUL"s, false, false, ""},
      {"K", "\xC3\xA9\xF0\x9F\x98\x80", 1, "caf\xC3\xA9 \xEF\xBF\xBD\0"s, false, false, ""},
      {"K", "v", 1, "a\0b\0"s, false, false, ""},
  };
  for (const Case& c : cases) {
    RegFile file;
    file.keys.push_back({"HKEY_CURRENT_USER\\" + c.key, false, {}, 0});
    file.keys[0].values.push_back({c.name, c.type, c.data, false, 0});
    for (RegFormat format : {RegFormat::kVersion4, RegFormat::kVersion5}) {
      const bool refused = format == RegFormat::kVersion4 ? c.refused4 : c.refused5;
      std::string bytes, error;
      ASSERT_EQ(!WriteRegFile(file, format, &bytes, &error), refused)
          << c.key << "/" << c.name << " v" << (format == RegFormat::kVersion4 ? 4 : 5);
      if (refused) {
        EXPECT_TRUE(bytes.empty());
        EXPECT_NE(error.find(c.shown), std::string::npos) << error;
        continue;
      }
      RegFile again;
      std::vector<RegProblem> problems;
      ASSERT_TRUE(ParseRegFile(bytes, &again, &problems) && problems.empty()) << bytes;
      ASSERT_TRUE(again.keys.size() == 1 && again.keys[0].values.size() == 1) << bytes;
      const RegValue& v = again.keys[0].values[0];
      EXPECT_EQ(again.keys[0].path + "|" + v.name + "|" + std::to_string(v.type) + "|" + v.data,
                file.keys[0].path + "|" + c.name + "|" + std::to_string(c.type) + "|" + c.data);
    }
  }
}

}  // namespace
}  // namespace tqreg
