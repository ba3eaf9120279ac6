// win32.h: the one header through which the library reaches the system.
//
// On Windows it includes <windows.h> and the COM stream headers. Everywhere
// else it declares the Win32 types, structures, constants and error codes the
// library uses, with Win32's names, sizes and values, and the functions that
// the POSIX layer (tqrtl/platform/posix/) implements with Win32's results and
// GetLastError codes. The contract of each service is in
// tqrtl/platform/README.md.
//
// Sizes: the library keeps Win32's 32-bit fields 32-bit (DWORD, LONG, UINT
// are 32 bits on every system); handles and the *_PTR types are
// pointer-sized. Wide text is 16-bit UTF-16 (WCHAR is unsigned short here);
// narrow text is in the process code page, UTF-8 on Linux.
//
// Both builds also get the library's own platform extensions
// (tqrtl/platform/tqplatform.h): the message-box presenter, module string
// tables and the module-of-an-address query.
#ifndef TQRTL_PLATFORM_WIN32_H_
#define TQRTL_PLATFORM_WIN32_H_

#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>
#include <objidl.h>
#include <process.h>
#include <richedit.h>
#include <io.h>
#include <share.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

#else  // !_WIN32

#include <stdio.h>
#include <time.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "tqrtl/platform/export.h"

// ---------------------------------------------------------------------------
// Calling conventions and annotations: meaningless outside Windows.
#define WINAPI
#define WINAPIV
#define APIENTRY
#define CALLBACK
#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT
#define CONST const
#define FAR
#define NEAR

// ---------------------------------------------------------------------------
// Scalar types. Win32's 32-bit types stay 32-bit on LP64 systems.
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef unsigned char BOOLEAN;
typedef char CHAR;
typedef unsigned short WCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef unsigned short WORD;
typedef int INT;
typedef unsigned int UINT;
typedef int LONG;
typedef unsigned int ULONG;
typedef unsigned int DWORD;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef unsigned long long DWORD64;
typedef float FLOAT;
typedef std::intptr_t INT_PTR;
typedef std::uintptr_t UINT_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t ULONG_PTR;
typedef std::uintptr_t DWORD_PTR;
typedef DWORD_PTR* PDWORD_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef LONG HRESULT;
typedef WORD ATOM;
typedef DWORD COLORREF;
typedef DWORD LCID;
typedef WORD LANGID;
typedef DWORD LCTYPE;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;
typedef LONG LSTATUS;

typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BOOL* LPBOOL;
typedef BYTE* LPBYTE;
typedef BYTE* PBYTE;
typedef const BYTE* LPCBYTE;
typedef WORD* LPWORD;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef LONG* LPLONG;
typedef LONG* PLONG;
typedef INT* LPINT;
typedef UINT* LPUINT;
typedef CHAR* LPSTR;
typedef CHAR* PSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCSTR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG volatile* PLONG_VOLATILE;

// ---------------------------------------------------------------------------
// Handles. Each kind is a distinct pointer type, as with STRICT on Windows.
#define TQRTL_DECLARE_HANDLE(name) \
  struct name##__ {                \
    int unused;                    \
  };                               \
  typedef struct name##__* name
typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef HANDLE* PHANDLE;
TQRTL_DECLARE_HANDLE(HWND);
TQRTL_DECLARE_HANDLE(HINSTANCE);
TQRTL_DECLARE_HANDLE(HKEY);
TQRTL_DECLARE_HANDLE(HDC);
TQRTL_DECLARE_HANDLE(HBRUSH);
TQRTL_DECLARE_HANDLE(HICON);
TQRTL_DECLARE_HANDLE(HMENU);
TQRTL_DECLARE_HANDLE(HFONT);
TQRTL_DECLARE_HANDLE(HPEN);
TQRTL_DECLARE_HANDLE(HBITMAP);
TQRTL_DECLARE_HANDLE(HRSRC);
typedef HINSTANCE HMODULE;
typedef HICON HCURSOR;
typedef HKEY* PHKEY;
typedef void* HGDIOBJ;
typedef HANDLE HLOCAL;
typedef HANDLE HGLOBAL;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef BOOL(CALLBACK* WNDENUMPROC)(HWND, LPARAM);
typedef INT_PTR(WINAPI* FARPROC)();
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);
typedef LPTHREAD_START_ROUTINE PTHREAD_START_ROUTINE;

// ---------------------------------------------------------------------------
// Basic constants and macros.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define INVALID_FILE_SIZE 0xFFFFFFFFu

#define MAKEWORD(a, b) \
  (static_cast<WORD>((static_cast<BYTE>(a)) | (static_cast<WORD>(static_cast<BYTE>(b)) << 8)))
#define MAKELONG(a, b)                                       \
  (static_cast<LONG>((static_cast<WORD>(a)) |                \
                     (static_cast<DWORD>(static_cast<WORD>(b)) << 16)))
#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD_PTR>(l) & 0xFFFF))
#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD_PTR>(l) >> 16) & 0xFFFF))
#define LOBYTE(w) (static_cast<BYTE>(static_cast<DWORD_PTR>(w) & 0xFF))
#define HIBYTE(w) (static_cast<BYTE>((static_cast<DWORD_PTR>(w) >> 8) & 0xFF))
#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKELPARAM(l, h) (static_cast<LPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKELRESULT(l, h) (static_cast<LRESULT>(static_cast<DWORD>(MAKELONG(l, h))))
#define RGB(r, g, b)                                                  \
  (static_cast<COLORREF>(static_cast<BYTE>(r) |                        \
                         (static_cast<WORD>(static_cast<BYTE>(g)) << 8) | \
                         (static_cast<DWORD>(static_cast<BYTE>(b)) << 16)))
#define GetRValue(rgb) (LOBYTE(rgb))
#define GetGValue(rgb) (LOBYTE((static_cast<WORD>(rgb)) >> 8))
#define GetBValue(rgb) (LOBYTE((rgb) >> 16))
#define MAKEINTATOM(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(r) ((static_cast<ULONG_PTR>(reinterpret_cast<ULONG_PTR>(r)) >> 16) == 0)
#define MAKELANGID(p, s) (static_cast<WORD>((static_cast<WORD>(s) << 10) | static_cast<WORD>(p)))
#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_ENGLISH_US 0x01

// ---------------------------------------------------------------------------
// Structures.
typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE, *PSIZE, *LPSIZE;

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *PRECT, *LPRECT;
typedef const RECT* LPCRECT;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

// Only passed through (CreateICA); its layout is not used.
struct _devicemodeA;
typedef struct _devicemodeA DEVMODEA, *LPDEVMODEA;

typedef struct _SYSTEM_INFO {
  WORD wProcessorArchitecture;
  WORD wReserved;
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;

typedef struct tagWNDCLASSEXA {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
  HICON hIconSm;
} WNDCLASSEXA, *PWNDCLASSEXA, *LPWNDCLASSEXA;

typedef struct tagCREATESTRUCTA {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
} CREATESTRUCTA, *LPCREATESTRUCTA;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *PMSG, *LPMSG;

typedef struct tagCOPYDATASTRUCT {
  ULONG_PTR dwData;
  DWORD cbData;
  PVOID lpData;
} COPYDATASTRUCT, *PCOPYDATASTRUCT;

typedef struct _numberfmtA {
  UINT NumDigits;
  UINT LeadingZero;
  UINT Grouping;
  LPSTR lpDecimalSep;
  LPSTR lpThousandSep;
  UINT NegativeOrder;
} NUMBERFMTA, *LPNUMBERFMTA;

#define LF_FACESIZE 32
typedef struct tagLOGFONTA {
  LONG lfHeight;
  LONG lfWidth;
  LONG lfEscapement;
  LONG lfOrientation;
  LONG lfWeight;
  BYTE lfItalic;
  BYTE lfUnderline;
  BYTE lfStrikeOut;
  BYTE lfCharSet;
  BYTE lfOutPrecision;
  BYTE lfClipPrecision;
  BYTE lfQuality;
  BYTE lfPitchAndFamily;
  CHAR lfFaceName[LF_FACESIZE];
} LOGFONTA, *PLOGFONTA, *LPLOGFONTA;

typedef struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

// A recursive lock owned by one thread at a time. The POSIX layer keeps its
// state in these fields: LockSemaphore is the futex word, OwningThread the
// owner's thread id and RecursionCount its depth.
typedef struct _RTL_CRITICAL_SECTION {
  PVOID DebugInfo;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;
  ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

// GUIDs, IUnknown and the structured-storage stream interface. Only their
// layout and result codes are used; no COM run-time function exists here.
typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID, IID, CLSID;
typedef const IID& REFIID;
typedef const GUID& REFGUID;
typedef const CLSID& REFCLSID;
inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

typedef struct tagSTATSTG {
  LPOLESTR pwcsName;
  DWORD type;
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
} STATSTG;

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

struct ISequentialStream : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

 protected:
  ~ISequentialStream() = default;
};

struct IStream : public ISequentialStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                        ULARGE_INTEGER* plibNewPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                                          ULARGE_INTEGER* pcbRead,
                                          ULARGE_INTEGER* pcbWritten) = 0;
  virtual HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Revert() = 0;
  virtual HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                              DWORD dwLockType) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                                DWORD dwLockType) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) = 0;

 protected:
  ~IStream() = default;
};
typedef IStream* LPSTREAM;

// ---------------------------------------------------------------------------
// Result codes (HRESULT).
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define TQRTL_HR(v) (static_cast<HRESULT>(static_cast<DWORD>(v)))
#define S_OK TQRTL_HR(0x00000000u)
#define S_FALSE TQRTL_HR(0x00000001u)
#define E_NOTIMPL TQRTL_HR(0x80004001u)
#define E_NOINTERFACE TQRTL_HR(0x80004002u)
#define E_POINTER TQRTL_HR(0x80004003u)
#define E_FAIL TQRTL_HR(0x80004005u)
#define E_UNEXPECTED TQRTL_HR(0x8000FFFFu)
#define E_OUTOFMEMORY TQRTL_HR(0x8007000Eu)
#define E_INVALIDARG TQRTL_HR(0x80070057u)
#define STG_E_INVALIDFUNCTION TQRTL_HR(0x80030001u)
#define STG_E_FILENOTFOUND TQRTL_HR(0x80030002u)
#define STG_E_ACCESSDENIED TQRTL_HR(0x80030005u)
#define STG_E_INSUFFICIENTMEMORY TQRTL_HR(0x80030008u)
#define STG_E_INVALIDPOINTER TQRTL_HR(0x80030009u)
#define STG_E_WRITEFAULT TQRTL_HR(0x8003001Du)
#define STG_E_READFAULT TQRTL_HR(0x8003001Eu)
#define STG_E_MEDIUMFULL TQRTL_HR(0x80030070u)
#define STG_E_INVALIDFLAG TQRTL_HR(0x800300FFu)
#define STG_E_CANTSAVE TQRTL_HR(0x80030103u)
#define STG_E_INVALIDPARAMETER TQRTL_HR(0x80030057u)
#define HRESULT_FROM_WIN32(x)                                                          \
  (static_cast<HRESULT>(x) <= 0                                                        \
       ? static_cast<HRESULT>(x)                                                       \
       : static_cast<HRESULT>((static_cast<DWORD>(x) & 0x0000FFFFu) | (7u << 16) | 0x80000000u))

// IStream constants.
#define STREAM_SEEK_SET 0
#define STREAM_SEEK_CUR 1
#define STREAM_SEEK_END 2
#define STGTY_STORAGE 1
#define STGTY_STREAM 2
#define STGTY_LOCKBYTES 3
#define STGTY_PROPERTY 4
#define STATFLAG_DEFAULT 0
#define STATFLAG_NONAME 1
#define STATFLAG_NOOPEN 2
#define STGC_DEFAULT 0
#define LOCK_WRITE 1
#define LOCK_EXCLUSIVE 2
#define LOCK_ONLYONCE 4
#define STGM_READ 0x00000000
#define STGM_WRITE 0x00000001
#define STGM_READWRITE 0x00000002

// ---------------------------------------------------------------------------
// Win32 error codes (GetLastError). Those the POSIX layer produces have the
// Windows system text (FormatMessageA with FORMAT_MESSAGE_FROM_SYSTEM).
#define NO_ERROR 0L
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_DISK_FULL 112L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_NOT_LOCKED 158L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_MORE_DATA 234L
#define ERROR_WAIT_TIMEOUT 258L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DIRECTORY 267L
#define ERROR_NOT_OWNER 288L
#define ERROR_PARTIAL_COPY 299L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_NOACCESS 998L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_FILE_INVALID 1006L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_KEY_HAS_CHILDREN 1020L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_IO_DEVICE 1117L
#define ERROR_MAPPED_ALIGNMENT 1132L
#define ERROR_NOT_FOUND 1168L
#define ERROR_CONNECTION_REFUSED 1225L
#define ERROR_ALREADY_INITIALIZED 1247L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_INVALID_INDEX 1413L
#define ERROR_UNABLE_TO_MOVE_REPLACEMENT 1176L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_TIMEOUT 1460L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_CANT_RESOLVE_FILENAME 1921L
#define STILL_ACTIVE 259L

// Module entry reasons.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// ---------------------------------------------------------------------------
// FormatMessageA.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

// Local memory (the buffers FormatMessageA allocates).
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Code pages.
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_COMPOSITECHECK 0x00000200
#define WC_NO_BEST_FIT_CHARS 0x00000400

// Locale information.
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_NOUSEROVERRIDE 0x80000000
#define LOCALE_SDECIMAL 0x0000000E
#define LOCALE_STHOUSAND 0x0000000F
#define LOCALE_SGROUPING 0x00000010
#define LOCALE_IDIGITS 0x00000011
#define LOCALE_ILZERO 0x00000012
#define LOCALE_INEGNUMBER 0x00001010

// Message boxes.
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ABORTRETRYIGNORE 0x00000002u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_RETRYCANCEL 0x00000005u
#define MB_CANCELTRYCONTINUE 0x00000006u
#define MB_TYPEMASK 0x0000000Fu
#define MB_ICONHAND 0x00000010u
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONASTERISK 0x00000040u
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_ICONMASK 0x000000F0u
#define MB_DEFBUTTON1 0x00000000u
#define MB_DEFBUTTON2 0x00000100u
#define MB_DEFBUTTON3 0x00000200u
#define MB_DEFBUTTON4 0x00000300u
#define MB_DEFMASK 0x00000F00u
#define MB_APPLMODAL 0x00000000u
#define MB_SYSTEMMODAL 0x00001000u
#define MB_TASKMODAL 0x00002000u
#define MB_SETFOREGROUND 0x00010000u
#define MB_TOPMOST 0x00040000u
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#define IDTRYAGAIN 10
#define IDCONTINUE 11

// Registry.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000003u)))
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_OPTION_VOLATILE 0x00000001
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define SYNCHRONIZE 0x00100000
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_REQUIRED 0x000F0000
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ \
  ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & ~SYNCHRONIZE)
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)
#define KEY_EXECUTE (KEY_READ & ~SYNCHRONIZE)
#define KEY_ALL_ACCESS                                                                       \
  ((STANDARD_RIGHTS_REQUIRED | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |        \
    KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) &                                 \
   ~SYNCHRONIZE)

// Kernel objects, memory and waits.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define SEC_COMMIT 0x08000000
#define FILE_MAP_COPY 0x0001
#define FILE_MAP_WRITE 0x0002
#define FILE_MAP_READ 0x0004
#define FILE_MAP_ALL_ACCESS 0x000F001F
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x001F0003
#define HEAP_NO_SERIALIZE 0x00000001
#define HEAP_GENERATE_EXCEPTIONS 0x00000004
#define HEAP_ZERO_MEMORY 0x00000008
#define HEAP_REALLOC_IN_PLACE_ONLY 0x00000010
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define DONT_RESOLVE_DLL_REFERENCES 0x00000001
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
#define PROCESSOR_ARCHITECTURE_INTEL 0
#define PROCESSOR_ARCHITECTURE_AMD64 9

// Windows, messages and the display.
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_COPYDATA 0x004A
#define WM_USER 0x0400
#define WM_APP 0x8000
#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_OVERLAPPEDWINDOW \
  (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define CW_USEDEFAULT (static_cast<int>(0x80000000u))
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<LONG_PTR>(-3)))
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define GWL_USERDATA (-21)
#define GWLP_USERDATA (-21)
#define GWLP_WNDPROC (-4)
#define SMTO_NORMAL 0x0000
#define SMTO_BLOCK 0x0001
#define SMTO_ABORTIFHUNG 0x0002
#define SMTO_NOTIMEOUTIFNOTHUNG 0x0008
#define IDI_APPLICATION MAKEINTRESOURCEA(32512)
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define COLOR_WINDOW 5
#define COLOR_WINDOWTEXT 8
#define COLOR_HIGHLIGHT 13
#define COLOR_HIGHLIGHTTEXT 14
#define COLOR_BTNFACE 15
#define COLOR_GRAYTEXT 17
#define LOGPIXELSX 88
#define LOGPIXELSY 90
#define FW_NORMAL 400
#define FW_BOLD 700
#define ANSI_CHARSET 0
#define DEFAULT_CHARSET 1
#define OUT_DEFAULT_PRECIS 0
#define CLIP_DEFAULT_PRECIS 0
#define DEFAULT_QUALITY 0
#define DEFAULT_PITCH 0
#define FIXED_PITCH 1
#define FF_DONTCARE 0x00
#define FF_MODERN 0x30
// Rich-text character effects (CHARFORMAT dwEffects).
#define CFE_BOLD 0x0001
#define CFE_ITALIC 0x0002
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_MENU 0x12
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_CAPITAL 0x14
#define VK_NUMPAD0 0x60
#define VK_NUMPAD9 0x69
#define VK_MULTIPLY 0x6A
#define VK_ADD 0x6B
#define VK_SUBTRACT 0x6D
#define VK_DECIMAL 0x6E
#define VK_DIVIDE 0x6F
#define VK_OEM_1 0xBA
#define VK_OEM_PLUS 0xBB
#define VK_OEM_COMMA 0xBC
#define VK_OEM_MINUS 0xBD
#define VK_OEM_PERIOD 0xBE
#define VK_OEM_2 0xBF
#define VK_OEM_3 0xC0
#define VK_OEM_4 0xDB
#define VK_OEM_5 0xDC
#define VK_OEM_6 0xDD
#define VK_OEM_7 0xDE
// GetDeviceCaps indexes.
#define HORZRES 8
#define VERTRES 10
#define BITSPIXEL 12
#define PLANES 14

// ---------------------------------------------------------------------------
// Functions the POSIX layer provides. Each behaves as its Win32 namesake,
// with the same results and GetLastError codes; tqrtl/platform/README.md
// lists where and why a detail differs.
extern "C" {

// Last error (per thread).
TQRTL_API DWORD WINAPI GetLastError(void);
TQRTL_API void WINAPI SetLastError(DWORD error);

// Message texts.
TQRTL_API DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId,
                                      DWORD languageId, LPSTR buffer, DWORD size,
                                      va_list* arguments);
TQRTL_API HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
TQRTL_API HLOCAL WINAPI LocalFree(HLOCAL memory);

// Memory probes. IsBadReadPtr / IsBadWritePtr: TRUE when some byte of the
// `size` bytes at `p` is not mapped readable (writable) in this process,
// judged from the kernel's map of the process, without touching the memory;
// a range that wraps around the address space is bad; a size of 0 is never
// bad. The answer can be stale as soon as it is given if another thread
// changes the mappings.
TQRTL_API BOOL WINAPI IsBadReadPtr(const void* p, UINT_PTR size);
TQRTL_API BOOL WINAPI IsBadWritePtr(LPVOID p, UINT_PTR size);

// _close: closes a C run-time file descriptor (close). 0, or -1 with errno.
TQRTL_API int _close(int fd);

// Modules and string resources.
TQRTL_API HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName);
TQRTL_API DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
TQRTL_API int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax);

// Modules as data. LoadLibraryExA(path, null, LOAD_LIBRARY_AS_DATAFILE) maps
// the file read-only, without running any of it, when the system's loader
// would accept it (here: an ELF shared object or executable of this
// machine), and returns a handle with bit 0 set; FreeLibrary unmaps it.
// Failures: a missing file gives ERROR_MOD_NOT_FOUND, a file that is not
// such an image (an empty one too) ERROR_BAD_EXE_FORMAT, other flags or a
// file handle ERROR_INVALID_PARAMETER (code is loaded by other means);
// FreeLibrary of anything else gives FALSE with ERROR_INVALID_HANDLE (see
// LoadLibraryA for modules of code).
TQRTL_API HMODULE WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags);
TQRTL_API BOOL WINAPI FreeLibrary(HMODULE module);

// Code pages. The narrow (ANSI) code page is UTF-8: GetACP() is CP_UTF8 and
// CP_ACP means UTF-8. The OEM code page is 437. MultiByteToWideChar and
// WideCharToMultiByte know CP_ACP, CP_OEMCP, CP_UTF8, 437 and 1252; any other
// code page fails with ERROR_INVALID_PARAMETER, a flag Win32 does not
// define with ERROR_INVALID_FLAGS. Their differences from Windows:
// - No best-fit mappings: a character that a single-byte code page lacks
//   always becomes the default character, as if WC_NO_BEST_FIT_CHARS were
//   given. MB_COMPOSITE and WC_COMPOSITECHECK are accepted but neither
//   decompose nor compose.
// - Flags that Windows refuses for CP_UTF8 (MB_PRECOMPOSED, the WC_ flags
//   other than WC_ERR_INVALID_CHARS) are ignored, so code written for a
//   single-byte ANSI code page keeps working. A default character or a
//   used-default flag is still refused for an explicit CP_UTF8; with CP_ACP
//   it is allowed, and *usedDefaultChar reports whether an unpaired
//   surrogate had to be replaced.
// - Invalid UTF-8 becomes one U+FFFD per maximal invalid subsequence (the
//   Unicode recommendation), e.g. a truncated three-byte sequence gives one.
//
// CharToOemA / CharToOemBuffA convert UTF-8 to code page 437; the result is
// never longer than the source, so the conversion may be in place. A
// character 437 lacks, or an invalid byte, becomes '?'. The Buff form writes
// exactly `length` bytes, padding with NULs after a shortened result.
//
// OemToCharA / OemToCharBuffA convert code page 437 to UTF-8, which can be
// up to 3 bytes per source byte: a separate destination needs room for
// 3 * length (+1 for the NUL of OemToCharA). In place (source ==
// destination) the result is cut at a character boundary so that it fits
// in the source's own bytes: OemToCharA writes nothing past the source's
// NUL, and OemToCharBuffA writes exactly `length` bytes, padding with NULs.
// All four return FALSE with ERROR_INVALID_PARAMETER for a null pointer.
// REQUIRES: source and destination are the same buffer or do not overlap.
TQRTL_API UINT WINAPI GetACP(void);
TQRTL_API UINT WINAPI GetOEMCP(void);
TQRTL_API int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte,
                                         int multiByteCount, LPWSTR wideChar,
                                         int wideCharCount);
TQRTL_API int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideChar,
                                         int wideCharCount, LPSTR multiByte,
                                         int multiByteCount, LPCSTR defaultChar,
                                         LPBOOL usedDefaultChar);
TQRTL_API BOOL WINAPI CharToOemA(LPCSTR source, LPSTR destination);
TQRTL_API BOOL WINAPI OemToCharA(LPCSTR source, LPSTR destination);
TQRTL_API BOOL WINAPI CharToOemBuffA(LPCSTR source, LPSTR destination, DWORD length);
TQRTL_API BOOL WINAPI OemToCharBuffA(LPCSTR source, LPSTR destination, DWORD length);

// Strings. lstrlenA/W of a null pointer is 0; lstrcpyA, lstrcpynA and
// lstrcatA return null, copying nothing, when either pointer is null.
// lstrcpynA copies at most maxLength - 1 characters and always adds the NUL;
// a maxLength of 0 or less writes nothing. lstrcmpA and lstrcmpiA return
// -1, 0 or 1 in a fixed word-sort order that imitates the Windows user
// locale for ASCII: symbols, then digits, then letters (a A b B ...);
// hyphens, apostrophes and most control characters count only when all else
// is equal; lstrcmpA puts lower case first when the letters match. Other
// characters sort after the ASCII letters by code point.
TQRTL_API int WINAPI lstrlenA(LPCSTR text);
TQRTL_API int WINAPI lstrlenW(LPCWSTR text);
TQRTL_API LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source);
TQRTL_API LPSTR WINAPI lstrcpynA(LPSTR destination, LPCSTR source, int maxLength);
TQRTL_API LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source);
TQRTL_API int WINAPI lstrcmpA(LPCSTR a, LPCSTR b);
TQRTL_API int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b);
TQRTL_API int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...);
TQRTL_API int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list arguments);

// Registry: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE, each a store of its
// own (tqrtl/platform/README.md). The calls return a Win32 error code and
// leave the last error alone, as on Windows.
TQRTL_API LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                       PHKEY result);
TQRTL_API LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR cls,
                                         DWORD options, REGSAM access,
                                         const SECURITY_ATTRIBUTES* security, PHKEY result,
                                         LPDWORD disposition);
TQRTL_API LSTATUS WINAPI RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result);
TQRTL_API LSTATUS WINAPI RegCloseKey(HKEY key);
TQRTL_API LSTATUS WINAPI RegFlushKey(HKEY key);
TQRTL_API LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey);
TQRTL_API LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName);
TQRTL_API LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                        const BYTE* data, DWORD size);
TQRTL_API LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved,
                                          LPDWORD type, LPBYTE data, LPDWORD size);
TQRTL_API LSTATUS WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                                       LPDWORD reserved, LPSTR cls, LPDWORD clsLength,
                                       PFILETIME lastWriteTime);
TQRTL_API LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                                       LPDWORD reserved, LPDWORD type, LPBYTE data,
                                       LPDWORD size);
TQRTL_API LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR cls, LPDWORD clsLength,
                                          LPDWORD reserved, LPDWORD subKeys,
                                          LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                          LPDWORD values, LPDWORD maxValueNameLength,
                                          LPDWORD maxValueLength, LPDWORD securityDescriptor,
                                          PFILETIME lastWriteTime);

// Windows and messages. A window is a message endpoint that other processes
// of the same user can reach; nothing is drawn. See tqrtl/platform/README.md
// ("Windows and messages") for the model, the limits and the failures.
TQRTL_API ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* windowClass);
TQRTL_API HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName,
                                      DWORD style, int x, int y, int width, int height,
                                      HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
TQRTL_API BOOL WINAPI DestroyWindow(HWND window);
TQRTL_API BOOL WINAPI ShowWindow(HWND window, int command);
TQRTL_API BOOL WINAPI UpdateWindow(HWND window);
TQRTL_API BOOL WINAPI IsWindow(HWND window);
TQRTL_API LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
TQRTL_API LONG_PTR WINAPI GetWindowLongPtrA(HWND window, int index);
TQRTL_API LONG_PTR WINAPI SetWindowLongPtrA(HWND window, int index, LONG_PTR value);
TQRTL_API BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
TQRTL_API BOOL WINAPI TranslateMessage(const MSG* msg);
TQRTL_API LRESULT WINAPI DispatchMessageA(const MSG* msg);
TQRTL_API void WINAPI PostQuitMessage(int exitCode);
TQRTL_API BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
TQRTL_API LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
TQRTL_API LRESULT WINAPI SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam, UINT flags, UINT timeoutMs,
                                             PDWORD_PTR result);
TQRTL_API BOOL WINAPI EnumWindows(WNDENUMPROC callback, LPARAM lParam);
TQRTL_API int WINAPI GetClassNameA(HWND window, LPSTR className, int maxCount);
TQRTL_API int WINAPI GetWindowTextA(HWND window, LPSTR text, int maxCount);
TQRTL_API DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId);
// Enough for filling a WNDCLASSEXA: the stock icon, cursor and brushes are
// distinct non-null values that the layer never draws with.
TQRTL_API HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name);
TQRTL_API HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name);
TQRTL_API HGDIOBJ WINAPI GetStockObject(int object);

// Message boxes (through the installed presenter, see tqplatform.h).
TQRTL_API int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
TQRTL_API BOOL WINAPI MessageBeep(UINT type);

// Locale information and number formatting, from the process's numeric
// locale (LC_ALL, LC_NUMERIC, LANG) without changing the process locale.
TQRTL_API LCID WINAPI GetUserDefaultLCID(void);
TQRTL_API int WINAPI GetLocaleInfoA(LCID locale, LCTYPE type, LPSTR data, int size);
TQRTL_API int WINAPI GetNumberFormatA(LCID locale, DWORD flags, LPCSTR value,
                                      const NUMBERFMTA* format, LPSTR number, int size);

// File times (100-nanosecond intervals since 1601-01-01 UTC) and system
// times.
TQRTL_API BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localFileTime);
TQRTL_API BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* localFileTime, LPFILETIME fileTime);
TQRTL_API BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
TQRTL_API BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
TQRTL_API void WINAPI GetSystemTime(LPSYSTEMTIME systemTime);
TQRTL_API void WINAPI GetLocalTime(LPSYSTEMTIME systemTime);
TQRTL_API void WINAPI GetSystemTimeAsFileTime(LPFILETIME fileTime);

// The C run-time's 32-bit calendar time: seconds since 1970-01-01 00:00:00
// UTC. _gmtime32 and _localtime32 convert it to calendar fields in UTC or in
// the process's time zone (TZ) and return a buffer of the calling thread,
// shared by both and overwritten by the next call; they return null for a
// null pointer or a negative time. The library's own TQMktime32, TQTime32
// and TQStrftime (tqplatform.h) complete the set.
typedef std::int32_t __time32_t;
struct tm;
TQRTL_API struct tm* _gmtime32(const __time32_t* time);
TQRTL_API struct tm* _localtime32(const __time32_t* time);

// Threads, atomic counters and critical sections.
TQRTL_API DWORD WINAPI GetCurrentThreadId(void);
TQRTL_API DWORD WINAPI GetCurrentProcessId(void);
TQRTL_API void WINAPI Sleep(DWORD milliseconds);
TQRTL_API DWORD WINAPI GetTickCount(void);
TQRTL_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
TQRTL_API BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section,
                                                            DWORD spinCount);
TQRTL_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
TQRTL_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
TQRTL_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
TQRTL_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);

// Kernel-object handles: events, threads and file mappings (and the files
// of the file services) share one process-wide table; CloseHandle closes any
// of them. A bad handle fails with ERROR_INVALID_HANDLE.
TQRTL_API BOOL WINAPI CloseHandle(HANDLE handle);

// Threads. _beginthreadex starts the thread at once (an initFlag other than
// 0 fails with EINVAL) and returns its handle (0 with errno on failure);
// the handle is signalled when the thread ends. _endthreadex ends the
// calling thread, unwinding its stack. GetCurrentThread is a pseudo handle
// for the priority calls and GetExitCodeThread.
TQRTL_API std::uintptr_t _beginthreadex(void* security, unsigned stackSize,
                                        unsigned(WINAPI* start)(void*), void* argument,
                                        unsigned initFlag, unsigned* threadId);
TQRTL_API void _endthreadex(unsigned exitCode);
TQRTL_API HANDLE WINAPI GetCurrentThread(void);
TQRTL_API BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
TQRTL_API BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);
TQRTL_API int WINAPI GetThreadPriority(HANDLE thread);
TQRTL_API void WINAPI GetSystemInfo(LPSYSTEM_INFO info);

// Events and waits. Named events are shared with the other processes of
// the same user (see tqrtl/platform/README.md).
TQRTL_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                                     BOOL initialState, LPCSTR name);
TQRTL_API HANDLE WINAPI OpenEventA(DWORD access, BOOL inheritHandle, LPCSTR name);
TQRTL_API BOOL WINAPI SetEvent(HANDLE event);
TQRTL_API BOOL WINAPI ResetEvent(HANDLE event);
TQRTL_API BOOL WINAPI PulseEvent(HANDLE event);
TQRTL_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
TQRTL_API DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                              DWORD milliseconds);

// File mappings: of the paging file (INVALID_HANDLE_VALUE; named ones are
// shared with the other processes of the same user) or of an open file.
// Views start at multiples of 64 KiB.
TQRTL_API HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security,
                                           DWORD protect, DWORD maximumSizeHigh,
                                           DWORD maximumSizeLow, LPCSTR name);
TQRTL_API HANDLE WINAPI OpenFileMappingA(DWORD access, BOOL inheritHandle, LPCSTR name);
TQRTL_API LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh,
                                      DWORD offsetLow, SIZE_T bytes);
TQRTL_API BOOL WINAPI UnmapViewOfFile(LPCVOID address);

// Heaps. A maximum size of 0 makes a growable heap; otherwise the heap is
// bounded. Failures return null (HeapSize: (SIZE_T)-1) with
// ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_HANDLE or ERROR_INVALID_PARAMETER.
TQRTL_API HANDLE WINAPI HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize);
TQRTL_API BOOL WINAPI HeapDestroy(HANDLE heap);
TQRTL_API HANDLE WINAPI GetProcessHeap(void);
TQRTL_API LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
TQRTL_API LPVOID WINAPI HeapReAlloc(HANDLE heap, DWORD flags, LPVOID memory, SIZE_T bytes);
TQRTL_API BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory);
TQRTL_API SIZE_T WINAPI HeapSize(HANDLE heap, DWORD flags, LPCVOID memory);

// C run-time names with the Microsoft run-time's results. Only ASCII
// letters change case. _stricmp and _strnicmp compare as lower case and
// return the difference of the first differing lowered bytes (unsigned);
// with a null pointer they return INT_MAX (_NLSCMPERROR) and set errno to
// EINVAL. _strupr, _strlwr and _strrev work in place and return their
// argument (null for null). _strdup returns a copy to be released with
// free(), or null for a null argument or when memory runs out.
TQRTL_API int _stricmp(const char* a, const char* b);
TQRTL_API int _strnicmp(const char* a, const char* b, size_t count);
TQRTL_API char* _strupr(char* text);
TQRTL_API char* _strlwr(char* text);
TQRTL_API char* _strrev(char* text);
TQRTL_API char* _strdup(const char* text);
TQRTL_API int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments);
TQRTL_API int _snprintf(char* buffer, size_t count, const char* format, ...);
TQRTL_API int _vscprintf(const char* format, va_list arguments);

// Environment. Names ignore letter case, as on Windows: GetEnvironmentVariableA
// takes the variable spelled exactly as asked when there is one, else the
// first whose name matches ignoring case; SetEnvironmentVariableA replaces a
// variable of any spelling (a null value removes it). The environment is the
// process's own (environ): not safe while another thread changes it.
TQRTL_API DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
TQRTL_API BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value);

// Global atoms: 16-bit numbers for texts, shared by every process of the
// user and outliving the process that added them (see
// tqrtl/platform/README.md). Texts match ignoring case and keep the spelling
// of their first add. String atoms are 0xC000..0xFFFF, counted: each add
// raises the count, each delete lowers it, and a freed number is used again.
// "#" and decimal digits only, or MAKEINTATOM(n), is the integer atom n
// (1..0xBFFF), never counted or freed. A text has 1..255 bytes; an empty or
// longer one, an integer out of range or a null name gives 0 with
// ERROR_INVALID_PARAMETER. GlobalFindAtomA fails with ERROR_FILE_NOT_FOUND.
// GlobalGetAtomNameA returns the length without the NUL; when the name and
// its NUL do not fit in `size` bytes it writes what fits (NUL-terminated)
// and fails with 0 and ERROR_MORE_DATA. An atom not in use gives 0 with
// ERROR_INVALID_HANDLE, atom 0 ERROR_INVALID_PARAMETER. GlobalDeleteAtom
// returns 0 on success (the last error untouched) and the atom itself on
// failure (ERROR_INVALID_HANDLE). A full table (0x4000 texts) fails with
// ERROR_NOT_ENOUGH_MEMORY, a damaged one with ERROR_FILE_INVALID.
// RegisterWindowMessageA: the number 0xC000..0xFFFF of a message name, the
// same in every process of the user, case ignored, never freed; a table of
// its own, apart from the atoms. "" or null gives 0 with
// ERROR_INVALID_PARAMETER.
#define MAXINTATOM 0xC000
TQRTL_API ATOM WINAPI GlobalAddAtomA(LPCSTR name);
TQRTL_API ATOM WINAPI GlobalFindAtomA(LPCSTR name);
TQRTL_API UINT WINAPI GlobalGetAtomNameA(ATOM atom, LPSTR buffer, int size);
TQRTL_API ATOM WINAPI GlobalDeleteAtom(ATOM atom);
TQRTL_API UINT WINAPI RegisterWindowMessageA(LPCSTR name);

// Modules of code, over dlopen. LoadLibraryA looks for a name with a folder
// in that folder only, and for a bare name first in the executable's folder,
// then where dlopen looks (modules already loaded, LD_LIBRARY_PATH, the run
// path, the system's folders). A name written for Windows finds the Linux
// build: "Name.dll", or "Name" without an extension, is tried as itself, then
// as "Name.so", then as "libName.so". The handle is the module's base
// address, as GetModuleHandleA gives it; each load is counted, and
// FreeLibrary gives one back (dlclose), unloading the module with the last.
// Failures return null: a missing module ERROR_MOD_NOT_FOUND, a file that is
// not a library of this machine ERROR_BAD_EXE_FORMAT, a library whose
// dependency is missing ERROR_MOD_NOT_FOUND and one that needs a symbol no
// module defines ERROR_PROC_NOT_FOUND. GetProcAddress finds an export of
// that module itself (not of the modules it depends on) by name (ordinals
// fail); a null module means the executable. A missing export gives null
// with ERROR_PROC_NOT_FOUND, a handle of no loaded module
// ERROR_MOD_NOT_FOUND. FreeLibrary of a handle LoadLibraryA did not return
// (GetModuleHandleA's too) fails with ERROR_INVALID_HANDLE.
TQRTL_API HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
TQRTL_API FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);

// Temporary files. GetTempPathA: the directory named by TMPDIR (made
// absolute), else /tmp, always ending in the path separator. Returns its
// length without the NUL, or, when `size` is too small, the size needed with
// the NUL (the buffer untouched). GetTempFileNameA: `path`, a separator when
// it does not end in one, at most 3 bytes of `prefix`, the unique number in
// upper-case hex and ".tmp", written to `tempFileName` (MAX_PATH bytes). Only
// the low 16 bits of `unique` count. A non-zero number only builds the name
// and is returned; 0 makes the layer pick a free number, starting from the
// clock and counting up, and create the file empty with mode 0600; the
// number is returned. Failures return 0: a null argument
// (ERROR_INVALID_PARAMETER), a path longer than MAX_PATH - 14
// (ERROR_BUFFER_OVERFLOW), a missing directory (ERROR_DIRECTORY), every
// number taken (ERROR_FILE_EXISTS), or the errno of the failed create.
TQRTL_API DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer);
TQRTL_API UINT WINAPI GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique,
                                       LPSTR tempFileName);

// Moving and replacing files.
// MoveFileExA renames `existing` to `newName` (rename(2)). Without
// MOVEFILE_REPLACE_EXISTING an existing `newName` is left alone and the call
// fails with ERROR_ALREADY_EXISTS (checked atomically where the file system
// allows). A `newName` that is a directory gives ERROR_ACCESS_DENIED, a move
// to another file system ERROR_NOT_SAME_DEVICE (MOVEFILE_COPY_ALLOWED is not
// supported here: files are never copied), a missing `existing`
// ERROR_FILE_NOT_FOUND, a null name or an unknown flag
// ERROR_INVALID_PARAMETER. MOVEFILE_WRITE_THROUGH makes the rename durable
// (the directory of `newName` is flushed) before the call returns.
// ReplaceFileA replaces the file `replaced` by the file `replacement`, which
// takes its name and keeps its permissions, owner and group (what Win32 keeps
// as the replaced file's attributes and ACLs), in one atomic rename that is
// durable when the call returns. `replaced` is looked up through symbolic
// links for its permissions, but the name itself is replaced. A missing file
// gives ERROR_FILE_NOT_FOUND and leaves both alone; an owner that cannot be
// given (not allowed) ERROR_ACCESS_DENIED, unless
// REPLACEFILE_IGNORE_ACL_ERRORS is set; a failed rename
// ERROR_UNABLE_TO_MOVE_REPLACEMENT, both files keeping their names. A backup
// name, `exclude` and `reserved` must be null (ERROR_INVALID_PARAMETER).
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_WRITE_THROUGH 0x00000008
#define REPLACEFILE_WRITE_THROUGH 0x00000001
#define REPLACEFILE_IGNORE_MERGE_ERRORS 0x00000002
#define REPLACEFILE_IGNORE_ACL_ERRORS 0x00000004
TQRTL_API BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags);
TQRTL_API BOOL WINAPI ReplaceFileA(LPCSTR replaced, LPCSTR replacement, LPCSTR backup,
                                   DWORD flags, LPVOID exclude, LPVOID reserved);

// Files as kernel objects. CreateFileA opens or creates `fileName` with
// Win32's dispositions (CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING,
// OPEN_ALWAYS, TRUNCATE_EXISTING) and share modes, which hold across
// processes and together with _fsopen's; the handle is closed with
// CloseHandle. GENERIC_EXECUTE counts as read access. A new file gets mode
// 0666 less the umask (0444 with FILE_ATTRIBUTE_READONLY);
// FILE_FLAG_DELETE_ON_CLOSE removes the file when the last handle closes;
// other flags and attributes, the security attributes and the template are
// ignored. Success sets the last error to ERROR_ALREADY_EXISTS when
// CREATE_ALWAYS or OPEN_ALWAYS found the file, else to 0. Failures return
// INVALID_HANDLE_VALUE: ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND (a missing
// directory on the way), ERROR_FILE_EXISTS (CREATE_NEW), ERROR_ACCESS_DENIED
// (a directory, or no permission), ERROR_SHARING_VIOLATION (checked before
// anything is emptied), ERROR_INVALID_PARAMETER (an unknown disposition, or
// TRUNCATE_EXISTING without write access).
// GetFileSize: the low 32 bits of the size, the high ones in *sizeHigh when
// it is not null; INVALID_FILE_SIZE with ERROR_INVALID_HANDLE for a handle
// that is not an open file (a size whose low part is INVALID_FILE_SIZE sets
// the last error to 0).
TQRTL_API HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                                    LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                    DWORD flags, HANDLE templateFile);
TQRTL_API DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh);

// SearchPathA: looks for `fileName` (with `extension` added when the name has
// none) and writes its full path. The rules are Win32's: an absolute name is
// looked up as it is; a name starting with "./" or "../" is looked up from
// the current directory only; any other name, directory parts included, is
// looked up below each entry of `path` in order (the first hit wins), where
// entries are separated by ';' (and ':' here, so that a POSIX PATH works),
// empty entries are skipped and relative ones are taken from the current
// directory, which is not searched unless listed ("."). A null `path` means
// the program's directory, the current directory, then PATH. Directories
// count as hits. Names match ignoring letter case; the result spells each
// component as it is on disk. Returns the length without the NUL and sets
// *filePart (when not null) to the last component in `buffer`; when the
// result does not fit in `bufferLength` bytes, returns the size needed with
// the NUL and leaves the buffer and the last error alone. Not found: 0 with
// ERROR_FILE_NOT_FOUND; an empty or null name: 0 with
// ERROR_INVALID_PARAMETER.
TQRTL_API DWORD WINAPI SearchPathA(LPCSTR path, LPCSTR fileName, LPCSTR extension,
                                   DWORD bufferLength, LPSTR buffer, LPSTR* filePart);

// System version. GetVersionExA reports the Windows NT line, version 6.2,
// build 9200, no service pack: what Windows 8 and later report to programs
// that declare no version of their own. `dwOSVersionInfoSize` must be the
// size of OSVERSIONINFOA (148) or of its extended form (156, whose extra
// fields read as a workstation without service pack); any other size gives
// FALSE with ERROR_INSUFFICIENT_BUFFER.
TQRTL_API BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA versionInfo);

// The display. CreateICA("DISPLAY", ...) (the name ignoring case, as driver
// or device) gives an information context of the display; any other device
// gives null with ERROR_INVALID_PARAMETER. GetDeviceCaps of it: LOGPIXELSX
// and LOGPIXELSY 96 (a standard-size display font: there is no one display
// here whose setting could be read), BITSPIXEL 32, PLANES 1, other indexes
// 0; a handle that is not a live context gives 0. DeleteDC releases the
// context (FALSE with ERROR_INVALID_HANDLE for anything else).
TQRTL_API HDC WINAPI CreateICA(LPCSTR driver, LPCSTR device, LPCSTR port,
                               const DEVMODEA* initData);
TQRTL_API int WINAPI GetDeviceCaps(HDC dc, int index);
TQRTL_API BOOL WINAPI DeleteDC(HDC dc);

// The keyboard. A process here has no keyboard of its own, so
// GetKeyboardState reports every key up (256 zero bytes; FALSE with
// ERROR_INVALID_PARAMETER for a null buffer). ToAscii translates a virtual
// key on the United States layout under the given key state: letters (lower
// case unless Shift or Caps Lock, but not both, is down; with Control, the
// control character 1-26), digits and their shifted symbols, the OEM
// punctuation keys, the numeric keypad, space, Return ('\r'), Backspace
// ('\b'), Tab and Escape. Writes the character to the low byte of *out and
// returns 1; a key without a character, a key-up scan code (bit 15) or a
// null state or output returns 0.
TQRTL_API BOOL WINAPI GetKeyboardState(PBYTE keyState);
TQRTL_API int WINAPI ToAscii(UINT virtualKey, UINT scanCode, const BYTE* keyState, LPWORD out,
                             UINT flags);

}  // extern "C"

// ---------------------------------------------------------------------------
// C run-time files. Paths use '/' (TQPathSeparator); a backslash is an
// ordinary character of a file name here.
#define _MAX_PATH 260
// Share modes of _fsopen.
#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40
// st_mode bits of _stat (the same values as POSIX's).
#define _S_IFMT 0xF000
#define _S_IFDIR 0x4000
#define _S_IFCHR 0x2000
#define _S_IFREG 0x8000
#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080
#define _S_IEXEC 0x0040

// The file facts _stat reports, with the C run-time's field names. The
// POSIX header's st_atime/st_mtime/st_ctime macros are kept out of the way.
#pragma push_macro("st_atime")
#pragma push_macro("st_mtime")
#pragma push_macro("st_ctime")
#undef st_atime
#undef st_mtime
#undef st_ctime
struct _stat {
  unsigned int st_dev;
  unsigned long long st_ino;
  unsigned int st_mode;  // _S_IF* type bits and the permission bits
  unsigned int st_nlink;
  unsigned int st_uid;
  unsigned int st_gid;
  unsigned int st_rdev;
  long long st_size;
  time_t st_atime;
  time_t st_mtime;
  time_t st_ctime;  // the last status change: POSIX keeps no creation time
};
#pragma pop_macro("st_atime")
#pragma pop_macro("st_mtime")
#pragma pop_macro("st_ctime")

extern "C" {

// _fullpath: the absolute form of `path` (the current directory when null or
// empty): relative paths are taken from the current directory and "." and
// ".." are folded without looking at the disk (symbolic links stay as they
// are). Written to `buffer` of `size` bytes, or, when `buffer` is null, to a
// new block of at least _MAX_PATH bytes to be freed with free(). Returns the
// buffer, or null with errno ERANGE when the result does not fit (ENOMEM when
// the block cannot be had).
TQRTL_API char* _fullpath(char* buffer, const char* path, size_t size);

// _fsopen: fopen with a share mode. Modes: "r", "w", "a", each with an
// optional "+", and "b" or "t" (both ignored: files are binary here); other
// mode letters of the Microsoft run-time are ignored. Share modes are kept
// among _fsopen opens in any process, through advisory locks on the open
// file: an open fails with errno EACCES, before "w" empties anything, when it
// would read a file that another open denies reading (_SH_DENYRD,
// _SH_DENYRW), write one that another denies writing (_SH_DENYWR,
// _SH_DENYRW), or deny what another open already does. Opens through plain
// fopen do not take part. A file system without such locks allows every
// open. A bad mode or share flag fails with EINVAL.
TQRTL_API FILE* _fsopen(const char* path, const char* mode, int shareFlag);

// _flushall: flushes every open output stream of the process; returns 0 (the
// C library does not report how many streams are open), or -1 when a flush
// failed.
TQRTL_API int _flushall(void);

// _dup, _fileno, _fdopen: dup, fileno and fdopen, with fdopen taking the
// modes _fsopen takes. Failures: -1 or null with errno set.
TQRTL_API int _dup(int fd);
TQRTL_API int _fileno(FILE* stream);
TQRTL_API FILE* _fdopen(int fd, const char* mode);

// _commit: writes what the system holds for descriptor `fd` to the disk
// (fsync). Returns 0, or -1 with errno (EBADF for a descriptor that is not
// open).
TQRTL_API int _commit(int fd);

// _stat: the facts of the file or directory at `path` (symbolic links
// followed). Returns 0, or -1 with errno (ENOENT for a missing file, EINVAL
// for a null argument).
// (The function and the structure share their name, as in the C run-time.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
TQRTL_API int _stat(const char* path, struct _stat* buffer);
#pragma GCC diagnostic pop

}  // extern "C"

// Atomic operations: full barriers, as Win32's Interlocked functions are.
inline LONG InterlockedIncrement(LONG volatile* target) {
  return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* target) {
  return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* target, LONG value) {
  return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange,
                                               PVOID comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

#endif  // _WIN32

#include "tqrtl/platform/tqplatform.h"

#endif  // TQRTL_PLATFORM_WIN32_H_
