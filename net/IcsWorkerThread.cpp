// The worker thread of a socket: its life, the message loop and its dispatch, the callbacks that
// report outcomes, and the requests that run on the caller's thread. The socket operations the
// messages trigger are in IcsWorkerOps.cpp.
//
// What a message does depends on the phase of the connection (TConnectPhase). A connect starts
// idle, waits in TCP connect and, with TLS, in TLS handshake, and ends connected, or idle when it
// fails; the end of the session and a release make the phase idle again.
//
//   message                 idle              TCP connect       TLS handshake     connected
//   WM_ICS_CONNECT          OpConnect         (a Connect is refused unless the socket is closed)
//   WM_ICS_CLOSE            ends the session  AbortConnect      AbortConnect      ends the session
//   WM_ICS_CLOSE, release   OpReleaseClose    OpReleaseClose    OpReleaseClose    OpReleaseClose
//   WM_ICS_DATA_AVAILABLE   OpDataAvailable   OpDataAvailable   StepHandshake     OpDataAvailable
//   WM_ICS_WRITE_READY      OpWrite           CompleteConnect   StepHandshake     OpWrite
//   WM_ICS_DEADLINE         -                 -                 FailHandshake     -
//   WM_ICS_TRY_TO_SEND      OpWrite           wake-up used up   wake-up used up   OpWrite
//   WM_ICS_LISTEN, WM_ICS_DUP, WM_ICS_SESSION_AVAILABLE, WM_ICS_DONT_READ_FLAG, WM_ICS_ACCEPT:
//                           the same in every phase
//
// "ends the session": nothing when the state is wsClosed already, otherwise the queued bytes are
// written (DrainBeforeClose) and the session ends (EndSession). A connect whose outcome is known
// ends with FinishConnect: the session-connected event, then watching for input.
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
#include "net/IcsWorkerPool.h"

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
  FMsgQueue = std::make_unique<TIcsMsgQueue>();
  FMsgQueue->SetName("MsgQueue");
  FMsgQueue->OnMessage = [this](uint32_t Msg, int32_t WParam, int32_t LParam) {
    return WndProc(Msg, WParam, LParam);
  };
  FMsgQueue->SetPipe(FPipeRead, FPipeWrite);
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
  FMsgQueue.reset();
  DeleteBufferList();
  if (FPipeRead != -1) ::close(FPipeRead);
  if (FPipeWrite != -1) ::close(FPipeWrite);
  FPipeRead = FPipeWrite = -1;
  CloseHandle();
}

// ---------------------------------------------------------------------------------------------
// The loop

void TWorkerThread::Execute() {
  FLoopThreadId.store(GetCurrentThreadId());
  FMsgQueue->OwnerThreadId.store(GetCurrentThreadId());
  FState.store(wsClosed);
  FStarted.store(true);
  while (!Terminated()) {
    TIcsClassMsg Rec;
    // An exception thrown by an event handler must not end the loop: the socket would be left
    // without a thread and everyone waiting for it would hang. It is traced and dropped.
    try {
      if (FMsgQueue->GetMessage(Rec) && !Terminated()) FMsgQueue->DispatchMessage(Rec);
    } catch (const std::exception& E) {
      LogMsg(Name() + " exception in message handler: " + E.what());
    } catch (...) {
      LogMsg(Name() + " exception in message handler");
    }
    // A socket destroyed inside one of its own handlers released this worker; the handler has
    // returned now, so nothing of the old socket runs any more and the worker may serve another.
    if (FReleasePending.load()) ReleaseAfterHandler();
  }
  // What OpenSSL kept for this thread's TLS sessions goes with the thread.
  IcsTlsThreadStop();
  FExited.store(true);
}

void TWorkerThread::ReleaseAfterHandler() {
  FReleasePending.store(false);
  try {
    OpReleaseClose();
  } catch (...) {
    LogMsg(Name() + " exception in release");
  }
  TIcsWorkerPool::Instance().FinishRelease(this);
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
  // A request handled here no longer holds back a Connect, however its handling ends. A connect
  // request stops counting as soon as its handling starts: its state (wsConnecting) says enough
  // from then on, and a handler of its outcome may connect again.
  struct TRequestNote {
    std::atomic<int32_t>* Pending;
    void Done() {
      if (!Pending) return;
      // Messages posted by hand (PostMessage) were never counted: the count stays at 0.
      int32_t N = Pending->load();
      while (N > 0 && !Pending->compare_exchange_weak(N, N - 1)) {
      }
      Pending = nullptr;
    }
    ~TRequestNote() { Done(); }
  } Request{
      (Msg == WM_ICS_CONNECT || Msg == WM_ICS_LISTEN || Msg == WM_ICS_DUP || Msg == WM_ICS_CLOSE)
          ? &FRequestsPending
          : nullptr};
  if (Msg == WM_ICS_CONNECT) Request.Done();

  // No message is handled while any worker is inside a close.
  { std::lock_guard<std::recursive_mutex> Guard(CloseLock()); }
  if (FDestroying.load()) return 0;

  switch (Msg) {
    case WM_ICS_CONNECT: {
      TConnectOutcome Outcome;
      try {
        Outcome = OpConnect();
      } catch (...) {
        // Resolution failed (the state is wsClosed already) or binding raised.
        Outcome = TConnectOutcome::coKnown;
      }
      if (Outcome == TConnectOutcome::coKnown) FinishConnect();
      break;
    }
    case WM_ICS_CLOSE:
      if (WParam == IcsReleaseCloseParam) {
        OpReleaseClose();
        break;
      }
      if (ConnectWaiting()) {
        AbortConnect();
        break;
      }
      // A close that crosses the end of the session (the peer closed, a write failed) finds the
      // state wsClosed: the session has been reported closed once already.
      if (State() == wsClosed) break;
      DrainBeforeClose();
      EndSession(0);
      break;
    case WM_ICS_DATA_AVAILABLE:
      if (FConnectPhase == TConnectPhase::cpTlsHandshake) {
        if (StepHandshake() == TConnectOutcome::coKnown) FinishConnect();
        break;
      }
      OpDataAvailable();
      break;
    case WM_ICS_WRITE_READY:
      if (FConnectPhase == TConnectPhase::cpTcpConnect) {
        CompleteConnect();
        break;
      }
      if (FConnectPhase == TConnectPhase::cpTlsHandshake) {
        if (StepHandshake() == TConnectOutcome::coKnown) FinishConnect();
        break;
      }
      OpWrite();
      break;
    case WM_ICS_DEADLINE:
      if (FConnectPhase == TConnectPhase::cpTlsHandshake) {
        FailHandshake(ETIMEDOUT, "no answer within " + std::to_string(FHandshakeTimeoutMs) + " ms");
        FinishConnect();
      }
      break;
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
      WatchRead(WParam == 0);
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
  if (FMsgQueue) FMsgQueue->SetName(Value + "MsgQueue");
}

std::string TWorkerThread::Name() const {
  std::lock_guard<std::mutex> Guard(NameLock);
  return FName;
}

void TIcsSetting::Store(const std::string& Value, const char* EmptyText) {
  if (Holds(Value)) return;
  std::string T = IcsTrim(Value);
  if (T.empty()) {
    Assigned = false;
    if (EmptyText) {
      // The local port falls back to "0" (let the OS choose). Its resolved number must follow:
      // left as it was, a pooled worker would bind its next socket to the port an earlier socket
      // was given (a bind stores the chosen port as the text).
      if (Text != EmptyText) Resolved = false;
      Text = EmptyText;
    } else {
      Text.clear();
    }
    return;
  }
  Text = std::move(T);
  Resolved = false;
  Assigned = true;
}

void TWorkerThread::SetAddr(const std::string& Value) {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  FAddr.Store(Value);
}
void TWorkerThread::SetProto(const std::string& Value) {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  FProto.Store(Value);
}
void TWorkerThread::SetPort(const std::string& Value) {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  FPort.Store(Value);
}
void TWorkerThread::SetLocalPort(const std::string& Value) {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  FLocalPort.Store(Value, "0");
}

std::string TWorkerThread::Addr() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FAddr.Text;
}
std::string TWorkerThread::Proto() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FProto.Text;
}
std::string TWorkerThread::Port() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FPort.Text;
}
std::string TWorkerThread::LocalPort() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FLocalPort.Text;
}
bool TWorkerThread::AddrAssigned() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FAddr.Assigned;
}
bool TWorkerThread::AddrResolved() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FAddr.Resolved;
}
bool TWorkerThread::ProtoAssigned() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FProto.Assigned;
}
bool TWorkerThread::ProtoResolved() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FProto.Resolved;
}
bool TWorkerThread::PortAssigned() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FPort.Assigned;
}
bool TWorkerThread::PortResolved() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FPort.Resolved;
}

void TWorkerThread::SetDontRead(bool Value) {
  FDontRead.store(Value);
  PostMessage(WM_ICS_DONT_READ_FLAG, Value ? 1 : 0, 0);
}

// ---------------------------------------------------------------------------------------------
// Connect and listen requests

void TWorkerThread::Connect() {
  // Only a closed socket with nothing on its way connects: a second Connect made before the
  // worker has even created the OS socket of the first would otherwise start a second connection
  // and lose the first one's descriptor.
  if (State() != wsClosed || FRequestsPending.load() != 0) {
    RaiseException("Connect: Socket already in use");
    return;
  }
  bool Port, Addr, Proto;
  {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    Port = FPort.Assigned;
    Addr = FAddr.Assigned;
    Proto = FProto.Assigned;
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
  // Two callers racing past the checks above: only one of them moves the state on.
  TIcsSocketState Expected = wsClosed;
  if (!FState.compare_exchange_strong(Expected, wsConnecting)) {
    RaiseException("Connect: Socket already in use");
    return;
  }
  DeleteBufferList();
  FCloseInvoked.store(false);
  FRequestsPending.fetch_add(1);
  TriggerChangeState(wsClosed, wsConnecting);
  PostMessage(WM_ICS_CONNECT, 0, 0);
}

void TWorkerThread::Listen() {
  bool Port, Addr, Proto;
  {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    Port = FPort.Assigned;
    Addr = FAddr.Assigned;
    Proto = FProto.Assigned;
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
  FRequestsPending.fetch_add(1);
  PostMessage(WM_ICS_LISTEN, 0, 0);
}

// ---------------------------------------------------------------------------------------------
// Close

void TWorkerThread::NoteCloseHandled() {
  {
    std::lock_guard<std::mutex> Guard(CloseWaitLock);
    FClosesHandled.fetch_add(1);
  }
  CloseWaitCv.notify_all();
}

void TWorkerThread::PostCloseAndWait(int32_t WParam) {
  const uint64_t Target = FClosesPosted.fetch_add(1) + 1;
  FRequestsPending.fetch_add(1);
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
    // The handler that destroys its socket is still running on this thread, and the rest of the
    // message's handling follows it: closing now, and going back to the pool now, would let a
    // new owner's socket see what is left of the old one's (a state change, a close). The loop
    // does both once the handler has returned.
    FReleasePending.store(true);
    return;
  }
  if (!FStarted.load() || FExited.load()) return;
  PostCloseAndWait(IcsReleaseCloseParam);
}

// ---------------------------------------------------------------------------------------------
// Sending

int32_t TWorkerThread::BufferChunkCount() const {
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  return static_cast<int32_t>(FBufList.size());
}

int32_t TWorkerThread::BufferedBytes() const {
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  int32_t Total = 0;
  for (const auto& Chunk : FBufList) Total += Chunk->WrCount() - Chunk->RdCount();
  return Total;
}

int32_t TWorkerThread::Send(const void* Data, int32_t Length) {
  LogMsg("TWorkerThread.Send");
  if (TestHooks.SendBeforeBufferLock) TestHooks.SendBeforeBufferLock();
  // The flag, the bytes and the decision to wake the worker are taken together under BufLock,
  // under which a write cycle also decides to stop (the buffer empty, or the socket full) and
  // clears the flag: a cycle that stops cannot slip in between, so the bytes are never left
  // behind with nothing to wake the worker.
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  FAllSent.store(false);
  int32_t Result = 0;
  if (Length > 0) {
    PutDataInSendBuffer(Data, Length);
    Result = Length;
  }
  // One wake-up serves every Send until its write cycle stops: the cycle goes on while the buffer
  // holds bytes. A burst of sends thus costs the caller no post per call while the worker is
  // busy.
  WatchWrite(true);
  if (!FTryToSendPending.exchange(true)) PostMessage(WM_ICS_TRY_TO_SEND, 0, 0);
  return Result;
}

// ---------------------------------------------------------------------------------------------
// Receiving

int32_t TWorkerThread::GetRcvdCount() {
  if (FTlsOn.load()) {
    // The decrypted bytes ready; an end of the stream seen here ends the session after the
    // handler, as for a plain socket.
    std::lock_guard<std::mutex> Guard(TlsLock);
    if (!FTls) return 0;
    const int32_t N = FTls->Available();
    if (N < 0) {
      FCloseInvoked.store(true);
      return 0;
    }
    return N;
  }
  if (GetCurrentThreadId() == FLoopThreadId.load() && FHandlerRcvdCount > 0)
    return FHandlerRcvdCount;
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
  if (FTlsOn.load()) {
    std::lock_guard<std::mutex> Guard(TlsLock);
    if (!FTls) {
      errno = ENOTCONN;
      return -1;
    }
    const int32_t R = FTls->Read(Buffer, BufferSize);
    if (R == 0 && BufferSize > 0) FCloseInvoked.store(true);
    if (R < 0 && FTls->Ended()) FCloseInvoked.store(true);
    return R;
  }
  if (GetCurrentThreadId() == FLoopThreadId.load()) FHandlerRcvdCount = -1;
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

int TWorkerThread::Accept() {
  LogMsg("TWorkerThread.Accept enter");
  OpAccept();
  const int H = FAcceptedSocket.exchange(-1);
  LogMsg("TWorkerThread.Accept enter");
  return H;
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
  FRequestsPending.fetch_add(1);
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
  if (!FMsgQueue) return false;
  return FMsgQueue->PostMessage(Msg, WParam, LParam);
}
