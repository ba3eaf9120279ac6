// RegAPI against the real registry (the Linux store, or Wine's): the
// failure codes, what the writers store, and recursive deletion.
#include "tqrtl/registry/RegAPI.h"

#include <gtest/gtest.h>

#include <string>

#include "registry_test_support.h"

namespace {

using registry_test::Bytes;
using registry_test::Le32;
using registry_test::ReadStored;
using registry_test::WriteStored;

class RegAPITest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "Software\\TQRTLTest\\" + registry_test::UniqueName("RegAPI");
    key_ = RegAPI::OpenKey(HKEY_CURRENT_USER, path_.c_str());
  }
  void TearDown() override {
    if (key_ != nullptr) RegCloseKey(key_);
    registry_test::DeleteTree(HKEY_CURRENT_USER, path_);
  }

  // The code a call throws, or -1 when it returns.
  template <class Call>
  static int CodeOf(Call call) {
    try {
      call();
    } catch (unsigned int code) {
      return static_cast<int>(code);
    }
    return -1;
  }

  std::string path_;
  HKEY key_ = nullptr;
};

TEST_F(RegAPITest, ReadDwordTellsMissingWrongTypeAndTooLongApart) {
  struct Case {
    const char* what;
    DWORD type;
    std::vector<unsigned char> data;
    int code;  // -1: returns
    int result;
    unsigned long value;
  } cases[] = {
      {"a number", REG_DWORD, Le32({0x12345678}), -1, 1, 0x12345678},
      {"4 bytes of binary", REG_BINARY, Le32({7}), 0, 0, 0},
      {"8 bytes of binary: too long comes first", REG_BINARY, Le32({7, 8}), 4, 0, 0},
      {"a number of 2 bytes", REG_DWORD, {1, 2}, 0, 0, 0},
      {"a text", REG_SZ, Bytes(std::string("3", 2)), 0, 0, 0},
  };
  for (const Case& c : cases) {
    WriteStored(HKEY_CURRENT_USER, path_, "V", c.type, c.data);
    unsigned long value = 99;
    int result = -1;
    EXPECT_EQ(c.code, CodeOf([&] { result = RegAPI::ReadDword(key_, "V", &value); })) << c.what;
    if (c.code == -1) {
      EXPECT_EQ(c.result, result) << c.what;
      EXPECT_EQ(c.value, value) << c.what;
    }
  }
  unsigned long untouched = 99;
  EXPECT_EQ(0, RegAPI::ReadDword(key_, "Missing", &untouched));
  EXPECT_EQ(99u, untouched);
}

TEST_F(RegAPITest, WritersStoreTheirTypesAndSizes) {
  RegAPI::WriteString(key_, "Empty", "");
  RegAPI::WriteString(key_, "Text", "abc");
  RegAPI::WriteDword(key_, "Number", 0xFFFFFFFFul);
  unsigned char blob[3] = {1, 2, 3};
  RegAPI::WriteBinary(key_, "Blob", blob, sizeof blob);

  const auto empty = ReadStored(HKEY_CURRENT_USER, path_, "Empty");
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), empty.type);
  EXPECT_EQ(std::vector<unsigned char>{0}, empty.data);
  EXPECT_EQ(Bytes(std::string("abc", 4)), ReadStored(HKEY_CURRENT_USER, path_, "Text").data);
  EXPECT_EQ(Le32({0xFFFFFFFFu}), ReadStored(HKEY_CURRENT_USER, path_, "Number").data);
  const auto binary = ReadStored(HKEY_CURRENT_USER, path_, "Blob");
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), binary.type);
  EXPECT_EQ(std::vector<unsigned char>({1, 2, 3}), binary.data);

  char text[8];
  unsigned long size = sizeof text;
  EXPECT_EQ(1, RegAPI::ReadString(key_, "Text", text, &size));
  EXPECT_EQ(4u, size);
  EXPECT_STREQ("abc", text);
  size = 2;
  EXPECT_EQ(4, CodeOf([&] { RegAPI::ReadString(key_, "Text", text, &size); }));
  size = sizeof text;
  EXPECT_EQ(0, CodeOf([&] { RegAPI::ReadBinary(key_, "Text", blob, &size); }));
  EXPECT_EQ(0, RegAPI::ReadString(key_, "Missing", text, &size));
}

TEST_F(RegAPITest, FailedCallsThrowThree) {
  EXPECT_EQ(3, CodeOf([&] { RegAPI::DeleteValue(key_, "Missing"); }));
  RegAPI::CreateKey(key_, "Only");
  EXPECT_STREQ("Only", RegAPI::KeyName(key_, 0));
  EXPECT_EQ(3, CodeOf([&] { RegAPI::KeyName(key_, 1); }));
  EXPECT_EQ(3, CodeOf([&] { RegAPI::ValueName(key_, 0); }));

  // A value name longer than the 260 characters enumeration offers.
  const std::string long_name(300, 'n');
  RegAPI::WriteDword(key_, long_name.c_str(), 1);
  EXPECT_EQ(3, CodeOf([&] { RegAPI::ValueName(key_, 0); }));

  HKEY copy = RegAPI::OpenKey(key_, "");
  RegAPI::CloseKey(copy);
  EXPECT_EQ(nullptr, copy);
}

TEST_F(RegAPITest, KeyInfoCountsSubkeysValuesAndLongestNames) {
  RegAPI::CreateKey(key_, "A");
  RegAPI::CreateKey(key_, "Longer");
  RegAPI::WriteString(key_, "Name", "12345");
  RegAPI::KeyInfo info;
  RegAPI::GetKeyInfo(key_, &info);
  EXPECT_EQ(2u, info.subkeyCount);
  EXPECT_EQ(6u, info.maxSubkeyNameLength);
  EXPECT_EQ(1u, info.valueCount);
  EXPECT_EQ(4u, info.maxValueNameLength);
  // Text is kept as UTF-16 by the registry, and its size is reported so.
  EXPECT_EQ(12u, info.maxValueDataLength);
}

TEST_F(RegAPITest, DeleteKeyRemovesAWholeTreeAndAcceptsAMissingKey) {
  RegAPI::CreateKey(key_, "Tree\\B\\C");
  RegAPI::CreateKey(key_, "Tree\\A");
  HKEY deep = RegAPI::OpenKey(key_, "Tree\\B\\C");
  RegAPI::WriteDword(deep, "V", 1);
  RegAPI::CloseKey(deep);

  RegAPI::DeleteKey(key_, "Tree");
  EXPECT_FALSE(registry_test::KeyExists(HKEY_CURRENT_USER, path_ + "\\Tree"));
  RegAPI::KeyInfo info;
  RegAPI::GetKeyInfo(key_, &info);
  EXPECT_EQ(0u, info.subkeyCount);

  RegAPI::DeleteKey(key_, "Never\\There");
  EXPECT_FALSE(registry_test::KeyExists(HKEY_CURRENT_USER, path_ + "\\Never\\There"));
}

}  // namespace
