// Keys and iterators on the real registry: paths, opening through the
// parent chain, deleting subtrees, enumeration, and that every failure
// leaves the keys closed.
#include "tqrtl/registry/Registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "registry_test_support.h"
#include "tqrtl/registry/RegistryValue.h"

namespace {

using registry_test::KeyExists;
using registry_test::Le32;
using registry_test::WriteStored;

class RegistryKeyTest : public ::testing::Test {
 protected:
  RegistryKeyTest()
      : name_(registry_test::UniqueName("Keys")),
        hive_(HKEY_CURRENT_USER),
        test_(&hive_, "Software\\TQRTLTest"),
        top_(&test_, name_.c_str()) {}
  ~RegistryKeyTest() override {
    registry_test::DeleteTree(HKEY_CURRENT_USER, "Software\\TQRTLTest\\" + name_);
  }
  std::string Where(const std::string& below = "") const {
    return "Software\\TQRTLTest\\" + name_ + (below.empty() ? "" : "\\" + below);
  }

  std::string name_;
  Registry::RootKey hive_;
  Registry::Subkey test_;
  Registry::Subkey top_;
};

TEST_F(RegistryKeyTest, PathsJoinLevelsBelowTheRoot) {
  Registry::Subkey prefs(&hive_, "Preferences");
  Registry::Subkey inner(&prefs, "Preferences");
  Registry::Subkey two_levels(&hive_, "Software\\Vantor");
  EXPECT_STREQ("", hive_.Path());
  EXPECT_STREQ("Preferences", prefs.Path());
  EXPECT_STREQ("Preferences\\Preferences", inner.Path());
  EXPECT_STREQ("Software\\Vantor", two_levels.Path());
  EXPECT_EQ(&hive_, inner.Root());
  const Registry::Item& as_const = inner;
  EXPECT_EQ(&hive_, as_const.Root());
}

TEST_F(RegistryKeyTest, NestedOpensShareOneHandleThatTheLastCloseCloses) {
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Where()));
  const HKEY first = top_.Open();
  const HKEY second = top_.Open();
  EXPECT_EQ(first, second);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Where()));
  // The parents were held open only while the child was being opened.
  EXPECT_FALSE(test_.IsOpen());
  top_.Close();
  EXPECT_TRUE(top_.IsOpen());
  top_.Close();
  EXPECT_FALSE(top_.IsOpen());
  EXPECT_EQ(0, top_.OpenCount());
  top_.Close();  // unmatched: no effect
  EXPECT_EQ(0, top_.OpenCount());
}

TEST_F(RegistryKeyTest, CreateMakesTheKeyAndLeavesItClosed) {
  Registry::Subkey deep(&top_, "A\\B");
  EXPECT_EQ(1, deep.Create());
  EXPECT_FALSE(deep.IsOpen());
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Where("A\\B")));

  // A copy of an open key starts closed and opens a handle of its own.
  deep.Open();
  Registry::Subkey copy(deep);
  EXPECT_FALSE(copy.IsOpen());
  EXPECT_EQ(0, copy.OpenCount());
  EXPECT_NE(nullptr, copy.Open());
  copy.Close();
  deep.Close();
}

TEST_F(RegistryKeyTest, DeleteRemovesTheLeafWithItsSubtreeOnly) {
  Registry::Subkey leaf(&top_, "Upper\\Leaf");
  Registry::Subkey below(&leaf, "Below");
  ASSERT_EQ(1, below.Create());
  leaf.Delete();
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Where("Upper\\Leaf")));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Where("Upper")));
  leaf.Delete();  // no longer there: still no failure
  EXPECT_EQ(1, leaf.Create());

  // A slash is part of a key name, not a level, on every system.
  Registry::Subkey slashed(&top_, "a/b");
  ASSERT_EQ(1, slashed.Create());
  Registry::Subkey plain(&top_, "b");
  ASSERT_EQ(1, plain.Create());
  slashed.Delete();
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Where("a/b")));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Where("b")));
}

TEST_F(RegistryKeyTest, OpenByPathClimbsThroughEmptyNames) {
  Registry::Subkey unnamed(&top_, "");
  ASSERT_EQ(1, top_.Create());
  HKEY self = unnamed.Open("");  // "" below a key named "" is top_ itself
  RegAPI::WriteDword(self, "Marker", 5);
  RegAPI::CloseKey(self);
  EXPECT_EQ(5u, registry_test::ReadStored(HKEY_CURRENT_USER, Where(), "Marker").Dword());

  HKEY root = hive_.Open("");  // at the root: the root itself
  EXPECT_TRUE(RegAPI::KeyName(root, 0).GetLength() > 0);
  RegAPI::CloseKey(root);
  EXPECT_FALSE(top_.IsOpen());
}

TEST_F(RegistryKeyTest, IteratorsEnumerateInIndexOrderAndBalanceOpens) {
  for (const char* name : {"One", "Two", "Three"}) Registry::Subkey(&top_, name).Create();
  std::vector<std::string> names;
  {
    Registry::SubkeyIterator it(top_);
    while (it.More()) names.push_back(static_cast<const char*>(it.Next().Name()));
    EXPECT_EQ(3u, names.size());
    it.Rewind();
    for (const std::string& name : names) EXPECT_STREQ(name.c_str(), it.Next().Name());
    EXPECT_FALSE(it.More());
    try {
      it.Next();
      ADD_FAILURE() << "Next past the end returned";
    } catch (unsigned int code) {
      EXPECT_EQ(3u, code);
    }
    Registry::SubkeyIterator copy(it);
    EXPECT_EQ(2, top_.OpenCount());
  }
  EXPECT_EQ(0, top_.OpenCount());
  EXPECT_FALSE(top_.IsOpen());

  // Subkeys come back as children of the iterated key.
  Registry::SubkeyIterator again(top_);
  Registry::Subkey first = again.Next();
  EXPECT_EQ(&top_, first.Parent());
  EXPECT_EQ(Where(first.Name()), std::string(static_cast<const char*>(first.Path())));
}

TEST_F(RegistryKeyTest, ValueIteratorBuildsTypedValuesAndPassesUnknownTypes) {
  WriteStored(HKEY_CURRENT_USER, Where(), "Number", REG_DWORD, Le32({7}));
  WriteStored(HKEY_CURRENT_USER, Where(), "List", REG_MULTI_SZ, {'a', 0, 0});
  WriteStored(HKEY_CURRENT_USER, Where(), "Rect", REG_BINARY, Le32({2, 1, 2, 3, 4}));
  int typed = 0, unsupported = 0;
  Registry::ValueIterator it(top_);
  while (it.More()) {
    try {
      std::unique_ptr<Registry::Value> value(it.Next());
      ASSERT_NE(nullptr, value);
      EXPECT_EQ(&top_, value->Parent());
      ++typed;
    } catch (unsigned int code) {
      EXPECT_EQ(4u, code);
      ++unsupported;
    }
  }
  EXPECT_EQ(2, typed);
  EXPECT_EQ(1, unsupported);
}

TEST_F(RegistryKeyTest, FailuresInsideOperationsLeaveKeysClosed) {
  // Another key object deletes the key while this one holds it open: every
  // call on the held handle fails, and each operation closes what it opened.
  Registry::Subkey held(&top_, "Held");
  held.Open();
  Registry::Subkey(&top_, "Held").Delete();
  Registry::NumberValue<int> value(&held, "V", 1);
  for (int round = 0; round < 2; ++round) {
    try {
      value.Get();
      ADD_FAILURE() << "read from a deleted key";
    } catch (unsigned int code) {
      EXPECT_EQ(3u, code);
    }
  }
  RegAPI::KeyInfo info;
  EXPECT_THROW(held.GetInfo(&info), unsigned int);
  EXPECT_THROW(Registry::SubkeyIterator{held}, unsigned int);
  EXPECT_EQ(1, held.OpenCount());
  held.Close();
  EXPECT_FALSE(held.IsOpen());
  // Closed, the object opens the key anew (making it again).
  EXPECT_EQ(1, value.Get());
}

}  // namespace
