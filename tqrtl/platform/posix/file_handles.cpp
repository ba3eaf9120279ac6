// Files as kernel objects: CreateFileA and GetFileSize. A file handle is an
// entry of the process's handle table (handles.h), so CloseHandle closes it
// and CreateFileMappingA maps it through its descriptor.
//
// Share modes are Win32's and hold across processes, among CreateFileA and
// _fsopen opens alike (JoinShareModes, crt_files.cpp): a conflicting open
// fails with ERROR_SHARING_VIOLATION before anything is created or emptied.
//
// Thread-safety: every function may be called from any thread.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#undef LOCK_WRITE  // <fcntl.h>'s flock constant; IStream's replaces it
#include "tqrtl/platform/posix/handles.h"
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {
namespace {

// An open file: its descriptor, closed with the last reference; a file
// opened with FILE_FLAG_DELETE_ON_CLOSE is removed then too.
class FileObject : public HandleObject {
 public:
  FileObject(int fd, std::string delete_on_close)
      : HandleObject(HandleKind::kFile), fd_(fd), delete_on_close_(std::move(delete_on_close)) {}
  ~FileObject() override {
    close(fd_);
    if (!delete_on_close_.empty()) unlink(delete_on_close_.c_str());
  }
  int FileDescriptor() const override { return fd_; }

 private:
  const int fd_;
  const std::string delete_on_close_;
};

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace
}  // namespace tqrtl::posix

using namespace tqrtl::posix;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                          HANDLE templateFile) {
  if (fileName == nullptr || *fileName == '\0') return Fail(ERROR_PATH_NOT_FOUND);
  const bool read = (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL)) != 0;
  const bool write = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
  int open_flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  bool truncate = false;
  switch (disposition) {
    case CREATE_NEW:
      open_flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      open_flags |= O_CREAT;
      truncate = true;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      open_flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      if (!write) return Fail(ERROR_INVALID_PARAMETER);
      truncate = true;
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  // Whether the file was there before, for the ERROR_ALREADY_EXISTS that
  // CREATE_ALWAYS and OPEN_ALWAYS report on success.
  struct stat before;
  const bool existed = stat(fileName, &before) == 0;
  if (existed && S_ISDIR(before.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  const mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
  const int fd = open(fileName, open_flags, mode);
  if (fd < 0) {
    if (errno == EEXIST) return Fail(ERROR_FILE_EXISTS);
    if (errno == ENOENT) {
      // A missing directory on the way is a path error, as on Windows.
      const char* slash = strrchr(fileName, '/');
      struct stat parent;
      const std::string directory = slash == nullptr    ? "."
                                    : slash == fileName ? "/"
                                                        : std::string(fileName, slash);
      return Fail(stat(directory.c_str(), &parent) == 0 ? ERROR_FILE_NOT_FOUND
                                                        : ERROR_PATH_NOT_FOUND);
    }
    return Fail(Win32ErrorFromErrno(errno));
  }
  if (!JoinShareModes(fd, read, write, (shareMode & FILE_SHARE_READ) == 0,
                      (shareMode & FILE_SHARE_WRITE) == 0)) {
    close(fd);
    if (!existed && (open_flags & O_CREAT) != 0) unlink(fileName);
    return Fail(ERROR_SHARING_VIOLATION);
  }
  if (truncate && ftruncate(fd, 0) != 0) {
    const int error = errno;
    close(fd);
    return Fail(Win32ErrorFromErrno(error));
  }
  std::string delete_path;
  if ((flags & FILE_FLAG_DELETE_ON_CLOSE) != 0) {
    delete_path = FoldPath(fileName);  // the current directory may change
  }
  const HANDLE handle = RegisterHandle(std::make_shared<FileObject>(fd, delete_path));
  if (handle == nullptr) return INVALID_HANDLE_VALUE;  // the table set the error
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return handle;
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  const std::shared_ptr<HandleObject> object = LookupHandle<HandleObject>(file, HandleKind::kFile);
  if (!object) return INVALID_FILE_SIZE;
  struct stat facts;
  if (fstat(object->FileDescriptor(), &facts) != 0) {
    SetLastErrorFromErrno();
    return INVALID_FILE_SIZE;
  }
  const unsigned long long size = static_cast<unsigned long long>(facts.st_size);
  if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
  // A size whose low part is all ones is told from a failure by the error.
  if (static_cast<DWORD>(size) == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
  return static_cast<DWORD>(size);
}

}  // extern "C"
