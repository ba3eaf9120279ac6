// Uses the installed library as any tool would: strings, its own string
// table, an exception's message, and an exception thrown inside the library
// and caught here by its type. Exits 0 when all of it works.
#include <tqrtl/tqrtl.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "consumer_strings.h"

TQRTL_STRING_TABLE(CONSUMER_STRINGS);

int main() {
  TQString greeting("consumer");
  TQString copy = greeting;
  if (static_cast<const char*>(copy) != static_cast<const char*>(greeting)) return 1;

  TQGeneralException error(GetModuleHandleA(nullptr), 100, copy);
  char message[TQException::kMessageBufferSize];
  if (!error.GetErrorMessage(message)) return 2;
  std::printf("%s\n", message);
  // The headers' version, for the test to compare with what the package says.
  std::printf("TQRTL %s (%d.%d.%d)\n", TQRTL_VERSION, TQRTL_VERSION_MAJOR, TQRTL_VERSION_MINOR,
              TQRTL_VERSION_PATCH);

  // Two widths of INT_MAX cannot fit a string: the library throws, and the
  // exception must unwind out of the library and be caught here by its type.
  bool caught = false;
  try {
    TQString huge;
    huge.Format("%*d%*d", INT_MAX, 1, INT_MAX, 1);
  } catch (const TQMemoryException&) {
    caught = true;
  }
  if (!caught) return 4;

  return std::strcmp(message, "Hello from consumer") == 0 && TQUtil::ModuleHandle() != nullptr
             ? 0
             : 3;
}
