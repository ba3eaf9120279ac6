// The global and workspace search paths, in a private registry, and file
// finders over them on real directories.
#include "tqrtl/shell/FileSearchPaths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "files_test_support.h"
#include "registry_test_support.h"
#include "tqrtl/shell/TQApplShell.h"

namespace {

namespace fs = std::filesystem;
using registry_test::ReadStored;

class TestShell : public TQApplShell {
 public:
  explicit TestShell(std::string name) : name_(std::move(name)) {}
  char const* GetSettingsKeyName() const override { return name_.c_str(); }
  TQWorkspace* GetWorkspace() const override { return nullptr; }
  char const* GetApplName() const override { return "Test"; }
  char const* GetHelpFileName() const override { return ""; }

 private:
  std::string name_;
};

// Answers every question with one path.
class FixedPrompter : public FileFinder::UserPrompter {
 public:
  explicit FixedPrompter(std::string answer) : UserPrompter("test"), answer_(std::move(answer)) {}
  bool Prompt(char const*, TQString* path) override {
    *path = answer_.c_str();
    return true;
  }

 private:
  std::string answer_;
};

bool InDir(const TQString& file, const std::string& dir) {
  std::error_code error;
  return fs::equivalent(fs::path(static_cast<const char*>(file)).parent_path(), dir, error);
}

class FileSearchPathsTest : public ::testing::Test {
 protected:
  FileSearchPathsTest()
      : appl_(registry_test::UniqueName("Finder")), shell_(std::make_unique<TestShell>(appl_)) {}
  ~FileSearchPathsTest() override {
    shell_.reset();
    registry_test::DeleteTree(HKEY_CURRENT_USER, "Software\\Vantor\\" + appl_);
    registry_test::DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Vantor\\" + appl_);
  }
  std::string SrcPathKey() const { return "Software\\Vantor\\" + appl_ + "\\SrcPath"; }
  void SetGlobal(const std::string& text) {
    registry_test::WriteStored(HKEY_CURRENT_USER, SrcPathKey(), "Paths", REG_SZ,
                               registry_test::Bytes(text + '\0'));
  }
  std::string Global() const { return ReadStored(HKEY_CURRENT_USER, SrcPathKey(), "Paths").Text(); }
  std::string Dir(const std::string& name) {
    const std::string dir = scratch_.File(name);
    fs::create_directories(dir);
    return dir;
  }
  void Make(const std::string& dir, const std::string& name) {
    files_test::WriteBytes((fs::path(dir) / name).string(), "x");
  }

  std::string appl_;
  std::unique_ptr<TestShell> shell_;
  files_test::ScratchDir scratch_;
};

TEST_F(FileSearchPathsTest, PathsReadTheirStoresAfreshAndExtendThem) {
  GlobalSearchPath* global = new GlobalSearchPath;
  TQWorkspace workspace;
  WorkspaceSearchPath* local = new WorkspaceSearchPath(&workspace);
  global->AddRef();
  local->AddRef();
  SetGlobal("one;two");
  EXPECT_STREQ("one;two", global->Value());
  SetGlobal("g1;w2;g2");
  workspace.SrcPaths() = "w1;W2";
  EXPECT_STREQ("g1;w2;g2", global->Value());
  EXPECT_STREQ("w1;W2;g1;g2", local->Value());

  // Each Add goes to its own store, once whatever the spelling.
  for (const char* dir : {"Four", "FOUR", "g1"}) global->Add(dir);
  for (const char* dir : {"w3", "W3", "w1"}) local->Add(dir);
  EXPECT_EQ("g1;w2;g2;Four", Global());
  EXPECT_STREQ("w1;W2;w3", workspace.SrcPaths());
  EXPECT_STREQ("w1;W2;w3;g1;g2;Four", local->Value());

  // Without a current shell there is no setting to read or extend.
  shell_.reset();
  EXPECT_STREQ("", global->Value());
  EXPECT_STREQ("w1;W2;w3", local->Value());
  global->Add("five");
  EXPECT_EQ("g1;w2;g2;Four", Global());
  global->Release();
  local->Release();
}

TEST_F(FileSearchPathsTest, FinderSearchesWorkspaceFirstAndExtendsIt) {
  const std::string ws = Dir("ws"), global = Dir("global"), other = Dir("Other");
  Make(ws, "both.h");
  Make(global, "both.h");
  Make(global, "g.h");
  SetGlobal(global);
  TQWorkspace workspace;
  workspace.SrcPaths() = ws.c_str();

  {
    FileFinder finder(new WorkspaceSearchPath(&workspace),
                      new FixedPrompter(other + TQPathSeparatorText + "p.h"));
    TQString found;
    ASSERT_EQ(1, finder.Find("both.h", &found, 0));
    EXPECT_TRUE(InDir(found, ws)) << found;
    ASSERT_EQ(1, finder.Find("g.h", &found, 0));
    EXPECT_TRUE(InDir(found, global)) << found;
    // The prompter's directory goes to the workspace, not to the setting.
    ASSERT_EQ(1, finder.Find("p.h", &found, 0));
    EXPECT_EQ(global, Global());
  }
  std::string added = other;
#if defined(_WIN32)
  for (char& c : added) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
#endif
  EXPECT_EQ(ws + ";" + added, std::string(workspace.SrcPaths()));
}

}  // namespace
