// stream_string_fuzz.cpp: libFuzzer target for TQStream's string read.
//
// The input is written to a file and read back as a sequence of stored
// strings (a 4-byte length, then the bytes) until a read fails. No string
// may be longer than the file, and the reads must end inside the file
// without spending memory on lengths the file cannot back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tqrtl/files/TQStream.h"

// After the library, whose Win32 names some POSIX headers clash with.
#include <unistd.h>

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = (std::filesystem::temp_directory_path() /
                                   ("tqrtl-stream-string-fuzz-" +
                                    std::to_string(static_cast<unsigned long>(getpid())) + ".bin"))
                                      .string();
  static const bool cleanup = std::atexit([] { std::remove(path.c_str()); }) == 0;
  (void)cleanup;
  FILE* file = std::fopen(path.c_str(), "wb");
  Check(file != nullptr);
  Check(std::fwrite(data, 1, size, file) == size);
  std::fclose(file);

  TQStream stream(path.c_str(), "rb");
  size_t consumed = 0;
  TQString text;
  while (stream.Read(&text)) {
    Check(static_cast<size_t>(text.GetLength()) <= size);
    consumed += 4;
    Check(consumed <= size);
  }
  // A failed read may have left part of a string; it still fits the file.
  Check(static_cast<size_t>(text.GetLength()) <= size);
  return 0;
}
