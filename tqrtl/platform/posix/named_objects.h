// named_objects.h: the per-user namespace of named kernel objects (events
// and file mappings). Not installed.
//
// Each name is one file in a directory only its user can enter:
// $TQRTL_OBJECT_DIR when set, else /run/user/<uid>/tqrtl when the system
// made /run/user/<uid> for the user, else /dev/shm/tqrtl-<uid> (tmpfs: the
// memory never reaches a disk). See NamespaceDirectory. The directory is mode 0700 and each file 0600, so
// other users can neither open nor list the names. A file starts with one
// page of header (type, size, and an event's state); a mapping's memory
// follows it.
//
// Lifetime follows Windows: a name exists while some handle to it is open.
// Every handle keeps its own descriptor of the file with a shared flock on
// it, and the kernel drops those locks when a process exits or is killed.
// Creating, opening and closing serialise on the namespace's lock file. A
// file that nobody holds a shared lock on is stale (its last holder died):
// create and open remove it and treat the name as free, so a crash never
// leaves a name behind. The last closer removes the file; views of a
// mapping keep its memory alive without keeping its name.
//
// A child made by fork() inherits each hold's descriptor, which shares the
// parent's open file, and a flock belongs to the open file: it goes only
// when the last descriptor of it, in either process, is closed. So the name
// lives while the parent or the child still holds the handle, and closing
// it in one of them never takes it from the other.
//
// Thread-safety: any thread, any process of the user.
#ifndef TQRTL_PLATFORM_POSIX_NAMED_OBJECTS_H_
#define TQRTL_PLATFORM_POSIX_NAMED_OBJECTS_H_

#include <cstdint>
#include <memory>
#include <string>

#include "tqrtl/platform/posix/handles.h"

namespace tqrtl::posix {

enum class NamedType : std::uint32_t { kEvent = 1, kMapping = 2 };

// The first page of every object file.
struct NamedHeader {
  std::atomic<std::uint32_t> magic;  // kNamedMagic once initialised
  std::uint32_t type;                // NamedType
  std::uint64_t size;                // a mapping's size in bytes (a multiple of the page)
  EventState event;                  // an event's state
};

// NamedHold: one handle's hold on a named object. Its destructor gives the
// hold back and removes the name when it was the last.
class NamedHold {
 public:
  ~NamedHold();
  NamedHold(const NamedHold&) = delete;
  NamedHold& operator=(const NamedHold&) = delete;

  // fd: a descriptor to map the object from. It is not the one that holds
  // the lock: a mapping keeps its descriptor's open file alive, and with it
  // any lock on that open file, so views made from the locked descriptor
  // would keep the name alive after the handle closed.
  int fd() const { return map_fd_; }
  NamedHeader* header() const { return header_; }
  // The offset in the file where a mapping's memory starts.
  std::uint64_t data_offset() const { return header_size_; }

 private:
  friend std::shared_ptr<NamedHold> HoldNamed(const char*, NamedType, bool, std::uint64_t, bool,
                                              bool, bool*);
  NamedHold() = default;
  std::string path_;
  int fd_ = -1;      // holds the shared lock
  int map_fd_ = -1;  // the same file, opened anew: no lock
  NamedHeader* header_ = nullptr;
  size_t header_size_ = 0;
};

// HoldNamed: opens the object called `name` of `type`, creating it when
// `create` is set and the name is free (a mapping of `size` bytes rounded up
// to the page, zero-filled; an event with `manual` and `initial`).
// *existed tells whether the name was already live. Fails with null and:
// ERROR_FILE_NOT_FOUND (no such name and not creating), ERROR_INVALID_HANDLE
// (the name belongs to an object of another type), ERROR_FILENAME_EXCED_RANGE
// (the name is too long), ERROR_ACCESS_DENIED (the namespace directory is
// not the user's own), or the error of the failed system call.
std::shared_ptr<NamedHold> HoldNamed(const char* name, NamedType type, bool create,
                                     std::uint64_t size, bool manual, bool initial, bool* existed);

// NamespaceDirectory: the directory that holds the calling user's names.
// Every process of the user arrives at the same one: it depends on
// TQRTL_OBJECT_DIR and on what is on disk, not on XDG_RUNTIME_DIR.
TQRTL_API std::string NamespaceDirectory();

// EnsureNamespaceDirectory: creates `dir` (a NamespaceDirectory()) mode
// 0700, or checks that the one there is a directory of this user that
// nobody else may enter. False with the last error set (ERROR_ACCESS_DENIED
// for one that is not, reported on standard error) otherwise.
bool EnsureNamespaceDirectory(const std::string& dir);

// NamedObjectPath: the file that holds `name`, or "" when the name cannot
// be stored (too long).
TQRTL_API std::string NamedObjectPath(const char* name);

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_NAMED_OBJECTS_H_
