// Tests of FileUtil and SysUtil, on files in a directory of each test's own.
#include "tqrtl/files/FileUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "files_test_support.h"
#include "tqrtl/files/SysUtil.h"

namespace {

namespace fs = std::filesystem;

const std::string kSep = TQPathSeparatorText;

// "a/b" in this system's notation.
std::string P(std::string path) {
  for (char& c : path) {
    if (c == '/') c = TQPathSeparator;
  }
  return path;
}

TEST(FileUtilTest, SplitsAndJoinsPaths) {
  const struct {
    std::string path, directory, file;
  } splits[] = {
      {P("d/x/a.c"), P("d/x"), "a.c"},
      {"a.c", "", "a.c"},
      {P("d/"), "d", ""},
      {P("/a"), "", "a"},
      {"", "", ""},
      // Windows-style names split the same on every system.
      {"Software\\Vantor\\IPC", "Software\\Vantor", "IPC"},
  };
  for (const auto& c : splits) {
    TQString directory("old"), file("old");
    FileUtil::SplitPath(c.path.c_str(), &directory, &file);
    EXPECT_STREQ(directory, c.directory.c_str()) << c.path;
    EXPECT_STREQ(file, c.file.c_str()) << c.path;
  }
  // Null outputs are skipped, and an output may be the path itself.
  TQString path(P("d/x/a.c").c_str());
  FileUtil::SplitPath(path, nullptr, &path);
  EXPECT_STREQ(path, "a.c");
  path = P("d/x/a.c").c_str();
  FileUtil::SplitPath(path, &path, nullptr);
  EXPECT_STREQ(path, P("d/x").c_str());

  EXPECT_STREQ(FileUtil::MakePath("", "a.c"), "a.c");
  EXPECT_STREQ(FileUtil::MakePath(nullptr, "a.c"), "a.c");
  EXPECT_STREQ(FileUtil::MakePath(P("D/x").c_str(), "a.c"), P("D/x/a.c").c_str());
  // A separator already there is not looked for.
  EXPECT_STREQ(FileUtil::MakePath(P("D/x/").c_str(), "a.c"), P("D/x//a.c").c_str());
}

TEST(FileUtilTest, BaseNamesAndParents) {
  const struct {
    const char* path;
    const char* base;
  } bases[] = {
      {"D:/dir/file.txt", "file.txt"},
      {"file.txt", "file.txt"},
      {"\"D:\\dir\\a.c\"", "a.c"},
      {"\"a.c\"", "a.c"},
      {"dir\\", ""},
      {"", ""},
      {nullptr, ""},
  };
  for (const auto& c : bases) {
    EXPECT_STREQ(FileUtil::BaseName(c.path), c.base) << (c.path ? c.path : "(null)");
  }

  const struct {
    std::string parent, child;
    int expected;
  } parents[] = {
      {P("d/a"), P("d/a/b"), 1}, {P("d/a"), P("d/a/b/c"), 1}, {P("d/a"), P("d/ab"), 0},
      {P("d/a"), P("d/a"), 0},   {P("d/a"), P("D/a/b"), 0},   {P("d/a/b"), P("d/a"), 0},
      {"Key", "Key\\Sub", 1},
  };
  for (const auto& c : parents) {
    EXPECT_EQ(FileUtil::IsParent(c.parent.c_str(), c.child.c_str()), c.expected)
        << c.parent << " of " << c.child;
  }
}

// A directory of the test's own; the temporary directory variable and PATH
// point where the test says, and are put back afterwards.
class FileUtilFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    dir_ = fs::temp_directory_path() / ("tqrtl_fileutil_" + std::to_string(GetCurrentProcessId()) +
                                        "_" + std::to_string(counter++));
    fs::create_directories(dir_);
    dir_ = fs::canonical(dir_);
    env_.Save(kTempVariable);
    env_.Save("PATH");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Dir() const { return dir_.string(); }
  std::string In(const std::string& name) const { return (dir_ / P(name)).string(); }
  void Touch(const std::string& name) {
    fs::create_directories(fs::path(In(name)).parent_path());
    std::ofstream(In(name)) << name;
  }

  static constexpr const char* kTempVariable = TQPathSeparator == '\\' ? "TMP" : "TMPDIR";

 private:
  fs::path dir_;
  files_test::ScopedEnv env_;
};

TEST_F(FileUtilFilesTest, TempFilesAreNewAndEmptyInTheTempDirectory) {
  ASSERT_TRUE(SetEnvironmentVariableA(kTempVariable, Dir().c_str()));
  TQString first, second;
  ASSERT_EQ(FileUtil::GetTempFile(&first, "tmpxyz"), 1);
  ASSERT_EQ(FileUtil::GetTempFile(&second, "tmpxyz"), 1);
  EXPECT_STRNE(first, second);
  for (const TQString* path : {&first, &second}) {
    TQString directory, file;
    FileUtil::SplitPath(*path, &directory, &file);
    EXPECT_EQ(_stricmp(directory, Dir().c_str()), 0) << *path;
    EXPECT_EQ(std::string(file).rfind("tmp", 0), 0u) << file;  // 3 prefix characters
    EXPECT_NE(std::string(file).rfind("tmpx", 0), 0u) << file;
    EXPECT_EQ(fs::file_size(static_cast<const char*>(*path)), 0u);
  }

  // A temporary directory that is not there: 0, and the path is left alone.
  ASSERT_TRUE(SetEnvironmentVariableA(kTempVariable, In("missing").c_str()));
  TQString kept("kept");
  EXPECT_EQ(FileUtil::GetTempFile(&kept, "tmp"), 0);
  EXPECT_STREQ(kept, "kept");
}

TEST_F(FileUtilFilesTest, FindFileSearchesTheListOrPath) {
  Touch("one/a.txt");
  Touch("two/b.txt");
  const std::string list = In("one") + ";" + In("two");
  TQString found;
  EXPECT_EQ(FileUtil::FindFile("b.txt", list.c_str(), &found), 1);
  EXPECT_TRUE(fs::equivalent(static_cast<const char*>(found), In("two/b.txt"))) << found;
  EXPECT_EQ(FileUtil::FindFile("c.txt", list.c_str(), &found), 0);
  EXPECT_STREQ(found, "");

  // No list: PATH, and nothing at all when PATH is not set.
  ASSERT_TRUE(SetEnvironmentVariableA("PATH", In("one").c_str()));
  EXPECT_EQ(FileUtil::FindFile("a.txt", nullptr, &found), 1);
  EXPECT_TRUE(fs::equivalent(static_cast<const char*>(found), In("one/a.txt"))) << found;
  ASSERT_TRUE(SetEnvironmentVariableA("PATH", nullptr));
  EXPECT_EQ(FileUtil::FindFile("a.txt", nullptr, &found), 0);
}

TEST_F(FileUtilFilesTest, FindFileFollowsPathsLongerThanTheFirstBuffer) {
  if (TQPathSeparator == '\\') GTEST_SKIP() << "Win32 paths stop at MAX_PATH";
  std::string deep = "d";
  while (In(deep).size() < 300) deep += "/" + std::string(40, 'x');
  Touch(deep + "/deep.txt");
  TQString found;
  ASSERT_EQ(FileUtil::FindFile("deep.txt", In(deep).c_str(), &found), 1);
  EXPECT_EQ(std::string(found), In(deep + "/deep.txt"));
  EXPECT_GT(found.GetLength(), MAX_PATH);
}

TEST_F(FileUtilFilesTest, ModulesAndMappableFilesAreValid) {
  char self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
  std::ofstream(In("text.txt")) << "readable, but no module";
  std::ofstream(In("empty.txt")).close();
  const struct {
    std::string path;
    int expected;
  } cases[] = {
      {self, 1},             // the loader takes it
      {In("text.txt"), 1},   // the loader does not, but it maps
      {In("empty.txt"), 0},  // nothing to map
      {In("missing.txt"), 0},
      {Dir(), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Util::IsValidWin32Exe(c.path.c_str()), c.expected) << c.path;
  }
  // Nothing is left open: the text file can be removed at once (Windows
  // refuses while a handle or a view is open).
  EXPECT_TRUE(fs::remove(In("text.txt")));
}

TEST(SysUtilTest, ReportsTheNtLineAStandardDisplayAndKeys) {
  EXPECT_EQ(SysUtil::IsWinNT(), 1);
  EXPECT_EQ(SysUtil::IsWin95(), 0);
  EXPECT_EQ(SysUtil::IsWin98(), 0);
  EXPECT_EQ(SysUtil::IsWinNT3(), 0);
  EXPECT_EQ(SysUtil::IsNewNTShell(), 0);
  EXPECT_EQ(SysUtil::IsLargeFonts(), 0);
  EXPECT_EQ(SysUtil::KeyCodeToASCII('A', 0x1E), 'a');
  EXPECT_EQ(SysUtil::KeyCodeToASCII('A', 0x1E | 0x8000), 'a');  // only 7 bits of the scan code
  EXPECT_EQ(SysUtil::KeyCodeToASCII(VK_RETURN, 0x1C), '\r');
  EXPECT_EQ(SysUtil::KeyCodeToASCII(VK_SHIFT, 0x2A), 0);
}

TEST(SysUtilTest, PagesAndProcessors) {
  const unsigned long page = SysUtil::GetMemoryPageSize();
  EXPECT_GE(page, 4096ul);
  EXPECT_EQ(page & (page - 1), 0ul) << page;  // a power of two
  const unsigned processors = std::thread::hardware_concurrency();
  if (processors != 0) {
    EXPECT_EQ(SysUtil::IsMultiProcessorHost(), processors > 1 ? 1 : 0);
  }
  EXPECT_NE(SysUtil::IsUniProcessorHost(), SysUtil::IsMultiProcessorHost());
}

}  // namespace
