// tqreg run as a program on a scratch store: its output layout and exit
// codes, its parsing of data, an import/export round trip of every value
// type byte for byte in both file versions, and a malformed file that must
// change nothing. The library in this process sees the same store.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "files_test_support.h"
#include "registry_test_support.h"
#include "tqrtl/platform/posix/registry.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/version.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int code;
  std::string out;
  std::string err;
};

using files_test::ReadBytes;
using files_test::WriteBytes;
using registry_test::Bytes;
using registry_test::KeyExists;
using registry_test::ReadStored;
using registry_test::WriteStored;

class TqregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = ScratchPath("tqreg");
    fs::create_directories(scratch_);
    setenv("TQRTL_REGISTRY_DIR", (scratch_ + "/store").c_str(), 1);
    tqrtl::posix::RegistryCloseAll();
  }
  void TearDown() override {
    tqrtl::posix::RegistryCloseAll();
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  // Run: tqreg with `args` through the shell, no terminal on standard input.
  // With `fileLimit`, no file it writes may grow beyond that many bytes, as
  // on a full disk: the write fails (EFBIG) instead of killing the process.
  Result Run(const std::vector<std::string>& args, long fileLimit = 0) {
    const std::string out = scratch_ + "/stdout", err = scratch_ + "/stderr";
    std::string command;
    if (fileLimit > 0) {
      command = "trap '' XFSZ; ulimit -f " + std::to_string(fileLimit / 512) + " || exit 99; exec ";
    }
    command += Quote(TQREG_PROGRAM);
    for (const std::string& a : args) command += " " + Quote(a);
    command += " </dev/null >" + Quote(out) + " 2>" + Quote(err);
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadBytes(out), ReadBytes(err)};
  }
  static std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  }

  std::string scratch_;
};

const char kOk[] = "The operation completed successfully.\n";
const char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";

TEST_F(TqregTest, AddQueryAndDeleteWithRegsLayoutAndExitCodes) {
  for (const std::vector<std::string>& add : std::vector<std::vector<std::string>>{
           {"add", "HKCU\\Software\\Vantor", "/v", "Name", "/d", "Ada Lovelace"},
           {"add", "HKCU\\Software\\Vantor", "/v", "Count", "/t", "REG_DWORD", "/d", "0x1F"},
           {"add", "hkey_current_user\\Software\\Vantor", "-ve", "/d", "dflt"},
           {"add", "HKCU\\Software\\Vantor", "/V", "Blob", "/T", "reg_binary", "/D", "00ff7A"},
           {"add", "HKCU\\Software\\Vantor", "/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0b"},
           {"add", "HKCU\\Software\\Vantor", "/v", "Big", "/t", "REG_QWORD", "/d", "4294967296"},
           {"add", "HKCU\\Software\\Vantor", "/v", "Odd", "/t", "77", "/d", "0102"},
           {"add", "HKCU\\Software\\Vantor\\Sub"},
       }) {
    const Result r = Run(add);
    EXPECT_EQ(r.code, 0) << add[3] << r.err;
    EXPECT_EQ(r.out, kOk);
  }
  Result r = Run({"query", "HKCU\\Software\\Vantor"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Vantor\n"
            "    Name    REG_SZ    Ada Lovelace\n"
            "    Count    REG_DWORD    0x1f\n"
            "    (Default)    REG_SZ    dflt\n"
            "    Blob    REG_BINARY    00FF7A\n"
            "    List    REG_MULTI_SZ    a\\0b\n"
            "    Big    REG_QWORD    0x100000000\n"
            "    Odd    0x4d    0102\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\Vantor\\Sub\n"
            "\n");
  r = Run({"query", "HKCU\\Software\\Vantor", "/v", "count", "/z"});
  EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Vantor\n    Count    REG_DWORD (4)    0x1f\n\n");
  r = Run({"query", "HKCU\\Software\\Vantor", "/s"});
  EXPECT_NE(r.out.find("\n\nHKEY_CURRENT_USER\\Software\\Vantor\\Sub\n\n"), std::string::npos)
      << r.out;
  r = Run({"query", "HKCU\\Software\\Vantor\\Sub", "/ve"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("    (Default)    REG_SZ    (value not set)\n"), std::string::npos);

  // The library reads what the tool wrote.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Vantor", 0, KEY_READ, &key), 0);
  DWORD count = 0, size = sizeof count;
  EXPECT_EQ(
      RegQueryValueExA(key, "Count", nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(count, 31u);
  RegCloseKey(key);

  // Failures: exit 1, the message on standard error.
  struct Failing {
    std::vector<std::string> args;
    const char* error;
  };
  const Failing failing[] = {
      {{"query", "HKCU\\Nowhere"}, kNotFound},
      {{"query", "HKCU\\Software\\Vantor", "/v", "missing"}, kNotFound},
      {{"delete", "HKCU\\Software\\Vantor", "/v", "missing", "/f"}, kNotFound},
      {{"query", "HKCR\\Software"}, "ERROR: Invalid key name.\n"},
      {{"query", "\\\\machine\\HKCU\\Software"}, "ERROR: Invalid key name.\n"},
      {{"query", "HKCU\\Software", "/v", "a", "/ve"}, "ERROR: Invalid syntax.\n"},
      {{"add", "HKCU\\Software", "/f", "/f"}, "ERROR: Invalid syntax.\n"},
      {{"add", "HKCU\\Software", "/reg:32", "/reg:64"}, "ERROR: Invalid syntax.\n"},
      {{"query", "HKCU\\Software", "extra"}, "ERROR: Invalid syntax.\n"},
      {{"frobnicate"}, "ERROR: Invalid syntax.\n"},
      {{"add", "HKCU\\Software\\Vantor", "/v", "Name", "/d", "again"},
       "The registry operation was cancelled.\n"},
      {{"delete", "HKCU\\Software\\Vantor"}, "The registry operation was cancelled.\n"},
  };
  for (const Failing& f : failing) {
    r = Run(f.args);
    EXPECT_EQ(r.code, 1) << f.args[0] << " " << f.args[1];
    EXPECT_EQ(r.err.substr(0, std::string(f.error).size()), f.error) << f.args[1] << r.err;
  }
  EXPECT_EQ(Run({"query", "HKCU\\Software\\Vantor", "/v", "Name"}).out.find("again"),
            std::string::npos);
  EXPECT_EQ(Run({"/?"}).code, 0);
  EXPECT_EQ(Run({"add", "/?"}).code, 0);

  EXPECT_EQ(Run({"delete", "HKCU\\Software\\Vantor", "/v", "Name", "/f"}).code, 0);
  EXPECT_EQ(Run({"delete", "HKCU\\Software\\Vantor", "/va", "/f"}).code, 0);
  r = Run({"query", "HKCU\\Software\\Vantor"});
  EXPECT_EQ(r.out,
            "\nHKEY_CURRENT_USER\\Software\\Vantor\nHKEY_CURRENT_USER\\Software\\Vantor\\Sub\n\n");
  EXPECT_EQ(Run({"delete", "HKCU\\Software\\Vantor", "/f"}).code, 0);
  EXPECT_EQ(Run({"query", "HKCU\\Software\\Vantor"}).code, 1);
}

TEST_F(TqregTest, NumbersAndDataAreCheckedLikeReg) {
  struct DataCase {
    const char* type;
    const char* data;
    const char* shown;  // nullptr: refused
  };
  const DataCase cases[] = {
      {"REG_DWORD", "123", "0x7b"},
      {"REG_DWORD", "0123", "0x7b"},  // not octal
      {"REG_DWORD", "0X1f", "0x1f"},
      {"REG_DWORD", "4294967295", "0xffffffff"},
      {"REG_DWORD", "0xFFFFFFFF", "0xffffffff"},
      {"REG_DWORD", "4294967296", nullptr},
      {"REG_DWORD", "0x100000000", nullptr},
      {"REG_DWORD", "-1", nullptr},
      {"REG_DWORD", "00x1", nullptr},
      {"REG_DWORD", "12a", nullptr},
      {"REG_DWORD", "", nullptr},
      {"REG_QWORD", "18446744073709551615", "0xffffffffffffffff"},
      {"REG_QWORD", "18446744073709551616", nullptr},
      {"REG_BINARY", "0a0B", "0A0B"},
      {"REG_BINARY", "abc", nullptr},
      {"REG_BINARY", "zz", nullptr},
      {"REG_EXPAND_SZ", "%HOME%\\x", "%HOME%\\x"},
      {"REG_NOPE", "1", nullptr},
  };
  for (const DataCase& c : cases) {
    const Result r = Run({"add", "HKCU\\T", "/v", "v", "/t", c.type, "/d", c.data, "/f"});
    EXPECT_EQ(r.code, c.shown != nullptr ? 0 : 1) << c.type << " " << c.data << r.err;
    if (c.shown == nullptr) continue;
    const std::string out = Run({"query", "HKCU\\T", "/v", "v"}).out;
    EXPECT_NE(out.find(std::string(c.type) + "    " + c.shown + "\n"), std::string::npos)
        << c.type << " " << c.data << "\n"
        << out;
  }
  EXPECT_EQ(Run({"add", "HKCU\\T", "/v", "m", "/t", "REG_MULTI_SZ", "/s", "#", "/d", "x#y#z"}).code,
            0);
  EXPECT_NE(Run({"query", "HKCU\\T", "/v", "m"}).out.find("x\\0y\\0z"), std::string::npos);
}

// Every value type, in the exact form the editor writes.
std::string SampleFile(bool version4) {
  std::string text = version4 ? "REGEDIT4\r\n" : "Windows Registry Editor Version 5.00\r\n";
  text +=
      "\r\n[HKEY_CURRENT_USER\\Software\\Vantor]\r\n"
      "@=\"default\"\r\n"
      "\"Text\"=\"a \\\"quoted\\\" C:\\\\path\"\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Bytes\"=hex:00,01,7f,80,ff\r\n"
      "\"Empty\"=hex:\r\n";
  text += version4 ? "\"Expand\"=hex(2):25,50,41,54,48,25,00\r\n"
                     "\"Multi\"=hex(7):61,00,62,00,00\r\n"
                   : "\"Expand\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\r\n"
                     "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n";
  text +=
      "\"Quad\"=hex(b):01,02,03,04,05,06,07,08\r\n"
      "\"None\"=hex(0):ff\r\n"
      "\"Odd\"=hex(12345):01,02\r\n"
      "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
      "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n"
      "  2f,30\r\n"
      "\r\n[HKEY_CURRENT_USER\\Software\\Vantor\\Empty key]\r\n"
      "\r\n[HKEY_CURRENT_USER\\Software\\Vantor\\Z]\r\n"
      "\"\xc3\xa9t\xc3\xa9\"=\"caf\xc3\xa9\"\r\n"
      "\r\n";
  return text;
}

std::string Utf16(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0xC0) {  // two-byte sequences are all this sample has
      c = ((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F);
    }
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

TEST_F(TqregTest, ImportThenExportGivesTheSameBytesInBothVersions) {
  for (bool version4 : {false, true}) {
    const std::string sample = version4 ? SampleFile(true) : Utf16(SampleFile(false));
    const std::string in = scratch_ + "/in.reg", out = scratch_ + "/out.reg";
    WriteBytes(in, sample);
    Result r = Run({"delete", "HKCU\\Software\\Vantor", "/f"});
    r = Run({"import", in});
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> args = {"export", "HKCU\\Software\\Vantor", out, "/y"};
    if (version4) args.push_back("/a");
    r = Run(args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(ReadBytes(out) == sample) << (version4 ? "REGEDIT4" : "version 5");
    // Without /y an existing file is kept.
    EXPECT_EQ(Run({"export", "HKCU\\Software\\Vantor", out}).code, 1);
  }
  // Export of a missing key fails; copy reaches the other hive.
  EXPECT_EQ(Run({"export", "HKCU\\Nowhere", scratch_ + "/x.reg"}).code, 1);
  EXPECT_EQ(Run({"copy", "HKCU\\Software\\Vantor", "HKLM\\Software\\Copy", "/s", "/f"}).code, 0);
  const Result r = Run({"query", "HKLM\\Software\\Copy\\Z"});
  EXPECT_NE(r.out.find("caf\xc3\xa9"), std::string::npos) << r.out;
  EXPECT_EQ(Run({"copy", "HKCU\\Software", "HKCU\\Software\\Vantor\\Inside", "/s", "/f"}).code, 0);
}

TEST_F(TqregTest, MalformedImportReportsTheLineAndChangesNothing) {
  ASSERT_EQ(Run({"add", "HKCU\\Keep", "/v", "v", "/d", "old"}).code, 0);
  const std::string file = scratch_ + "/bad.reg";
  WriteBytes(file,
             "REGEDIT4\r\n"
             "\r\n"
             "[HKEY_CURRENT_USER\\Keep]\r\n"
             "\"v\"=\"new\"\r\n"
             "[HKEY_CURRENT_USER\\Added]\r\n"
             "\"ok\"=dword:1\r\n"
             "\"bad\"=dword:xyz\r\n"
             "[-HKEY_CURRENT_USER\\Keep]\r\n");
  Result r = Run({"import", file});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(file + ":7: invalid dword"), std::string::npos) << r.err;
  EXPECT_NE(Run({"query", "HKCU\\Keep", "/v", "v"}).out.find("old"), std::string::npos);
  EXPECT_EQ(Run({"query", "HKCU\\Added"}).code, 1);

  WriteBytes(file, "not a registry file\r\n[HKEY_CURRENT_USER\\Added]\r\n");
  r = Run({"import", file});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(":0: not a registry file"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"import", scratch_ + "/missing.reg"}).code, 1);

  // Each line below alone makes the whole file bad: an unkept root, text
  // after a key, an empty key name, names equal up to a NUL, a file cut
  // short inside a list (as a full disk leaves a backup).
  const std::string good =
      "REGEDIT4\r\n\r\n[-HKEY_CURRENT_USER\\Keep]\r\n\r\n[HKEY_CURRENT_USER\\Added]\r\n"
      "\"ok\"=dword:1\r\n\"gone\"=-\r\n";
  const std::string bad[] = {
      "[HKEY_CLASSES_ROOT\\.txt]\r\n@=\"x\"\r\n",
      "[HKEY_CURRENT_USER\\Added] trailing\r\n",
      "[HKEY_CURRENT_USER\\\\Added]\r\n",
      std::string("\"n\0a\"=\"1\"\r\n\"n\0b\"=\"2\"\r\n", 22),
      "\"list\"=hex:01,02,\\\r\n  03,\\\r\n",
  };
  for (const std::string& line : bad) {
    WriteBytes(file, good + line);
    r = Run({"import", file});
    EXPECT_EQ(r.code, 1) << line;
    EXPECT_NE(r.err.find(file + ":8: "), std::string::npos) << line << r.err;
    EXPECT_EQ(Run({"query", "HKCU\\Added"}).code, 1) << line;
    EXPECT_EQ(Run({"query", "HKCU\\Keep"}).code, 0) << line;
  }

  // A valid file applies as a whole, deletions included.
  WriteBytes(file, good);
  r = Run({"import", file});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Run({"query", "HKCU\\Keep"}).code, 1);
  EXPECT_EQ(Run({"query", "HKCU\\Added", "/v", "ok"}).code, 0);
}

TEST_F(TqregTest, HostileNamesExportExactlyOrNotAtAll) {
  // Written through the library, bypassing tqreg's own checks.
  const std::string key = "Software\\Hostile", file = scratch_ + "/hostile.reg";
  const struct {
    const char* name;
    DWORD type;
    std::string data;
  } values[] = {{"\xFF\xFE", REG_SZ, std::string("x\0", 2)},
                {"bin", REG_BINARY, std::string("\xFF\xFE\0\n", 4)}};
  for (const auto& v : values) WriteStored(HKEY_CURRENT_USER, key, v.name, v.type, Bytes(v.data));

  // Version 5 cannot carry bytes that are not UTF-8: refused, no file.
  Result r = Run({"export", "HKCU\\" + key, file});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("value \"\\xFF\\xFE\""), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(file));

  // REGEDIT4 carries the stored bytes, and they come back exactly.
  ASSERT_EQ(Run({"export", "HKCU\\" + key, file, "/a"}).code, 0);
  ASSERT_EQ(Run({"delete", "HKCU\\" + key, "/f"}).code, 0);
  ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, key));
  r = Run({"import", file});
  ASSERT_EQ(r.code, 0) << r.err;
  for (const auto& v : values) {
    const registry_test::Stored stored = ReadStored(HKEY_CURRENT_USER, key, v.name);
    EXPECT_EQ(stored.type, v.type) << v.name;
    EXPECT_TRUE(stored.data == Bytes(v.data)) << v.name;
  }
}

TEST_F(TqregTest, ExportOnAFullDiskKeepsTheOldFile) {
  WriteStored(HKEY_CURRENT_USER, "Software\\Big", "blob", REG_BINARY,
              Bytes(std::string(300000, '\x5a')));
  const std::string file = scratch_ + "/backup.reg";
  ASSERT_EQ(Run({"export", "HKCU\\Software\\Big", file}).code, 0);
  const std::string backup = ReadBytes(file);
  const auto entries = [&] { return std::distance(fs::directory_iterator(scratch_), {}); };
  const auto before = entries();

  // The store grows; the next export does not fit.
  WriteStored(HKEY_CURRENT_USER, "Software\\Big", "more", REG_BINARY,
              Bytes(std::string(300000, '\x33')));
  const Result r = Run({"export", "HKCU\\Software\\Big", file, "/y"}, 1 << 20);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Unable to write the file " + file), std::string::npos) << r.err;
  EXPECT_TRUE(ReadBytes(file) == backup);
  EXPECT_EQ(entries(), before);  // no temporary file left
}

// A file for both hives: 300 keys in one, then 300 in the other, the
// machine hive's last key with a value of `bigValue` bytes.
std::string BothHives(bool machineFirst, const std::string& tag, size_t bigValue) {
  std::string text = "REGEDIT4\r\n";
  for (const bool machine : {machineFirst, !machineFirst}) {
    const std::string root = machine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
    for (int i = 0; i < 300; ++i) {
      text += "\r\n[" + root + "\\Software\\Both\\" + tag + std::to_string(i) + "]\r\n\"v\"=\"" +
              tag + "\"\r\n";
    }
    if (machine && bigValue != 0) {
      text += "\"big\"=hex:";
      for (size_t i = 0; i < bigValue; ++i) text += i + 1 < bigValue ? "77,\\\r\n  " : "77\r\n";
    }
  }
  return text;
}

TEST_F(TqregTest, ImportAcrossHivesIsAllOrNothing) {
  ASSERT_EQ(Run({"add", "HKCU\\Software\\Both", "/v", "v", "/d", "old", "/f"}).code, 0);
  ASSERT_EQ(Run({"add", "HKLM\\Software\\Both", "/v", "v", "/d", "old", "/f"}).code, 0);
  // The machine hive's share cannot be stored; the user hive's could.
  const std::string file = scratch_ + "/both.reg";
  WriteBytes(file, BothHives(true, "m", 1500000));
  EXPECT_EQ(Run({"import", file}, 1 << 20).code, 1);
  tqrtl::posix::RegistryCloseAll();
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Both\\m0"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\Both\\m0"));
  EXPECT_EQ(Run({"check"}).code, 0);

  // Without the limit it goes in whole: the file itself is good.
  EXPECT_EQ(Run({"import", file}).code, 0);
  EXPECT_EQ(ReadStored(HKEY_LOCAL_MACHINE, "Software\\Both\\m299", "big").data.size(), 1500000u);
}

TEST_F(TqregTest, ImportsTakingTheHivesInOppositeOrdersBothSucceed) {
  // Each file holds its first hive's lock while it fills that hive, then
  // wants the other: taken as the file lists them, the two would wait on
  // each other until one gave up busy.
  const std::string a = scratch_ + "/a.reg", b = scratch_ + "/b.reg";
  WriteBytes(a, BothHives(true, "a", 0));
  WriteBytes(b, BothHives(false, "b", 0));
  ASSERT_EQ(Run({"add", "HKCU\\Software\\Both"}).code, 0);
  ASSERT_EQ(Run({"add", "HKLM\\Software\\Both"}).code, 0);
  for (int round = 0; round < 3; ++round) {
    std::string command;
    for (const std::string& f : {a, b}) {
      command += "(" + Quote(TQREG_PROGRAM) + " import " + Quote(f) + " >/dev/null 2>" +
                 Quote(f + ".err") + "; echo $? >" + Quote(f + ".code") + ") & ";
    }
    ASSERT_EQ(std::system((command + "wait").c_str()), 0);
    for (const std::string& f : {a, b}) {
      EXPECT_EQ(ReadBytes(f + ".code"), "0\n") << "round " << round << " " << ReadBytes(f + ".err");
    }
  }
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\Both\\b299"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\Both\\a299"));
}

TEST_F(TqregTest, WhereAndCheck) {
  ASSERT_EQ(Run({"add", "HKCU\\A"}).code, 0);
  Result r = Run({"where"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find(scratch_ + "/store/HKEY_CURRENT_USER.sqlite"), std::string::npos);
  r = Run({"check"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "HKEY_CURRENT_USER    ok\nHKEY_LOCAL_MACHINE    ok\n");
  tqrtl::posix::RegistryCloseAll();
  const std::string machine = scratch_ + "/store/HKEY_LOCAL_MACHINE.sqlite";
  fs::remove(machine + "-wal");  // pages still in the log would hide the damage
  fs::remove(machine + "-shm");
  WriteBytes(machine, std::string(4096, 'x'));
  r = Run({"check"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(
      r.err.find("HKEY_LOCAL_MACHINE    ERROR: The configuration registry database is corrupt."),
      std::string::npos)
      << r.err;
}

// A store folder that others may write to is refused, and tqreg says why.
TEST_F(TqregTest, SaysWhyAFolderOthersMayWriteIsRefused) {
  ASSERT_EQ(Run({"add", "HKCU\\A", "/v", "x", "/d", "y"}).code, 0);
  tqrtl::posix::RegistryCloseAll();
  fs::permissions(scratch_ + "/store", fs::perms(0777));
  const Result r = Run({"query", "HKCU\\A"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("other users may write"), std::string::npos) << r.err;
}

TEST_F(TqregTest, CheckOfADamagedHiveReportsTheDamage) {
  for (int i = 0; i < 6; ++i) {
    WriteStored(HKEY_LOCAL_MACHINE, "Software\\K" + std::to_string(i), "v", REG_BINARY,
                Bytes(std::string(3000, 'z')));
  }
  tqrtl::posix::RegistryCloseAll();  // the last connection folds the log into the file
  const std::string machine = scratch_ + "/store/HKEY_LOCAL_MACHINE.sqlite";
  const std::string intact = ReadBytes(machine);
  ASSERT_GT(intact.size(), 8192u);
  // Damage in the header keeps the store from opening the file; in a page,
  // the store opens it and SQLite's check finds it. Either way the report
  // says what is wrong.
  for (size_t offset : {16u, 8192u}) {
    std::string damaged = intact;
    WriteBytes(machine, damaged.replace(offset, 4, "\x7f\xff\xff\xf0"));
    const Result r = Run({"check"});
    EXPECT_EQ(r.code, 1) << offset;
    const std::string head =
        "HKEY_LOCAL_MACHINE    ERROR: The configuration registry database is corrupt.\n";
    const size_t at = r.err.find(head);
    ASSERT_NE(at, std::string::npos) << offset << r.err;
    EXPECT_GT(r.err.size(), at + head.size() + 1) << offset << ": no report\n" << r.err;
    fs::remove(machine + "-wal");
    fs::remove(machine + "-shm");
  }
}

TEST_F(TqregTest, HelpInEitherSpellingAndVersion) {
  const Result help = Run({"/?"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("TQREG <operation>", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
  EXPECT_EQ(help.err, "");
  for (const char* spelling : {"--help", "-?", "/H", "--HELP"}) {
    const Result r = Run({spelling});
    EXPECT_EQ(r.code, 0) << spelling;
    EXPECT_EQ(r.out, help.out) << spelling;
  }

  // The version is the headers' one, and the headers' parts agree with it.
  const std::string version = std::to_string(TQRTL_VERSION_MAJOR) + "." +
                              std::to_string(TQRTL_VERSION_MINOR) + "." +
                              std::to_string(TQRTL_VERSION_PATCH);
  EXPECT_EQ(version, TQRTL_VERSION);
  const Result r = Run({"--version"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "tqreg " + version + "\n");
  EXPECT_EQ(r.err, "");
  // Only on its own: anything after it is a syntax error, not a version.
  const Result extra = Run({"--version", "HKCU\\Software"});
  EXPECT_EQ(extra.code, 1);
  EXPECT_EQ(extra.out, "");
  EXPECT_EQ(extra.err.rfind("ERROR: Invalid syntax.", 0), 0u) << extra.err;
  EXPECT_EQ(TQRTL_VERSION_NUMBER,
            TQRTL_VERSION_MAJOR * 10000 + TQRTL_VERSION_MINOR * 100 + TQRTL_VERSION_PATCH);
  EXPECT_LT(TQRTL_MAKE_VERSION(0, 9, 99), TQRTL_MAKE_VERSION(0, 10, 0));
  EXPECT_LT(TQRTL_MAKE_VERSION(0, 99, 99), TQRTL_MAKE_VERSION(1, 0, 0));
}

}  // namespace
