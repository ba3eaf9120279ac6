// TQStream.h: the library's file stream, and the stream interface over it.
//
// TQStream is a C run-time file (FILE*) opened by path, with typed reads and
// writes of the library's stored forms. All integers are little-endian, with
// nothing between items:
//
//   unsigned char   1 byte
//   unsigned short  2 bytes
//   unsigned long   4 bytes (also where the compiler's unsigned long is
//                   wider: only the low 32 bits are written, and a read
//                   zero-extends)
//   string          4-byte byte count n, then the n bytes, no terminator
//
// The same object is an IStream (FileStreamIStreamImpl<TQStream>): Data()
// hands it out. The byte, word and double-word operations go through that
// interface; the string operations use the C run-time directly.
//
// Ownership of the file. Only the constructor that opens a path makes a
// stream the owner of its FILE*. Copies and assignments share the FILE* (and
// with it one file position) and the ownership: the owners of one file count
// themselves, and the last of them to go closes it, so a file is closed
// exactly once however its stream was copied. A stream that never owned its
// file (the storage file's section streams, a default stream) never closes
// it. A clone (IStream::Clone) owns the duplicate descriptor it was given
// and closes it when destroyed or released.
//
// Reference counting follows COM but starts at 0: neither QueryInterface,
// Data() nor Clone adds a reference. Release deletes the whole object when a
// count raised by AddRef falls back to 0 (closing its file if it owns one),
// so only streams made with new, such as clones, may be released through
// COM.
//
// Failures: the opening constructor throws TQStreamOpenException; every
// other operation reports failure as 0 (or an HRESULT) and throws nothing.
// A failed typed operation leaves the file position wherever the run-time
// left it. Not locked: one thread uses a stream (and its copies) at a time.
#ifndef TQRTL_FILES_TQSTREAM_H_
#define TQRTL_FILES_TQSTREAM_H_

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

// The identity of IStream, {0000000C-0000-0000-C000-000000000046}. The only
// interface QueryInterface answers for.
inline constexpr IID kTQIID_IStream = {
    0x0000000Cu, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// FileStreamIStreamImpl<T>: IStream over the C run-time file `m_file`, whose
// full path is `m_path`. T is the derived class; it must be default
// constructible and have a member `void AdoptClonedFile(FILE*)` that makes
// it the owner of a duplicated file (used by Clone).
//
// Every operation except AddRef, Release, QueryInterface, SetSize and the
// three that are not implemented returns E_UNEXPECTED when no file is open.
// Pointer arguments are checked with IsBadReadPtr / IsBadWritePtr for the
// full size the operation writes, and a bad one gives STG_E_INVALIDPOINTER.
//
// The stream interface has no virtual destructor by design (objects go
// through Release), so the compiler's warning about it is silenced here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
template <class T>
class FileStreamIStreamImpl : public IStream {
 public:
  // QueryInterface: S_OK with *ppv = this for IID_IStream only (no
  // reference added); E_NOTIMPL, *ppv untouched, for any other interface,
  // IUnknown and ISequentialStream included.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!(riid == kTQIID_IStream)) return E_NOTIMPL;
    *ppv = static_cast<IStream*>(this);
    return S_OK;
  }
  // AddRef: the new count.
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  // Release: the new count; at 0 the object is deleted as a T.
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --m_refCount;
    if (count == 0) delete static_cast<T*>(this);
    return count;
  }

  // Read: fread of `cb` bytes; *pcbRead = the count when given. S_FALSE on a
  // short read, else S_OK.
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (m_file == nullptr) return E_UNEXPECTED;
    if (IsBadWritePtr(pv, cb) || BadInOut(pcbRead, sizeof(ULONG))) return STG_E_INVALIDPOINTER;
    const size_t got = cb == 0 ? 0 : std::fread(pv, 1, cb, m_file);
    if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(got);
    return got < cb ? S_FALSE : S_OK;
  }

  // Write: fwrite of `cb` bytes, then fflush. A short write gives
  // STG_E_CANTSAVE with *pcbWritten untouched.
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (m_file == nullptr) return E_UNEXPECTED;
    if (IsBadReadPtr(pv, cb) || BadInOut(pcbWritten, sizeof(ULONG))) return STG_E_INVALIDPOINTER;
    const size_t put = cb == 0 ? 0 : std::fwrite(pv, 1, cb, m_file);
    if (put < cb) return STG_E_CANTSAVE;
    if (pcbWritten != nullptr) *pcbWritten = static_cast<ULONG>(put);
    std::fflush(m_file);
    return S_OK;
  }

  // Seek: origin 0, 1, 2 (STREAM_SEEK_SET/CUR/END), by the low 32 bits of
  // `dlibMove` taken as a signed offset; the high part is ignored. Another
  // origin: STG_E_INVALIDFUNCTION, position unchanged. A failing fseek:
  // E_UNEXPECTED. *plibNewPosition (when given) = the new position.
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                 ULARGE_INTEGER* plibNewPosition) override {
    if (m_file == nullptr) return E_UNEXPECTED;
    int whence;
    switch (dwOrigin) {
      case STREAM_SEEK_SET:
        whence = SEEK_SET;
        break;
      case STREAM_SEEK_CUR:
        whence = SEEK_CUR;
        break;
      case STREAM_SEEK_END:
        whence = SEEK_END;
        break;
      default:
        return STG_E_INVALIDFUNCTION;
    }
    if (BadInOut(plibNewPosition, sizeof(ULARGE_INTEGER))) return STG_E_INVALIDPOINTER;
    const LONG offset = static_cast<LONG>(dlibMove.u.LowPart);
    if (std::fseek(m_file, offset, whence) != 0) return E_UNEXPECTED;
    if (plibNewPosition != nullptr) {
      plibNewPosition->u.LowPart = static_cast<DWORD>(std::ftell(m_file));
      plibNewPosition->u.HighPart = 0;
    }
    return S_OK;
  }

  // SetSize: only truncation to 0 is supported (any other low part gives
  // E_NOTIMPL and changes nothing): the file at the stored path is opened
  // for writing and closed again, which empties it; the stream's own FILE*
  // and position are not touched. STG_E_ACCESSDENIED when the path cannot
  // be opened (nothing is emptied then).
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override {
    if (libNewSize.u.LowPart != 0) return E_NOTIMPL;
    FILE* emptied = _fsopen(m_path, "w+b", _SH_DENYNO);
    if (emptied == nullptr) return STG_E_ACCESSDENIED;
    std::fclose(emptied);
    return S_OK;
  }

  // CopyTo: reads `cb` (low part) bytes with this stream's Read and, only
  // when all of them came, writes them to `pstm`. *pcbRead and *pcbWritten
  // (when given) receive the counts. Returns the result of the last call
  // made. The buffer is no larger than what the file still holds, so a huge
  // `cb` costs nothing; E_OUTOFMEMORY when even that cannot be had.
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override {
    if (m_file == nullptr) return E_UNEXPECTED;
    if (pstm == nullptr || BadInOut(pcbRead, sizeof(ULARGE_INTEGER)) ||
        BadInOut(pcbWritten, sizeof(ULARGE_INTEGER)))
      return STG_E_INVALIDPOINTER;
    const ULONG wanted = cb.u.LowPart;
    ULONG room = wanted;
    const long here = std::ftell(m_file);
    if (here >= 0 && std::fseek(m_file, 0, SEEK_END) == 0) {
      const long end = std::ftell(m_file);
      std::fseek(m_file, here, SEEK_SET);
      if (end >= here && static_cast<unsigned long long>(end - here) < room)
        room = static_cast<ULONG>(end - here);
    }
    void* buffer = std::malloc(room == 0 ? 1 : room);
    if (buffer == nullptr) return E_OUTOFMEMORY;
    ULONG got = 0;
    HRESULT hr = Read(buffer, room, &got);
    if (pcbRead != nullptr) pcbRead->QuadPart = got;
    if (got < wanted) {
      if (hr == S_OK) hr = S_FALSE;
    } else {
      ULONG put = 0;
      hr = pstm->Write(buffer, got, &put);
      if (pcbWritten != nullptr) pcbWritten->QuadPart = put;
    }
    std::free(buffer);
    return hr;
  }

  // Commit: flushes the file, and still answers E_NOTIMPL.
  HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) override {
    if (m_file == nullptr) return E_UNEXPECTED;
    std::fflush(m_file);
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return E_NOTIMPL;
  }

  // Stat: the file's facts from _stat on the stored path (failure:
  // E_UNEXPECTED): type STGTY_STREAM, cbSize, the three times as FILETIMEs
  // (the seconds taken as signed 32-bit), grfMode = st_mode (the run-time's
  // mode bits, not STGM flags), clsid and grfStateBits zero;
  // grfLocksSupported and reserved are left alone. grfStatFlag 1
  // (STATFLAG_NONAME) leaves pwcsName alone; 0 points it at the path in
  // UTF-16 in a buffer that belongs to this stream (valid until a later Stat
  // needs a longer one, or the stream goes; the caller must not free it).
  // Another flag: STG_E_INVALIDFLAG.
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    if (m_file == nullptr) return E_UNEXPECTED;
    if (pstatstg == nullptr || BadInOut(pstatstg, sizeof(STATSTG))) return STG_E_INVALIDPOINTER;
    if (grfStatFlag != STATFLAG_DEFAULT && grfStatFlag != STATFLAG_NONAME) return STG_E_INVALIDFLAG;
    struct _stat info;
    if (_stat(m_path, &info) != 0) return E_UNEXPECTED;
    pstatstg->type = STGTY_STREAM;
    pstatstg->cbSize.QuadPart = static_cast<ULONGLONG>(info.st_size);
    // A C library may define these field names as macros (its own struct
    // stat spells them differently); the run-time's struct _stat uses the
    // plain names, so reach them with the macros set aside.
#pragma push_macro("st_atime")
#pragma push_macro("st_mtime")
#pragma push_macro("st_ctime")
#undef st_atime
#undef st_mtime
#undef st_ctime
    pstatstg->mtime = ToFileTime(static_cast<LONG>(info.st_mtime));
    pstatstg->ctime = ToFileTime(static_cast<LONG>(info.st_ctime));
    pstatstg->atime = ToFileTime(static_cast<LONG>(info.st_atime));
#pragma pop_macro("st_ctime")
#pragma pop_macro("st_mtime")
#pragma pop_macro("st_atime")
    pstatstg->grfMode = static_cast<DWORD>(static_cast<unsigned short>(info.st_mode));
    std::memset(&pstatstg->clsid, 0, sizeof pstatstg->clsid);
    pstatstg->grfStateBits = 0;
    if (grfStatFlag == STATFLAG_NONAME) return S_OK;

    const int needed = m_path.GetLength() + 1;
    if (needed > m_wideCapacity) {
      WCHAR* grown = static_cast<WCHAR*>(std::malloc(sizeof(WCHAR) * static_cast<size_t>(needed)));
      if (grown == nullptr) return E_OUTOFMEMORY;
      std::free(m_wideName);
      m_wideName = grown;
      m_wideCapacity = needed;
    }
    // UTF-16 never needs more units than the narrow text has bytes.
    if (MultiByteToWideChar(CP_ACP, 0, m_path, needed, m_wideName, m_wideCapacity) == 0)
      m_wideName[0] = 0;
    pstatstg->pwcsName = reinterpret_cast<LPOLESTR>(m_wideName);
    return S_OK;
  }

  // Clone: a new T on the heap, count 0, with the same path (no name), on a
  // duplicate of this file's descriptor, positioned where this stream is.
  // The clone owns the duplicate. E_UNEXPECTED when the descriptor cannot be
  // duplicated or opened, E_OUTOFMEMORY without memory.
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override {
    if (m_file == nullptr) return E_UNEXPECTED;
    if (ppstm == nullptr || BadInOut(ppstm, sizeof(IStream*))) return STG_E_INVALIDPOINTER;
    T* clone = new (std::nothrow) T();
    if (clone == nullptr) return E_OUTOFMEMORY;
    static_cast<FileStreamIStreamImpl*>(clone)->m_path = m_path;
    const int fd = _dup(_fileno(m_file));
    FILE* file = fd < 0 ? nullptr : _fdopen(fd, "w+b");
    if (file == nullptr) {
      if (fd >= 0) _close(fd);
      delete clone;
      return E_UNEXPECTED;
    }
    std::fseek(file, std::ftell(m_file), SEEK_SET);
    clone->AdoptClonedFile(file);
    *ppstm = static_cast<IStream*>(clone);
    return S_OK;
  }

 protected:
  FileStreamIStreamImpl() = default;
  FileStreamIStreamImpl(const FileStreamIStreamImpl&) = delete;
  FileStreamIStreamImpl& operator=(const FileStreamIStreamImpl&) = delete;
  ~FileStreamIStreamImpl() { std::free(m_wideName); }

  TQString m_path;              // full path of the open file; empty when never opened
  WCHAR* m_wideName = nullptr;  // Stat's name buffer, grown on demand
  LONG m_wideCapacity = 0;      // its capacity in characters
  FILE* m_file = nullptr;       // the open file, or null
  ULONG m_refCount = 0;         // COM reference count

 private:
  // A given pointer that cannot be read and written for `size` bytes.
  static bool BadInOut(const void* p, UINT_PTR size) {
    return p != nullptr && (IsBadReadPtr(p, size) || IsBadWritePtr(const_cast<void*>(p), size));
  }
  // Seconds since 1970 to 100-nanosecond units since 1601.
  static FILETIME ToFileTime(LONG seconds) {
    const ULONGLONG ticks =
        static_cast<ULONGLONG>(static_cast<LONGLONG>(seconds) + 11644473600LL) * 10000000ULL;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
  }
};

// TQStream: see the top of this file.
class TQRTL_API TQStream final : public FileStreamIStreamImpl<TQStream> {
 public:
  // Not open: empty path and name, no file, not owner.
  TQStream();
  // Opens `path` with `mode` as given (the library's own files use "w+b" and
  // "r+b"). Throws TQStreamOpenException naming the path as given, with the
  // system error code, when the file cannot be opened. The path stored (and
  // the name) is the full path, or the path as given when it cannot be made
  // full.
  TQStream(const char* path, const char* mode);
  // Shares `other`'s file, position and ownership; copies name and path.
  // The reference count and Stat's name buffer are not copied.
  TQStream(const TQStream& other);
  // The same for an existing stream. The file this stream held is neither
  // flushed nor closed, unless this stream was its last owner: then it is
  // closed, so that no file is leaked.
  TQStream& operator=(const TQStream& other);
  // Closes the file when this is its last owner. Not virtual: a TQStream is
  // never deleted through a base pointer other than by Release.
  ~TQStream();

  // Name: the full path for a stream opened by path; the section name for a
  // stream handed out by a storage file; empty otherwise.
  const char* Name() const { return m_name; }
  // Data: this stream as its IStream (never null, no reference added).
  IStream* Data() { return this; }

  // The stream interface's own Read and Write stay callable beside the
  // typed ones below.
  using FileStreamIStreamImpl<TQStream>::Read;
  using FileStreamIStreamImpl<TQStream>::Write;

  // Rewind: Seek to 0 through Data(). 1 on S_OK, else 0.
  int Rewind();

  // Read(TQString*): one string in the stored form. The string ends at its
  // first NUL byte, so an embedded NUL shortens it. 0 when there is no file,
  // when the length field promises more bytes than the file still holds
  // (nothing is allocated for them; the string is left as it was) or when
  // fewer bytes than asked could be read (the string may then hold part of
  // the data).
  int Read(TQString* s);
  // Write: the stored form of `s` (or of the C string `s`), each part
  // flushed. 0 when there is no file or a write came short.
  int Write(const TQString& s);
  int Write(const char* s);

  // Typed reads and writes of 1, 2 and 4 bytes through Data(). 1 only when
  // the IStream call answers S_OK (a short read answers S_FALSE).
  int Read(unsigned char* value);
  int Read(unsigned short* value);
  int Read(unsigned long* value);
  int Write(unsigned char value);
  int Write(unsigned short value);
  int Write(unsigned long value);

  // AdoptClonedFile: makes this (fresh) stream the only owner of `file`,
  // a duplicate made by Clone.
  void AdoptClonedFile(FILE* file);

 private:
  friend class TQStorage;

  // Drops this stream's share of its file: closes it when this was the last
  // owner. Leaves the stream without a file.
  void Detach();
  int WriteBytes(const char* text, unsigned long length);

  TQString m_name;
  bool m_ownsFile = false;
  // Owners of one FILE* share this count (null when not an owner).
  long* m_owners = nullptr;
};
#pragma GCC diagnostic pop

#endif  // TQRTL_FILES_TQSTREAM_H_
