// FileFinder: finding files along a search path, with a cache of answers.
#include "tqrtl/files/FileFinder.h"

#include <cstring>
#include <new>

#include "tqrtl/errors/TQException.h"
#include "tqrtl/files/FileUtil.h"

namespace {

// The buffer length the first SearchPathA call gets.
constexpr DWORD kPathLength = MAX_PATH;

}  // namespace

// ---------------------------------------------------------------------------
// Search path and prompter

FileFinder::SearchPathA::SearchPathA() : RefCntObject(true), m_paths("") {}

FileFinder::SearchPathA::~SearchPathA() = default;

DirectoryPathString const& FileFinder::SearchPathA::Value() { return m_paths; }

void FileFinder::SearchPathA::Add(char const* directory) { m_paths.Append(directory); }

FileFinder::UserPrompter::UserPrompter(TQString const& name) : RefCntObject(true), m_name(name) {}

FileFinder::UserPrompter::~UserPrompter() = default;

bool FileFinder::UserPrompter::Prompt(char const*, TQString*) { return false; }

// ---------------------------------------------------------------------------
// The finder

FileFinder::FileFinder(SearchPathA* searchPath, UserPrompter* prompter)
    : m_searchPath(searchPath), m_prompter(prompter) {
  m_searchPath->AddRef();
  if (m_prompter != nullptr) m_prompter->AddRef();
}

FileFinder::~FileFinder() {
  m_searchPath->Release();
  if (m_prompter != nullptr) m_prompter->Release();
  FreeCache();
}

int FileFinder::Find(char const* fileName, TQString* path, int forceSearch) {
  TQString key(fileName);
  key.MakeLower();

  if (forceSearch == 0) {
    if (const Entry* cached = Lookup(key)) {
      *path = cached->value;
      return cached->value.IsEmpty() ? 0 : 1;
    }
  }

  DirectoryPathString list(m_searchPath->Value());
  if (!list.Contains(".")) list.Insert(".");

  if (LookForFile(fileName, list, path)) {
    Store(key, *path);
    return 1;
  }

  if (m_prompter != nullptr && m_prompter->Prompt(fileName, path)) {
    TQString directory;
    FileUtil::SplitPath(*path, &directory, nullptr);
#if defined(_WIN32)
    // File names ignore letter case here, so one spelling serves all.
    directory.MakeLower();
#endif
    AddDirectoryToSearchPath(directory);
    Store(key, *path);
    return 1;
  }

  if (const Entry* cached = Lookup(key)) {
    // A forced search that found nothing: the earlier answer stands.
    *path = cached->value;
    return cached->value.IsEmpty() ? 0 : 1;
  }
  Store(key, TQString());
  return 0;
}

int FileFinder::LookForFile(char const* fileName, char const* pathList, TQString* path) {
  TQString found;
  char* part = nullptr;
  char* buffer = found.GetBuffer(static_cast<int>(kPathLength + 1));
  DWORD n = ::SearchPathA(pathList, fileName, nullptr, kPathLength, buffer, &part);
  if (n > kPathLength) {
    // The first buffer was too short; n is the size the path needs, its
    // NUL included.
    found.ReleaseBuffer(0);
    const DWORD needed = n;
    buffer = found.GetBuffer(static_cast<int>(needed + 1));
    n = ::SearchPathA(pathList, fileName, nullptr, needed, buffer, &part);
    if (n >= needed) n = 0;  // the path grew between the calls
  }
  found.ReleaseBuffer(static_cast<int>(n));
  if (n != 0) {
    *path = found;
    return 1;
  }

  const TQString base = FileUtil::BaseName(fileName);
  if (std::strcmp(base, fileName == nullptr ? "" : fileName) == 0) return 0;
  return LookForFile(base, pathList, path);
}

void FileFinder::AddDirectoryToSearchPath(TQString const& directory) const {
  if (!m_searchPath->Value().Contains(directory)) m_searchPath->Add(directory);
}

// ---------------------------------------------------------------------------
// The cache

FileFinder::Entry* FileFinder::Lookup(TQString const& key) const {
  if (m_buckets == nullptr) return nullptr;
  for (Entry* e = m_buckets[TQHashKey(key) % kBucketCount]; e != nullptr; e = e->next)
    if (e->key.GetLength() == key.GetLength() &&
        std::memcmp(static_cast<char const*>(e->key), static_cast<char const*>(key),
                    static_cast<size_t>(key.GetLength())) == 0)
      return e;
  return nullptr;
}

void FileFinder::Store(TQString const& key, TQString const& value) {
  if (Entry* existing = Lookup(key)) {
    existing->value = value;
    return;
  }
  if (m_buckets == nullptr) {
    m_buckets = new (std::nothrow) Entry*[kBucketCount]();
    if (m_buckets == nullptr) throw TQMemoryException();
  }
  if (m_free == nullptr) {
    TQPlex* block = TQPlex::Create(m_blocks, kBlockSize, sizeof(Entry));
    Entry* slots = static_cast<Entry*>(block->data());
    for (unsigned int i = kBlockSize; i-- > 0;) {
      slots[i].next = m_free;
      m_free = &slots[i];
    }
  }
  Entry* slot = m_free;
  Entry* rest = slot->next;
  const unsigned int bucket = TQHashKey(key) % kBucketCount;
  Entry* entry = new (slot) Entry{m_buckets[bucket], key, value};
  m_free = rest;
  m_buckets[bucket] = entry;
}

void FileFinder::FreeCache() {
  if (m_buckets != nullptr) {
    for (unsigned int b = 0; b < kBucketCount; ++b)
      for (Entry* e = m_buckets[b]; e != nullptr;) {
        Entry* next = e->next;
        e->~Entry();
        e = next;
      }
    delete[] m_buckets;
    m_buckets = nullptr;
  }
  if (m_blocks != nullptr) m_blocks->FreeDataChain();
  m_blocks = nullptr;
  m_free = nullptr;
}
