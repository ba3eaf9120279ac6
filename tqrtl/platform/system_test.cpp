// Conformance tests of the system version, the display's information
// context and the keyboard: the same calls run against Windows (under Wine)
// and against the POSIX layer.
#include <gtest/gtest.h>

#include <cstring>

#include "tqrtl/platform/win32.h"

namespace {

TEST(SystemTest, VersionIsOfTheNtLineAndChecksTheStructureSize) {
  OSVERSIONINFOA info;
  std::memset(&info, 0xCC, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_GE(info.dwMajorVersion, 5u);
  EXPECT_LT(std::strlen(info.szCSDVersion), sizeof info.szCSDVersion);

  info.dwOSVersionInfoSize = 100;
  SetLastError(0);
  EXPECT_FALSE(GetVersionExA(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(SystemTest, DisplayHasStandardFontDensity) {
  const HDC dc = CreateICA("DISPLAY", nullptr, nullptr, nullptr);
  ASSERT_NE(dc, nullptr);
  EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSX), 96);
  EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSY), 96);
  EXPECT_GE(GetDeviceCaps(dc, BITSPIXEL), 8);
  const HDC second = CreateICA("display", nullptr, nullptr, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(DeleteDC(second));
  EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSX), 96);  // the first stays usable
  EXPECT_TRUE(DeleteDC(dc));
}

TEST(SystemTest, KeysTranslateOnTheUsLayout) {
  BYTE state[256];
  std::memset(state, 0xEE, sizeof state);
  ASSERT_TRUE(GetKeyboardState(state));
  // A process without a keyboard of its own sees no key held.
  BYTE up[256] = {};
  if (std::memcmp(state, up, sizeof up) != 0) GTEST_SKIP() << "a key is held on this machine";

  BYTE shift[256] = {};
  shift[VK_SHIFT] = 0x80;
  BYTE caps[256] = {};
  caps[VK_CAPITAL] = 0x01;
  const struct {
    const char* what;
    UINT key;
    UINT scan;
    const BYTE* state;
    int count;
    char expected;
  } cases[] = {
      {"A", 'A', 0x1E, up, 1, 'a'},
      {"Shift A", 'A', 0x1E, shift, 1, 'A'},
      {"Caps A", 'A', 0x1E, caps, 1, 'A'},
      {"1", '1', 0x02, up, 1, '1'},
      {"Shift 1", '1', 0x02, shift, 1, '!'},
      {"Return", VK_RETURN, 0x1C, up, 1, '\r'},
      {"Space", VK_SPACE, 0x39, up, 1, ' '},
      {"Backspace", VK_BACK, 0x0E, up, 1, '\b'},
      {"minus", VK_OEM_MINUS, 0x0C, up, 1, '-'},
      {"Shift minus", VK_OEM_MINUS, 0x0C, shift, 1, '_'},
      {"Shift", VK_SHIFT, 0x2A, up, 0, 0},
  };
  for (const auto& c : cases) {
    WORD out = 0;
    EXPECT_EQ(ToAscii(c.key, c.scan, c.state, &out, 0), c.count) << c.what;
    if (c.count == 1) {
      EXPECT_EQ(static_cast<char>(out & 0xFF), c.expected) << c.what;
    }
  }
}

}  // namespace
