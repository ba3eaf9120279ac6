// Tests of message formatting that only the POSIX layer can answer: the
// exact Windows wording of the system texts (Wine has its own), failure
// injection through the system-call table, limits that Windows and Wine
// draw differently, and the conversion of wide text to UTF-8.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "tqrtl/platform/posix/crt_format.h"
#include "tqrtl/platform/posix/internal.h"

namespace {

using tqrtl::posix::ResetSystemCalls;
using tqrtl::posix::SetSystemCalls;
using tqrtl::posix::Sys;
using tqrtl::posix::SystemCalls;

constexpr DWORD kSystemText = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

std::string SystemText(DWORD code, DWORD flags = kSystemText) {
  char buffer[1024];
  const DWORD length = FormatMessageA(flags, nullptr, code, 0, buffer, sizeof(buffer), nullptr);
  return length == 0 ? "<error " + std::to_string(GetLastError()) + ">"
                     : std::string(buffer, length);
}

TEST(FormatMessagePosixTest, SystemTextsAreWindowsEnglishTexts) {
  const struct {
    DWORD code;
    const char* text;
  } kCases[] = {
      {ERROR_SUCCESS, "The operation completed successfully."},
      {ERROR_INVALID_FUNCTION, "Incorrect function."},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
      {ERROR_ACCESS_DENIED, "Access is denied."},
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_NOT_ENOUGH_MEMORY,
       "Not enough memory resources are available to process this command."},
      {ERROR_SHARING_VIOLATION,
       "The process cannot access the file because it is being used by another process."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
      {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
      {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application."},
      {ERROR_MORE_DATA, "More data is available."},
      {ERROR_NO_MORE_ITEMS, "No more data is available."},
      {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
      {ERROR_CLASS_ALREADY_EXISTS, "Class already exists."},
      {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
      {ERROR_RESOURCE_NAME_NOT_FOUND,
       "The specified resource name cannot be found in the image file."},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(SystemText(c.code), std::string(c.text) + "\r\n") << c.code;
}

TEST(FormatMessagePosixTest, SystemTextSourcesAndOptions) {
  const std::string not_found = SystemText(ERROR_FILE_NOT_FOUND);
  // An HRESULT wrapping a Win32 code has that code's text; the language is
  // not looked at.
  EXPECT_EQ(SystemText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), not_found);
  char buffer[256];
  EXPECT_EQ(FormatMessageA(kSystemText, nullptr, ERROR_FILE_NOT_FOUND, 0x40C, buffer,
                           sizeof(buffer), nullptr),
            not_found.size());
  // No module has a message table; the system's texts are the fallback.
  EXPECT_EQ(SystemText(2, FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS),
            "<error " + std::to_string(ERROR_RESOURCE_TYPE_NOT_FOUND) + ">");
  EXPECT_EQ(SystemText(2, kSystemText | FORMAT_MESSAGE_FROM_HMODULE), not_found);
  // The width mask turns the closing line break into a blank.
  EXPECT_EQ(SystemText(2, kSystemText | FORMAT_MESSAGE_MAX_WIDTH_MASK),
            "The system cannot find the file specified. ");
  // Without IGNORE_INSERTS the inserts are filled in.
  const DWORD_PTR name[] = {reinterpret_cast<DWORD_PTR>("tool.exe")};
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                           ERROR_BAD_EXE_FORMAT, 0, buffer, sizeof(buffer),
                           reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(name))),
            44u);
  EXPECT_STREQ(buffer, "tool.exe is not a valid Win32 application.\r\n");
}

// Replaces the system-call table for its lifetime; malloc fails from the
// `fail_from`-th call on (0: never) and every call is counted.
class FailingMalloc {
 public:
  explicit FailingMalloc(int fail_from) {
    fail_from_ = fail_from;
    calls_ = 0;
    SystemCalls calls = Sys();
    calls.malloc = [](size_t size) -> void* {
      ++calls_;
      return fail_from_ != 0 && calls_ >= fail_from_ ? nullptr : ::malloc(size);
    };
    SetSystemCalls(calls);
  }
  ~FailingMalloc() { ResetSystemCalls(); }
  static int calls() { return calls_; }

 private:
  static inline int fail_from_ = 0;
  static inline int calls_ = 0;
};

TEST(FormatMessagePosixTest, ReportsAFailedAllocation) {
  const DWORD_PTR words[] = {reinterpret_cast<DWORD_PTR>("one")};
  char* text = reinterpret_cast<char*>(1);
  {
    FailingMalloc failing(1);
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                 FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             "%1 two", 0, 0, reinterpret_cast<LPSTR>(&text), 0,
                             reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(words))),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(text, nullptr);

    // The scratch buffer of a wrapped message, and a caller's buffer that
    // needs no allocation at all.
    char buffer[64];
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | 20, "a b c", 0, 0, buffer, sizeof(buffer),
                             nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "a b c", 0, 0, buffer, sizeof(buffer), nullptr),
        5u);

    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LPTR, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  }
  // The second allocation of a wrapped, allocated message: the scratch
  // buffer is released again (the sanitizer build would see a leak).
  FailingMalloc failing(2);
  SetLastError(0);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | 20,
                           "a b c", 0, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

TEST(FormatMessagePosixTest, LocalAllocZeroesOnRequest) {
  char* memory = static_cast<char*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(std::string(memory, 64), std::string(64, '\0'));
  EXPECT_EQ(LocalFree(memory), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  SetLastError(0);
  EXPECT_EQ(LocalAlloc(0x0002 /* LMEM_MOVABLE */, 16), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Windows refuses allocated messages above 128 KiB with ERROR_MORE_DATA
// (Wine already above 32 KiB). The length is known before anything is
// allocated, so even a two-gigabyte width costs nothing.
TEST(FormatMessagePosixTest, RefusesHugeMessagesBeforeAllocating) {
  const DWORD_PTR words[] = {reinterpret_cast<DWORD_PTR>("one"), 0, 0};
  auto format = [&](const char* message, DWORD size = 0) {
    char* text = nullptr;
    SetLastError(0);
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        message, 0, 0, reinterpret_cast<LPSTR>(&text), size,
        reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(words)));
    LocalFree(text);
    return length != 0 ? length : GetLastError();
  };
  EXPECT_EQ(format("%1!99999s!"), 99999u);
  FailingMalloc counting(0);
  EXPECT_EQ(format("%1!200000s!"), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(format("%1!2147483647s!%1!2147483647s!%1!2147483647s!"),
            static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(format("x", 64 * 1024 + 1), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(FailingMalloc::calls(), 0);

  char buffer[16];
  SetLastError(0);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           "%1!2147483647s!", 0, 0, buffer, sizeof(buffer),
                           reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(words))),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

std::string Crt(const char* format, ...) {
  char buffer[256];
  va_list arguments;
  va_start(arguments, format);
  const int length = _vsnprintf(buffer, sizeof(buffer), format, arguments);
  va_end(arguments);
  return length < 0 ? "<-1>" : std::string(buffer, static_cast<size_t>(length));
}

int Measure(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = _vscprintf(format, arguments);
  va_end(arguments);
  return length;
}

const WCHAR* W(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

TEST(CrtPrintfPosixTest, ConvertsWideTextToUtf8) {
  const struct {
    const char* expected;
    const char* format;
    const WCHAR* value;
  } kCases[] = {
      {"caf\xC3\xA9", "%ls", W(u"caf\u00E9")},
      {"\xE2\x82\xAC", "%S", W(u"\u20AC")},
      {"\xF0\x9F\x98\x80", "%ls", W(u"\U0001F600")},
      {"caf", "%.4ls", W(u"caf\u00E9")},  // a character is never cut
      {"caf\xC3\xA9", "%.5ls", W(u"caf\u00E9")},
      {"[ caf\xC3\xA9]", "[%6ls]", W(u"caf\u00E9")},  // widths count bytes
      {"<-1>", "%ls", W(u"a\xD800z")},                // an unpaired surrogate fails the call
      {"<-1>", "%ls", W(u"\xDC00")},
  };
  for (const auto& c : kCases) EXPECT_EQ(Crt(c.format, c.value), c.expected) << c.format;
  EXPECT_EQ(Crt("%lc|%C", 0xE9, 0x20AC), "\xC3\xA9|\xE2\x82\xAC");
  EXPECT_EQ(Crt("%lc", 0xD800), "<-1>");

  // user32 and the message formatter substitute U+FFFD instead.
  char buffer[64];
  EXPECT_EQ(wsprintfA(buffer, "%ls", W(u"a\xD800z")), 5);
  EXPECT_STREQ(buffer, "a\xEF\xBF\xBDz");
  const DWORD_PTR text[] = {reinterpret_cast<DWORD_PTR>(W(u"a\xDC00z"))};
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%1!ls!", 0,
                           0, buffer, sizeof(buffer),
                           reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(text))),
            5u);
  EXPECT_STREQ(buffer, "a\xEF\xBF\xBDz");
}

// Wine's msvcrt writes through %n; this layer never does.
TEST(CrtPrintfPosixTest, PercentNNeverWrites) {
  int count = 99;
  EXPECT_EQ(Crt("ab%ncd", &count), "abcd");
  EXPECT_EQ(count, 99);
}

// Widths and precisions are counted, never written out or allocated, and
// a total beyond INT_MAX is a failure.
TEST(CrtPrintfPosixTest, HugeWidthsAreCountedNotWritten) {
  EXPECT_EQ(Measure("%2147483647d", 1), 2147483647);
  EXPECT_EQ(Measure("%2147483647d%d", 1, 2), -1);
  EXPECT_EQ(Measure("%99999999999999999999d", 1), 2147483647);  // saturates
  EXPECT_EQ(Measure("%.2147483647f", 1.0), -1);
  EXPECT_EQ(Measure("%.2147483646e", 1.0), -1);
  EXPECT_EQ(Crt("%.2147483647s", "abc"), "abc");
  char buffer[4];
  EXPECT_EQ(_snprintf(buffer, sizeof(buffer), "%-2000000000d", 7), -1);
  EXPECT_EQ(std::string(buffer, 4), "7   ");
}

TEST(CrtPrintfPosixTest, WsprintfReturnsTheCountItStored) {
  const std::string long_text(1500, 'a');
  char buffer[1100];
  EXPECT_EQ(wsprintfA(buffer, "%s", long_text.c_str()), 1023);
  EXPECT_EQ(wsprintfA(buffer, "%s", long_text.substr(0, 1023).c_str()), 1023);
}

// The engine's core, as a later formatter uses it: a bounded sink that
// still reports the full length.
TEST(CrtPrintfPosixTest, SinkStoresWhatFitsAndCountsTheRest) {
  class Fixed final : public tqrtl::posix::PrintfArguments {
   public:
    int32_t NextInt() override { return 42; }
    int64_t NextInt64() override { return 42; }
    double NextDouble() override { return 0.5; }
    const void* NextPointer() override { return "text"; }
  } arguments;
  char buffer[8] = "#######";
  tqrtl::posix::FormatSink sink(buffer, 5);
  EXPECT_TRUE(
      tqrtl::posix::FormatPrintf(tqrtl::posix::PrintfDialect::kCrt, "%d|%s|%.0f", arguments, sink));
  EXPECT_EQ(sink.length(), 9u);
  EXPECT_EQ(sink.stored(), 5u);
  EXPECT_EQ(std::string(buffer, 7), "42|te##");
}

}  // namespace
