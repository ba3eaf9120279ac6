#include "tqrtl/errors/TQException.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "tqrtl/core/StringHandle.h"
#include "tqrtl/res/LibraryStrings.h"
#include "tqrtl/shell/TQUtil.h"

namespace {

constexpr int kMaxMessage = TQException::kMessageBufferSize - 1;  // 1024

// The style bit every error box has always carried on top of the caller's
// type: 0x40000, the value Win32 headers also name MB_TOPMOST, which keeps the
// box above the tool's windows.
constexpr UINT kForegroundStyle = 0x40000;

// Copies at most 1024 characters of `text` into `buffer` and stores a NUL
// at index 1024, so the result is terminated whatever the text's length.
void CopyMessage(char* buffer, const char* text) {
  size_t length = std::strlen(text);
  if (length > static_cast<size_t>(kMaxMessage)) length = kMaxMessage;
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  buffer[kMaxMessage] = '\0';
}

// Writes the text of resource (`module`, `id`) into `buffer` (room for
// kMessageBufferSize bytes). A missing resource reads
// "*** Can't load string <id>". Reads through a string handle, so it needs
// no heap memory; while every handle slot is busy it loads directly.
void LoadMessageText(HINSTANCE module, unsigned int id, char* buffer) {
  StrUtil::StringHandle text(module, id);
  if (!text.IsNull()) {
    CopyMessage(buffer, text);
    return;
  }
  if (::LoadStringA(module, id, buffer, TQException::kMessageBufferSize) == 0)
    std::snprintf(buffer, TQException::kMessageBufferSize, "*** Can't load string %u", id);
  buffer[kMaxMessage] = '\0';
}

// Appends `text` to the NUL-terminated `buffer` of `room` free bytes (the NUL
// included): at most room - 1 characters, NUL at the last byte of the room.
// Returns the room left.
size_t AppendBounded(char* buffer, size_t room, const char* text) {
  if (room == 0) return 0;
  char* end = buffer + std::strlen(buffer);
  size_t length = std::strlen(text);
  if (length > room - 1) length = room - 1;
  std::memcpy(end, text, length);
  end[length] = '\0';
  end[room - 1] = '\0';
  return room - length;
}

}  // namespace

[[noreturn]] void TQThrowMemoryException() { throw TQMemoryException(); }

// --- TQException -----------------------------------------------------------

TQException::TQException(HINSTANCE module, unsigned int id) : m_id(id), m_module(module) {}

TQException::~TQException() = default;

bool TQException::GetErrorMessage(char* buffer) const {
  if (m_id == 0)
    LoadMessageText(TQUtil::ModuleHandle(), TQRes::kExceptionOccurred, buffer);
  else
    LoadMessageText(m_module, m_id, buffer);
  return true;
}

int TQException::DisplayErrorMessage(unsigned int type, const char* caption, HWND owner) const {
  char message[kMessageBufferSize];
  if (!GetErrorMessage(message)) return 0;
  if (type == 0) type = MB_ICONEXCLAMATION;
  char caption_buffer[kMessageBufferSize];
  if (caption == nullptr) {
    LoadMessageText(TQUtil::ModuleHandle(), TQRes::kErrorCaption, caption_buffer);
    caption = caption_buffer;
  }
  const UINT icon = type & MB_ICONMASK;
  TQMessageBeep(icon != 0 ? icon : 0xFFFFFFFFu);
  UINT style = type | kForegroundStyle;
  if (owner == nullptr) style |= MB_TASKMODAL;
  return TQMessageBox(owner, message, caption, style);
}

// --- TQGeneralException ----------------------------------------------------

void TQGeneralException::MessageArguments::Add(const TQString& argument) {
  TQArray<TQString, const TQString&>::Add(argument);
}

TQGeneralException::TQGeneralException(HINSTANCE module, unsigned int id)
    : TQException(module, id) {}

TQGeneralException::TQGeneralException(HINSTANCE module, unsigned int id,
                                       const TQString& argument)
    : TQException(module, id) {
  m_arguments.Add(argument);
}

TQGeneralException::TQGeneralException(HINSTANCE module, unsigned int id,
                                       const MessageArguments& arguments)
    : TQException(module, id) {
  for (int i = 0; i < arguments.GetSize(); ++i) m_arguments.Add(arguments.data[i]);
}

TQGeneralException::TQGeneralException(const TQGeneralException& other)
    : TQException(other), m_arguments(other.m_arguments) {}

TQGeneralException& TQGeneralException::operator=(const TQGeneralException& other) {
  TQException::operator=(other);
  m_arguments = other.m_arguments;
  return *this;
}

TQGeneralException::~TQGeneralException() = default;

bool TQGeneralException::GetErrorMessage(char* buffer) const {
  if (m_id == 0) return TQException::GetErrorMessage(buffer);

  char message_template[kMessageBufferSize];
  LoadMessageText(m_module, m_id, message_template);

  const int count = m_arguments.GetSize();
  DWORD_PTR* inserts = nullptr;
  if (count > 0) {
    inserts = new (std::nothrow) DWORD_PTR[static_cast<size_t>(count)];
    if (inserts == nullptr) return false;
    for (int i = 0; i < count; ++i)
      inserts[i] = reinterpret_cast<DWORD_PTR>(static_cast<const char*>(m_arguments.data[i]));
  }
  char* formatted = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      message_template, 0, 0, reinterpret_cast<LPSTR>(&formatted), 0,
      reinterpret_cast<va_list*>(inserts));
  delete[] inserts;
  if (length == 0 || formatted == nullptr) return false;
  CopyMessage(buffer, formatted);
  ::LocalFree(formatted);
  return true;
}

// --- TQSystemException -----------------------------------------------------

TQSystemException::TQSystemException(DWORD error, HINSTANCE module, unsigned int id)
    : TQGeneralException(module, id), m_error(error) {}

TQSystemException::TQSystemException(DWORD error, HINSTANCE module, unsigned int id,
                                     const TQString& argument)
    : TQGeneralException(module, id, argument), m_error(error) {}

TQSystemException::TQSystemException(DWORD error, HINSTANCE module, unsigned int id,
                                     const MessageArguments& arguments)
    : TQGeneralException(module, id, arguments), m_error(error) {}

TQSystemException::~TQSystemException() = default;

bool TQSystemException::GetErrorMessage(char* buffer) const {
  if (!TQGeneralException::GetErrorMessage(buffer)) return false;
  char system_text[1024];
  if (::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       m_error, 0, system_text, sizeof(system_text), nullptr) == 0)
    return false;
  size_t room = static_cast<size_t>(kMaxMessage) - std::strlen(buffer);
  room = AppendBounded(buffer, room, "\r\n\r\n");
  AppendBounded(buffer, room, system_text);
  return true;
}

// --- TQMemoryException -----------------------------------------------------

TQMemoryException::TQMemoryException() : TQException(nullptr, 0) {}

TQMemoryException::~TQMemoryException() = default;

bool TQMemoryException::GetErrorMessage(char* buffer) const {
  LoadMessageText(TQUtil::ModuleHandle(), TQRes::kOutOfMemory, buffer);
  return true;
}

// --- Stream exceptions -----------------------------------------------------

TQStreamException::TQStreamException(const TQString& name, unsigned int id)
    : TQStreamException(GetLastError(), name, id) {}

TQStreamException::TQStreamException(DWORD error, const TQString& name, unsigned int id)
    : TQSystemException(error, TQUtil::ModuleHandle(), id, name) {}

TQStreamException::~TQStreamException() = default;

TQStreamOpenException::TQStreamOpenException(const TQString& name)
    : TQStreamException(GetLastError(), name, TQRes::kUnableToOpenFile) {}

TQStreamOpenException::~TQStreamOpenException() = default;
