// Conformance tests of IsBadReadPtr and IsBadWritePtr on both builds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "tqrtl/platform/win32.h"

namespace {

const char kConstant[] = "read-only data";

TEST(MemoryProbeTest, TellsMappedFromUnmappedAndReadOnly) {
  char stack[64];
  std::vector<char> heap(100000);
  struct Case {
    const char* what;
    const void* p;
    UINT_PTR size;
    BOOL bad_read;
    BOOL bad_write;
  };
  const Case cases[] = {
      {"stack", stack, sizeof stack, FALSE, FALSE},
      {"heap, many pages", heap.data(), heap.size(), FALSE, FALSE},
      {"constant data", kConstant, sizeof kConstant, FALSE, TRUE},
      {"code", reinterpret_cast<const void*>(&std::abort), 1, FALSE, TRUE},
      {"null", nullptr, 4, TRUE, TRUE},
      {"null, no bytes", nullptr, 0, FALSE, FALSE},
      {"page zero", reinterpret_cast<const void*>(0x10), 4, TRUE, TRUE},
      {"wraps around", stack, ~static_cast<UINT_PTR>(0), TRUE, TRUE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(IsBadReadPtr(c.p, c.size), c.bad_read);
    EXPECT_EQ(IsBadWritePtr(const_cast<void*>(c.p), c.size), c.bad_write);
  }
}

}  // namespace
