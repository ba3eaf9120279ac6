// Typed values on the real registry: defaults stored on first read, repair
// of whatever broken entry is found, writes only for changes, and building
// typed objects for what is stored.
#include "tqrtl/registry/RegistryValue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "registry_test_support.h"
#if !defined(_WIN32)
#include "tqrtl/platform/posix/registry.h"
#endif

namespace {

using registry_test::Bytes;
using registry_test::Le32;
using registry_test::ReadStored;
using registry_test::Stored;
using registry_test::WriteStored;

class RegistryValueTest : public ::testing::Test {
 protected:
  RegistryValueTest()
      : name_(registry_test::UniqueName("Values")),
        hive_(HKEY_CURRENT_USER),
        test_(&hive_, "Software\\TQRTLTest"),
        top_(&test_, name_.c_str()),
        key_(&top_, "Window") {}
  ~RegistryValueTest() override {
    registry_test::DeleteTree(HKEY_CURRENT_USER, "Software\\TQRTLTest\\" + name_);
  }
  std::string Where() const { return "Software\\TQRTLTest\\" + name_ + "\\Window"; }
  Stored Read(const char* name) const { return ReadStored(HKEY_CURRENT_USER, Where(), name); }
  void Store(const char* name, DWORD type, const std::vector<unsigned char>& data) {
    WriteStored(HKEY_CURRENT_USER, Where(), name, type, data);
  }

  std::string name_;
  Registry::RootKey hive_;
  Registry::Subkey test_;
  Registry::Subkey top_;
  Registry::Subkey key_;
};

TEST_F(RegistryValueTest, FirstReadStoresTheDefaultAndMarksTheChainChanged) {
  Registry::NumberValue<int> show(&key_, "ShowCmd", 1);
  EXPECT_EQ(0, show.IsChanged());
  EXPECT_EQ(1, show.Get());
  const Stored stored = Read("ShowCmd");
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), stored.type);
  EXPECT_EQ(1u, stored.Dword());
  for (const Registry::Item* item :
       {static_cast<const Registry::Item*>(&show), static_cast<const Registry::Item*>(&key_),
        static_cast<const Registry::Item*>(&top_), static_cast<const Registry::Item*>(&test_),
        static_cast<const Registry::Item*>(&hive_)}) {
    EXPECT_EQ(1, item->IsChanged()) << item->Path();
  }
  EXPECT_FALSE(key_.IsOpen());
}

TEST_F(RegistryValueTest, BrokenEntriesAreReplacedByTheDefault) {
  const std::string long_text(2047, 'x');
  struct Case {
    const char* what;
    DWORD type;
    std::vector<unsigned char> data;
  };
  const Case number_cases[] = {
      {"a text", REG_SZ, Bytes(std::string("3", 2))},
      {"8 bytes", REG_BINARY, Le32({1, 2})},
      {"2 bytes", REG_DWORD, {1, 0}},
  };
  for (const Case& c : number_cases) {
    Store("N", c.type, c.data);
    Registry::NumberValue<int> n(&key_, "N", 42);
    EXPECT_EQ(42, n.Get()) << c.what;
    EXPECT_EQ(Le32({42}), Read("N").data) << c.what;
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), Read("N").type) << c.what;
    EXPECT_EQ(1, n.IsChanged()) << c.what;
  }
  const tagRECT fallback = {1, 2, 3, 4};
  const Case rect_cases[] = {
      {"a size's code", REG_BINARY, Le32({1, 10, 20, 30, 40})},
      {"16 bytes", REG_BINARY, Le32({2, 10, 20, 30})},
      {"21 bytes", REG_BINARY,
       [] {
         auto bytes = Le32({2, 10, 20, 30, 40});
         bytes.push_back(0);
         return bytes;
       }()},
      {"a number", REG_DWORD, Le32({2})},
  };
  for (const Case& c : rect_cases) {
    Store("R", c.type, c.data);
    Registry::ExtendedValue<tagRECT, 2> r(&key_, "R", fallback);
    const tagRECT got = r.Get();
    EXPECT_EQ(3, got.right) << c.what;
    EXPECT_EQ(Le32({2, 1, 2, 3, 4}), Read("R").data) << c.what;
  }
  const Case string_cases[] = {
      {"2048 bytes with the NUL", REG_SZ, Bytes(long_text + '\0')},
      {"a number", REG_DWORD, Le32({1})},
  };
  for (const Case& c : string_cases) {
    Store("S", c.type, c.data);
    Registry::StringValue s(&key_, "S", "fallback");
    EXPECT_STREQ("fallback", s.Get()) << c.what;
    EXPECT_EQ(Bytes(std::string("fallback", 9)), Read("S").data) << c.what;
  }
  // The longest text that fits is kept, even without a NUL of its own.
  Store("S", REG_SZ, Bytes(long_text.substr(1)));
  Registry::StringValue s(&key_, "S", "fallback");
  EXPECT_EQ(long_text.substr(1), std::string(s.Get()));
}

TEST_F(RegistryValueTest, AssigningWritesOnlyChanges) {
  Store("Title", REG_SZ, Bytes(std::string("same", 5)));
  Registry::StringValue title(&key_, "Title", "default");
  title = "same";
  EXPECT_EQ(0, title.IsChanged());
  EXPECT_EQ(0, key_.IsChanged());

  title = "different";
  EXPECT_EQ(Bytes(std::string("different", 10)), Read("Title").data);
  EXPECT_EQ(1, title.IsChanged());
  EXPECT_EQ(1, top_.IsChanged());

  // From another value object: it reads first, then assigns what it read.
  Registry::StringValue other(&key_, "Other", "from other");
  title = other;
  EXPECT_STREQ("from other", title.Get());
  // The cached text itself as the new text (a pointer into the cache).
  title = title.Get();
  EXPECT_STREQ("from other", title.Get());

  // Assigning itself does nothing at all, not even the repairing read.
  Store("Title", REG_DWORD, Le32({1}));
  Registry::StringValue& same = title;
  title = same;
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), Read("Title").type);
}

TEST_F(RegistryValueTest, NumbersKeepTheir32BitsAndSign) {
  Registry::NumberValue<long> offset(&key_, "Offset", -1);
  EXPECT_EQ(-1, offset.Get());
  EXPECT_EQ(Le32({0xFFFFFFFFu}), Read("Offset").data);
  offset = -123456;
  EXPECT_EQ(-123456, Registry::NumberValue<long>(&key_, "Offset", 0).Get());
  // The same bits seen as unsigned.
  EXPECT_EQ(0xFFFE1DC0u, Registry::NumberValue<unsigned int>(&key_, "Offset", 0).Get());

  Registry::ExtendedValue<tagPOINT, 0> where(&key_, "Where", tagPOINT{-5, 6});
  EXPECT_EQ(-5, where.Get().x);
  EXPECT_EQ(Le32({0, static_cast<DWORD>(-5), 6}), Read("Where").data);
  where = tagPOINT{7, -8};
  EXPECT_EQ(Le32({0, 7, static_cast<DWORD>(-8)}), Read("Where").data);
}

TEST_F(RegistryValueTest, CreateBuildsTheClassOfWhatIsStored) {
  Store("Number", REG_DWORD, Le32({7}));
  Store("Text", REG_SZ, Bytes(std::string("hello", 6)));
  Store("Point", REG_BINARY, Le32({0, 1, 2}));
  Store("Size", REG_BINARY, Le32({1, 3, 4}));
  Store("Rect", REG_BINARY, Le32({2, 1, 2, 3, 4}));

  std::unique_ptr<Registry::Value> number(Registry::Value::Create(&key_, "Number"));
  ASSERT_NE(nullptr, number);
  EXPECT_EQ(number.get(), number->NumberVal());
  EXPECT_EQ(nullptr, number->StringVal());
  EXPECT_EQ(7u, number->NumberVal()->GetDefault());
  std::unique_ptr<Registry::Value> text(Registry::Value::Create(&key_, "Text"));
  ASSERT_NE(nullptr, text->StringVal());
  EXPECT_STREQ("hello", text->StringVal()->GetDefault());
  std::unique_ptr<Registry::Value> point(Registry::Value::Create(&key_, "Point"));
  ASSERT_NE(nullptr, point->PointVal());
  EXPECT_EQ(2, point->PointVal()->GetDefault().y);
  std::unique_ptr<Registry::Value> size(Registry::Value::Create(&key_, "Size"));
  ASSERT_NE(nullptr, size->SizeVal());
  EXPECT_EQ(nullptr, size->RectVal());
  std::unique_ptr<Registry::Value> rect(Registry::Value::Create(&key_, "Rect"));
  ASSERT_NE(nullptr, rect->RectVal());
  EXPECT_EQ(4, rect->RectVal()->GetDefault().bottom);
  EXPECT_EQ(nullptr, Registry::Value::Create(&key_, "Missing"));

  for (const auto& [type, data] :
       {std::pair<DWORD, std::vector<unsigned char>>{REG_MULTI_SZ, {'a', 0, 0}},
        {REG_BINARY, Le32({3, 1, 2})},
        {REG_BINARY, Le32({0, 1, 2, 3})},
        {REG_QWORD, Le32({1, 2})},
        {REG_SZ, Bytes(std::string(2049, 'y'))}}) {
    Store("Odd", type, data);
    try {
      delete Registry::Value::Create(&key_, "Odd");
      ADD_FAILURE() << "type " << type << " of " << data.size() << " bytes was accepted";
    } catch (unsigned int code) {
      EXPECT_EQ(4u, code);
    }
    EXPECT_TRUE(Read("Odd").exists);  // nothing deleted
  }
  EXPECT_FALSE(key_.IsOpen());
}

TEST_F(RegistryValueTest, DeleteThenReadWritesTheDefaultBack) {
  Registry::NumberValue<unsigned long> count(&key_, "Count", 3);
  count = 9;
  count.Delete();
  EXPECT_FALSE(Read("Count").exists);
  EXPECT_THROW(count.Delete(), unsigned int);
  EXPECT_EQ(3u, count.Get());
  EXPECT_EQ(3u, Read("Count").Dword());
}

#if !defined(_WIN32)
// The store answers repeated reads from memory: a read of a value that
// exists, four levels deep, runs no statement at all, so it writes nothing.
TEST_F(RegistryValueTest, ReadingAnExistingValueWritesNothing) {
  Registry::NumberValue<int> width(&key_, "Width", 640);
  width.Get();  // stores the default
  width.Get();  // a write drops the process's copy of the hive: warm it again
  const auto before = tqrtl::posix::RegistryStatementCount();
  EXPECT_EQ(640, width.Get());
  width = 640;
  EXPECT_EQ(before, tqrtl::posix::RegistryStatementCount());
}
#endif

}  // namespace
