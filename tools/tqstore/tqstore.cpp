// tqstore: looks into and repairs storage files (workspaces are storage
// files).
//
//   tqstore list FILE                  size and name of each section
//   tqstore cat FILE SECTION           the section's bytes to standard output
//   tqstore extract FILE SECTION OUT   the section's bytes to the file OUT
//   tqstore put FILE SECTION IN        add or replace SECTION with IN's bytes
//                                      (FILE is created when missing)
//   tqstore remove FILE SECTION        drop SECTION
//   tqstore check FILE                 is FILE a sound storage file?
//
//   tqstore --help (or /?), tqstore --version
//
// Exit codes: 0 done; 1 bad command line; 2 a file could not be read or
// written; 3 FILE is not a sound storage file (the message says what is
// wrong and where); 4 no such section.
//
// put and remove never change FILE in place: the new storage is saved beside
// it, flushed to the disk and then renamed over it (TQStorage::Save), so a
// failure or a crash leaves FILE as it was, and FILE keeps its permissions,
// owner and group. A FILE that is a symbolic link is written through: its
// target is changed and the link stays. A FILE with more than one hard link
// is refused, since the rename would give only this name the new contents.
// Writers take turns: each holds the lock file FILE.tqstore-lock (kept
// empty; it stays in place) for the whole read-modify-write, waiting up to
// a minute for another; and while holding it a writer deletes what a killed
// writer left beside FILE.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "tqrtl/errors/TQException.h"
#include "tqrtl/files/TQStorage.h"
#include "tqrtl/files/TQStream.h"
#include "tqrtl/version.h"

namespace {

enum Exit { kOk = 0, kUsage = 1, kIoError = 2, kDamaged = 3, kNoSection = 4 };

const char kUsageText[] =
    "usage: tqstore list FILE\n"
    "       tqstore cat FILE SECTION\n"
    "       tqstore extract FILE SECTION OUT\n"
    "       tqstore put FILE SECTION IN\n"
    "       tqstore remove FILE SECTION\n"
    "       tqstore check FILE\n"
    "       tqstore --help | /? | --version\n"
    "exit codes: 0 done, 1 bad command line, 2 a file could not be read or written,\n"
    "            3 FILE is not a sound storage file, 4 no such section\n";

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "tqstore: %s\n", message.c_str());
  return code;
}

// The reason of the last failed call, for a message.
std::string Reason() { return errno != 0 ? std::string(": ") + std::strerror(errno) : ""; }

// Opens FILE for reading and reads its directory. On failure returns the
// exit code after saying why; on success 0.
int ReadDirectory(const char* path, FILE** file, TQStorageDirectory* directory) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error))
    return Fail(kIoError, std::string(path) + ": is a directory");
  *file = std::fopen(path, "rb");
  if (*file == nullptr) return Fail(kIoError, std::string(path) + ": " + std::strerror(errno));
  if (!directory->Read(*file)) {
    std::fclose(*file);
    *file = nullptr;
    return Fail(kDamaged, std::string(path) + ": damaged: " + directory->Problem());
  }
  return kOk;
}

int List(const char* path) {
  FILE* file;
  TQStorageDirectory directory;
  if (const int code = ReadDirectory(path, &file, &directory)) return code;
  std::fclose(file);
  for (const TQStorageDirectory::Entry& e : directory.Entries())
    std::printf("%10lu  %s\n", e.size, e.name.c_str());
  return kOk;
}

int Check(const char* path) {
  FILE* file;
  TQStorageDirectory directory;
  if (const int code = ReadDirectory(path, &file, &directory)) return code;
  std::fclose(file);
  if (directory.DataEnd() != directory.FileSize())
    return Fail(kDamaged, std::string(path) + ": damaged: " +
                              std::to_string(directory.FileSize() - directory.DataEnd()) +
                              " bytes after the last section's data at offset " +
                              std::to_string(directory.DataEnd()));
  std::printf("%s: ok, %lu sections, %lu bytes\n", path,
              static_cast<unsigned long>(directory.Entries().size()),
              static_cast<unsigned long>(directory.FileSize()));
  return kOk;
}

// Copies section `name` of FILE to `out` (stdout when null).
int Extract(const char* path, const char* name, const char* out) {
  FILE* file;
  TQStorageDirectory directory;
  if (const int code = ReadDirectory(path, &file, &directory)) return code;
  const TQStorageDirectory::Entry* found = nullptr;
  for (const TQStorageDirectory::Entry& e : directory.Entries())
    if (e.name == name) found = &e;
  if (found == nullptr) {
    std::fclose(file);
    return Fail(kNoSection, std::string(path) + ": no section \"" + name + "\"");
  }
  FILE* target = stdout;
  if (out != nullptr) {
    // Opening the storage file itself for output would empty it before its
    // section is read.
    std::error_code error;
    if (std::filesystem::equivalent(path, out, error)) {
      std::fclose(file);
      return Fail(kIoError, std::string(out) + ": is the storage file itself");
    }
    target = std::fopen(out, "wb");
    if (target == nullptr) {
      std::fclose(file);
      return Fail(kIoError, std::string(out) + ": " + std::strerror(errno));
    }
  }
  int code = kOk;
  errno = 0;
  if (std::fseek(file, static_cast<long>(found->data), SEEK_SET) != 0) code = kIoError;
  std::vector<char> buffer(1 << 20);
  for (unsigned long left = found->size; code == kOk && left > 0;) {
    const size_t want = left < buffer.size() ? left : buffer.size();
    if (std::fread(buffer.data(), 1, want, file) != want ||
        std::fwrite(buffer.data(), 1, want, target) != want)
      code = kIoError;
    left -= static_cast<unsigned long>(want);
  }
  std::fclose(file);
  if (std::fflush(target) != 0) code = kIoError;
  if (out != nullptr && std::fclose(target) != 0) code = kIoError;
  if (code != kOk) {
    const std::string reason = Reason();
    // A half-written regular file is of no use; a device or pipe is left be.
    std::error_code error;
    if (out != nullptr && std::filesystem::is_regular_file(out, error)) std::remove(out);
    return Fail(code, std::string("cannot copy section \"") + name + "\"" + reason);
  }
  return kOk;
}

// Copies everything left in `from` (an open IStream) into the section
// stream `to`.
bool Pump(IStream* from, TQStream& to) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ULONG got = 0;
    const HRESULT hr = from->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &got);
    if (FAILED(hr)) return false;
    if (got > 0 && to.Data()->Write(buffer.data(), got, nullptr) != S_OK) return false;
    if (hr == S_FALSE) return true;
  }
}

// Holds FILE.tqstore-lock, opened with a share mode that denies every other
// open of it, while it lives. A process that dies lets go of it.
class WriterLock {
 public:
  ~WriterLock() {
    if (m_file != nullptr) std::fclose(m_file);
  }
  // Waits up to a minute for the lock; false with errno set when it cannot
  // be had.
  bool Take(const std::string& path) {
    for (int waited = 0; waited < 60000; waited += 20) {
      m_file = _fsopen(path.c_str(), "a+b", _SH_DENYRW);
      if (m_file != nullptr) return true;
      if (errno != EACCES) return false;
      Sleep(20);
    }
    return false;
  }

 private:
  FILE* m_file = nullptr;
};

// Deletes what writers killed half way left beside `path`: save files of
// TQStorage and the temporary file of earlier versions of this tool.
void SweepLeftovers(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  const std::string stem = path.filename().string();
  std::error_code error;
  fs::directory_iterator it(path.parent_path().empty() ? fs::path(".") : path.parent_path(), error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (TQStorage::IsSaveTemporary(stem.c_str(), name.c_str()) || name == stem + ".tqstore-new") {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }
}

// put (with `in`) or remove (without): loads FILE, changes the one section
// and saves, holding the writers' lock.
int Rewrite(const char* given, const char* name, const char* in) {
  namespace fs = std::filesystem;
  if (std::strlen(name) > TQStorageDirectory::kNameFieldSize)
    return Fail(kUsage, "a section name has at most 260 bytes");
  std::error_code error;
  fs::path file = given;
  if (fs::is_symlink(file, error)) {
    // Written through: the link stays, its target changes.
    file = fs::canonical(file, error);
    if (error)
      return Fail(kIoError, std::string(given) + ": a symbolic link to a missing file (" +
                                error.message() + ")");
  }
#if defined(_WIN32)
  // The full form ("C:\dir\file"): the file calls of the save take a path
  // such as "/dir/file" less kindly than the C run-time does.
  file = fs::absolute(file, error);
#endif
  const std::string path = file.string();
  const fs::file_status status = fs::status(file, error);
  const bool exists = fs::exists(status);
  if (fs::is_directory(status)) return Fail(kIoError, path + ": is a directory");
  if (exists && !fs::is_regular_file(status))
    return Fail(kIoError, path + ": is not a regular file");
  if (exists) {
    const auto links = fs::hard_link_count(file, error);
    if (!error && links > 1)
      return Fail(kIoError, path + ": has " + std::to_string(links) +
                                " hard links; a save would give only this name the new "
                                "contents (copy the file to break the links first)");
  }

  if (!exists && in == nullptr) return Fail(kNoSection, path + ": no section \"" + name + "\"");
  // The input is opened before anything is created or locked.
  if (in != nullptr && fs::is_directory(in, error))
    return Fail(kIoError, std::string(in) + ": is a directory");
  std::unique_ptr<TQStream> input;
  if (in != nullptr) {
    try {
      input = std::make_unique<TQStream>(in, "rb");
    } catch (const TQStreamOpenException&) {
      return Fail(kIoError, std::string(in) + ": cannot be opened" + Reason());
    }
  }

  WriterLock lock;
  const std::string lock_path = path + ".tqstore-lock";
  if (!lock.Take(lock_path))
    return Fail(kIoError, lock_path + ": cannot take the writers' lock" + Reason() +
                              " (is another tqstore writing " + path + "?)");
  SweepLeftovers(file);

  // Another writer may have created the file while this one waited.
  TQStorage storage;
  errno = 0;
  if (fs::exists(file, error)) {
    if (!storage.Open(path.c_str())) {
      const std::string reason = Reason();
      FILE* opened;
      TQStorageDirectory directory;
      if (const int code = ReadDirectory(path.c_str(), &opened, &directory)) return code;
      std::fclose(opened);
      return Fail(kIoError, path + ": cannot be loaded" + reason);
    }
  } else if (!storage.Create(path.c_str(), false) || !storage.Save()) {
    // A new file is an empty storage at once, never an empty file.
    return Fail(kIoError, path + ": cannot be created" + Reason());
  }

  if (in == nullptr) {
    if (!storage.RemoveSection(name))
      return Fail(kNoSection, path + ": no section \"" + name + "\"");
  } else {
    storage.RemoveSection(name);
    TQStream added;
    errno = 0;
    if (!storage.AddSection(name, &added) || !Pump(input->Data(), added))
      return Fail(kIoError, std::string(in) + ": cannot be copied in" + Reason());
  }
  errno = 0;
  if (!storage.Save()) return Fail(kIoError, path + ": cannot be saved" + Reason());
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "list" && argc == 3) return List(argv[2]);
  if (command == "check" && argc == 3) return Check(argv[2]);
  if (command == "cat" && argc == 4) {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    return Extract(argv[2], argv[3], nullptr);
  }
  if (command == "extract" && argc == 5) return Extract(argv[2], argv[3], argv[4]);
  if (command == "put" && argc == 5) return Rewrite(argv[2], argv[3], argv[4]);
  if (command == "remove" && argc == 4) return Rewrite(argv[2], argv[3], nullptr);
  if (argc == 2 && (command == "--help" || command == "-h" || command == "/?" || command == "-?")) {
    std::fputs(kUsageText, stdout);
    return kOk;
  }
  if (argc == 2 && command == "--version") {
    std::puts("tqstore " TQRTL_VERSION);
    return kOk;
  }
  std::fputs(kUsageText, stderr);
  return kUsage;
}
