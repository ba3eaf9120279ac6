// Reading and writing .reg files (reg_file.h).
#include "tools/tqreg/reg_file.h"

#include <cstdio>

namespace tqreg {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::uint32_t kSz = 1, kExpandSz = 2, kBinary = 3, kDword = 4, kMultiSz = 7;
constexpr const char* kRoots[] = {"HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_CLASSES_ROOT",
                                  "HKEY_USERS", "HKEY_CURRENT_CONFIG"};
constexpr size_t kWrapColumn = 77;  // a hex line breaks once it reaches this

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Upper(s[i]) != Upper(prefix[i])) return false;
  }
  return true;
}

// RestIsEmpty: only blanks, or blanks and a ";" comment, remain.
bool RestIsEmpty(std::string_view rest) {
  rest = TrimLeft(rest);
  return rest.empty() || rest.front() == ';';
}

// ParseHexNumber: 1 to 8 hex digits, nothing else.
bool ParseHexNumber(std::string_view text, std::uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  std::uint32_t v = 0;
  for (char c : text) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  *value = v;
  return true;
}

// ParseHexList: "01,ab, ff," into bytes. Each item is one or two hex digits,
// blanks around it allowed; one trailing comma allowed.
bool ParseHexList(std::string_view text, std::string* bytes) {
  bytes->clear();
  text = TrimRight(TrimLeft(text));
  if (text.empty()) return true;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string_view item = TrimRight(
        TrimLeft(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start)));
    if (item.empty()) {
      // Only after the last comma.
      return comma == std::string_view::npos && start != 0;
    }
    if (item.size() > 2) return false;
    int value = 0;
    for (char c : item) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      value = value * 16 + d;
    }
    bytes->push_back(static_cast<char>(value));
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
}

// ParseQuoted: a quoted text at the start of `s` with the escapes \\ and \".
// Any other backslash stands for itself. Sets *end past the closing quote.
bool ParseQuoted(std::string_view s, std::string* text, size_t* end) {
  if (s.empty() || s.front() != '"') return false;
  text->clear();
  for (size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      *text += s[++i];
    } else if (c == '"') {
      *end = i + 1;
      return true;
    } else {
      *text += c;
    }
  }
  return false;
}

bool IsStringType(std::uint32_t type) {
  return type == kSz || type == kExpandSz || type == kMultiSz;
}

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(std::string& out, std::uint32_t c) {
  auto unit = [&](std::uint32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  if (c < 0x10000) {
    unit(c);
  } else {
    c -= 0x10000;
    unit(0xD800 | (c >> 10));
    unit(0xDC00 | (c & 0x3FF));
  }
}

std::uint32_t Unit(std::string_view utf16le, size_t i) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(utf16le[2 * i])) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(utf16le[2 * i + 1])) << 8);
}

// FirstBadUtf16: the index of the first unit that is an unpaired surrogate,
// or of the odd last byte's unit; npos when the text converts exactly.
size_t FirstBadUtf16(std::string_view in) {
  const size_t units = in.size() / 2;
  for (size_t i = 0; i < units; ++i) {
    const std::uint32_t c = Unit(in, i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && Unit(in, i + 1) >= 0xDC00 &&
        Unit(in, i + 1) <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return i;
    }
  }
  return in.size() % 2 != 0 ? units : std::string_view::npos;
}

// The state of one file being read.
class Parser {
 public:
  Parser(RegFile* file, std::vector<RegProblem>* problems) : file_(file), problems_(problems) {}

  // Line: one line; `last` when it ends the file without a line break.
  void Line(int number, std::string_view line, bool last) {
    line_ = number;
    const std::string_view trimmed = TrimLeft(line);
    // A file cut short ends in the middle of a line, and what is left of a
    // value there often still parses ("dword:00" of "dword:0000002a", a hex
    // list short of bytes). The editor ends every line, so such a line is
    // taken for a cut one.
    const bool data = !trimmed.empty() && trimmed.front() != ';' && trimmed.front() != '#' &&
                      (pending_ || trimmed.front() == '"' || trimmed.front() == '@');
    if (last && data) {
      Problem(pending_ ? pendingValue_.line : number,
              "the file ends inside this value, without a line break (cut short?)");
      pending_ = false;
      return;
    }
    if (pending_) {
      if (trimmed.empty() || trimmed.front() == ';') return;
      if (trimmed.front() == '#' || trimmed.front() == '[' || trimmed.front() == '"' ||
          trimmed.front() == '@') {
        Problem(pendingValue_.line, "the hex list continued on the lines below is unfinished");
        pending_ = false;
      } else {
        HexPart(trimmed);
        return;
      }
    }
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') return;
    if (trimmed.front() == '[') {
      KeyLine(trimmed);
    } else if (trimmed.front() == '"' || trimmed.front() == '@') {
      ValueLine(trimmed);
    } else {
      Problem(number, "not a key, a value or a comment");
    }
  }

  void End() {
    // A file cut short (a full disk while it was written) ends inside a
    // continued list: its tail is missing, so the value is not taken.
    if (pending_) {
      Problem(pendingValue_.line, "the hex list continued on the last line never ends");
      pending_ = false;
    }
  }

 private:
  enum class State { kNoKey, kInKey, kSkipping };

  void Problem(int line, std::string message) { problems_->push_back({line, std::move(message)}); }

  void KeyLine(std::string_view line) {
    // The name runs to the last ']', which must end the line: text after it
    // would otherwise be silently lost or taken into the name. A ']' inside
    // stays part of the name, as key names may hold it.
    line = TrimRight(line);
    if (line.size() < 2 || line.back() != ']') {
      Problem(line_, "a key line must end in ']', with nothing after it");
      state_ = State::kSkipping;
      return;
    }
    std::string_view path = line.substr(1, line.size() - 2);
    RegKey key;
    key.line = line_;
    if (!path.empty() && path.front() == '-') {
      key.remove = true;
      path.remove_prefix(1);
    }
    if (path.find('\0') != std::string_view::npos) {
      Problem(line_, "a key name cannot hold a NUL character");
      state_ = State::kSkipping;
      return;
    }
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);  // "X\" is X
    const size_t cut = path.find('\\');
    const std::string_view root = path.substr(0, cut);
    const char* known = nullptr;
    for (const char* r : kRoots) {
      if (root.size() == std::string_view(r).size() && StartsWithNoCase(root, r)) known = r;
    }
    if (known == nullptr) {
      Problem(line_, "unknown root key '" + std::string(root) + "'");
      state_ = State::kSkipping;
      return;
    }
    key.path = known;
    if (cut != std::string_view::npos) key.path += path.substr(cut);
    file_->keys.push_back(std::move(key));
    // Values after a deletion are ignored until the next key.
    state_ = file_->keys.back().remove ? State::kSkipping : State::kInKey;
  }

  void ValueLine(std::string_view line) {
    if (state_ == State::kSkipping) return;
    if (state_ == State::kNoKey) {
      Problem(line_, "a value before any key");
      return;
    }
    RegValue value;
    value.line = line_;
    size_t pos = 0;
    if (line.front() == '@') {
      pos = 1;
    } else if (!ParseQuoted(line, &value.name, &pos)) {
      Problem(line_, "the value name has no closing quote");
      return;
    }
    // The store's names end at a NUL, so "a<NUL>x" and "a<NUL>y" would both
    // be "a" and overwrite each other.
    if (value.name.find('\0') != std::string::npos) {
      Problem(line_, "a value name cannot hold a NUL character");
      return;
    }
    std::string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest.front() != '=') {
      Problem(line_, "'=' must follow the value name");
      return;
    }
    rest = TrimLeft(rest.substr(1));
    if (!rest.empty() && rest.front() == '-') {
      if (!RestIsEmpty(rest.substr(1))) {
        Problem(line_, "unexpected text after '-'");
        return;
      }
      value.remove = true;
      Add(std::move(value));
      return;
    }
    if (!rest.empty() && rest.front() == '"') {
      std::string text;
      size_t end = 0;
      if (!ParseQuoted(rest, &text, &end) || !RestIsEmpty(rest.substr(end))) {
        Problem(line_, "invalid string (only \\\\ and \\\" may stand inside quotes)");
        return;
      }
      value.type = kSz;
      value.data = text;
      value.data += '\0';
      Add(std::move(value));
      return;
    }
    if (StartsWithNoCase(rest, "dword:")) {
      rest.remove_prefix(6);
      size_t digits = 0;
      while (digits < rest.size() && HexDigit(rest[digits]) >= 0) ++digits;
      std::uint32_t number = 0;
      if (!ParseHexNumber(rest.substr(0, digits), &number) ||
          !(digits == rest.size() || RestIsEmpty(rest.substr(digits)))) {
        Problem(line_, "invalid dword (1 to 8 hex digits)");
        return;
      }
      value.type = kDword;
      for (int i = 0; i < 4; ++i) value.data += static_cast<char>((number >> (8 * i)) & 0xFF);
      Add(std::move(value));
      return;
    }
    if (StartsWithNoCase(rest, "hex")) {
      rest.remove_prefix(3);
      value.type = kBinary;
      if (!rest.empty() && rest.front() == '(') {
        const size_t close = rest.find(')');
        if (close == std::string_view::npos ||
            !ParseHexNumber(rest.substr(1, close - 1), &value.type)) {
          Problem(line_, "invalid type in hex(...)");
          return;
        }
        rest.remove_prefix(close + 1);
      }
      if (rest.empty() || rest.front() != ':') {
        Problem(line_, "':' must follow hex");
        return;
      }
      pendingValue_ = std::move(value);
      pendingText_.clear();
      pending_ = true;
      HexPart(rest.substr(1));
      return;
    }
    Problem(line_, "unknown data format");
  }

  // HexPart: one line's share of a hex list; a final backslash continues it.
  void HexPart(std::string_view text) {
    const size_t comment = text.find(';');
    if (comment != std::string_view::npos) text = text.substr(0, comment);
    text = TrimRight(text);
    if (!text.empty() && text.back() == '\\') {
      text.remove_suffix(1);
      pendingText_.append(text.data(), text.size());
      return;
    }
    pendingText_.append(text.data(), text.size());
    Finish();
  }

  void Finish() {
    pending_ = false;
    std::string bytes;
    if (!ParseHexList(pendingText_, &bytes)) {
      Problem(pendingValue_.line, "invalid hex list (comma-separated bytes)");
      return;
    }
    if (file_->format == RegFormat::kVersion5 && IsStringType(pendingValue_.type)) {
      // Text of these types is UTF-16 in a version 5 file; what cannot be
      // converted exactly would be stored as something else.
      if (bytes.size() % 2 != 0) {
        Problem(pendingValue_.line, "UTF-16 text of an odd number of bytes");
        return;
      }
      if (FirstBadUtf16(bytes) != std::string_view::npos) {
        Problem(pendingValue_.line, "UTF-16 text with an unpaired surrogate");
        return;
      }
      bytes = Utf16ToUtf8(bytes);
    }
    pendingValue_.data = std::move(bytes);
    Add(std::move(pendingValue_));
  }

  void Add(RegValue value) { file_->keys.back().values.push_back(std::move(value)); }

  RegFile* file_;
  std::vector<RegProblem>* problems_;
  State state_ = State::kNoKey;
  int line_ = 0;
  bool pending_ = false;
  RegValue pendingValue_;
  std::string pendingText_;
};

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// WritesAsText: a REG_SZ that the quoted form gives back exactly.
bool WritesAsText(const RegValue& v) {
  if (v.type != kSz || v.data.empty() || v.data.back() != '\0') return false;
  return v.data.find_first_of(std::string_view("\0\r\n", 3)) == v.data.size() - 1;
}

void WriteValue(std::string& out, const RegValue& v, RegFormat format) {
  std::string head = v.name.empty() ? "@=" : "\"" + Escape(v.name) + "\"=";
  out += head;
  if (v.remove) {
    out += "-";
  } else if (WritesAsText(v)) {
    out += "\"" + Escape(std::string_view(v.data).substr(0, v.data.size() - 1)) + "\"";
  } else if (v.type == kDword && v.data.size() == 4) {
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", n);
    out += text;
  } else {
    char prefix[24];
    if (v.type == kBinary) {
      std::snprintf(prefix, sizeof prefix, "hex:");
    } else {
      std::snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
    }
    out += prefix;
    const std::string bytes =
        format == RegFormat::kVersion5 && IsStringType(v.type) ? Utf8ToUtf16(v.data) : v.data;
    // Columns count what the file holds: UTF-16 units in version 5, bytes
    // (characters of the ANSI code page) in version 4.
    size_t column = (format == RegFormat::kVersion5 ? Utf8ToUtf16(head).size() / 2 : head.size()) +
                    std::string_view(prefix).size();
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes.size(); ++i) {
      const unsigned char b = static_cast<unsigned char>(bytes[i]);
      out += kDigits[b >> 4];
      out += kDigits[b & 15];
      if (i + 1 == bytes.size()) break;
      out += ',';
      column += 3;
      if (column >= kWrapColumn) {
        out += "\\\r\n  ";
        column = 2;
      }
    }
  }
  out += "\r\n";
}

// IsUtf8: whether the text goes to UTF-16 and back unchanged.
bool IsUtf8(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return Utf16ToUtf8(Utf8ToUtf16(text)) == text;
  }
  return true;
}

// Unwritable: why a name cannot stand in a .reg file, or "". A line break
// would end the line (the format has no escape for it), and a version 5
// file holds only what UTF-16 can say.
std::string Unwritable(std::string_view name, bool utf16) {
  if (name.find_first_of("\r\n") != std::string_view::npos) {
    return "holds a line break, which a .reg file cannot carry";
  }
  if (utf16 && !IsUtf8(name)) {
    return "is not valid UTF-8, which a version 5 file cannot carry (REGEDIT4 keeps the bytes "
           "as they are)";
  }
  return std::string();
}

// Shown: a name for a message, line breaks, control characters and bytes
// that are not UTF-8 written as escapes.
std::string Shown(std::string_view name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    size_t length = 1;
    if (c >= 0x80) {
      length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
      if (length == 0 || i + length > name.size() || !IsUtf8(name.substr(i, length))) length = 0;
    }
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F || length == 0) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out.append(name.substr(i, length));
      i += length - 1;
    }
  }
  return out;
}

}  // namespace

std::string Utf16ToUtf8(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  const size_t units = in.size() / 2;
  auto unit = [&](size_t i) { return Unit(in, i); };
  for (size_t i = 0; i < units; ++i) {
    std::uint32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::string Utf8ToUtf16(std::string_view in) {
  std::string out;
  out.reserve(in.size() * 2);
  for (size_t i = 0; i < in.size();) {
    const unsigned char b = static_cast<unsigned char>(in[i]);
    std::uint32_t c = 0xFFFD;
    size_t length = 1;
    if (b < 0x80) {
      c = b;
    } else {
      const size_t need = (b & 0xE0) == 0xC0   ? 2
                          : (b & 0xF0) == 0xE0 ? 3
                          : (b & 0xF8) == 0xF0 ? 4
                                               : 0;
      if (need != 0 && i + need <= in.size()) {
        std::uint32_t v = b & (0xFF >> (need + 1));
        bool ok = true;
        for (size_t k = 1; k < need; ++k) {
          const unsigned char cb = static_cast<unsigned char>(in[i + k]);
          if ((cb & 0xC0) != 0x80) ok = false;
          v = (v << 6) | (cb & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && v >= least[need] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
          c = v;
          length = need;
        }
      }
    }
    AppendUtf16(out, c);
    i += length;
  }
  return out;
}

bool ParseRegFile(std::string_view bytes, RegFile* file, std::vector<RegProblem>* problems) {
  *file = RegFile();
  std::string converted;
  std::string_view text = bytes;
  int badLine = 0;  // a line of UTF-16 that does not convert exactly
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    const std::string_view utf16 = bytes.substr(2);
    const size_t bad = FirstBadUtf16(utf16);
    if (bad != std::string_view::npos) {
      badLine = 1;
      for (size_t i = 0; i < bad; ++i) badLine += Unit(utf16, i) == '\n';
    }
    converted = Utf16ToUtf8(utf16);
    text = converted;
  } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }

  Parser parser(file, problems);
  int number = 0;
  bool header = false;
  while (!text.empty() || number == 0) {
    const size_t end = text.find('\n');
    const bool last = end == std::string_view::npos;
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++number;
    if (!header) {
      const std::string_view first = TrimLeft(line);
      if (first == kHeader4) {
        file->format = RegFormat::kVersion4;
      } else if (first == kHeader5) {
        file->format = RegFormat::kVersion5;
      } else {
        problems->push_back({0, "not a registry file: the first line must be \"REGEDIT4\" or \"" +
                                    std::string(kHeader5) + "\""});
        return false;
      }
      header = true;
      continue;
    }
    if (number == badLine) {
      problems->push_back({number, "UTF-16 text with an unpaired surrogate or a stray byte"});
    }
    parser.Line(number, line, last);
  }
  parser.End();
  return true;
}

bool WriteRegFile(const RegFile& file, RegFormat format, std::string* bytes, std::string* error) {
  // Refuse before writing anything: a file that imports to something else
  // than what was exported is worse than no file.
  const bool utf16 = format == RegFormat::kVersion5;
  for (const RegKey& key : file.keys) {
    std::string why = Unwritable(key.path, utf16);
    if (!why.empty()) {
      *error = "key \"" + Shown(key.path) + "\": the name " + why;
      return false;
    }
    for (const RegValue& v : key.values) {
      why = Unwritable(v.name, utf16);
      if (why.empty() && v.name.find('\0') != std::string::npos) why = "holds a NUL character";
      if (why.empty() && utf16 && !v.remove && IsStringType(v.type) && !IsUtf8(v.data)) {
        why =
            "has string data that is not valid UTF-8, which a version 5 file cannot carry "
            "(REGEDIT4 keeps the bytes as they are)";
      } else if (!why.empty()) {
        why = "has a name that " + why;
      }
      if (!why.empty()) {
        *error = "key \"" + Shown(key.path) + "\", value \"" + Shown(v.name) + "\" " + why;
        return false;
      }
    }
  }
  std::string out(utf16 ? kHeader5 : kHeader4);
  out += "\r\n";
  for (const RegKey& key : file.keys) {
    out += key.remove ? "\r\n[-" : "\r\n[";
    out += key.path;
    out += "]\r\n";
    for (const RegValue& v : key.values) WriteValue(out, v, format);
  }
  out += "\r\n";
  *bytes = utf16 ? "\xFF\xFE" + Utf8ToUtf16(out) : std::move(out);
  return true;
}

}  // namespace tqreg
