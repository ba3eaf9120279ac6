// tqrtl_demo: shows what the library offers so far.
//
//   1. strings that share their buffer until one of them changes;
//   2. the tool's own string resources and a message built from them;
//   3. an exception for a file that cannot be opened, with its message
//      (library text + system text), shown in a message box;
//   4. a question box: on a terminal the person answers, otherwise the
//      default button is taken at once;
//   5. a shutdown callback that runs when the library unloads.
#include <cstdio>

#include "demo_strings.h"
#include "tqrtl/tqrtl.h"

TQRTL_STRING_TABLE(DEMO_STRINGS);

namespace {

void OnShutDown() { std::printf("\n5. Shutdown callback ran as the library unloaded.\n"); }

void ShowStrings() {
  std::printf("1. Strings\n");
  TQString path("/projects/alpha/src/main.c");
  TQString copy = path;
  std::printf("   copy shares the buffer: %s\n",
              static_cast<const char*>(copy) == static_cast<const char*>(path) ? "yes" : "no");
  copy.MakeUpper();
  std::printf("   after MakeUpper, copy = %s, original = %s\n", static_cast<const char*>(copy),
              static_cast<const char*>(path));
  const int slash = path.ReverseFind('/');
  std::printf("   file name: %s, directory: %s\n", static_cast<const char*>(path.Mid(slash + 1)),
              static_cast<const char*>(path.Left(slash)));
  TQString padded("   trimmed both ways   ");
  padded.TrimLeft();
  padded.TrimRight();
  std::printf("   [%s]\n", static_cast<const char*>(padded));
}

void ShowResources(HINSTANCE self) {
  std::printf("\n2. String resources\n");
  TQGeneralException::MessageArguments arguments;
  arguments.Add("alpha");
  arguments.Add("3");
  char message[TQException::kMessageBufferSize];
  if (TQGeneralException(self, 100, arguments).GetErrorMessage(message))
    std::printf("   %s\n", message);
  TQString caption;
  TQUtil::LoadStringA(508, &caption);
  std::printf("   library caption: %s\n", static_cast<const char*>(caption));
}

void ShowException() {
  std::printf("\n3. An exception and its message box\n");
  const char* name = "/no/such/dir/settings.dat";
  try {
    if (std::FILE* file = std::fopen(name, "rb")) {
      std::fclose(file);
      return;
    }
    SetLastError(ERROR_PATH_NOT_FOUND);
    throw TQStreamOpenException(name);
  } catch (const TQException& error) {
    error.DisplayErrorMessage();
  }
}

}  // namespace

int main() {
  const HINSTANCE self = GetModuleHandleA(nullptr);
  TQUtil::RegisterOnShutDownCallback(self, OnShutDown);
  std::printf("TQRTL demo (library module %p)\n\n", static_cast<void*>(TQUtil::ModuleHandle()));

  ShowStrings();
  ShowResources(self);
  ShowException();

  std::printf("\n4. A question\n");
  TQString question, title;
  question.LoadStringA(101, self);
  title.LoadStringA(102, self);
  const int answer = MessageBoxA(nullptr, question, title, MB_YESNO | MB_ICONQUESTION);
  std::printf("   answer: %s\n", answer == IDYES ? "Yes" : "No");
  return 0;
}
