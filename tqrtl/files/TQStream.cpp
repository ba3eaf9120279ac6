#include "tqrtl/files/TQStream.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tqrtl/errors/TQException.h"

namespace {

// Size of the buffer _fullpath writes.
constexpr int kFullPathSize = 4096;

// The bytes left between the file's position and its end, or -1 when the
// file cannot tell (not seekable). The position is kept.
long long BytesLeft(FILE* file) {
  const long here = std::ftell(file);
  if (here < 0 || std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long end = std::ftell(file);
  if (std::fseek(file, here, SEEK_SET) != 0 || end < here) return -1;
  return static_cast<long long>(end) - here;
}

}  // namespace

TQStream::TQStream() = default;

TQStream::TQStream(const char* path, const char* mode) {
  // _fsopen without sharing restrictions opens exactly as fopen does, and
  // leaves the system's reason for a failure as the last error.
  m_file = _fsopen(path, mode, _SH_DENYNO);
  if (m_file == nullptr) throw TQStreamOpenException(TQString(path));
  char full[kFullPathSize];
  m_path = _fullpath(full, path, kFullPathSize) != nullptr ? full : path;
  m_name = m_path;
  m_ownsFile = true;
  m_owners = new (std::nothrow) long(1);
  if (m_owners == nullptr) {
    std::fclose(m_file);
    m_file = nullptr;
    throw TQMemoryException();
  }
}

TQStream::TQStream(const TQStream& other)
    : m_name(other.m_name), m_ownsFile(other.m_ownsFile), m_owners(other.m_owners) {
  if (!other.m_path.IsEmpty()) m_path = other.m_path;
  m_file = other.m_file;
  if (m_owners != nullptr) ++*m_owners;
}

TQStream& TQStream::operator=(const TQStream& other) {
  if (this == &other) return *this;
  if (other.m_owners != nullptr) ++*other.m_owners;
  Detach();
  m_name = other.m_name;
  m_path = other.m_path;
  m_file = other.m_file;
  m_ownsFile = other.m_ownsFile;
  m_owners = other.m_owners;
  return *this;
}

TQStream::~TQStream() { Detach(); }

void TQStream::Detach() {
  if (m_owners != nullptr && --*m_owners == 0) {
    delete m_owners;
    if (m_file != nullptr) std::fclose(m_file);
  }
  m_owners = nullptr;
  m_ownsFile = false;
  m_file = nullptr;
}

void TQStream::AdoptClonedFile(FILE* file) {
  Detach();
  m_owners = new (std::nothrow) long(1);
  if (m_owners == nullptr) {
    // Without a count the clone cannot own the duplicate; it still works
    // as a stream, and the duplicate stays open until the process ends.
    m_file = file;
    return;
  }
  m_file = file;
  m_ownsFile = true;
}

int TQStream::Rewind() {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return Data()->Seek(zero, STREAM_SEEK_SET, nullptr) == S_OK ? 1 : 0;
}

int TQStream::Read(TQString* s) {
  if (m_file == nullptr) return 0;
  std::uint32_t length = 0;
  if (std::fread(&length, 1, 4, m_file) != 4) return 0;
  // A TQString holds at most INT_MAX - 1 characters and a NUL.
  if (length >= static_cast<std::uint32_t>(INT_MAX)) return 0;
  const int n = static_cast<int>(length);

  // The length came from the file: believe it only as far as the file
  // goes, so that a lying field costs no memory.
  const long long left = BytesLeft(m_file);
  if (left >= 0) {
    if (left < n) return 0;
    char* buffer = s->GetBuffer(n);
    std::memset(buffer, 0, static_cast<size_t>(n) + 1);
    const size_t got = n == 0 ? 0 : std::fread(buffer, 1, static_cast<size_t>(n), m_file);
    s->ReleaseBuffer(-1);
    return got == static_cast<size_t>(n) ? 1 : 0;
  }

  // A file that cannot tell its size: take the bytes as they come, in
  // pieces, so memory grows only with what really arrives.
  std::vector<char> bytes;
  constexpr size_t kPiece = 64 * 1024;
  while (bytes.size() < static_cast<size_t>(n)) {
    const size_t want = std::min(kPiece, static_cast<size_t>(n) - bytes.size());
    const size_t old = bytes.size();
    bytes.resize(old + want);
    const size_t got = std::fread(bytes.data() + old, 1, want, m_file);
    bytes.resize(old + got);
    if (got < want) break;
  }
  const size_t got = bytes.size();
  char* buffer = s->GetBuffer(static_cast<int>(got));
  std::memset(buffer, 0, got + 1);
  if (got != 0) std::memcpy(buffer, bytes.data(), got);
  s->ReleaseBuffer(-1);
  return got == static_cast<size_t>(n) ? 1 : 0;
}

int TQStream::WriteBytes(const char* text, unsigned long length) {
  if (m_file == nullptr) return 0;
  const std::uint32_t stored = static_cast<std::uint32_t>(length);
  if (std::fwrite(&stored, 1, 4, m_file) != 4) return 0;
  std::fflush(m_file);
  if (length != 0 && std::fwrite(text, 1, length, m_file) != length) return 0;
  std::fflush(m_file);
  return 1;
}

int TQStream::Write(const TQString& s) {
  return WriteBytes(s, static_cast<unsigned long>(s.GetLength()));
}

int TQStream::Write(const char* s) {
  if (s == nullptr) return 0;
  const size_t length = std::strlen(s);
  if (length > UINT32_MAX) return 0;
  return WriteBytes(s, static_cast<unsigned long>(length));
}

int TQStream::Read(unsigned char* value) { return Data()->Read(value, 1, nullptr) == S_OK ? 1 : 0; }

int TQStream::Read(unsigned short* value) {
  return Data()->Read(value, 2, nullptr) == S_OK ? 1 : 0;
}

int TQStream::Read(unsigned long* value) {
  std::uint32_t stored = 0;
  if (Data()->Read(&stored, 4, nullptr) != S_OK) return 0;
  *value = stored;
  return 1;
}

int TQStream::Write(unsigned char value) {
  return Data()->Write(&value, 1, nullptr) == S_OK ? 1 : 0;
}

int TQStream::Write(unsigned short value) {
  return Data()->Write(&value, 2, nullptr) == S_OK ? 1 : 0;
}

int TQStream::Write(unsigned long value) {
  const std::uint32_t stored = static_cast<std::uint32_t>(value);
  return Data()->Write(&stored, 4, nullptr) == S_OK ? 1 : 0;
}
