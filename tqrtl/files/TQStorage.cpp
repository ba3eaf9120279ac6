#include "tqrtl/files/TQStorage.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

#include "tqrtl/errors/TQException.h"
#include "tqrtl/files/FileUtil.h"

namespace {

// Largest piece of a section copied at once.
constexpr size_t kCopyPiece = 1024 * 1024;

// The marker before the first entry.
__TQPOSITION* const kBeforeFirst = reinterpret_cast<__TQPOSITION*>(~static_cast<UINT_PTR>(0));

std::string At(unsigned long long offset) { return " at offset " + std::to_string(offset); }

void PutU32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

std::uint32_t GetU32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Size of the file behind `path` as the file system reports it (not what a
// stream's buffer may still hold), or INVALID_FILE_SIZE when it cannot be
// taken or does not fit the format's 32 bits.
DWORD FileSizeByPath(const char* path) {
  struct _stat info;
  if (_stat(path, &info) != 0 || info.st_size < 0 ||
      static_cast<unsigned long long>(info.st_size) >= INVALID_FILE_SIZE)
    return INVALID_FILE_SIZE;
  return static_cast<DWORD>(info.st_size);
}

// The offsets a seek can reach in one call (long is 32-bit on Windows).
constexpr unsigned long long kMaxOffset = static_cast<unsigned long long>(LONG_MAX);

}  // namespace

// ---------------------------------------------------------------------------
// TQStorageDirectory

int TQStorageDirectory::Read(FILE* file) {
  m_entries.clear();
  m_problem.clear();
  m_fileSize = m_dataEnd = 0;
  if (std::fseek(file, 0, SEEK_END) != 0) {
    m_problem = "the file cannot be measured";
    return 0;
  }
  const long end = std::ftell(file);
  if (end < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    m_problem = "the file cannot be measured";
    return 0;
  }
  m_fileSize = static_cast<unsigned long long>(end);

  unsigned char count_bytes[4];
  if (m_fileSize < 4 || std::fread(count_bytes, 1, 4, file) != 4) {
    m_problem = "the file ends inside the section count" + At(0) + " (it has " +
                std::to_string(m_fileSize) + " bytes)";
    return 0;
  }
  const unsigned long long count = GetU32(count_bytes);
  const unsigned long long header = kEntrySize * count + 4;
  if (header > m_fileSize) {
    const unsigned long long whole = (m_fileSize - 4) / kEntrySize;
    m_problem = "the directory of " + std::to_string(count) + " sections needs " +
                std::to_string(header) + " bytes but the file has " + std::to_string(m_fileSize) +
                "; it ends inside directory entry " + std::to_string(whole) +
                At(4 + kEntrySize * whole);
    return 0;
  }

  // The whole directory fits in the file, so reading it at once costs no
  // more than the file's size.
  std::vector<unsigned char> directory(static_cast<size_t>(header - 4));
  if (!directory.empty() &&
      std::fread(directory.data(), 1, directory.size(), file) != directory.size()) {
    m_problem = "the directory cannot be read" + At(4);
    return 0;
  }
  m_entries.reserve(static_cast<size_t>(count));
  std::unordered_set<std::string_view> names;
  unsigned long long data = header;
  for (unsigned long long i = 0; i < count; ++i) {
    const unsigned char* field = directory.data() + kEntrySize * i;
    const unsigned char* nul =
        static_cast<const unsigned char*>(std::memchr(field, 0, kNameFieldSize));
    const size_t length = nul != nullptr ? static_cast<size_t>(nul - field) : kNameFieldSize;
    Entry entry{std::string(reinterpret_cast<const char*>(field), length),
                GetU32(field + kNameFieldSize), data};
    const unsigned long long where = 4 + kEntrySize * i;
    if (data + entry.size > m_fileSize) {
      m_problem = "section " + std::to_string(i) + " \"" + entry.name + "\" (directory entry" +
                  At(where) + ") declares " + std::to_string(entry.size) + " bytes of data" +
                  At(data) + " but the file ends after " + std::to_string(m_fileSize - data);
      return 0;
    }
    data += entry.size;
    m_entries.push_back(std::move(entry));
  }
  // Names are checked once the entries no longer move.
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (!names.insert(m_entries[i].name).second) {
      m_problem = "section " + std::to_string(i) + " (directory entry" + At(4 + kEntrySize * i) +
                  ") repeats the name \"" + m_entries[i].name + "\"";
      m_entries.clear();
      return 0;
    }
  }
  m_dataEnd = data;
  return 1;
}

// ---------------------------------------------------------------------------
// TQStorage: the section table

TQStorage::TQStorage() = default;

TQStorage::~TQStorage() { Close(); }

TQStorage::Entry* TQStorage::Lookup(const char* name) const {
  if (m_table.buckets == nullptr) return nullptr;
  const unsigned int bucket = TQHashKey(name) % m_table.bucketCount;
  for (Entry* e = m_table.buckets[bucket]; e != nullptr; e = e->next)
    if (std::strcmp(e->name, name) == 0) return e;
  return nullptr;
}

TQStorage::Entry* TQStorage::Insert(const char* name, const TQStream& stream) {
  if (m_table.buckets == nullptr) {
    m_table.buckets = new (std::nothrow) Entry*[m_table.bucketCount]();
    if (m_table.buckets == nullptr) throw TQMemoryException();
  }
  if (m_table.freeList == nullptr) {
    TQPlex* block = TQPlex::Create(m_table.blocks, m_table.blockSize, sizeof(Entry));
    Entry* slots = static_cast<Entry*>(block->data());
    // Thread the block's slots onto the free list, first slot first out.
    for (unsigned int i = m_table.blockSize; i-- > 0;) {
      slots[i].next = m_table.freeList;
      m_table.freeList = &slots[i];
    }
  }
  Entry* slot = m_table.freeList;
  Entry* rest = slot->next;
  const unsigned int bucket = TQHashKey(name) % m_table.bucketCount;
  Entry* entry =
      new (slot) Entry{m_table.buckets[bucket], bucket, TQString(name), stream, false, 0, 0};
  m_table.freeList = rest;
  m_table.buckets[bucket] = entry;
  ++m_table.count;
  return entry;
}

TQStorage::Entry* TQStorage::Next(const Entry* entry) const {
  if (entry != nullptr && entry->next != nullptr) return entry->next;
  if (m_table.buckets == nullptr) return nullptr;
  for (unsigned int b = entry == nullptr ? 0 : entry->bucket + 1; b < m_table.bucketCount; ++b)
    if (m_table.buckets[b] != nullptr) return m_table.buckets[b];
  return nullptr;
}

void TQStorage::FreeTable() {
  if (m_table.buckets != nullptr) {
    for (unsigned int b = 0; b < m_table.bucketCount; ++b)
      for (Entry* e = m_table.buckets[b]; e != nullptr;) {
        Entry* next = e->next;
        e->~Entry();
        e = next;
      }
    delete[] m_table.buckets;
    m_table.buckets = nullptr;
  }
  if (m_table.blocks != nullptr) m_table.blocks->FreeDataChain();
  m_table.blocks = nullptr;
  m_table.freeList = nullptr;
  m_table.count = 0;
}

// ---------------------------------------------------------------------------
// TQStorage: operations

int TQStorage::Create(const char* path, bool overwrite) {
  if (!m_fileName.IsEmpty() || path == nullptr || *path == '\0') return 0;
  if (!overwrite) {
    FILE* existing = _fsopen(path, "r+b", _SH_DENYNO);
    if (existing != nullptr) {
      std::fclose(existing);
      return 0;
    }
  }
  FILE* file = _fsopen(path, "w+b", _SH_DENYNO);
  if (file == nullptr) return 0;
  std::fclose(file);
  m_fileName = path;
  return 1;
}

int TQStorage::Open(const char* path) {
  if (!m_fileName.IsEmpty() || path == nullptr || *path == '\0') return 0;
  m_fileName = path;
  if (Load()) return 1;
  m_fileName.Empty();
  return 0;
}

int TQStorage::Load() {
  if (m_fileName.IsEmpty()) return 0;
  FILE* file = _fsopen(m_fileName, "rb", _SH_DENYNO);
  if (file == nullptr) return 0;
  std::setvbuf(file, nullptr, _IONBF, 0);

  int ok = 0;
  TQStorageDirectory directory;
  if (directory.Read(file) && directory.DataEnd() <= kMaxOffset) {
    ok = 1;
    for (const TQStorageDirectory::Entry& e : directory.Entries())
      if (Lookup(e.name.c_str()) != nullptr) ok = 0;
  }
  // The data goes to the spill file, appended behind what an earlier Load
  // put there; a section gets a file of its own only when it is handed out.
  if (ok && !directory.Entries().empty() && m_spill == nullptr) {
    TQString path;
    if (!FileUtil::GetTempFile(&path, "tqs")) {
      ok = 0;
    } else if ((m_spill = _fsopen(path, "r+b", _SH_DENYNO)) == nullptr) {
      const int error = errno;
      std::remove(path);
      errno = error;
      ok = 0;
    } else {
      std::setvbuf(m_spill, nullptr, _IONBF, 0);
      m_spillPath = path;
      m_spillEnd = 0;
    }
  }
  std::vector<char> buffer;
  if (ok && m_spill != nullptr && std::fseek(m_spill, static_cast<long>(m_spillEnd), SEEK_SET) != 0)
    ok = 0;
  for (size_t i = 0; ok && i < directory.Entries().size(); ++i) {
    const TQStorageDirectory::Entry& e = directory.Entries()[i];
    if (m_spillEnd + e.size > kMaxOffset ||
        (e.size != 0 && (std::fseek(file, static_cast<long>(e.data), SEEK_SET) != 0 ||
                         !CopyBytes(file, m_spill, e.size, false, buffer)))) {
      ok = 0;
      break;
    }
    TQStream section;
    section.m_name = e.name.c_str();
    Entry* entry = Insert(e.name.c_str(), section);
    entry->spilled = true;
    entry->spillOffset = m_spillEnd;
    entry->spillSize = static_cast<DWORD>(e.size);
    m_spillEnd += e.size;
  }
  _flushall();
  std::fclose(file);
  return ok;
}

int TQStorage::Materialize(Entry* entry) {
  if (!entry->spilled) return 1;
  TQString path;
  if (!FileUtil::GetTempFile(&path, "tmp")) return 0;
  FILE* file = _fsopen(path, "r+b", _SH_DENYNO);
  int ok = file != nullptr;
  if (ok) {
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::vector<char> buffer;
    ok = entry->spillSize == 0 ||
         (std::fseek(m_spill, static_cast<long>(entry->spillOffset), SEEK_SET) == 0 &&
          CopyBytes(m_spill, file, entry->spillSize, false, buffer));
  }
  if (!ok) {
    const int error = errno;
    if (file != nullptr) std::fclose(file);
    std::remove(path);
    errno = error;
    return 0;
  }
  entry->stream.m_path = path;
  entry->stream.m_file = file;
  entry->spilled = false;
  return 1;
}

int TQStorage::CopyBytes(FILE* from, FILE* to, unsigned long long size, bool pad,
                         std::vector<char>& buffer) {
  if (buffer.size() < std::min<unsigned long long>(size, kCopyPiece))
    buffer.resize(static_cast<size_t>(std::min<unsigned long long>(size, kCopyPiece)));
  int ok = 1;
  while (size > 0) {
    const size_t want = static_cast<size_t>(std::min<unsigned long long>(size, kCopyPiece));
    size_t got = ok ? std::fread(buffer.data(), 1, want, from) : 0;
    if (got < want) {
      if (!pad) return 0;
      std::memset(buffer.data() + got, 0, want - got);
      got = want;
      ok = 0;
    }
    if (std::fwrite(buffer.data(), 1, got, to) != got) return 0;
    size -= got;
  }
  return ok;
}

int TQStorage::WriteStorage(FILE* file) {
  // Everything that can fail before a byte is written is done first: the
  // sections' sizes, and whether the whole fits the format.
  struct Item {
    Entry* entry;
    DWORD size;
  };
  std::vector<Item> items;
  items.reserve(m_table.count);
  unsigned long long total = HeaderSize(0) + 264ULL * m_table.count;
  for (Entry* e = Next(nullptr); e != nullptr; e = Next(e)) {
    DWORD size = e->spillSize;
    if (!e->spilled) {
      if (e->stream.m_file != nullptr) std::fflush(e->stream.m_file);
      size = FileSizeByPath(e->stream.m_path);
      if (size == INVALID_FILE_SIZE) return 0;
    }
    items.push_back(Item{e, size});
    total += size;
  }
  if (total > kMaxOffset) return 0;

  std::vector<unsigned char> directory(static_cast<size_t>(HeaderSize(0) + 264ULL * items.size()));
  PutU32(directory.data(), static_cast<std::uint32_t>(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    unsigned char* field = directory.data() + 4 + 264 * i;
    const TQString& name = items[i].entry->name;
    std::memcpy(field, static_cast<const char*>(name),
                std::min<size_t>(static_cast<size_t>(name.GetLength()),
                                 TQStorageDirectory::kNameFieldSize));
    PutU32(field + TQStorageDirectory::kNameFieldSize, items[i].size);
  }

  int ok = std::fwrite(directory.data(), 1, directory.size(), file) == directory.size() ? 1 : 0;
  std::vector<char> buffer;
  for (size_t i = 0; ok && i < items.size(); ++i) {
    if (items[i].size == 0) continue;
    const Entry* e = items[i].entry;
    FILE* section = e->spilled ? m_spill : e->stream.m_file;
    const long start = e->spilled ? static_cast<long>(e->spillOffset) : 0;
    if (section == nullptr || std::fseek(section, start, SEEK_SET) != 0) return 0;
    ok = CopyBytes(section, file, items[i].size, true, buffer);
  }
  return ok;
}

int TQStorage::Save() {
  if (m_fileName.IsEmpty()) return 0;

  // A new file beside the bound one (the same file system, so that the
  // rename below cannot turn into a copy), under a name no other save uses.
  static LONG counter = 0;
  TQString temporary;
  HANDLE created = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".~%lx-%lx.tmp",
                  static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<unsigned long>(InterlockedIncrement(&counter)));
    temporary = m_fileName;
    temporary += suffix;
    created = CreateFileA(temporary, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
        GetLastError() != ERROR_ALREADY_EXISTS)
      return 0;
  }
  if (created == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(created);

  FILE* file = _fsopen(temporary, "r+b", _SH_DENYNO);
  int ok = 0;
  if (file != nullptr) {
    std::setvbuf(file, nullptr, _IONBF, 0);
    ok = WriteStorage(file);
    // On the disk before the rename: a crash must not leave the bound name
    // on a file whose data never got there.
    if (ok && (std::fflush(file) != 0 || _commit(_fileno(file)) != 0)) ok = 0;
    if (std::fclose(file) != 0) ok = 0;
  }
  _flushall();
  if (ok) {
    struct _stat facts;
    if (_stat(m_fileName, &facts) == 0)
      ok = ReplaceFileA(m_fileName, temporary, nullptr, 0, nullptr, nullptr) ? 1 : 0;
    else
      ok = MoveFileExA(temporary, m_fileName, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 1
               : 0;
  }
  if (!ok) {
    const int error = errno;
    std::remove(temporary);
    errno = error;
  }
  return ok;
}

bool TQStorage::IsSaveTemporary(const char* storageName, const char* name) {
  if (storageName == nullptr || name == nullptr) return false;
  const std::string_view whole(name), stem(storageName);
  if (whole.size() < stem.size() + 7 || whole.substr(0, stem.size()) != stem) return false;
  const std::string_view rest = whole.substr(stem.size());  // ".~<hex>-<hex>.tmp"
  if (rest.substr(0, 2) != ".~" || rest.substr(rest.size() - 4) != ".tmp") return false;
  const std::string_view numbers = rest.substr(2, rest.size() - 6);
  const size_t dash = numbers.find('-');
  if (dash == std::string_view::npos || dash == 0 || dash + 1 == numbers.size()) return false;
  for (size_t i = 0; i < numbers.size(); ++i)
    if (i != dash && std::strchr("0123456789abcdef", numbers[i]) == nullptr) return false;
  return true;
}

void TQStorage::Close() {
  for (Entry* e = Next(nullptr); e != nullptr; e = Next(e)) {
    if (e->stream.m_file != nullptr) std::fclose(e->stream.m_file);
    e->stream.m_file = nullptr;
    if (!e->stream.m_path.IsEmpty()) std::remove(e->stream.m_path);
  }
  FreeTable();
  if (m_spill != nullptr) std::fclose(m_spill);
  m_spill = nullptr;
  if (!m_spillPath.IsEmpty()) std::remove(m_spillPath);
  m_spillPath.Empty();
  m_spillEnd = 0;
}

int TQStorage::RemoveSection(const char* name) {
  if (m_fileName.IsEmpty() || name == nullptr) return 0;
  Entry* entry = Lookup(name);
  if (entry == nullptr) return 0;
  Entry** link = &m_table.buckets[entry->bucket];
  while (*link != entry) link = &(*link)->next;
  *link = entry->next;
  if (entry->stream.m_file != nullptr) std::fclose(entry->stream.m_file);
  entry->stream.m_file = nullptr;
  if (!entry->stream.m_path.IsEmpty()) std::remove(entry->stream.m_path);
  entry->~Entry();
  // The slot goes back to the free list; its spilled bytes stay unused in
  // the spill file until Close.
  Entry* slot = entry;
  slot->next = m_table.freeList;
  m_table.freeList = slot;
  --m_table.count;
  return 1;
}

int TQStorage::AddSection(const char* name, TQStream* stream) {
  if (m_fileName.IsEmpty() || name == nullptr ||
      std::strlen(name) > TQStorageDirectory::kNameFieldSize || Lookup(name) != nullptr)
    return 0;
  TQString path;
  if (!FileUtil::GetTempFile(&path, "tmp")) return 0;
  // The file is new and empty, so it is opened for update without
  // truncating it: truncation would make some file systems (ext4) write the
  // section out to disk as soon as it is closed.
  FILE* file = _fsopen(path, "r+b", _SH_DENYNO);
  if (file == nullptr) {
    std::remove(path);
    return 0;
  }
  std::setvbuf(file, nullptr, _IONBF, 0);

  TQStream section;
  section.m_path = path;
  section.m_name = name;
  section.m_file = file;
  Entry* entry;
  try {
    entry = Insert(name, section);
  } catch (...) {
    std::fclose(file);
    std::remove(path);
    throw;
  }
  if (stream != nullptr) *stream = entry->stream;
  return 1;
}

int TQStorage::FindSection(const char* name, TQStream* stream) {
  if (m_fileName.IsEmpty() || name == nullptr) return 0;
  Entry* entry = Lookup(name);
  if (entry == nullptr || !Materialize(entry)) return 0;
  if (stream != nullptr) *stream = entry->stream;
  return 1;
}

__TQPOSITION* TQStorage::GetHeadPosition() const {
  return m_table.count == 0 ? nullptr : kBeforeFirst;
}

void TQStorage::GetNext(__TQPOSITION*& pos, TQStream& stream) {
  const Entry* entry = pos == kBeforeFirst ? Next(nullptr) : reinterpret_cast<Entry*>(pos);
  if (entry == nullptr) {
    pos = nullptr;
    return;
  }
  Entry* current = const_cast<Entry*>(entry);
  Materialize(current);  // on failure the stream has no file: its operations fail
  stream = current->stream;
  pos = reinterpret_cast<__TQPOSITION*>(Next(entry));
}

void TQStorage::GetNext(__TQPOSITION*& pos, const TQStream& stream) const {
  // The stream is filled in all the same, as callers of the const form
  // expect.
  const_cast<TQStorage*>(this)->GetNext(pos, const_cast<TQStream&>(stream));
}
