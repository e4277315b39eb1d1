// The matcher of responses and receipts, and the conventions of message ids.
#include "load/Matcher.h"

#include <algorithm>
#include <bit>
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

// An id as it is compared: lower case.
std::string IdKey(std::string_view Id) {
  std::string Key(Id);
  for (char& C : Key)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
  return Key;
}

// A key without its leading zeros ("0" for zeros only).
std::string NoZeros(const std::string& Key) {
  size_t From = Key.find_first_not_of('0');
  if (From == std::string::npos) From = Key.empty() ? 0 : Key.size() - 1;
  return Key.substr(From);
}

// In the order of TReceiptIds.
constexpr std::string_view kIdsWords[] = {"auto", "exact", "hex-dec", "dec-hex", "exact-nozeros"};

// A destination as a submit_multi lists it and a receipt reports it: without blanks around it.
std::string_view Trimmed(std::string_view S) {
  while (!S.empty() && static_cast<unsigned char>(S.front()) <= 0x20) S.remove_prefix(1);
  while (!S.empty() && static_cast<unsigned char>(S.back()) <= 0x20) S.remove_suffix(1);
  return S;
}

// The comma-separated pieces of List, trimmed, the empty ones left out.
template <typename TEach>
void ForEachPiece(std::string_view List, TEach&& Each) {
  while (!List.empty()) {
    const size_t Comma = List.find(',');
    const std::string_view Piece = Trimmed(List.substr(0, Comma));
    if (!Piece.empty()) Each(Piece);
    List.remove_prefix(Comma == std::string_view::npos ? List.size() : Comma + 1);
  }
}

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

// The state word every intermediate notification is counted under.
static const std::string kEnroute = "ENROUTE";

template <typename T>
std::pair<typename TMatcher::TIdIndex<T>::TIter, bool> TMatcher::TIdIndex<T>::Add(
    const std::string& Key, T Value, TReceiptIds Ids, bool QueriedByReceipts) {
  auto Added = ByText.try_emplace(Key, std::move(Value));
  if (!Added.second || Ids == TReceiptIds::riExact) return Added;
  const bool Auto = Ids == TReceiptIds::riAuto;
  if (Auto || Ids == TReceiptIds::riExactNoZeros) ByNoZeros.emplace(NoZeros(Key), Key);
  if (Ids == TReceiptIds::riExactNoZeros) return Added;
  // Under riAuto both values are kept: hex-dec and dec-hex are both tried.
  const bool ReadAsDecimal = !Auto && KeyIsDecimal(Ids, QueriedByReceipts);
  uint64_t V;
  if ((Auto || ReadAsDecimal) && HexValue(Key, V)) ByHex.emplace(V, Key);
  if ((Auto || !ReadAsDecimal) && DecValue(Key, V)) ByDec.emplace(V, Key);
  return Added;
}

template <typename T>
typename TMatcher::TIdIndex<T>::TIter TMatcher::TIdIndex<T>::Find(const std::string& Key,
                                                                  TReceiptIds Ids, bool IsReceipt) {
  if (Ids == TReceiptIds::riExact) return ByText.find(Key);
  if (Ids == TReceiptIds::riExactNoZeros) {
    if (ByNoZeros.empty()) return ByText.end();
    const auto It = ByNoZeros.find(NoZeros(Key));
    return It == ByNoZeros.end() ? ByText.end() : ByText.find(It->second);
  }
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
  // A reading is the key's own only when no other key took it first.
  auto EraseOwn = [&It](auto& Map, const auto& Reading) {
    const auto R = Map.find(Reading);
    if (R != Map.end() && R->second == It->first) Map.erase(R);
  };
  uint64_t V;
  if (!ByNoZeros.empty()) EraseOwn(ByNoZeros, NoZeros(It->first));
  if (!ByHex.empty() && HexValue(It->first, V)) EraseOwn(ByHex, V);
  if (!ByDec.empty() && DecValue(It->first, V)) EraseOwn(ByDec, V);
  ByText.erase(It);
}

template <typename T>
typename TMatcher::TIdIndex<T>::TIter TMatcher::Match(TIdIndex<T>& Index, const std::string& Key,
                                                      bool IsReceipt, THow& How, unsigned& Doubts) {
  Doubts = 0;
  const auto None = Index.ByText.end();
  if (FIds != TReceiptIds::riAuto) {
    const auto It = Index.Find(Key, FIds, IsReceipt);
    How = It == None ? THow::None : THow::Found;
    return It;
  }
  // The text itself and hex-dec first: two entries, one each way, are one too many, and the same
  // entry both ways tells nothing.
  auto Transformed = [&](size_t I) { return Index.Find(Key, kTransforms[I], IsReceipt); };
  const auto Exact = Index.ByText.find(Key);
  const auto HexDec = Transformed(kHexDec);
  if (Exact != None) {
    How = HexDec == None ? THow::Found : HexDec == Exact ? THow::Agreed : THow::Ambiguous;
    // Ambiguous, but equal as text to an id: as much a vote for the text as for hex-dec.
    if (How == THow::Ambiguous) Doubts = kEqualText;
    return How == THow::Ambiguous ? None : Exact;
  }
  // Then zeros dropped, tried only for a receipt that is no id as text. dec-hex is a gateway's
  // setting, never guessed: read that way, every decimal id of a run would match another.
  auto Other = None;
  for (size_t I = 0; I < kAutoTransforms; ++I) {
    const auto It = I == kHexDec ? HexDec : Transformed(I);
    if (It == None) continue;
    if (Other != None && It != Other) {
      How = THow::Ambiguous;
      Doubts = 0;
      return None;
    }
    Other = It;
    Doubts |= 1u << I;
  }
  How = Other == None ? THow::None : THow::Doubtful;
  return Other;
}

void TMatcher::Vote(size_t Way, const std::string& Key) {
  if (FIds != TReceiptIds::riAuto) return;
  // A run that never settles keeps a bounded record.
  if (FVotes[Way].size() < kKeepGiven) FVotes[Way].insert(Key);
  const size_t Won = FVotes[Way].size();
  if (Won < kVotesToSettle) return;
  for (size_t I = 0; I < kWays; ++I)
    if (I != Way && Won < 4 * FVotes[I].size()) return;
  FIds = Way == 0 ? TReceiptIds::riExact : kTransforms[Way - 1];
  FSettled = true;
  for (auto& Votes : FVotes) std::unordered_set<std::string>().swap(Votes);
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

void TMatcher::Submitted(uint32_t Sequence, TMicros Now, int Owner,
                         const std::string* Destinations) {
  ++FSent;
  ++FOwners[static_cast<size_t>(Owner)].Sent;
  const uint64_t Key = SubmitKey(Sequence, Owner);
  if (!FEarly.empty())
    if (auto It = FEarly.find(Key); It != FEarly.end()) {
      TEarly E = std::move(It->second);
      FEarly.erase(It);
      // A response read after the submit went overtook its recording; one read before answered
      // no submit of ours, and this one still awaits its own.
      if (E.At >= Now) {
        Answer(Now, E.Status, E.MessageId, E.At, Owner, E.Unsuccess,
               Destinations ? std::string_view(*Destinations) : std::string_view());
        return;
      }
      ++FPremature;
    }
  if (Destinations && FReceiptsPerSubmit) FMultiDestinations[Key] = *Destinations;
  FAwaiting.Put(Key, Now);
  ++FOwners[static_cast<size_t>(Owner)].InFlight;
}

void TMatcher::Responded(uint32_t Sequence, uint32_t Status, const std::string& MessageId,
                         TMicros Now, int Owner, std::string_view Unsuccess) {
  const uint64_t Key = SubmitKey(Sequence, Owner);
  TMicros SentAt;
  if (!FAwaiting.Take(Key, SentAt)) {
    // Its submit may be on its way to being recorded; a second answer to one sequence is stray.
    if (!FEarly.emplace(Key, TEarly{Status, MessageId, std::string(Unsuccess), Now}).second)
      ++FStrayResponses;
    return;
  }
  --FOwners[static_cast<size_t>(Owner)].InFlight;
  if (!FMultiDestinations.empty())
    if (auto It = FMultiDestinations.find(Key); It != FMultiDestinations.end()) {
      Answer(SentAt, Status, MessageId, Now, Owner, Unsuccess, It->second);
      FMultiDestinations.erase(It);
      return;
    }
  Answer(SentAt, Status, MessageId, Now, Owner, Unsuccess, {});
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
    if (static_cast<int>(It->first >> 32) == Owner)
      It = FEarly.erase(It), ++FStrayResponses;
    else
      ++It;
  for (auto It = FMultiDestinations.begin(); It != FMultiDestinations.end();)
    It = static_cast<int>(It->first >> 32) == Owner ? FMultiDestinations.erase(It) : std::next(It);
  TOwnerCounts& O = FOwners[static_cast<size_t>(Owner)];
  O.InFlight -= N;
  O.Dropped += N;
  FDropped += N;
  return N;
}

void TMatcher::Answer(TMicros SentAt, uint32_t Status, const std::string& MessageId, TMicros Now,
                      int Owner, std::string_view Unsuccess, std::string_view Destinations) {
  ++FAnswered;
  TOwnerCounts& O = FOwners[static_cast<size_t>(Owner)];
  ++O.Answered;
  ++FStatuses[Status];
  FResponseLatency.Record(Now - SentAt);
  if (FTapResponses) FTapResponses->Record(Now - SentAt);
  if (Status != 0) return;
  ++FAccepted;
  ++O.Accepted;
  if (FReceiptsPerSubmit == 0) return;
  long Remaining = FReceiptsPerSubmit;
  std::unique_ptr<std::vector<std::string>> Awaited;
  if (!Destinations.empty()) {
    Awaited = std::make_unique<std::vector<std::string>>();
    // A submit_multi: a receipt per destination the SMSC did not refuse.
    ForEachPiece(Destinations, [&](std::string_view D) {
      bool Refused = false;
      ForEachPiece(Unsuccess, [&](std::string_view U) { Refused = Refused || U == D; });
      if (!Refused) Awaited->emplace_back(D);
    });
    Remaining = static_cast<long>(Awaited->size());
    if (Remaining == 0) return;
  }
  FExpected += Remaining;
  const std::string Key = IdKey(MessageId);
  // An id given twice keeps the first's destinations: the run fails anyway.
  auto [It, New] =
      FAwaitedIds.Add(Key, TAwaited{SentAt, Remaining, Owner, std::move(Awaited)}, FIds, true);
  if (!New) {
    // An id still awaited: the receipts of the two submits cannot be told apart.
    if (FDuplicateIds++ == 0) FDuplicateExample = MessageId;
    It->second.Remaining += Remaining;
  } else {
    // Kept a while, to tell an id given again once its receipts came, and a duplicate receipt
    // from a stray, when the run is summed up.
    if (FGiven.empty()) FGiven.resize(kKeepGiven);
    FGiven[FGivenCount++ % kKeepGiven] = Key;
  }
  // Receipts that came before this response.
  while (!FEarlyReceipts.ByText.empty()) {
    THow How;
    unsigned Doubts;
    const auto Held = Match(FEarlyReceipts, Key, false, How, Doubts);
    if (How == THow::Doubtful) {
      // They match only through a transformation: doubtful until one is kept.
      for (THeld& R : Held->second) R.Doubts |= Doubts;
      if ((Doubts & (Doubts - 1)) == 0)
        Vote(1 + static_cast<size_t>(std::countr_zero(Doubts)), Key);
    }
    if (How == THow::Ambiguous && Doubts == kEqualText) Vote(0, Key);
    if (How != THow::Found && How != THow::Agreed) break;
    if (FIds == TReceiptIds::riAuto && How == THow::Found) ++FExactMatches, Vote(0, Key);
    ClaimHeld(Held, It);
  }
  if (FIds == TReceiptIds::riAuto && FHeldReceipts > 0 && AllIdsGiven()) DecideHeld();
  if (FSettled) RematchHeld();
}

bool TMatcher::Consume(TAwaited& A, std::string_view Source) {
  if (A.Remaining <= 0) return false;
  if (A.Destinations) {
    std::vector<std::string>& Left = *A.Destinations;
    const auto D = std::find(Left.begin(), Left.end(), Trimmed(Source));
    if (D == Left.end()) return false;
    Left.erase(D);
  }
  --A.Remaining;
  return true;
}

TMatcher::TLateCounts TMatcher::LateCounts() const {
  // Counted again only when something changed since.
  const std::array<long, 4> Stamp = {FAnswered, FReceipts, FHeldReceipts, FDuplicateReceipts};
  if (Stamp == FLateStamp) return FLate;
  FLateStamp = Stamp;
  TLateCounts& C = FLate = {};
  if (FGiven.empty()) return C;
  // The ids given lately, read as receipts' ids are under the convention in use (equal text while
  // riAuto keeps none: a receipt matched only through a transformation is doubtful instead).
  const TReceiptIds Ids = FIds == TReceiptIds::riAuto ? TReceiptIds::riExact : FIds;
  TIdIndex<long> Given;
  const size_t N = std::min(FGivenCount, kKeepGiven);
  for (size_t I = 0; I < N; ++I) {
    auto [It, New] = Given.Add(FGiven[I], 1, Ids, true);
    if (!New) ++It->second, ++C.Ids;
  }
  for (const auto& Entry : FEarlyReceipts.ByText)
    for (const THeld& R : Entry.second)
      if (!R.Intermediate && !R.Ambiguous && R.Doubts == 0) {
        const auto It = Given.Find(Entry.first, Ids, true);
        C.Receipts += It != Given.ByText.end() &&
                      !FAwaitedIds.ByText.count(It->first);  // its receipts all came
      }
  return C;
}

void TMatcher::ClaimHeld(TIdIndex<std::vector<THeld>>::TIter Held,
                         TIdIndex<TAwaited>::TIter Awaited) {
  TAwaited& A = Awaited->second;
  const bool Awaiting = A.Remaining > 0;
  for (const THeld& R : Held->second) {
    if (R.Ambiguous) --FAmbiguous;
    --FHeldReceipts;
    if (R.Intermediate)
      CountWord(FStates, kEnroute);
    else if (Consume(A, R.Source))
      CountReceipt(R.At - A.SentAt, R.Stat, R.Err, A.Owner);
    else
      ++FDuplicateReceipts;
  }
  FEarlyReceipts.Erase(Held);
  if (Awaiting && A.Remaining <= 0) FAwaitedIds.Erase(Awaited);
}

void TMatcher::DecideHeld() {
  // No submit awaits its response: a held receipt equal as text to an awaited id, with no other
  // id through hex-dec, cannot have overtaken its own response.
  for (const auto& Entry : FEarlyReceipts.ByText) {
    THow How;
    unsigned Doubts;
    Match(FAwaitedIds, Entry.first, true, How, Doubts);
    if (How == THow::Found) {
      FIds = TReceiptIds::riExact, FSettled = true;
      return;
    }
  }
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
                                std::string_view Err, std::string_view Source, bool Notification) {
  if (FReceiptsPerSubmit == 0 || FIds == TReceiptIds::riAuto) {
    Receipt(MessageId, Now, Stat, Err, Source, Notification);
    return true;
  }
  // Under a kept convention Match is this lookup alone.
  const std::string Key = IdKey(MessageId);
  const auto Awaited = FAwaitedIds.Find(Key, FIds, true);
  if (Awaited == FAwaitedIds.ByText.end()) return false;
  const std::string State = ReceiptStateWord(Stat);
  ReceiptFor(Key, Awaited, THow::Found, 0, State, Now, Err, Source,
             Notification || IntermediateState(State));
  return true;
}

void TMatcher::Receipt(const std::string& MessageId, TMicros Now, std::string_view Stat,
                       std::string_view Err, std::string_view Source, bool Notification) {
  const std::string State = ReceiptStateWord(Stat);
  const bool Intermediate = Notification || IntermediateState(State);
  // Receipts not awaited are counted as they come, and nothing of them is kept.
  if (FReceiptsPerSubmit == 0) {
    if (Intermediate) return CountWord(FStates, kEnroute);
    ++FReceipts;
    CountWord(FStates, State);
    CountWord(FErrors, ReceiptStateWord(Err));
    return;
  }
  const std::string Key = IdKey(MessageId);
  THow How;
  unsigned Doubts;
  const auto Awaited = Match(FAwaitedIds, Key, true, How, Doubts);
  ReceiptFor(Key, Awaited, How, Doubts, State, Now, Err, Source, Intermediate);
}

void TMatcher::ReceiptFor(const std::string& Key, TIdIndex<TAwaited>::TIter Awaited, THow How,
                          unsigned Doubts, const std::string& State, TMicros Now,
                          std::string_view Err, std::string_view Source, bool Intermediate) {
  if (How == THow::Found || How == THow::Agreed) {
    if (FIds == TReceiptIds::riAuto && How == THow::Found) {
      ++FExactMatches;
      // Equal as text and no id through hex-dec: once no submit can still be given an id (so
      // that this receipt did not overtake its own response), that tells at once.
      if (How == THow::Found && AllIdsGiven())
        FIds = TReceiptIds::riExact, FSettled = true;
      else if (How == THow::Found)
        Vote(0, Awaited->first);
    }
    TAwaited& A = Awaited->second;
    if (Intermediate) {
      // Counted for an id of ours; the final receipt is still awaited.
      CountWord(FStates, kEnroute);
    } else if (Consume(A, Source)) {
      CountReceipt(Now - A.SentAt, State, Err, A.Owner);
      if (A.Remaining <= 0) FAwaitedIds.Erase(Awaited);
    } else {
      ++FDuplicateReceipts;
    }
    // An id whose receipts all came no longer makes a held receipt ambiguous.
    if (FIds == TReceiptIds::riAuto && FAmbiguous > 0 && AllIdsGiven()) DecideHeld();
    if (FSettled) RematchHeld();
    return;
  }
  if (How == THow::Doubtful && (Doubts & (Doubts - 1)) == 0)
    Vote(1 + static_cast<size_t>(std::countr_zero(Doubts)), Awaited->first);
  if (How == THow::Ambiguous && Doubts == kEqualText) Vote(0, Key);
  // Before its response, for a message that is not ours, ambiguous (for one of two) or doubtful:
  // held until a response claims it or a convention is kept.
  const bool Ambiguous = How == THow::Ambiguous;
  if (Ambiguous) ++FAmbiguous;
  auto Held = FEarlyReceipts.Add(Key, {}, FIds, false).first;
  Held->second.push_back(THeld{Now, State, std::string(Err), std::string(Source), Ambiguous,
                               Intermediate, How == THow::Doubtful ? Doubts : 0u});
  ++FHeldReceipts;
  if (FSettled) RematchHeld();
}

long TMatcher::DoubtfulReceipts() const {
  long N = 0;
  for (const auto& Entry : FEarlyReceipts.ByText)
    for (const THeld& R : Entry.second) N += R.Doubts != 0;
  return N;
}

std::map<std::string, long> TMatcher::DoubtfulReasons() const {
  std::map<std::string, long> Reasons;
  for (const auto& Entry : FEarlyReceipts.ByText)
    for (const THeld& R : Entry.second)
      for (size_t I = 0; I < kTransformCount; ++I)
        if (R.Doubts & (1u << I)) ++Reasons[std::string(ReceiptIdsWord(kTransforms[I]))];
  return Reasons;
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
