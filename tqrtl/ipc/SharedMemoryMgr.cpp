// SharedMemoryMgr.cpp: the named block, its lock and this process's view of
// its free list. The allocator itself is SharedFreeList.
#include "tqrtl/ipc/SharedMemoryMgr.h"

#include <cstdint>
#include <cstring>

#include "tqrtl/files/SysUtil.h"
#include "tqrtl/ipc/internal/shared_free_list.h"

const unsigned char SharedMemoryMgr::MAJOR_VERSION = 1;
const unsigned char SharedMemoryMgr::MINOR_VERSION = 0;
const unsigned int SharedMemoryMgr::MINIMUM_ALLOCATION = 128;

SharedMemoryMgr::SharedMemoryMgr()
    : m_mutex(nullptr), m_mapping(nullptr), m_header(nullptr), m_free_list(nullptr) {}

SharedMemoryMgr::SharedMemoryMgr(TQString const& name, unsigned int size, unsigned int minRemainder)
    : SharedMemoryMgr() {
  if (size == 0xFFFFFFFFu) {
    Attach(name);
  } else {
    Create(name, size, minRemainder);
  }
}

SharedMemoryMgr::~SharedMemoryMgr() {
  if (m_mapping != nullptr) Detach();
}

bool SharedMemoryMgr::LockNew(TQString const& name) {
  m_mutex = new TQLiteMutex(name + "_mem_mutex");
  if (m_mutex->Enter(true) == TQLiteMutex::Acquired) return true;
  delete m_mutex;
  m_mutex = nullptr;
  return false;
}

void SharedMemoryMgr::LockDrop() {
  m_mutex->Leave();
  delete m_mutex;
  m_mutex = nullptr;
}

bool SharedMemoryMgr::Create(TQString const& name, unsigned int size, unsigned int minRemainder) {
  if (m_mapping != nullptr) Detach();
  if (!LockNew(name)) return false;
  const uint64_t page = SysUtil::GetMemoryPageSize();
  const uint64_t rounded = (uint64_t{size} + page - 1) / page * page;
  bool made = false;
  if (size != 0 && rounded <= 0xFFFFFFFFu &&
      rounded >= SharedFreeList::kHeaderSize + SharedFreeList::kMinFreeBlock) {
    m_name = name;
    if (MMFCreate(static_cast<unsigned int>(rounded)) && MMFMap()) {
      Init(static_cast<unsigned int>(rounded), minRemainder);
      made = true;
    }
  }
  if (!made) m_name.Empty();
  if (made) {
    Release();
  } else {
    LockDrop();
  }
  return made;
}

bool SharedMemoryMgr::Attach(TQString const& name) {
  if (m_mapping != nullptr) Detach();
  if (!LockNew(name)) return false;
  m_name = name;
  bool accepted = false;
  if (MMFOpen() && MMFMap()) {
    const auto* bytes = static_cast<const unsigned char*>(m_header);
    uint32_t total;
    std::memcpy(&total, bytes + SharedFreeList::kTotalSizeOffset, 4);
    const unsigned int page = SysUtil::GetMemoryPageSize();
    if (bytes[1] == MAJOR_VERSION && bytes[0] == MINOR_VERSION && total != 0 && total % page == 0) {
      Init();
      accepted = true;
    } else {
      MMFDestroy();
    }
  }
  if (accepted) {
    Release();
  } else {
    m_name.Empty();
    LockDrop();
  }
  return accepted;
}

void SharedMemoryMgr::Detach() {
  if (m_mapping == nullptr && m_header == nullptr) return;
  const bool locked = Acquire() == TQLiteMutex::Acquired;
  if (locked && m_header != nullptr) {
    auto* count = static_cast<unsigned char*>(m_header) + SharedFreeList::kAttachCountOffset;
    uint16_t value;
    std::memcpy(&value, count, 2);
    value = static_cast<uint16_t>(value - 1);
    std::memcpy(count, &value, 2);
  }
  MMFDestroy();
  m_name.Empty();
  if (locked) Release();
  delete m_mutex;
  m_mutex = nullptr;
}

void SharedMemoryMgr::Init(unsigned int size, unsigned int minRemainder) {
  SharedFreeList::WriteHeader(m_header, size, minRemainder,
                              static_cast<uint32_t>(GetCurrentProcessId()));
  CreateFreeList(true);
}

void SharedMemoryMgr::Init() {
  auto* count = static_cast<unsigned char*>(m_header) + SharedFreeList::kAttachCountOffset;
  uint16_t value;
  std::memcpy(&value, count, 2);
  value = static_cast<uint16_t>(value + 1);
  std::memcpy(count, &value, 2);
  CreateFreeList(false);
}

void SharedMemoryMgr::CreateFreeList(bool layOut) {
  delete m_free_list;
  m_free_list = new SharedFreeList(m_header);
  if (layOut) m_free_list->Initialise();
}

bool SharedMemoryMgr::MMFCreate(unsigned int size) {
  m_mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, m_name);
  if (m_mapping == nullptr) return false;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(m_mapping);
    m_mapping = nullptr;
    return false;
  }
  return true;
}

bool SharedMemoryMgr::MMFOpen() {
  m_mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, m_name);
  return m_mapping != nullptr;
}

bool SharedMemoryMgr::MMFMap() {
  m_header = MapViewOfFile(m_mapping, FILE_MAP_WRITE, 0, 0, 0);
  if (m_header != nullptr) return true;
  CloseHandle(m_mapping);
  m_mapping = nullptr;
  return false;
}

void SharedMemoryMgr::MMFDestroy() {
  delete m_free_list;
  m_free_list = nullptr;
  if (m_header != nullptr) UnmapViewOfFile(m_header);
  m_header = nullptr;
  if (m_mapping != nullptr) CloseHandle(m_mapping);
  m_mapping = nullptr;
}

TQLiteMutex::WaitStatus SharedMemoryMgr::Acquire() const {
  if (m_mutex == nullptr) return TQLiteMutex::Abandoned;
  return m_mutex->Enter(true);
}

void SharedMemoryMgr::Release() const {
  if (m_mutex != nullptr) m_mutex->Leave();
}

// Alloc and Free are the hot path: besides the lock's two interlocked
// instructions and the list's own work they test one pointer. Create and
// Attach make the free list last and MMFDestroy deletes it first, and the
// lock is there whenever the list is, so a manager with a free list is
// valid and has its lock.
void* SharedMemoryMgr::Alloc(unsigned int n) const {
  SharedFreeList* const list = m_free_list;
  if (list == nullptr) return nullptr;
  TQLiteMutex& lock = *m_mutex;
  if (lock.Enter(true) != TQLiteMutex::Acquired) return nullptr;
  void* p = list->Alloc(n);
  lock.Leave();
  return p;
}

void SharedMemoryMgr::Free(void* p) const {
  SharedFreeList* const list = m_free_list;
  if (p == nullptr || list == nullptr) return;
  TQLiteMutex& lock = *m_mutex;
  if (lock.Enter(true) != TQLiteMutex::Acquired) return;
  list->Free(p);
  lock.Leave();
}

void* SharedMemoryMgr::SafeAlloc(unsigned int n) const {
  return IsValid() ? m_free_list->Alloc(n) : nullptr;
}

void SharedMemoryMgr::SafeFree(void* p) const {
  if (IsValid()) m_free_list->Free(p);
}

void SharedMemoryMgr::Reset() {
  if (!IsValid()) return;
  const uint16_t one = 1;
  std::memcpy(static_cast<unsigned char*>(m_header) + SharedFreeList::kAttachCountOffset, &one, 2);
  m_free_list->Initialise();
}

void SharedMemoryMgr::Abandon() const {
  if (m_mutex != nullptr) m_mutex->Abandon();
}

void SharedMemoryMgr::Recover() const {
  if (m_mutex != nullptr) m_mutex->Recover();
}

unsigned int SharedMemoryMgr::OffsetOf(void* p) const {
  return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(p) -
                                   reinterpret_cast<uintptr_t>(m_header));
}

void* SharedMemoryMgr::GetPtr(unsigned int offset) const {
  if (m_header == nullptr) return nullptr;
  return static_cast<unsigned char*>(m_header) + offset;
}

TQString SharedMemoryMgr::Name() { return m_name; }

bool SharedMemoryMgr::IsValid() const { return m_mapping != nullptr && m_header != nullptr; }
