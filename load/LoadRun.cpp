// The load run: binds, the sending loop, the clients' notifications and the verdict.
#include "load/LoadRun.h"

#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "load/ReceiptRing.h"
#include "smpp/PduNames.h"
#include "smpp/ReportText.h"
#include "smpp/smppclient.h"

namespace load {

namespace {

double CpuSeconds() {
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  return U.ru_utime.tv_sec + U.ru_stime.tv_sec + (U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

std::string Hex8(uint32_t V) {
  char Buf[16];
  std::snprintf(Buf, sizeof Buf, "0x%08X", V);
  return Buf;
}

std::string NumberText(double V) {
  char Buf[32];
  std::snprintf(Buf, sizeof Buf, "%g", V);
  return Buf;
}

bool StartsWith(const std::string& Line, const std::string& Prefix) {
  return Line.compare(0, Prefix.size(), Prefix) == 0;
}

// The header fields and message id of the raw bytes of the read being reported, if it was one.
struct TReadPdu {
  uint32_t CommandId = 0, Status = 0, Sequence = 0;
  std::string MessageId;  // of an accepted submit_sm_resp or submit_multi_resp
};
// Line is the report line of the read: for an accepted submit_sm_resp it carries the message id
// already ("+IN_QUEUE ID=<id>"), so only a submit_multi_resp is decoded for it.
bool ReadPdu(TSMPPConnection& Conn, const std::string& Line, TReadPdu& Out) {
  uint8_t Bytes[kPduHeaderLength + kMaxMessageIdLength + 1];
  const int32_t Length = Conn.ReadReportedBytes(Bytes, sizeof Bytes);
  if (Length < static_cast<int32_t>(kPduHeaderLength)) return false;
  Out.CommandId = GetU32(Bytes + 4);
  Out.Status = GetU32(Bytes + 8);
  Out.Sequence = GetU32(Bytes + 12);
  if (Out.Status != 0) return true;
  static constexpr std::string_view kInQueue = "+IN_QUEUE ID=";
  if (Out.CommandId == kSubmitSmResp && Line.compare(0, kInQueue.size(), kInQueue) == 0) {
    Out.MessageId.assign(Line, kInQueue.size());
  } else if (Out.CommandId == kSubmitSmResp || Out.CommandId == kSubmitMultiResp) {
    TPDU Pdu;
    TPduCodec::DecodePdu(Bytes, sizeof Bytes, static_cast<size_t>(Length), Pdu);
    Out.MessageId = Pdu.message_id;
  }
  return true;
}

// The state word (its stat label, or message_state by name), err text, source_addr and whether
// it is an intermediate notification, of the delivery receipt whose read is being reported on
// Conn.
void ReadReceiptState(const TSmppClient& Client, TSMPPConnection& Conn, std::string& Stat,
                      std::string& Err, std::string& Source, bool& Notification) {
  static thread_local uint8_t Bytes[kPduBufferSize];
  const int32_t Length = Conn.ReadReportedBytes(Bytes, sizeof Bytes);
  if (Length < static_cast<int32_t>(kPduHeaderLength)) return;
  TPDU Pdu;
  Client.DecodePdu(Bytes, sizeof Bytes, static_cast<size_t>(Length), Pdu);
  Stat = Pdu.deliver.receipt_stat;
  Err = Pdu.deliver.receipt_err;
  Source = Pdu.deliver.source_addr;
  Notification = (Pdu.deliver.esm_class & kEsmMessageTypeMask) == kEsmIntermediateNotification;
}

// The destinations (comma-separated) that the submit_multi_resp of Length bytes at Bytes lists
// in unsuccess_sme: nothing is read past its command_length or Length.
std::string UnsuccessDestinations(const uint8_t* Bytes, size_t Length) {
  std::string List;
  if (Length <= kPduHeaderLength) return List;
  const size_t End = std::min<size_t>(GetU32(Bytes), Length);
  size_t At = kPduHeaderLength;
  auto CString = [&](size_t Most) {
    const size_t From = At;
    while (At < End && At - From < Most && Bytes[At] != 0) ++At;
    std::string_view Text(reinterpret_cast<const char*>(Bytes) + From, At - From);
    if (At < End) ++At;  // the terminator
    return Text;
  };
  CString(kMaxMessageIdLength + 1);  // message_id
  if (At >= End) return List;
  const unsigned Count = Bytes[At++];
  for (unsigned I = 0; I < Count && At + 2 < End; ++I) {
    At += 2;  // dest_addr_ton, dest_addr_npi
    const std::string_view Address = CString(21);
    At += 4;  // error_status_code
    List.append(List.empty() ? "" : ",").append(Address);
  }
  return List;
}

// The responses throttled, queue full and of other error statuses in Statuses, less those in
// Before when given.
void SplitStatuses(const std::map<uint32_t, long>& Statuses, const std::map<uint32_t, long>* Before,
                   long& Throttled, long& QueueFull, long& Other) {
  Throttled = QueueFull = Other = 0;
  for (const auto& [Code, N] : Statuses) {
    const auto It = Before ? Before->find(Code) : Statuses.end();
    const long New = N - (Before && It != Before->end() ? It->second : 0);
    if (Code == kThrottled)
      Throttled = New;
    else if (Code == kQueueFull)
      QueueFull = New;
    else if (Code != 0)
      Other += New;
  }
}

// The error of a bind answered with generic_nack: "bind_transmitter answered with generic_nack
// ESME_RINVCMDID (0x00000003)".
std::string NackText(uint32_t BindId, uint32_t Status) {
  return CommandName(BindId) + " answered with generic_nack " + CommandStatusName(Status) + " (" +
         Hex8(Status) + ")";
}

// "DELIVRD 10, UNDELIV 2" of counts by word.
std::string CountsText(const std::map<std::string, long>& Counts) {
  std::string Text;
  for (const auto& [Word, N] : Counts)
    Text += (Text.empty() ? "" : ", ") + EscapedReportLine(Word) + " " + std::to_string(N);
  return Text;
}

}  // namespace

// One bind: a client with its receiver and transmitter (or its transceiver).
struct TLoadRun::TBindState {
  int Index = 0;
  std::unique_ptr<TSmppClient> Client;
  // The lines that tell of the connections, made once: "Tcx" or "Trx" on the transmitter's side.
  std::string Side, SideName, TcxBindOk, TcxConnected, TcxTls, TcxClosed, TcxRetry, TcxBroken;
  std::string Prefix;  // "bind 2: " before the errors of one bind among several, else empty
  // FLock:
  bool RcxBound = false, TcxBound = false;
  bool Up = false;    // the transmitter is bound: submits may go
  long Sessions = 0;  // binds of the transmitter so far
  long Messages = 0;  // messages sent over it
  // Its share of the rate: --tps split evenly over the binds, each paced and backing off on its
  // own, so that no bind goes over its share (SMSCs cap each bind's rate).
  TRateLimiter Limiter;
  long Pending = 0;     // submits taken for sending and not yet recorded in the matcher
  long Reconnects = 0;  // binds made again after a session ended
  bool RcxUp = false;   // the receiver (a transceiver: the transmitter) is bound now
  long Lost = 0;        // sessions of its connections that ended while bound, during the run
  // Since when its transmitter has not been bound, after it was once (-1: it is bound, or never
  // was), and the microseconds of the run it spent so before.
  TMicros DownSince = -1, Unbound = 0;
  // The answers of the read being handled on the submitting connection, recorded when the read
  // is done: touched by that connection's worker thread alone.
  struct TAnswer {
    uint32_t Sequence, Status;
    int64_t ReadNs;
    uint8_t IdLength;
    char Id[kMaxMessageIdLength];
    int32_t Unsuccess;  // of a submit_multi_resp: its refused destinations in Refused, or -1
  };
  std::vector<TAnswer> Answers;
  std::vector<std::string> Refused;  // cleared with Answers
  // Its receipts: pushed by the receiving connection's worker thread, drained with FLock held.
  TReceiptRing Receipts{kRingReceipts};
  static constexpr size_t kRingReceipts = 2048;
};

TLoadRun::TLoadRun(TLoadOptions Options, const TClientFactory& Make, TLineObserver Observer)
    : FOptions(std::move(Options)),
      FWait(std::chrono::duration_cast<TClock::duration>(
          std::chrono::duration<double>(FOptions.WaitSeconds))),
      FObserver(std::move(Observer)),
      FMatcher(FOptions.ReceiptsPerSubmit, FOptions.ReceiptIds),
      FRunId(NewRunId()) {
  FMatcher.SetOwners(static_cast<int>(FOptions.Binds), FOptions.Window);
  FMatcher.SetTap(&FSecond.ResponseLatency, &FSecond.ReceiptLatency);
  const std::string Side = FOptions.Transceiver ? "Trx" : "Tcx";
  for (long I = 0; I < std::max(1L, FOptions.Binds); ++I) {
    auto B = std::make_unique<TBindState>();
    B->Index = static_cast<int>(I);
    B->Limiter = TRateLimiter(FOptions.Tps / static_cast<double>(std::max(1L, FOptions.Binds)),
                              FOptions.Parts);
    B->Client = Make();
    B->Side = Side;
    B->SideName = FOptions.Transceiver ? "transceiver" : "transmitter";
    B->TcxBindOk = "bind " + Side + " OK";
    B->TcxConnected = Side + " Connected.";
    B->TcxTls = Side + " TLS handshake failed: ";
    B->TcxClosed = Side + " closed by the SMSC before the bind answer";
    B->TcxRetry = Side + " try Connect in 5 sec";
    B->TcxBroken = Side + " invalid PDU length";
    if (FOptions.Binds > 1) B->Prefix = "bind " + std::to_string(I + 1) + ": ";
    TBindState* Raw = B.get();
    // A connection the SMSC closes is made again 5 s later, not once the keep-alive notices; and
    // a connection that never bound is not unbound.
    B->Client->ReconnectWhenClosed.store(true);
    B->Client->UnbindBoundOnly.store(true);
    B->Client->SetOnSessionClosed(
        [this, Raw](TSmppClient*, bool Transmits) { OnSessionClosed(*Raw, Transmits); });
    B->Client->SetRcxOnData([this, Raw](TSmppClient* C) { OnRcxLine(*Raw, *C); });
    B->Client->SetTcxOnData([this, Raw](TSmppClient* C) { OnTcxLine(*Raw, *C); });
    if (!FObserver) {
      B->Client->SetOnSubmitResponse(
          [this, Raw](TSmppClient*, const TSmppClient::TSubmitResponse& R) {
            OnResponse(*Raw, R);
          });
      B->Client->SetOnReceipt(
          [this, Raw](TSmppClient*, const TSmppClient::TReceipt& R) { OnReceipt(*Raw, R); });
      B->Client->SetOnReadDone(
          [this, Raw](TSmppClient*, bool Transmits) { OnReadDone(*Raw, Transmits); });
    }
    FBinds.push_back(std::move(B));
  }
}

TSmppClient& TLoadRun::Client(int Bind) {
  return *FBinds[static_cast<size_t>(Bind)]->Client;
}

TLoadRun::~TLoadRun() {
  Close();
}

TMicros TLoadRun::Now() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - FT0).count();
}

// A time the client gave (a submit's SentAtNs, a read's ReadTimeNs; the same clock), or now when
// it gave none: the client's times are those the PDU trace shows, and save a clock read.
TMicros TLoadRun::MicrosOf(int64_t Ns) const {
  if (Ns == 0) return Now();
  return (Ns -
          std::chrono::duration_cast<std::chrono::nanoseconds>(FT0.time_since_epoch()).count()) /
         1000;
}

void TLoadRun::Fail(const std::string& Why) {
  if (FFailure.empty()) FFailure = Why;
}

bool TLoadRun::AllBound() const {
  return std::all_of(FBinds.begin(), FBinds.end(),
                     [](const auto& B) { return B->RcxBound && B->TcxBound; });
}

bool TLoadRun::Finished() const {
  long Pending = 0;
  for (const auto& B : FBinds) Pending += B->Pending;
  return FMatcher.InFlight() == 0 && Pending == 0 &&
         (FOptions.ReceiptsPerSubmit == 0 || FMatcher.ReceiptsDue() <= 0);
}

bool TLoadRun::SendingDone() const {
  if (FStopped) return true;
  return FOptions.Duration > 0 ? TClock::now() >= FSendUntil : FClaimed >= FOptions.Count;
}

bool TLoadRun::HasRoom(const TBindState& B) const {
  return B.Up && FMatcher.Owner(B.Index).InFlight + B.Pending + FOptions.Parts <= FOptions.Window;
}

bool TLoadRun::IdleBindWaits() const {
  for (const auto& B : FBinds)
    if (HasRoom(*B) && FMatcher.Owner(B->Index).InFlight == 0 && B->Pending == 0) return true;
  return false;
}

void TLoadRun::WakeIfDue() {
  bool Due = !FFailure.empty();
  switch (FWaiting) {
    case TWaiting::Binds:
      Due = Due || AllBound();
      break;
    case TWaiting::Room:
      Due = Due || IdleBindWaits() || SendingDone();
      break;
    case TWaiting::End:
      Due = Due || Finished();
      break;
    default:
      break;
  }
  if (Due) FChanged.notify_one();
}

void TLoadRun::Tally(TSecond& S) const {
  S.Submits = FMatcher.Sent() - FSentAt0;
  S.Answers = FMatcher.Answered() - FAnsweredAt0;
  S.Receipts = FMatcher.Receipts() - FReceiptsAt0;
  SplitStatuses(FMatcher.Statuses(), &FStatusesAt0, S.Throttled, S.QueueFull, S.OtherStatus);
  S.InFlight = FMatcher.InFlight();
}

void TLoadRun::Roll(TMicros Now) {
  while (Now >= FSecondEnd) {
    Tally(FSecond);
    // A week of seconds at most is kept: beyond that only the totals count.
    if (FSeries.size() < 7 * 86400) FSeries.push_back(FSecond);
    FSentAt0 = FMatcher.Sent(), FAnsweredAt0 = FMatcher.Answered();
    FReceiptsAt0 = FMatcher.Receipts(), FStatusesAt0 = FMatcher.Statuses();
    // The matcher's tap points at these two: they are emptied in place.
    ++FSecond.UnixSecond;
    FSecond.ResponseLatency = THistogram(kSeriesSubBits);
    FSecond.ReceiptLatency = THistogram(kSeriesSubBits);
    FSecondEnd += 1000000;
  }
}

void TLoadRun::SessionEnded(TBindState& B) {
  if (B.Up && !FEnded) {
    ++B.Lost;
    B.DownSince = Now();
    if (FOptions.Transceiver) B.RcxUp = false;
  }
  B.Up = false;
  FMatcher.DropInFlight(B.Index);
}

void TLoadRun::OnSessionClosed(TBindState& B, bool Transmits) {
  std::lock_guard<std::mutex> G(FLock);
  if (Transmits) {
    // Its submits in flight are never answered now: counted so at once, and the run may end.
    SessionEnded(B);
  } else {
    if (B.RcxUp && !FEnded) ++B.Lost;
    B.RcxUp = false;
  }
  WakeIfDue();
}

void TLoadRun::Losses(long& Reconnects, long& Lost, double& UnboundSeconds) const {
  Reconnects = Lost = 0;
  TMicros Unbound = 0;
  for (const auto& B : FBinds) {
    Reconnects += B->Reconnects, Lost += B->Lost, Unbound += B->Unbound;
    if (B->DownSince >= 0 && !FEnded) Unbound += Now() - B->DownSince;
  }
  UnboundSeconds = static_cast<double>(Unbound) / 1e6;
}

void TLoadRun::Responded(TBindState& B, uint32_t Sequence, uint32_t Status,
                         const std::string& MessageId, int64_t ReadNs, std::string_view Unsuccess) {
  const TMicros Now = MicrosOf(ReadNs);
  if (Now >= FSecondEnd) Roll(Now);
  const long Before = FMatcher.Answered();
  FMatcher.Responded(Sequence, Status, MessageId, Now, B.Index, Unsuccess);
  if (FMatcher.Answered() != Before) FLastAnswer = Now;
  if (Status == kThrottled || Status == kQueueFull)
    B.Limiter.Throttled(
        Now, Now > 0 ? FMatcher.Owner(B.Index).Sent * 1e6 / static_cast<double>(Now) : 0);
}

bool TLoadRun::ReceiptCame(const std::string& MessageId, std::string_view Stat,
                           std::string_view Err, int64_t ReadNs, bool AwaitedOnly,
                           std::string_view Source, bool Notification) {
  const TMicros Now = MicrosOf(ReadNs);
  if (Now >= FSecondEnd) Roll(Now);
  const long Before = FMatcher.Receipts();
  if (!AwaitedOnly)
    FMatcher.Receipt(MessageId, Now, Stat, Err, Source, Notification);
  else if (!FMatcher.ReceiptIfAwaited(MessageId, Now, Stat, Err, Source, Notification))
    return false;
  if (FMatcher.Receipts() != Before) FLastAnswer = Now;
  return true;
}

// Without a front end that shows the lines, the answers come through the client's hooks: no
// report line is made for them, and nothing is decoded twice. They wait in their bind until the
// read is done, so that a read of many answers takes FLock once.
void TLoadRun::OnResponse(TBindState& B, const TSmppClient::TSubmitResponse& R) {
  TBindState::TAnswer& A = B.Answers.emplace_back();
  A.Sequence = R.Sequence, A.Status = R.Status, A.ReadNs = R.ReadNs;
  // The hook gives at most kMaxMessageIdLength characters. The id only matters for receipts.
  A.IdLength = FOptions.ReceiptsPerSubmit == 0
                   ? 0
                   : static_cast<uint8_t>(std::min(R.MessageId.size(), kMaxMessageIdLength));
  std::memcpy(A.Id, R.MessageId.data(), A.IdLength);
  A.Unsuccess = -1;
  if (R.CommandId == kSubmitMultiResp && FOptions.ReceiptsPerSubmit > 0 && R.Bytes) {
    A.Unsuccess = static_cast<int32_t>(B.Refused.size());
    B.Refused.push_back(UnsuccessDestinations(R.Bytes, R.Length));
  }
}

// The receiver's thread and the transmitters' would take turns at FLock for every message, and
// a lock they fight over costs a sleep and a wake-up each time: a receipt waits in its bind's ring
// instead, for whoever holds FLock next. The transmitters drain the rings with each read, the Run
// thread at least once a second, and the receiver itself when the ring is full or the run awaits
// only its end.
void TLoadRun::OnReceipt(TBindState& B, const TSmppClient::TReceipt& R) {
  const bool Notification = (R.EsmClass & kEsmMessageTypeMask) == kEsmIntermediateNotification;
  if (B.Receipts.Push(R.MessageId, R.State, R.Error, R.ReadNs, R.Source, Notification)) return;
  std::lock_guard<std::mutex> G(FLock);
  DrainReceipts();
  ReceiptCame(std::string(R.MessageId), R.State, R.Error, R.ReadNs, false, R.Source, Notification);
  WakeIfDue();
}

void TLoadRun::OnReadDone(TBindState& B, bool Transmits) {
  if (!Transmits || B.Answers.empty()) {
    if (B.Receipts.Empty()) return;
    // Seen after the push, or the Run thread's drain sees the receipts (see FEndAwaited).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!FEndAwaited.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> G(FLock);
    DrainReceipts();
    WakeIfDue();
    return;
  }
  static thread_local std::string Id;
  std::unique_lock<std::mutex> G(FLock);
  for (const TBindState::TAnswer& A : B.Answers) {
    Id.assign(A.Id, A.IdLength);
    Responded(B, A.Sequence, A.Status, Id, A.ReadNs,
              A.Unsuccess < 0 ? std::string_view() : B.Refused[static_cast<size_t>(A.Unsuccess)]);
  }
  B.Answers.clear();
  B.Refused.clear();
  // After the answers: the receipts of this read's submits find their ids awaited. A receipt
  // read before its answer (the receiver is often ahead of the transmitter) waits in the ring
  // for the read that brings the answer, rather than being held and claimed. At the end every
  // receipt goes at once: one for no message of ours must not keep those behind it waiting.
  DrainReceipts(!FEndAwaited.load(std::memory_order_relaxed));
  Pump(G, B.Index);
}

void TLoadRun::DrainReceipts(bool AwaitedOnly) {
  static thread_local std::string Id;
  for (const auto& B : FBinds)
    B->Receipts.DrainWhile([&](const TRingReceipt& R) {
      Id.assign(R.IdView());
      return ReceiptCame(Id, R.StateView(), R.ErrorView(), R.ReadNs, AwaitedOnly, R.SourceView(),
                         R.Notification);
    });
}

void TLoadRun::OnRcxLine(TBindState& B, TSmppClient& C) {
  const std::string Line = C.Rcx().rcxData();
  if (FObserver) FObserver(B.Index, true, C.Rcx(), Line);
  TReadPdu R;
  const bool Read = ReadPdu(C.Rcx(), Line, R);
  std::string ReceiptId, Stat, Err, Source;
  bool Notification = false;
  const bool IsReceipt = ReceiptLineId(Line, ReceiptId);
  if (IsReceipt) ReadReceiptState(C, C.Rcx(), Stat, Err, Source, Notification);
  std::lock_guard<std::mutex> G(FLock);
  if (Line == "bind Rcx OK") {
    if ((B.RcxBound || !FBinding) && !FEnded) ++B.Reconnects;
    B.RcxBound = B.RcxUp = true;
  } else if (Line == "Rcx try Connect in 5 sec") {
    if (B.RcxUp && !FEnded) ++B.Lost;
    B.RcxUp = false;
  } else if (IsReceipt) {
    ReceiptCame(ReceiptId, Stat, Err, C.Rcx().ReadTimeNs(), false, Source, Notification);
  }
  // Before every bind is up a failed bind ends the run; later the client binds again by itself,
  // and the run goes on with the other binds meanwhile.
  if (FBinding) {
    if (StartsWith(Line, "Rcx TLS handshake failed: ") ||
        StartsWith(Line, "Rcx closed by the SMSC before the bind answer"))
      Fail(B.Prefix + Line);
    else if (Line == "Rcx try Connect in 5 sec")
      Fail(B.Prefix + "cannot connect the receiver to " + EscapedReportLine(FOptions.Host) + ":" +
           std::to_string(FOptions.Port));
    if (Read && R.CommandId == kBindReceiverResp && R.Status != 0)
      Fail(B.Prefix + "bind_receiver refused by the SMSC (status " + Hex8(R.Status) + ")");
    // Nothing but the bind has gone out on a receiver that is not bound: a generic_nack answers it.
    if (Read && R.CommandId == kGenericNack && !B.RcxBound)
      Fail(B.Prefix + NackText(kBindReceiver, R.Status));
  }
  if (StartsWith(Line, "Rcx invalid PDU length"))
    Fail(B.Prefix + "the SMSC sent a broken stream on the receiver (" + Line + ")");
  WakeIfDue();
}

// The transmitter's lines, or the transceiver's: its own, and the answers to submits and other
// requests (a transceiver's deliveries come through the receiver's notification).
void TLoadRun::OnTcxLine(TBindState& B, TSmppClient& C) {
  const std::string Line = C.Tcx().tcxData();
  if (FObserver) FObserver(B.Index, false, C.Tcx(), Line);
  TReadPdu R;
  const bool Read = ReadPdu(C.Tcx(), Line, R);
  bool Response = Read && (R.CommandId == kSubmitSmResp || R.CommandId == kSubmitMultiResp);
  const uint32_t BindResp = FOptions.Transceiver ? kBindTransceiverResp : kBindTransmitterResp;
  const bool Nack = Read && R.CommandId == kGenericNack;
  std::unique_lock<std::mutex> G(FLock);
  {
    if (Line == B.TcxBindOk) {
      if ((B.TcxBound || !FBinding) && !FEnded) ++B.Reconnects;
      if (B.DownSince >= 0) {
        if (!FEnded) B.Unbound += Now() - B.DownSince;
        B.DownSince = -1;
      }
      B.TcxBound = B.Up = true;
      ++B.Sessions;
      if (FOptions.Transceiver) B.RcxBound = B.RcxUp = true;
    } else if (Line == B.TcxConnected) {
      // A new session: nothing sent on the one before is answered now.
      SessionEnded(B);
    } else if (FBinding && (StartsWith(Line, B.TcxTls) || StartsWith(Line, B.TcxClosed))) {
      Fail(B.Prefix + Line);
    } else if (Line == B.TcxRetry) {
      if (FBinding)
        Fail(B.Prefix + "cannot connect the " + B.SideName + " to " +
             EscapedReportLine(FOptions.Host) + ":" + std::to_string(FOptions.Port));
      SessionEnded(B);
    } else if (StartsWith(Line, B.TcxBroken)) {
      Fail(B.Prefix + "the SMSC sent a broken stream on the " + B.SideName + " (" + Line + ")");
    }
    if (Nack && !B.TcxBound) {
      // Nothing but the bind has gone out on a transmitter never bound: the nack answers it.
      if (FBinding) Fail(B.Prefix + NackText(BindResp & ~kGenericNack, R.Status));
    } else if (Nack && !FOptions.KeepAnswers) {
      // The SMSC could not take a submit as a PDU: its answer, a rejection with that status.
      Response = true;
      R.MessageId.clear();
    }
    if (Response) Responded(B, R.Sequence, R.Status, R.MessageId, C.Tcx().ReadTimeNs());
    if (FBinding && Read && R.CommandId == BindResp && R.Status != 0)
      Fail(B.Prefix + CommandName(BindResp & ~kGenericNack) + " refused by the SMSC (status " +
           Hex8(R.Status) + ")");
    if (Read && FOptions.KeepAnswers && B.Index == 0 && (R.CommandId & kGenericNack) != 0) {
      FAnswers[R.Sequence] = R.Status;
      FChanged.notify_all();
    }
  }
  // After a response the pump refills the window, in the same hold of the lock, and wakes the
  // Run thread if need be.
  if (Response)
    Pump(G, B.Index);
  else
    WakeIfDue();
}

// Every message goes as one submit per part; each submit gets its own answer and receipt. The
// Run thread calls this to fill the windows and for what waits for the rate; the handler of a
// response calls it on its bind's worker thread: a submit made there goes out with no thread
// hand-over at all, which keeps a round trip at window 1 short, and at large windows lets one
// thread both read the responses and send the next submits with no wake-ups between threads. FLock
// is never held across Send.
TMicros TLoadRun::Pump(std::unique_lock<std::mutex>& G, int Preferred) {
  // A response's thread takes as many messages as its window and the count allow in one hold of
  // the lock, sends them all, and records them in the next hold: two holds per read of answers
  // rather than two per message.
  static constexpr long kMostAtOnce = 256;
  // The destinations and texts of varied messages, made under the lock, sent after it; the sends
  // of one hold (their sent times and their parts' sequence numbers).
  static thread_local std::vector<std::string> Destinations, Texts;
  static thread_local std::vector<const std::string*> ToSend[2];  // destinations, texts
  static thread_local std::vector<uint32_t> Parts;
  static thread_local std::vector<size_t> PartsEnd;
  static thread_local std::vector<int64_t> SentNs;
  TMicros Pause = 0;
  while (FFailure.empty() && !SendingDone()) {
    // A response's thread sends on its own bind alone: a submit from another thread would wake
    // that bind's worker and contend for its locks, which costs more than the submit. The Run
    // thread sends on any bind, in turn.
    int Index = -1;
    Pause = 0;
    TMicros At = -1;  // read once, and only for a bind that is paced: a clock read costs
    // The messages that bind C's window (and the count) leave room for, at most kMostAtOnce.
    auto Room = [&](const TBindState& C) {
      const long Free =
          (FOptions.Window - FMatcher.Owner(C.Index).InFlight - C.Pending) / FOptions.Parts;
      return std::clamp(FOptions.Duration > 0 ? Free : std::min(Free, FOptions.Count - FClaimed),
                        1L, kMostAtOnce);
    };
    long Granted = 1;  // the messages the chosen bind's rate lets go now
    const size_t N = FBinds.size();
    for (size_t I = 0; I < (Preferred >= 0 ? 1 : N) && Index < 0; ++I) {
      TBindState& C =
          *FBinds[Preferred >= 0 ? static_cast<size_t>(Preferred) : (FNextBind + I) % N];
      if (!HasRoom(C)) continue;
      // Unpaced (no rate, or back at no rate after a back-off), Take would give 0 at once. A paced
      // bind takes what its tokens allow, up to its room: one write for a millisecond's worth.
      long Most = 1;
      TMicros Wait = 0;
      if (C.Limiter.Rate() > 0)
        Most = Room(C), Wait = C.Limiter.Take(At < 0 ? At = Now() : At, Most);
      if (Wait == 0)
        Index = C.Index, Granted = Most;
      else
        Pause = Pause ? std::min(Pause, Wait) : Wait;
    }
    if (Index < 0) break;
    TBindState& B = *FBinds[static_cast<size_t>(Index)];
    FNextBind = static_cast<size_t>(Index + 1) % N;
    // A paced bind sends what its rate granted. Unpaced, a response's thread fills its window; a
    // run for a duration (its end is read before each) and the Run thread (which deals them out
    // in turn) send one message at a time.
    long Take = 1;
    if (B.Limiter.Rate() > 0)
      Take = Granted;
    else if (Preferred >= 0 && FOptions.Duration <= 0 && !FStopped)
      Take = Room(B);
    const uint64_t First = static_cast<uint64_t>(FClaimed) + 1;
    FClaimed += Take;
    // A submit into an empty window starts the wait for an answer afresh.
    const bool IntoEmptyWindow = FMatcher.InFlight() == 0;
    B.Pending += Take * FOptions.Parts;
    FMatcher.Claim(Take * FOptions.Parts);
    const long Session = B.Sessions;
    const bool Varied = static_cast<bool>(FOptions.Vary);
    if (Varied) {
      if (Destinations.size() < static_cast<size_t>(Take))
        Destinations.resize(static_cast<size_t>(Take)), Texts.resize(static_cast<size_t>(Take));
      for (long I = 0; I < Take; ++I)
        FOptions.Vary(First + static_cast<uint64_t>(I), Destinations[static_cast<size_t>(I)],
                      Texts[static_cast<size_t>(I)]);
    }
    ToSend[0].clear(), ToSend[1].clear();
    for (size_t I = 0; I < static_cast<size_t>(Take); ++I) {
      ToSend[0].push_back(Varied ? &Destinations[I] : &FOptions.Destination);
      ToSend[1].push_back(Varied ? &Texts[I] : &FOptions.Text);
    }
    G.unlock();
    const size_t Went =
        B.Client->SendMany(FOptions.Source, FOptions.Validity, static_cast<size_t>(Take),
                           ToSend[0].data(), ToSend[1].data(), Parts, PartsEnd, SentNs);
    G.lock();
    B.Pending -= Take * FOptions.Parts;
    FMatcher.Claim(-Take * FOptions.Parts);
    if (IntoEmptyWindow) FLastAnswer = std::max(FLastAnswer, MicrosOf(Went ? SentNs[0] : 0));
    // An answer that came before this point is held by the matcher and paired here.
    for (size_t I = 0, Part = 0; I < Went; ++I) {
      const TMicros SentAt = MicrosOf(SentNs[I]);
      if (SentAt >= FSecondEnd) Roll(SentAt);
      // A submit_multi's destinations each await a receipt of their own.
      const std::string* Multi =
          FOptions.ReceiptsPerSubmit > 0 &&
                  (Varied ? ToSend[0][I]->find(',') != std::string::npos : FMultiDestination)
              ? ToSend[0][I]
              : nullptr;
      for (; Part < PartsEnd[I]; ++Part) FMatcher.Submitted(Parts[Part], SentAt, B.Index, Multi);
      ++FMessages;
      ++B.Messages;
    }
    if (Went < static_cast<size_t>(Take)) {
      // Send refuses a message it cannot build while the connection is up; otherwise the
      // session ended, and the message goes on another bind (or this one once bound again), with
      // those of this hold not tried.
      const long Unsent = Take - static_cast<long>(Went);
      if (B.Client->Tcx().Socket()->State() == wsConnected) {
        FClaimed -= Unsent - 1;
        Fail(B.Prefix +
             "the message cannot be built as a PDU (--destination needs 1 to 254 addresses)");
        break;
      }
      FClaimed -= Unsent;
      // Unless it was bound again meanwhile.
      if (B.Sessions == Session) SessionEnded(B);
      continue;
    }
  }
  WakeIfDue();
  return Pause;
}

bool TLoadRun::WaitForAnswers(std::unique_lock<std::mutex>& G, const std::function<bool()>& Done) {
  auto Ready = [&] { return !FFailure.empty() || Done(); };
  while (!Ready()) {
    const auto Quiet = FT0 + std::chrono::microseconds(FLastAnswer) + FWait;
    // The deadline moves with every answer; a run for a duration also wakes at its end, a stopped
    // run at the end of its short wait, and every second ends on time.
    auto Until = std::min(Quiet, FT0 + std::chrono::microseconds(FSecondEnd));
    if (FOptions.Duration > 0 && !FAllSent) Until = std::min(Until, FSendUntil);
    const bool Stopped = FStopped;
    if (Stopped) Until = std::min(Until, StopDeadline());
    // A Stop meanwhile shortens the wait: it wakes this one.
    FChanged.wait_until(G, Until, [&] { return Ready() || FStopped != Stopped; });
    DrainReceipts();
    Roll(Now());
    if (Ready()) break;
    if (TClock::now() >= FT0 + std::chrono::microseconds(FLastAnswer) + FWait) break;
    if (FOptions.Duration > 0 && !FAllSent && TClock::now() >= FSendUntil) break;
    if (FStopped && TClock::now() >= StopDeadline()) break;
  }
  return Done();
}

std::string TLoadRun::Bind() {
  for (const auto& B : FBinds) B->Client->Connect();
  std::unique_lock<std::mutex> G(FLock);
  FWaiting = TWaiting::Binds;
  const bool Bound = FChanged.wait_until(
      G, TClock::now() + FWait, [&] { return !FFailure.empty() || AllBound() || FStopped; });
  FWaiting = TWaiting::Nothing;
  if (!FFailure.empty()) return FFailure;
  if (FStopped && !AllBound()) return "stopped by the user while binding";
  if (!Bound) {
    if (FBinds.size() == 1) return "the SMSC did not accept both binds within the wait";
    long N = 0;
    for (const auto& B : FBinds) N += B->RcxBound && B->TcxBound;
    return "the SMSC did not accept every bind within the wait (" + std::to_string(N) + " of " +
           std::to_string(FBinds.size()) + " bound)";
  }
  FBinding = false;
  return {};
}

bool TLoadRun::WaitAnswer(uint32_t Sequence, uint32_t& Status, std::string& Failure) {
  std::unique_lock<std::mutex> G(FLock);
  const bool Came = FChanged.wait_for(
      G, FWait, [&] { return !FFailure.empty() || FStopped || FAnswers.count(Sequence); });
  Failure = FFailure.empty() && FStopped ? "stopped by the user" : FFailure;
  if (!Came || !Failure.empty()) return false;
  Status = FAnswers[Sequence];
  return true;
}

std::string TLoadRun::Run() {
  const double Cpu0 = CpuSeconds();
  {
    std::lock_guard<std::mutex> G(FLock);
    FT0 = TClock::now();
    const auto Unix = std::chrono::system_clock::now().time_since_epoch();
    const int64_t UnixMicros = std::chrono::duration_cast<std::chrono::microseconds>(Unix).count();
    FStartUnix = static_cast<double>(UnixMicros) / 1e6;
    // Seconds end where the wall clock's do, so that the seconds of runs on several machines
    // add up one to one.
    FSecond.UnixSecond = UnixMicros / 1000000;
    FSecondEnd = 1000000 - UnixMicros % 1000000;
    FSendUntil = FT0 + std::chrono::duration_cast<TClock::duration>(
                           std::chrono::duration<double>(FOptions.Duration));
    FLastAnswer = 0;
  }
  std::string Error;
  // The Run thread fills the windows and sends what waits for the rate; the transmitters'
  // notifications send whenever a response makes room.
  for (;;) {
    std::unique_lock<std::mutex> G(FLock);
    const TMicros Pause = Pump(G, -1);
    if (!FFailure.empty() || SendingDone()) break;
    if (Pause == 0) {
      // No bind has room (or none is up). The transmitters' threads refill the windows after each
      // response, so room may never be seen here: what ends the wait with an error is a silence
      // of the wait, not its length. This thread is woken only for a bind that may take a
      // message and awaits no response, which its own thread would otherwise send it after.
      FWaiting = TWaiting::Room;
      const bool Room = WaitForAnswers(G, [&] { return IdleBindWaits() || SendingDone(); });
      FWaiting = TWaiting::Nothing;
      if (!Room && FFailure.empty()) {
        Error = "the SMSC stopped answering submits (nothing answered for " +
                NumberText(FOptions.WaitSeconds) + " s)";
        break;
      }
      continue;
    }
    // Room, but the rate allows the next submit only later.
    auto Until = std::min(TClock::now() + std::chrono::microseconds(Pause),
                          FT0 + std::chrono::microseconds(FSecondEnd));
    if (FOptions.Duration > 0) Until = std::min(Until, FSendUntil);
    FChanged.wait_until(G, Until, [&] { return !FFailure.empty() || FStopped; });
    Roll(Now());
  }
  bool Done = false;
  {
    std::unique_lock<std::mutex> G(FLock);
    FAllSent = true;
    const bool Wait = Error.empty() && FFailure.empty();
    if (Wait) {
      FWaiting = TWaiting::End;
      FEndAwaited.store(true, std::memory_order_relaxed);
      // Before the drain: a receipt pushed after it is drained by its own thread.
      std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    DrainReceipts();
    if (Wait) {
      Done = WaitForAnswers(G, [&] { return Finished(); });
      FWaiting = TWaiting::Nothing;
      FEndAwaited.store(false, std::memory_order_relaxed);
    }
    DrainReceipts();
    // The time without a transmitter ends with the run; from here on the verdict's figures
    // stand.
    for (const auto& B : FBinds)
      if (B->DownSince >= 0) B->Unbound += Now() - B->DownSince, B->DownSince = -1;
    FEnded = true;
    if (Error.empty() || FStopped) Error = Verdict(Done);
    Roll(Now());
    FSeconds = std::chrono::duration<double>(TClock::now() - FT0).count();
  }
  FCpuSeconds = CpuSeconds() - Cpu0;
  return Error;
}

std::string TLoadRun::Verdict(bool Done) const {
  const TMatcher& M = FMatcher;
  const long Rejected = M.Answered() - M.Accepted();
  if (!FFailure.empty()) return FFailure;
  long Reconnects = 0, Lost = 0;
  double Unbound = 0;
  Losses(Reconnects, Lost, Unbound);
  char Down[64];
  std::snprintf(Down, sizeof Down, "%.1f s without a bound transmitter", Unbound);
  if (FStopped) {
    char After[32];
    std::snprintf(After, sizeof After, "%.1f",
                  std::max(0.0, std::chrono::duration<double>(FStopTime - FT0).count()));
    std::string Text = std::string("stopped by the user after ") + After + " s";
    if (M.InFlight() + M.Dropped() > 0)
      Text += " (" + std::to_string(M.InFlight() + M.Dropped()) + " of " +
              std::to_string(M.Sent()) + " submits unanswered)";
    return Text;
  }
  // What the wire contradicts comes first: the other figures cannot be trusted then.
  if (M.UnexpectedResponses() > 0)
    return std::to_string(M.UnexpectedResponses()) +
           " responses answered no submit on the wire (for a sequence number not sent yet or not "
           "ours, or a second answer)";
  if (M.DuplicateMessageIds() > 0)
    return std::to_string(M.DuplicateMessageIds()) + " of " + std::to_string(M.Accepted()) +
           " accepted submits were given a message id already given to another (\"" +
           EscapedReportLine(M.DuplicateIdExample()) + "\"): their receipts cannot be told apart";
  if (!Done && M.InFlight() > 0)
    return "only " + std::to_string(M.Sent() - M.InFlight() - M.Dropped()) + " of " +
           std::to_string(M.Sent()) + " submits were answered within the wait";
  if (!Done) {
    std::string Text = "only " + std::to_string(M.Receipts()) + " of " +
                       std::to_string(M.Receipts() + M.ReceiptsDue()) +
                       " delivery receipts came within the wait (--no-receipts skips them)";
    if (M.DoubtfulReceipts() > 0) {
      std::string Ways;
      for (const auto& [Word, N] : M.DoubtfulReasons())
        Ways += (Ways.empty() ? "" : " or ") + std::string("--receipt-ids ") + Word;
      Text += "; " + std::to_string(M.DoubtfulReceipts()) +
              " doubtful receipts match only by a convention not settled (" + Ways + ")";
    }
    return Text;
  }
  if (M.Dropped() > 0)
    return std::to_string(M.Dropped()) + " of " + std::to_string(M.Sent()) +
           " submits were never answered: the session they went on ended (" +
           std::to_string(Reconnects) + " binds made again, " + Down + ")";
  // A session lost with nothing in flight loses no submit, yet the run did not go as expected.
  if (Lost > 0)
    return "the SMSC ended " + std::to_string(Lost) + " session" + (Lost == 1 ? "" : "s") +
           " during the run (" + std::to_string(Reconnects) + " binds made again, " + Down + ")";
  if (Rejected > 0)
    return std::to_string(Rejected) + " of " + std::to_string(M.Sent()) +
           " submits were rejected by the SMSC";
  if (FOptions.ReceiptsPerSubmit == 0) return {};
  std::map<std::string, long> Unexpected;
  long N = 0;
  for (const auto& [Word, Count] : M.ReceiptStates())
    if (!IntermediateState(Word) &&
        std::find(FOptions.ExpectStat.begin(), FOptions.ExpectStat.end(), Word) ==
            FOptions.ExpectStat.end())
      Unexpected.emplace(Word, Count), N += Count;
  if (Unexpected.empty()) return {};
  std::string Expect;
  for (const std::string& Word : FOptions.ExpectStat) Expect += (Expect.empty() ? "" : ",") + Word;
  return std::to_string(N) + " of " + std::to_string(M.Receipts()) +
         " delivery receipts ended in a state not expected (" + CountsText(Unexpected) +
         "; --expect-stat " + Expect + ")";
}

void TLoadRun::Stop() {
  std::lock_guard<std::mutex> G(FLock);
  // Once the verdict is given there is nothing left to stop: the run passed or failed as it did.
  if (FEnded) return;
  if (!FStopped) FStopTime = TClock::now();
  FStopped = true;
  FChanged.notify_all();
}

void TLoadRun::Close() {
  {
    // The run's own unbinds end sessions: no loss.
    std::lock_guard<std::mutex> G(FLock);
    FEnded = true;
  }
  // Each unbind waits for its answer a while: the binds close side by side, not one after the
  // other.
  std::vector<std::thread> Closing;
  for (const auto& B : FBinds)
    if (B->Client)
      Closing.emplace_back([&Client = B->Client] {
        Client->Disconnect();
        Client.reset();
      });
  for (std::thread& T : Closing) T.join();
  // The clients are gone: what came meanwhile is counted.
  std::lock_guard<std::mutex> G(FLock);
  DrainReceipts();
}

TLiveFigures TLoadRun::Live() const {
  std::lock_guard<std::mutex> G(FLock);
  return {FMatcher.Sent(), FMatcher.Answered(), FMatcher.Receipts(), FMatcher.InFlight(),
          FMatcher.Dropped()};
}

TLiveStates TLoadRun::States() const {
  std::lock_guard<std::mutex> G(FLock);
  return {FMatcher.Statuses(), FMatcher.ReceiptStates()};
}

std::vector<TSecond> TLoadRun::Seconds(size_t From) const {
  std::lock_guard<std::mutex> G(FLock);
  if (From >= FSeries.size()) return {};
  return {FSeries.begin() + static_cast<std::ptrdiff_t>(From), FSeries.end()};
}

TSummary TLoadRun::Summary() const {
  std::lock_guard<std::mutex> G(FLock);
  const TMatcher& M = FMatcher;
  TSummary S;
  S.RunId = FRunId;
  S.RunIds = {FRunId};
  S.Stopped = FStopped;
  if (FStopped)
    S.StoppedAfterS = std::max(0.0, std::chrono::duration<double>(FStopTime - FT0).count());
  S.StartUnix = FStartUnix;
  S.Seconds = FSeconds;
  S.CpuSeconds = FCpuSeconds;
  auto Fill = [&](TCounts& C, long Messages, long Sent, long Answered, long Accepted, long Receipts,
                  long Unanswered) {
    C.Messages = Messages, C.Submits = Sent, C.Answered = Answered, C.Accepted = Accepted;
    C.Rejected = Answered - Accepted, C.Receipts = Receipts, C.Unanswered = Unanswered;
  };
  Fill(S.Counts, FMessages, M.Sent(), M.Answered(), M.Accepted(), M.Receipts(),
       M.InFlight() + M.Dropped());
  TCounts& C = S.Counts;
  C.ReceiptsMissing = FOptions.ReceiptsPerSubmit ? std::max(0L, M.ReceiptsDue()) : 0;
  C.UnmatchedResponses = M.UnmatchedResponses();
  C.UnmatchedReceipts = M.UnmatchedReceipts();
  C.AmbiguousReceipts = M.AmbiguousReceipts();
  C.UnexpectedResponses = M.UnexpectedResponses();
  C.DuplicateMessageIds = M.DuplicateMessageIds();
  C.DuplicateReceipts = M.DuplicateReceipts();
  C.DoubtfulReceipts = M.DoubtfulReceipts();
  S.DoubtfulReasons = M.DoubtfulReasons();
  SplitStatuses(M.Statuses(), nullptr, C.Throttled, C.QueueFull, C.OtherStatus);
  for (const auto& B : FBinds) C.BackOffs += B->Limiter.BackOffs();
  for (const auto& B : FBinds) {
    const TMatcher::TOwnerCounts& O = M.Owner(B->Index);
    TBindSummary Bs;
    Bs.Index = B->Index + 1;  // bind 1 to N, as the errors name them
    Fill(Bs.Counts, B->Messages, O.Sent, O.Answered, O.Accepted, O.Receipts,
         O.InFlight + O.Dropped);
    Bs.Counts.Reconnects = B->Reconnects;
    Bs.Counts.SessionsLost = B->Lost;
    Bs.UnboundSeconds = static_cast<double>(B->Unbound) / 1e6;
    C.Reconnects += B->Reconnects;
    C.SessionsLost += B->Lost;
    S.UnboundSeconds += Bs.UnboundSeconds;
    S.Binds.push_back(std::move(Bs));
  }
  S.ResponseLatency = M.ResponseLatency();
  S.ReceiptLatency = M.ReceiptLatency();
  S.Statuses = M.Statuses();
  S.ReceiptIdsUsed = ReceiptIdsWord(M.Convention());
  S.ReceiptStates = M.ReceiptStates();
  S.ReceiptErrors = M.ReceiptErrors();
  S.Series = FSeries;
  // The second under way, cut short.
  TSecond Last = FSecond;
  Tally(Last);
  if (Last.Submits || Last.Answers || Last.Receipts || Last.InFlight) S.Series.push_back(Last);
  return S;
}

}  // namespace load
