// The matcher of responses and receipts, and the conventions of message ids.
#include "load/Matcher.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace load {

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
    else
      return false;  // keys are lower case
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

// An id as it is compared: lower case, without leading zeros ("0" for zeros only).
std::string IdKey(const std::string& Id) {
  size_t From = Id.find_first_not_of('0');
  if (From == std::string::npos) From = Id.empty() ? 0 : Id.size() - 1;
  std::string Key(Id, From);
  for (char& C : Key)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
  return Key;
}

constexpr std::string_view kIdsWords[] = {"auto", "exact", "hex-dec", "dec-hex"};

// Distinct state words and err texts counted before the rest go under one word: an SMSC sending
// a new word in every receipt cannot grow the summary without bound.
constexpr size_t kMaxWords = 64;

}  // namespace

std::optional<TReceiptIds> ReceiptIdsFromWord(std::string_view Word) {
  for (size_t I = 0; I < std::size(kIdsWords); ++I)
    if (Word == kIdsWords[I]) return static_cast<TReceiptIds>(I);
  return std::nullopt;
}

std::string_view ReceiptIdsWord(TReceiptIds Ids) {
  return kIdsWords[static_cast<size_t>(Ids)];
}

std::string ReceiptStateWord(std::string_view Stat) {
  std::string Word;
  for (char C : Stat) {
    if (Word.size() == 16) break;
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
    Word += C > 0x20 && C < 0x7F ? C : '?';
  }
  return Word.empty() ? "(none)" : Word;
}

bool IntermediateState(std::string_view Word) {
  return Word == "ENROUTE";
}

// A key of this side read as decimal is looked up among the hexadecimal values of the other side,
// and the other way round: riHexDec reads responses' ids as hexadecimal and receipts' as decimal,
// riDecHex the reverse.
static bool KeyIsDecimal(TReceiptIds Ids, bool IsReceipt) {
  return (Ids == TReceiptIds::riHexDec) == IsReceipt;
}

template <typename T>
std::pair<typename TMatcher::TIdIndex<T>::TIter, bool> TMatcher::TIdIndex<T>::Add(
    const std::string& Key, T Value, TReceiptIds Ids, bool QueriedByReceipts) {
  auto Added = ByText.try_emplace(Key, std::move(Value));
  if (!Added.second || Ids == TReceiptIds::riExact) return Added;
  const bool Auto = Ids == TReceiptIds::riAuto;
  // Under riAuto, riExact is tried alongside riHexDec alone.
  const bool ReadAsDecimal = KeyIsDecimal(Auto ? TReceiptIds::riHexDec : Ids, QueriedByReceipts);
  uint64_t V;
  if ((Auto || ReadAsDecimal) && HexValue(Key, V)) ByHex.emplace(V, Key);
  if ((Auto || !ReadAsDecimal) && DecValue(Key, V)) ByDec.emplace(V, Key);
  return Added;
}

template <typename T>
typename TMatcher::TIdIndex<T>::TIter TMatcher::TIdIndex<T>::Find(const std::string& Key,
                                                                  TReceiptIds Ids, bool IsReceipt) {
  if (Ids == TReceiptIds::riExact) return ByText.find(Key);
  // Key is read the way its side is written and looked up among the other side's values.
  const bool Decimal = KeyIsDecimal(Ids, IsReceipt);
  const auto& Values = Decimal ? ByHex : ByDec;
  uint64_t V;
  if (Values.empty() || !(Decimal ? DecValue(Key, V) : HexValue(Key, V))) return ByText.end();
  auto It = Values.find(V);
  return It == Values.end() ? ByText.end() : ByText.find(It->second);
}

template <typename T>
void TMatcher::TIdIndex<T>::Erase(TIter It) {
  uint64_t V;
  if (!ByHex.empty() && HexValue(It->first, V)) ByHex.erase(V);
  if (!ByDec.empty() && DecValue(It->first, V)) ByDec.erase(V);
  ByText.erase(It);
}

template <typename T>
typename TMatcher::TIdIndex<T>::TIter TMatcher::Match(TIdIndex<T>& Index, const std::string& Key,
                                                      bool IsReceipt, bool& Ambiguous) {
  Ambiguous = false;
  if (FIds != TReceiptIds::riAuto) return Index.Find(Key, FIds, IsReceipt);
  const auto None = Index.ByText.end();
  const auto Exact = Index.Find(Key, TReceiptIds::riExact, IsReceipt);
  const auto HexDec = Index.Find(Key, TReceiptIds::riHexDec, IsReceipt);
  if (Exact != None && HexDec != None) {
    // The same id both ways tells nothing; two ids, one each way, are one too many.
    if (Exact == HexDec) return Exact;
    Ambiguous = true;
    return None;
  }
  if (Exact == None && HexDec == None) return None;
  const TReceiptIds Way = Exact != None ? TReceiptIds::riExact : TReceiptIds::riHexDec;
  // One way alone matches. That tells the conventions apart only for a receipt that cannot be
  // early: while submits await their responses, a receipt may have overtaken its own (so its own
  // id is not awaited yet) and match another id the other way by chance, as "16" read as decimal
  // matches "10" read as hexadecimal. Such a match is a vote, and the receipt is held until a
  // convention is kept.
  if (IsReceipt && AllIdsGiven()) {
    Settle(Way);
    return Exact != None ? Exact : HexDec;
  }
  ++FVotes[Way == TReceiptIds::riExact ? 0 : 1];
  const long Won = std::max(FVotes[0], FVotes[1]), Lost = std::min(FVotes[0], FVotes[1]);
  if (Won >= kVotesToSettle && Won >= 4 * Lost) {
    Settle(FVotes[0] >= FVotes[1] ? TReceiptIds::riExact : TReceiptIds::riHexDec);
    if (FIds == Way) return Exact != None ? Exact : HexDec;
  }
  return None;
}

void TMatcher::Settle(TReceiptIds Ids) {
  FIds = Ids;
  FSettled = true;
}

void TMatcher::DecideHeld() {
  // Nothing awaits a response: every held receipt's own id, if it is ours, is awaited now, so a
  // receipt that matches one way alone tells the truth.
  long Exact = 0, HexDec = 0;
  const auto None = FAwaitedIds.ByText.end();
  for (const auto& Entry : FEarlyReceipts.ByText) {
    const auto E = FAwaitedIds.Find(Entry.first, TReceiptIds::riExact, true);
    const auto H = FAwaitedIds.Find(Entry.first, TReceiptIds::riHexDec, true);
    if (E != None && H == None) ++Exact;
    if (H != None && E == None) ++HexDec;
  }
  if (Exact > 0 && HexDec == 0) Settle(TReceiptIds::riExact);
  if (HexDec > 0 && Exact == 0) Settle(TReceiptIds::riHexDec);
}

void TMatcher::CountWord(std::map<std::string, long>& Counts, const std::string& Word) {
  auto It = Counts.find(Word);
  if (It == Counts.end() && Counts.size() >= kMaxWords) It = Counts.try_emplace("(other)").first;
  if (It == Counts.end()) It = Counts.emplace(Word, 0).first;
  ++It->second;
}

void TMatcher::CountReceipt(TMicros Latency, const std::string& Stat, std::string_view Err,
                            int Owner) {
  FReceiptLatency.Record(Latency);
  if (FTapReceipts) FTapReceipts->Record(Latency);
  ++FReceipts;
  ++FOwners[static_cast<size_t>(Owner)].Receipts;
  CountWord(FStates, Stat);
  CountWord(FErrors, ReceiptStateWord(Err));
}

void TMatcher::Submitted(uint32_t Sequence, TMicros Now, int Owner) {
  ++FSent;
  ++FOwners[static_cast<size_t>(Owner)].Sent;
  const uint64_t Key = SubmitKey(Sequence, Owner);
  if (auto It = FEarly.find(Key); It != FEarly.end()) {
    const TEarly E = std::move(It->second);
    FEarly.erase(It);
    Answer(Now, E.Status, E.MessageId, std::max(Now, E.At), Owner);
    return;
  }
  FAwaiting.Put(Key, Now);
  ++FOwners[static_cast<size_t>(Owner)].InFlight;
}

void TMatcher::Responded(uint32_t Sequence, uint32_t Status, const std::string& MessageId,
                         TMicros Now, int Owner) {
  const uint64_t Key = SubmitKey(Sequence, Owner);
  TMicros SentAt;
  if (!FAwaiting.Take(Key, SentAt)) {
    // Its submit may be on its way to being recorded; a second answer to one sequence is stray.
    if (!FEarly.emplace(Key, TEarly{Status, MessageId, Now}).second) ++FStrayResponses;
    return;
  }
  --FOwners[static_cast<size_t>(Owner)].InFlight;
  Answer(SentAt, Status, MessageId, Now, Owner);
}

void TMatcher::TAwaitingTable::Reserve(long Window) {
  size_t Count = 1024;
  // Room for two windows of sequence numbers, and for the other requests between them; at most a
  // megabyte a bind, beyond which the map takes the rest.
  while (Count < static_cast<size_t>(std::min(Window, 1L << 15)) * 2) Count *= 2;
  if (Count == FSlotCount) return;
  // Only before the first submit: the slots of a number depend on the table's length.
  if (FSize == 0) FSlots.clear(), FSlotCount = Count;
}

std::vector<TMatcher::TAwaitingTable::TSlot>& TMatcher::TAwaitingTable::Slots(int Owner) {
  const auto O = static_cast<size_t>(Owner);
  if (O >= FSlots.size()) FSlots.resize(O + 1);
  if (FSlots[O].empty()) FSlots[O].resize(FSlotCount);
  return FSlots[O];
}

void TMatcher::TAwaitingTable::Put(uint64_t Key, TMicros SentAt) {
  const auto Sequence = static_cast<uint32_t>(Key);
  // A number sent again (after the sequence wrapped) is awaited once, as before.
  if (!FMoved.empty() && FMoved.erase(Key)) --FSize;
  TSlot& S = Slots(static_cast<int>(Key >> 32))[Sequence & (FSlotCount - 1)];
  if (S.Used && S.Sequence == Sequence) {
    S.SentAt = SentAt;
    return;
  }
  if (S.Used) FMoved.emplace(Key - Sequence + S.Sequence, S.SentAt);
  S = TSlot{Sequence, true, SentAt};
  ++FSize;
}

bool TMatcher::TAwaitingTable::Take(uint64_t Key, TMicros& SentAt) {
  const auto Sequence = static_cast<uint32_t>(Key);
  const auto O = static_cast<size_t>(Key >> 32);
  if (O < FSlots.size() && !FSlots[O].empty()) {
    TSlot& S = FSlots[O][Sequence & (FSlotCount - 1)];
    if (S.Used && S.Sequence == Sequence) {
      SentAt = S.SentAt;
      S.Used = false;
      --FSize;
      return true;
    }
  }
  if (FMoved.empty()) return false;
  const auto It = FMoved.find(Key);
  if (It == FMoved.end()) return false;
  SentAt = It->second;
  FMoved.erase(It);
  --FSize;
  return true;
}

long TMatcher::TAwaitingTable::DropOwner(int Owner) {
  long N = 0;
  if (static_cast<size_t>(Owner) < FSlots.size())
    for (TSlot& S : FSlots[static_cast<size_t>(Owner)]) N += std::exchange(S.Used, false);
  for (auto It = FMoved.begin(); It != FMoved.end();)
    if (static_cast<int>(It->first >> 32) == Owner)
      It = FMoved.erase(It), ++N;
    else
      ++It;
  FSize -= N;
  return N;
}

long TMatcher::DropInFlight(int Owner) {
  const long N = FAwaiting.DropOwner(Owner);
  for (auto It = FEarly.begin(); It != FEarly.end();)
    It = static_cast<int>(It->first >> 32) == Owner ? FEarly.erase(It) : std::next(It);
  TOwnerCounts& O = FOwners[static_cast<size_t>(Owner)];
  O.InFlight -= N;
  O.Dropped += N;
  FDropped += N;
  return N;
}

void TMatcher::Answer(TMicros SentAt, uint32_t Status, const std::string& MessageId, TMicros Now,
                      int Owner) {
  ++FAnswered;
  TOwnerCounts& O = FOwners[static_cast<size_t>(Owner)];
  ++O.Answered;
  ++FStatuses[Status];
  FResponseLatency.Record(Now - SentAt);
  if (FTapResponses) FTapResponses->Record(Now - SentAt);
  if (Status != 0) return;
  ++FAccepted;
  ++O.Accepted;
  const long Remaining = FReceiptsPerSubmit;
  if (Remaining == 0) return;
  const std::string Key = IdKey(MessageId);
  auto [Awaited, New] = FAwaitedIds.Add(Key, TAwaited{SentAt, Remaining, Owner}, FIds, true);
  if (!New) Awaited->second.Remaining += Remaining;  // an id given twice
  // Receipts that came before this response.
  while (!FEarlyReceipts.ByText.empty()) {
    bool Ambiguous;
    const auto Held = Match(FEarlyReceipts, Key, false, Ambiguous);
    if (Held == FEarlyReceipts.ByText.end() || !ClaimHeld(Held, Awaited)) break;
  }
  if (FIds == TReceiptIds::riAuto && FHeldReceipts > 0 && AllIdsGiven()) DecideHeld();
  if (FSettled) RematchHeld();
}

bool TMatcher::ClaimHeld(TIdIndex<std::vector<THeld>>::TIter Held,
                         TIdIndex<TAwaited>::TIter Awaited) {
  std::vector<THeld>& Receipts = Held->second;
  TAwaited& A = Awaited->second;
  while (A.Remaining > 0 && !Receipts.empty()) {
    const THeld& R = Receipts.back();
    CountReceipt(R.At - A.SentAt, R.Stat, R.Err, A.Owner);
    if (R.Ambiguous) --FAmbiguous;
    Receipts.pop_back();
    --FHeldReceipts;
    --A.Remaining;
  }
  if (Receipts.empty()) FEarlyReceipts.Erase(Held);
  if (A.Remaining > 0) return true;
  FAwaitedIds.Erase(Awaited);
  return false;
}

void TMatcher::RematchHeld() {
  FSettled = false;
  std::vector<std::string> Keys;
  Keys.reserve(FEarlyReceipts.ByText.size());
  for (const auto& Entry : FEarlyReceipts.ByText) Keys.push_back(Entry.first);
  for (const std::string& K : Keys) {
    const auto Awaited = FAwaitedIds.Find(K, FIds, true);
    const auto Held = FEarlyReceipts.ByText.find(K);
    if (Awaited != FAwaitedIds.ByText.end() && Held != FEarlyReceipts.ByText.end())
      ClaimHeld(Held, Awaited);
  }
}

bool TMatcher::ReceiptIfAwaited(const std::string& MessageId, TMicros Now, std::string_view Stat,
                                std::string_view Err) {
  if (FReceiptsPerSubmit == 0 || FIds == TReceiptIds::riAuto) {
    Receipt(MessageId, Now, Stat, Err);
    return true;
  }
  // Under a kept convention Match is this lookup alone.
  const std::string Key = IdKey(MessageId);
  const auto Awaited = FAwaitedIds.Find(Key, FIds, true);
  if (Awaited == FAwaitedIds.ByText.end()) return false;
  ReceiptFor(Key, Awaited, false, ReceiptStateWord(Stat), Now, Err);
  return true;
}

void TMatcher::Receipt(const std::string& MessageId, TMicros Now, std::string_view Stat,
                       std::string_view Err) {
  const std::string State = ReceiptStateWord(Stat);
  // Receipts not awaited are counted as they come, and nothing of them is kept.
  if (FReceiptsPerSubmit == 0) {
    ++FReceipts;
    CountWord(FStates, State);
    CountWord(FErrors, ReceiptStateWord(Err));
    return;
  }
  const std::string Key = IdKey(MessageId);
  bool Ambiguous;
  const auto Awaited = Match(FAwaitedIds, Key, true, Ambiguous);
  ReceiptFor(Key, Awaited, Ambiguous, State, Now, Err);
}

void TMatcher::ReceiptFor(const std::string& Key, TIdIndex<TAwaited>::TIter Awaited, bool Ambiguous,
                          const std::string& State, TMicros Now, std::string_view Err) {
  const bool Found = Awaited != FAwaitedIds.ByText.end();
  if (IntermediateState(State)) {
    // Counted for an id of ours; the final receipt is still awaited.
    if (Found) CountWord(FStates, State);
    return;
  }
  if (Found) {
    TAwaited& A = Awaited->second;
    CountReceipt(Now - A.SentAt, State, Err, A.Owner);
    if (--A.Remaining <= 0) FAwaitedIds.Erase(Awaited);
    if (FSettled) RematchHeld();
    return;
  }
  // Before its response, for a message that is not ours, or (ambiguous) for one of two: held
  // until a response claims it or a convention is kept.
  THeld H{Now, State, std::string(Err), Ambiguous};
  if (Ambiguous) ++FAmbiguous;
  auto Held = FEarlyReceipts.Add(Key, {}, FIds, false).first;
  Held->second.push_back(std::move(H));
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

}  // namespace load
