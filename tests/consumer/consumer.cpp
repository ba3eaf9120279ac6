// Uses the installed library as any tool would: strings, its own string
// table, and an exception's message. Exits 0 when all of it works.
#include <tqrtl/tqrtl.h>

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
  return std::strcmp(message, "Hello from consumer") == 0 && TQUtil::ModuleHandle() != nullptr
             ? 0
             : 3;
}
