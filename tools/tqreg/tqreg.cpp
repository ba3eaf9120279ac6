// tqreg: the registry command for people on Linux. It reads and changes the
// same store as the library (TQRTL_REGISTRY_DIR, see
// tqrtl/platform/posix/registry.h), with the syntax, output and exit codes
// of the Windows reg command:
//
//   tqreg query  KEY [/v NAME | /ve] [/s] [/z]
//   tqreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]
//   tqreg delete KEY [/v NAME | /ve | /va] [/f]
//   tqreg copy   KEY1 KEY2 [/s] [/f]
//   tqreg export KEY FILE [/y] [/a]
//   tqreg import FILE
//   tqreg where | check
//   tqreg /? (or --help) | --version
//
// Keys are HKCU\... or HKLM\... (or the long root names), "\" being the only
// separator. Switches take "/" or "-" in any case; only the switches of the
// operation count as switches, and "--" ends them. /reg:32 and /reg:64 are
// accepted and ignored. Exit code 0 on success, 1 on any failure, with an
// "ERROR:" line on standard error. Without /f (or /y) a question is asked on
// a terminal; without one the operation is cancelled (exit 1).
//
// Import reads both .reg versions and changes nothing unless the whole file
// is valid: every bad line is reported with its number and the exit code is
// 1. A valid file is applied in one transaction over the hives it touches,
// all or nothing. Export writes a file that imports back exactly, or none:
// it refuses names and data the format cannot carry, and replaces an
// existing file only once the new one is whole on the disk.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/tqreg/reg_file.h"
#include "tqrtl/platform/posix/registry.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/version.h"

namespace {

using tqreg::RegFile;
using tqreg::RegFormat;
using tqreg::RegKey;
using tqreg::RegProblem;
using tqreg::RegValue;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr const char* kSuccess = "The operation completed successfully.";
constexpr const char* kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.";

// A failure that ends the command: its message goes to standard error.
struct Failure {
  std::string message;
};

// ---------------------------------------------------------------------------
// Command lines.

struct SwitchDef {
  const char* name;
  bool takesArgument;
};

struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> switches;  // lower-case name -> argument
  bool Has(const std::string& name) const { return switches.count(name) != 0; }
  const std::string& Get(const std::string& name) const { return switches.at(name); }
};

std::string Lower(std::string s) {
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return s;
}

// ParseArguments: false for a syntax error (a repeated or incomplete switch).
bool ParseArguments(int argc, char** argv, const std::vector<SwitchDef>& known, Arguments* out) {
  bool switchesEnded = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!switchesEnded && arg == "--") {
      switchesEnded = true;
      continue;
    }
    const SwitchDef* sw = nullptr;
    if (!switchesEnded && arg.size() > 1 && (arg[0] == '/' || arg[0] == '-')) {
      const std::string name = Lower(arg.substr(1));
      for (const SwitchDef& s : known) {
        if (name == s.name) sw = &s;
      }
    }
    if (sw == nullptr) {
      out->positional.push_back(arg);
      continue;
    }
    if (out->Has(sw->name)) return false;
    std::string value;
    if (sw->takesArgument) {
      if (i + 1 >= argc) return false;
      value = argv[++i];
    }
    out->switches[sw->name] = value;
  }
  return !(out->Has("reg:32") && out->Has("reg:64"));
}

Failure Syntax(const char* operation) {
  return Failure{std::string("ERROR: Invalid syntax.\nType \"tqreg ") + operation +
                 " /?\" for usage."};
}

// A key named on the command line.
struct KeyName {
  HKEY root;
  std::string rootName;  // the long name
  std::string path;      // below the root, without leading or trailing "\"
  std::string Full() const { return path.empty() ? rootName : rootName + "\\" + path; }
};

bool ParseKeyName(const std::string& text, KeyName* key) {
  const size_t cut = text.find('\\');
  const std::string root = Lower(text.substr(0, cut));
  if (root == "hkcu" || root == "hkey_current_user") {
    *key = KeyName{HKEY_CURRENT_USER, "HKEY_CURRENT_USER", ""};
  } else if (root == "hklm" || root == "hkey_local_machine") {
    *key = KeyName{HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", ""};
  } else {
    return false;
  }
  if (cut != std::string::npos) key->path = text.substr(cut + 1);
  while (!key->path.empty() && key->path.back() == '\\') key->path.pop_back();
  return key->path.empty() || key->path.front() != '\\';
}

KeyName KeyArgument(const std::string& text) {
  KeyName key;
  if (!ParseKeyName(text, &key)) throw Failure{"ERROR: Invalid key name."};
  return key;
}

// Ask: a yes/no question on the terminal; false without one.
bool Ask(const std::string& question) {
  if (!isatty(STDIN_FILENO)) return false;
  for (;;) {
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    answer = Lower(answer);
    if (answer == "y" || answer == "yes") return true;
    if (answer == "n" || answer == "no") return false;
  }
}

void Confirm(bool force, const std::string& question) {
  if (!force && !Ask(question)) throw Failure{"The registry operation was cancelled."};
}

std::string ErrorText(LONG code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return kNotFound;
    case ERROR_ACCESS_DENIED:
      return "ERROR: Access is denied.";
    case ERROR_BADDB:
      return "ERROR: The configuration registry database is corrupt.";
    case ERROR_BUSY:
      return "ERROR: The registry store is busy; try again.";
    case ERROR_DISK_FULL:
      return "ERROR: There is not enough space on the disk.";
    default: {
      char buffer[512];
      if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr) != 0) {
        std::string text = buffer;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return "ERROR: " + text;
      }
      return "ERROR: registry error " + std::to_string(code) + ".";
    }
  }
}

void Check(LONG code) {
  if (code != ERROR_SUCCESS) throw Failure{ErrorText(code)};
}

// ---------------------------------------------------------------------------
// The store.

// An open key, closed when it goes out of scope.
class Key {
 public:
  Key() = default;
  explicit Key(HKEY h) : h_(h) {}
  Key(Key&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  Key& operator=(Key&& other) noexcept {
    std::swap(h_, other.h_);
    return *this;
  }
  ~Key() {
    if (h_ != nullptr) RegCloseKey(h_);
  }
  HKEY get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

LONG OpenKey(HKEY root, const std::string& path, Key* key) {
  HKEY h = nullptr;
  const LONG r = RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &h);
  if (r == ERROR_SUCCESS) *key = Key(h);
  return r;
}

Key CreateKey(HKEY root, const std::string& path) {
  HKEY h = nullptr;
  Check(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
  return Key(h);
}

struct StoredValue {
  std::string name;
  DWORD type;
  std::string data;
};

struct Tree {
  std::string name;
  std::vector<StoredValue> values;
  std::vector<Tree> children;
};

std::vector<StoredValue> ReadValues(HKEY key) {
  DWORD maxName = 0, maxData = 0;
  Check(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &maxName, &maxData, nullptr, nullptr));
  std::vector<StoredValue> values;
  std::string name(maxName + 1, '\0');
  std::string data(maxData + 1, '\0');
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD size = static_cast<DWORD>(data.size()), type = 0;
    const LONG r = RegEnumValueA(key, i, name.data(), &nameLength, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data.data()), &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    Check(r);
    values.push_back({name.substr(0, nameLength), type, data.substr(0, size)});
  }
  return values;
}

std::vector<std::string> ReadSubkeyNames(HKEY key) {
  DWORD maxName = 0;
  Check(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &maxName, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr));
  std::vector<std::string> names;
  std::string name(maxName + 1, '\0');
  for (DWORD i = 0;; ++i) {
    DWORD length = static_cast<DWORD>(name.size());
    const LONG r = RegEnumKeyExA(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) break;
    Check(r);
    names.push_back(name.substr(0, length));
  }
  return names;
}

Tree ReadTree(HKEY key, const std::string& name, bool recurse) {
  Tree tree{name, ReadValues(key), {}};
  if (recurse) {
    for (const std::string& child : ReadSubkeyNames(key)) {
      Key sub;
      Check(OpenKey(key, child, &sub));
      tree.children.push_back(ReadTree(sub.get(), child, true));
    }
  }
  return tree;
}

void WriteTree(HKEY key, const Tree& tree) {
  for (const StoredValue& v : tree.values) {
    Check(RegSetValueExA(key, v.name.c_str(), 0, v.type,
                         reinterpret_cast<const BYTE*>(v.data.data()),
                         static_cast<DWORD>(v.data.size())));
  }
  for (const Tree& child : tree.children) WriteTree(CreateKey(key, child.name).get(), child);
}

void DeleteTree(HKEY parent, const std::string& path) {
  {
    Key key;
    Check(OpenKey(parent, path, &key));
    for (const std::string& child : ReadSubkeyNames(key.get())) DeleteTree(key.get(), child);
  }
  Check(RegDeleteKeyA(parent, path.c_str()));
}

// A transaction on the hives a command touches, rolled back unless committed.
class Transaction {
 public:
  ~Transaction() {
    for (HKEY root : open_) tqrtl::posix::RegistryRollbackTransaction(root);
  }
  void Include(HKEY root) {
    for (HKEY r : open_) {
      if (r == root) return;
    }
    Check(tqrtl::posix::RegistryBeginTransaction(root));
    open_.push_back(root);
  }
  void Commit() {
    while (!open_.empty()) {
      const HKEY root = open_.back();
      open_.pop_back();
      Check(tqrtl::posix::RegistryCommitTransaction(root));
    }
  }

 private:
  std::vector<HKEY> open_;
};

// ---------------------------------------------------------------------------
// Types and data.

struct TypeName {
  DWORD type;
  const char* name;
};
constexpr TypeName kTypes[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

// TypeText: the type's REG_ name, or its number in hex for a type without one.
std::string TypeText(DWORD type, bool withNumber) {
  std::string text;
  for (const TypeName& t : kTypes) {
    if (t.type == type) text = t.name;
  }
  if (text.empty()) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%x", type);
    text = number;
  }
  if (withNumber) text += " (" + std::to_string(type) + ")";
  return text;
}

// ParseType: a REG_ name or a number (decimal or 0x hex).
bool ParseType(const std::string& text, DWORD* type) {
  for (const TypeName& t : kTypes) {
    if (Lower(text) == Lower(t.name)) {
      *type = t.type;
      return true;
    }
  }
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || text[0] == '-' || v > 0xFFFFFFFFull) return false;
  *type = static_cast<DWORD>(v);
  return true;
}

// ParseNumber: decimal, or hex after 0x; no sign, no octal, within `max`.
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 20) return false;
  std::uint64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    const std::uint64_t base = hex ? 16 : 10;
    if (v > (max - static_cast<std::uint64_t>(d)) / base) return false;
    v = v * base + static_cast<std::uint64_t>(d);
  }
  *value = v;
  return true;
}

bool ParseHexRun(const std::string& text, std::string* bytes) {
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    int v = 0;
    for (size_t k = i; k < i + 2; ++k) {
      const char c = text[k];
      const int d = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    *bytes += static_cast<char>(v);
  }
  return true;
}

// DataBytes: the bytes /d stands for with type `type`.
bool DataBytes(DWORD type, const std::string& text, const std::string& separator,
               std::string* bytes) {
  bytes->clear();
  std::uint64_t n = 0;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      *bytes = text;
      *bytes += '\0';
      return true;
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
      if (!ParseNumber(text, 0xFFFFFFFFull, &n)) return false;
      for (int i = 0; i < 4; ++i) {
        const int shift = type == REG_DWORD ? 8 * i : 8 * (3 - i);
        *bytes += static_cast<char>((n >> shift) & 0xFF);
      }
      return true;
    case REG_QWORD:
      if (!ParseNumber(text, ~std::uint64_t{0}, &n)) return false;
      for (int i = 0; i < 8; ++i) *bytes += static_cast<char>((n >> (8 * i)) & 0xFF);
      return true;
    case REG_MULTI_SZ: {
      size_t start = 0;
      while (start < text.size()) {
        size_t cut = separator.empty() ? std::string::npos : text.find(separator, start);
        if (cut == start) return false;  // an empty item would end the list
        if (cut == std::string::npos) cut = text.size();
        bytes->append(text, start, cut - start);
        *bytes += '\0';
        start = cut == text.size() ? cut : cut + separator.size();
      }
      *bytes += '\0';
      return true;
    }
    default:
      return ParseHexRun(text, bytes);
  }
}

std::string DataText(const StoredValue& v) {
  char buffer[32];
  switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return v.data.substr(0, v.data.find('\0'));
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
      if (v.data.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 0; i < 4; ++i) {
          const int shift = v.type == REG_DWORD ? 8 * i : 8 * (3 - i);
          n |= static_cast<std::uint32_t>(static_cast<unsigned char>(v.data[i])) << shift;
        }
        std::snprintf(buffer, sizeof buffer, "0x%x", n);
        return buffer;
      }
      break;
    case REG_QWORD:
      if (v.data.size() == 8) {
        std::uint64_t n = 0;
        for (int i = 7; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
        std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(n));
        return buffer;
      }
      break;
    case REG_MULTI_SZ: {
      std::string text;
      size_t start = 0;
      while (start < v.data.size() && v.data[start] != '\0') {
        size_t end = v.data.find('\0', start);
        if (end == std::string::npos) end = v.data.size();
        if (!text.empty()) text += "\\0";
        text += v.data.substr(start, end - start);
        start = end + 1;
      }
      return text;
    }
    default:
      break;
  }
  std::string hex;
  for (unsigned char c : v.data) {
    std::snprintf(buffer, sizeof buffer, "%02X", c);
    hex += buffer;
  }
  return hex;
}

void PrintValue(const StoredValue& v, bool withNumber) {
  std::cout << "    " << (v.name.empty() ? "(Default)" : v.name) << "    "
            << TypeText(v.type, withNumber) << "    " << DataText(v) << "\n";
}

// ---------------------------------------------------------------------------
// Operations.

int Query(const Arguments& args) {
  if (args.positional.size() != 1 || (args.Has("v") && args.Has("ve"))) throw Syntax("query");
  const KeyName name = KeyArgument(args.positional[0]);
  Key key;
  const LONG r = OpenKey(name.root, name.path, &key);
  if (r == ERROR_FILE_NOT_FOUND) throw Failure{kNotFound};
  Check(r);
  const bool withNumber = args.Has("z");
  const bool recurse = args.Has("s");

  if (args.Has("v") || args.Has("ve")) {
    const std::string wanted = args.Has("v") ? args.Get("v") : "";
    int matches = 0;
    // Each key that holds the value, and with /s those below it too.
    auto show = [&](auto&& self, HKEY h, const std::string& path) -> void {
      for (const StoredValue& v : ReadValues(h)) {
        if (Lower(v.name) != Lower(wanted)) continue;
        std::cout << "\n" << path << "\n";
        PrintValue(v, withNumber);
        ++matches;
        break;
      }
      if (!recurse) return;
      for (const std::string& child : ReadSubkeyNames(h)) {
        Key sub;
        Check(OpenKey(h, child, &sub));
        self(self, sub.get(), path + "\\" + child);
      }
    };
    show(show, key.get(), name.Full());
    if (matches == 0 && args.Has("ve") && !recurse) {
      std::cout << "\n" << name.Full() << "\n    (Default)    REG_SZ    (value not set)\n";
      ++matches;
    }
    if (recurse) {
      std::cout << "\nEnd of search: " << matches << " match(es) found.\n";
      return kOk;
    }
    if (matches == 0) throw Failure{kNotFound};
    std::cout << "\n";
    return kOk;
  }

  auto block = [&](auto&& self, HKEY h, const std::string& path, bool first) -> void {
    if (first) std::cout << "\n";
    std::cout << path << "\n";
    const std::vector<StoredValue> values = ReadValues(h);
    for (const StoredValue& v : values) PrintValue(v, withNumber);
    if (!values.empty() || recurse) std::cout << "\n";
    const std::vector<std::string> children = ReadSubkeyNames(h);
    for (const std::string& child : children) {
      if (recurse) {
        Key sub;
        Check(OpenKey(h, child, &sub));
        self(self, sub.get(), path + "\\" + child, false);
      } else {
        std::cout << path << "\\" << child << "\n";
      }
    }
    if (!recurse && !children.empty()) std::cout << "\n";
  };
  block(block, key.get(), name.Full(), true);
  return kOk;
}

int Add(const Arguments& args) {
  if (args.positional.size() != 1 || (args.Has("v") && args.Has("ve"))) throw Syntax("add");
  const KeyName name = KeyArgument(args.positional[0]);
  DWORD type = REG_SZ;
  if (args.Has("t") && !ParseType(args.Get("t"), &type)) {
    throw Failure{"ERROR: Invalid key type: " + args.Get("t") + "."};
  }
  const bool hasValue = args.Has("v") || args.Has("ve");
  if (!hasValue && (args.Has("t") || args.Has("d") || args.Has("s"))) throw Syntax("add");
  if (args.Has("s") && (type != REG_MULTI_SZ || args.Get("s").empty())) throw Syntax("add");
  std::string data;
  if (hasValue && !DataBytes(type, args.Has("d") ? args.Get("d") : "",
                             args.Has("s") ? args.Get("s") : "\\0", &data)) {
    throw Failure{"ERROR: The data is not valid for " + TypeText(type, false) + "."};
  }
  Key key = CreateKey(name.root, name.path);
  if (hasValue) {
    const std::string valueName = args.Has("v") ? args.Get("v") : "";
    if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr, nullptr, nullptr) ==
        ERROR_SUCCESS) {
      Confirm(args.Has("f"),
              "Value " + (valueName.empty() ? "(Default)" : valueName) + " exists, overwrite");
    }
    Check(RegSetValueExA(key.get(), valueName.c_str(), 0, type,
                         reinterpret_cast<const BYTE*>(data.data()),
                         static_cast<DWORD>(data.size())));
  }
  std::cout << kSuccess << "\n";
  return kOk;
}

int Delete(const Arguments& args) {
  const int valueSwitches = args.Has("v") + args.Has("ve") + args.Has("va");
  if (args.positional.size() != 1 || valueSwitches > 1) throw Syntax("delete");
  const KeyName name = KeyArgument(args.positional[0]);
  Key key;
  LONG r = OpenKey(name.root, name.path, &key);
  if (r == ERROR_FILE_NOT_FOUND) throw Failure{kNotFound};
  Check(r);
  const bool force = args.Has("f");
  if (args.Has("va")) {
    Confirm(force, "Delete all values under the registry key " + name.Full());
    Transaction transaction;
    transaction.Include(name.root);
    for (const StoredValue& v : ReadValues(key.get())) {
      Check(RegDeleteValueA(key.get(), v.name.c_str()));
    }
    transaction.Commit();
  } else if (args.Has("v") || args.Has("ve")) {
    const std::string valueName = args.Has("v") ? args.Get("v") : "";
    if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      throw Failure{kNotFound};
    }
    Confirm(force, "Delete the registry value " + (valueName.empty() ? "(Default)" : valueName));
    Check(RegDeleteValueA(key.get(), valueName.c_str()));
  } else {
    if (name.path.empty()) throw Failure{"ERROR: Access is denied."};  // not a whole hive
    Confirm(force, "Permanently delete the registry key " + name.Full());
    key = Key();
    Transaction transaction;
    transaction.Include(name.root);
    DeleteTree(name.root, name.path);
    transaction.Commit();
  }
  std::cout << kSuccess << "\n";
  return kOk;
}

int Copy(const Arguments& args) {
  if (args.positional.size() != 2) throw Syntax("copy");
  const KeyName from = KeyArgument(args.positional[0]);
  const KeyName to = KeyArgument(args.positional[1]);
  Key source;
  LONG r = OpenKey(from.root, from.path, &source);
  if (r == ERROR_FILE_NOT_FOUND) throw Failure{kNotFound};
  Check(r);
  // Read all first, so that copying a key into its own subtree ends.
  const Tree tree = ReadTree(source.get(), "", args.Has("s"));
  {
    Key existing;
    if (OpenKey(to.root, to.path, &existing) == ERROR_SUCCESS &&
        !ReadValues(existing.get()).empty()) {
      Confirm(args.Has("f"), "Overwrite existing values in " + to.Full());
    }
  }
  Transaction transaction;
  transaction.Include(to.root);
  WriteTree(CreateKey(to.root, to.path).get(), tree);
  transaction.Commit();
  std::cout << kSuccess << "\n";
  return kOk;
}

// ReplaceFile: puts `bytes` at `path` whole or not at all. They go to a new
// file beside it, are flushed to the disk and then renamed over the old
// one, so a full disk or a crash leaves the old file as it was and never a
// cut one (which could import as something else). A symbolic link is
// followed, so the file it names is the one replaced.
void ReplaceFile(const std::string& path, const std::string& bytes) {
  std::string target = path;
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved != nullptr) {
    target = resolved;
    free(resolved);
  }
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temporary =
      (slash == std::string::npos ? std::string() : folder) + "." + base + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  auto fail = [&](int error) {
    return Failure{"ERROR: Unable to write the file " + path + ": " + std::strerror(error) + "."};
  };
  if (fd < 0) throw fail(errno);
  // The new file gets the old one's permissions, or those a new file gets.
  struct stat old;
  if (stat(target.c_str(), &old) == 0) {
    fchmod(fd, old.st_mode & 07777);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
  int error = 0;
  for (size_t done = 0; done < bytes.size() && error == 0;) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      error = ENOSPC;
    } else if (errno != EINTR) {
      error = errno;
    }
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    throw fail(error);
  }
  // The rename itself is on the disk once the folder is.
  if (DIR* dir = opendir(folder.c_str())) {
    fsync(dirfd(dir));
    closedir(dir);
  }
}

void AddToFile(const Tree& tree, const std::string& path, RegFile* file) {
  RegKey key;
  key.path = path;
  for (const StoredValue& v : tree.values) {
    RegValue value;
    value.name = v.name;
    value.type = v.type;
    value.data = v.data;
    key.values.push_back(std::move(value));
  }
  file->keys.push_back(std::move(key));
  for (const Tree& child : tree.children) AddToFile(child, path + "\\" + child.name, file);
}

int Export(const Arguments& args) {
  if (args.positional.size() != 2) throw Syntax("export");
  const KeyName name = KeyArgument(args.positional[0]);
  const std::string& path = args.positional[1];
  Key key;
  const LONG r = OpenKey(name.root, name.path, &key);
  if (r == ERROR_FILE_NOT_FOUND) throw Failure{kNotFound};
  Check(r);
  RegFile file;
  AddToFile(ReadTree(key.get(), "", true), name.Full(), &file);
  if (access(path.c_str(), F_OK) == 0) {
    Confirm(args.Has("y"), "File " + path + " already exists. Overwrite");
  }
  const RegFormat format = args.Has("a") ? RegFormat::kVersion4 : RegFormat::kVersion5;
  std::string bytes, why;
  if (!tqreg::WriteRegFile(file, format, &bytes, &why)) {
    throw Failure{"ERROR: Cannot export: " + why + "."};
  }
  ReplaceFile(path, bytes);
  std::cout << kSuccess << "\n";
  return kOk;
}

int Import(const Arguments& args) {
  if (args.positional.size() != 1) throw Syntax("import");
  const std::string& path = args.positional[0];
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{"ERROR: Unable to open the file " + path + "."};
  std::ostringstream content;
  content << in.rdbuf();
  RegFile file;
  std::vector<RegProblem> problems;
  const bool header = tqreg::ParseRegFile(content.str(), &file, &problems);
  // The store holds two hives; a key elsewhere is a bad line like any other.
  std::vector<KeyName> names(file.keys.size());
  std::vector<HKEY> roots;
  for (size_t i = 0; i < file.keys.size(); ++i) {
    const RegKey& k = file.keys[i];
    if (!ParseKeyName(k.path, &names[i])) {
      problems.push_back({k.line,
                          "only HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are kept here, "
                          "and no key name is empty"});
    } else if (k.remove && names[i].path.empty()) {
      problems.push_back({k.line, "a whole hive cannot be deleted"});
    } else {
      roots.push_back(names[i].root);
    }
  }
  if (!header || !problems.empty()) {
    std::stable_sort(problems.begin(), problems.end(),
                     [](const RegProblem& a, const RegProblem& b) { return a.line < b.line; });
    for (const RegProblem& p : problems) {
      std::cerr << path << ":" << p.line << ": " << p.message << "\n";
    }
    throw Failure{"ERROR: The file " + path + " is not valid; nothing was imported."};
  }
  if (roots.empty()) {
    std::cout << kSuccess << "\n";
    return kOk;
  }
  // One transaction over every hive the file touches, taken up front.
  Check(tqrtl::posix::RegistryBeginTransactions(roots));
  struct Open {
    ~Open() {
      if (active) {
        tqrtl::posix::RegistryRollbackTransaction(HKEY_CURRENT_USER);
        tqrtl::posix::RegistryRollbackTransaction(HKEY_LOCAL_MACHINE);
      }
    }
    bool active = true;
  } open;
  for (size_t i = 0; i < file.keys.size(); ++i) {
    const RegKey& k = file.keys[i];
    const KeyName& name = names[i];
    if (k.remove) {
      Key existing;
      if (OpenKey(name.root, name.path, &existing) == ERROR_SUCCESS) {
        existing = Key();
        DeleteTree(name.root, name.path);
      }
      continue;
    }
    Key key = CreateKey(name.root, name.path);
    for (const RegValue& v : k.values) {
      if (v.remove) {
        const LONG r = RegDeleteValueA(key.get(), v.name.c_str());
        if (r != ERROR_FILE_NOT_FOUND) Check(r);
        continue;
      }
      Check(RegSetValueExA(key.get(), v.name.c_str(), 0, v.type,
                           reinterpret_cast<const BYTE*>(v.data.data()),
                           static_cast<DWORD>(v.data.size())));
    }
  }
  open.active = false;  // committed or not, no transaction stays open
  const LONG committed = tqrtl::posix::RegistryCommitTransactions();
  if (committed == tqrtl::posix::kErrorUndoFailed) {
    throw Failure{"ERROR: The import failed part way and could not be undone: part of " + path +
                  " is stored."};
  }
  Check(committed);
  std::cout << kSuccess << "\n";
  return kOk;
}

int Where() {
  std::cout << "HKEY_CURRENT_USER    " << tqrtl::posix::RegistryHivePath(HKEY_CURRENT_USER)
            << "\nHKEY_LOCAL_MACHINE    " << tqrtl::posix::RegistryHivePath(HKEY_LOCAL_MACHINE)
            << "\n";
  return kOk;
}

int CheckStore() {
  int result = kOk;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    std::string report;
    const LONG r = tqrtl::posix::RegistryCheckHive(root, &report);
    const char* name = root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
    if (r == ERROR_SUCCESS) {
      std::cout << name << "    ok\n";
    } else {
      std::cerr << name << "    " << ErrorText(r) << (report.empty() ? "" : "\n") << report << "\n";
      result = kFailed;
    }
  }
  return result;
}

constexpr const char* kUsage =
    "TQREG <operation> [parameters]\n"
    "\n"
    "  query  KEY [/v NAME | /ve] [/s] [/z]\n"
    "  add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  copy   KEY1 KEY2 [/s] [/f]\n"
    "  export KEY FILE [/y] [/a]\n"
    "  import FILE\n"
    "  where  (the store's files)     check  (SQLite's integrity check)\n"
    "  /?  or --help (this text)      --version\n"
    "\n"
    "KEY is HKCU\\path or HKLM\\path (or HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE).\n"
    "The store is in $TQRTL_REGISTRY_DIR, else ${XDG_CONFIG_HOME:-~/.config}/tqrtl/registry.\n"
    "export writes a version 5 .reg file (UTF-16), with /a a REGEDIT4 one.\n"
    "import takes both and changes nothing unless the whole file is valid.\n"
    "export refuses what a .reg file cannot give back exactly (line breaks in\n"
    "names; in version 5, bytes that are not UTF-8) and never leaves a cut file.\n"
    "Exit code: 0 success, 1 failure.\n";

int Run(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "ERROR: Invalid syntax.\nType \"tqreg /?\" for usage.\n";
    return kFailed;
  }
  const std::string op = Lower(argv[1]);
  if (op == "/?" || op == "-?" || op == "/h" || op == "--help") {
    std::cout << kUsage;
    return kOk;
  }
  if (op == "--version" && argc == 2) {
    std::cout << "tqreg " TQRTL_VERSION "\n";
    return kOk;
  }
  std::vector<SwitchDef> known = {{"?", false}, {"reg:32", false}, {"reg:64", false}};
  if (op == "query") {
    known.insert(known.end(), {{"v", true}, {"ve", false}, {"s", false}, {"z", false}});
  } else if (op == "add") {
    known.insert(known.end(),
                 {{"v", true}, {"ve", false}, {"t", true}, {"s", true}, {"d", true}, {"f", false}});
  } else if (op == "delete") {
    known.insert(known.end(), {{"v", true}, {"ve", false}, {"va", false}, {"f", false}});
  } else if (op == "copy") {
    known.insert(known.end(), {{"s", false}, {"f", false}});
  } else if (op == "export") {
    known.insert(known.end(), {{"y", false}, {"a", false}});
  } else if (op != "import" && op != "where" && op != "check") {
    std::cerr << "ERROR: Invalid syntax.\nType \"tqreg /?\" for usage.\n";
    return kFailed;
  }
  Arguments args;
  try {
    if (!ParseArguments(argc - 2, argv + 2, known, &args)) throw Syntax(op.c_str());
    if (args.Has("?")) {
      std::cout << kUsage;
      return kOk;
    }
    if (op == "query") return Query(args);
    if (op == "add") return Add(args);
    if (op == "delete") return Delete(args);
    if (op == "copy") return Copy(args);
    if (op == "export") return Export(args);
    if (op == "import") return Import(args);
    if (!args.positional.empty()) throw Syntax(op.c_str());
    return op == "where" ? Where() : CheckStore();
  } catch (const Failure& failure) {
    std::cout.flush();
    std::cerr << failure.message << "\n";
    return kFailed;
  }
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
