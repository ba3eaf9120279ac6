// Tests of FileFinder, on real files in a directory of each test's own.
#include "tqrtl/files/FileFinder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "files_test_support.h"

namespace {

namespace fs = std::filesystem;
using files_test::ScratchDir;
using files_test::WriteBytes;

// "a/b" in this system's notation.
std::string P(std::string path) {
  for (char& c : path) {
    if (c == '/') c = TQPathSeparator;
  }
  return path;
}

bool Same(const TQString& found, const std::string& expected) {
  std::error_code error;
  return fs::equivalent(fs::path(static_cast<const char*>(found)), fs::path(expected), error);
}

// A search path that says when it is gone.
class TrackedPath : public FileFinder::SearchPathA {
 public:
  explicit TrackedPath(bool* gone = nullptr) : gone_(gone) {}
  ~TrackedPath() override {
    if (gone_ != nullptr) *gone_ = true;
  }

 private:
  bool* gone_;
};

// A prompter that answers with the next of its scripted paths ("" declines)
// and counts its questions.
class ScriptedPrompter : public FileFinder::UserPrompter {
 public:
  explicit ScriptedPrompter(std::vector<std::string> answers, bool* gone = nullptr)
      : UserPrompter("test"), answers_(std::move(answers)), gone_(gone) {}
  ~ScriptedPrompter() override {
    if (gone_ != nullptr) *gone_ = true;
  }
  bool Prompt(char const* fileName, TQString* path) override {
    asked.push_back(fileName);
    const std::string answer = asked.size() <= answers_.size() ? answers_[asked.size() - 1] : "";
    if (answer.empty()) return false;
    *path = answer.c_str();
    return true;
  }
  std::vector<std::string> asked;

 private:
  std::vector<std::string> answers_;
  bool* gone_;
};

// Makes `dir` the current directory for its lifetime.
class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const std::string& dir) : saved_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~ScopedCurrentDir() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

class FileFinderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = scratch_.File("a");
    b_ = scratch_.File("b");
    fs::create_directories(a_);
    fs::create_directories(b_);
  }
  std::string Make(const std::string& dir, const std::string& name) {
    const std::string path = (fs::path(dir) / name).string();
    WriteBytes(path, "x");
    return path;
  }

  ScratchDir scratch_;
  std::string a_, b_;
};

TEST_F(FileFinderTest, CachesAnswersByLowerCasedNameUntilForced) {
  TrackedPath* path = new TrackedPath;
  path->Add(a_.c_str());
  FileFinder finder(path, nullptr);
  const std::string foo = Make(a_, "Foo.c");

  TQString found;
  ASSERT_EQ(1, finder.Find("Foo.C", &found, 0));
  EXPECT_TRUE(Same(found, foo)) << found;
  const TQString first = found;

  // The file goes: another spelling of the name is the same cached question.
  fs::remove(foo);
  found = "";
  EXPECT_EQ(1, finder.Find("foo.c", &found, 0));
  EXPECT_STREQ(first, found);
  // A forced search finds nothing and keeps the answer it had.
  found = "";
  EXPECT_EQ(1, finder.Find("FOO.c", &found, 1));
  EXPECT_STREQ(first, found);

  // A name found nowhere is remembered as such: the file appearing later
  // changes nothing until a search is forced, whose answer then sticks.
  EXPECT_EQ(0, finder.Find("late.h", &found, 0));
  const std::string late = Make(b_, "late.h");
  path->Add(b_.c_str());
  EXPECT_EQ(0, finder.Find("late.h", &found, 0));
  EXPECT_TRUE(found.IsEmpty());
  ASSERT_EQ(1, finder.Find("Late.h", &found, 1));
  EXPECT_TRUE(Same(found, late)) << found;
  fs::remove(late);
  EXPECT_EQ(1, finder.Find("late.H", &found, 0));
  EXPECT_TRUE(found.Find("late.h") >= 0) << found;
}

TEST_F(FileFinderTest, ManyNamesKeepTheirOwnAnswers) {
  // More names than a node block or a bucket holds: every answer must come
  // back for its own name after the files are gone.
  FileFinder::SearchPathA* shared = new TrackedPath;
  shared->Add(a_.c_str());
  FileFinder withPath(shared, nullptr);
  std::vector<std::string> made(40);
  for (int i = 0; i < 40; ++i) {
    const std::string name = "f" + std::to_string(i) + ".h";
    if (i % 3 != 0) made[i] = Make(a_, name);
    TQString found;
    EXPECT_EQ(i % 3 != 0 ? 1 : 0, withPath.Find(name.c_str(), &found, 0)) << name;
  }
  fs::remove_all(a_);
  fs::create_directories(a_);
  for (int i = 0; i < 40; ++i) {
    const std::string name = "f" + std::to_string(i) + ".h";
    if (i % 3 == 0) Make(a_, name);  // the ones not found before now exist
    TQString found;
    ASSERT_EQ(i % 3 != 0 ? 1 : 0, withPath.Find(name.c_str(), &found, 0)) << name;
    if (i % 3 != 0) {
      EXPECT_EQ(fs::path(made[i]).filename().string(),
                fs::path(static_cast<const char*>(found)).filename().string());
    }
  }
}

TEST_F(FileFinderTest, NameWithDirectoryPartIsLookedForByItsBaseName) {
  const std::string x = Make(a_, "x.h");
  FileFinder::SearchPathA* path = new TrackedPath;
  path->Add(a_.c_str());
  FileFinder finder(path, nullptr);
  for (const std::string& name :
       std::vector<std::string>{P("old/dir/x.h"), "\"x.h\"", "\"" + P("old/dir/x.h") + "\""}) {
    TQString found;
    ASSERT_EQ(1, finder.Find(name.c_str(), &found, 0)) << name;
    EXPECT_TRUE(Same(found, x)) << name << " -> " << found;
  }
  // A base name found nowhere fails as a whole.
  TQString found;
  EXPECT_EQ(0, finder.Find(P("a/y.h").c_str(), &found, 0));
}

TEST_F(FileFinderTest, CurrentDirectoryIsSearchedFirstUnlessPlaced) {
  const std::string inA = Make(a_, "dup.h");
  const std::string inB = Make(b_, "dup.h");
  ScopedCurrentDir cwd(b_);
  {
    FileFinder::SearchPathA* path = new TrackedPath;
    path->Add(a_.c_str());
    FileFinder finder(path, nullptr);
    TQString found;
    ASSERT_EQ(1, finder.Find("dup.h", &found, 0));
    EXPECT_TRUE(Same(found, inB)) << found;
    // The finder searched with "." but did not store it in the path.
    EXPECT_STREQ(a_.c_str(), path->Value());
  }
  {
    FileFinder::SearchPathA* path = new TrackedPath;
    path->Add(a_.c_str());
    path->Add(".");
    FileFinder finder(path, nullptr);
    TQString found;
    ASSERT_EQ(1, finder.Find("dup.h", &found, 0));
    EXPECT_TRUE(Same(found, inA)) << found;
  }
}

TEST_F(FileFinderTest, PrompterAnswerAddsItsDirectoryOnce) {
  // A directory whose name has capitals: where names are case-sensitive
  // the path must keep them to name the same directory.
  const std::string mixed = scratch_.File("Mixed");
  fs::create_directories(mixed);
  const std::string p = Make(mixed, "p.h");
  const std::string q = Make(mixed, "q.h");
  const std::string r = Make(mixed, "r.h");
  FileFinder::SearchPathA* path = new TrackedPath;
  path->Add(a_.c_str());
  ScriptedPrompter* prompter = new ScriptedPrompter({p, r, ""});
  FileFinder finder(path, prompter);

  TQString found;
  ASSERT_EQ(1, finder.Find("p.h", &found, 0));
  EXPECT_STREQ(p.c_str(), found);
#if defined(_WIN32)
  std::string added = mixed;
  for (char& c : added) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
#else
  const std::string added = mixed;
#endif
  EXPECT_STREQ((a_ + ";" + added).c_str(), path->Value());
  // The next file beside it is found without asking, by another finder too.
  FileFinder other(path, nullptr);
  ASSERT_EQ(1, other.Find("q.h", &found, 0));
  EXPECT_TRUE(Same(found, q)) << found;
  EXPECT_EQ(1u, prompter->asked.size());

  // A second answer in the same directory does not add it again (r.h is
  // gone from the disk, so the search fails and the prompter answers).
  fs::remove(r);
  ASSERT_EQ(1, finder.Find("r.h", &found, 0));
  EXPECT_EQ(2u, prompter->asked.size());
  EXPECT_STREQ((a_ + ";" + added).c_str(), path->Value());

  // Declined: 0, remembered, not asked again.
  EXPECT_EQ(0, finder.Find("none.h", &found, 0));
  EXPECT_EQ(0, finder.Find("NONE.h", &found, 0));
  EXPECT_EQ((std::vector<std::string>{"p.h", "r.h", "none.h"}), prompter->asked);
}

TEST_F(FileFinderTest, SharedPathAndPrompterLiveAsLongAsTheirLastFinder) {
  bool pathGone = false, prompterGone = false;
  TrackedPath* path = new TrackedPath(&pathGone);
  ScriptedPrompter* prompter = new ScriptedPrompter({}, &prompterGone);
  auto* first = new FileFinder(path, prompter);
  auto* second = new FileFinder(path, prompter);
  EXPECT_EQ(2, path->GetRefCount());
  EXPECT_EQ(2, prompter->GetRefCount());
  delete first;
  EXPECT_FALSE(pathGone);
  EXPECT_EQ(1, path->GetRefCount());
  EXPECT_EQ(1, prompter->GetRefCount());
  delete second;
  EXPECT_TRUE(pathGone);
  EXPECT_TRUE(prompterGone);
}

TEST_F(FileFinderTest, PathLongerThanTheFirstBufferComesBackWhole) {
  fs::path deep = a_;
  while (deep.string().size() < 300) deep /= std::string(40, 'd');
  std::error_code error;
  fs::create_directories(deep, error);
  if (error) GTEST_SKIP() << "this system cannot make " << deep.string().size() << "-byte paths";
  const std::string file = Make(deep.string(), "long.h");
  FileFinder::SearchPathA* path = new TrackedPath;
  path->Add(deep.string().c_str());
  FileFinder finder(path, nullptr);
  TQString found;
  ASSERT_EQ(1, finder.Find("long.h", &found, 0));
  EXPECT_GT(found.GetLength(), MAX_PATH);
  EXPECT_TRUE(Same(found, file)) << found;
}

}  // namespace
