// reg_file.h: the registry editor's text files (.reg) read and written
// without touching any store, so they can be tested and fuzzed alone.
//
// Two formats:
//   version 4  "REGEDIT4", text in the ANSI code page (UTF-8 here), the
//              bytes of hex(2)/hex(7) as they are stored;
//   version 5  "Windows Registry Editor Version 5.00", UTF-16LE with a BOM,
//              the bytes of hex(1)/hex(2)/hex(7) in UTF-16LE.
// In memory, text is UTF-8 and string data is kept as the store keeps it
// (UTF-8 bytes with their NUL), so a version 5 file's strings are converted
// both ways. Only what converts exactly is read or written: UTF-16 with an
// unpaired surrogate is a bad line, and WriteRegFile refuses a version 5
// file whose names or string data are not valid UTF-8.
//
// ParseRegFile never throws and never stops at a bad line: it records each
// problem with its line number and goes on, so a caller can report every
// one before deciding. Nothing it reads sizes an allocation beyond the input
// itself.
#ifndef TQRTL_TOOLS_TQREG_REG_FILE_H_
#define TQRTL_TOOLS_TQREG_REG_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tqreg {

enum class RegFormat { kVersion4, kVersion5 };

struct RegValue {
  std::string name;  // "" is the unnamed (default) value
  std::uint32_t type = 0;
  std::string data;     // the bytes as stored
  bool remove = false;  // "name"=-
  int line = 0;
};

struct RegKey {
  std::string path;     // with its long root name, e.g. HKEY_CURRENT_USER\Software
  bool remove = false;  // [-path]: the whole subtree
  std::vector<RegValue> values;
  int line = 0;
};

struct RegProblem {
  int line;  // 1-based; 0 for the file as a whole
  std::string message;
};

struct RegFile {
  RegFormat format = RegFormat::kVersion5;
  std::vector<RegKey> keys;
};

// ParseRegFile: the keys and values of `bytes`, a whole .reg file. The
// encoding comes from the start: a UTF-16LE BOM, a UTF-8 BOM (accepted as an
// extension), else ANSI. Returns false, with a problem at line 0, when the
// header is wrong (nothing else is read then); otherwise true, with every
// invalid line in *problems (a file is malformed when that list is not
// empty). Invalid lines include text after a key's ']', a key under an
// unknown root, a name holding a NUL, UTF-16 text of an odd length, and
// the signs of a file cut short: a hex list whose continuation (a final
// '\') never ends, or a value on a last line without a line break.
bool ParseRegFile(std::string_view bytes, RegFile* file, std::vector<RegProblem>* problems);

// WriteRegFile: the file's bytes in `format` into *bytes, as the registry
// editor writes them: CRLF line ends, values in the order given, hex lists
// broken before column 80, strings holding CR, LF or NUL (or lacking their
// final NUL) written as hex(1). What it writes, ParseRegFile reads back
// unchanged; so it returns false, with a message naming the key and value
// in *error and nothing written, for a name holding a line break or a NUL,
// and in version 5 for names or string data that are not valid UTF-8.
bool WriteRegFile(const RegFile& file, RegFormat format, std::string* bytes, std::string* error);

// Utf16ToUtf8 / Utf8ToUtf16: conversions between UTF-16LE bytes and UTF-8.
// Malformed input becomes U+FFFD; an odd last byte is dropped.
std::string Utf16ToUtf8(std::string_view utf16le);
std::string Utf8ToUtf16(std::string_view utf8);

}  // namespace tqreg

#endif  // TQRTL_TOOLS_TQREG_REG_FILE_H_
