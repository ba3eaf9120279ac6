// TQException.h: the library's exception hierarchy.
//
//   TQException                 a string-resource id and its module
//   +- TQGeneralException       ... plus insertion arguments (%1, %2, ...)
//   |  +- TQSystemException     ... plus a Win32 error code
//   |     +- TQStreamException
//   |        +- TQStreamOpenException   "Unable to open file "%1""
//   +- TQMemoryException        "The system is out of memory. ..."
//
// An exception carries no text of its own. Its message is built when
// GetErrorMessage asks for it, from the string resource (`module`, `id`),
// so that module must still be loaded then. Messages are cut at 1024
// characters. Building a message throws nothing: every failure ends in
// false from GetErrorMessage and 0 from DisplayErrorMessage.
//
// Exceptions are thrown and caught by value and are not shared between
// threads.
#ifndef TQRTL_ERRORS_TQEXCEPTION_H_
#define TQRTL_ERRORS_TQEXCEPTION_H_

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

class TQRTL_API TQException {
 public:
  // Size of the buffer GetErrorMessage writes: 1024 characters and a NUL.
  static constexpr int kMessageBufferSize = 1025;

  explicit TQException(HINSTANCE module = nullptr, unsigned int id = 0);
  TQException(const TQException& other) = default;
  TQException& operator=(const TQException& other) = default;
  virtual ~TQException();

  // DisplayErrorMessage: shows the message in a message box and returns the
  // id of the button pressed; 0, showing nothing, when no message could be
  // built. `type` 0 means MB_ICONEXCLAMATION; a null `caption` means the
  // library's "Vantor Lintel - Error". The box is preceded by the beep that
  // matches its icon, and is task-modal when `owner` is null.
  int DisplayErrorMessage(unsigned int type = 0, const char* caption = nullptr,
                          HWND owner = nullptr) const;

  // GetErrorMessage: writes the complete message into `buffer` and returns
  // true, or returns false when no message could be built (the buffer is
  // then undefined). REQUIRES: `buffer` has room for kMessageBufferSize
  // bytes.
  virtual bool GetErrorMessage(char* buffer) const;

  HINSTANCE GetModule() const { return m_module; }
  unsigned int GetId() const { return m_id; }

 protected:
  unsigned int m_id;
  HINSTANCE m_module;
};

class TQRTL_API TQGeneralException : public TQException {
 public:
  // The insertion strings of the message; argument %1 is element 0.
  class TQRTL_API MessageArguments : public TQArray<TQString, const TQString&> {
   public:
    // Add: appends `argument` (the array grows by the array's rule).
    void Add(const TQString& argument);
  };

  explicit TQGeneralException(HINSTANCE module = nullptr, unsigned int id = 0);
  TQGeneralException(HINSTANCE module, unsigned int id, const TQString& argument);
  TQGeneralException(HINSTANCE module, unsigned int id, const MessageArguments& arguments);
  TQGeneralException(const TQGeneralException& other);
  TQGeneralException& operator=(const TQGeneralException& other);
  ~TQGeneralException() override;

  // GetErrorMessage: with id 0 the library's generic message (504);
  // otherwise the resource text used as a FormatMessageA template with the
  // arguments inserted. False when formatting fails.
  bool GetErrorMessage(char* buffer) const override;

  const MessageArguments& GetArguments() const { return m_arguments; }

 protected:
  MessageArguments m_arguments;
};

class TQRTL_API TQSystemException : public TQGeneralException {
 public:
  // The default `error` is the calling thread's last Win32 error.
  explicit TQSystemException(DWORD error = GetLastError(), HINSTANCE module = nullptr,
                             unsigned int id = 0);
  TQSystemException(DWORD error, HINSTANCE module, unsigned int id, const TQString& argument);
  TQSystemException(DWORD error, HINSTANCE module, unsigned int id,
                    const MessageArguments& arguments);
  TQSystemException(const TQSystemException& other) = default;
  TQSystemException& operator=(const TQSystemException& other) = default;
  ~TQSystemException() override;

  // GetErrorMessage: the general message, a blank line ("\r\n\r\n") and the
  // system's text for the error code, the whole within 1023 characters.
  // False when either part cannot be built, including an error code the
  // system has no text for.
  bool GetErrorMessage(char* buffer) const override;

  DWORD GetError() const { return m_error; }

 protected:
  DWORD m_error;
};

class TQRTL_API TQMemoryException : public TQException {
 public:
  TQMemoryException();
  TQMemoryException(const TQMemoryException& other) = default;
  TQMemoryException& operator=(const TQMemoryException& other) = default;
  ~TQMemoryException() override;

  // GetErrorMessage: the out-of-memory text (505). Needs no heap memory.
  bool GetErrorMessage(char* buffer) const override;
};

class TQRTL_API TQStreamException : public TQSystemException {
 public:
  // Reads the last Win32 error first, before anything can change it; the
  // message is resource `id` of the library with `name` as %1.
  TQStreamException(const TQString& name, unsigned int id);
  TQStreamException(const TQStreamException& other) = default;
  TQStreamException& operator=(const TQStreamException& other) = default;
  ~TQStreamException() override;

 protected:
  // Used by the derived class, which has already read the last error.
  TQStreamException(DWORD error, const TQString& name, unsigned int id);
};

class TQRTL_API TQStreamOpenException : public TQStreamException {
 public:
  // "Unable to open file "<name>"", then the system text of the last error.
  explicit TQStreamOpenException(const TQString& name);
  TQStreamOpenException(const TQStreamOpenException& other) = default;
  TQStreamOpenException& operator=(const TQStreamOpenException& other) = default;
  ~TQStreamOpenException() override;
};

#endif  // TQRTL_ERRORS_TQEXCEPTION_H_
