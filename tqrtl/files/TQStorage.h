// TQStorage.h: a file that keeps several named byte streams (sections).
//
// While a storage is in use its sections live in temporary files: Load
// copies the sections of the storage file into one spill file, and a section
// gets a temporary file of its own, read and written through a TQStream,
// only when a stream on it is first handed out (AddSection, FindSection,
// GetNext). So a storage of any number of sections takes two descriptors
// to open and save; only the sections a program touches take one each.
// Save gathers the sections into a new storage file, Close deletes the
// temporary files.
//
// The storage file (all integers 32-bit unsigned, little-endian; no
// signature, version, padding or trailer):
//
//   offset               size  content
//   0                    4     N, the number of sections
//   4 + 264 i            260   name of section i, up to its first NUL (a
//                              name of 260 bytes has no NUL)
//   4 + 264 i + 260      4     S(i), the size of section i's data
//   4 + 264 N            S(0)  data of section 0, then of section 1, ...
//
// An empty storage is the 4 bytes 00 00 00 00. Save writes the sections in
// the order of the section table (17 buckets by TQHashKey(name) % 17, each
// bucket newest first) and writes zeros after each name's NUL; a reader
// finds sections by name and must not rely on their order.
//
// A save is all or nothing. Save writes the new storage into a file beside
// the bound one, named "<file>.~<process id>-<n>.tmp" (hex numbers), flushes
// it to the disk, and only then renames it over the bound file, which keeps
// its permissions, owner and group (ReplaceFileA). Whatever fails before the
// rename (a full disk, a size limit, a crash), the bound file is as it was;
// a failing Save deletes its temporary file, and one left by a process that
// died can be recognised by its name (IsSaveTemporary). The rename replaces
// the directory entry: other hard links to the old file keep the old
// contents, and a bound name that is a symbolic link becomes a regular file
// (bind the link's target to write through it).
//
// Choices this class makes:
// - Copying a storage is forbidden: a storage owns its temporary files.
// - The destructor does Close's work: a storage whose owner forgot Close
//   leaves no temporary files behind.
// - A section name is at most 260 bytes (the directory's name field); a
//   longer name is refused by AddSection, since it could not be read back.
// - Save takes every section's size before it writes anything, and fails
//   when one cannot be taken or the whole would not fit the format. It never writes a size that the data
//   behind it does not match: a section that yields fewer bytes than its
//   size is padded with zeros and the save reports failure.
// - Load checks the whole directory before it creates anything: a file that
//   is truncated anywhere, whose sizes add up to more than the file holds,
//   that names a section twice (or a section the table already has) or
//   that declares more sections than it has room for, fails with 0, having
//   allocated no more than the file's size and created no file. Bytes after
//   the last section are ignored.
// - Sections are copied in pieces of at most 1 MiB, whatever their size.
// - A section's temporary file is opened unbuffered, for update, without
//   truncating it (it is new and empty).
// - When a section's temporary file cannot be made (the process's
//   descriptor limit, say), FindSection and AddSection return 0 and GetNext
//   hands out a stream without a file, whose operations fail; the section
//   itself is kept and still saved. errno tells why (EMFILE for the limit).
//
// Every TQStream handed out for a section shares the section's FILE* and
// file position, and does not own it: after Close (or the storage's
// destruction, or RemoveSection of that section) such a stream must no
// longer be used.
//
// Failures are results of 0; the only exception that leaves this class is
// TQMemoryException. Not locked: one thread uses a storage at a time. Load
// and Save flush every C run-time stream of the process.
#ifndef TQRTL_FILES_TQSTORAGE_H_
#define TQRTL_FILES_TQSTORAGE_H_

#include <cstdio>
#include <string>
#include <vector>

#include "tqrtl/core/TQPlex.h"
#include "tqrtl/files/TQStream.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

// An iteration position of TQStorage (opaque).
struct __TQPOSITION {};

// TQStorageDirectory: reads and checks the directory of a storage file, the
// part that comes from outside and must not be trusted. TQStorage::Load and
// the storage tool use it.
class TQRTL_API TQStorageDirectory {
 public:
  static constexpr unsigned long kNameFieldSize = 260;
  static constexpr unsigned long kEntrySize = 264;

  struct Entry {
    std::string name;
    unsigned long size;       // S(i)
    unsigned long long data;  // offset of its data in the file
  };

  // Read: reads the directory of the storage file `file` (any position;
  // left somewhere inside the file) and checks it against the file's size:
  // the count fits, no name repeats, and every section's data lies inside
  // the file. 1 on success; 0, with Problem() saying what is wrong and
  // where, on failure. Memory used is bounded by the file's size.
  int Read(FILE* file);

  const std::vector<Entry>& Entries() const { return m_entries; }
  // FileSize: the size of the file read; DataEnd: where the last section's
  // data ends (bytes behind it belong to no section).
  unsigned long long FileSize() const { return m_fileSize; }
  unsigned long long DataEnd() const { return m_dataEnd; }
  // Problem: what Read found wrong, with the byte offset; empty after
  // success.
  const std::string& Problem() const { return m_problem; }

 private:
  std::vector<Entry> m_entries;
  unsigned long long m_fileSize = 0;
  unsigned long long m_dataEnd = 0;
  std::string m_problem;
};

class TQRTL_API TQStorage {
 public:
  // Unbound, no sections.
  TQStorage();
  TQStorage(const TQStorage&) = delete;
  TQStorage& operator=(const TQStorage&) = delete;
  // Closes and deletes the temporary files of the sections still held.
  virtual ~TQStorage();

  // HeaderSize: 264 * count + 4, the bytes before the first section's data.
  static unsigned long HeaderSize(unsigned long count) { return 264 * count + 4; }

  // Create: binds `path`, creating or emptying the file. 0 when a file is
  // already bound, when `overwrite` is false and the file exists (it is
  // left untouched), or when the file cannot be created.
  int Create(const char* path, bool overwrite);
  // Open: binds `path` and loads it; when the load fails the storage is
  // unbound again and the result is 0. 0 when a file is already bound.
  int Open(const char* path);
  // Load: adds the sections of the bound file to the table. After success
  // each section's position is at the end of its data. 0 when the file
  // cannot be opened or is not a sound storage file (nothing is created
  // then), or when a section cannot be made or filled (the sections made
  // before stay until Close).
  int Load();
  // Save: writes all sections to a new file beside the bound one and renames
  // it over the bound file (see the top of this file). Each section's
  // position is at the end of its data afterwards. 0 when unbound or on any
  // failure, the bound file then being as it was.
  int Save();
  // IsSaveTemporary: whether `name` (a file name without directory) is the
  // name Save gives its temporary file for the storage file named
  // `storageName` (without directory).
  static bool IsSaveTemporary(const char* storageName, const char* name);
  // Close: closes and deletes every section's temporary file and empties
  // the table. The file name stays bound.
  void Close();

  unsigned SectionCount() const { return m_table.count; }

  // AddSection: a new, empty section `name` in a new temporary file;
  // *stream = a stream on it (sharing the section's file position). 0 when
  // unbound, when `name` exists already (it is left alone), is null or
  // longer than 260 bytes, or when the temporary file cannot be made.
  int AddSection(const char* name, TQStream* stream);
  // RemoveSection: drops section `name` and deletes its temporary file;
  // streams on it must no longer be used. 0 when unbound or when there is
  // no such section.
  int RemoveSection(const char* name);
  // FindSection: *stream = a stream on section `name`, which keeps the
  // section's shared position (Rewind to read it from its start). 0 when
  // unbound or when there is no such section.
  int FindSection(const char* name, TQStream* stream);

  // Iteration: GetHeadPosition is null when there are no sections; GetNext
  // stores a stream on the section at `pos` (its Name() is the section's
  // name) and advances `pos`, to null after the last. REQUIRES: pos is not
  // null.
  __TQPOSITION* GetHeadPosition() const;
  void GetNext(__TQPOSITION*& pos, TQStream& stream);
  void GetNext(__TQPOSITION*& pos, const TQStream& stream) const;

 private:
  struct Entry {
    Entry* next;
    unsigned int bucket;
    TQString name;
    TQStream stream;  // no file while the data is in the spill file
    bool spilled;      // the data is the spill file's bytes at spillOffset
    unsigned long long spillOffset;
    DWORD spillSize;
  };
  // A chained hash map: buckets allocated on the first insertion, entries
  // carved from TQPlex blocks of 10 and recycled through a free list.
  struct SectionTable {
    Entry** buckets = nullptr;
    unsigned int bucketCount = 17;
    unsigned int count = 0;
    Entry* freeList = nullptr;
    TQPlex* blocks = nullptr;
    unsigned int blockSize = 10;
  };

  Entry* Lookup(const char* name) const;
  Entry* Insert(const char* name, const TQStream& stream);
  Entry* Next(const Entry* entry) const;
  void FreeTable();
  // Gives a spilled section its own temporary file holding its data, the
  // position at the end of the data. 0 (errno set) when the file cannot be
  // made or filled; the section stays spilled then.
  int Materialize(Entry* entry);
  // Writes the storage file's bytes to `file`; 0 on a failed write or read.
  int WriteStorage(FILE* file);
  // Copies `size` bytes of `from` at its current position to `to`; 0 on a
  // short read or write (when `pad` is set, a short read is filled with
  // zeros first so that exactly `size` bytes are written).
  static int CopyBytes(FILE* from, FILE* to, unsigned long long size, bool pad,
                       std::vector<char>& buffer);

  TQString m_fileName;
  SectionTable m_table;
  // The spill file that Load fills: the data of sections not yet handed
  // out, appended one after another.
  FILE* m_spill = nullptr;
  TQString m_spillPath;
  unsigned long long m_spillEnd = 0;
};

#endif  // TQRTL_FILES_TQSTORAGE_H_
