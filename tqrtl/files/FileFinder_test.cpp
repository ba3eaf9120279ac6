// Tests of FileFinder, on real files in a directory of each test's own.
#include "tqrtl/files/FileFinder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "files_test_support.h"

namespace {

namespace fs = std::filesystem;

bool Same(const TQString& found, const std::string& expected) {
  std::error_code error;
  return fs::equivalent(fs::path(static_cast<const char*>(found)), fs::path(expected), error);
}

// Answers with the next of its scripted paths ("" declines), keeps the
// names it was asked for, and says when it is gone.
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

class FileFinderTest : public ::testing::Test {
 protected:
  FileFinderTest() : a_(Dir("a")), b_(Dir("b")) {}
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
  // A new search path holding `dirs` (the finder holds the only reference).
  FileFinder::SearchPathA* Path(const std::vector<std::string>& dirs) {
    FileFinder::SearchPathA* path = new FileFinder::SearchPathA;
    for (const std::string& dir : dirs) path->Add(dir.c_str());
    return path;
  }

  files_test::ScratchDir scratch_;
  std::string a_, b_;
};

TEST_F(FileFinderTest, CachesAnswersByLowerCasedNameUntilForced) {
  FileFinder::SearchPathA* path = Path({a_});
  FileFinder finder(path, nullptr);
  const std::string foo = Make(a_, "Foo.c");
  TQString found;
  ASSERT_EQ(1, finder.Find("Foo.C", &found, 0));
  EXPECT_TRUE(Same(found, foo)) << found;
  const TQString first = found;

  // The file goes: another spelling asks the same cached question, and a
  // forced search that finds nothing keeps the answer it had.
  fs::remove(foo);
  for (int force : {0, 1}) {
    found = "";
    EXPECT_EQ(1, finder.Find(force ? "FOO.c" : "foo.c", &found, force));
    EXPECT_STREQ(first, found);
  }

  // A name found nowhere stays so, even once the file exists, until a
  // search is forced; that answer then sticks.
  EXPECT_EQ(0, finder.Find("late.h", &found, 0));
  const std::string late = Make(b_, "late.h");
  path->Add(b_.c_str());
  EXPECT_EQ(0, finder.Find("late.h", &found, 0));
  EXPECT_TRUE(found.IsEmpty());
  ASSERT_EQ(1, finder.Find("Late.h", &found, 1));
  EXPECT_TRUE(Same(found, late)) << found;
  const TQString forced = found;
  fs::remove(late);
  EXPECT_EQ(1, finder.Find("late.H", &found, 0));
  EXPECT_STREQ(forced, found);
}

TEST_F(FileFinderTest, ManyNamesKeepTheirOwnAnswers) {
  // More names than a node block or a bucket holds, every third missing.
  // Once the files are gone and the missing ones made, each name must still
  // get its own first answer.
  FileFinder finder(Path({a_}), nullptr);
  auto name = [](int i) { return "f" + std::to_string(i) + ".h"; };
  for (int i = 0; i < 40; ++i) {
    if (i % 3 != 0) Make(a_, name(i));
    TQString found;
    EXPECT_EQ(i % 3 != 0 ? 1 : 0, finder.Find(name(i).c_str(), &found, 0)) << name(i);
  }
  fs::remove_all(a_);
  fs::create_directories(a_);
  for (int i = 0; i < 40; ++i) {
    if (i % 3 == 0) Make(a_, name(i));
    TQString found;
    ASSERT_EQ(i % 3 != 0 ? 1 : 0, finder.Find(name(i).c_str(), &found, 0)) << name(i);
    if (i % 3 != 0) {
      EXPECT_EQ(name(i), fs::path(static_cast<const char*>(found)).filename());
    }
  }
}

TEST_F(FileFinderTest, SearchOrderAndNames) {
  const std::string x = Make(a_, "x.h");
  const std::string inA = Make(a_, "dup.h");
  const std::string inB = Make(b_, "dup.h");
  const std::string old = std::string("old") + TQPathSeparator + "dir" + TQPathSeparator + "x.h";
  // A name with a directory part, or in quotes, is found by its base name.
  FileFinder finder(Path({a_}), nullptr);
  for (const std::string& name : {old, std::string("\"x.h\""), "\"" + old + "\""}) {
    TQString found;
    ASSERT_EQ(1, finder.Find(name.c_str(), &found, 0)) << name;
    EXPECT_TRUE(Same(found, x)) << name << " -> " << found;
  }

  // The current directory comes first unless the path places it.
  const fs::path saved = fs::current_path();
  fs::current_path(b_);
  TQString first, placed;
  const int firstResult = FileFinder(Path({a_}), nullptr).Find("dup.h", &first, 0);
  const int placedResult = FileFinder(Path({a_, "."}), nullptr).Find("dup.h", &placed, 0);
  fs::current_path(saved);
  EXPECT_EQ(1, firstResult);
  EXPECT_TRUE(Same(first, inB)) << first;
  EXPECT_EQ(1, placedResult);
  EXPECT_TRUE(Same(placed, inA)) << placed;
}

TEST_F(FileFinderTest, PrompterAnswerAddsItsDirectoryOnce) {
  // A directory whose name has capitals: where names are case-sensitive
  // the path must keep them to name the same directory.
  const std::string mixed = Dir("Mixed");
  const std::string p = Make(mixed, "p.h"), q = Make(mixed, "q.h"), r = Make(mixed, "r.h");
  FileFinder::SearchPathA* path = Path({a_});
  bool gone = false;
  ScriptedPrompter* prompter = new ScriptedPrompter({p, r, ""}, &gone);
  auto finder = std::make_unique<FileFinder>(path, prompter);
  auto other = std::make_unique<FileFinder>(path, prompter);
  EXPECT_EQ(2, path->GetRefCount());
  EXPECT_EQ(2, prompter->GetRefCount());

  TQString found;
  ASSERT_EQ(1, finder->Find("p.h", &found, 0));
  EXPECT_STREQ(p.c_str(), found);
  std::string added = mixed;
#if defined(_WIN32)
  for (char& c : added) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
#endif
  EXPECT_STREQ((a_ + ";" + added).c_str(), path->Value());
  // The next file beside it is found without asking, by the other finder too.
  ASSERT_EQ(1, other->Find("q.h", &found, 0));
  EXPECT_TRUE(Same(found, q)) << found;

  // r.h is gone from the disk, so the prompter answers; its directory is
  // on the path already.
  fs::remove(r);
  ASSERT_EQ(1, finder->Find("r.h", &found, 0));
  EXPECT_STREQ((a_ + ";" + added).c_str(), path->Value());
  // Declined: 0, remembered, not asked again.
  EXPECT_EQ(0, finder->Find("none.h", &found, 0));
  EXPECT_EQ(0, finder->Find("NONE.h", &found, 0));
  EXPECT_EQ((std::vector<std::string>{"p.h", "r.h", "none.h"}), prompter->asked);

  // Shared: gone with the last finder. (A path left behind shows as a leak.)
  finder.reset();
  EXPECT_EQ(1, path->GetRefCount());
  EXPECT_FALSE(gone);
  other.reset();
  EXPECT_TRUE(gone);
}

TEST_F(FileFinderTest, PathLongerThanTheFirstBufferComesBackWhole) {
  // Win32's search stops at MAX_PATH even where the file system goes on.
  if (TQPathSeparator == '\\') GTEST_SKIP() << "Win32 paths stop at MAX_PATH";
  fs::path deep = a_;
  while (deep.string().size() < 300) deep /= std::string(40, 'd');
  std::error_code error;
  fs::create_directories(deep, error);
  if (error) GTEST_SKIP() << "this system cannot make " << deep.string().size() << "-byte paths";
  const std::string file = Make(deep.string(), "long.h");
  FileFinder finder(Path({deep.string()}), nullptr);
  TQString found;
  ASSERT_EQ(1, finder.Find("long.h", &found, 0));
  EXPECT_GT(found.GetLength(), MAX_PATH);
  EXPECT_TRUE(Same(found, file)) << found;
}

}  // namespace
