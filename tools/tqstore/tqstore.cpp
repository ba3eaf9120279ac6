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
// Exit codes: 0 done; 1 bad command line; 2 a file could not be read or
// written; 3 FILE is not a sound storage file (the message says what is
// wrong and where); 4 no such section.
//
// put and remove never change FILE in place: the new storage is saved beside
// it and then renamed over it, so a failure leaves FILE as it was.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "tqrtl/errors/TQException.h"
#include "tqrtl/files/TQStorage.h"
#include "tqrtl/files/TQStream.h"

namespace {

enum Exit { kOk = 0, kUsage = 1, kIoError = 2, kDamaged = 3, kNoSection = 4 };

const char kUsageText[] =
    "usage: tqstore list FILE\n"
    "       tqstore cat FILE SECTION\n"
    "       tqstore extract FILE SECTION OUT\n"
    "       tqstore put FILE SECTION IN\n"
    "       tqstore remove FILE SECTION\n"
    "       tqstore check FILE\n"
    "exit codes: 0 done, 1 bad command line, 2 a file could not be read or written,\n"
    "            3 FILE is not a sound storage file, 4 no such section\n";

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "tqstore: %s\n", message.c_str());
  return code;
}

// Opens FILE for reading and reads its directory. On failure returns the
// exit code after saying why; on success 0.
int ReadDirectory(const char* path, FILE** file, TQStorageDirectory* directory) {
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
    target = std::fopen(out, "wb");
    if (target == nullptr) {
      std::fclose(file);
      return Fail(kIoError, std::string(out) + ": " + std::strerror(errno));
    }
  }
  int code = kOk;
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
  if (code != kOk) return Fail(code, std::string("cannot copy section \"") + name + "\"");
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

// put (with `in`) or remove (without): builds the new storage beside FILE
// and renames it over FILE.
int Rewrite(const char* path, const char* name, const char* in) {
  if (std::strlen(name) > TQStorageDirectory::kNameFieldSize)
    return Fail(kUsage, "a section name has at most 260 bytes");
  std::error_code error;
  const bool exists = std::filesystem::exists(path, error);
  TQStorage source;
  if (exists && !source.Open(path)) {
    FILE* file;
    TQStorageDirectory directory;
    if (const int code = ReadDirectory(path, &file, &directory)) return code;
    std::fclose(file);
    return Fail(kIoError, std::string(path) + ": cannot be loaded");
  }
  if (in == nullptr) {
    TQStream ignored;
    if (!source.FindSection(name, &ignored))
      return Fail(kNoSection, std::string(path) + ": no section \"" + name + "\"");
  }

  const std::string temporary = std::string(path) + ".tqstore-new";
  TQStorage target;
  if (!target.Create(temporary.c_str(), true))
    return Fail(kIoError, temporary + ": cannot be created");
  int code = kOk;
  for (__TQPOSITION* pos = source.GetHeadPosition(); pos != nullptr && code == kOk;) {
    TQStream section;
    source.GetNext(pos, section);
    if (std::strcmp(section.Name(), name) == 0) continue;
    TQStream copy;
    if (!target.AddSection(section.Name(), &copy) || !section.Rewind() ||
        !Pump(section.Data(), copy))
      code = Fail(kIoError, std::string("cannot copy section \"") + section.Name() + "\"");
  }
  if (code == kOk && in != nullptr) {
    try {
      TQStream input(in, "rb");
      TQStream added;
      if (!target.AddSection(name, &added) || !Pump(input.Data(), added))
        code = Fail(kIoError, std::string(in) + ": cannot be copied in");
    } catch (const TQStreamOpenException&) {
      code = Fail(kIoError, std::string(in) + ": cannot be opened");
    }
  }
  if (code == kOk && !target.Save()) code = Fail(kIoError, temporary + ": cannot be written");
  target.Close();
  source.Close();
  if (code == kOk) {
    std::filesystem::rename(temporary, path, error);
    if (error) code = Fail(kIoError, std::string(path) + ": " + error.message());
  }
  if (code != kOk) std::filesystem::remove(temporary, error);
  return code;
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
  if (command == "--help" || command == "-h") {
    std::fputs(kUsageText, stdout);
    return kOk;
  }
  std::fputs(kUsageText, stderr);
  return kUsage;
}
