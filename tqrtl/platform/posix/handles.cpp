// The handle table and CloseHandle (see handles.h).
//
// A slot holds the object's reference and a 10-bit generation that grows
// each time the slot is freed. A handle value is (generation << 20 | slot + 1)
// << 2, so it stays below 2^32 and the generation tells a stale handle from
// the slot's new owner. Free slots are reused lowest first.
#include "tqrtl/platform/posix/handles.h"

#include <cstdint>
#include <mutex>
#include <vector>

#include "tqrtl/platform/posix/fork.h"

namespace tqrtl::posix {
namespace {

constexpr std::uint32_t kSlotBits = 20;
constexpr std::uint32_t kMaxSlots = (1u << kSlotBits) - 1;
constexpr std::uint32_t kGenerationMask = 0x3FF;

struct Slot {
  std::shared_ptr<HandleObject> object;
  std::uint32_t generation = 1;
};

class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<HandleObject> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint32_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else {
      if (slots_.size() >= kMaxSlots) return nullptr;
      slots_.emplace_back();
      index = static_cast<std::uint32_t>(slots_.size() - 1);
    }
    slots_[index].object = std::move(object);
    ++count_;
    return ValueOf(index, slots_[index].generation);
  }

  std::shared_ptr<HandleObject> Find(HANDLE handle) {
    std::uint32_t index;
    std::uint32_t generation;
    if (!Decode(handle, &index, &generation)) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= slots_.size() || slots_[index].generation != generation) return nullptr;
    return slots_[index].object;
  }

  // Remove: takes the object out of its slot and hands it back, so that its
  // destructor runs after the table's lock is released.
  std::shared_ptr<HandleObject> Remove(HANDLE handle) {
    std::uint32_t index;
    std::uint32_t generation;
    if (!Decode(handle, &index, &generation)) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= slots_.size() || slots_[index].generation != generation || !slots_[index].object)
      return nullptr;
    std::shared_ptr<HandleObject> object = std::move(slots_[index].object);
    slots_[index].object.reset();
    slots_[index].generation = (slots_[index].generation % kGenerationMask) + 1;
    // Keep the free list sorted high to low so that the lowest slot is
    // reused first, as Windows reuses low handle values.
    auto at = free_.begin();
    while (at != free_.end() && *at > index) ++at;
    free_.insert(at, index);
    --count_;
    return object;
  }

  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

  // Held across fork(), so that the child's copy of the table is whole.
  std::mutex& mutex() { return mutex_; }

 private:
  static HANDLE ValueOf(std::uint32_t index, std::uint32_t generation) {
    const std::uintptr_t value =
        ((static_cast<std::uintptr_t>(generation) << kSlotBits) | (index + 1)) << 2;
    return reinterpret_cast<HANDLE>(value);
  }

  static bool Decode(HANDLE handle, std::uint32_t* index, std::uint32_t* generation) {
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
    if (value == 0 || (value & 3) != 0 || value >= (std::uintptr_t{1} << 32)) return false;
    const std::uintptr_t body = value >> 2;
    const std::uintptr_t slot = body & kMaxSlots;
    if (slot == 0) return false;
    *index = static_cast<std::uint32_t>(slot - 1);
    *generation = static_cast<std::uint32_t>(body >> kSlotBits);
    return true;
  }

  std::mutex mutex_;
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> free_;
  size_t count_ = 0;
};

// Never destroyed: handles may be closed by static destructors of other
// objects while the process exits.
HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object) {
  if (!object) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HANDLE handle = Table().Add(std::move(object));
  if (handle == nullptr) SetLastError(ERROR_NO_SYSTEM_RESOURCES);
  return handle;
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle) {
  std::shared_ptr<HandleObject> object = Table().Find(handle);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

size_t OpenHandleCount() { return Table().Count(); }

// A child keeps every handle: its copy of the table refers to its own copies
// of the objects. Closing one there releases the child's descriptor or
// mapping only; the parent's stay as they are (a named object's hold shares
// its open file with the parent's, see named_objects.h).
void HandleTableForkPrepare() { Table().mutex().lock(); }
void HandleTableForkRelease() { Table().mutex().unlock(); }

}  // namespace tqrtl::posix

extern "C" BOOL WINAPI CloseHandle(HANDLE handle) {
  // The pseudo handles of the current process (-1) and thread (-2) close
  // as a no-op, as on Windows.
  const auto value = reinterpret_cast<std::intptr_t>(handle);
  if (value == -1 || value == -2) return TRUE;
  std::shared_ptr<tqrtl::posix::HandleObject> object = tqrtl::posix::Table().Remove(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object.reset();  // the object's destructor runs here, outside the table's lock
  return TRUE;
}
