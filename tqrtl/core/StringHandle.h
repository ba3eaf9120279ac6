// StringHandle.h: cheap handles on string-resource texts.
//
// A StrUtil::StringHandle refers to one of three static, reference-counted
// slots (StrUtil::StringBuffer) that hold a loaded text, so reading a message
// through a handle needs no heap memory (the out-of-memory message is read
// this way). At most three texts are held at once: while all three slots are
// referenced, a new handle is null. A missing or empty resource reads
// "*** Can't load string <id>".
//
// Thread-safety: handles may be made on any thread (slot selection and
// loading run under one process-wide lock; slot counts change atomically).
// One handle object is not shared between threads.
#ifndef TQRTL_CORE_STRINGHANDLE_H_
#define TQRTL_CORE_STRINGHANDLE_H_

#include "tqrtl/core/RefCntObject.h"
#include "tqrtl/platform/win32.h"

namespace StrUtil {

// One slot of the pool. Release never deletes a slot; a slot whose count is
// 0 is free.
class TQRTL_API StringBuffer : public RefCntObject {
 public:
  static constexpr int kTextSize = 1364;  // text and NUL

  StringBuffer() : RefCntObject(false) { m_text[0] = '\0'; }
  const char* Text() const { return m_text; }
  char* Text() { return m_text; }

 private:
  char m_text[kTextSize];
};

class TQRTL_API StringHandle {
 public:
  // A null handle.
  StringHandle() : m_buffer(nullptr) {}
  // Takes a free slot and loads resource `id` of `module` into it; a null
  // handle when all three slots are in use.
  StringHandle(HINSTANCE module, unsigned int id);
  StringHandle(const StringHandle& other);
  StringHandle& operator=(const StringHandle& other);
  ~StringHandle();

  // The text, or null for a null handle.
  operator const char*() const { return m_buffer != nullptr ? m_buffer->Text() : nullptr; }
  // The first character. REQUIRES: the handle is not null.
  char operator*() const { return m_buffer->Text()[0]; }

  bool IsNull() const { return m_buffer == nullptr; }

 private:
  StringBuffer* m_buffer;
};

}  // namespace StrUtil

#endif  // TQRTL_CORE_STRINGHANDLE_H_
