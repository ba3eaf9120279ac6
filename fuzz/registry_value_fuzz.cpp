// Fuzzes the typed registry values' handling of what they find stored.
//
// Input: the first byte picks the registry type (its low four bits: 0 to 14
// as the type number, so REG_SZ, REG_BINARY, REG_DWORD and the types the
// values do not handle all come up; 15 leaves the value missing), the rest,
// at most 4096 bytes, is the data. For each reader (NumberValue<int>,
// StringValue, ExtendedValue point, size and rectangle) the data is stored
// afresh with RegSetValueExA, then read with Get(); then once more for
// Value::Create. Any broken rule stops the run with __builtin_trap():
//  - Get() returns the stored value when the bytes are valid for the class,
//    and then leaves the entry exactly as it was and the value unchanged
//    (not marked);
//  - otherwise it returns the default, and the entry now holds the default
//    in the class's own layout, with the value and its keys marked changed;
//  - Value::Create returns an object whose one matching downcast answers
//    (with the stored data as its default), NULL only for a missing value,
//    or throws 4 for what no class handles, and never changes the entry;
//  - nothing else is thrown (a failed registry call, 3, is a failure here).
//
// The store is a scratch one (TQRTL_REGISTRY_DIR), in /dev/shm when there is
// one, where the store's flush to disk after each write costs nothing.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tqrtl/platform/posix/registry.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/registry/RegistryValue.h"

namespace {

constexpr std::size_t kMaxData = 4096;
constexpr DWORD kMissing = 15;
constexpr const char* kKeyName = "Fuzz";
constexpr const char* kValueName = "V";

constexpr int kNumberDefault = -7;
constexpr const char* kTextDefault = "default text";
constexpr tagPOINT kPointDefault = {-1, 2};
constexpr tagSIZE kSizeDefault = {640, 480};
constexpr tagRECT kRectDefault = {1, -2, 3, -4};

#define CHECK(condition)                \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

std::string scratch;
HKEY raw_key = nullptr;  // the test key, open for the raw calls

struct Entry {
  bool exists = false;
  DWORD type = REG_NONE;
  std::vector<unsigned char> data;

  bool operator==(const Entry& other) const {
    return exists == other.exists && type == other.type && data == other.data;
  }
};

void Store(const Entry& entry) {
  if (!entry.exists) {
    const LSTATUS status = RegDeleteValueA(raw_key, kValueName);
    CHECK(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND);
    return;
  }
  static const unsigned char none = 0;
  const BYTE* bytes = entry.data.empty() ? &none : entry.data.data();
  CHECK(RegSetValueExA(raw_key, kValueName, 0, entry.type, bytes,
                       static_cast<DWORD>(entry.data.size())) == ERROR_SUCCESS);
}

Entry Fetch() {
  Entry entry;
  std::vector<unsigned char> buffer(kMaxData + 16);
  DWORD size = static_cast<DWORD>(buffer.size());
  DWORD type = REG_NONE;
  const LSTATUS status =
      RegQueryValueExA(raw_key, kValueName, nullptr, &type, buffer.data(), &size);
  if (status == ERROR_FILE_NOT_FOUND) return entry;
  CHECK(status == ERROR_SUCCESS && size <= buffer.size());
  entry.exists = true;
  entry.type = type;
  entry.data.assign(buffer.begin(), buffer.begin() + size);
  return entry;
}

std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The text a REG_SZ holds: up to its first NUL, or all of it.
std::string TextOf(const std::vector<unsigned char>& data) {
  return std::string(data.begin(), std::find(data.begin(), data.end(), 0));
}

Entry DwordEntry(std::uint32_t value) {
  Entry e{true, REG_DWORD, {}};
  for (int i = 0; i < 4; ++i) e.data.push_back(static_cast<unsigned char>(value >> (8 * i)));
  return e;
}

Entry TextEntry(const char* text) {
  Entry e{true, REG_SZ, {}};
  e.data.assign(text, text + std::strlen(text) + 1);
  return e;
}

template <class T>
Entry TaggedEntry(std::uint32_t code, const T& fields) {
  Entry e = DwordEntry(code);
  e.type = REG_BINARY;
  const auto* p = reinterpret_cast<const unsigned char*>(&fields);
  e.data.insert(e.data.end(), p, p + sizeof fields);
  return e;
}

// The tree every check builds afresh, so its changed flags start clear.
struct Tree {
  Registry::RootKey root{HKEY_CURRENT_USER};
  Registry::Subkey key{&root, kKeyName};
};

// After Get(): the value read, the entry and the changed flags, for bytes
// that were valid for the class (`valid`) or not.
void CheckRepair(const Tree& tree, const Registry::Item& value, bool valid, const Entry& stored,
                 const Entry& repaired) {
  const Entry now = Fetch();
  if (valid) {
    CHECK(now == stored);
    CHECK(!value.IsChanged());
  } else {
    CHECK(now == repaired);
    CHECK(value.IsChanged() && tree.key.IsChanged() && tree.root.IsChanged());
  }
  CHECK(!tree.key.IsOpen());
}

void CheckNumber(const Entry& stored) {
  Store(stored);
  Tree tree;
  Registry::NumberValue<int> value(&tree.key, kValueName, kNumberDefault);
  const bool valid = stored.exists && stored.type == REG_DWORD && stored.data.size() == 4;
  const int got = value.Get();
  CHECK(got == (valid ? static_cast<int>(Le32(stored.data.data())) : kNumberDefault));
  CheckRepair(tree, value, valid, stored, DwordEntry(static_cast<std::uint32_t>(kNumberDefault)));
}

void CheckString(const Entry& stored) {
  Store(stored);
  Tree tree;
  Registry::StringValue value(&tree.key, kValueName, kTextDefault);
  // Below 2048 bytes, the NUL (if any) included; the text ends at the first
  // NUL or at the end of the data.
  const bool valid = stored.exists && stored.type == REG_SZ && stored.data.size() < 2048;
  const std::string text = value.Get();
  if (valid) {
    CHECK(text == TextOf(stored.data));
  } else {
    CHECK(text == kTextDefault);
  }
  CheckRepair(tree, value, valid, stored, TextEntry(kTextDefault));
}

template <class T, int N>
void CheckExtended(const Entry& stored, const T& fallback) {
  Store(stored);
  Tree tree;
  Registry::ExtendedValue<T, N> value(&tree.key, kValueName, fallback);
  const bool valid = stored.exists && stored.type == REG_BINARY &&
                     stored.data.size() == 4 + sizeof(T) &&
                     Le32(stored.data.data()) == static_cast<std::uint32_t>(N);
  const T got = value.Get();
  const unsigned char* expected =
      valid ? stored.data.data() + 4 : reinterpret_cast<const unsigned char*>(&fallback);
  CHECK(std::memcmp(&got, expected, sizeof(T)) == 0);
  CheckRepair(tree, value, valid, stored, TaggedEntry(N, fallback));
}

// The object Create made: its one downcast and its default, against the
// stored bytes, and its own Get(), which must find them valid.
template <class T, int N>
void CheckCreatedExtended(Registry::ExtendedValue<T, N>* value, const Entry& stored) {
  CHECK(value != nullptr);
  CHECK(std::memcmp(&value->GetDefault(), stored.data.data() + 4, sizeof(T)) == 0);
  const T got = value->Get();
  CHECK(std::memcmp(&got, stored.data.data() + 4, sizeof(T)) == 0);
}

void CheckCreate(const Entry& stored) {
  Store(stored);
  Tree tree;
  Registry::Value* value = nullptr;
  bool unsupported = false;
  try {
    value = Registry::Value::Create(&tree.key, kValueName);
  } catch (unsigned int code) {
    CHECK(code == RegAPI::ErrUnsupported);
    unsupported = true;
  }
  CHECK(Fetch() == stored);  // Create deletes and repairs nothing
  CHECK(!tree.key.IsOpen());

  const std::size_t size = stored.data.size();
  const std::uint32_t code = size >= 4 ? Le32(stored.data.data()) : ~0u;
  const bool text = stored.type == REG_SZ && size <= 2048;
  const bool number = stored.type == REG_DWORD && size == 4;
  const bool point = stored.type == REG_BINARY && size == 12 && code == 0;
  const bool extent = stored.type == REG_BINARY && size == 12 && code == 1;
  const bool rect = stored.type == REG_BINARY && size == 20 && code == 2;
  if (!stored.exists) {
    CHECK(value == nullptr && !unsupported);
    return;
  }
  CHECK(unsupported == !(text || number || point || extent || rect));
  if (unsupported) return;
  CHECK(value != nullptr);
  CHECK((value->StringVal() != nullptr) == text);
  CHECK((value->NumberVal() != nullptr) == number);
  CHECK((value->PointVal() != nullptr) == point);
  CHECK((value->SizeVal() != nullptr) == extent);
  CHECK((value->RectVal() != nullptr) == rect);
  CHECK(std::strcmp(value->Name(), kValueName) == 0 && value->Parent() == &tree.key);
  if (text) {
    const std::string expected = TextOf(stored.data);
    CHECK(expected == value->StringVal()->GetDefault());
    CHECK(expected == value->StringVal()->Get());
  } else if (number) {
    CHECK(value->NumberVal()->GetDefault() == Le32(stored.data.data()));
    CHECK(value->NumberVal()->Get() == Le32(stored.data.data()));
  } else if (point) {
    CheckCreatedExtended(value->PointVal(), stored);
  } else if (extent) {
    CheckCreatedExtended(value->SizeVal(), stored);
  } else {
    CheckCreatedExtended(value->RectVal(), stored);
  }
  // The stored data is valid for the object made from it, so its Get()
  // rewrote nothing. Except one case: Create takes a text of exactly 2048
  // bytes, which is one byte too long for StringValue's own read; that read
  // replaces it by the default, which is the text itself.
  if (text && size == 2048) {
    CHECK(Fetch() == TextEntry(TextOf(stored.data).c_str()));
    CHECK(value->IsChanged());
  } else {
    CHECK(Fetch() == stored);
    CHECK(!value->IsChanged());
  }
  delete value;
}

void RemoveScratch() {
  if (raw_key != nullptr) RegCloseKey(raw_key);
  tqrtl::posix::RegistryCloseAll();
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  pattern += "/tqrtl-registry-value-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) __builtin_trap();
  scratch = pattern;
  setenv("TQRTL_REGISTRY_DIR", scratch.c_str(), 1);
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kKeyName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw_key,
                      nullptr) != ERROR_SUCCESS) {
    __builtin_trap();
  }
  atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Entry stored;
  const DWORD type = data[0] & 0x0F;
  if (type != kMissing) {
    stored.exists = true;
    stored.type = type;
    stored.data.assign(data + 1, data + 1 + std::min(size - 1, kMaxData));
  }
  try {
    CheckNumber(stored);
    CheckString(stored);
    CheckExtended<tagPOINT, 0>(stored, kPointDefault);
    CheckExtended<tagSIZE, 1>(stored, kSizeDefault);
    CheckExtended<tagRECT, 2>(stored, kRectDefault);
    CheckCreate(stored);
  } catch (unsigned int) {
    __builtin_trap();  // a failed registry call: never expected here
  }
  return 0;
}
