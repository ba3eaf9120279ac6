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
  std::string Make(const std::string& dir, const std::string& name) {
    const std::string path = (fs::path(dir) / name).string();
    files_test::WriteBytes(path, "x");
    return path;
  }

  std::string appl_;
  std::unique_ptr<TestShell> shell_;
  files_test::ScratchDir scratch_;
};

TEST_F(FileSearchPathsTest, GlobalPathReadsAndExtendsTheUserSetting) {
  GlobalSearchPath* path = new GlobalSearchPath;
  path->AddRef();
  SetGlobal("one;two");
  EXPECT_STREQ("one;two", path->Value());
  // Every Value reads afresh.
  SetGlobal("three");
  EXPECT_STREQ("three", path->Value());

  path->Add("Four");
  EXPECT_EQ("three;Four", Global());
  // Already there, in another spelling: nothing changes.
  path->Add("FOUR");
  path->Add("three");
  EXPECT_EQ("three;Four", Global());
  EXPECT_STREQ("three;Four", path->Value());

  // Without a current shell there is no setting to read or extend.
  shell_.reset();
  EXPECT_STREQ("", path->Value());
  path->Add("five");
  EXPECT_EQ("three;Four", Global());
  path->Release();
}

TEST_F(FileSearchPathsTest, WorkspacePathsComeBeforeGlobalOnes) {
  SetGlobal("g1;w2;g2");
  TQWorkspace workspace;
  workspace.SrcPaths() = "w1;W2";
  WorkspaceSearchPath* path = new WorkspaceSearchPath(&workspace);
  path->AddRef();
  EXPECT_STREQ("w1;W2;g1;g2", path->Value());

  // Add changes the workspace only, and only once.
  path->Add("w3");
  path->Add("W3");
  path->Add("w1");
  EXPECT_STREQ("w1;W2;w3", workspace.SrcPaths());
  EXPECT_EQ("g1;w2;g2", Global());
  EXPECT_STREQ("w1;W2;w3;g1;g2", path->Value());
  path->Release();
}

TEST_F(FileSearchPathsTest, FindersSearchWorkspaceFirstAndRememberPromptedDirectories) {
  const std::string ws = Dir("ws"), global = Dir("global"), other = Dir("Other");
  Make(ws, "both.h");
  Make(global, "both.h");
  Make(global, "g.h");
  SetGlobal(global);
  TQWorkspace workspace;
  workspace.SrcPaths() = ws.c_str();

  {
    FileFinder finder(new WorkspaceSearchPath(&workspace), new FixedPrompter(other + TQPathSeparatorText + "p.h"));
    TQString found;
    ASSERT_EQ(1, finder.Find("both.h", &found, 0));
    EXPECT_TRUE(InDir(found, ws)) << found;
    ASSERT_EQ(1, finder.Find("g.h", &found, 0));
    EXPECT_TRUE(InDir(found, global)) << found;
    // The prompter's directory goes to the workspace, not to the setting.
    ASSERT_EQ(1, finder.Find("p.h", &found, 0));
    EXPECT_EQ(global, Global());
  }
#if defined(_WIN32)
  std::string lowered = other;
  for (char& c : lowered) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(ws + ";" + lowered, std::string(workspace.SrcPaths()));
#else
  EXPECT_EQ(ws + ";" + other, std::string(workspace.SrcPaths()));
#endif

  // Over the global path, a prompted directory is stored in the setting, and
  // a new finder (with an empty cache) then finds files beside it.
  const std::string late = Dir("late");
  {
    FileFinder finder(new GlobalSearchPath, new FixedPrompter(late + TQPathSeparatorText + "q.h"));
    TQString found;
    ASSERT_EQ(1, finder.Find("q.h", &found, 0));
  }
#if !defined(_WIN32)
  EXPECT_EQ(global + ";" + late, Global());
#endif
  const std::string beside = Make(late, "r.h");
  FileFinder finder(new GlobalSearchPath, nullptr);
  TQString found;
  ASSERT_EQ(1, finder.Find("r.h", &found, 0));
  std::error_code error;
  EXPECT_TRUE(fs::equivalent(fs::path(static_cast<const char*>(found)), beside, error)) << found;
}

}  // namespace
