// Tests of TQStorage: the file format to the byte (the same bytes on Linux
// and Windows, and files written by one build read by the other), round
// trips, the binding rules, temporary files, hostile files, and saves that
// fail or die half way (in child processes with lowered limits).
#include "tqrtl/files/TQStorage.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "files_test_support.h"

namespace {

using files_test::DirEntry;
using files_test::Hex;
using files_test::ReadBytes;
using files_test::ScratchDir;
using files_test::U32;
using files_test::WriteBytes;

// Reads a section from its start.
std::string Contents(TQStorage& storage, const char* name) {
  TQStream s;
  if (!storage.FindSection(name, &s)) return "<missing>";
  EXPECT_EQ(s.Rewind(), 1);
  std::string bytes;
  char piece[4096];
  ULONG got = 0;
  HRESULT hr;
  do {
    hr = s.Data()->Read(piece, sizeof piece, &got);
    bytes.append(piece, got);
  } while (hr == S_OK);
  EXPECT_EQ(hr, S_FALSE);
  return bytes;
}

void Put(TQStream& s, const std::string& bytes) {
  ASSERT_EQ(s.Data()->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
}

// The storage every build writes for the golden bytes, in table order:
// "settings" (bucket 0) holds binary bytes, "Z" (bucket 5) is empty, and
// "R" and "A" share bucket 14, so R, added later, comes first.
std::string GoldenStorage() {
  return U32(4) + DirEntry("settings", 5) + DirEntry("Z", 0) + DirEntry("R", 2) + DirEntry("A", 3) +
         std::string("\x00\x01\xFF\x7F\x80", 5) + "xy" + "abc";
}

void AddGoldenSections(TQStorage& storage) {
  TQStream s;
  ASSERT_TRUE(storage.AddSection("A", &s));
  Put(s, "abc");
  ASSERT_TRUE(storage.AddSection("Z", &s));
  ASSERT_TRUE(storage.AddSection("settings", &s));
  Put(s, std::string("\x00\x01\xFF\x7F\x80", 5));
  ASSERT_TRUE(storage.AddSection("R", &s));
  Put(s, "xy");
}

void ExpectGoldenSections(TQStorage& storage) {
  EXPECT_EQ(Contents(storage, "A"), "abc");
  EXPECT_EQ(Contents(storage, "R"), "xy");
  EXPECT_EQ(Contents(storage, "Z"), "");
  EXPECT_EQ(Hex(Contents(storage, "settings")), "0001ff7f80");
}

TEST(TQStorageTest, SavedFilesAreExactBytes) {
  ScratchDir dir;
  const std::string path = dir.File("exact.tqs");
  {
    TQStorage empty;
    ASSERT_TRUE(empty.Create(path.c_str(), true));
    ASSERT_TRUE(empty.Save());
    EXPECT_EQ(Hex(ReadBytes(path)), "00000000");
  }
  {
    TQStorage one;
    ASSERT_TRUE(one.Create(path.c_str(), true));
    TQStream s;
    ASSERT_TRUE(one.AddSection("A", &s));
    Put(s, "abc");
    ASSERT_TRUE(one.Save());
    const std::string bytes = ReadBytes(path);
    ASSERT_EQ(bytes.size(), 271u);
    EXPECT_EQ(Hex(bytes.substr(0, 6)), "010000004100");
    EXPECT_EQ(Hex(bytes.substr(264, 4)), "03000000");
    EXPECT_EQ(bytes.substr(268), "abc");
  }
  TQStorage golden;
  ASSERT_TRUE(golden.Create(path.c_str(), true));
  AddGoldenSections(golden);
  ASSERT_TRUE(golden.Save());
  EXPECT_EQ(Hex(ReadBytes(path)), Hex(GoldenStorage()));
  // TQRTL_KEEP_STORAGE names where to keep a copy of this build's file (to
  // refresh tests/data).
  const std::string keep = files_test::GetEnv("TQRTL_KEEP_STORAGE");
  if (!keep.empty()) WriteBytes(keep, ReadBytes(path));
  // Saving again writes the same bytes: Save reads every section from its
  // start, wherever its position stands.
  ASSERT_TRUE(golden.Save());
  EXPECT_EQ(Hex(ReadBytes(path)), Hex(GoldenStorage()));
}

TEST(TQStorageTest, FilesWrittenByEitherBuildReadBack) {
  // One checked-in file was written by the Linux build, the other by the
  // Windows build; both builds must read both.
  for (const char* name : {"storage_linux.tqs", "storage_windows.tqs"}) {
    SCOPED_TRACE(name);
    ScratchDir dir;
    const std::string path = std::string(TQRTL_TEST_DATA_DIR) + "/" + name;
    ASSERT_EQ(Hex(ReadBytes(path)), Hex(GoldenStorage()));
    TQStorage storage;
    ASSERT_TRUE(storage.Open(path.c_str()));
    EXPECT_EQ(storage.SectionCount(), 4u);
    ExpectGoldenSections(storage);
    storage.Close();
    EXPECT_EQ(Hex(ReadBytes(path)), Hex(GoldenStorage()));  // only read
  }
}

TEST(TQStorageTest, SectionsRoundTripAndIterate) {
  ScratchDir dir;
  const std::string path = dir.File("round.tqs");
  const std::string longName(260, 'n');
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  {
    TQStorage storage;
    ASSERT_TRUE(storage.Create(path.c_str(), false));
    AddGoldenSections(storage);
    TQStream s;
    ASSERT_TRUE(storage.AddSection(longName.c_str(), &s));
    Put(s, big);
    EXPECT_FALSE(storage.AddSection((longName + "x").c_str(), &s));  // cannot be stored
    EXPECT_FALSE(storage.AddSection("A", &s));                       // exists
    EXPECT_EQ(Contents(storage, "A"), "abc");                        // left alone
    ASSERT_TRUE(storage.Save());
    storage.Close();
  }
  TQStorage storage;
  ASSERT_TRUE(storage.Open(path.c_str()));
  EXPECT_EQ(storage.SectionCount(), 5u);
  // After a load each section stands at the end of its data.
  TQStream s;
  ASSERT_TRUE(storage.FindSection("A", &s));
  unsigned char c;
  EXPECT_EQ(s.Read(&c), 0);
  EXPECT_EQ(Contents(storage, longName.c_str()), big);
  ExpectGoldenSections(storage);

  std::multiset<std::string> seen;
  __TQPOSITION* pos = storage.GetHeadPosition();
  while (pos != nullptr) {
    TQStream section;
    storage.GetNext(pos, section);
    seen.insert(section.Name());
  }
  EXPECT_EQ(seen, (std::multiset<std::string>{"A", "R", "Z", "settings", longName}));
  EXPECT_EQ(TQStorage().GetHeadPosition(), nullptr);
}

TEST(TQStorageTest, BindingRules) {
  ScratchDir dir;
  const std::string path = dir.File("bind.tqs");
  const std::string other = dir.File("other.tqs");
  WriteBytes(path, "precious");
  TQStream s;
  {
    TQStorage storage;
    EXPECT_FALSE(storage.AddSection("a", &s));  // unbound
    EXPECT_FALSE(storage.FindSection("a", &s));
    EXPECT_FALSE(storage.Save());
    EXPECT_FALSE(storage.Create(path.c_str(), false));  // exists: untouched
    EXPECT_EQ(ReadBytes(path), "precious");
    EXPECT_FALSE(storage.Open(path.c_str()));  // not a storage file: unbound again
    EXPECT_FALSE(storage.AddSection("a", &s));
    EXPECT_EQ(ReadBytes(path), "precious");
    ASSERT_TRUE(storage.Create(path.c_str(), true));  // overwrite empties it
    EXPECT_EQ(ReadBytes(path), "");
    EXPECT_FALSE(storage.Create(other.c_str(), true));  // bound already
    EXPECT_FALSE(storage.Open(other.c_str()));
    ASSERT_TRUE(storage.AddSection("a", &s));
    Put(s, "1");
    storage.Close();
    EXPECT_EQ(storage.SectionCount(), 0u);
    EXPECT_FALSE(storage.Open(path.c_str()));  // still bound after Close
    ASSERT_TRUE(storage.AddSection("b", &s));  // and still usable
    ASSERT_TRUE(storage.Save());
  }
  EXPECT_EQ(ReadBytes(path), U32(1) + DirEntry("b", 0));
  EXPECT_FALSE(std::filesystem::exists(other));
}

TEST(TQStorageTest, TemporaryFilesLiveUntilCloseOrDestruction) {
  ScratchDir dir;
  const std::string path = dir.File("temp.tqs");
  const std::vector<std::string> mine = {"temp.tqs"};
  {
    TQStorage storage;
    ASSERT_TRUE(storage.Create(path.c_str(), true));
    AddGoldenSections(storage);
    EXPECT_EQ(dir.Files(mine).size(), 4u);
    ASSERT_TRUE(storage.Save());
    storage.Close();
    EXPECT_EQ(dir.Files(mine).size(), 0u);
  }
  {
    // Opening takes one spill file; a section handed out gets its own.
    TQStorage forgetful;
    ASSERT_TRUE(forgetful.Open(path.c_str()));
    EXPECT_EQ(dir.Files(mine).size(), 1u);
    TQStream s;
    ASSERT_TRUE(forgetful.FindSection("A", &s));
    ASSERT_TRUE(forgetful.FindSection("R", &s));
    EXPECT_EQ(dir.Files(mine).size(), 3u);
  }  // no Close: the destructor cleans up
  EXPECT_EQ(dir.Files(mine).size(), 0u);
}

TEST(TQStorageTest, HostileFilesFailAndCostNothing) {
  ScratchDir dir;
  const std::string golden = GoldenStorage();
  struct Case {
    std::string what;
    std::string bytes;
  };
  std::vector<Case> cases = {
      {"a count of four billion", U32(0xFFFFFFFFul) + DirEntry("a", 0)},
      {"two sections, room for one", U32(2) + DirEntry("a", 0) + "xxxx"},
      {"a size past the end", U32(1) + DirEntry("a", 4) + "abc"},
      {"a size of four gigabytes", U32(1) + DirEntry("a", 0xFFFFFFFFul) + "abc"},
      {"sizes that add up past the end",
       U32(2) + DirEntry("a", 3) + DirEntry("b", 0xFFFFFFFEul) + "abc"},
      {"a repeated name", U32(2) + DirEntry("a", 1) + DirEntry("a", 1) + "xy"},
      {"a repeated 260-byte name",
       U32(2) + DirEntry(std::string(260, 'q'), 0) + DirEntry(std::string(260, 'q'), 0)},
  };
  // Cut anywhere before its last byte (down to an empty file or a cut
  // count), the golden file is hostile too.
  for (size_t n = 0; n < golden.size(); ++n)
    cases.push_back({"cut to " + std::to_string(n) + " bytes", golden.substr(0, n)});

  const std::string bystander = dir.File("bystander.txt");
  WriteBytes(bystander, "keep me");
  const std::vector<std::string> known = {"hostile.tqs", "bystander.txt"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.File("hostile.tqs");
    WriteBytes(path, c.bytes);
    TQStorage storage;
    EXPECT_FALSE(storage.Open(path.c_str()));
    EXPECT_EQ(storage.SectionCount(), 0u);
    EXPECT_TRUE(dir.Files(known).empty());  // no temporary file was made
    EXPECT_EQ(ReadBytes(path), c.bytes);
    EXPECT_EQ(ReadBytes(bystander), "keep me");
  }

  // A failed open leaves the storage unbound, ready for a sound file.
  const std::string path = dir.File("retry.tqs");
  WriteBytes(path, golden.substr(0, 700));
  TQStorage retried;
  EXPECT_FALSE(retried.Open(path.c_str()));
  WriteBytes(path, golden);
  ASSERT_TRUE(retried.Open(path.c_str()));
  ExpectGoldenSections(retried);

  // Bytes behind the last section belong to no section and are ignored.
  const std::string trailing = dir.File("trailing.tqs");
  WriteBytes(trailing, golden + "junk");
  TQStorage storage;
  ASSERT_TRUE(storage.Open(trailing.c_str()));
  ExpectGoldenSections(storage);
}

TEST(TQStorageTest, DirectoryReportsWhatIsWrongAndWhere) {
  ScratchDir dir;
  struct Case {
    std::string bytes;
    const char* problem;
  };
  const Case cases[] = {
      {"", "the file ends inside the section count at offset 0 (it has 0 bytes)"},
      {U32(3) + DirEntry("a", 0),
       "the directory of 3 sections needs 796 bytes but the file has 268; it ends inside "
       "directory entry 1 at offset 268"},
      {U32(2) + DirEntry("a", 1) + DirEntry("b", 5) + "xyz",
       "section 1 \"b\" (directory entry at offset 268) declares 5 bytes of data at offset 533 "
       "but the file ends after 2"},
      {U32(2) + DirEntry("a", 0) + DirEntry("a", 0),
       "section 1 (directory entry at offset 268) repeats the name \"a\""},
  };
  for (const Case& c : cases) {
    const std::string path = dir.File("problem.tqs");
    WriteBytes(path, c.bytes);
    FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    TQStorageDirectory directory;
    EXPECT_EQ(directory.Read(file), 0);
    EXPECT_EQ(directory.Problem(), c.problem);
    std::fclose(file);
  }
}

TEST(TQStorageTest, RemovedSectionsAreNotSavedAndTheirNamesAreFreeAgain) {
  ScratchDir dir;
  const std::string path = dir.File("remove.tqs");
  WriteBytes(path, GoldenStorage());
  TQStorage storage;
  ASSERT_TRUE(storage.Open(path.c_str()));
  TQStream s;
  ASSERT_TRUE(storage.FindSection("R", &s));  // one handed out, one still spilled
  EXPECT_TRUE(storage.RemoveSection("R"));
  EXPECT_TRUE(storage.RemoveSection("settings"));
  EXPECT_FALSE(storage.RemoveSection("settings"));
  ASSERT_TRUE(storage.AddSection("R", &s));  // the slot is reused
  Put(s, "new");
  ASSERT_TRUE(storage.Save());
  storage.Close();
  EXPECT_EQ(ReadBytes(path), U32(3) + DirEntry("Z", 0) + DirEntry("R", 3) + DirEntry("A", 3) +
                                 "new" + "abc");
  EXPECT_EQ(dir.Files({"remove.tqs"}).size(), 0u);
}

TEST(TQStorageTest, SaveTemporaryNamesAreOnlyOurs) {
  // What a sweep of leftovers may delete: never another storage's file, nor
  // a name of the same shape that a user gave.
  EXPECT_TRUE(TQStorage::IsSaveTemporary("work.tqs", "work.tqs.~1f2e-1.tmp"));
  for (const char* name : {"work.tqs.~1f2e.tmp", "work.tqs.~1F-1.tmp", "work.tqsx.~1-1.tmp",
                           "work.tqs.~1-1.tmpx"})
    EXPECT_FALSE(TQStorage::IsSaveTemporary("work.tqs", name)) << name;
}

#if !defined(_WIN32)

// Runs `body` in a child process and returns its exit code, or 1000 + the
// signal that ended it. The child leaves through _exit, so that nothing of
// the parent (gtest's state, open storages) is torn down twice.
template <class Body>
int InChild(Body body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFSIGNALED(status) ? 1000 + WTERMSIG(status) : WEXITSTATUS(status);
}

// A storage of a small section and a large one, saved; returns its bytes.
std::string MakeTwoSections(const std::string& path) {
  TQStorage storage;
  EXPECT_TRUE(storage.Create(path.c_str(), true));
  TQStream s;
  EXPECT_TRUE(storage.AddSection("keep", &s));
  Put(s, "untouched");
  EXPECT_TRUE(storage.AddSection("big", &s));
  Put(s, std::string(300 * 1024, 'b'));
  EXPECT_TRUE(storage.Save());
  storage.Close();
  return ReadBytes(path);
}

// "big" grows to 1.2 MiB under a 1 MiB file size limit (the sections' own
// files stay below it): a full disk with the limit's signal ignored, a crash
// half way through the save without. The file stays as it was; only the
// crash leaves a temporary file, known by its name.
TEST(TQStorageSafetyTest, ASaveThatRunsOutOfSpaceOrIsKilledLeavesTheFile) {
  for (const bool killed : {false, true}) {
    ScratchDir dir;
    const std::string path = dir.File("full.tqs");
    const std::string before = MakeTwoSections(path);
    const int status = InChild([&] {
      TQStorage storage;
      TQStream big;
      if (!storage.Open(path.c_str()) || !storage.FindSection("big", &big)) return 10;
      big.Data()->Write(std::string(900 * 1024, 'c').data(), 900 * 1024, nullptr);
      if (!killed) signal(SIGXFSZ, SIG_IGN);
      const rlimit limit = {1024 * 1024, 1024 * 1024};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 11;
      return storage.Save() ? 12 : 0;
    });
    EXPECT_EQ(status, killed ? 1000 + SIGXFSZ : 0);
    EXPECT_EQ(ReadBytes(path), before) << killed;
    const std::vector<std::string> left = dir.Files({"full.tqs"});
    EXPECT_TRUE(killed || left.empty()) << left.size();
    EXPECT_EQ(std::count_if(left.begin(), left.end(),
                            [](const std::string& name) {
                              return TQStorage::IsSaveTemporary("full.tqs", name.c_str());
                            }),
              killed ? 1 : 0);
    TQStorage storage;
    ASSERT_TRUE(storage.Open(path.c_str()));
    EXPECT_EQ(Contents(storage, "keep"), "untouched");
    EXPECT_EQ(Contents(storage, "big"), std::string(300 * 1024, 'b'));
  }
}

TEST(TQStorageSafetyTest, SavesKeepTheFilesPermissions) {
  ScratchDir dir;
  const std::string path = dir.File("private.tqs");
  MakeTwoSections(path);
  for (const mode_t mode : {0640, 0444}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    TQStorage storage;
    ASSERT_TRUE(storage.Open(path.c_str()));
    TQStream s;
    ASSERT_TRUE(storage.AddSection(("s" + std::to_string(mode)).c_str(), &s));
    ASSERT_TRUE(storage.Save());
    struct stat facts;
    ASSERT_EQ(stat(path.c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 07777, mode) << std::oct << mode;
  }
}

TEST(TQStorageSafetyTest, ManySectionsOpenAndSaveUnderALowDescriptorLimit) {
  ScratchDir dir;
  const std::string path = dir.File("many.tqs");
  constexpr int kSections = 600;
  std::string directory = U32(kSections), data;
  for (int i = 0; i < kSections; ++i) {
    const std::string bytes = "data of " + std::to_string(i);
    directory += DirEntry("s" + std::to_string(i), bytes.size());
    data += bytes;
  }
  WriteBytes(path, directory + data);

  // 600 sections under a limit of 40 descriptors: open, change one, add
  // one, remove one, save.
  const int edited = InChild([&] {
    const rlimit limit = {40, 40};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 20;
    TQStorage storage;
    if (!storage.Open(path.c_str())) return 21;
    TQStream s;
    if (!storage.FindSection("s7", &s) || s.Data()->Write("!", 1, nullptr) != S_OK) return 22;
    if (!storage.AddSection("added", &s) || !storage.RemoveSection("s8")) return 23;
    if (!storage.Save()) return 24;
    // Handing out every section reaches the limit: a section that does not
    // get a file says why, and so does the save that then cannot get one.
    for (int i = 0; i < kSections; ++i) {
      errno = 0;
      if (i != 8 && !storage.FindSection(("s" + std::to_string(i)).c_str(), &s) && errno != EMFILE)
        return 25;
    }
    errno = 0;
    if (storage.Save() || errno != EMFILE) return 27;
    return 0;
  });
  EXPECT_EQ(edited, 0);

  TQStorage storage;
  ASSERT_TRUE(storage.Open(path.c_str()));
  EXPECT_EQ(storage.SectionCount(), static_cast<unsigned>(kSections));
  EXPECT_EQ(Contents(storage, "s7"), "data of 7!");
  EXPECT_EQ(Contents(storage, "s8"), "<missing>");
  EXPECT_EQ(Contents(storage, "added"), "");
}

#endif  // !_WIN32

}  // namespace
