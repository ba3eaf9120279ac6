// AttribPathName: a path with a word of attribute bits, as the tools keep
// their lists of files (for example which of them are system files).
//
// Bit 0 of the attribute word marks a system file; the other bits have no
// meaning to this library but are kept, copied and stored unchanged.
//
// Stored form (see TQStream): the attribute word as four little-endian
// bytes, then the path as a stored string. Serialize reports failure as 0
// and throws nothing of its own; a failed Read leaves the object partly read
// (the word may already be set while the path is not).
#ifndef TQRTL_FILES_ATTRIBPATHNAME_H_
#define TQRTL_FILES_ATTRIBPATHNAME_H_

#include "tqrtl/platform/export.h"
#include "tqrtl/strings/TQString.h"

class TQStream;

class TQRTL_API AttribPathName {
 public:
  enum SerializationDirection { Read = 0, Write = 1 };

  AttribPathName() = default;
  AttribPathName(const char* path) : m_path(path) {}  // NOLINT: a path converts
  AttribPathName(const TQString& path) : m_path(path) {}  // NOLINT: a path converts
  AttribPathName(const AttribPathName& other) = default;
  AttribPathName& operator=(const AttribPathName& other) = default;

  const TQString& Path() const { return m_path; }
  unsigned int Attributes() const { return m_attributes; }

  bool IsSystemFile() const { return (m_attributes & kSystemFile) != 0; }
  void SetSystemFile(bool on) {
    m_attributes = on ? (m_attributes | kSystemFile) : (m_attributes & ~kSystemFile);
  }

  // Write: the attribute word, and only when that succeeded the path.
  // Read: the attribute word, and only when that succeeded the path.
  // Returns the result of the last stream call made: 1 done, 0 failed
  // (a null stream fails at once).
  int Serialize(TQStream* stream, SerializationDirection direction);

 private:
  static constexpr unsigned int kSystemFile = 1u;

  TQString m_path;
  unsigned int m_attributes = 0;
};

#endif  // TQRTL_FILES_ATTRIBPATHNAME_H_
