// The worker thread of a socket: requests on the caller's thread, the message loop and every
// socket operation on the worker thread, and the callbacks that report their outcomes.
#include "net/IcsWorkerThread.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "base/MainThreadQueue.h"
#include "net/IcsLogMsg.h"

namespace {

// Removes leading and trailing characters of code 32 or less.
std::string Trim(const std::string& S) {
  size_t B = 0;
  size_t E = S.size();
  while (B < E && static_cast<unsigned char>(S[B]) <= 32) ++B;
  while (E > B && static_cast<unsigned char>(S[E - 1]) <= 32) --E;
  return S.substr(B, E - B);
}

// Raised inside the connect path when binding the local address fails; carries the OS error so
// that the failure can be recorded and reported like every other connect failure.
struct TBindFailure {
  int32_t Code;
  std::string Msg;
};

// The error code reported when a text cannot be resolved. The OS gives no error number for a
// failed look-up, and a session-connected event must never carry 0 (success) for a connection
// that was not made, so each part of the resolution has a fixed, descriptive code.
constexpr int32_t ResolveProtoError = EPROTONOSUPPORT;
constexpr int32_t ResolvePortError = EINVAL;
constexpr int32_t ResolveHostError = EHOSTUNREACH;

}  // namespace

const char* IcsSocketStateName(TIcsSocketState State) {
  switch (State) {
    case wsInvalidState:
      return "wsInvalidState";
    case wsOpened:
      return "wsOpened";
    case wsBound:
      return "wsBound";
    case wsConnecting:
      return "wsConnecting";
    case wsConnected:
      return "wsConnected";
    case wsListening:
      return "wsListening";
    case wsClosed:
      return "wsClosed";
  }
  return "?";
}

std::recursive_mutex& CloseLock() {
  // Deliberately never destroyed: a worker may still be closing while the program ends.
  static std::recursive_mutex* const Lock = new std::recursive_mutex;
  return *Lock;
}

// ---------------------------------------------------------------------------------------------
// Construction and destruction

TWorkerThread::TWorkerThread() {
  if (!IcsCreateWakeupPipe(FPipeRead, FPipeWrite)) {
    FPipeRead = -1;
    FPipeWrite = -1;
    // The thread base was built suspended and never resumed: its destructor ends it at once.
    throw std::runtime_error("pipe() failed");
  }
  MsgQueue = std::make_unique<TIcsMsgQueue>();
  MsgQueue->SetName("MsgQueue");
  MsgQueue->OnMessage = [this](uint32_t Msg, int32_t WParam, int32_t LParam) {
    return WndProc(Msg, WParam, LParam);
  };
  MsgQueue->SetPipe(FPipeRead, FPipeWrite);
}

TWorkerThread::~TWorkerThread() {
  LogMsg(Name() + ".Destroy");
  FDestroying.store(true);
  ClearCallbacks();
  Terminate();
  PostMessage(WM_QUIT, 0, 0);
  // WaitFor returns once the loop has returned from its last dispatch (and at once for a thread
  // that was never resumed), so it covers the wait for Exited without spinning.
  WaitFor();
  MsgQueue.reset();
  DeleteBufferList();
  if (FPipeRead != -1) ::close(FPipeRead);
  if (FPipeWrite != -1) ::close(FPipeWrite);
  FPipeRead = FPipeWrite = -1;
  const int S = FHSocket.exchange(-1);
  if (S != -1) {
    Ics_shutdown(S, SHUT_RDWR);
    Ics_closesocket(S);
  }
}

// ---------------------------------------------------------------------------------------------
// The loop

void TWorkerThread::Execute() {
  FLoopThreadId.store(GetCurrentThreadId());
  MsgQueue->OwnerThreadId.store(GetCurrentThreadId());
  FState.store(wsClosed);
  FStarted.store(true);
  while (!Terminated()) {
    TIcsClassMsg Rec;
    // An exception thrown by an event handler must not end the loop: the socket would be left
    // without a thread and everyone waiting for it would hang. It is traced and dropped.
    try {
      if (MsgQueue->GetMessage(Rec) && !Terminated()) MsgQueue->DispatchMessage(Rec);
    } catch (const std::exception& E) {
      LogMsg(Name() + " exception in message handler: " + E.what());
    } catch (...) {
      LogMsg(Name() + " exception in message handler");
    }
  }
  FExited.store(true);
}

uint32_t TWorkerThread::WndProc(uint32_t Msg, int32_t WParam, int32_t LParam) {
  (void)LParam;
  // A close request is counted as handled however its handling ends, so that a Close waiting for
  // it never hangs (also when the handler throws or the worker is being destroyed).
  struct TCloseNote {
    TWorkerThread* Self;
    ~TCloseNote() {
      if (Self) Self->NoteCloseHandled();
    }
  } Note{Msg == WM_ICS_CLOSE ? this : nullptr};

  // No message is handled while any worker is inside a close.
  { std::lock_guard<std::recursive_mutex> Guard(CloseLock()); }
  if (FDestroying.load()) return 0;

  switch (Msg) {
    case WM_ICS_CONNECT:
      try {
        OpConnect();
        TriggerSessionConnected(static_cast<uint16_t>(LastError()));
        MsgQueue->SelectRead.store(true);
        MsgQueue->Listening.store(false);
        MsgQueue->WatchedSocket.store(FHSocket.load());
      } catch (...) {
        TriggerSessionConnected(static_cast<uint16_t>(LastError()));
      }
      break;
    case WM_ICS_CLOSE:
      if (WParam == IcsReleaseCloseParam) {
        OpReleaseClose();
        break;
      }
      try {
        OpClose();
        TriggerSessionClosed(static_cast<uint16_t>(LastError()));
        ChangeState(wsClosed);
      } catch (...) {
        TriggerSessionClosed(static_cast<uint16_t>(LastError()));
      }
      break;
    case WM_ICS_DATA_AVAILABLE:
      OpDataAvailable();
      break;
    case WM_ICS_WRITE_READY:
    case WM_ICS_TRY_TO_SEND:
      OpWrite();
      break;
    case WM_ICS_LISTEN:
      try {
        OpListen();
      } catch (...) {
        TriggerError();
      }
      break;
    case WM_ICS_DUP:
      OpDup(WParam);
      break;
    case WM_ICS_SESSION_AVAILABLE:
      TriggerSessionAvailable(0);
      break;
    case WM_ICS_DONT_READ_FLAG:
      MsgQueue->SelectRead.store(WParam == 0);
      break;
    case WM_ICS_ACCEPT:
      OpAccept();
      break;
    default:  // WM_ICS_SOCKET_EXCEPTION, WM_ICS_USER and any other id
      break;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Triggers, state and errors

void TWorkerThread::TriggerSessionConnected(uint16_t ErrorCode) {
  TCodeSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnSessionConnected;
  }
  if (Slot) Slot(ErrorCode);
}

void TWorkerThread::TriggerSessionClosed(uint16_t ErrorCode) {
  TCodeSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnSessionClosed;
  }
  if (Slot) Slot(ErrorCode);
}

void TWorkerThread::TriggerSessionAvailable(uint16_t ErrorCode) {
  LogMsg("TWorkerThread.TriggerSessionAvailable");
  if (Terminated() || FDestroying.load()) {
    LogMsg("Strange (1) !");
    return;
  }
  TCodeSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnSessionAvailable;
  }
  try {
    if (Slot) Slot(ErrorCode);
  } catch (...) {
    LogMsg("TWorkerThread.TriggerSessionAvailable exception");
  }
}

void TWorkerThread::TriggerChangeState(TIcsSocketState OldState, TIcsSocketState NewState) {
  TChangeStateSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnChangeState;
  }
  if (Slot) Slot(OldState, NewState);
}

void TWorkerThread::TriggerError() {
  TErrorSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnError;
  }
  if (Slot) Slot(this);
}

void TWorkerThread::TriggerDataSent() {
  TCodeSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnDataSent;
  }
  if (Slot) Slot(static_cast<uint16_t>(LastError()));
}

void TWorkerThread::TriggerSendData(int32_t Count) {
  TSendDataSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnSendData;
  }
  if (Slot) Slot(Count);
}

void TWorkerThread::ChangeState(TIcsSocketState NewState) {
  const TIcsSocketState Old = FState.exchange(NewState);
  if (Old != NewState) TriggerChangeState(Old, NewState);
}

void TWorkerThread::RaiseException(const std::string& Msg) {
  bool HasSlot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    HasSlot = static_cast<bool>(FOnError);
  }
  if (HasSlot) {
    TriggerError();
    return;
  }
  throw ESocketException(Msg);
}

void TWorkerThread::SetLastError(int32_t Code, const std::string& Msg) {
  std::lock_guard<std::mutex> Guard(LastErrorLock);
  FLastError.store(Code);
  FLastErrorMsg = Msg;
}

void TWorkerThread::ClearLastError() {
  SetLastError(0, std::string());
}

std::string TWorkerThread::LastErrorMsg() const {
  std::lock_guard<std::mutex> Guard(LastErrorLock);
  return FLastErrorMsg;
}

// ---------------------------------------------------------------------------------------------
// Slots

void TWorkerThread::SetOnError(TErrorSlot Slot) {
  std::lock_guard<std::mutex> Guard(SlotLock);
  FOnError = std::move(Slot);
}
void TWorkerThread::SetOnSessionConnected(TCodeSlot Slot) {
  std::lock_guard<std::mutex> Guard(SlotLock);
  FOnSessionConnected = std::move(Slot);
}
void TWorkerThread::SetOnSessionClosed(TCodeSlot Slot) {
  std::lock_guard<std::mutex> Guard(SlotLock);
  FOnSessionClosed = std::move(Slot);
}
void TWorkerThread::SetOnSessionAvailable(TCodeSlot Slot) {
  std::lock_guard<std::mutex> Guard(SlotLock);
  FOnSessionAvailable = std::move(Slot);
}
void TWorkerThread::SetOnChangeState(TChangeStateSlot Slot) {
  std::lock_guard<std::mutex> Guard(SlotLock);
  FOnChangeState = std::move(Slot);
}
void TWorkerThread::SetOnDataAvailable(TDataAvailableSlot Slot) {
  std::lock_guard<std::mutex> Guard(SlotLock);
  FOnDataAvailable = std::move(Slot);
}
void TWorkerThread::SetOnDataSent(TCodeSlot Slot) {
  std::lock_guard<std::mutex> Guard(SlotLock);
  FOnDataSent = std::move(Slot);
}
void TWorkerThread::SetOnSendData(TSendDataSlot Slot) {
  std::lock_guard<std::mutex> Guard(SlotLock);
  FOnSendData = std::move(Slot);
}

void TWorkerThread::ClearCallbacks() {
  // The slots are moved out and released after the lock, in case releasing a slot's target runs
  // code that comes back here.
  TErrorSlot E;
  TCodeSlot C1, C2, C3, C4;
  TChangeStateSlot S;
  TDataAvailableSlot D;
  TSendDataSlot SD;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    E.swap(FOnError);
    C1.swap(FOnSessionConnected);
    C2.swap(FOnSessionClosed);
    C3.swap(FOnSessionAvailable);
    C4.swap(FOnDataSent);
    S.swap(FOnChangeState);
    D.swap(FOnDataAvailable);
    SD.swap(FOnSendData);
  }
  FDupDone.store(nullptr);
}

// ---------------------------------------------------------------------------------------------
// Names and settings

void TWorkerThread::SetName(const std::string& Value) {
  {
    std::lock_guard<std::mutex> Guard(NameLock);
    FName = Value;
  }
  if (MsgQueue) MsgQueue->SetName(Value + "MsgQueue");
}

std::string TWorkerThread::Name() const {
  std::lock_guard<std::mutex> Guard(NameLock);
  return FName;
}

namespace {

// The shared rule of the address, protocol and port setters.
void StoreSetting(const std::string& Value, std::string& Text, bool& Assigned, bool& Resolved,
                  const char* EmptyValue) {
  if (Assigned && Text == Value) return;
  std::string T = Trim(Value);
  if (T.empty()) {
    Assigned = false;
    if (EmptyValue)
      Text = EmptyValue;
    else
      Text.clear();
    return;
  }
  Text = std::move(T);
  Resolved = false;
  Assigned = true;
}

}  // namespace

void TWorkerThread::SetAddr(const std::string& Value) {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  StoreSetting(Value, FAddrStr, FAddrAssigned, FAddrResolved, nullptr);
}
void TWorkerThread::SetProto(const std::string& Value) {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  StoreSetting(Value, FProtoStr, FProtoAssigned, FProtoResolved, nullptr);
}
void TWorkerThread::SetPort(const std::string& Value) {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  StoreSetting(Value, FPortStr, FPortAssigned, FPortResolved, nullptr);
}
void TWorkerThread::SetLocalPort(const std::string& Value) {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  StoreSetting(Value, FLocalPortStr, FLocalPortAssigned, FLocalPortResolved, "0");
}

#define ICS_SETTING_GETTER(Type, Getter, Field)      \
  Type TWorkerThread::Getter() const {               \
    std::lock_guard<std::mutex> Guard(SettingsLock); \
    return Field;                                    \
  }
ICS_SETTING_GETTER(std::string, Addr, FAddrStr)
ICS_SETTING_GETTER(std::string, Proto, FProtoStr)
ICS_SETTING_GETTER(std::string, Port, FPortStr)
ICS_SETTING_GETTER(std::string, LocalPort, FLocalPortStr)
ICS_SETTING_GETTER(bool, AddrAssigned, FAddrAssigned)
ICS_SETTING_GETTER(bool, AddrResolved, FAddrResolved)
ICS_SETTING_GETTER(bool, ProtoAssigned, FProtoAssigned)
ICS_SETTING_GETTER(bool, ProtoResolved, FProtoResolved)
ICS_SETTING_GETTER(bool, PortAssigned, FPortAssigned)
ICS_SETTING_GETTER(bool, PortResolved, FPortResolved)
#undef ICS_SETTING_GETTER

void TWorkerThread::SetDontRead(bool Value) {
  FDontRead.store(Value);
  PostMessage(WM_ICS_DONT_READ_FLAG, Value ? 1 : 0, 0);
}

// ---------------------------------------------------------------------------------------------
// Connect, listen and the resolution they share

void TWorkerThread::Connect() {
  if (FHSocket.load() != -1 && State() != wsClosed) {
    RaiseException("Connect: Socket already in use");
    return;
  }
  bool Port, Addr, Proto;
  {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    Port = FPortAssigned;
    Addr = FAddrAssigned;
    Proto = FProtoAssigned;
  }
  if (!Port) {
    RaiseException("Connect: No Port Specified");
    return;
  }
  if (!Addr) {
    RaiseException("Connect: No IP Address Specified");
    return;
  }
  if (!Proto) {
    RaiseException("Connect: No Protocol Specified");
    return;
  }
  DeleteBufferList();
  FCloseInvoked.store(false);
  ChangeState(wsConnecting);
  PostMessage(WM_ICS_CONNECT, 0, 0);
}

void TWorkerThread::Listen() {
  bool Port, Addr, Proto;
  {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    Port = FPortAssigned;
    Addr = FAddrAssigned;
    Proto = FProtoAssigned;
  }
  if (!Port) {
    RaiseException("listen: port not assigned");
    return;
  }
  if (!Proto) {
    RaiseException("listen: protocol not assigned");
    return;
  }
  if (!Addr) {
    RaiseException("listen: address not assigned");
    return;
  }
  DeleteBufferList();
  FCloseInvoked.store(false);
  PostMessage(WM_ICS_LISTEN, 0, 0);
}

void TWorkerThread::ResolveStep(const char* FailurePrefix) {
  ClearLastError();
  FSockAddr.sin_family = AF_INET;
  int32_t Code = 0;
  std::string Msg;
  try {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    if (!FProtoResolved) {
      Code = ResolveProtoError;
      const int32_t Num = IcsSocketResolveProto(FProtoStr);
      FProtoNum.store(Num);
      FSockType.store(Num == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM);
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      Code = ResolvePortError;
      const uint16_t P = IcsSocketResolvePort(FPortStr, FProtoStr);
      FPortNum.store(P);
      FSockAddr.sin_port = Ics_htons(P);
      FPortResolved = true;
    }
    if (!FLocalPortResolved) {
      Code = ResolvePortError;
      FLocalPortNum.store(IcsSocketResolvePort(FLocalPortStr, FProtoStr));
      FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
      Code = ResolveHostError;
      FSockAddr.sin_addr.s_addr = IcsSocketResolveHost(FAddrStr);
      FAddrResolved = true;
    }
    return;
  } catch (const ESocketException& E) {
    Msg = std::string(FailurePrefix) + "ESocketException: " + E.what();
  } catch (const std::exception& E) {
    Msg = std::string(FailurePrefix) + "Exception: " + E.what();
  }
  SetLastError(Code, Msg);
  ChangeState(wsClosed);
  throw std::runtime_error(Msg);
}

void TWorkerThread::OpConnect() {
  ResolveStep("connect failed. ");
  if (CreateAndConnect()) SetNonBlocking();
}

void TWorkerThread::FailSocket(int32_t Code, const std::string& Msg) {
  SetLastError(Code, Msg);
  const int S = FHSocket.exchange(-1);
  if (S != -1) {
    Ics_shutdown(S, SHUT_RDWR);
    Ics_closesocket(S);
  }
  ChangeState(wsClosed);
}

bool TWorkerThread::CreateAndConnect() {
  const int S = Ics_socket(AF_INET, FSockType.load(), FProtoNum.load());
  if (S == -1) {
    SetLastError(LastOSError(), "socket failed");
    ChangeState(wsClosed);
    return false;
  }
  FHSocket.store(S);
  ChangeState(wsOpened);

  try {
    if (FSockType.load() == SOCK_DGRAM) {
      BindSocket();
      if (FSockAddr.sin_addr.s_addr == INADDR_BROADCAST) {
        const int32_t On = 1;
        if (Ics_setsockopt(S, SOL_SOCKET, SO_BROADCAST, &On, sizeof(On)) != 0) {
          FailSocket(LastOSError(), "setsockopt(SO_BROADCAST)");
          return false;
        }
      }
      ChangeState(wsConnected);
      return true;
    }

    const int32_t On = -1;
    if (Ics_setsockopt(S, SOL_SOCKET, SO_REUSEADDR, &On, sizeof(On)) != 0) {
      FailSocket(LastOSError(), "setsockopt(SO_REUSEADDR)");
      return false;
    }
    SetLingerOption();
    if (Ics_setsockopt(S, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof(On)) != 0) {
      FailSocket(LastOSError(), "setsockopt(SO_KEEPALIVE)");
      return false;
    }
    bool NeedBind;
    {
      std::lock_guard<std::mutex> Guard(SettingsLock);
      NeedBind = FLocalPortNum.load() != 0 || FLocalAddrStr != "0.0.0.0";
    }
    if (NeedBind) BindSocket();
  } catch (const TBindFailure& F) {
    // A socket that cannot take its local address is not left open half made: the attempt
    // fails like any other, with the OS error in the session-connected event.
    FailSocket(F.Code, F.Msg);
    return false;
  }

  ChangeState(wsConnecting);
  if (Ics_connect(S, reinterpret_cast<const sockaddr*>(&FSockAddr), sizeof(FSockAddr)) != 0) {
    FailSocket(LastOSError(), "connect failed");
    return false;
  }
  ChangeState(wsConnected);
  return true;
}

void TWorkerThread::SetLingerOption() {
  const TIcsSocketLingerOnOff Mode = FLingerOnOff.load();
  const int S = FHSocket.load();
  if (Mode == wsLingerNoSet || S == -1) return;
  struct linger L;
  L.l_onoff = Mode == wsLingerOn ? 1 : 0;
  L.l_linger = FLingerTimeout.load();
  Ics_setsockopt(S, SOL_SOCKET, SO_LINGER, &L, sizeof(L));
}

bool TWorkerThread::SetNonBlocking() {
  int32_t On = -1;
  const int S = FHSocket.load();
  if (Ics_ioctl(S, FIONBIO, &On) == -1) {
    SetLastError(LastOSError(), "ioctlsocket(FIONBIO) failed");
    FHSocket.store(-1);
    Ics_shutdown(S, SHUT_RDWR);
    Ics_closesocket(S);
    MsgQueue->WatchedSocket.store(-1);
    ChangeState(wsClosed);
    return false;
  }
  return true;
}

void TWorkerThread::BindSocket() {
  sockaddr_in Local{};
  Local.sin_family = AF_INET;
  Local.sin_port = Ics_htons(static_cast<uint16_t>(FLocalPortNum.load()));
  std::string LocalAddr;
  {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    LocalAddr = FLocalAddrStr;
  }
  Local.sin_addr.s_addr = IcsSocketResolveHost(LocalAddr);
  const int S = FHSocket.load();
  if (Ics_bind(S, reinterpret_cast<const sockaddr*>(&Local), sizeof(Local)) != 0) {
    const int32_t Err = LastOSError();
    throw TBindFailure{Err, "bind failed, error #" + std::to_string(Err)};
  }
  socklen_t Len = sizeof(Local);
  if (Ics_getsockname(S, reinterpret_cast<sockaddr*>(&Local), &Len) != 0) {
    const int32_t Err = LastOSError();
    throw TBindFailure{Err, "getsockname failed, error #" + std::to_string(Err)};
  }
  const uint16_t Chosen = Ics_ntohs(Local.sin_port);
  FLocalPortNum.store(Chosen);
  std::lock_guard<std::mutex> Guard(SettingsLock);
  FLocalPortStr = std::to_string(Chosen);
}

void TWorkerThread::OpListen() {
  ResolveStep("listen failed. ");
  const int S = Ics_socket(AF_INET, FSockType.load(), FProtoNum.load());
  if (S == -1) {
    SetLastError(LastOSError(), "socket failed");
    ChangeState(wsClosed);
    TriggerSessionClosed(static_cast<uint16_t>(LastError()));
    return;
  }
  FHSocket.store(S);
  if (Ics_bind(S, reinterpret_cast<const sockaddr*>(&FSockAddr), sizeof(FSockAddr)) == 0) {
    ChangeState(wsBound);
  } else {
    SetLastError(LastOSError(), "bind failed");
    FHSocket.store(-1);
    Ics_shutdown(S, SHUT_RDWR);
    Ics_closesocket(S);
    ChangeState(wsClosed);
    TriggerSessionClosed(static_cast<uint16_t>(LastError()));
    return;
  }
  SetNonBlocking();
  if (FHSocket.load() == -1) return;

  if (FSockType.load() == SOCK_DGRAM) {
    ChangeState(wsListening);
    ChangeState(wsConnected);
    return;
  }
  if (Ics_listen(S, 5) == 0) {
    MsgQueue->Listening.store(true);
    MsgQueue->SelectRead.store(true);
    MsgQueue->WatchedSocket.store(S);
    ChangeState(wsListening);
  } else {
    SetLastError(LastOSError(), "listen failed");
    FHSocket.store(-1);
    Ics_shutdown(S, SHUT_RDWR);
    Ics_closesocket(S);
    ChangeState(wsClosed);
  }
}

// ---------------------------------------------------------------------------------------------
// Close

void TWorkerThread::OpClose() {
  std::lock_guard<std::recursive_mutex> Guard(CloseLock());
  LogMsg("OpClose enter");
  ClearLastError();
  if (State() == wsClosed) return;
  MsgQueue->SelectRead.store(false);
  const int S = FHSocket.load();
  if (S != -1) {
    if (Ics_closesocket(S) < 0) SetLastError(LastOSError(), "closesocket failed");
    FHSocket.store(-1);
    MsgQueue->WatchedSocket.store(-1);
  }
  LogMsg("OpClose exit");
}

void TWorkerThread::OpReleaseClose() {
  // The buffer goes first: BufLock is never taken while CloseLock is held.
  DeleteBufferList();
  std::lock_guard<std::recursive_mutex> Guard(CloseLock());
  LogMsg("OpClose enter");
  MsgQueue->SelectRead.store(false);
  MsgQueue->SelectWrite.store(false);
  MsgQueue->Listening.store(false);
  MsgQueue->WatchedSocket.store(-1);
  const int S = FHSocket.exchange(-1);
  if (S != -1 && Ics_closesocket(S) < 0) SetLastError(LastOSError(), "closesocket failed");
  FCloseInvoked.store(false);
  // Every slot is empty by now, so this only records the state.
  ChangeState(wsClosed);
  LogMsg("OpClose exit");
}

void TWorkerThread::NoteCloseHandled() {
  {
    std::lock_guard<std::mutex> Guard(CloseWaitLock);
    FClosesHandled.fetch_add(1);
  }
  CloseWaitCv.notify_all();
}

void TWorkerThread::PostCloseAndWait(int32_t WParam) {
  const uint64_t Target = FClosesPosted.fetch_add(1) + 1;
  PostMessage(WM_ICS_CLOSE, WParam, 0);
  // On the worker itself the close follows the message being handled now.
  if (GetCurrentThreadId() == FLoopThreadId.load()) return;
  const bool OnMain = IsMainThread();
  std::unique_lock<std::mutex> Lock(CloseWaitLock);
  while (FClosesHandled.load() < Target) {
    if (OnMain) {
      // The worker may be waiting for the main thread (a handler that queued a call there), so
      // the main thread keeps serving its queue while it waits.
      Lock.unlock();
      ProcessMainThreadCalls();
      Lock.lock();
      if (FClosesHandled.load() >= Target) break;
      CloseWaitCv.wait_for(Lock, std::chrono::milliseconds(1));
    } else {
      CloseWaitCv.wait(Lock);
    }
  }
}

void TWorkerThread::Close() {
  LogMsg("Close");
  if (State() == wsClosed) return;
  PostCloseAndWait(0);
}

void TWorkerThread::Detach() {
  ClearCallbacks();
  if (GetCurrentThreadId() == FLoopThreadId.load()) {
    OpReleaseClose();
    return;
  }
  if (!FStarted.load() || FExited.load()) return;
  PostCloseAndWait(IcsReleaseCloseParam);
}

// ---------------------------------------------------------------------------------------------
// Sending

void TWorkerThread::PutDataInSendBuffer(const void* Data, int32_t Length) {
  if (Length <= 0) return;
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  if (BufList.empty()) BufList.push_back(std::make_unique<TIcsBuffer>(FBufSize));
  const uint8_t* P = static_cast<const uint8_t*>(Data);
  TIcsBuffer* Chunk = BufList.back().get();
  for (;;) {
    const int32_t N = Chunk->Write(P, Length);
    if (N >= Length) break;
    P += N;
    Length -= N;
    BufList.push_back(std::make_unique<TIcsBuffer>(FBufSize));
    Chunk = BufList.back().get();
  }
}

void TWorkerThread::DeleteBufferList() {
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  BufList.clear();
}

int32_t TWorkerThread::BufferChunkCount() const {
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  return static_cast<int32_t>(BufList.size());
}

int32_t TWorkerThread::BufferedBytes() const {
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  int32_t Total = 0;
  for (const auto& Chunk : BufList) Total += Chunk->WrCount() - Chunk->RdCount();
  return Total;
}

int32_t TWorkerThread::Send(const void* Data, int32_t Length) {
  LogMsg("TWorkerThread.Send");
  FAllSent.store(false);
  int32_t Result = 0;
  if (Length > 0) {
    PutDataInSendBuffer(Data, Length);
    Result = Length;
  }
  // Unless the worker has meanwhile written everything, wake its write cycle. One wake-up that
  // the worker has not begun to handle yet serves every Send behind it: that write cycle starts
  // by clearing the flag and then reads the whole buffer, which already holds these bytes (they
  // went in under BufLock before the flag was read). A burst of sends thus costs the caller no
  // post per call while the worker is busy.
  if (!FAllSent.load()) {
    MsgQueue->SelectWrite.store(true);
    if (!FTryToSendPending.exchange(true)) PostMessage(WM_ICS_TRY_TO_SEND, 0, 0);
  }
  return Result;
}

int32_t TWorkerThread::RealSend(const uint8_t* Data, int32_t Length) {
  const size_t TextLen = ::strnlen(reinterpret_cast<const char*>(Data), Length);
  LogMsg(Name() + " send \"" + std::string(reinterpret_cast<const char*>(Data), TextLen) + "\"");
  const int S = FHSocket.load();
  ssize_t R;
  if (FSockType.load() == SOCK_DGRAM)
    R = Ics_sendto(S, Data, Length, FSendFlags, reinterpret_cast<const sockaddr*>(&FSockAddr),
                   sizeof(FSockAddr));
  else
    R = Ics_send(S, Data, Length, FSendFlags | MSG_NOSIGNAL);
  if (R > 0) {
    TriggerSendData(static_cast<int32_t>(R));
    return static_cast<int32_t>(R);
  }
  const int32_t Err = LastOSError();
  SetLastError(Err, "send or sendto failed");
  if (Err == EPIPE) {
    FCloseInvoked.store(true);
    FLastError.store(ECONNRESET);
    return 0;
  }
  return static_cast<int32_t>(R);
}

void TWorkerThread::OpWrite() {
  LogMsg("OpWrite");
  // From here on a Send must wake the worker again: this cycle may already have read past its
  // bytes.
  FTryToSendPending.store(false);
  std::unique_lock<std::recursive_mutex> Guard(BufLock);
  if (FHSocket.load() == -1 || BufList.empty()) {
    LogMsg("OpWrite nothing to send");
    // Nothing will ever be written for this wake-up, so stop watching for writability: left
    // set, the always-writable socket would wake the loop again and again. A later Send sets it
    // again after it has queued its bytes (which it does under BufLock, held here).
    MsgQueue->SelectWrite.store(false);
    return;
  }
  for (;;) {
    TIcsBuffer* Chunk = BufList.front().get();
    int32_t Count = 0;
    const uint8_t* P = Chunk->Peek(Count);
    if (Count <= 0) {
      if (BufList.size() == 1) {
        FAllSent.store(true);
        break;
      }
      BufList.pop_front();
      continue;
    }
    const int32_t R = RealSend(P, Count);
    if (R == 0) break;
    if (R < 0) {
      const int32_t Err = LastError();
      if (Err == ECONNRESET || Err == ENOTSOCK || Err == ENOTCONN || Err == EINVAL ||
          Err == ECONNABORTED) {
        OpClose();
        TriggerSessionClosed(static_cast<uint16_t>(Err));
        break;
      }
      if (Err == EAGAIN || Err == EWOULDBLOCK) break;
      SetLastError(Err, "TryToSend failed");
      return;
    }
    Chunk->Remove(R);
    if (R < Count) break;
  }
  if (FAllSent.load()) {
    MsgQueue->SelectWrite.store(false);
    TriggerDataSent();
  }
  if (FCloseInvoked.load()) OpClose();
  LogMsg("OpWrite exit");
}

// ---------------------------------------------------------------------------------------------
// Receiving

void TWorkerThread::OpDataAvailable() {
  LogMsg("OpDataAvailable");
  const int S = FHSocket.load();
  int32_t Count = 0;
  if (Ics_ioctl(S, FIONREAD, &Count) == -1) return;
  if (Count == 0) {
    char Byte;
    // MSG_DONTWAIT: an adopted handle may be in blocking mode, and the peek must never block the
    // worker. A peek that finds nothing yet (EAGAIN, EINTR) is not an end of stream.
    const ssize_t R = Ics_recv(S, &Byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (R > 0) return;
    if (R < 0) {
      const int32_t Err = LastOSError();
      if (Err == EAGAIN || Err == EWOULDBLOCK || Err == EINTR) return;
    }
    LogMsg("ClosedByRemote");
    FCloseInvoked.store(true);
    OpClose();
    TriggerSessionClosed(static_cast<uint16_t>(LastError()));
    ChangeState(wsClosed);
    return;
  }
  TDataAvailableSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnDataAvailable;
  }
  if (!Slot || !Slot(0)) {
    char Drop[257];
    Ics_recv(FHSocket.load(), Drop, sizeof(Drop), 0);
  }
  if (FCloseInvoked.load()) OpClose();
}

int32_t TWorkerThread::GetRcvdCount() {
  const int S = FHSocket.load();
  int32_t Count = 0;
  if (Ics_ioctl(S, FIONREAD, &Count) == -1) return -1;
  if (Count == 0) {
    char Byte;
    const ssize_t R = Ics_recv(S, &Byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (R == 0 || (R == -1 && LastOSError() == EPIPE)) FCloseInvoked.store(true);
    return 0;
  }
  return Count;
}

int32_t TWorkerThread::Receive(void* Buffer, int32_t BufferSize) {
  return static_cast<int32_t>(Ics_recv(FHSocket.load(), Buffer, BufferSize, 0));
}

std::string TWorkerThread::ReceiveStr() {
  std::string Result;
  const int32_t N = GetRcvdCount();
  if (N > 0) {
    Result.resize(N);
    const int32_t R = Receive(Result.data(), N);
    if (R > 0)
      Result.resize(R);
    else
      Result.clear();
  }
  return Result;
}

// ---------------------------------------------------------------------------------------------
// Accept and Dup

void TWorkerThread::OpAccept() {
  ClearLastError();
  sockaddr_in Addr{};
  socklen_t Len = sizeof(Addr);
  const int H = Ics_accept(FHSocket.load(), reinterpret_cast<sockaddr*>(&Addr), &Len);
  if (H == -1) SetLastError(LastOSError(), "accept failed");
  FAcceptedSocket.store(H);
}

int TWorkerThread::Accept() {
  LogMsg("TWorkerThread.Accept enter");
  OpAccept();
  const int H = FAcceptedSocket.exchange(-1);
  LogMsg("TWorkerThread.Accept enter");
  return H;
}

void TWorkerThread::OpDup(int NewHSocket) {
  LogMsg("OpDup(" + std::to_string(NewHSocket) + ") FHSocket = " + std::to_string(FHSocket.load()));
  // The waiting Dup is released however this ends, even when a handler throws.
  struct TDupDoneNote {
    TWorkerThread* Self;
    ~TDupDoneNote() {
      if (std::atomic<bool>* Flag = Self->FDupDone.load()) Flag->store(true);
    }
  } Note{this};
  FHSocket.store(NewHSocket);
  // A pooled worker may have served a datagram socket before: the adopted handle's own type
  // decides between send and sendto, so that a stream keeps MSG_NOSIGNAL and never raises
  // SIGPIPE on a broken connection.
  int32_t Type = 0;
  socklen_t TypeLen = sizeof(Type);
  if (::getsockopt(NewHSocket, SOL_SOCKET, SO_TYPE, &Type, &TypeLen) == 0)
    FSockType.store(Type == SOCK_DGRAM ? SOCK_DGRAM : SOCK_STREAM);
  MsgQueue->Listening.store(false);
  MsgQueue->WatchedSocket.store(NewHSocket);
  FCloseInvoked.store(false);
  DeleteBufferList();
  // An adopted connection is a success: an error left over from an earlier connection of this
  // worker must not be reported with it.
  ClearLastError();
  ChangeState(wsConnected);
  TriggerSessionConnected(static_cast<uint16_t>(LastError()));
  MsgQueue->SelectRead.store(!FDontRead.load());
}

void TWorkerThread::Dup(int NewHSocket) {
  const std::string Text = "Dup(" + std::to_string(NewHSocket) + ")";
  LogMsg(Text);
  std::atomic<bool>* Flag = FDupDone.load();
  if (Flag) Flag->store(false);
  if (NewHSocket == 0 || NewHSocket == -1) {
    if (Flag) Flag->store(true);
    RaiseException(Text);
    return;
  }
  if (State() != wsClosed) {
    LogMsg("Dup: Was not closed");
    if (NewHSocket == FHSocket.load())
      LogMsg("Dup: got same handle !");
    else
      Close();
  }
  PostMessage(WM_ICS_DUP, NewHSocket, 0);
}

// ---------------------------------------------------------------------------------------------
// Addresses and posting

std::string TWorkerThread::GetPeerAddr() {
  ClearLastError();
  sockaddr_in A{};
  socklen_t Len = sizeof(A);
  if (Ics_getpeername(FHSocket.load(), reinterpret_cast<sockaddr*>(&A), &Len) == -1) {
    SetLastError(LastOSError(), "GetPeerName");
    return std::string();
  }
  return Ics_inet_ntoa(A.sin_addr);
}

std::string TWorkerThread::GetPeerPort() {
  ClearLastError();
  sockaddr_in A{};
  socklen_t Len = sizeof(A);
  if (Ics_getpeername(FHSocket.load(), reinterpret_cast<sockaddr*>(&A), &Len) == -1) {
    SetLastError(LastOSError(), "GetPeerPort");
    return std::string();
  }
  return std::to_string(Ics_ntohs(A.sin_port));
}

std::string TWorkerThread::GetSockAddr() {
  ClearLastError();
  sockaddr_in A{};
  socklen_t Len = sizeof(A);
  if (Ics_getsockname(FHSocket.load(), reinterpret_cast<sockaddr*>(&A), &Len) == -1) {
    SetLastError(LastOSError(), "GetSockName");
    return "error";
  }
  return Ics_inet_ntoa(A.sin_addr);
}

std::string TWorkerThread::GetSockPort() {
  ClearLastError();
  sockaddr_in A{};
  socklen_t Len = sizeof(A);
  if (Ics_getsockname(FHSocket.load(), reinterpret_cast<sockaddr*>(&A), &Len) == -1) {
    SetLastError(LastOSError(), "GetSockName");
    return "error";
  }
  return std::to_string(Ics_ntohs(A.sin_port));
}

bool TWorkerThread::PostMessage(uint32_t Msg, int32_t WParam, int32_t LParam) {
  if (!MsgQueue) return false;
  return MsgQueue->PostMessage(Msg, WParam, LParam);
}
