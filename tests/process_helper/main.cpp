// tqrtl_process_helper <sub-command> [arguments...]: see process_helper.h.
#include <cstdio>
#include <cstring>

#include "process_helper.h"

namespace {
const ProcessCommand* g_commands = nullptr;
}

ProcessCommand::ProcessCommand(const char* name, ProcessCommandFn fn)
    : name_(name), fn_(fn), next_(g_commands) {
  g_commands = this;
}

ProcessCommandFn ProcessCommand::Find(const char* name) {
  for (const ProcessCommand* c = g_commands; c != nullptr; c = c->next_) {
    if (std::strcmp(c->name_, name) == 0) return c->fn_;
  }
  return nullptr;
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) return;
  std::fputs(text.c_str(), f);
  std::fclose(f);
  std::rename(temporary.c_str(), path.c_str());
}

// The exit code of a sub-command that only proves the program starts.
static int Echo(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) std::printf("%s\n", argv[i]);
  return argc - 1;
}
static const ProcessCommand kEcho("echo", Echo);

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tqrtl_process_helper <sub-command> [arguments...]\n");
    return 64;
  }
  ProcessCommandFn fn = ProcessCommand::Find(argv[1]);
  if (fn == nullptr) {
    std::fprintf(stderr, "tqrtl_process_helper: unknown sub-command %s\n", argv[1]);
    return 64;
  }
  return fn(argc - 1, argv + 1);
}
