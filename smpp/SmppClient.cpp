// TSmppClient: creation and destruction, Connect and Disconnect, the report step, the socket
// operations shared by both connections, and the timers' ticks.
#include <arpa/inet.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
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
      FSides{TSideState{.Client = this,
                        .Connection = *FRcx,
                        .Prefix = "Rcx",
                        .DisconnectedText = "rcx disconnected",
                        .BindOkText = "bind Rcx OK",
                        .BindId = kBindReceiver,
                        .BindRespId = kBindReceiverResp,
                        .Receives = true,
                        .Transmits = false,
                        .ReportsHeldTextFirst = false,
                        .TraceConnection = TPduConnection::pcRcx},
             TSideState{.Client = this,
                        .Connection = *FTcx,
                        .Prefix = "Tcx",
                        .DisconnectedText = "tcx disconnected",
                        .BindOkText = "bind Tcx OK",
                        .BindId = kBindTransmitter,
                        .BindRespId = kBindTransmitterResp,
                        .Receives = false,
                        .Transmits = true,
                        .ReportsHeldTextFirst = true,
                        .TraceConnection = TPduConnection::pcTcx}} {
  FRcx->Set_rcxIdle(5);
  FRcx->Set_rcxTimerInterval(15);
  FTcx->Set_tcxIdle(5);
  FTcx->Set_tcxTimerInterval(15);

  for (TSideState& Side : FSides) {
    TIcsSocket* S = Side.Connection.Socket();
    S->OnSessionConnected = [this, &Side](TComponent*, uint16_t Code) {
      SessionConnected(Side, Code);
    };
    S->OnDataAvailable = [this, &Side](TComponent*, uint16_t) { DataAvailable(Side); };
    S->OnSessionClosed = [this, &Side](TComponent*, uint16_t) { SessionClosed(Side); };
    S->OnError = [this, &Side](TComponent*) { Error(Side); };
  }

  // Made kind by kind, each kind in the order of the connections: the order the accessors and the
  // destructor count them in.
  for (TSideState& Side : FSides)
    Side.KeepAliveTimer = new TSimpleTimer(1000, &TSmppClient::OnKeepAliveTimer, &Side);
  for (TSideState& Side : FSides)
    Side.WatchdogTimer = new TSimpleTimer(2000, &TSmppClient::OnWatchdogTimer, &Side);
  for (TSideState& Side : FSides)
    Side.ReconnectTimer = new TSimpleTimer(5000, &TSmppClient::OnReconnectTimer, &Side);
}

TSmppClient::~TSmppClient() {
  // Nothing of ours may run once destruction has begun: mark, then wait out the handlers and
  // ticks that were already running. A tick may hold the thread for the watchdog's wait.
  FDying.store(true);
  MarkDestroying();
  while (FActiveCalls.load() != 0) SleepMs(1);
  // The timers end first, so that no tick can reach a socket that is being freed; Terminate
  // waits for a tick running at this moment (which found the mark and left at once).
  for (TSimpleTimer* TSideState::*Kind :
       {&TSideState::KeepAliveTimer, &TSideState::WatchdogTimer, &TSideState::ReconnectTimer}) {
    for (TSideState& Side : FSides) {
      (Side.*Kind)->Terminate();
      Side.*Kind = nullptr;
    }
  }
  // Freeing a socket hands its worker back to the pool, which waits until no event of the socket
  // is running; events that start meanwhile find the mark and leave.
  for (TSideState& Side : FSides) Side.Connection.FreeSocket();
}

void TSmppClient::SetRcxOnData(TSmppNotifyEvent Event) {
  SetOnData(Conn(TSide::Rcx), std::move(Event));
}

void TSmppClient::SetTcxOnData(TSmppNotifyEvent Event) {
  SetOnData(Conn(TSide::Tcx), std::move(Event));
}

void TSmppClient::SetOnData(TSideState& Side, TSmppNotifyEvent Event) {
  std::lock_guard<std::recursive_mutex> Guard(Side.Connection.ReportLock);
  Side.OnData = Event ? std::make_shared<const TSmppNotifyEvent>(std::move(Event)) : nullptr;
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
  for (TSideState& Side : FSides) {
    TSMPPConnection& C = Side.Connection;
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
  for (TSideState& Side : FSides) SocketSend(Side, UnbindPdu.data(), UnbindPdu.size());
  SleepMs(DisconnectWaitMs.load());
  for (TSideState& Side : FSides) {
    const std::string Text = Side.DisconnectedText;
    Report(Side, &Text, false);
  }
  // Every timer stops, the keep-alives first (the last connection's first), whose ticks are what
  // start the other two kinds.
  for (auto Side = std::rbegin(FSides); Side != std::rend(FSides); ++Side)
    Side->KeepAliveTimer->Suspend();
  for (TSideState& Side : FSides) Side.WatchdogTimer->Suspend();
  for (TSideState& Side : FSides) Side.ReconnectTimer->Suspend();
}

void TSmppClient::Report(TSideState& Side, const std::string* Text, bool Empty) {
  TSMPPConnection& C = Side.Connection;
  std::lock_guard<std::recursive_mutex> Guard(C.ReportLock);
  if (Text) C.SetReportLine(*Text);
  // The handler runs through its own reference: it may assign a new one, which would otherwise
  // destroy the stored one while it runs.
  if (Side.OnData) {
    const std::shared_ptr<const TSmppNotifyEvent> Handler = Side.OnData;
    (*Handler)(this);
  }
  if (Empty) C.ClearReport();
}

void TSmppClient::SocketSend(TSideState& Side, const void* Data, size_t Length) {
  std::lock_guard<std::mutex> Guard(Side.Connection.SocketLock);
  TIcsSocket* S = Side.Connection.Socket();
  // A socket that is not connected refuses the bytes without effect; the caller goes on as if
  // they had been sent.
  if (S->State() != wsConnected) return;
  S->Send(Data, static_cast<int32_t>(Length));
  // Still under the socket lock, so that the trace sees the connection's PDUs in the order sent.
  Trace(Side, TPduDirection::pdOut, Data, Length);
}

void TSmppClient::SetPduTrace(TPduTraceHandler Handler) {
  const TPduTraceHandler* Now = nullptr;
  if (Handler) {
    std::lock_guard<std::mutex> Guard(FTraceLock);
    FTraceHandlers.push_back(std::make_unique<const TPduTraceHandler>(std::move(Handler)));
    Now = FTraceHandlers.back().get();
  }
  // Release: a thread that loads the pointer sees the handler it points to whole.
  FTraceHandler.store(Now, std::memory_order_release);
}

void TSmppClient::TraceCall(const TPduTraceHandler& Handler, TPduTraceEvent Event) {
  Event.MonotonicNs = PduTraceNowNs();
  Handler(Event);
}

namespace {

// A dotted IPv4 address as the socket gives it, in host byte order; 0 when it is not one.
uint32_t Ipv4Of(const std::string& Text) {
  in_addr A{};
  return inet_pton(AF_INET, Text.c_str(), &A) == 1 ? ntohl(A.s_addr) : 0;
}

uint16_t PortOf(const std::string& Text) {
  const unsigned long Port = std::strtoul(Text.c_str(), nullptr, 10);
  return Port <= 0xFFFF ? static_cast<uint16_t>(Port) : 0;
}

}  // namespace

void TSmppClient::TraceBoundary(TSideState& Side, TPduTraceKind Kind) {
  const TPduTraceHandler* Handler = FTraceHandler.load(std::memory_order_acquire);
  if (!Handler) return;
  TPduTraceEvent Event{Side.TraceConnection, TPduDirection::pdOut, 0, nullptr, 0, Kind};
  // The worker's own socket, asked on the worker's thread: it is open while the connected
  // handler runs.
  if (TWorkerThread* W =
          Kind == TPduTraceKind::tkOpened ? Side.Connection.Socket()->WorkerThread() : nullptr)
    Event.Endpoints = {Ipv4Of(W->GetSockAddr()), PortOf(W->GetSockPort()), Ipv4Of(W->GetPeerAddr()),
                       PortOf(W->GetPeerPort())};
  TraceCall(*Handler, Event);
}

void TSmppClient::SocketConnect(TSideState& Side) {
  std::lock_guard<std::recursive_mutex> Report(Side.Connection.ReportLock);
  bool Refused = false;
  {
    std::lock_guard<std::mutex> Guard(Side.Connection.SocketLock);
    TIcsSocket* S = Side.Connection.Socket();
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

void TSmppClient::SocketClose(TSideState& Side) {
  Side.CloseAsked.store(true);
  // Not under the connection's locks: off the worker thread Close waits for the worker, whose
  // handlers take them.
  Side.Connection.Socket()->Close();
}

// Both read the socket's worker pointer, which the first successful Connect sets under the same
// lock: a timer or the application's thread never reads it while another thread writes it.
bool TSmppClient::SocketDead(TSideState& Side) {
  std::lock_guard<std::mutex> Guard(Side.Connection.SocketLock);
  TWorkerThread* W = Side.Connection.Socket()->WorkerThread();
  return W && W->HSocket() == -1;
}

bool TSmppClient::SocketConnected(TSideState& Side) {
  std::lock_guard<std::mutex> Guard(Side.Connection.SocketLock);
  return Side.Connection.Socket()->State() == wsConnected;
}

void TSmppClient::OnKeepAliveTimer(void* Side) {
  TSideState& S = *static_cast<TSideState*>(Side);
  S.Client->KeepAliveTick(S);
}
void TSmppClient::OnWatchdogTimer(void* Side) {
  TSideState& S = *static_cast<TSideState*>(Side);
  S.Client->WatchdogTick(S);
}
void TSmppClient::OnReconnectTimer(void* Side) {
  TSideState& S = *static_cast<TSideState*>(Side);
  S.Client->ReconnectTick(S);
}

void TSmppClient::KeepAliveTick(TSideState& Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  std::atomic<int32_t>& Idle = Side.Connection.IdleCount();
  const int32_t Interval = Side.Connection.TimerInterval();
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
    Side.ReconnectTimer->Resume();
  } else if (SocketConnected(Side)) {
    uint8_t Buffer[kEnquireLinkBufferSize];
    size_t Length = 0;
    TPDU Pdu;
    Pdu.command_id = kEnquireLink;
    Pdu.command_status = 0;
    EncodePdu(Buffer, sizeof Buffer, Length, Pdu, 0);
    Side.LastEnquireSeq.store(Pdu.sequence_number);
    Side.EnquireSentAtMs.store(SteadyMs());
    SocketSend(Side, Buffer, Length);
    // The watchdog waits for the answer.
    Side.WatchdogTimer->Resume();
  } else {
    Side.ReconnectTimer->Resume();
  }
  Idle.store(0);
}

void TSmppClient::ReconnectTick(TSideState& Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  // Each start of the reconnect timer yields exactly one reconnect.
  Side.ReconnectTimer->Suspend();
  FClosing.store(false);
  SocketConnect(Side);
}

void TSmppClient::WatchdogTick(TSideState& Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  if (Side.LastEnquireRespSeq.load() == Side.LastEnquireSeq.load() || FClosing.load()) {
    Side.WatchdogTimer->Suspend();
    return;
  }
  // A tick may come early after a restart (the timer finishes a wait it was in): the answer gets
  // one full period from the enquire_link.
  if (SteadyMs() - Side.EnquireSentAtMs.load() < Side.WatchdogTimer->Interval()) return;
  Side.WatchdogTimer->Suspend();
  SocketSend(Side, UnbindPdu.data(), UnbindPdu.size());
  SocketClose(Side);
  SleepMs(DisconnectWaitMs.load());
  if (IsDestroying()) return;
  SocketConnect(Side);
  // Both connections report the watchdog's reconnect with the same text.
  const std::string Text = "tcx reconnect";
  Report(Side, &Text, false);
}
