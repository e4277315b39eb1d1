// The socket component: property rules, worker wiring, operations and error routing.
#include "net/IcsSocket.h"

#include <stdexcept>
#include <thread>

#include "base/Thread.h"
#include "net/IcsLogMsg.h"
#include "net/IcsSocketIntf.h"

TIcsCustomSocket::TIcsCustomSocket(TComponent* AOwner)
    : TComponent(AOwner), WorkerThreadClass(DefaultWorkerThreadClass()) {}

TIcsCustomSocket::~TIcsCustomSocket() {
  ReleaseWorker();
}

void TIcsCustomSocket::ReleaseWorker() {
  // Called by each destructor of the class tree, the most derived first.
  if (!IsDestroying()) {
    LogMsg(Name() + ".Destroy");
    MarkDestroying();
  }
  TWorkerThread* W = FWorkerThread;
  if (!W) return;
  // The worker is forgotten only once it has been handed back: until then an event of this
  // socket may still be running on it and reading this field.
  try {
    TIcsWorkerPool::Instance().ReleaseThread(W);
  } catch (const std::exception& E) {
    LogMsg(std::string("TIcsCustomSocket.ReleaseWorker: ") + E.what());
  }
  FWorkerThread = nullptr;
}

void TIcsCustomSocket::SetName(const std::string& Value) {
  TComponent::SetName(Value);
  if (FWorkerThread) FWorkerThread->SetName(Value + "WorkerThread");
}

// ---------------------------------------------------------------------------------------------
// Properties

bool TIcsCustomSocket::RefuseWhileOpen(const char* Property) {
  if (FWorkerThread && FWorkerThread->State() != wsClosed) {
    RaiseException(std::string("Cannot change ") + Property + " if not closed");
    return true;
  }
  return false;
}

void TIcsCustomSocket::SetAddr(const std::string& Value) {
  if (FAddr.Holds(Value)) return;
  if (RefuseWhileOpen("Addr")) return;
  FAddr.Store(Value);
}

void TIcsCustomSocket::SetPort(const std::string& Value) {
  if (FPort.Holds(Value)) return;
  if (RefuseWhileOpen("Port")) return;
  FPort.Store(Value);
}

void TIcsCustomSocket::SetProto(const std::string& Value) {
  if (FProto.Holds(Value)) return;
  if (RefuseWhileOpen("Proto")) return;
  FProto.Store(Value);
}

void TIcsCustomSocket::SetLocalPort(const std::string& Value) {
  if (RefuseWhileOpen("LocalPort")) return;
  FLocalPort = Value;
}

std::string TIcsCustomSocket::LastErrorMsg() const {
  std::lock_guard<std::mutex> Guard(LastErrorLock);
  return FLastErrorMsg;
}

void TIcsCustomSocket::SetLastErrorPair(int32_t Code, const std::string& Msg) {
  std::lock_guard<std::mutex> Guard(LastErrorLock);
  FLastError.store(Code);
  FLastErrorMsg = Msg;
}

TIcsSocketState TIcsCustomSocket::State() const {
  return FWorkerThread ? FWorkerThread->State() : wsClosed;
}

// ---------------------------------------------------------------------------------------------
// Worker threads

TWorkerThread* TIcsCustomSocket::AllocateWorkerThread(const TWorkerThreadClass& ThreadClass) {
  TWorkerThread* W = TIcsWorkerPool::Instance().AcquireThread(ThreadClass);
  if (W) W->SetName(Name() + "WorkerThread");
  return W;
}

void TIcsCustomSocket::EnsureWorker() {
  if (FWorkerThread) return;
  FWorkerThread = AllocateWorkerThread(WorkerThreadClass);
  if (!FWorkerThread) throw std::runtime_error("Unable to allocate a new worker thread");
}

void TIcsCustomSocket::HandTextsToWorker() {
  FWorkerThread->SetAddr(FAddr.Text);
  FWorkerThread->SetProto(FProto.Text);
  FWorkerThread->SetPort(FPort.Text);
  FWorkerThread->SetLingerOnOff(LingerOnOff);
  FWorkerThread->SetLingerTimeout(LingerTimeout);
  FWorkerThread->SetSendGather(SendGather);
}

// ---------------------------------------------------------------------------------------------
// Operations

void TIcsCustomSocket::WireWorkerEvents(TWorkerThread* W) {
  W->SetOnSessionConnected([this](uint16_t Code) { TriggerSessionConnected(Code); });
  W->SetOnSessionClosed([this](uint16_t Code) { TriggerSessionClosed(Code); });
  W->SetOnChangeState(
      [this](TIcsSocketState Old, TIcsSocketState New) { TriggerChangeState(Old, New); });
  W->SetOnDataAvailable([this](uint16_t Code) { return TriggerDataAvailable(Code); });
}

void TIcsCustomSocket::Connect() {
  EnsureWorker();
  TWorkerThread* W = FWorkerThread;
  WireWorkerEvents(W);
  W->SetOnError([this](TWorkerThread*) { HandleWorkerError(); });
  W->SetOnDataSent([this](uint16_t Code) { TriggerDataSent(Code); });
  HandTextsToWorker();
  W->SetLocalPort(FLocalPort);
  TIcsTlsSettings Tls;
  Tls.UseTLS = UseTLS;
  Tls.VerifyPeer = TLSVerifyPeer;
  Tls.CAFile = TLSCAFile;
  Tls.ServerName = TLSServerName;
  Tls.HandshakeTimeoutMs = TLSHandshakeTimeout;
  W->SetTlsSettings(Tls);
  W->Connect();
}

void TIcsCustomSocket::Listen() {
  EnsureWorker();
  TWorkerThread* W = FWorkerThread;
  if (W->State() != wsClosed) throw std::runtime_error("Socket is busy");
  WireWorkerEvents(W);
  W->SetOnSessionAvailable([this](uint16_t Code) { TriggerSessionAvailable(Code); });
  W->SetOnError([this](TWorkerThread*) { HandleWorkerError(); });
  HandTextsToWorker();
  W->SetLocalPort(FLocalPort);
  W->Listen();
}

void TIcsCustomSocket::Dup(int NewHSocket) {
  if (IsDestroying()) return;
  try {
    EnsureWorker();
    TWorkerThread* W = FWorkerThread;
    WireWorkerEvents(W);
    W->SetDontRead(DontRead);
    HandTextsToWorker();
    FDupDone.store(false);
    W->SetDupDonePtr(&FDupDone);
    W->Dup(NewHSocket);
    // On its own worker thread the dup can only be handled after the current message, so there
    // is nothing to wait for there.
    if (GetCurrentThreadId() == W->LoopThreadId()) return;
    while (!FDupDone.load() && FWorkerThread) std::this_thread::yield();
  } catch (...) {
    LogMsg("TIcsCustomSocket.Dup() Exception");
  }
}

void TIcsCustomSocket::Close() {
  if (FWorkerThread && FWorkerThread->State() != wsClosed) FWorkerThread->Close();
}

int TIcsCustomSocket::Accept() {
  if (!FWorkerThread) return -1;
  const int H = FWorkerThread->Accept();
  if (H == -1) SetLastErrorPair(FWorkerThread->LastError(), FWorkerThread->LastErrorMsg());
  return H;
}

int32_t TIcsCustomSocket::Receive(void* Buffer, int32_t BufferSize) {
  if (!FWorkerThread) return 0;
  return FWorkerThread->Receive(Buffer, BufferSize);
}

std::string TIcsCustomSocket::ReceiveStr() {
  if (!FWorkerThread) return std::string();
  return FWorkerThread->ReceiveStr();
}

int32_t TIcsCustomSocket::GetRcvdCount() {
  if (!FWorkerThread) return 0;
  return FWorkerThread->GetRcvdCount();
}

int32_t TIcsCustomSocket::Send(const void* Data, int32_t Len) {
  if (!FWorkerThread || FWorkerThread->State() != wsConnected) {
    FLastError.store(IcsNotConnectedError);
    return -1;
  }
  return FWorkerThread->Send(Data, Len);
}

int32_t TIcsCustomSocket::SendStr(const std::string& Str) {
  if (Str.empty()) return 0;
  return Send(Str.data(), static_cast<int32_t>(Str.size()));
}

std::string TIcsCustomSocket::GetPeerAddr() {
  if (FWorkerThread && FWorkerThread->State() == wsConnected) return FWorkerThread->GetPeerAddr();
  return "error";
}

std::string TIcsCustomSocket::GetPeerPort() {
  if (FWorkerThread && FWorkerThread->State() == wsConnected) return FWorkerThread->GetPeerPort();
  return "error";
}

bool TIcsCustomSocket::PostMessage(uint32_t Msg, int32_t WParam, int32_t LParam) {
  if (!FWorkerThread) return false;
  return FWorkerThread->PostMessage(Msg, WParam, LParam);
}

// ---------------------------------------------------------------------------------------------
// Events and errors

// Each trigger calls a copy of its event, so that a handler may destroy its own socket (and
// with it the event it was called through) without pulling the ground from under itself.

void TIcsCustomSocket::TriggerSessionConnected(uint16_t ErrorCode) {
  // A TLS connection that failed tells why: the worker's text names the failed step and, for
  // the handshake, OpenSSL's reason. The worker's copy of the settings is read, because UseTLS
  // may be written again by the next Connect as soon as the state is wsClosed.
  if (ErrorCode != 0) {
    TWorkerThread* W = FWorkerThread;
    if (W && W->TlsSettings().UseTLS) SetLastErrorPair(W->LastError(), W->LastErrorMsg());
  }
  if (TIcsNotifyEvent Ev = OnSessionConnected) Ev(this, ErrorCode);
}

void TIcsCustomSocket::TriggerSessionClosed(uint16_t ErrorCode) {
  if (TIcsNotifyEvent Ev = OnSessionClosed) Ev(this, ErrorCode);
}

void TIcsCustomSocket::TriggerSessionAvailable(uint16_t ErrorCode) {
  if (TIcsNotifyEvent Ev = OnSessionAvailable) Ev(this, ErrorCode);
}

void TIcsCustomSocket::TriggerChangeState(TIcsSocketState OldState, TIcsSocketState NewState) {
  if (TIcsChangeState Ev = OnChangeState) Ev(this, OldState, NewState);
}

bool TIcsCustomSocket::TriggerDataAvailable(uint16_t ErrorCode) {
  TIcsNotifyEvent Ev = OnDataAvailable;
  if (!Ev) return false;
  Ev(this, ErrorCode);
  return true;
}

void TIcsCustomSocket::TriggerDataSent(uint16_t ErrorCode) {
  if (TIcsNotifyEvent Ev = OnDataSent) Ev(this, ErrorCode);
}

void TIcsCustomSocket::TriggerError() {
  if (TNotifyEvent Ev = OnError) Ev(this);
}

void TIcsCustomSocket::RaiseException(const std::string& Msg) {
  if (OnError) {
    TriggerError();
    return;
  }
  throw ESocketException(Msg);
}

void TIcsCustomSocket::HandleWorkerError() {
  TWorkerThread* W = FWorkerThread;
  if (!W) return;
  const int32_t Code = W->LastError();
  const std::string Msg = W->LastErrorMsg();
  SetLastErrorPair(Code, Msg);
  RaiseException(Msg + " Error #" + std::to_string(Code));
}
