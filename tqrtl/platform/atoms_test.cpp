// Conformance tests of global atoms and registered window messages, within
// one process and across real processes (tqrtl_process_helper,
// tests/process_helper/atoms.cpp): the same calls run against Windows
// (under Wine) and against the POSIX layer.
//
// The tables are the user's own and outlive the test, so every text here is
// unique to the run (or, for fixed texts, deleted as often as it is added).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "process_support.h"
#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

// A unique text of exactly `length` characters.
std::string UniqueText(size_t length) {
  std::string text = UniqueName("long");
  text.resize(length, 'x');
  return text;
}

TEST(GlobalAtomTest, CountsAddsMatchingIgnoringCaseAndKeepsTheFirstSpelling) {
  const std::string name = UniqueName("Hello");
  const ATOM atom = GlobalAddAtomA(name.c_str());
  ASSERT_GE(atom, 0xC000);
  EXPECT_EQ(GlobalAddAtomA(name.c_str()), atom);
  EXPECT_EQ(GlobalAddAtomA(Upper(name).c_str()), atom);
  EXPECT_EQ(GlobalFindAtomA(Lower(name).c_str()), atom);

  char buffer[300];
  ASSERT_EQ(GlobalGetAtomNameA(atom, buffer, sizeof buffer), name.size());
  EXPECT_STREQ(buffer, name.c_str());

  // Three adds, three deletes: found until the last one.
  for (int i = 3; i > 0; --i) {
    SetLastError(0xDEAD);
    EXPECT_EQ(GlobalDeleteAtom(atom), 0) << i;
    EXPECT_EQ(GetLastError(), 0xDEADu) << i;
    SetLastError(0);
    EXPECT_EQ(GlobalFindAtomA(name.c_str()), i > 1 ? atom : 0) << i;
    if (i == 1) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
  }
  // Gone: a delete fails with the atom itself, the name cannot be read.
  SetLastError(0);
  EXPECT_EQ(GlobalDeleteAtom(atom), atom);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_EQ(GlobalGetAtomNameA(atom, buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// The name and its NUL must fit; what fits is written anyway.
TEST(GlobalAtomTest, ANameThatDoesNotFitFailsWithWhatFitsWritten) {
  const std::string name = UniqueName("Fit");
  const ATOM atom = GlobalAddAtomA(name.c_str());
  ASSERT_NE(atom, 0);
  const int n = static_cast<int>(name.size());
  const struct {
    int capacity;
    UINT result;
    std::string text;  // the buffer afterwards
  } kCases[] = {
      {n + 1, static_cast<UINT>(n), name},
      {n, 0, name.substr(0, n - 1)},
      {2, 0, name.substr(0, 1)},
      {1, 0, ""},
      {0, 0, "untouched"},
  };
  for (const auto& c : kCases) {
    char buffer[300] = "untouched";
    SetLastError(0);
    EXPECT_EQ(GlobalGetAtomNameA(atom, buffer, c.capacity), c.result) << c.capacity;
    EXPECT_EQ(GetLastError(), c.result == 0 ? static_cast<DWORD>(ERROR_MORE_DATA) : 0u)
        << c.capacity;
    EXPECT_EQ(std::string(buffer), c.text) << c.capacity;
  }
  EXPECT_EQ(GlobalDeleteAtom(atom), 0);
}

TEST(GlobalAtomTest, TextsHaveOneTo255Characters) {
  const std::string longest = UniqueText(255);
  const ATOM atom = GlobalAddAtomA(longest.c_str());
  ASSERT_GE(atom, 0xC000);
  char buffer[300];
  // 255 characters need 256 bytes: a reader that offers 255 gets nothing.
  SetLastError(0);
  EXPECT_EQ(GlobalGetAtomNameA(atom, buffer, 255), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(GlobalGetAtomNameA(atom, buffer, 256), 255u);
  EXPECT_EQ(std::string(buffer), longest);
  EXPECT_EQ(GlobalDeleteAtom(atom), 0);

  const std::string too_long = UniqueText(256);
  const std::vector<ErrorCase> results = {
      RecordError("add 256", GlobalAddAtomA(too_long.c_str())),
      RecordError("find 256", GlobalFindAtomA(too_long.c_str())),
      RecordError("add empty", GlobalAddAtomA("")),
      RecordError("add null", GlobalAddAtomA(nullptr)),
      RecordError("name of 0", static_cast<int>(GlobalGetAtomNameA(0, buffer, sizeof buffer))),
  };
  for (const ErrorCase& c : results) {
    EXPECT_EQ(c.result, 0) << c.what;
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
  }
}

TEST(GlobalAtomTest, IntegerAtomsAreDigitsOnlyAndNeverCounted) {
  const struct {
    const char* name;
    ATOM atom;  // 0: refused; 0xC000: a string atom
  } kCases[] = {
      {"#123", 0x7B},   {"#0123", 0x7B},  {"#49151", 0xBFFF}, {MAKEINTATOM(77), 0x4D},
      {"#0", 0},        {"#49152", 0},    {"#65535", 0},      {"#65536", 0},
      {MAKEINTATOM(0xC000), 0},           {"#12a", 0xC000},   {"#", 0xC000},
      {"# 5", 0xC000},  {"#-1", 0xC000},
  };
  for (const auto& c : kCases) {
    const bool integer = reinterpret_cast<ULONG_PTR>(c.name) <= 0xFFFF;
    const std::string what = integer ? "MAKEINTATOM" : c.name;
    SetLastError(0);
    const ATOM atom = GlobalAddAtomA(c.name);
    if (c.atom == 0) {
      EXPECT_EQ(atom, 0) << what;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << what;
    } else if (c.atom == 0xC000) {
      EXPECT_GE(atom, 0xC000) << what;
      EXPECT_EQ(GlobalFindAtomA(c.name), atom) << what;
      EXPECT_EQ(GlobalDeleteAtom(atom), 0) << what;
    } else {
      EXPECT_EQ(atom, c.atom) << what;
      EXPECT_EQ(GlobalFindAtomA(c.name), c.atom) << what;
    }
  }
  // The name of an integer atom is "#" and its number, and it stays.
  char buffer[16];
  ASSERT_EQ(GlobalGetAtomNameA(123, buffer, sizeof buffer), 4u);
  EXPECT_STREQ(buffer, "#123");
  EXPECT_EQ(GlobalDeleteAtom(123), 0);
  EXPECT_EQ(GlobalDeleteAtom(123), 0);
  ASSERT_EQ(GlobalGetAtomNameA(123, buffer, sizeof buffer), 4u);
  EXPECT_STREQ(buffer, "#123");
  EXPECT_EQ(GlobalGetAtomNameA(123, buffer, 4), 0u);  // its NUL must fit too
}

TEST(GlobalAtomTest, AFreedNumberIsUsedAgain) {
  const std::string first = UniqueName("freed"), second = UniqueName("reuse");
  const ATOM atom = GlobalAddAtomA(first.c_str());
  ASSERT_NE(atom, 0);
  ASSERT_EQ(GlobalDeleteAtom(atom), 0);
  EXPECT_EQ(GlobalAddAtomA(second.c_str()), atom);
  char buffer[300];
  ASSERT_NE(GlobalGetAtomNameA(atom, buffer, sizeof buffer), 0u);
  EXPECT_EQ(std::string(buffer), second);
  EXPECT_EQ(GlobalDeleteAtom(atom), 0);
}

TEST(GlobalAtomTest, AnotherProcessReadsAndDeletesAnAtomByNumber) {
  const std::string name = UniqueName("Shared");
  const ATOM atom = GlobalAddAtomA(name.c_str());
  ASSERT_NE(atom, 0);
  EXPECT_EQ(RunHelper({"atom-delete", std::to_string(atom), name}), 0);
  SetLastError(0);
  EXPECT_EQ(GlobalFindAtomA(name.c_str()), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(GlobalAtomTest, AnAtomOutlivesTheProcessThatAddedIt) {
  const std::string name = UniqueName("Orphan");
  ASSERT_EQ(RunHelper({"atom-add", name}), 0);
  const ATOM atom = GlobalFindAtomA(name.c_str());
  ASSERT_GE(atom, 0xC000);
  char buffer[300];
  ASSERT_NE(GlobalGetAtomNameA(atom, buffer, sizeof buffer), 0u);
  EXPECT_EQ(std::string(buffer), name);
  EXPECT_EQ(GlobalDeleteAtom(atom), 0);
  EXPECT_EQ(GlobalFindAtomA(name.c_str()), 0);
}

// Processes that add and delete the same text at once lose no count: the
// one add made here before them is still there afterwards, and is the last.
TEST(GlobalAtomTest, ProcessesAddingAndDeletingAtOnceKeepTheCount) {
  const std::string name = UniqueName("Churn");
  const ATOM atom = GlobalAddAtomA(name.c_str());
  ASSERT_NE(atom, 0);
  std::vector<ChildProcess> children;
  for (int i = 0; i < 3; ++i) children.push_back(StartHelper({"atom-churn", name, "300"}));
  for (ChildProcess& child : children) {
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(child.Wait(60000), 0);
  }
  EXPECT_EQ(GlobalFindAtomA(name.c_str()), atom);
  EXPECT_EQ(GlobalDeleteAtom(atom), 0);
  EXPECT_EQ(GlobalFindAtomA(name.c_str()), 0);
}

TEST(RegisterWindowMessageTest, OneNumberForANameInEveryProcess) {
  const std::string name = UniqueName("TQ_Message");
  const UINT number = RegisterWindowMessageA(name.c_str());
  ASSERT_GE(number, 0xC000u);
  ASSERT_LE(number, 0xFFFFu);
  EXPECT_EQ(RegisterWindowMessageA(Lower(name).c_str()), number);
  EXPECT_EQ(RunHelper({"message-number", Upper(name), std::to_string(number)}), 0);
  EXPECT_NE(RegisterWindowMessageA(UniqueName("TQ_Other").c_str()), number);

  SetLastError(0);
  EXPECT_EQ(RegisterWindowMessageA(""), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
