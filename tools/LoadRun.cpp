// The bookkeeping of a load run in smppcli: rate limiter, histogram, matcher, JSON.
#include "tools/LoadRun.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace load {

// ---- TRateLimiter

void TRateLimiter::Recover(TMicros Now) {
  if (FBackOffs == 0 || FRate <= 0 || FRate >= FCeiling) return;
  if (Now - FLastRecover < 100000) return;
  const TMicros Steps = (Now - FLastRecover) / 100000;
  FLastRecover += Steps * 100000;
  FRate = std::min(FCeiling, FRate + static_cast<double>(Steps) * FCeiling / 20);
  // Back at the ceiling: the rate asked for, or no limit when none was asked for.
  if (FRate >= FCeiling) FRate = FTarget;
}

TMicros TRateLimiter::Take(TMicros Now) {
  Recover(Now);
  if (FRate <= 0) return 0;
  const double Capacity = std::max(1.0, FRate / 10);
  if (FLast < 0)
    FTokens = 1;
  else
    FTokens = std::min(Capacity, FTokens + static_cast<double>(Now - FLast) * FRate / 1e6);
  FLast = Now;
  if (FTokens < 1)
    return std::max<TMicros>(1, static_cast<TMicros>(std::ceil((1 - FTokens) * 1e6 / FRate)));
  // Slide the ring up to Now's slot, forgetting the slots that fall out of it.
  const TMicros Slot = Now / kSlotMicros;
  for (TMicros S = FSlot + 1; S <= Slot && S <= FSlot + kSlots; ++S) {
    FInSlots -= FSlots[S % kSlots];
    FSlots[S % kSlots] = 0;
  }
  FSlot = std::max(FSlot, Slot);
  const long Cap = std::max(1L, static_cast<long>(FRate * 1.01));
  if (FInSlots >= Cap) {
    // Wait for the oldest slot that holds a submit to leave the ring.
    for (TMicros S = FSlot - kSlots + 1; S <= FSlot; ++S)
      if (S >= 0 && FSlots[S % kSlots] > 0)
        return std::max<TMicros>(1, (S + kSlots) * kSlotMicros - Now);
    return kSlotMicros;
  }
  ++FSlots[Slot % kSlots];
  ++FInSlots;
  FTokens -= 1;
  return 0;
}

void TRateLimiter::Throttled(TMicros Now, double SeenRate) {
  // The answers to a whole window of submits come back together: one halving for them all.
  if (FLastThrottle >= 0 && Now - FLastThrottle < 200000) return;
  Recover(Now);
  if (FTarget > 0)
    FCeiling = FTarget;
  else if (FRate <= 0)
    FCeiling = std::max(2.0, SeenRate);
  const double Base = FRate > 0 ? FRate : FCeiling;
  FRate = std::max(1.0, Base / 2);
  FTokens = std::min(FTokens, 1.0);
  if (FLast < 0) FLast = Now;
  FLastThrottle = FLastRecover = Now;
  ++FBackOffs;
}

// ---- THistogram

size_t THistogram::Index(uint64_t V) {
  constexpr uint64_t Exact = uint64_t{2} << kSubBits;
  if (V < Exact) return static_cast<size_t>(V);
  const int Shift = std::bit_width(V) - 1 - kSubBits;
  return static_cast<size_t>(Shift + 1) << kSubBits | ((V >> Shift) - (uint64_t{1} << kSubBits));
}

uint64_t THistogram::ValueAt(size_t I) {
  constexpr size_t Exact = size_t{2} << kSubBits;
  if (I < Exact) return I;
  const size_t Shift = (I >> kSubBits) - 1;
  return ((I & ((size_t{1} << kSubBits) - 1)) + (size_t{1} << kSubBits)) << Shift;
}

void THistogram::Record(TMicros Value) {
  const uint64_t V = Value < 0 ? 0 : static_cast<uint64_t>(Value);
  const size_t I = Index(V);
  if (I >= FBuckets.size()) FBuckets.resize(I + 1, 0);
  ++FBuckets[I];
  ++FCount;
  FMax = std::max<TMicros>(FMax, static_cast<TMicros>(V));
}

TMicros THistogram::Percentile(double P) const {
  if (FCount == 0) return 0;
  const long Rank = std::clamp<long>(static_cast<long>(std::ceil(P / 100 * FCount)), 1, FCount);
  long Seen = 0;
  for (size_t I = 0; I < FBuckets.size(); ++I) {
    Seen += FBuckets[I];
    if (Seen >= Rank) return std::min<TMicros>(FMax, static_cast<TMicros>(ValueAt(I)));
  }
  return FMax;
}

// ---- TMatcher

namespace {

bool HexValue(const std::string& S, uint64_t& V) {
  if (S.empty() || S.size() > 16) return false;
  V = 0;
  for (char C : S) {
    int D;
    if (C >= '0' && C <= '9')
      D = C - '0';
    else if (C >= 'a' && C <= 'f')
      D = C - 'a' + 10;
    else if (C >= 'A' && C <= 'F')
      D = C - 'A' + 10;
    else
      return false;
    V = V << 4 | static_cast<uint64_t>(D);
  }
  return true;
}

bool DecValue(const std::string& S, uint64_t& V) {
  if (S.empty() || S.size() > 19) return false;
  V = 0;
  for (char C : S) {
    if (C < '0' || C > '9') return false;
    V = V * 10 + static_cast<uint64_t>(C - '0');
  }
  return true;
}

}  // namespace

template <typename T>
void TMatcher::TIdIndex<T>::Add(const std::string& Id, T Value) {
  if (!ByText.emplace(Id, std::move(Value)).second) return;
  uint64_t V;
  // The first id of a value keeps it; a later one with the same value is found by its text.
  if (HexValue(Id, V)) ByHex.emplace(V, Id);
  if (DecValue(Id, V)) ByDec.emplace(V, Id);
}

template <typename T>
const std::string* TMatcher::TIdIndex<T>::Find(const std::string& Id) const {
  if (auto It = ByText.find(Id); It != ByText.end()) return &It->first;
  uint64_t V;
  // One side decimal, the other hexadecimal.
  if (DecValue(Id, V))
    if (auto It = ByHex.find(V); It != ByHex.end()) return &It->second;
  if (HexValue(Id, V))
    if (auto It = ByDec.find(V); It != ByDec.end()) return &It->second;
  return nullptr;
}

template <typename T>
void TMatcher::TIdIndex<T>::Erase(const std::string& Key) {
  const std::string K = Key;  // Key may live in one of the maps
  uint64_t V;
  if (HexValue(K, V))
    if (auto It = ByHex.find(V); It != ByHex.end() && It->second == K) ByHex.erase(It);
  if (DecValue(K, V))
    if (auto It = ByDec.find(V); It != ByDec.end() && It->second == K) ByDec.erase(It);
  ByText.erase(K);
}

void TMatcher::Submitted(uint32_t Sequence, TMicros Now) {
  ++FSent;
  if (auto It = FEarly.find(Sequence); It != FEarly.end()) {
    const TEarly E = std::move(It->second);
    FEarly.erase(It);
    Answer(Now, E.Status, E.MessageId, std::max(Now, E.At));
    return;
  }
  FAwaiting[Sequence] = Now;
}

void TMatcher::Responded(uint32_t Sequence, uint32_t Status, const std::string& MessageId,
                         TMicros Now) {
  auto It = FAwaiting.find(Sequence);
  if (It == FAwaiting.end()) {
    // Its submit may be on its way to being recorded; a second answer to one sequence is stray.
    if (!FEarly.emplace(Sequence, TEarly{Status, MessageId, Now}).second) ++FStrayResponses;
    return;
  }
  const TMicros SentAt = It->second;
  FAwaiting.erase(It);
  Answer(SentAt, Status, MessageId, Now);
}

void TMatcher::Answer(TMicros SentAt, uint32_t Status, const std::string& MessageId, TMicros Now) {
  ++FAnswered;
  ++FStatuses[Status];
  FResponseLatency.Record(Now - SentAt);
  if (Status != 0) return;
  ++FAccepted;
  long Remaining = FReceiptsPerSubmit;
  // Receipts that came before this response.
  while (Remaining > 0) {
    const std::string* Key = FEarlyReceipts.Find(MessageId);
    if (!Key) break;
    const std::string K = *Key;
    std::vector<TMicros>& Times = FEarlyReceipts.ByText[K];
    while (Remaining > 0 && !Times.empty()) {
      FReceiptLatency.Record(Times.back() - SentAt);
      Times.pop_back();
      ++FReceipts;
      --FHeldReceipts;
      --Remaining;
    }
    if (Times.empty()) FEarlyReceipts.Erase(K);
  }
  if (Remaining > 0) {
    if (auto It = FIds.ByText.find(MessageId); It != FIds.ByText.end())
      It->second.Remaining += Remaining;  // an id given twice
    else
      FIds.Add(MessageId, TAwaited{SentAt, Remaining});
  }
}

void TMatcher::Receipt(const std::string& MessageId, TMicros Now) {
  // Receipts not awaited are counted as they come, and nothing of them is kept.
  if (FReceiptsPerSubmit == 0) {
    ++FReceipts;
    return;
  }
  if (const std::string* Key = FIds.Find(MessageId)) {
    const std::string K = *Key;
    TAwaited& A = FIds.ByText[K];
    FReceiptLatency.Record(Now - A.SentAt);
    ++FReceipts;
    if (--A.Remaining <= 0) FIds.Erase(K);
    return;
  }
  // Before its response, or for a message that is not ours: held until a response claims it.
  if (auto It = FEarlyReceipts.ByText.find(MessageId); It != FEarlyReceipts.ByText.end())
    It->second.push_back(Now);
  else
    FEarlyReceipts.Add(MessageId, std::vector<TMicros>{Now});
  ++FHeldReceipts;
}

bool ReceiptLineId(const std::string& Line, std::string& Id) {
  static const std::string Prefix = "+QUERY_RES ";
  if (Line.compare(0, Prefix.size(), Prefix) != 0) return false;
  const size_t Err = Line.rfind(':');
  if (Err == std::string::npos || Err <= Prefix.size()) return false;
  const size_t State = Line.rfind(':', Err - 1);
  if (State == std::string::npos || State < Prefix.size()) return false;
  Id = Line.substr(Prefix.size(), State - Prefix.size());
  return true;
}

// ---- TJson

std::string TJson::Quoted(const std::string& Text) {
  std::string Out = "\"";
  for (char Ch : Text) {
    const auto C = static_cast<unsigned char>(Ch);
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += Ch;
    } else if (C < 0x20) {
      char Buf[8];
      std::snprintf(Buf, sizeof Buf, "\\u%04x", C);
      Out += Buf;
    } else {
      Out += Ch;
    }
  }
  return Out + "\"";
}

void TJson::Key(const std::string& K) {
  if (!FBody.empty()) FBody += ',';
  FBody += Quoted(K);
  FBody += ':';
}

TJson& TJson::Number(const std::string& K, double Value) {
  Key(K);
  if (!std::isfinite(Value)) {
    FBody += "null";
  } else {
    char Buf[32];
    std::snprintf(Buf, sizeof Buf, "%.6g", Value);
    FBody += Buf;
  }
  return *this;
}

TJson& TJson::Integer(const std::string& K, long Value) {
  Key(K);
  FBody += std::to_string(Value);
  return *this;
}

TJson& TJson::Text(const std::string& K, const std::string& Value) {
  Key(K);
  FBody += Quoted(Value);
  return *this;
}

TJson& TJson::Bool(const std::string& K, bool Value) {
  Key(K);
  FBody += Value ? "true" : "false";
  return *this;
}

TJson& TJson::Object(const std::string& K, const TJson& Value) {
  Key(K);
  FBody += Value.Str();
  return *this;
}

TJson LatencyJson(const THistogram& H) {
  TJson J;
  J.Integer("count", H.Count())
      .Integer("p50_us", static_cast<long>(H.Percentile(50)))
      .Integer("p90_us", static_cast<long>(H.Percentile(90)))
      .Integer("p99_us", static_cast<long>(H.Percentile(99)))
      .Integer("p99_9_us", static_cast<long>(H.Percentile(99.9)))
      .Integer("max_us", static_cast<long>(H.Max()));
  return J;
}

}  // namespace load
