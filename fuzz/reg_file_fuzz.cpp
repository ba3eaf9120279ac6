// Fuzzes the .reg reader: any bytes must parse without a crash, a hang or
// undefined behaviour, and whatever it accepts must survive being written
// and read again unchanged, in both versions.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/tqreg/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  tqreg::RegFile file;
  std::vector<tqreg::RegProblem> problems;
  if (!tqreg::ParseRegFile(bytes, &file, &problems) || !problems.empty()) return 0;
  for (tqreg::RegFormat format : {tqreg::RegFormat::kVersion4, tqreg::RegFormat::kVersion5}) {
    const std::string written = tqreg::WriteRegFile(file, format);
    tqreg::RegFile again;
    std::vector<tqreg::RegProblem> more;
    if (!tqreg::ParseRegFile(written, &again, &more) || !more.empty()) std::abort();
    if (tqreg::WriteRegFile(again, format) != written) std::abort();
  }
  return 0;
}
