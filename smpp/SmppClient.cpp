// TSmppClient: creation and destruction, Connect and Disconnect, the report step, the socket
// operations shared by every connection, the timers' ticks, and the answer thread.
#include <arpa/inet.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>

#include "base/Thread.h"
#include "smpp/ConnectFailure.h"
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
                        .ReconnectText = "tcx reconnect",
                        .BindId = kBindReceiver,
                        .BindRespId = kBindReceiverResp,
                        .Receives = true,
                        .Transmits = false,
                        .ReportsDeliveriesOnRcx = false,
                        .ReportsHeldTextFirst = false,
                        .TraceConnection = TPduConnection::pcRcx},
             TSideState{.Client = this,
                        .Connection = *FTcx,
                        .Prefix = "Tcx",
                        .DisconnectedText = "tcx disconnected",
                        .BindOkText = "bind Tcx OK",
                        .ReconnectText = "tcx reconnect",
                        .BindId = kBindTransmitter,
                        .BindRespId = kBindTransmitterResp,
                        .Receives = false,
                        .Transmits = true,
                        .ReportsDeliveriesOnRcx = false,
                        .ReportsHeldTextFirst = true,
                        .TraceConnection = TPduConnection::pcTcx},
             // Its lines go through the transmitter's notification, so it reports as the
             // transmitter does (held text first).
             TSideState{.Client = this,
                        .Connection = *FTcx,
                        .Prefix = "Trx",
                        .DisconnectedText = "trx disconnected",
                        .BindOkText = "bind Trx OK",
                        .ReconnectText = "trx reconnect",
                        .BindId = kBindTransceiver,
                        .BindRespId = kBindTransceiverResp,
                        .Receives = true,
                        .Transmits = true,
                        .ReportsDeliveriesOnRcx = true,
                        .ReportsHeldTextFirst = true,
                        .TraceConnection = TPduConnection::pcTrx}} {
  FRcx->Set_rcxIdle(5);
  FRcx->Set_rcxTimerInterval(15);
  FTcx->Set_tcxIdle(5);
  FTcx->Set_tcxTimerInterval(15);

  // One socket each for the receiver and the transmitter; the transmitter's serves the
  // transceiver's record too, whichever the latched mode makes live.
  for (TSideState& Owner : std::span<TSideState>(FSides).first(2)) {
    TSideState* const Side = &Owner;
    TIcsSocket* S = Side->Connection.Socket();
    S->OnSessionConnected = [this, Side](TComponent*, uint16_t Code) {
      SessionConnected(SocketSide(*Side), Code);
    };
    S->OnDataAvailable = [this, Side](TComponent*, uint16_t) { DataAvailable(SocketSide(*Side)); };
    S->OnSessionClosed = [this, Side](TComponent*, uint16_t) { SessionClosed(SocketSide(*Side)); };
    S->OnError = [this, Side](TComponent*) { Error(SocketSide(*Side)); };
  }

  // The pair's six made kind by kind, each kind in the order of the connections: the order the
  // accessors and the destructor count them in. The transceiver's three come after them.
  const std::span<TSideState> Pair = std::span<TSideState>(FSides).first(2);
  for (TSideState& Side : Pair)
    Side.KeepAliveTimer = new TSimpleTimer(1000, &TSmppClient::OnKeepAliveTimer, &Side);
  for (TSideState& Side : Pair)
    Side.WatchdogTimer = new TSimpleTimer(2000, &TSmppClient::OnWatchdogTimer, &Side);
  for (TSideState& Side : Pair)
    Side.ReconnectTimer = new TSimpleTimer(5000, &TSmppClient::OnReconnectTimer, &Side);
  TSideState& Trx = Conn(TSide::Trx);
  Trx.KeepAliveTimer = new TSimpleTimer(1000, &TSmppClient::OnKeepAliveTimer, &Trx);
  Trx.WatchdogTimer = new TSimpleTimer(2000, &TSmppClient::OnWatchdogTimer, &Trx);
  Trx.ReconnectTimer = new TSimpleTimer(5000, &TSmppClient::OnReconnectTimer, &Trx);
}

TSmppClient::~TSmppClient() {
  // Nothing of ours may run once destruction has begun: mark, then wait out the handlers and
  // ticks that were already running. A tick may hold the thread for the watchdog's wait.
  FDying.store(true);
  MarkDestroying();
  while (FActiveCalls.load() != 0) SleepMs(1);
  // No handler runs any more, so no answer is queued and no answer thread started from now on.
  // The thread may be sending: it is waited for while the sockets still stand.
  std::thread Answers;
  {
    std::lock_guard<std::mutex> Guard(FAnswerLock);
    FAnswerStop = true;
    Answers = std::move(FAnswerThread);
  }
  FAnswerWake.notify_all();
  if (Answers.joinable()) Answers.join();
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
  FRcx->FreeSocket();
  FTcx->FreeSocket();
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
  LatchBindMode(FClientInfo->bind_mode() == TBindMode::bmTransceiver);
  for (TSideState& Side : LiveSides()) {
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
      // A window of submits queued from one read goes out in one call, not one per 1514 bytes.
      S->SendGather = true;
    }
    SocketConnect(Side);
  }
}

void TSmppClient::Disconnect() {
  FClosing.store(true);
  const std::span<TSideState> Live = LiveSides();
  for (TSideState& Side : Live)
    if (!UnbindBoundOnly.load() || Side.Bound.load())
      SocketSend(Side, UnbindPdu.data(), UnbindPdu.size());
  SleepMs(DisconnectWaitMs.load());
  for (TSideState& Side : Live) {
    const std::string Text = Side.DisconnectedText;
    Report(Side, &Text, false);
  }
  // Every timer stops, the keep-alives first (the last connection's first), whose ticks are what
  // start the other two kinds.
  for (auto Side = Live.rbegin(); Side != Live.rend(); ++Side) Side->KeepAliveTimer->Suspend();
  for (TSideState& Side : Live) Side.WatchdogTimer->Suspend();
  for (TSideState& Side : Live) Side.ReconnectTimer->Suspend();
}

void TSmppClient::LatchBindMode(bool Transceiver) {
  if (Transceiver == FTransceiver.load()) return;
  // A connection that is open (or on its way) keeps the mode it was made in.
  for (TSMPPConnection* C :
       {static_cast<TSMPPConnection*>(FRcx.get()), static_cast<TSMPPConnection*>(FTcx.get())}) {
    std::lock_guard<std::mutex> Guard(C->SocketLock);
    if (C->Socket()->State() != wsClosed) return;
  }
  // The connections of the old mode stop retrying: their timers would connect them again.
  for (TSideState& Side : LiveSides()) {
    Side.KeepAliveTimer->Suspend();
    Side.WatchdogTimer->Suspend();
    Side.ReconnectTimer->Suspend();
  }
  FTransceiver.store(Transceiver);
}

void TSmppClient::Report(TSideState& Side, const std::string* Text, bool Empty) {
  TSMPPConnection& C = Side.Connection;
  std::lock_guard<std::recursive_mutex> Guard(C.ReportLock);
  if (Text) C.SetReportLine(*Text);
  // The handler runs through its own reference: it may assign a new one, which would otherwise
  // destroy the stored one while it runs. The transceiver notifies through the transmitter's
  // handler, guarded by the same report lock (the object is the same).
  const TSideState& Notifier = &Side == &Conn(TSide::Trx) ? Conn(TSide::Tcx) : Side;
  if (Notifier.OnData) {
    const std::shared_ptr<const TSmppNotifyEvent> Handler = Notifier.OnData;
    (*Handler)(this);
  }
  if (Empty) C.ClearReport();
}

void TSmppClient::SocketSend(TSideState& Side, const void* Data, size_t Length,
                             std::optional<uint32_t> Session, int64_t AtNs) {
  std::lock_guard<std::mutex> Guard(Side.Connection.SocketLock);
  // A connect raises the count under this lock before the socket can be connected again, so an
  // answer of an ended session never reaches the next one.
  if (Session && *Session != Side.Connection.SessionCount.load()) return;
  TIcsSocket* S = Side.Connection.Socket();
  // A socket that is not connected refuses the bytes without effect; the caller goes on as if
  // they had been sent.
  if (S->State() != wsConnected) return;
  // Traced under the socket lock, so that the trace sees the connection's PDUs in the order sent,
  // and before the bytes go: the answer, read on the socket's worker thread, can otherwise be
  // traced before its request, and a view that ties the two finds an answer to nothing.
  Trace(Side, TPduDirection::pdOut, Data, Length, AtNs);
  S->Send(Data, static_cast<int32_t>(Length));
}

bool TSmppClient::SocketSendPdus(TSideState& Side, const uint8_t* Data, size_t Length,
                                 int64_t AtNs) {
  std::lock_guard<std::mutex> Guard(Side.Connection.SocketLock);
  TIcsSocket* S = Side.Connection.Socket();
  if (S->State() != wsConnected) return false;
  if (FTraceHandler.load(std::memory_order_acquire)) {
    // Each PDU's own length walks the buffer: the caller encoded them all.
    for (size_t At = 0; At + kPduHeaderLength <= Length;) {
      const size_t N =
          std::min<size_t>(std::max<uint32_t>(GetU32(Data + At), kPduHeaderLength), Length - At);
      Trace(Side, TPduDirection::pdOut, Data + At, N, AtNs);
      At += N;
    }
  }
  S->Send(Data, static_cast<int32_t>(Length));
  return true;
}

void TSmppClient::SetPduTrace(TPduTraceHandler Handler, const std::atomic<int64_t>* Gate) {
  const TTraceHook* Now = nullptr;
  if (Handler) {
    std::lock_guard<std::mutex> Guard(FTraceLock);
    FTraceHandlers.push_back(
        std::make_unique<const TTraceHook>(TTraceHook{std::move(Handler), Gate}));
    Now = FTraceHandlers.back().get();
  }
  // Release: a thread that loads the pointer sees the handler it points to whole.
  FTraceHandler.store(Now, std::memory_order_release);
}

void TSmppClient::SetOnSubmitResponse(TSubmitResponseEvent Event) {
  const TSubmitResponseEvent* Now = nullptr;
  if (Event) {
    std::lock_guard<std::mutex> Guard(FHookLock);
    FSubmitResponseHandlers.push_back(
        std::make_unique<const TSubmitResponseEvent>(std::move(Event)));
    Now = FSubmitResponseHandlers.back().get();
  }
  // Release: a worker that loads the pointer sees the handler it points to whole.
  FOnSubmitResponse.store(Now, std::memory_order_release);
}

void TSmppClient::SetOnReceipt(TReceiptEvent Event) {
  const TReceiptEvent* Now = nullptr;
  if (Event) {
    std::lock_guard<std::mutex> Guard(FHookLock);
    FReceiptHandlers.push_back(std::make_unique<const TReceiptEvent>(std::move(Event)));
    Now = FReceiptHandlers.back().get();
  }
  FOnReceipt.store(Now, std::memory_order_release);
}

void TSmppClient::SetOnReadDone(TReadDoneEvent Event) {
  const TReadDoneEvent* Now = nullptr;
  if (Event) {
    std::lock_guard<std::mutex> Guard(FHookLock);
    FReadDoneHandlers.push_back(std::make_unique<const TReadDoneEvent>(std::move(Event)));
    Now = FReadDoneHandlers.back().get();
  }
  FOnReadDone.store(Now, std::memory_order_release);
}

void TSmppClient::SetOnSessionClosed(TSessionClosedEvent Event) {
  const TSessionClosedEvent* Now = nullptr;
  if (Event) {
    std::lock_guard<std::mutex> Guard(FHookLock);
    FSessionClosedHandlers.push_back(std::make_unique<const TSessionClosedEvent>(std::move(Event)));
    Now = FSessionClosedHandlers.back().get();
  }
  FOnSessionClosed.store(Now, std::memory_order_release);
}

void TSmppClient::TraceCall(const TPduTraceHandler& Handler, TPduTraceEvent Event) {
  if (Event.MonotonicNs == 0) Event.MonotonicNs = PduTraceNowNs();
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
  const TTraceHook* Hook = FTraceHandler.load(std::memory_order_acquire);
  if (!Hook) return;
  TPduTraceEvent Event{Side.TraceConnection, TPduDirection::pdOut, 0, nullptr, 0, Kind};
  // The worker's own socket, asked on the worker's thread: it is open while the connected
  // handler runs.
  if (TWorkerThread* W =
          Kind == TPduTraceKind::tkOpened ? Side.Connection.Socket()->WorkerThread() : nullptr)
    Event.Endpoints = {Ipv4Of(W->GetSockAddr()), PortOf(W->GetSockPort()), Ipv4Of(W->GetPeerAddr()),
                       PortOf(W->GetPeerPort())};
  TraceCall(Hook->Handler, Event);
}

void TSmppClient::TraceFailed(TSideState& Side, int32_t ErrorCode, const std::string& Text) {
  const TTraceHook* Hook = FTraceHandler.load(std::memory_order_acquire);
  if (!Hook) return;
  const std::string Reason = ConnectFailureReason(ErrorCode, Text);
  TraceCall(Hook->Handler, {Side.TraceConnection, TPduDirection::pdOut, 0,
                            reinterpret_cast<const uint8_t*>(Reason.data()), Reason.size(),
                            TPduTraceKind::tkFailed});
}

void TSmppClient::SocketConnect(TSideState& Side) {
  std::lock_guard<std::recursive_mutex> Report(Side.Connection.ReportLock);
  bool Refused = false;
  std::string Why;
  {
    std::lock_guard<std::mutex> Guard(Side.Connection.SocketLock);
    TIcsSocket* S = Side.Connection.Socket();
    // Only a closed socket connects: a second Connect or a late reconnect tick on a connection
    // that is up or still connecting leaves it alone.
    if (S->State() != wsClosed) return;
    Side.Connection.SessionCount.fetch_add(1);
    try {
      S->Connect();
    } catch (const std::exception& E) {
      // No worker thread could be had (or the socket refused the request).
      Refused = true;
      Why = E.what();
    }
  }
  // Traced, reported and tried again like any failed connect; outside the socket lock, because
  // the notification may call Send.
  if (Refused) {
    TraceFailed(Side, 0, Why);
    Error(Side);
  }
}

void TSmppClient::SocketClose(TSideState& Side) {
  Side.CloseAsked.store(true);
  // Not under the connection's locks: off the worker thread Close waits for the worker, whose
  // handlers take them.
  Side.Connection.Socket()->Close();
}

// Both read the socket's worker pointer, which the first successful Connect sets under the same
// lock: a timer or the owner's thread never reads it while another thread writes it.
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
  // Both connections of the pair report the watchdog's reconnect with the same text.
  const std::string Text = Side.ReconnectText;
  Report(Side, &Text, false);
}

void TSmppClient::AnswerLoop() {
  std::unique_lock<std::mutex> Lock(FAnswerLock);
  std::vector<std::pair<TSideState*, TPendingAnswer>> Due;
  while (!FAnswerStop) {
    const auto Now = std::chrono::steady_clock::now();
    auto Next = std::chrono::steady_clock::time_point::max();
    for (TSideState& Side : FSides) {
      std::deque<TPendingAnswer>& Queue = Side.PendingAnswers;
      while (!Queue.empty() && Queue.front().Due <= Now) {
        Due.emplace_back(&Side, Queue.front());
        Queue.pop_front();
      }
      if (!Queue.empty()) Next = std::min(Next, Queue.front().Due);
    }
    if (Due.empty()) {
      if (Next == std::chrono::steady_clock::time_point::max())
        FAnswerWake.wait(Lock);
      else
        FAnswerWake.wait_until(Lock, Next);
      continue;
    }
    // Sent outside the lock, which is a leaf; each only while its session lasts.
    Lock.unlock();
    for (auto& [Side, Answer] : Due) SocketSend(*Side, Answer.Bytes, Answer.Length, Answer.Session);
    Due.clear();
    Lock.lock();
  }
}

void TSmppClient::DropPendingAnswers(TSideState& Side) {
  std::lock_guard<std::mutex> Guard(FAnswerLock);
  Side.PendingAnswers.clear();
}
