// FormatMessageA, the system's message texts, and LocalAlloc / LocalFree for
// the buffers FormatMessageA allocates.
//
// A message is produced twice: once into a counting sink to learn its
// length, and once into the caller's buffer or a buffer of exactly that
// size. Insert values read from a va_list are fetched once, in the order of
// their numbers, and kept for the second pass. Widths and precisions inside
// inserts are only counted in the first pass, so a hostile "%1!2000000000s!"
// is refused by length before anything is allocated.
//
// Where Windows leaves things open, this implementation settles them so:
// - The language id is ignored: the system texts exist in English only.
// - No module carries a message table, so FORMAT_MESSAGE_FROM_HMODULE alone
//   fails with ERROR_RESOURCE_TYPE_NOT_FOUND (the documented result for a
//   module without one); with FORMAT_MESSAGE_FROM_SYSTEM as well, the system
//   texts are searched as on Windows.
// - FORMAT_MESSAGE_FROM_SYSTEM also knows the HRESULTs that wrap a Win32
//   code (0x8007xxxx), as Windows does.
// - A non-zero line width (other than FORMAT_MESSAGE_MAX_WIDTH_MASK) wraps
//   greedily at blanks: a line grows while it stays shorter than the width,
//   runs of blanks collapse, and a word longer than the width is cut. The
//   library itself never asks for a width.
// - An argument array cannot say how many slots it has; like Windows, an
//   insert beyond them reads past its end, so the caller must supply every
//   slot the template names (plus one for each '*' of a printf insert).
#include <string.h>

#include <cstdint>
#include <string_view>

#include "tqrtl/platform/posix/crt_format.h"
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {
namespace {

// Wine's code for a message that formats to nothing; Windows documents only
// that the call fails then.
constexpr DWORD kErrorNoWorkDone = 235;

// A message allocated for the caller may be at most this long, and the
// minimum size the caller asks for at most kMaxAllocateSize; both are the
// documented Windows limits.
constexpr size_t kMaxMessage = 128 * 1024;
constexpr DWORD kMaxAllocateSize = 64 * 1024;

// Inserts are numbered 1 to 99; the '*' width and precision of the last
// one read the two slots after it.
constexpr int kMaxSlots = 99 + 2;

struct SystemText {
  DWORD code;
  const char* text;
};

// The English texts of the codes in win32.h's error list, worded as on
// Windows. FormatMessageA appends CR LF, as every system text ends in one.
constexpr SystemText kSystemTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_BUFFER_OVERFLOW, "The file name is too long."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_NOT_LOCKED, "The segment is already unlocked."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application."},
    {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."},
    {ERROR_PARTIAL_COPY,
     "Only part of a ReadProcessMemory or WriteProcessMemory request was completed."},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_FILE_INVALID,
     "The volume for a file has been externally altered so that the opened file is no longer "
     "valid."},
    {ERROR_BADDB, "The configuration registry database is corrupt."},
    {ERROR_BADKEY, "The configuration registry key is invalid."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_KEY_DELETED,
     "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_KEY_HAS_CHILDREN,
     "Cannot create a symbolic link in a registry key that already has subkeys or values."},
    {ERROR_NO_UNICODE_TRANSLATION,
     "No mapping for the Unicode character exists in the target multi-byte code page."},
    {ERROR_MAPPED_ALIGNMENT,
     "The base address or the file offset specified does not have the proper alignment."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_UNABLE_TO_MOVE_REPLACEMENT,
     "Unable to move the replacement file to the file to be replaced. The file to be replaced "
     "has retained its original name."},
    {ERROR_CONNECTION_REFUSED, "The remote computer refused the network connection."},
    {ERROR_ALREADY_INITIALIZED,
     "An attempt was made to perform an initialization operation when initialization has "
     "already been completed."},
    {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
    {ERROR_CLASS_ALREADY_EXISTS, "Class already exists."},
    {ERROR_CLASS_DOES_NOT_EXIST, "Class does not exist."},
    {ERROR_CANNOT_FIND_WND_CLASS, "Cannot find window class."},
    {ERROR_INVALID_INDEX, "Invalid index."},
    {ERROR_NO_SYSTEM_RESOURCES,
     "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_RESOURCE_DATA_NOT_FOUND, "The specified image file did not contain a resource section."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND,
     "The specified resource type cannot be found in the image file."},
    {ERROR_RESOURCE_NAME_NOT_FOUND,
     "The specified resource name cannot be found in the image file."},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
};

// The system text of `code` with its CR LF, or null.
const char* FindSystemText(DWORD code, char* storage, size_t storage_size) {
  if ((code & 0xFFFF0000u) == 0x80070000u) code &= 0xFFFFu;  // HRESULT_FROM_WIN32
  for (const SystemText& entry : kSystemTexts) {
    if (entry.code != code) continue;
    const size_t length = strlen(entry.text);
    if (length + 3 > storage_size) return nullptr;
    memcpy(storage, entry.text, length);
    memcpy(storage + length, "\r\n", 3);
    return storage;
  }
  return nullptr;
}

// The values of the inserts, from an argument array of DWORD_PTR slots or
// from a va_list, whose pointer-sized values are fetched in order as far as
// the highest number asked for so far.
class InsertValues {
 public:
  InsertValues(const DWORD_PTR* array, va_list* list) : array_(array), list_(list) {}

  bool present() const { return array_ != nullptr || list_ != nullptr; }

  // Get: the value of insert `number` (1 to kMaxSlots).
  DWORD_PTR Get(int number) {
    if (array_ != nullptr) return array_[number - 1];
    while (fetched_ < number) values_[fetched_++] = va_arg(*list_, DWORD_PTR);
    return values_[number - 1];
  }

 private:
  const DWORD_PTR* array_;
  va_list* list_;
  DWORD_PTR values_[kMaxSlots] = {};
  int fetched_ = 0;
};

// The arguments of one insert's printf format: its own slot, then the ones
// after it for each '*'. Integer conversions take the low 32 bits of a slot
// unless a 64-bit prefix asks for all of it.
class SlotArguments final : public PrintfArguments {
 public:
  SlotArguments(InsertValues& values, int first) : values_(values), next_(first) {}

  int32_t NextInt() override { return static_cast<int32_t>(static_cast<uint32_t>(Next())); }
  int64_t NextInt64() override { return static_cast<int64_t>(Next()); }
  // Floating point conversions are not part of an insert's format.
  double NextDouble() override { return 0; }
  const void* NextPointer() override { return reinterpret_cast<const void*>(Next()); }

 private:
  DWORD_PTR Next() { return next_ <= kMaxSlots ? values_.Get(next_++) : 0; }

  InsertValues& values_;
  int next_;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Expands `message` into `sink`. Returns 0, or the error code of a malformed
// template.
DWORD Expand(const char* message, DWORD flags, InsertValues& values, FormatSink& sink) {
  const bool ignore_inserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  // With any width setting, the template's own line breaks are blanks and
  // only %n breaks a line.
  const bool keep_breaks = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == 0;
  for (const char* p = message; *p != '\0';) {
    const char c = *p;
    if (c == '\r' || c == '\n') {
      p += c == '\r' && p[1] == '\n' ? 2 : 1;
      if (keep_breaks)
        sink.Write("\r\n", 2);
      else
        sink.Put(' ');
      continue;
    }
    if (c != '%') {
      const char* run = p;
      while (*p != '\0' && *p != '%' && *p != '\r' && *p != '\n') ++p;
      sink.Write(run, static_cast<size_t>(p - run));
      continue;
    }
    const char next = p[1];
    if (next == '\0') return ERROR_INVALID_PARAMETER;  // a lone '%' at the end
    if (next == '0') return 0;                         // ends the message, no line break
    if (next >= '1' && next <= '9') {
      if (ignore_inserts) {
        sink.Put('%');  // the number follows as plain text
        ++p;
        continue;
      }
      if (!values.present()) return ERROR_INVALID_PARAMETER;
      int number = next - '0';
      p += 2;
      if (IsDigit(*p)) number = number * 10 + (*p++ - '0');
      std::string_view conv = "s";
      if (*p == '!') {
        const char* close = strchr(p + 1, '!');
        if (close == nullptr) return ERROR_INVALID_PARAMETER;
        conv = std::string_view(p + 1, static_cast<size_t>(close - p - 1));
        p = close + 1;
      }
      SlotArguments arguments(values, number);
      FormatInsertSpec(conv, arguments, sink);
      continue;
    }
    p += 2;
    if (next == 'n') {
      sink.Write("\r\n", 2);
    } else if (next == 'r') {
      sink.Put('\r');
    } else if (next == 't') {
      sink.Put('\t');
    } else {
      if (ignore_inserts) sink.Put('%');
      sink.Put(next);
    }
  }
  return 0;
}

// Wraps `text` at `width` columns (see the top of the file).
void Wrap(const char* text, size_t length, size_t width, FormatSink& sink) {
  const char* end = text + length;
  for (const char* line = text; line <= end;) {
    const char* line_end = line;
    while (line_end < end && !(line_end[0] == '\r' && line_end + 1 < end && line_end[1] == '\n'))
      ++line_end;
    size_t column = 0;
    for (const char* p = line; p < line_end;) {
      while (p < line_end && *p == ' ') ++p;
      if (p == line_end) break;
      const char* word = p;
      while (p < line_end && *p != ' ') ++p;
      size_t word_length = static_cast<size_t>(p - word);
      if (column > 0) {
        if (column + 1 + word_length >= width) {
          sink.Write("\r\n", 2);
          column = 0;
        } else {
          sink.Put(' ');
          ++column;
        }
      }
      while (word_length > width) {
        sink.Write(word, width);
        sink.Write("\r\n", 2);
        word += width;
        word_length -= width;
      }
      sink.Write(word, word_length);
      column += word_length;
    }
    if (line_end == end) break;
    sink.Write("\r\n", 2);
    line = line_end + 2;
  }
}

DWORD Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace
}  // namespace tqrtl::posix

using tqrtl::posix::FormatSink;
using tqrtl::posix::Sys;

extern "C" HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  // Only fixed memory: the pointer is the handle.
  if ((flags & ~static_cast<UINT>(LMEM_ZEROINIT)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* memory = Sys().malloc(bytes != 0 ? bytes : 1);
  if (memory == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if ((flags & LMEM_ZEROINIT) != 0) memset(memory, 0, bytes);
  return memory;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL memory) {
  if (memory != nullptr) Sys().free(memory);
  return nullptr;
}

extern "C" DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId,
                                       DWORD languageId, LPSTR buffer, DWORD size,
                                       va_list* arguments) {
  using namespace tqrtl::posix;
  const bool allocate = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
  if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (allocate) *reinterpret_cast<char**>(buffer) = nullptr;

  const char* message;
  char system_text[256];
  if ((flags & FORMAT_MESSAGE_FROM_STRING) != 0) {
    message = static_cast<const char*>(source);
    if (message == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  } else if ((flags & (FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM)) ==
             FORMAT_MESSAGE_FROM_HMODULE) {
    return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
  } else if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0) {
    message = FindSystemText(messageId, system_text, sizeof(system_text));
    if (message == nullptr) return Fail(ERROR_MR_MID_NOT_FOUND);
  } else {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (allocate && size > kMaxAllocateSize) return Fail(ERROR_INVALID_PARAMETER);

  const bool array = (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0;
  InsertValues values(array ? reinterpret_cast<const DWORD_PTR*>(arguments) : nullptr,
                      array ? nullptr : arguments);

  // With a line width, the message is expanded into a scratch buffer first
  // and then wrapped.
  const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
  char* expanded = nullptr;
  size_t expanded_length = 0;
  if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) {
    FormatSink counter(nullptr, 0);
    if (const DWORD error = Expand(message, flags, values, counter)) return Fail(error);
    expanded_length = counter.length();
    if (expanded_length >= kMaxMessage) return Fail(ERROR_MORE_DATA);
    expanded = static_cast<char*>(Sys().malloc(expanded_length + 1));
    if (expanded == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    FormatSink sink(expanded, expanded_length);
    Expand(message, flags, values, sink);
  }
  struct Scratch {
    char* memory;
    ~Scratch() {
      if (memory != nullptr) Sys().free(memory);
    }
  } scratch{expanded};
  auto produce = [&](FormatSink& sink) -> DWORD {
    if (expanded == nullptr) return Expand(message, flags, values, sink);
    Wrap(expanded, expanded_length, width, sink);
    return 0;
  };

  FormatSink counter(nullptr, 0);
  if (const DWORD error = produce(counter)) return Fail(error);
  const size_t length = counter.length();
  if (length == 0) return Fail(kErrorNoWorkDone);

  char* out = buffer;
  if (allocate) {
    if (length >= kMaxMessage) return Fail(ERROR_MORE_DATA);
    const size_t bytes = length + 1 > size ? length + 1 : size;
    out = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
    if (out == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  } else if (length >= size) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  FormatSink sink(out, length);
  produce(sink);
  out[length] = '\0';
  if (allocate) *reinterpret_cast<char**>(buffer) = out;
  return static_cast<DWORD>(length);
}
