// FileFinder.h: finds files by name along a list of directories, and
// remembers its answers.
//
// A finder asks its search path object (FileFinder::SearchPathA) for the
// list of directories, looks for the name along it with the system's search
// rules (SearchPathA), and keeps every answer in a cache keyed by the name as
// asked, lower-cased: the full path found, or "" for a name found nowhere.
// A cached answer is given again without searching unless the caller forces
// a search, so a name once not found stays not found for that finder until
// then. The current directory (".") is always searched, first unless the
// list places it elsewhere. A name with a directory part (src/a.c) that is
// not found as given is looked for again by its base name (a.c).
//
// When a name is found nowhere and the finder has a user prompter, the
// prompter may name the file; the directory it lies in is added to the
// search path, so the next search (by this or another finder sharing the
// path) finds files beside it.
//
// Search paths and prompters are reference-counted and shared between
// finders: a finder adds a reference to each at construction and releases
// it at destruction. The library creates them all deleting themselves when
// unreferenced, so handing a new one to a finder gives it to that finder.
//
// Choices this class makes:
// - A finder cannot be copied: it holds references and a cache of its own.
// - Where file names are case-sensitive (everywhere but Windows), the
//   directory of a prompter's answer goes to the search path as it is; on
//   Windows it is lower-cased. (Lower-casing it on a case-sensitive system
//   would name another directory.) Cache keys are lower-cased everywhere:
//   the system's search ignores letter case on every system, so Foo.C and
//   foo.c are the same question.
//
// Failures: Find reports a missing file with 0 and throws nothing else but
// TQMemoryException, when memory runs out. Thread-safety: reference counts
// change atomically, so search paths and prompters may be shared by finders
// on different threads; a finder itself is used by one thread at a time.
#ifndef TQRTL_FILES_FILEFINDER_H_
#define TQRTL_FILES_FILEFINDER_H_

#include "tqrtl/core/RefCntObject.h"
#include "tqrtl/core/TQPlex.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/SegmentedString.h"
#include "tqrtl/strings/TQString.h"

class TQRTL_API FileFinder {
 public:
  // SearchPathA: a list of directories, shared between finders. This base
  // keeps the list in memory; derived classes keep it elsewhere (a setting,
  // a workspace) and refresh the list from there in Value.
  class TQRTL_API SearchPathA : public RefCntObject {
   public:
    // Count 0, deleted when unreferenced, an empty list.
    SearchPathA();
    SearchPathA(const SearchPathA&) = delete;
    SearchPathA& operator=(const SearchPathA&) = delete;
    ~SearchPathA() override;

    // Value: the list of directories. The reference stays valid until the
    // next Value or Add.
    virtual DirectoryPathString const& Value();
    // Add: appends `directory` unless the list holds it already (ignoring
    // letter case).
    virtual void Add(char const* directory);

   protected:
    DirectoryPathString m_paths;
  };

  // UserPrompter: asks the user for a file that the search did not find.
  // This base asks nothing; applications derive their own (string resource
  // TQRes::kCantFind, "Can't find %s, please try again.", is the library's
  // text for such a question).
  class TQRTL_API UserPrompter : public RefCntObject {
   public:
    // Count 0, deleted when unreferenced; `name` is kept for derived
    // classes (the application shell passes what its caller named).
    explicit UserPrompter(TQString const& name);
    UserPrompter(const UserPrompter&) = delete;
    UserPrompter& operator=(const UserPrompter&) = delete;
    ~UserPrompter() override;

    // Prompt: asks the user for `fileName`; true with the chosen full path
    // in *path, or false when the user chose none. Here: false, *path left
    // alone.
    virtual bool Prompt(char const* fileName, TQString* path);

    char const* Name() const { return m_name; }

   protected:
    TQString m_name;
  };

  // Takes a reference to `searchPath` (never null) and, when there is one,
  // to `prompter`. The cache starts empty.
  FileFinder(SearchPathA* searchPath, UserPrompter* prompter);
  FileFinder(const FileFinder&) = delete;
  FileFinder& operator=(const FileFinder&) = delete;
  // Releases the search path and the prompter, then frees the cache.
  virtual ~FileFinder();

  // Find: stores the full path of `fileName` in *path and returns 1, or
  // returns 0 when the file is found nowhere and the prompter (if any) gave
  // no answer. With `forceSearch` 0 a cached answer, also a negative one,
  // is returned without searching. With `forceSearch` set the search is
  // made again and a fresh answer replaces the cached one; when the new
  // search finds nothing, the cached answer stands and is returned. After a
  // 0 for a name not asked before, *path holds no answer (it is as the
  // search, or the prompter, left it).
  virtual int Find(char const* fileName, TQString* path, int forceSearch);

 private:
  struct Entry {
    Entry* next;
    TQString key;
    TQString value;
  };

  // LookForFile: `fileName` along the ';'-separated `pathList`, then its
  // base name when it has a directory part; 1 with the full path in *path.
  static int LookForFile(char const* fileName, char const* pathList, TQString* path);
  // AddDirectoryToSearchPath: adds `directory` to the search path unless
  // the path's list holds it already.
  void AddDirectoryToSearchPath(TQString const& directory) const;

  // The cache: a chained hash map of 7 buckets by TQHashKey(key) % 7, the
  // newest entry at the head of its bucket, entries carved from TQPlex
  // blocks of 10. The bucket array is made on the first insertion.
  Entry* Lookup(TQString const& key) const;
  void Store(TQString const& key, TQString const& value);
  void FreeCache();

  SearchPathA* m_searchPath;
  UserPrompter* m_prompter;
  Entry** m_buckets = nullptr;
  TQPlex* m_blocks = nullptr;
  Entry* m_free = nullptr;
  static constexpr unsigned int kBucketCount = 7;
  static constexpr unsigned int kBlockSize = 10;
};

#endif  // TQRTL_FILES_FILEFINDER_H_
