// storage_fuzz.cpp: libFuzzer target for loading storage files.
//
// The input is written to a file and opened as a storage, in a private
// temporary directory. A load must succeed exactly when the directory check
// accepts the file; after success every section reads back with the size
// the directory gave it, and a save and reload keep the sections. Close must
// leave no temporary file behind, whatever happened.
//
// The same file is then loaded as a workspace, which reads its settings
// section: loading never changes the file, and settings that loaded come
// back the same after a save.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "tqrtl/files/TQStorage.h"
#include "tqrtl/shell/TQWorkspace.h"

// After the library, whose Win32 names some POSIX headers clash with.
#include <unistd.h>

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

const std::filesystem::path& Scratch() {
  static const std::filesystem::path dir = [] {
    const std::filesystem::path d =
        std::filesystem::temp_directory_path() /
        ("tqrtl-storage-fuzz-" + std::to_string(static_cast<unsigned long>(getpid())));
    std::filesystem::create_directories(d);
    // Sections' temporary files go here too, where they can be counted.
    setenv("TMPDIR", d.c_str(), 1);
    // Removed at exit; the path is kept where static destruction cannot
    // reach it first.
    static const std::string* const kept = new std::string(d.string());
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*kept, ignored);
    });
    return d;
  }();
  return dir;
}

std::map<std::string, std::string> Sections(TQStorage& storage) {
  std::map<std::string, std::string> sections;
  for (__TQPOSITION* pos = storage.GetHeadPosition(); pos != nullptr;) {
    TQStream s;
    storage.GetNext(pos, s);
    Check(s.Rewind() == 1);
    std::string bytes;
    unsigned char c;
    while (s.Read(&c)) bytes += static_cast<char>(c);
    sections[s.Name()] = bytes;
  }
  return sections;
}

size_t FileCount() {
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator(Scratch());
       it != std::filesystem::directory_iterator(); ++it)
    ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = (Scratch() / "input.tqs").string();
  const std::string saved = (Scratch() / "saved.tqs").string();
  FILE* file = std::fopen(input.c_str(), "wb");
  Check(file != nullptr);
  Check(std::fwrite(data, 1, size, file) == size);
  std::fclose(file);

  file = std::fopen(input.c_str(), "rb");
  TQStorageDirectory directory;
  const int sound = directory.Read(file);
  std::fclose(file);

  {
    TQStorage storage;
    const int opened = storage.Open(input.c_str());
    Check(opened == sound);
    if (opened) {
      Check(storage.SectionCount() == directory.Entries().size());
      const auto sections = Sections(storage);
      for (const auto& e : directory.Entries()) {
        const auto found = sections.find(e.name);
        Check(found != sections.end() && found->second.size() == e.size);
      }
      TQStorage copy;
      Check(copy.Create(saved.c_str(), true));
      for (const auto& [name, bytes] : sections) {
        TQStream s;
        Check(copy.AddSection(name.c_str(), &s));
        Check(bytes.empty() ||
              s.Data()->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr) == S_OK);
      }
      Check(copy.Save());
      copy.Close();
      TQStorage reloaded;
      Check(reloaded.Open(saved.c_str()));
      Check(Sections(reloaded) == sections);
    }
  }
  std::filesystem::remove(saved);
  Check(FileCount() == 1);

  {
    TQWorkspace ws;
    const int loaded = ws.Load(input.c_str(), nullptr);
    Check(loaded == 0 || sound);
    Check(ws.IsLoaded() == (loaded == 1));
    ws.Close();
    file = std::fopen(input.c_str(), "rb");
    Check(file != nullptr);
    std::string after(size + 1, '\0');
    Check(std::fread(after.data(), 1, after.size(), file) == size);
    std::fclose(file);
    Check(after.compare(0, size, reinterpret_cast<const char*>(data), size) == 0);
    if (loaded) {
      const TQWorkspace& loadedWs = ws;
      const std::string dir = loadedWs.WorkingDir(), src = loadedWs.SrcPaths(),
                        sym = loadedWs.SymbolPaths();
      Check(ws.Load(input.c_str(), nullptr) == 1);
      ws.Save();
      Check(!ws.LastSaveFailed());
      TQWorkspace reread(true);
      Check(reread.Load(input.c_str(), nullptr) == 1);
      const TQWorkspace& got = reread;
      Check(dir == got.WorkingDir() && src == got.SrcPaths() && sym == got.SymbolPaths());
    }
  }
  Check(FileCount() == 1);  // only the input: every temporary file is gone
  return 0;
}
