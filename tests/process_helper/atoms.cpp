// Sub-commands for the tests of global atoms and registered window
// messages: the other process that reads, adds or deletes. Exit codes: 0
// done, 2 a call failed, 3 a result was not the expected one.
#include <cstdlib>
#include <cstring>

#include "process_helper.h"
#include "tqrtl/platform/win32.h"

namespace {

// atom-add <name>: adds the atom and exits, leaving it counted.
int AtomAdd(int argc, char** argv) {
  if (argc < 2) return 64;
  return GlobalAddAtomA(argv[1]) != 0 ? 0 : 2;
}
const ProcessCommand kAtomAdd("atom-add", AtomAdd);

// atom-delete <atom> <name>: checks that the atom's name is `name`, then
// deletes the atom once.
int AtomDelete(int argc, char** argv) {
  if (argc < 3) return 64;
  const auto atom = static_cast<ATOM>(std::strtoul(argv[1], nullptr, 10));
  char name[256];
  if (GlobalGetAtomNameA(atom, name, sizeof name) == 0) return 2;
  if (std::strcmp(name, argv[2]) != 0) return 3;
  return GlobalDeleteAtom(atom) == 0 ? 0 : 2;
}
const ProcessCommand kAtomDelete("atom-delete", AtomDelete);

// atom-churn <name> <rounds>: adds and deletes `name` `rounds` times, each
// time checking that the number is the one of the first add.
int AtomChurn(int argc, char** argv) {
  if (argc < 3) return 64;
  const ATOM first = GlobalAddAtomA(argv[1]);
  if (first == 0) return 2;
  for (int i = std::atoi(argv[2]); i > 0; --i) {
    const ATOM again = GlobalAddAtomA(argv[1]);
    if (again != first) return 3;
    if (GlobalDeleteAtom(again) != 0) return 2;
  }
  return GlobalDeleteAtom(first) == 0 ? 0 : 2;
}
const ProcessCommand kAtomChurn("atom-churn", AtomChurn);

// message-number <name> <number>: registers the message and checks that it
// has `number`.
int MessageNumber(int argc, char** argv) {
  if (argc < 3) return 64;
  const UINT number = RegisterWindowMessageA(argv[1]);
  if (number == 0) return 2;
  return number == std::strtoul(argv[2], nullptr, 10) ? 0 : 3;
}
const ProcessCommand kMessageNumber("message-number", MessageNumber);

}  // namespace
