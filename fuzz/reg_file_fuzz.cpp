// Fuzzes the .reg reader: any bytes must parse without a crash, a hang or
// undefined behaviour, and whatever it accepts must, in both versions,
// either be refused by the writer or be written so that reading it again
// gives exactly the same keys and values (and the same bytes once more).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/tqreg/reg_file.h"

namespace {

bool Same(const tqreg::RegFile& a, const tqreg::RegFile& b) {
  if (a.keys.size() != b.keys.size()) return false;
  for (size_t k = 0; k < a.keys.size(); ++k) {
    const tqreg::RegKey& x = a.keys[k];
    const tqreg::RegKey& y = b.keys[k];
    if (x.path != y.path || x.remove != y.remove || x.values.size() != y.values.size()) {
      return false;
    }
    for (size_t v = 0; v < x.values.size(); ++v) {
      const tqreg::RegValue& p = x.values[v];
      const tqreg::RegValue& q = y.values[v];
      if (p.name != q.name || p.remove != q.remove ||
          (!p.remove && (p.type != q.type || p.data != q.data))) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  tqreg::RegFile file;
  std::vector<tqreg::RegProblem> problems;
  if (!tqreg::ParseRegFile(bytes, &file, &problems) || !problems.empty()) return 0;
  for (tqreg::RegFormat format : {tqreg::RegFormat::kVersion4, tqreg::RegFormat::kVersion5}) {
    std::string written, error;
    if (!tqreg::WriteRegFile(file, format, &written, &error)) {
      if (error.empty()) std::abort();
      continue;
    }
    tqreg::RegFile again;
    std::vector<tqreg::RegProblem> more;
    if (!tqreg::ParseRegFile(written, &again, &more) || !more.empty()) std::abort();
    if (!Same(file, again)) std::abort();
    std::string rewritten;
    if (!tqreg::WriteRegFile(again, format, &rewritten, &error) || rewritten != written) {
      std::abort();
    }
  }
  return 0;
}
