// TQIPC_Object.cpp: the endpoint's window thread, window procedure, connect
// exchange and sends.
#include "tqrtl/ipc/TQIPC_Object.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tqrtl/files/SysUtil.h"

const char TQIPC_Object::kWindowClass[] = "TQIPC_ObjectWindow";
const char TQIPC_Object::kRegistryKey[] = "Software\\Vantor\\IPC";
const char TQIPC_Object::kVariableFormat[] = "TQIPC_%s_ENV_VAR";
const char TQIPC_Object::kTitleSuffix[] = " IPC Trace";

namespace {

const DWORD kStopWaitMs = 1000;
const int kVariableSize = 128;

// Window handles travel as 32-bit numbers (message parameters, the
// environment value, the registry value).
DWORD HandleNumber(HWND window) {
  return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(window));
}

HWND HandleFromNumber(DWORD number) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(number));
}

LRESULT Result(DWORD r) { return static_cast<LRESULT>(r); }

}  // namespace

// What the window thread holds instead of the object. Counted: one
// reference for the object (dropped by TQIPC_Stop), one for the thread.
struct TQIPC_ThreadLink {
  TQIPC_ThreadLink(TQIPC_Object* o) : object(o), inside(0), refs(2) {
    InitializeCriticalSection(&lock);
    idle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  }
  ~TQIPC_ThreadLink() {
    if (idle != nullptr) CloseHandle(idle);
    DeleteCriticalSection(&lock);
  }
  TQIPC_ThreadLink(const TQIPC_ThreadLink&) = delete;
  TQIPC_ThreadLink& operator=(const TQIPC_ThreadLink&) = delete;

  // The object, counted as in use until Leave; null once cut off.
  TQIPC_Object* Enter() {
    EnterCriticalSection(&lock);
    TQIPC_Object* o = object;
    if (o != nullptr && inside++ == 0) ResetEvent(idle);
    LeaveCriticalSection(&lock);
    return o;
  }
  void Leave() {
    EnterCriticalSection(&lock);
    if (--inside == 0) SetEvent(idle);
    LeaveCriticalSection(&lock);
  }
  // No Enter succeeds from now on; waits (when asked) until the thread is
  // out of the object.
  void CutOff(bool wait) {
    EnterCriticalSection(&lock);
    object = nullptr;
    LeaveCriticalSection(&lock);
    if (wait) WaitForSingleObject(idle, INFINITE);
  }
  void Release() {
    if (InterlockedDecrement(&refs) == 0) delete this;
  }

  CRITICAL_SECTION lock;
  TQIPC_Object* object;
  int inside;
  HANDLE idle;  // manual-reset; set while the thread is not in the object
  LONG refs;
};

TQIPC_Object::TQIPC_Object(TQIPC::RoleType role, char const* name, char const* title,
                           unsigned int timeout)
    : m_own_window(nullptr),
      m_partner_window(nullptr),
      m_thread(nullptr),
      m_thread_id(0),
      m_timeout(0),
      m_role(TQIPC::None),
      m_started(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr),
      m_link(nullptr) {
  EventRegister(static_cast<EventReceiver*>(static_cast<TQIPC_MessageHandler*>(this)));
  SetProps(role, name, title, timeout);
}

TQIPC_Object::TQIPC_Object() : TQIPC_Object(TQIPC::None, nullptr, nullptr, 0) {}

TQIPC_Object::~TQIPC_Object() {
  TQIPC_Stop();
  EventUnregister(static_cast<EventReceiver*>(static_cast<TQIPC_MessageHandler*>(this)));
}

void TQIPC_Object::SetProps(TQIPC::RoleType role, char const* name, char const* title,
                            unsigned int timeout) {
  if (role != TQIPC::None) m_role = role;
  if (name != nullptr) {
    m_name = name;
    if (m_name.GetLength() > kMaxNameLength) m_name = m_name.Left(kMaxNameLength);
  }
  if (title != nullptr) m_title = title;
  if (m_title.IsEmpty()) {
    switch (role) {
      case TQIPC::None: m_title = "None"; break;
      case TQIPC::Master: m_title = "Master"; break;
      case TQIPC::Slave: m_title = "Slave"; break;
    }
  }
  if (timeout != 0) {
    m_timeout = timeout;
  } else if (!SysUtil::IsWinNT()) {
    m_timeout = 5000;
  }
}

void TQIPC_Object::GetProps(TQIPC::RoleType* role, char const** name, char const** title,
                            unsigned int* timeout) const {
  if (role != nullptr) *role = m_role;
  if (name != nullptr) *name = m_name;
  if (title != nullptr) *title = m_title;
  if (timeout != nullptr) *timeout = m_timeout;
}

bool TQIPC_Object::TQIPC_Start(TQIPC::RoleType role, char const* name, char const* title,
                               unsigned int timeout) {
  if (m_thread != nullptr) {
    DWORD code = 0;
    if (!GetExitCodeThread(m_thread, &code) || code == STILL_ACTIVE) {
      TQIPC_Trace("Already started");
      return false;
    }
    TQIPC_Stop();  // an ended thread: release it first
  }
  SetProps(role, name, title, timeout);
  m_started.Reset();

  m_link = new TQIPC_ThreadLink(this);
  unsigned id = 0;
  const std::uintptr_t thread = _beginthreadex(nullptr, 0, &TQIPC_ThreadProc, m_link, 0, &id);
  if (thread == 0) {
    TQIPC_Trace("Can't create thread");
    delete m_link;
    m_link = nullptr;
    return false;
  }
  m_thread = reinterpret_cast<HANDLE>(thread);
  m_thread_id = id;

  const HANDLE waits[2] = {m_started.GetHandle(), m_thread};
  return WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0;
}

void TQIPC_Object::TQIPC_Stop() {
  if (m_thread == nullptr) return;
  const bool ownThread = GetCurrentThreadId() == m_thread_id;
  const HWND own = m_own_window.load();
  if (own != nullptr && IsWindow(own)) PostMessageA(own, WM_CLOSE, 0, 0);
  DWORD code = 0;
  bool ended = GetExitCodeThread(m_thread, &code) && code != STILL_ACTIVE;
  if (!ended && !ownThread) ended = WaitForSingleObject(m_thread, kStopWaitMs) == WAIT_OBJECT_0;
  if (!ended) {
    // Left to end by itself, without the object.
    m_link->CutOff(!ownThread);
  }
  CloseHandle(m_thread);
  m_thread = nullptr;
  m_thread_id = 0;
  m_link->Release();
  m_link = nullptr;
  if (!ended) {
    m_own_window = nullptr;
    m_partner_window = nullptr;
  }
}

unsigned WINAPI TQIPC_Object::TQIPC_ThreadProc(void* argument) {
  TQIPC_ThreadLink* link = static_cast<TQIPC_ThreadLink*>(argument);
  unsigned exitCode = 1;
  // The caller waits in TQIPC_Start until the window is up or this thread
  // has ended, so the object is there until then.
  TQIPC_Object* self = link->Enter();
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc;
  std::memset(&wc, 0, sizeof wc);
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &TQIPC_WndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  wc.hIconSm = wc.hIcon;
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = kWindowClass;
  HWND window = nullptr;
  if (RegisterClassExA(&wc) == 0) {
    self->TQIPC_Trace("Can't register window class; error = %lu", GetLastError());
  } else {
    const TQString title = self->m_title + kTitleSuffix;
    window = CreateWindowExA(0, kWindowClass, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, 500, 150, nullptr, nullptr, instance, link);
    if (window == nullptr) {
      self->TQIPC_Trace("Can't create window; error = %lu", GetLastError());
    }
  }
  link->Leave();

  if (window != nullptr) {
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0 && got != -1) {
      TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    exitCode = got == 0 ? static_cast<unsigned>(msg.wParam) : 0xFFFFFFFFu;
  }

  if (TQIPC_Object* o = link->Enter()) {
    o->m_own_window = nullptr;
    o->m_partner_window = nullptr;
    link->Leave();
  }
  link->Release();
  return exitCode;
}

LRESULT CALLBACK TQIPC_Object::TQIPC_WndProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  if (message == WM_CREATE) {
    const CREATESTRUCTA* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  TQIPC_ThreadLink* link =
      reinterpret_cast<TQIPC_ThreadLink*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  switch (message) {
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case TQIPC::M_CONNECT:
      return TQIPC::REPLY_EMPTY;
    case WM_CREATE:
    case WM_COPYDATA:
    case TQIPC::M_CONNECT_REQ:
    case TQIPC::M_PING:
      break;
    default:
      if (message < TQIPC::M_FIRST_STANDARD) return DefWindowProcA(window, message, wParam, lParam);
      break;
  }
  const LRESULT refused = message == WM_CREATE ? -1 : Result(TQIPC::REPLY_NOT_HANDLED);
  TQIPC_Object* self = link != nullptr ? link->Enter() : nullptr;
  if (self == nullptr) return refused;  // cut off by TQIPC_Stop
  LRESULT result = refused;
  try {
    result = self->WindowMessage(window, message, wParam, lParam);
  } catch (...) {
    // Nothing may leave a window procedure; a receiver that throws has not
    // answered.
  }
  link->Leave();
  return result;
}

LRESULT TQIPC_Object::WindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      m_own_window = window;
      return TQIPC_OnCreate() ? 0 : -1;
    case WM_COPYDATA: {
      const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (data == nullptr) return Result(TQIPC::REPLY_NOT_HANDLED);
      return Result(
          DispatchBlockMessage(static_cast<UINT>(data->dwData), data->lpData, data->cbData));
    }
    case TQIPC::M_CONNECT_REQ:
      return Result(TQIPC_OnConnectReq(HandleFromNumber(static_cast<DWORD>(wParam)),
                                       static_cast<DWORD>(lParam)));
    case TQIPC::M_PING:
      return Result(static_cast<DWORD>(TQIPC_OnPing()));
    default:
      return Result(DispatchStandardMessage(message, static_cast<UINT>(wParam),
                                            static_cast<LONG>(lParam)));
  }
}

bool TQIPC_Object::TQIPC_OnCreate() {
  return m_role == TQIPC::Master ? Master_OnCreate() : Slave_OnCreate();
}

bool TQIPC_Object::Master_OnCreate() {
  WriteEnvVar();
  m_started.Set();
  return true;
}

bool TQIPC_Object::Slave_OnCreate() {
  if (!ReadEnvVar()) return false;
  TQIPC_Trace("Sending TQIPC::M_CONNECT_REQ to master");
  const TQIPC::StandardMsg request = {TQIPC::M_CONNECT_REQ, HandleNumber(m_own_window.load()),
                                      static_cast<LONG>(GetCurrentProcessId())};
  TQIPC::SingleReply reply;
  const TQIPC::Status status = TQIPC_SendMsg(request, &reply);
  switch (status) {
    case TQIPC::OK:
      break;
    case TQIPC::Failed:
      TQIPC_Trace("SendMsg() failed");
      return false;
    case TQIPC::NoReply:
      TQIPC_Trace("Master didn't reply");
      return false;
    default:
      TQIPC_Trace("TQIPC_SendMsg() returned unexpected value: %u", static_cast<unsigned>(status));
      return false;
  }
  if (!reply.BoolVal()) {
    TQIPC_Trace("Master said 'no'");
    return false;
  }
  if (TQIPC_DispatchConnectMsg(GetCurrentProcessId()) == TQIPC::REPLY_NAK) {
    TQIPC_Trace("Some client said 'no'");
    return false;
  }
  TQIPC_Trace("Master and clients said 'yes'");
  m_started.Set();
  return true;
}

void TQIPC_Object::MakeEnvVarName(char* buffer) const {
  wsprintfA(buffer, kVariableFormat, static_cast<const char*>(m_name));
}

void TQIPC_Object::WriteEnvVar() {
  char name[kVariableSize];
  MakeEnvVarName(name);
  const DWORD number = HandleNumber(m_own_window.load());
  char text[kVariableSize];
  wsprintfA(text, "%u", number);
  SetEnvironmentVariableA(name, text);
  HKEY key = nullptr;
  if (RegCreateKeyA(HKEY_CURRENT_USER, kRegistryKey, &key) == ERROR_SUCCESS) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                   sizeof number);
    RegCloseKey(key);
  }
  TQIPC_Trace("%s = %s", name, text);
}

bool TQIPC_Object::ReadEnvVar() {
  char name[kVariableSize];
  MakeEnvVarName(name);
  char text[kVariableSize];
  const DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
  if (length > 0 && length < sizeof text) {
    TQIPC_Trace("%s = %s", name, text);
    m_partner_window = HandleFromNumber(static_cast<DWORD>(std::strtoul(text, nullptr, 10)));
  } else {
    TQIPC_Trace("Didn't get env. var. Using back-up value in registry key");
    HKEY key = nullptr;
    DWORD number = 0, type = 0, size = sizeof number;
    bool read = false;
    if (RegCreateKeyA(HKEY_CURRENT_USER, kRegistryKey, &key) == ERROR_SUCCESS) {
      read = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&number),
                              &size) == ERROR_SUCCESS &&
             size == sizeof number;
      RegCloseKey(key);
    }
    if (!read) {
      TQIPC_Trace("Didn't get registry value either.");
      return false;
    }
    m_partner_window = HandleFromNumber(number);
  }
  // A master that has gone may leave its number behind, and the system may
  // already have handed that number to this endpoint's own window: a slave
  // must never take itself for its master.
  const HWND partner = m_partner_window.load();
  if (partner != m_own_window.load() && IsWindow(partner)) return true;
  TQIPC_Trace("Master HWND is invalid");
  m_partner_window = nullptr;
  return false;
}

DWORD TQIPC_Object::TQIPC_OnConnectReq(HWND slaveWindow, DWORD slaveProcessId) {
  TQIPC_Trace("Received TQIPC::M_CONNECT_REQ");
  if (IsWindow(slaveWindow)) {
    if (TQIPC_DispatchConnectMsg(slaveProcessId) == TQIPC::REPLY_NAK) {
      TQIPC_Trace("Some client said 'no'");
      TQIPC_Trace("Replying %s", "FALSE");
      return TQIPC::REPLY_NAK;
    }
    TQIPC_Trace("All clients said 'yes'");
    m_partner_window = slaveWindow;
  }
  TQIPC_Trace("Replying %s", "TRUE");
  return TQIPC::REPLY_ACK;
}

DWORD TQIPC_Object::TQIPC_DispatchConnectMsg(DWORD processId) {
  TQIPC_Trace("Dispatching TQIPC::M_CONNECT to clients");
  const TQIPC::ConnectMsg message = {TQIPC::M_CONNECT, processId};
  TQIPC::MultiReply reply;
  TQIPC::ConnectMsgArrived n(&reply, &message);
  return DispatchMessageA(n, EventSender::ScopeAll);
}

DWORD TQIPC_Object::DispatchStandardMessage(UINT message, UINT wParam, LONG lParam) const {
  const TQIPC::StandardMsg msg = {message, wParam, lParam};
  TQIPC::SingleReply reply;
  TQIPC::StandardMsgArrived n(&reply, &msg);
  return DispatchMessageA(n, EventSender::ScopeFirst);
}

DWORD TQIPC_Object::DispatchBlockMessage(UINT message, void* data, DWORD size) const {
  const TQIPC::BlockMsg msg = {message, data, size};
  TQIPC::SingleReply reply;
  TQIPC::BlockMsgArrived n(&reply, &msg);
  return DispatchMessageA(n, EventSender::ScopeFirst);
}

DWORD TQIPC_Object::DispatchMessageA(TQIPC::MsgArrived& n, EventSender::EventScope scope) const {
  if (EventNotify(n, scope) == 0) return TQIPC::REPLY_NOT_HANDLED;
  return n.reply->Encode();
}

long TQIPC_Object::TQIPC_OnPing() {
  TQIPC_Trace("Received TQIPC::M_PING; replying REPLY_ACK");
  return TQIPC::REPLY_ACK;
}

bool TQIPC_Object::TQIPC_IsConnectionOK() {
  HWND partner = m_partner_window.load();
  if (partner != nullptr && IsWindow(partner)) return true;
  TQIPC_Trace("Other window is gone");
  // Only the partner that was found gone: a slave may have just replaced it.
  m_partner_window.compare_exchange_strong(partner, nullptr);
  return false;
}

TQIPC::Status TQIPC_Object::TQIPC_SendMessage(UINT message, WPARAM wParam, LPARAM lParam,
                                              TQIPC::SingleReply* reply) {
  DWORD_PTR result = 0;
  if (SendMessageTimeoutA(m_partner_window.load(), message, wParam, lParam, SMTO_NORMAL,
                          m_timeout, &result) == 0) {
    return TQIPC::Failed;
  }
  const DWORD r = static_cast<DWORD>(result);
  if (r == TQIPC::REPLY_NOT_HANDLED) return TQIPC::NoReply;
  if (reply != nullptr) {
    reply->Decode(r);
  } else if ((r & TQIPC::REPLY_STRING_FLAG) != 0) {
    // Nobody reads the text, but its atom must still go.
    TQIPC::SingleReply ignored;
    ignored.Decode(r);
  }
  return TQIPC::OK;
}

TQIPC::Status TQIPC_Object::TQIPC_SendMsg(TQIPC::StandardMsg const& msg,
                                          TQIPC::SingleReply* reply) {
  if (!TQIPC_IsConnectionOK()) return TQIPC::Failed;
  return TQIPC_SendMessage(msg.message, msg.wParam, static_cast<LPARAM>(msg.lParam), reply);
}

TQIPC::Status TQIPC_Object::TQIPC_SendMsg(TQIPC::BlockMsg const& msg, TQIPC::SingleReply* reply) {
  if (!TQIPC_IsConnectionOK()) return TQIPC::Failed;
  COPYDATASTRUCT data;
  data.dwData = msg.message;
  data.cbData = msg.size;
  data.lpData = msg.data;
  return TQIPC_SendMessage(WM_COPYDATA, reinterpret_cast<WPARAM>(m_own_window.load()),
                           reinterpret_cast<LPARAM>(&data), reply);
}

TQIPC::Status TQIPC_Object::TQIPC_PostMsg(TQIPC::StandardMsg const& msg) {
  if (!TQIPC_IsConnectionOK()) return TQIPC::Failed;
  return PostMessageA(m_partner_window.load(), msg.message, msg.wParam,
                      static_cast<LPARAM>(msg.lParam))
             ? TQIPC::OK
             : TQIPC::Failed;
}

void TQIPC_Object::TQIPC_Trace(char const*, ...) const {}

void TQIPC_Object::TQIPC_TraceVA(char const*, va_list) const {}

void TQIPC_Object::TQIPC_TraceClear() const {}
