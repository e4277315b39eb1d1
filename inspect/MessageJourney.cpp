// TMessageJourney: the trace read PDU by PDU into messages, their answers and receipts; the
// indexes that find them kept in step with the bounded store; the state of a message in words.
#include "inspect/MessageJourney.h"

#include <algorithm>

#include "inspect/PduDissector.h"
#include "smpp/LongMessage.h"
#include "smpp/PduNames.h"
#include "smpp/smpppdu.h"

namespace {

constexpr uint32_t kResponseBit = 0x80000000u;

// A message id as compared: ASCII letters in lower case and leading zeros dropped, so that "0A1"
// and "a1" name one message (SMSCs pad and case their ids differently in responses and receipts).
std::string IdKey(std::string_view Id) {
  size_t Zeros = 0;
  while (Zeros + 1 < Id.size() && Id[Zeros] == '0') ++Zeros;
  std::string Key(Id.substr(Zeros));
  for (char& C : Key)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
  return Key;
}

bool IsMessageRequest(uint32_t CommandId) {
  return CommandId == kSubmitSm || CommandId == kSubmitMulti || CommandId == kDataSm;
}

// The commands whose sequence number ties them to a message of the journey.
bool TiesToMessage(uint32_t CommandId) {
  const uint32_t Request = CommandId & ~kResponseBit;
  return CommandId == kGenericNack || IsMessageRequest(Request) || Request == kDeliverSm;
}

bool AllZeros(std::string_view Text) {
  return Text.find_first_not_of('0') == std::string_view::npos;
}

// What a submit says of the message it belongs to, read from its dissection.
struct TSubmitFields {
  std::string Source;
  std::vector<std::string> Destinations;
  uint8_t EsmClass = 0;
  uint8_t RegisteredDelivery = 0;
  std::string ShortMessage, Payload;
  TConcatInfo Sar;
};

TSubmitFields ReadSubmit(const uint8_t* Bytes, size_t Length) {
  TSubmitFields S;
  const TPduField Pdu = DissectPdu(Bytes, Length);
  for (const TPduField& F : Pdu.Fields) {
    const bool Integer = F.Kind == TFieldKind::fkInteger;
    if (F.Name == "source_addr") {
      S.Source = F.Text;
    } else if (F.Name == "destination_addr") {
      S.Destinations.push_back(F.Text);
    } else if (F.Name == "dest_address") {
      for (const TPduField& D : F.Fields)
        if (D.Name == "destination_addr" || D.Name == "dl_name") S.Destinations.push_back(D.Text);
    } else if (F.Name == "esm_class") {
      S.EsmClass = static_cast<uint8_t>(F.Integer);
    } else if (F.Name == "registered_delivery") {
      S.RegisteredDelivery = static_cast<uint8_t>(F.Integer);
    } else if (F.Name == "short_message") {
      S.ShortMessage = F.Text;
    } else if (F.Name == "message_payload" && S.Payload.empty()) {
      S.Payload = F.Text;
    } else if (F.Name == "sar_msg_ref_num" && Integer) {
      S.Sar.Reference = static_cast<uint16_t>(F.Integer);
    } else if (F.Name == "sar_total_segments" && Integer) {
      S.Sar.Total = static_cast<uint8_t>(F.Integer);
    } else if (F.Name == "sar_segment_seqnum" && Integer) {
      S.Sar.Seq = static_cast<uint8_t>(F.Integer);
    }
  }
  return S;
}

bool SoundConcat(const TConcatInfo& C) {
  return C.Total != 0 && C.Seq != 0 && C.Seq <= C.Total;
}

std::string Joined(const std::vector<std::string>& Items) {
  std::string Out;
  for (const std::string& I : Items) {
    if (!Out.empty()) Out += ',';
    Out += I;
  }
  return Out;
}

}  // namespace

size_t TJourneyPart::FinalReceipts() const {
  return static_cast<size_t>(std::count_if(
      Receipts.begin(), Receipts.end(), [](const TJourneyReceipt& R) { return !R.Intermediate; }));
}

int64_t TJourneyMessage::ResponseDelayNs() const {
  if (Parts.empty() || Parts.size() < Total) return -1;
  int64_t Last = 0;
  for (const TJourneyPart& P : Parts) {
    if (P.Answer != TPartAnswer::paAnswered) return -1;
    Last = std::max(Last, P.ResponseNs);
  }
  return Last - Parts.front().SubmitNs;
}

int64_t TJourneyMessage::ReceiptDelayNs() const {
  if (Parts.empty() || Parts.size() < Total) return -1;
  int64_t Last = -1;
  for (const TJourneyPart& P : Parts) {
    if (!P.Accepted() || !P.ReceiptAsked || P.FinalReceipts() < P.ReceiptsDue) return -1;
    for (const TJourneyReceipt& R : P.Receipts)
      if (!R.Intermediate) Last = std::max(Last, R.MonotonicNs);
  }
  return Last < 0 ? -1 : Last - Parts.front().SubmitNs;
}

std::string JourneyState(const TJourneyMessage& M) {
  const std::string Seen =
      M.Total > M.Parts.size()
          ? " (" + std::to_string(M.Parts.size()) + " of " + std::to_string(M.Total) + " parts)"
          : "";
  for (const TJourneyPart& P : M.Parts)
    if (P.Answer == TPartAnswer::paAnswered && P.Status != 0)
      return "rejected: " + CommandStatusName(P.Status) + Seen;
  for (const TJourneyPart& P : M.Parts)
    if (P.Answer == TPartAnswer::paLost) return "no response" + Seen;
  for (const TJourneyPart& P : M.Parts)
    if (P.Answer == TPartAnswer::paAwaiting) return "awaiting response" + Seen;
  // Receipts are counted per part, up to the number each is due, so that a receipt sent twice
  // does not stand for another part's.
  size_t Due = 0, Final = 0, Intermediate = 0;
  const TJourneyReceipt* Worst = nullptr;  // the first final receipt that is not DELIVRD
  const TJourneyReceipt* First = nullptr;
  bool Same = true;
  for (const TJourneyPart& P : M.Parts) {
    if (!P.ReceiptAsked) continue;
    Due += P.ReceiptsDue;
    Final += std::min<size_t>(P.FinalReceipts(), P.ReceiptsDue);
    for (const TJourneyReceipt& R : P.Receipts) {
      if (R.Intermediate) {
        ++Intermediate;
        continue;
      }
      if (!First) First = &R;
      Same = Same && R.Stat == First->Stat;
      if (!Worst && R.Stat != "DELIVRD") Worst = &R;
    }
  }
  bool Asked = false;
  for (const TJourneyPart& P : M.Parts) Asked = Asked || P.ReceiptAsked;
  if (!Asked) return "accepted" + Seen;
  if (Final >= Due && First) {
    const TJourneyReceipt& R = Same || !Worst ? *First : *Worst;
    std::string State = R.Stat.empty() ? "(no state)" : R.Stat;
    if (!R.Err.empty() && !AllZeros(R.Err)) State += " (err " + R.Err + ")";
    return State + Seen;
  }
  if (Final > 0)
    return "accepted, " + std::to_string(Final) + " of " + std::to_string(Due) + " receipts" + Seen;
  if (Intermediate > 0) return "accepted, ENROUTE" + Seen;
  return "accepted, no receipt yet" + Seen;
}

TMessageJourney::TMessageJourney(size_t Capacity) : FCapacity(Capacity ? Capacity : 1) {}

std::string TMessageJourney::OpenKey(const TJourneyMessage& M) {
  return std::to_string(int(M.Tie)) + '/' + std::to_string(M.Reference) + '/' +
         std::to_string(M.Total) + '/' + M.Destination;
}

void TMessageJourney::OnTrace(const TPduTraceRecord& Record) {
  if (Record.Kind == TPduTraceKind::tkClosed) return OnClosed(Record.Connection);
  if (Record.Kind != TPduTraceKind::tkPdu || Record.Bytes.size() < kPduHeaderLength) return;
  const uint8_t* B = Record.Bytes.data();
  const uint32_t CommandId = GetU32(B + 4), Status = GetU32(B + 8), Sequence = GetU32(B + 12);
  const bool Out = Record.Direction == TPduDirection::pdOut;
  if (Out && IsMessageRequest(CommandId)) return OnSubmit(Record, CommandId, Sequence);
  if (Out) return;
  const bool Response = (CommandId & kResponseBit) != 0;
  if (Response && (CommandId == kGenericNack || IsMessageRequest(CommandId & ~kResponseBit)))
    return OnResponse(Record, CommandId, Status, Sequence);
  if (CommandId == kDeliverSm || CommandId == kDataSm) OnDelivery(Record, Sequence);
}

void TMessageJourney::OnSubmit(const TPduTraceRecord& Record, uint32_t CommandId,
                               uint32_t Sequence) {
  const TSubmitFields S = ReadSubmit(Record.Bytes.data(), Record.Bytes.size());
  TJourneyPart Part;
  Part.Connection = Record.Connection;
  Part.CommandId = CommandId;
  Part.Sequence = Sequence;
  Part.SubmitNs = Record.MonotonicNs;
  Part.ReceiptAsked = (S.RegisteredDelivery & 0x03) != 0;
  Part.ReceiptsDue = static_cast<uint16_t>(std::max<size_t>(1, S.Destinations.size()));

  // The concatenation: a user data header (in the short message, or in the payload when that is
  // where the text is) wins over SAR values, which count only when all three are sound.
  TConcatInfo Concat;
  TConcatTie Tie = TConcatTie::ctNone;
  const std::string& UserData = S.ShortMessage.empty() ? S.Payload : S.ShortMessage;
  size_t HeaderLength = 0;
  if ((S.EsmClass & kEsmUdhi) && !UserData.empty() &&
      ReadUserDataHeader(reinterpret_cast<const uint8_t*>(UserData.data()), UserData.size(),
                         HeaderLength, Concat) &&
      SoundConcat(Concat)) {
    Tie = TConcatTie::ctUdh;
  } else if (SoundConcat(S.Sar)) {
    Concat = S.Sar;
    Tie = TConcatTie::ctSar;
  }
  Part.Seq = Tie == TConcatTie::ctNone ? 0 : Concat.Seq;

  TJourneyMessage Shape;
  Shape.Source = S.Source;
  Shape.Destination = Joined(S.Destinations);
  Shape.Tie = Tie;
  Shape.Reference = Tie == TConcatTie::ctNone ? 0 : Concat.Reference;
  Shape.Total = Tie == TConcatTie::ctNone ? 0 : Concat.Total;

  // A part joins the message of its reference whose parts are still coming, unless that message
  // has a part of its number already: a reference comes round again, and starts a new message.
  TJourneyMessage* M = nullptr;
  std::string Key;
  if (Tie != TConcatTie::ctNone) {
    Key = OpenKey(Shape);
    const auto It = FOpen.find(Key);
    if (It != FOpen.end()) {
      M = Find(It->second);
      if (M && std::any_of(M->Parts.begin(), M->Parts.end(),
                           [&](const TJourneyPart& P) { return P.Seq == Part.Seq; }))
        M = nullptr;
    }
  }
  if (!M) {
    Shape.Serial = FNextSerial++;
    M = &FMessages.emplace_back(std::move(Shape));
    if (Tie != TConcatTie::ctNone) FOpen[Key] = M->Serial;
  } else {
    Touch(M->Serial);
  }
  const TPlace Place{M->Serial, static_cast<uint16_t>(M->Parts.size())};
  M->Parts.push_back(std::move(Part));
  if (Tie != TConcatTie::ctNone && M->Parts.size() >= M->Total) FOpen.erase(Key);
  const uint64_t SeqKey = SequenceKey(Record.Connection, true, Sequence);
  // A sequence number seen again (after a reconnect, or once the counter wraps) names the newest.
  FBySequence[SeqKey] = Place;
  FAwaiting.insert(SeqKey);
  while (FMessages.size() > FCapacity) Evict();
}

void TMessageJourney::OnResponse(const TPduTraceRecord& Record, uint32_t CommandId, uint32_t Status,
                                 uint32_t Sequence) {
  const uint64_t SeqKey = SequenceKey(Record.Connection, true, Sequence);
  const auto It = FBySequence.find(SeqKey);
  if (It == FBySequence.end()) return;
  const TPlace Place = It->second;
  TJourneyPart* P = Find(Place);
  if (!P || P->Answer != TPartAnswer::paAwaiting) return;
  if (CommandId != kGenericNack && CommandId != (P->CommandId | kResponseBit)) return;
  P->Answer = TPartAnswer::paAnswered;
  P->ResponseCommand = CommandId;
  P->ResponseNs = Record.MonotonicNs;
  P->Status = Status;
  FAwaiting.erase(SeqKey);
  Touch(Place.Serial);
  if (CommandId == kGenericNack) return;
  const TPduField Pdu = DissectPdu(Record.Bytes.data(), Record.Bytes.size());
  for (const TPduField& F : Pdu.Fields) {
    if (F.Name == "message_id") P->MessageId = F.Text;
    if (F.Name == "no_unsuccess")
      P->ReceiptsDue =
          static_cast<uint16_t>(P->ReceiptsDue - std::min<uint64_t>(P->ReceiptsDue, F.Integer));
  }
  if (Status != 0 || P->MessageId.empty()) return;
  // An id given again (a peer that reuses its ids) names the newest message from now on.
  FById[IdKey(P->MessageId)] = Place;
  ClaimOrphans(Place, *P);
}

void TMessageJourney::OnDelivery(const TPduTraceRecord& Record, uint32_t Sequence) {
  TPDU Pdu;
  TPduCodec::DecodePdu(Record.Bytes.data(), Record.Bytes.size(), Record.Bytes.size(), Pdu);
  if (!IsReceipt(Pdu.deliver.esm_class)) return;
  TJourneyReceipt R;
  R.Connection = Record.Connection;
  R.Sequence = Sequence;
  R.MonotonicNs = Record.MonotonicNs;
  R.MessageId = Pdu.deliver.receipt_ref;
  R.Stat = Pdu.deliver.receipt_stat;
  R.Err = Pdu.deliver.receipt_err;
  R.Intermediate = (Pdu.deliver.esm_class & kEsmMessageTypeMask) == kEsmIntermediateNotification ||
                   R.Stat == "ENROUTE";
  const auto It = R.MessageId.empty() ? FById.end() : FById.find(IdKey(R.MessageId));
  TJourneyPart* P = It == FById.end() ? nullptr : Find(It->second);
  if (!P) return AddOrphan(std::move(R));
  FBySequence[SequenceKey(Record.Connection, false, Sequence)] = It->second;
  P->Receipts.push_back(std::move(R));
  Touch(It->second.Serial);
}

void TMessageJourney::OnClosed(TPduConnection Connection) {
  for (auto It = FAwaiting.begin(); It != FAwaiting.end();) {
    if ((*It >> 33) != uint64_t(Connection)) {
      ++It;
      continue;
    }
    const auto Entry = FBySequence.find(*It);
    if (Entry != FBySequence.end())
      if (TJourneyPart* P = Find(Entry->second); P && P->Answer == TPartAnswer::paAwaiting) {
        P->Answer = TPartAnswer::paLost;
        Touch(Entry->second.Serial);
      }
    It = FAwaiting.erase(It);
  }
}

TJourneyMessage* TMessageJourney::Find(uint64_t Serial) {
  if (FMessages.empty() || Serial < FMessages.front().Serial) return nullptr;
  const uint64_t I = Serial - FMessages.front().Serial;
  return I < FMessages.size() ? &FMessages[I] : nullptr;
}

TJourneyPart* TMessageJourney::Find(const TPlace& Place) {
  TJourneyMessage* M = Find(Place.Serial);
  return M && Place.Part < M->Parts.size() ? &M->Parts[Place.Part] : nullptr;
}

void TMessageJourney::Touch(uint64_t Serial) {
  if (Serial >= FShownEnd) return;  // not shown yet: it comes as added
  FChanged.push_back(Serial);
  // A view that takes its changes seldom (or no more) must not make the list grow without end:
  // past twice the rows it can name, it is cut to those rows, each once.
  if (FChanged.size() <= 2 * FCapacity) return;
  std::sort(FChanged.begin(), FChanged.end());
  FChanged.erase(std::unique(FChanged.begin(), FChanged.end()), FChanged.end());
  const uint64_t Front = FMessages.empty() ? FNextSerial : FMessages.front().Serial;
  FChanged.erase(FChanged.begin(), std::lower_bound(FChanged.begin(), FChanged.end(), Front));
}

void TMessageJourney::ClaimOrphans(TPlace Place, TJourneyPart& Part) {
  const std::string Key = IdKey(Part.MessageId);
  std::vector<TJourneyReceipt> Claimed;
  // The orphans are in the order they came: only the newest ones, those after the submit, can be
  // its receipts.
  for (size_t I = FOrphans.size(); I > 0 && FOrphans[I - 1].MonotonicNs >= Part.SubmitNs; --I) {
    if (IdKey(FOrphans[I - 1].MessageId) != Key) continue;
    Claimed.push_back(std::move(FOrphans[I - 1]));
    FOrphans.erase(FOrphans.begin() + static_cast<std::ptrdiff_t>(I - 1));
    FOrphansChanged = true;
  }
  for (auto R = Claimed.rbegin(); R != Claimed.rend(); ++R) {
    FBySequence[SequenceKey(R->Connection, false, R->Sequence)] = Place;
    Part.Receipts.push_back(std::move(*R));
  }
}

void TMessageJourney::AddOrphan(TJourneyReceipt Receipt) {
  FOrphans.push_back(std::move(Receipt));
  if (FOrphans.size() > kOrphanCapacity) {
    FOrphans.pop_front();
    ++FOrphansEvicted;
  }
  FOrphansChanged = true;
}

void TMessageJourney::Evict() {
  Unindex(FMessages.front());
  FMessages.pop_front();
  ++FEvicted;
}

void TMessageJourney::Unindex(const TJourneyMessage& M) {
  const auto EraseSequence = [&](uint64_t Key) {
    const auto It = FBySequence.find(Key);
    if (It == FBySequence.end() || It->second.Serial != M.Serial) return;
    FBySequence.erase(It);
    FAwaiting.erase(Key);
  };
  for (const TJourneyPart& P : M.Parts) {
    EraseSequence(SequenceKey(P.Connection, true, P.Sequence));
    for (const TJourneyReceipt& R : P.Receipts)
      EraseSequence(SequenceKey(R.Connection, false, R.Sequence));
    if (P.MessageId.empty()) continue;
    const auto It = FById.find(IdKey(P.MessageId));
    if (It != FById.end() && It->second.Serial == M.Serial) FById.erase(It);
  }
  if (M.Tie == TConcatTie::ctNone) return;
  const auto It = FOpen.find(OpenKey(M));
  if (It != FOpen.end() && It->second == M.Serial) FOpen.erase(It);
}

std::optional<size_t> TMessageJourney::RowOfPdu(TPduConnection Connection, TPduDirection Direction,
                                                const uint8_t* Bytes, size_t Length) const {
  if (!Bytes || Length < kPduHeaderLength) return std::nullopt;
  const uint32_t CommandId = GetU32(Bytes + 4);
  if (!TiesToMessage(CommandId)) return std::nullopt;
  // Our requests go out and their answers come in; the SMSC's the other way round.
  const bool Response = (CommandId & kResponseBit) != 0;
  const bool Ours = (Direction == TPduDirection::pdOut) != Response;
  const auto It = FBySequence.find(SequenceKey(Connection, Ours, GetU32(Bytes + 12)));
  if (It == FBySequence.end() || FMessages.empty()) return std::nullopt;
  return static_cast<size_t>(It->second.Serial - FMessages.front().Serial);
}

std::optional<size_t> TMessageJourney::RowOfMessageId(std::string_view MessageId) const {
  const auto It = FById.find(IdKey(MessageId));
  if (It == FById.end() || FMessages.empty()) return std::nullopt;
  return static_cast<size_t>(It->second.Serial - FMessages.front().Serial);
}

TJourneyChanges TMessageJourney::TakeChanges() {
  TJourneyChanges C;
  const uint64_t Front = FMessages.empty() ? FNextSerial : FMessages.front().Serial;
  const uint64_t KeptBegin = std::max(FShownBegin, Front);
  C.Removed = static_cast<size_t>(std::min(FShownEnd, Front) - std::min(FShownBegin, Front));
  const uint64_t KeptEnd = std::max(FShownEnd, KeptBegin);
  C.Added = static_cast<size_t>(FNextSerial - KeptEnd);
  std::sort(FChanged.begin(), FChanged.end());
  FChanged.erase(std::unique(FChanged.begin(), FChanged.end()), FChanged.end());
  for (uint64_t Serial : FChanged)
    if (Serial >= KeptBegin && Serial < FShownEnd) C.Changed.push_back(Serial - Front);
  FChanged.clear();
  C.OrphansChanged = FOrphansChanged;
  FOrphansChanged = false;
  FShownBegin = Front;
  FShownEnd = FNextSerial;
  return C;
}

void TMessageJourney::Clear() {
  FMessages.clear();
  FBySequence.clear();
  FById.clear();
  FOpen.clear();
  FAwaiting.clear();
  FOrphans.clear();
  FOrphansChanged = true;
  FEvicted = 0;
  FOrphansEvicted = 0;
}
