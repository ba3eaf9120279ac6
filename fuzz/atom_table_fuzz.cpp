// Fuzzes the shared atom table, whose file any process of the user can
// write.
//
// Input: byte 0 the mode, byte 1 the slot count (1..64), then the rest.
//   mode 0: the rest is laid over a table image of that many slots (the
//     header first). Every operation may fail but must stay inside the
//     image (which is allocated to its exact size).
//   mode 1: the rest is the image itself, of whatever size.
//   mode 2: a fresh table; each byte of the rest is an operation (add,
//     find, delete, read a name) on one of a few names that differ only in
//     case, checked against a model: numbers, counts, the first spelling,
//     the lowest free slot and a full table.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#undef LOCK_WRITE
#include "tqrtl/platform/posix/atom_table.h"
#include "tqrtl/platform/posix/internal.h"

namespace {

using tqrtl::posix::AtomTableBytes;
using tqrtl::posix::AtomTableImage;
using tqrtl::posix::kFirstStringAtom;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

void Exercise(std::vector<unsigned char>& bytes, std::uint32_t slots) {
  AtomTableImage image(bytes.data(), bytes.size());
  ATOM atom = 0;
  char text[255];
  size_t length = 0;
  (void)image.Valid();
  (void)image.Find("Alpha", 5, &atom);
  for (std::uint32_t i = 0; i <= slots; ++i) {
    if (image.Name(static_cast<ATOM>(kFirstStringAtom + i), text, &length) == ERROR_SUCCESS)
      Require(length >= 1 && length <= sizeof text && std::memchr(text, 0, length) == nullptr);
  }
  (void)image.Add("Beta", 4, &atom);
  (void)image.Delete(kFirstStringAtom);
  image.Repair();
  (void)image.Add("Gamma", 5, &atom);
}

const char* const kNames[] = {"alpha", "ALPHA", "Alpha", "beta", "BETA",
                              "\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", "x"};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];

struct Entry {
  std::uint32_t slot;
  std::uint32_t refs;
  std::string spelling;
};

void CheckModel(const uint8_t* ops, size_t count, std::uint32_t slots) {
  std::vector<unsigned char> bytes(AtomTableBytes(slots), 0);
  AtomTableImage image(bytes.data(), bytes.size());
  image.Init(slots);
  std::map<std::string, Entry> model;  // by folded text
  for (size_t i = 0; i < count; ++i) {
    const char* name = kNames[ops[i] % kNameCount];
    const size_t length = std::strlen(name);
    const std::string key = tqrtl::posix::Fold(name);
    const auto it = model.find(key);
    ATOM atom = 0;
    switch ((ops[i] / kNameCount) % 4) {
      case 0: {  // add
        const DWORD result = image.Add(name, length, &atom);
        if (it != model.end()) {
          Require(result == ERROR_SUCCESS && atom == kFirstStringAtom + it->second.slot);
          ++it->second.refs;
          break;
        }
        std::uint32_t lowest = 0;
        for (bool taken = true; taken;) {
          taken = false;
          for (const auto& [k, e] : model) taken |= e.slot == lowest;
          if (taken) ++lowest;
        }
        if (lowest == slots) {
          Require(result == ERROR_NOT_ENOUGH_MEMORY);
          break;
        }
        Require(result == ERROR_SUCCESS && atom == kFirstStringAtom + lowest);
        model[key] = Entry{lowest, 1, name};
        break;
      }
      case 1:  // find
        if (it == model.end()) {
          Require(image.Find(name, length, &atom) == ERROR_FILE_NOT_FOUND);
        } else {
          Require(image.Find(name, length, &atom) == ERROR_SUCCESS &&
                  atom == kFirstStringAtom + it->second.slot);
        }
        break;
      case 2:  // delete
        if (it == model.end()) break;
        Require(image.Delete(static_cast<ATOM>(kFirstStringAtom + it->second.slot)) ==
                ERROR_SUCCESS);
        if (--it->second.refs == 0) model.erase(it);
        break;
      case 3: {  // read every slot's name
        char text[255];
        size_t n = 0;
        for (std::uint32_t s = 0; s < slots; ++s) {
          const DWORD result = image.Name(static_cast<ATOM>(kFirstStringAtom + s), text, &n);
          const Entry* entry = nullptr;
          for (const auto& [k, e] : model)
            if (e.slot == s) entry = &e;
          if (entry == nullptr) {
            Require(result == ERROR_INVALID_HANDLE);
          } else {
            Require(result == ERROR_SUCCESS && std::string(text, n) == entry->spelling);
          }
        }
        break;
      }
    }
    Require(image.Valid());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::uint32_t slots = 1 + data[1] % 64;
  const uint8_t* rest = data + 2;
  const size_t rest_size = size - 2;
  switch (data[0] % 3) {
    case 0: {
      std::vector<unsigned char> bytes(AtomTableBytes(slots), 0);
      std::memcpy(bytes.data(), rest, rest_size < bytes.size() ? rest_size : bytes.size());
      Exercise(bytes, slots);
      break;
    }
    case 1: {
      std::vector<unsigned char> bytes(rest, rest + rest_size);
      Exercise(bytes, slots);
      break;
    }
    case 2:
      CheckModel(rest, rest_size, slots);
      break;
  }
  return 0;
}
