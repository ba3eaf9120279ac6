// atom_table.h: the per-user shared tables behind global atoms
// (GlobalAddAtomA ...) and registered window messages
// (RegisterWindowMessageA). Not installed.
//
// A table is one file in the user's namespace directory (see
// named_objects.h): ".atoms" for global atoms, ".messages" for window
// messages, kept apart as Windows keeps them. The leading dot keeps the
// named-object sweep away from them: a table belongs to nobody and outlives
// every process, until the file is removed (the namespace lives on a memory
// file system, so at the latest until the machine restarts).
//
// The file is mode 0600, of a fixed size, and mapped whole by every process
// that uses it:
//
//   header (128 bytes)  magic "TQAT", version, slot count, slot size,
//                       `high` (every slot in use lies below it) and a
//                       robust process-shared mutex
//   slots               `slots` x { refs (0 = free), length 1..255, text }
//
// Slot i holds atom 0xC000 + i. A new text takes the lowest free slot, so
// freed numbers come back. Texts match ignoring case (the registry's rule,
// see Fold in internal.h) and keep the spelling of their first add.
//
// Every update is ordered so that a process killed in the middle of one
// leaves a table that reads correctly: a new slot's text and length are
// written while its count is still 0, `high` is raised before the count is
// set, and a count changes in one store. The next process that takes the
// lock is told its holder died (EOWNERDEAD) and recomputes `high`.
//
// The file is outside input: any process of the user can write to it. The
// operations on an image (AtomTableImage) read each shared field once and
// check it before use: a header that does not describe `size` bytes, a
// length outside 1..255 or a NUL inside a text fails the call with
// ERROR_FILE_INVALID and never reads outside the image. (A process of the
// user that shrinks the file under the others can still crash them, as it
// could by writing into their memory; sizes are checked when a file is
// mapped.)
//
// Thread-safety: AtomTableImage does no locking (its caller holds the
// table's lock); SharedAtomTable may be used from any thread of any process
// of the user, and across fork().
#ifndef TQRTL_PLATFORM_POSIX_ATOM_TABLE_H_
#define TQRTL_PLATFORM_POSIX_ATOM_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tqrtl/platform/win32.h"

namespace tqrtl::posix {

inline constexpr std::uint32_t kAtomTableMagic = 0x54415154;  // "TQAT"
inline constexpr std::uint32_t kAtomTableVersion = 1;
inline constexpr ATOM kFirstStringAtom = 0xC000;
inline constexpr std::uint32_t kMaxAtomSlots = 0x4000;  // 0xC000..0xFFFF
inline constexpr size_t kMaxAtomLength = 255;

struct AtomTableHeader {
  std::uint32_t magic;
  std::uint32_t version;
  std::uint32_t slots;
  std::uint32_t slot_size;  // sizeof(AtomSlot)
  std::uint32_t high;       // every slot with a count lies below this
  std::uint32_t reserved[11];
  alignas(16) unsigned char lock[64];  // a pthread_mutex_t (atom_table.cpp)
};
static_assert(sizeof(AtomTableHeader) == 128);

struct AtomSlot {
  std::uint32_t refs;  // 0: free
  std::uint8_t length;
  char text[kMaxAtomLength];
};
static_assert(sizeof(AtomSlot) == 260);

// AtomTableBytes: the size of a table of `slots` slots.
constexpr size_t AtomTableBytes(std::uint32_t slots) {
  return sizeof(AtomTableHeader) + static_cast<size_t>(slots) * sizeof(AtomSlot);
}

// AtomTableImage: the operations on a table in memory. Each checks the
// header against `size` first. Results are Win32 error codes (0: success).
class TQRTL_API AtomTableImage {
 public:
  AtomTableImage(void* base, size_t size) : base_(static_cast<unsigned char*>(base)), size_(size) {}

  // Init: writes an empty table of `slots` (1..kMaxAtomSlots) slots over
  // AtomTableBytes(slots) zeroed bytes, the magic last. The lock is left
  // to the caller.
  void Init(std::uint32_t slots);
  // Valid: whether the header describes a table of exactly `size` bytes.
  bool Valid() const;

  // Add: the atom of `name` (`length` bytes, 1..255, no NUL), its count
  // raised, or a new one with count 1. ERROR_NOT_ENOUGH_MEMORY when every
  // slot is taken.
  DWORD Add(const char* name, size_t length, ATOM* atom);
  // Find: the atom of `name`, or ERROR_FILE_NOT_FOUND.
  DWORD Find(const char* name, size_t length, ATOM* atom) const;
  // Name: copies the text of `atom` (kMaxAtomLength bytes at most, no NUL)
  // to `text` and its length to *length; ERROR_INVALID_HANDLE when the
  // atom is not in use.
  DWORD Name(ATOM atom, char* text, size_t* length) const;
  // Delete: lowers the count of `atom` and frees its slot at 0;
  // ERROR_INVALID_HANDLE when the atom is not in use.
  DWORD Delete(ATOM atom);
  // Repair: makes `high` right again after a holder of the lock died.
  void Repair();

 private:
  // The header and slot count when the header (`high` aside) describes
  // exactly `size_` bytes; null otherwise.
  AtomTableHeader* Geometry(std::uint32_t* slots) const;
  // Geometry, and `high` within the slots.
  AtomTableHeader* Header(std::uint32_t* slots, std::uint32_t* high) const;
  AtomSlot* Slot(std::uint32_t index) const;
  DWORD Lookup(const char* name, size_t length, std::uint32_t* index) const;

  unsigned char* base_;
  size_t size_;
};

// SharedAtomTable: one table file, mapped and locked.
class TQRTL_API SharedAtomTable {
 public:
  // Open: maps the table `file` in the namespace directory `dir`, creating
  // it when it is missing (several processes at once make one table). Null
  // with the last error set when the directory or the file cannot be
  // trusted (ERROR_ACCESS_DENIED), the file is not a table of this layout
  // and size (ERROR_FILE_INVALID), or a system call fails.
  static std::unique_ptr<SharedAtomTable> Open(const std::string& dir, const char* file);
  // ForProcess: the process's table of global atoms (kGlobalAtoms) or of
  // window messages (kWindowMessages), opened on first use in the
  // namespace directory of that moment and kept for the life of the
  // process. Null with the last error when it cannot be opened (tried again
  // on the next call).
  enum Kind { kGlobalAtoms, kWindowMessages };
  static SharedAtomTable* ForProcess(Kind kind);

  ~SharedAtomTable();
  SharedAtomTable(const SharedAtomTable&) = delete;
  SharedAtomTable& operator=(const SharedAtomTable&) = delete;

  // The image operations under the table's lock. The failures set the last
  // error and return 0 (Name: false); a lock that cannot be taken fails
  // with ERROR_TIMEOUT (held for seconds: a table someone has damaged) or
  // ERROR_FILE_INVALID.
  ATOM Add(const char* name, size_t length);
  ATOM Find(const char* name, size_t length);
  bool Name(ATOM atom, char* text, size_t* length);
  bool Delete(ATOM atom);

  // Lock / Unlock: the table's lock, taken as the operations take it
  // (EOWNERDEAD repaired). Tests use them to die while holding it.
  DWORD Lock();
  void Unlock();
  AtomTableImage image() const { return AtomTableImage(base_, size_); }

 private:
  SharedAtomTable(void* base, size_t size) : base_(base), size_(size) {}
  void* base_;
  size_t size_;
};

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_ATOM_TABLE_H_
