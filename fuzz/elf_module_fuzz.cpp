// Fuzz target: the check that decides whether a file is a module the loader
// could map as data. It must never read outside the bytes it is given.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tqrtl/platform/posix/internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the end is caught.
  std::vector<uint8_t> image(data, data + size);
  tqrtl::posix::IsLoadableElf(image.empty() ? nullptr : image.data(), image.size());
  return 0;
}
