// The SMSC side's sessions, answers, receipts and timed actions (see SmscCore.h).
#include "smsc/SmscCore.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "smpp/PduFraming.h"
#include "smpp/smpppdu.h"
#include "smsc/PduLog.h"

namespace smsc {

namespace {

constexpr int64_t kNsPerMs = 1000000;

enum class TBound : uint8_t { bNone, bTransmitter, bReceiver, bTransceiver };

// The addresses of the stray receipts, which answer no submit.
const TAddress kStraySource{1, 1, "5551234"};
const TAddress kStrayDestination{0, 1, "1234"};

// Decimal digits of V, zero-padded to Width.
std::string Decimal(uint64_t V, int Width) {
  char Tmp[24];
  int N = 0;
  do {
    Tmp[N++] = static_cast<char>('0' + V % 10);
    V /= 10;
  } while (V);
  while (N < Width) Tmp[N++] = '0';
  std::string S(static_cast<size_t>(N), '0');
  for (int I = 0; I < N; ++I) S[static_cast<size_t>(I)] = Tmp[N - 1 - I];
  return S;
}

std::string Hex(uint64_t V) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char Tmp[16];
  int N = 0;
  do {
    Tmp[N++] = kDigits[V & 0xF];
    V >>= 4;
  } while (V);
  std::string S(static_cast<size_t>(N), '0');
  for (int I = 0; I < N; ++I) S[static_cast<size_t>(I)] = Tmp[N - 1 - I];
  return S;
}

}  // namespace

std::string& TActions::To(uint32_t Conn) {
  for (size_t I = 0; I < FUsed; ++I)
    if (FWrites[I].first == Conn) return FWrites[I].second;
  if (FUsed == FWrites.size()) FWrites.emplace_back();
  auto& W = FWrites[FUsed++];
  W.first = Conn;
  W.second.clear();
  return W.second;
}

std::string TActions::BytesFor(uint32_t Conn) const {
  for (size_t I = 0; I < FUsed; ++I)
    if (FWrites[I].first == Conn) return FWrites[I].second;
  return {};
}

// An address kept beyond the PDU it came from.
struct TOwnedAddress {
  uint8_t Ton = 0;
  uint8_t Npi = 0;
  std::string Addr;
  TOwnedAddress() = default;
  explicit TOwnedAddress(const TAddress& A) : Ton(A.Ton), Npi(A.Npi), Addr(A.Addr) {}
  TAddress View() const { return {Ton, Npi, Addr}; }
};

struct TSmscCore::TReceiptPlan {
  std::string SystemId;  // of the connection that submitted: the receipts go to its receiver
  std::string Id;
  TOwnedAddress Source, Destination;
  std::string State;
  std::string SubmitDate;
  std::string Snippet;
  int Copies = 1;  // of the final receipt: 0 dropped, 2 sent twice
};

struct TSmscCore::TResponse {
  std::string Bytes;  // the response, twice with --answer-twice
  std::vector<TReceiptPlan> Receipts;
};

struct TSmscCore::TSession {
  uint32_t Conn = 0;
  TBound Bound = TBound::bNone;
  std::string SystemId;
  std::string Pending;  // the start of a PDU not yet complete
  uint64_t Submits = 0;
  uint64_t FinalReceipts = 0;  // planned, for the every-Nth receipt faults
  uint32_t NextSequence = 1;   // of the PDUs the SMSC starts on this connection
  bool Closing = false;        // closed by the SMSC: whatever still comes is dropped
  // The phantom answers not yet met by a submit with their number, from PhantomFirst on.
  std::vector<bool> PhantomOpen;
  std::vector<TResponse> Batch;  // held for a reversed batch
  uint64_t BatchGeneration = 0;
  bool Receives() const { return Bound == TBound::bReceiver || Bound == TBound::bTransceiver; }
  bool Transmits() const { return Bound == TBound::bTransmitter || Bound == TBound::bTransceiver; }
};

TSmscCore::TSmscCore(TSmscFaults Faults, std::function<time_t()> WallClock)
    : FFaults(std::move(Faults)),
      FWallClock(std::move(WallClock)),
      FNextNumber(FFaults.IdStart),
      FRng(FFaults.Seed),
      FScratch(std::make_unique<TResponse>()) {
  if (!FWallClock) FWallClock = [] { return time(nullptr); };
  if (FFaults.States.empty()) FFaults.States = {{"DELIVRD", 1}};
  for (const auto& S : FFaults.States) FStateTotal += S.Weight;
  if (FStateTotal == 0) {
    FFaults.States = {{FFaults.States.front().Word, 1}};
    FStateTotal = 1;
  }
}

TSmscCore::~TSmscCore() = default;

uint32_t TSmscCore::Open() {
  auto S = std::make_unique<TSession>();
  S->Conn = FNextConn++;
  const uint32_t Conn = S->Conn;
  FSessions.emplace(Conn, std::move(S));
  return Conn;
}

TSmscCore::TSession* TSmscCore::Find(uint32_t Conn) {
  auto It = FSessions.find(Conn);
  return It == FSessions.end() ? nullptr : It->second.get();
}

void TSmscCore::Closed(uint32_t Conn) {
  TSession* S = Find(Conn);
  if (!S) return;
  Unroute(*S);
  FSessions.erase(Conn);
}

void TSmscCore::Unroute(TSession& S) {
  if (!S.Receives()) return;
  auto It = FReceivers.find(S.SystemId);
  if (It == FReceivers.end()) return;
  auto& List = It->second;
  List.erase(std::remove(List.begin(), List.end(), S.Conn), List.end());
  if (List.empty()) FReceivers.erase(It);
}

TSmscCore::TSession* TSmscCore::ReceiverOf(const std::string& SystemId) {
  auto It = FReceivers.find(SystemId);
  if (It == FReceivers.end() || It->second.empty()) return nullptr;
  return Find(It->second.back());
}

void TSmscCore::Schedule(int64_t At, std::function<void(int64_t, TActions&)> Run) {
  FTimed.push_back(TTimed{At, FTimedOrder++, std::move(Run)});
  std::push_heap(FTimed.begin(), FTimed.end(), std::greater<TTimed>());
}

int64_t TSmscCore::NextDeadline() const {
  return FTimed.empty() ? INT64_MAX : FTimed.front().At;
}

void TSmscCore::Tick(int64_t NowNs, TActions& Out) {
  if (FFaults.MoRate > 0 && !FMoStarted) StartMo(NowNs);
  while (!FTimed.empty() && FTimed.front().At <= NowNs) {
    std::pop_heap(FTimed.begin(), FTimed.end(), std::greater<TTimed>());
    TTimed T = std::move(FTimed.back());
    FTimed.pop_back();
    T.Run(NowNs, Out);
  }
}

void TSmscCore::Feed(uint32_t Conn, const uint8_t* Bytes, size_t Size, int64_t NowNs,
                     TActions& Out) {
  TSession* S = Find(Conn);
  if (!S || S->Closing || Size == 0) return;
  if (FFaults.MoRate > 0 && !FMoStarted) StartMo(NowNs);
  const uint8_t* Data = Bytes;
  size_t Have = Size;
  const bool Joined = !S->Pending.empty();
  if (Joined) {
    S->Pending.append(reinterpret_cast<const char*>(Bytes), Size);
    Data = reinterpret_cast<const uint8_t*>(S->Pending.data());
    Have = S->Pending.size();
  }
  // The complete PDUs first, so that every PDU read is logged before any answer to it.
  size_t End = 0;
  bool Broken = false;
  while (End < Have) {
    const TPduFrame F = FramePdu(Data + End, Have - End);
    if (F.Result == TFrameResult::frInvalidLength) {
      Broken = true;
      break;
    }
    if (F.Result == TFrameResult::frNeedMore || Have - End < F.Length) break;
    End += F.Length;
  }
  if (FLog) {
    if (End) FLog->Write(NowNs, Conn, true, Data, End);
    // A stream that cannot be framed again: what came is logged as one piece.
    if (Broken) FLog->Write(NowNs, Conn, true, Data + End, Have - End);
  }
  for (size_t At = 0; At < End && !S->Closing;) {
    const uint32_t Length = GetU32(Data + At);
    Handle(*S, Data + At, Length, NowNs, Out);
    At += Length;
  }
  if (Broken && !S->Closing) {
    S->Closing = true;
    Unroute(*S);
    Out.Close(Conn);
  }
  if (S->Closing) {
    S->Pending.clear();
  } else if (Joined) {
    S->Pending.erase(0, End);
  } else {
    S->Pending.assign(reinterpret_cast<const char*>(Data + End), Have - End);
  }
}

void TSmscCore::Handle(TSession& S, const uint8_t* Pdu, size_t Size, int64_t NowNs, TActions& Out) {
  const uint32_t Id = GetU32(Pdu + 4);
  const uint32_t Seq = GetU32(Pdu + 12);
  switch (Id) {
    case kBindReceiver:
    case kBindTransmitter:
    case kBindTransceiver:
      Bind(S, Pdu, Size, NowNs, Out);
      break;
    case kSubmitSm:
    case kSubmitMulti:
    case kDataSm:
      Submit(S, Pdu, Size, NowNs, Out);
      break;
    case kEnquireLink:
      AppendPdu(Out.To(S.Conn), kEnquireLinkResp, 0, Seq, {});
      break;
    case kUnbind:
      AppendPdu(Out.To(S.Conn), kUnbindResp, 0, Seq, {});
      S.Closing = true;
      Unroute(S);
      Out.Close(S.Conn);
      break;
    default:
      // Responses (deliver_sm_resp to receipts and MO messages) need no answer.
      if (!(Id & 0x80000000u)) AppendPdu(Out.To(S.Conn), kGenericNack, 3, Seq, {});
      break;
  }
}

void TSmscCore::Bind(TSession& S, const uint8_t* Pdu, size_t Size, int64_t NowNs, TActions& Out) {
  (void)NowNs;
  const uint32_t Id = GetU32(Pdu + 4);
  const uint32_t Seq = GetU32(Pdu + 12);
  std::string& W = Out.To(S.Conn);
  if (FFaults.NackBind) {
    AppendPdu(W, kGenericNack, FFaults.NackBindStatus, Seq, {});
    return;
  }
  const std::string_view Body(kSmscSystemId, std::char_traits<char>::length(kSmscSystemId) + 1);
  if (FFaults.RefuseBind) {
    AppendPdu(W, Id | 0x80000000u, FFaults.RefuseBindStatus, Seq, Body);
    return;
  }
  Unroute(S);
  S.Bound = Id == kBindReceiver      ? TBound::bReceiver
            : Id == kBindTransmitter ? TBound::bTransmitter
                                     : TBound::bTransceiver;
  S.SystemId = ReadBindSystemId(Pdu, Size);
  AppendPdu(W, Id | 0x80000000u, 0, Seq, Body);
  if (S.Receives()) {
    FReceivers[S.SystemId].push_back(S.Conn);
    const std::string Date = DateText(FWallClock());
    for (uint64_t I = 0; I < FFaults.StrayReceipts; ++I) {
      const std::string StrayId = Decimal(FNextStray++, 10);
      AppendReceipt(W, S.NextSequence++, kEsmDeliveryReceipt, kStraySource, kStrayDestination,
                    {StrayId, "DELIVRD", Date, Date, ""});
    }
    if (FFaults.BadDeliver == TBadDeliver::bdOverrun) AppendOverrunDeliver(W, S.NextSequence++);
    if (FFaults.BadDeliver == TBadDeliver::bdUnterminated)
      AppendUnterminatedDeliver(W, S.NextSequence++);
  }
  if (S.Transmits() && FFaults.Phantom) {
    const uint32_t First = FFaults.PhantomFirst, Last = FFaults.PhantomLast;
    S.PhantomOpen.assign(static_cast<size_t>(Last - First) + 1, true);
    for (uint64_t Seq2 = First; Seq2 <= Last; ++Seq2)
      AppendSubmitResponse(W, kSubmitSm, 0, static_cast<uint32_t>(Seq2),
                           IdText(FNextNumber++, false));
  }
}

void TSmscCore::Submit(TSession& S, const uint8_t* Pdu, size_t Size, int64_t NowNs, TActions& Out) {
  const uint32_t Id = GetU32(Pdu + 4);
  const uint32_t Seq = GetU32(Pdu + 12);
  const uint64_t N = ++S.Submits;
  const TSmscFaults& F = FFaults;
  if (F.CloseAfter && N == F.CloseAfter) {
    S.Closing = true;
    Unroute(S);
    Out.Close(S.Conn);
    return;
  }
  if (F.SilentAfter && N >= F.SilentAfter) return;
  if (!S.PhantomOpen.empty() && Seq >= F.PhantomFirst && Seq <= F.PhantomLast &&
      S.PhantomOpen[Seq - F.PhantomFirst]) {
    S.PhantomOpen[Seq - F.PhantomFirst] = false;  // answered already, before it came
    return;
  }
  if (F.UnansweredEvery && N % F.UnansweredEvery == 0) return;
  // The response is built in a record reused from submit to submit (no allocation when it is
  // sent at once, the common case).
  TResponse& R = *FScratch;
  R.Bytes.clear();
  R.Receipts.clear();
  const uint32_t RespSeq = F.WrongSequence ? Seq + kWrongSequenceOffset : Seq;
  if (F.NackSubmitEvery && N % F.NackSubmitEvery == 0) {
    AppendPdu(R.Bytes, kGenericNack, F.NackSubmitStatus, RespSeq, {});
  } else if (F.RejectEvery && N % F.RejectEvery == 0) {
    AppendSubmitResponse(R.Bytes, Id, F.RejectStatus, RespSeq, {});
  } else {
    const uint64_t Number = FNextNumber++;
    AppendSubmitResponse(R.Bytes, Id, 0, RespSeq, IdText(Number, false));
    if (!F.NoReceipts) {
      ReadSubmit(Pdu, Size, FFields);
      const uint8_t Asked = FFields.RegisteredDelivery & 0x03;
      if (Asked == 1 || Asked == 2) {
        const std::string ReceiptId = IdText(Number, true);
        const std::string SubmitDate = DateText(FWallClock());
        const std::string Snippet = ReceiptSnippet(FFields.ShortMessage);
        const bool OneSource =
            Id == kSubmitMulti && F.MultiReceipts == TMultiReceipts::mrOneDestination;
        for (const TAddress& D : FFields.Destinations) {
          const std::string& State = DrawState();
          if (Asked == 2 && State == "DELIVRD") continue;  // only failures were asked for
          TReceiptPlan P;
          const uint64_t K = ++S.FinalReceipts;
          if (F.ReceiptDropEvery && K % F.ReceiptDropEvery == 0)
            P.Copies = 0;
          else if (F.ReceiptTwiceEvery && K % F.ReceiptTwiceEvery == 0)
            P.Copies = 2;
          P.SystemId = S.SystemId;
          P.Id = ReceiptId;
          P.Source = TOwnedAddress(OneSource ? FFields.Destinations.front() : D);
          P.Destination = TOwnedAddress(FFields.Source);
          P.State = State;
          P.SubmitDate = SubmitDate;
          P.Snippet = Snippet;
          R.Receipts.push_back(std::move(P));
        }
      }
    }
  }
  if (F.AnswerTwice) R.Bytes.append(R.Bytes.data(), R.Bytes.size());
  Respond(S, R, NowNs, Out);
}

void TSmscCore::Respond(TSession& S, TResponse& R, int64_t NowNs, TActions& Out) {
  if (FFaults.ReverseBatches == 0) {
    Release(S.Conn, R, NowNs, Out);
    return;
  }
  S.Batch.push_back(std::move(R));
  if (S.Batch.size() >= FFaults.ReverseBatches) {
    FlushBatch(S, NowNs, Out);
    return;
  }
  if (S.Batch.size() == 1) {
    const uint64_t Generation = ++S.BatchGeneration;
    const uint32_t Conn = S.Conn;
    Schedule(NowNs + FFaults.BatchFlushMs * kNsPerMs,
             [this, Conn, Generation](int64_t Now, TActions& A) {
               TSession* Held = Find(Conn);
               if (Held && Held->BatchGeneration == Generation && !Held->Batch.empty())
                 FlushBatch(*Held, Now, A);
             });
  }
}

void TSmscCore::FlushBatch(TSession& S, int64_t NowNs, TActions& Out) {
  ++S.BatchGeneration;  // the flush timer of this batch finds nothing to do
  std::vector<TResponse> Batch;
  Batch.swap(S.Batch);
  for (auto It = Batch.rbegin(); It != Batch.rend(); ++It) Release(S.Conn, *It, NowNs, Out);
}

void TSmscCore::Release(uint32_t Conn, TResponse& R, int64_t NowNs, TActions& Out) {
  const TSmscFaults& F = FFaults;
  auto Delay = [&] {
    int64_t Ms = F.ReceiptDelayMs;
    if (F.ReceiptSpreadMs > 0) Ms += static_cast<int64_t>(FRng() % (F.ReceiptSpreadMs + 1));
    return Ms * kNsPerMs;
  };
  if (F.ReceiptsFirst && !R.Receipts.empty()) {
    // The response waits for its receipts, which go first.
    const int64_t Wait = Delay();
    auto Run = [this, Conn, R = std::move(R)](int64_t Now, TActions& A) {
      for (const TReceiptPlan& P : R.Receipts) {
        for (uint32_t I = 0; I < FFaults.Enroute; ++I) SendReceipt(P, false, Now, A);
        SendReceipt(P, true, Now, A);
      }
      TSession* S = Find(Conn);
      if (S && !S->Closing) A.To(Conn) += R.Bytes;
    };
    if (Wait == 0)
      Run(NowNs, Out);
    else
      Schedule(NowNs + Wait, std::move(Run));
    return;
  }
  Out.To(Conn) += R.Bytes;
  for (TReceiptPlan& P : R.Receipts) {
    for (uint32_t I = 0; I < F.Enroute; ++I) SendReceipt(P, false, NowNs, Out);
    const int64_t Wait = Delay();
    if (Wait == 0) {
      SendReceipt(P, true, NowNs, Out);
    } else {
      Schedule(NowNs + Wait, [this, P = std::move(P)](int64_t Now, TActions& A) {
        SendReceipt(P, true, Now, A);
      });
    }
  }
}

void TSmscCore::SendReceipt(const TReceiptPlan& P, bool Final, int64_t NowNs, TActions& Out) {
  (void)NowNs;
  TSession* To = ReceiverOf(P.SystemId);
  if (!To) return;  // no receiver of that account bound: the receipt is lost
  const int Copies = Final ? P.Copies : 1;
  if (Copies == 0) return;
  const uint8_t Esm = Final || FFaults.EnrouteAs == TEnrouteAs::eaReceipt
                          ? kEsmDeliveryReceipt
                          : kEsmIntermediateNotification;
  const std::string Done = DateText(FWallClock());
  const TReceiptText Text{P.Id, Final ? std::string_view(P.State) : "ENROUTE", P.SubmitDate, Done,
                          P.Snippet};
  std::string& W = Out.To(To->Conn);
  for (int I = 0; I < Copies; ++I)
    AppendReceipt(W, To->NextSequence++, Esm, P.Source.View(), P.Destination.View(), Text);
}

void TSmscCore::StartMo(int64_t NowNs) {
  FMoStarted = true;
  FMoStartNs = NowNs;
  ScheduleMo(NowNs);
}

void TSmscCore::ScheduleMo(int64_t NowNs) {
  // The next tick when the next message is due, at most a thousand ticks a second.
  const double Rate = FFaults.MoRate;
  const int64_t Next =
      FMoStartNs + static_cast<int64_t>(std::ceil(static_cast<double>(FMoDue + 1) * 1e9 / Rate));
  Schedule(std::max(Next, NowNs + kNsPerMs), [this](int64_t Now, TActions& A) { MoTick(Now, A); });
}

void TSmscCore::MoTick(int64_t NowNs, TActions& Out) {
  const double Rate = FFaults.MoRate;
  const uint64_t Due =
      static_cast<uint64_t>(std::floor(static_cast<double>(NowNs - FMoStartNs) * Rate / 1e9));
  if (Due > FMoDue) {
    // At most a second's worth at once, after a stall.
    const uint64_t Count = std::min<uint64_t>(Due - FMoDue, static_cast<uint64_t>(Rate) + 1);
    std::vector<uint32_t> Receivers;
    for (const auto& [Conn, S] : FSessions)
      if (S->Receives() && !S->Closing) Receivers.push_back(Conn);
    std::sort(Receivers.begin(), Receivers.end());
    for (uint32_t Conn : Receivers) {
      TSession& S = *Find(Conn);
      std::string& W = Out.To(Conn);
      for (uint64_t I = 0; I < Count; ++I)
        AppendMo(W, S.NextSequence++, "mo " + std::to_string(++FMoNumber));
    }
  }
  FMoDue = std::max(FMoDue, Due);
  ScheduleMo(NowNs);
}

std::string TSmscCore::IdText(uint64_t Number, bool ForReceipt) const {
  switch (FFaults.Ids) {
    case TIdStyle::isHex:
      return Hex(Number);
    case TIdStyle::isConstant:
      return FFaults.ConstantId;
    case TIdStyle::isHexDec:
      return ForReceipt ? Decimal(Number, 10) : Hex(Number);
    case TIdStyle::isDec:
      break;
  }
  return Decimal(Number, 10);
}

std::string TSmscCore::DateText(time_t T) {
  if (T != FDateOf) {
    tm Parts{};
    localtime_r(&T, &Parts);
    char Buf[16];
    strftime(Buf, sizeof Buf, "%y%m%d%H%M", &Parts);
    FDate = Buf;
    FDateOf = T;
  }
  return FDate;
}

const std::string& TSmscCore::DrawState() {
  if (FFaults.States.size() == 1) return FFaults.States.front().Word;
  uint64_t Pick = FRng() % FStateTotal;
  for (const auto& S : FFaults.States) {
    if (Pick < S.Weight) return S.Word;
    Pick -= S.Weight;
  }
  return FFaults.States.back().Word;
}

}  // namespace smsc
