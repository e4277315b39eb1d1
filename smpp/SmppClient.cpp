// TSmppClient: creation and destruction, Connect and Disconnect, the report step, the socket
// operations shared by both connections, and the timers' ticks.
#include <chrono>
#include <cstring>
#include <thread>

#include "base/Thread.h"
#include "smpp/smppclient.h"

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TSmppClient::TSmppClient(TComponent* AOwner)
    : TComponent(AOwner),
      FClientInfo(std::make_unique<TSMPPClientInfo>()),
      FRcx(std::make_unique<TSMPPConnectionRcx>()),
      FTcx(std::make_unique<TSMPPConnectionTcx>()),
      FCodec(*FClientInfo, FSequenceCounter),
      FStream{std::make_unique<TStream>(), std::make_unique<TStream>()} {
  FRcx->Set_rcxIdle(5);
  FRcx->Set_rcxTimerInterval(15);
  FTcx->Set_tcxIdle(5);
  FTcx->Set_tcxTimerInterval(15);

  const TSide Sides[2] = {TSide::Rcx, TSide::Tcx};
  for (TSide Side : Sides) {
    TIcsSocket* S = Conn(Side).Socket();
    S->OnSessionConnected = [this, Side](TComponent*, uint16_t Code) {
      SessionConnected(Side, Code);
    };
    S->OnDataAvailable = [this, Side](TComponent*, uint16_t) { DataAvailable(Side); };
    S->OnSessionClosed = [this, Side](TComponent*, uint16_t) { SessionClosed(Side); };
    S->OnError = [this, Side](TComponent*) { Error(Side); };
  }

  FTimers[0] = new TSimpleTimer(1000, &TSmppClient::RcxKeepAliveTick, this);
  FTimers[1] = new TSimpleTimer(1000, &TSmppClient::TcxKeepAliveTick, this);
  FTimers[2] = new TSimpleTimer(2000, &TSmppClient::RcxWatchdogTick, this);
  FTimers[3] = new TSimpleTimer(2000, &TSmppClient::TcxWatchdogTick, this);
  FTimers[4] = new TSimpleTimer(5000, &TSmppClient::RcxReconnectTick, this);
  FTimers[5] = new TSimpleTimer(5000, &TSmppClient::TcxReconnectTick, this);
}

TSmppClient::~TSmppClient() {
  // Nothing of ours may run once destruction has begun: mark, then wait out the handlers and
  // ticks that were already running. A tick may hold the thread for the watchdog's wait.
  FDying.store(true);
  MarkDestroying();
  while (FActiveCalls.load() != 0) SleepMs(1);
  // The timers end first, so that no tick can reach a socket that is being freed; Terminate
  // waits for a tick running at this moment (which found the mark and left at once).
  for (TSimpleTimer*& Timer : FTimers) {
    Timer->Terminate();
    Timer = nullptr;
  }
  // Freeing a socket hands its worker back to the pool, which waits until no event of the socket
  // is running; events that start meanwhile find the mark and leave.
  FRcx->FreeSocket();
  FTcx->FreeSocket();
}

TSMPPConnection& TSmppClient::Conn(TSide Side) {
  if (Side == TSide::Rcx) return *FRcx;
  return *FTcx;
}

void TSmppClient::SetRcxOnData(TSmppNotifyEvent Event) {
  std::lock_guard<std::recursive_mutex> Guard(FRcx->ReportLock);
  FRcxOnData = Event ? std::make_shared<const TSmppNotifyEvent>(std::move(Event)) : nullptr;
}

void TSmppClient::SetTcxOnData(TSmppNotifyEvent Event) {
  std::lock_guard<std::recursive_mutex> Guard(FTcx->ReportLock);
  FTcxOnData = Event ? std::make_shared<const TSmppNotifyEvent>(std::move(Event)) : nullptr;
}

void TSmppClient::PublishProperties(TPublishedProperties& Props) {
  Props.Object("ClientInfo", *FClientInfo);
  Props.Object("Rcx", *FRcx);
  Props.Object("Tcx", *FTcx);
}

void TSmppClient::EncodePdu(uint8_t* Buffer, size_t Capacity, size_t& Length, TPDU& Pdu,
                            int DataCoding) const {
  FCodec.EncodePdu(Buffer, Capacity, Length, Pdu, DataCoding);
}

void TSmppClient::DecodePdu(const uint8_t* Buffer, size_t Capacity, size_t Received,
                            TPDU& Pdu) const {
  TPduCodec::DecodePdu(Buffer, Capacity, Received, Pdu, FClientInfo->deliver_default_alphabet());
}

void TSmppClient::Connect() {
  FClosing.store(false);
  const std::string Host = FClientInfo->Host();
  const std::string Port = std::to_string(FClientInfo->Port());
  for (TSide Side : {TSide::Rcx, TSide::Tcx}) {
    TSMPPConnection& C = Conn(Side);
    std::lock_guard<std::recursive_mutex> Report(C.ReportLock);
    {
      std::lock_guard<std::mutex> Guard(C.SocketLock);
      TIcsSocket* S = C.Socket();
      // A connection that is up (or on its way) keeps its values and is not connected again; the
      // socket would refuse both, and each refusal would start a reconnect.
      if (S->State() != wsClosed) continue;
      S->SetProto("tcp");
      S->SetAddr(Host);
      S->SetPort(Port);
      S->UseTLS = FClientInfo->UseTLS();
      S->TLSVerifyPeer = FClientInfo->TLSVerifyPeer();
      S->TLSCAFile = FClientInfo->TLSCAFile();
      S->TLSServerName = FClientInfo->TLSServerName();
      S->TLSHandshakeTimeout = TLSHandshakeTimeoutMs.load();
    }
    SocketConnect(Side);
  }
}

void TSmppClient::Disconnect() {
  FClosing.store(true);
  SocketSend(TSide::Rcx, UnbindPdu.data(), UnbindPdu.size());
  SocketSend(TSide::Tcx, UnbindPdu.data(), UnbindPdu.size());
  SleepMs(DisconnectWaitMs.load());
  const std::string RcxText = "rcx disconnected";
  const std::string TcxText = "tcx disconnected";
  Report(TSide::Rcx, &RcxText, false);
  Report(TSide::Tcx, &TcxText, false);
  FTimers[1]->Suspend();
  FTimers[0]->Suspend();
  FTimers[2]->Suspend();
  FTimers[3]->Suspend();
  FTimers[4]->Suspend();
  FTimers[5]->Suspend();
}

void TSmppClient::Report(TSide Side, const std::string* Text, bool Empty) {
  TSMPPConnection& C = Conn(Side);
  std::lock_guard<std::recursive_mutex> Guard(C.ReportLock);
  // The handler runs through its own reference: it may assign a new one, which would otherwise
  // destroy the stored one while it runs.
  if (Side == TSide::Rcx) {
    if (Text) FRcx->Set_rcxData(*Text);
    if (FRcxOnData) {
      const std::shared_ptr<const TSmppNotifyEvent> Handler = FRcxOnData;
      (*Handler)(this);
    }
    if (Empty) FRcx->ClearReport();
  } else {
    if (Text) FTcx->Set_tcxData(*Text);
    if (FTcxOnData) {
      const std::shared_ptr<const TSmppNotifyEvent> Handler = FTcxOnData;
      (*Handler)(this);
    }
    if (Empty) FTcx->ClearReport();
  }
}

void TSmppClient::SocketSend(TSide Side, const void* Data, size_t Length) {
  std::lock_guard<std::mutex> Guard(Conn(Side).SocketLock);
  TIcsSocket* S = Conn(Side).Socket();
  // A socket that is not connected refuses the bytes without effect; the caller goes on as if
  // they had been sent.
  if (S->State() == wsConnected) S->Send(Data, static_cast<int32_t>(Length));
}

void TSmppClient::SocketConnect(TSide Side) {
  std::lock_guard<std::recursive_mutex> Report(Conn(Side).ReportLock);
  bool Refused = false;
  {
    std::lock_guard<std::mutex> Guard(Conn(Side).SocketLock);
    TIcsSocket* S = Conn(Side).Socket();
    // Only a closed socket connects: a second Connect or a late reconnect tick on a connection
    // that is up or still connecting leaves it alone.
    if (S->State() != wsClosed) return;
    try {
      S->Connect();
    } catch (const std::exception&) {
      // No worker thread could be had (or the socket refused the request).
      Refused = true;
    }
  }
  // Reported and tried again like any failed connect; outside the socket lock, because the
  // notification may call Send.
  if (Refused) Error(Side);
}

void TSmppClient::SocketClose(TSide Side) {
  FCloseAsked[static_cast<int>(Side)].store(true);
  // Not under the connection's locks: off the worker thread Close waits for the worker, whose
  // handlers take them.
  Conn(Side).Socket()->Close();
}

// Both read the socket's worker pointer, which the first successful Connect sets under the same
// lock: a timer or the application's thread never reads it while another thread writes it.
bool TSmppClient::SocketDead(TSide Side) {
  std::lock_guard<std::mutex> Guard(Conn(Side).SocketLock);
  TWorkerThread* W = Conn(Side).Socket()->WorkerThread();
  return W && W->HSocket() == -1;
}

bool TSmppClient::SocketConnected(TSide Side) {
  std::lock_guard<std::mutex> Guard(Conn(Side).SocketLock);
  return Conn(Side).Socket()->State() == wsConnected;
}

void TSmppClient::RcxKeepAliveTick(void* Client) {
  static_cast<TSmppClient*>(Client)->KeepAliveTick(TSide::Rcx);
}
void TSmppClient::TcxKeepAliveTick(void* Client) {
  static_cast<TSmppClient*>(Client)->KeepAliveTick(TSide::Tcx);
}
void TSmppClient::RcxWatchdogTick(void* Client) {
  static_cast<TSmppClient*>(Client)->WatchdogTick(TSide::Rcx);
}
void TSmppClient::TcxWatchdogTick(void* Client) {
  static_cast<TSmppClient*>(Client)->WatchdogTick(TSide::Tcx);
}
void TSmppClient::RcxReconnectTick(void* Client) {
  static_cast<TSmppClient*>(Client)->ReconnectTick(TSide::Rcx);
}
void TSmppClient::TcxReconnectTick(void* Client) {
  static_cast<TSmppClient*>(Client)->ReconnectTick(TSide::Tcx);
}

void TSmppClient::KeepAliveTick(TSide Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  std::atomic<int32_t>& Idle = Side == TSide::Rcx ? FRcx->IdleCount() : FTcx->IdleCount();
  const int32_t Interval = Side == TSide::Rcx ? FRcx->rcxTimerInterval() : FTcx->tcxTimerInterval();
  int32_t Seen = Idle.load();
  if (Seen < Interval) {
    // A read that resets the count meanwhile wins: the increment applies only to the value seen.
    Idle.compare_exchange_strong(Seen, Seen + 1);
    return;
  }
  if (SocketConnected(Side) && SocketDead(Side)) {
    // The socket lost its OS connection on a failed write and reads as connected until the
    // next close request: make that request, so that the connection is made again.
    SocketClose(Side);
    ReconnectTimer(Side)->Resume();
  } else if (SocketConnected(Side)) {
    uint8_t Buffer[kEnquireLinkBufferSize];
    size_t Length = 0;
    TPDU Pdu;
    Pdu.command_id = kEnquireLink;
    Pdu.command_status = 0;
    EncodePdu(Buffer, sizeof Buffer, Length, Pdu, 0);
    (Side == TSide::Rcx ? FRcxLastEnquireSeq : FTcxLastEnquireSeq).store(Pdu.sequence_number);
    FEnquireSentAtMs[static_cast<int>(Side)].store(SteadyMs());
    SocketSend(Side, Buffer, Length);
    // The watchdog waits for the answer.
    WatchdogTimer(Side)->Resume();
  } else {
    ReconnectTimer(Side)->Resume();
  }
  Idle.store(0);
}

void TSmppClient::ReconnectTick(TSide Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  // Each start of the reconnect timer yields exactly one reconnect.
  ReconnectTimer(Side)->Suspend();
  FClosing.store(false);
  SocketConnect(Side);
}

void TSmppClient::WatchdogTick(TSide Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  const bool Rcx = Side == TSide::Rcx;
  if ((Rcx ? FRcxLastEnquireRespSeq : FTcxLastEnquireRespSeq).load() ==
          (Rcx ? FRcxLastEnquireSeq : FTcxLastEnquireSeq).load() ||
      FClosing.load()) {
    WatchdogTimer(Side)->Suspend();
    return;
  }
  // A tick may come early after a restart (the timer finishes a wait it was in): the answer gets
  // one full period from the enquire_link.
  if (SteadyMs() - FEnquireSentAtMs[static_cast<int>(Side)].load() <
      WatchdogTimer(Side)->Interval())
    return;
  WatchdogTimer(Side)->Suspend();
  SocketSend(Side, UnbindPdu.data(), UnbindPdu.size());
  SocketClose(Side);
  SleepMs(DisconnectWaitMs.load());
  if (IsDestroying()) return;
  SocketConnect(Side);
  // Both connections report the watchdog's reconnect with the same text.
  const std::string Text = "tcx reconnect";
  Report(Side, &Text, false);
}
