// Tests of the ELF check behind LoadLibraryExA(LOAD_LIBRARY_AS_DATAFILE):
// real modules pass, and hostile images (truncated, lying offsets and
// counts, foreign machines) fail without a read outside the image (the
// sanitizer build checks that).
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tqrtl/platform/posix/internal.h"

namespace {

using tqrtl::posix::IsLoadableElf;

// A minimal image of this machine: the ELF header, one program header for a
// loadable segment of the first 256 bytes, and padding to 256 bytes.
std::vector<unsigned char> MinimalImage() {
  // The identity and machine of a real module of this build: the library.
  ElfW(Ehdr) self{};
  std::ifstream(TQRTL_LIBRARY_FILE, std::ios::binary).read(reinterpret_cast<char*>(&self),
                                                           sizeof self);
  ElfW(Ehdr) header{};
  std::memcpy(header.e_ident, self.e_ident, EI_NIDENT);
  header.e_type = ET_DYN;
  header.e_machine = self.e_machine;
  header.e_version = EV_CURRENT;
  header.e_phoff = sizeof header;
  header.e_ehsize = sizeof header;
  header.e_phentsize = sizeof(ElfW(Phdr));
  header.e_phnum = 1;
  ElfW(Phdr) load{};
  load.p_type = PT_LOAD;
  load.p_filesz = 256;
  load.p_memsz = 256;
  std::vector<unsigned char> image(256, 0);
  std::memcpy(image.data(), &header, sizeof header);
  std::memcpy(image.data() + sizeof header, &load, sizeof load);
  return image;
}

ElfW(Ehdr) * Header(std::vector<unsigned char>& image) {
  return reinterpret_cast<ElfW(Ehdr)*>(image.data());
}
ElfW(Phdr) * Load(std::vector<unsigned char>& image) {
  return reinterpret_cast<ElfW(Phdr)*>(image.data() + sizeof(ElfW(Ehdr)));
}

TEST(DataFilePosixTest, MinimalImageOfThisMachinePasses) {
  std::vector<unsigned char> image = MinimalImage();
  EXPECT_TRUE(IsLoadableElf(image.data(), image.size()));
  Header(image)->e_type = ET_EXEC;
  EXPECT_TRUE(IsLoadableElf(image.data(), image.size()));
}

TEST(DataFilePosixTest, EveryTruncationFails) {
  const std::vector<unsigned char> image = MinimalImage();
  for (size_t size = 0; size < image.size(); ++size) {
    // An exact-size copy so that the sanitizer sees any read past the end.
    const std::vector<unsigned char> cut(image.begin(), image.begin() + size);
    EXPECT_FALSE(IsLoadableElf(cut.empty() ? nullptr : cut.data(), cut.size())) << size;
  }
}

TEST(DataFilePosixTest, HostileHeadersFail) {
  const struct {
    const char* what;
    void (*spoil)(std::vector<unsigned char>&);
  } cases[] = {
      {"magic", [](auto& i) { i[1] = 'X'; }},
      {"class", [](auto& i) { Header(i)->e_ident[EI_CLASS] ^= 3; }},
      {"byte order", [](auto& i) { Header(i)->e_ident[EI_DATA] ^= 3; }},
      {"relocatable", [](auto& i) { Header(i)->e_type = ET_REL; }},
      {"core file", [](auto& i) { Header(i)->e_type = ET_CORE; }},
      {"machine", [](auto& i) { Header(i)->e_machine ^= 0x40; }},
      {"version", [](auto& i) { Header(i)->e_version = 2; }},
      {"no program headers", [](auto& i) { Header(i)->e_phnum = 0; }},
      {"escape count", [](auto& i) { Header(i)->e_phnum = PN_XNUM; }},
      {"header size", [](auto& i) { Header(i)->e_phentsize = 8; }},
      {"headers past the end", [](auto& i) { Header(i)->e_phoff = 250; }},
      {"header offset overflow",
       [](auto& i) { Header(i)->e_phoff = ~static_cast<ElfW(Off)>(0) - 8; }},
      {"header count past the end", [](auto& i) { Header(i)->e_phnum = 0xFFFE; }},
      {"segment past the end", [](auto& i) { Load(i)->p_filesz = 257; }},
      {"segment offset overflow",
       [](auto& i) {
         Load(i)->p_offset = ~static_cast<ElfW(Off)>(0) - 8;
         Load(i)->p_filesz = 16;
       }},
      {"file larger than memory", [](auto& i) { Load(i)->p_memsz = 8; }},
      {"no loadable segment", [](auto& i) { Load(i)->p_type = PT_NOTE; }},
  };
  for (const auto& c : cases) {
    std::vector<unsigned char> image = MinimalImage();
    c.spoil(image);
    EXPECT_FALSE(IsLoadableElf(image.data(), image.size())) << c.what;
  }
}

TEST(DataFilePosixTest, RealModulesLoadAsDataAndFreeOnce) {
  for (const char* path : {TQRTL_LIBRARY_FILE, "/proc/self/exe"}) {
    const HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << path;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(module) & 1, 1u);  // marked as data
    EXPECT_TRUE(FreeLibrary(module));
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

}  // namespace
