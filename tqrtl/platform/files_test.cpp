// Conformance tests of the environment, temporary files and the C run-time's
// file functions: the same calls run against Windows (under Wine) and
// against the POSIX layer. Paths are built with TQPathSeparator so that one
// expectation serves both systems.
#include <errno.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "files_test_support.h"
#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

namespace fs = std::filesystem;

const std::string kSep = TQPathSeparatorText;

// The variable the system's GetTempPathA reads first.
#if defined(_WIN32)
constexpr const char* kTempVariable = "TMP";
#else
constexpr const char* kTempVariable = "TMPDIR";
#endif

using files_test::ReadBytes;
using files_test::WriteBytes;

// Each test gets a directory of its own, removed afterwards, and leaves the
// current directory and the environment as it found them.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_cwd_ = fs::current_path();
    static int counter = 0;
    dir_ = fs::temp_directory_path() / ("tqrtl_files_" + std::to_string(GetCurrentProcessId()) +
                                        "_" + std::to_string(counter++));
    fs::create_directories(dir_);
    dir_ = fs::canonical(dir_);
  }
  void TearDown() override {
    fs::current_path(saved_cwd_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Dir() const { return dir_.string(); }
  std::string In(const std::string& name) const { return Dir() + kSep + name; }

 private:
  fs::path dir_;
  fs::path saved_cwd_;
};

TEST_F(FilesTest, EnvironmentVariablesIgnoreCaseAndReportTheSizeTheyNeed) {
  ASSERT_TRUE(SetEnvironmentVariableA("TQRTL_FILES_VAR", "0123456789"));
  char buffer[32];
  EXPECT_EQ(GetEnvironmentVariableA("TQRTL_FILES_VAR", buffer, sizeof buffer), 10u);
  EXPECT_STREQ(buffer, "0123456789");
  EXPECT_EQ(GetEnvironmentVariableA("tqrtl_Files_var", buffer, sizeof buffer), 10u);

  // Too small, and the size query: the size with the NUL, buffer untouched.
  std::memcpy(buffer, "untouched", 10);
  EXPECT_EQ(GetEnvironmentVariableA("TQRTL_FILES_VAR", buffer, 10), 11u);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(GetEnvironmentVariableA("TQRTL_FILES_VAR", nullptr, 0), 11u);

  // Setting another spelling replaces the one variable.
  ASSERT_TRUE(SetEnvironmentVariableA("tqrtl_files_var", "new"));
  EXPECT_EQ(GetEnvironmentVariableA("TQRTL_FILES_VAR", buffer, sizeof buffer), 3u);
  EXPECT_STREQ(buffer, "new");

  // Empty: 0 like a missing one, but the last error is left alone.
  ASSERT_TRUE(SetEnvironmentVariableA("TQRTL_FILES_VAR", ""));
  SetLastError(0xDEAD);
  EXPECT_EQ(GetEnvironmentVariableA("TQRTL_FILES_VAR", buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), 0xDEADu);

  ASSERT_TRUE(SetEnvironmentVariableA("TQRTL_FILES_VAR", nullptr));
  SetLastError(0);
  EXPECT_EQ(GetEnvironmentVariableA("TQRTL_FILES_VAR", buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

TEST_F(FilesTest, TempPathEndsInTheSeparatorAndReportsTheSizeItNeeds) {
  char saved[MAX_PATH];
  const DWORD had = GetEnvironmentVariableA(kTempVariable, saved, sizeof saved);
  ASSERT_TRUE(SetEnvironmentVariableA(kTempVariable, Dir().c_str()));

  char path[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof path, path);
  const std::string expected = Dir() + kSep;
  EXPECT_EQ(std::string(path), expected);
  EXPECT_EQ(n, expected.size());

  std::memcpy(path, "untouched", 10);
  EXPECT_EQ(GetTempPathA(4, path), expected.size() + 1);
  EXPECT_STREQ(path, "untouched");
  EXPECT_EQ(GetTempPathA(n, path), n + 1);  // no room for the NUL
  EXPECT_EQ(GetTempPathA(n + 1, path), n);

  SetEnvironmentVariableA(kTempVariable, had > 0 && had < sizeof saved ? saved : nullptr);
}

TEST_F(FilesTest, TempFileNamesAreBuiltFromPrefixAndNumber) {
  char name[MAX_PATH];
  const struct {
    const char* prefix;
    UINT unique;
    const char* leaf;
    UINT result;
  } cases[] = {
      {"tmp", 0x1234, "tmp1234.tmp", 0x1234},
      {"tmp", 0x12345, "tmp2345.tmp", 0x2345},   // only the low 16 bits
      {"TQabcdef", 0xABC, "TQaABC.tmp", 0xABC},  // at most 3 prefix characters
      {"", 0x7, "7.tmp", 0x7},
      {nullptr, 0xFFFF, "FFFF.tmp", 0xFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.leaf);
    // The directory gets a separator; one already there is not doubled.
    EXPECT_EQ(GetTempFileNameA(Dir().c_str(), c.prefix, c.unique, name), c.result);
    EXPECT_EQ(_stricmp(name, In(c.leaf).c_str()), 0) << name;
    EXPECT_EQ(GetTempFileNameA((Dir() + kSep).c_str(), c.prefix, c.unique, name), c.result);
    EXPECT_EQ(_stricmp(name, In(c.leaf).c_str()), 0) << name;
    // A number given only builds the name.
    EXPECT_FALSE(fs::exists(name));
  }
}

TEST_F(FilesTest, TempFileNamesPickedByTheSystemAreNewEmptyFiles) {
  std::set<std::string> names;
  for (int i = 0; i < 3; ++i) {
    char name[MAX_PATH];
    const UINT number = GetTempFileNameA(Dir().c_str(), "tq", 0, name);
    ASSERT_NE(number, 0u);
    names.insert(name);
    char leaf[32];
    std::snprintf(leaf, sizeof leaf, "tq%X.tmp", number);
    EXPECT_EQ(_stricmp(name, In(leaf).c_str()), 0) << name;
    struct _stat facts;
    ASSERT_EQ(_stat(name, &facts), 0) << name;
    EXPECT_EQ(facts.st_size, 0);
    EXPECT_EQ(facts.st_mode & _S_IFMT, _S_IFREG);
#if !defined(_WIN32)
    EXPECT_EQ(facts.st_mode & 0777, 0600u);  // private to the user
#endif
  }
  EXPECT_EQ(names.size(), 3u);
}

TEST_F(FilesTest, TempFileNameFailures) {
  char name[MAX_PATH];
  const std::string missing = In("missing");
  EXPECT_EQ(GetTempFileNameA(missing.c_str(), "tmp", 0, name), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  // A directory too long to leave room for the name (documented for
  // Windows; Wine only finds that the directory is missing).
  const std::string long_dir(MAX_PATH - 13, 'd');
  SetLastError(0);
  EXPECT_EQ(GetTempFileNameA(long_dir.c_str(), "tmp", 0, name), 0u);
  if (!RunningUnderWine()) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
  }
}

TEST_F(FilesTest, FullPathResolvesAgainstTheCurrentDirectoryAndFolds) {
  fs::current_path(Dir());
  const struct {
    std::string path;
    std::string expected;
  } cases[] = {
      {"rel" + kSep + "x.txt", In("rel" + kSep + "x.txt")},
      {"a" + kSep + "b" + kSep + ".." + kSep + "c.txt", In("a" + kSep + "c.txt")},
      {"." + kSep + "a" + kSep + "." + kSep + "b", In("a" + kSep + "b")},
      {".." + kSep + "up.txt", fs::path(Dir()).parent_path().string() + kSep + "up.txt"},
      {".", Dir()},
      {"", Dir()},
      {In("abs.txt"), In("abs.txt")},
  };
  for (const auto& c : cases) {
    char buffer[1024];
    ASSERT_EQ(_fullpath(buffer, c.path.c_str(), sizeof buffer), buffer) << c.path;
    EXPECT_EQ(std::string(buffer), c.expected) << c.path;
  }

  char* allocated = _fullpath(nullptr, "x.txt", 0);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(std::string(allocated), In("x.txt"));
  free(allocated);

  char small[5];
  EXPECT_EQ(_fullpath(small, "x.txt", sizeof small), nullptr);
}

TEST_F(FilesTest, SharedOpensAllowEachOtherAndDeniedOnesFailBeforeTruncating) {
  const std::string path = In("shared.bin");
  FILE* first = _fsopen(path.c_str(), "w+b", _SH_DENYNO);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(std::fwrite("abc", 1, 3, first), 3u);
  std::fflush(first);

  // A file can be opened again, for reading and for writing, and emptied.
  FILE* reader = _fsopen(path.c_str(), "r+b", _SH_DENYNO);
  ASSERT_NE(reader, nullptr);
  char got[4] = {};
  EXPECT_EQ(std::fread(got, 1, 3, reader), 3u);
  EXPECT_STREQ(got, "abc");
  std::fclose(reader);
  FILE* truncator = _fsopen(path.c_str(), "w+b", _SH_DENYNO);
  ASSERT_NE(truncator, nullptr);
  std::fclose(truncator);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path), 0u);

  // Denying what another open already does fails.
  errno = 0;
  EXPECT_EQ(_fsopen(path.c_str(), "rb", _SH_DENYRW), nullptr);
  EXPECT_EQ(errno, EACCES);
  std::fclose(first);

  // A file held with every right denied: no other open, and the failed
  // "w" open leaves the content alone.
  WriteBytes(path, "keep");
  FILE* exclusive = _fsopen(path.c_str(), "rb", _SH_DENYRW);
  ASSERT_NE(exclusive, nullptr);
  const struct {
    const char* mode;
    int share;
  } refused[] = {{"wb", _SH_DENYNO}, {"rb", _SH_DENYNO}, {"r+b", _SH_DENYWR}, {"ab", _SH_DENYRD}};
  for (const auto& r : refused) {
    errno = 0;
    EXPECT_EQ(_fsopen(path.c_str(), r.mode, r.share), nullptr) << r.mode << " " << r.share;
    EXPECT_EQ(errno, EACCES) << r.mode;
  }
  std::fclose(exclusive);
  EXPECT_EQ(ReadBytes(path), "keep");
}

TEST_F(FilesTest, ShareModesHoldAcrossProcessesUntilTheHolderDies) {
  const std::string path = In("held.bin");
  WriteBytes(path, "data");
  const std::string ready = In("ready");
  ChildProcess holder = StartHelper({"files-hold", path, std::to_string(_SH_DENYWR), ready});
  ASSERT_TRUE(holder.Started());
  ASSERT_TRUE(WaitForFile(ready, 20000));

  FILE* reader = _fsopen(path.c_str(), "rb", _SH_DENYNO);
  EXPECT_NE(reader, nullptr);
  if (reader != nullptr) std::fclose(reader);
  errno = 0;
  EXPECT_EQ(_fsopen(path.c_str(), "r+b", _SH_DENYNO), nullptr);
  EXPECT_EQ(errno, EACCES);

  holder.Kill();
  EXPECT_EQ(holder.Wait(20000), ChildProcess::kKilled);
  FILE* writer = _fsopen(path.c_str(), "r+b", _SH_DENYRW);
  EXPECT_NE(writer, nullptr);
  if (writer != nullptr) std::fclose(writer);
}

TEST_F(FilesTest, DuplicatedDescriptorsShareTheFileAndOutliveTheirOriginal) {
  const std::string path = In("dup.bin");
  FILE* original = _fsopen(path.c_str(), "w+b", _SH_DENYNO);
  ASSERT_NE(original, nullptr);
  ASSERT_GE(std::fputs("hello", original), 0);
  EXPECT_GE(_flushall(), 0);

  const int fd = _dup(_fileno(original));
  ASSERT_GE(fd, 0);
  EXPECT_NE(fd, _fileno(original));
  FILE* copy = _fdopen(fd, "w+b");  // does not empty the file
  ASSERT_NE(copy, nullptr);
  std::fclose(original);

  std::rewind(copy);
  char got[8] = {};
  EXPECT_EQ(std::fread(got, 1, sizeof got, copy), 5u);
  EXPECT_STREQ(got, "hello");
  std::fclose(copy);

  errno = 0;
  EXPECT_EQ(_fdopen(-1, "rb"), nullptr);
  EXPECT_EQ(_dup(-1), -1);
}

TEST_F(FilesTest, StatReportsSizeAndKind) {
  WriteBytes(In("five.txt"), "12345");
  struct _stat facts;
  ASSERT_EQ(_stat(In("five.txt").c_str(), &facts), 0);
  EXPECT_EQ(facts.st_size, 5);
  EXPECT_EQ(facts.st_mode & _S_IFMT, _S_IFREG);
  EXPECT_NE(facts.st_mode & _S_IREAD, 0u);

  ASSERT_EQ(_stat(Dir().c_str(), &facts), 0);
  EXPECT_EQ(facts.st_mode & _S_IFMT, _S_IFDIR);

  errno = 0;
  EXPECT_EQ(_stat(In("missing.txt").c_str(), &facts), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, MoveFileExReplacesOnlyWhenAsked) {
  const std::string a = In("a.txt"), b = In("b.txt");
  WriteBytes(a, "first");
  WriteBytes(b, "second");
  EXPECT_FALSE(MoveFileExA(a.c_str(), b.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadBytes(b), "second");
  ASSERT_TRUE(MoveFileExA(a.c_str(), b.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  EXPECT_FALSE(fs::exists(a));
  EXPECT_EQ(ReadBytes(b), "first");

  // A missing source, and a directory in the way of a replace.
  EXPECT_FALSE(MoveFileExA(a.c_str(), In("c.txt").c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  fs::create_directory(In("sub"));
  EXPECT_FALSE(MoveFileExA(b.c_str(), In("sub").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ReadBytes(b), "first");
}

TEST_F(FilesTest, ReplaceFileSwapsInTheReplacementAndFailsOnAMissingFile) {
  const std::string old_file = In("old.txt"), new_file = In("new.txt");
  WriteBytes(old_file, "old contents");
  WriteBytes(new_file, "new");
  ASSERT_TRUE(ReplaceFileA(old_file.c_str(), new_file.c_str(), nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(ReadBytes(old_file), "new");
  EXPECT_FALSE(fs::exists(new_file));

  // A missing file to replace: the replacement keeps its name.
  WriteBytes(new_file, "again");
  EXPECT_FALSE(
      ReplaceFileA(In("missing.txt").c_str(), new_file.c_str(), nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadBytes(new_file), "again");
  EXPECT_FALSE(fs::exists(In("missing.txt")));
}

TEST_F(FilesTest, CommitFlushesAnOpenDescriptorAndItsDuplicate) {
  FILE* file = _fsopen(In("c.bin").c_str(), "w+b", _SH_DENYNO);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite("data", 1, 4, file), 4u);
  ASSERT_EQ(std::fflush(file), 0);
  EXPECT_EQ(_commit(_fileno(file)), 0);
  const int fd = _dup(_fileno(file));
  ASSERT_GE(fd, 0);
  std::fclose(file);
  EXPECT_EQ(_commit(fd), 0);  // a duplicate keeps the file open
  EXPECT_EQ(_close(fd), 0);
  EXPECT_EQ(ReadBytes(In("c.bin")), "data");
}

TEST_F(FilesTest, CreateFileDispositionsAndSizes) {
  const std::string path = In("created.bin");
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD high = 0xDEAD;
  EXPECT_EQ(GetFileSize(file, &high), 0u);
  EXPECT_EQ(high, 0u);
  EXPECT_TRUE(CloseHandle(file));

  const struct {
    const char* what;
    std::string path;
    DWORD disposition;
    DWORD error;
  } failures[] = {
      {"new over an existing file", path, CREATE_NEW, ERROR_FILE_EXISTS},
      {"missing file", In("missing.bin"), OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {"missing directory", In("none" + kSep + "x.bin"), OPEN_ALWAYS, ERROR_PATH_NOT_FOUND},
      {"a directory", Dir(), OPEN_EXISTING, ERROR_ACCESS_DENIED},
  };
  for (const auto& f : failures) {
    SetLastError(0);
    EXPECT_EQ(CreateFileA(f.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, f.disposition,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE)
        << f.what;
    EXPECT_EQ(GetLastError(), f.error) << f.what;
  }

  // Opening an existing file with OPEN_ALWAYS or CREATE_ALWAYS says so in
  // the last error; CREATE_ALWAYS empties it.
  WriteBytes(path, "12345");
  for (DWORD disposition : {DWORD{OPEN_ALWAYS}, DWORD{CREATE_ALWAYS}}) {
    file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << disposition;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << disposition;
    EXPECT_EQ(GetFileSize(file, nullptr), disposition == OPEN_ALWAYS ? 5u : 0u);
    CloseHandle(file);
  }

  SetLastError(0);
  EXPECT_EQ(GetFileSize(INVALID_HANDLE_VALUE, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  file = CreateFileA(In("temporary.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                     FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(fs::exists(In("temporary.bin")));
  CloseHandle(file);
  EXPECT_FALSE(fs::exists(In("temporary.bin")));
}

TEST_F(FilesTest, CreateFileKeepsShareModesWithTheRunTimesOpens) {
  const std::string path = In("shared.bin");
  // A stream open for writing, and the size of its data taken by name, as
  // a storage file does while it saves.
  FILE* stream = _fsopen(path.c_str(), "w+b", _SH_DENYNO);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(std::fwrite("abcdefg", 1, 7, stream), 7u);
  std::fflush(stream);
  HANDLE sizer = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr);
  ASSERT_NE(sizer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(sizer, nullptr), 7u);
  CloseHandle(sizer);

  // Without FILE_SHARE_WRITE the writer is in the way.
  SetLastError(0);
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  std::fclose(stream);

  // A handle that shares nothing keeps every stream out, and CREATE_ALWAYS
  // refused for sharing leaves the data alone.
  HANDLE exclusive = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  errno = 0;
  EXPECT_EQ(_fsopen(path.c_str(), "rb", _SH_DENYNO), nullptr);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(exclusive);
  EXPECT_EQ(ReadBytes(path), "abcdefg");
}

TEST_F(FilesTest, ModulesLoadAsDataOnlyWhenTheLoaderTakesThem) {
  char self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
  const HMODULE module = LoadLibraryExA(self, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  EXPECT_TRUE(FreeLibrary(module));

  WriteBytes(In("text.dll"), "this is not a module\n");
  WriteBytes(In("empty.dll"), "");
  SetLastError(0);
  EXPECT_EQ(LoadLibraryExA(In("text.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(LoadLibraryExA(In("empty.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
  SetLastError(0);
  EXPECT_EQ(LoadLibraryExA(In("missing.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
  EXPECT_NE(GetLastError(), 0u);
}

// SearchPathA over a small tree; names relative to the test directory,
// which is also the current directory.
class SearchPathTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    for (const char* d : {"d1", "d2", "d1/sub"}) fs::create_directories(fs::path(Dir()) / d);
    for (const char* f :
         {"d1/a.txt", "d2/a.txt", "d2/b.txt", "d1/sub/c.txt", "here.txt", "d1/Mixed.TXT"}) {
      WriteBytes((fs::path(Dir()) / f).string(), f);
    }
    fs::current_path(Dir());
  }
  // "d1/a.txt" in this system's notation.
  static std::string P(std::string path) {
    for (char& c : path) {
      if (c == '/') c = TQPathSeparator;
    }
    return path;
  }
};

TEST_F(SearchPathTest, FollowsTheWin32SearchRules) {
  const std::string abs1 = In("d1"), abs2 = In("d2");
  const struct {
    std::string list;
    std::string name;
    const char* extension;
    const char* expected;  // below the test directory; null: not found
  } cases[] = {
      {abs1 + ";" + abs2, "a.txt", nullptr, "d1/a.txt"},  // the first hit wins
      {"d2;d1", "a.txt", nullptr, "d2/a.txt"},            // relative entries
      {"d1;d2", "b.txt", nullptr, "d2/b.txt"},            // a miss falls through
      {"d1;d2", "none.txt", nullptr, nullptr},
      {"d1", P("sub/c.txt"), nullptr, "d1/sub/c.txt"},  // directory parts below entries
      {"d2", P("./d1/a.txt"), nullptr, "d1/a.txt"},     // "./": the current directory only
      {"d2", P("d1/a.txt"), nullptr, nullptr},
      {"d2", In(P("d1/a.txt")), nullptr, "d1/a.txt"},  // absolute names ignore the list
      {".", "here.txt", nullptr, "here.txt"},
      {"d1", "here.txt", nullptr, nullptr},  // the current directory only when listed
      {";;d2;", "b.txt", nullptr, "d2/b.txt"},
      {P("d1/;d2/"), "b.txt", nullptr, "d2/b.txt"},
      {" d2", "b.txt", nullptr, nullptr},  // entries are not trimmed
      {"", "b.txt", nullptr, nullptr},
      {"d1", "sub", nullptr, "d1/sub"},  // directories count
      {"d1", "mixed.txt", nullptr, "d1/mixed.txt"},
      {"d2", "b", ".txt", "d2/b.txt"},      // the extension is added
      {"d2", "b.txt", ".dat", "d2/b.txt"},  // only to a name without one
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("list \"" + c.list + "\" name \"" + c.name + "\"");
    char buffer[MAX_PATH + 1];
    char* file_part = nullptr;
    SetLastError(0);
    const DWORD n =
        SearchPathA(c.list.c_str(), c.name.c_str(), c.extension, MAX_PATH, buffer, &file_part);
    if (c.expected == nullptr) {
      EXPECT_EQ(n, 0u);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
      continue;
    }
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, std::strlen(buffer));
    // Windows keeps the caller's spelling, POSIX the one on disk.
    EXPECT_EQ(_stricmp(buffer, In(P(c.expected)).c_str()), 0) << buffer;
    ASSERT_NE(file_part, nullptr);
    const std::string leaf = fs::path(c.expected).filename().string();
    EXPECT_EQ(_stricmp(file_part, leaf.c_str()), 0) << file_part;
  }
}

TEST_F(SearchPathTest, ShortBuffersGetTheSizeTheyNeed) {
  char buffer[MAX_PATH + 1];
  const DWORD n = SearchPathA("d2", "b.txt", nullptr, sizeof buffer, buffer, nullptr);
  ASSERT_GT(n, 0u);
  for (DWORD size : {DWORD{0}, DWORD{5}, n}) {
    std::memcpy(buffer, "untouched", 10);
    SetLastError(0xDEAD);
    EXPECT_EQ(SearchPathA("d2", "b.txt", nullptr, size, buffer, nullptr), n + 1) << size;
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(GetLastError(), 0xDEADu);
  }
  EXPECT_EQ(SearchPathA("d2", "b.txt", nullptr, n + 1, buffer, nullptr), n);
}

}  // namespace
