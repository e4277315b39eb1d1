// Long messages: part capacities, the cutting of encoded texts into parts with their headers or
// SAR values, the plan of Send, and the reading of a received user data header.
#include "smpp/LongMessage.h"

#include "smpp/smpppdu.h"

namespace {

struct TModeName {
  TLongMessageMode Mode;
  std::string_view Ident, Word;
};
constexpr TModeName kModeNames[] = {
    {TLongMessageMode::lmSplit, "lmSplit", "split"},
    {TLongMessageMode::lmUdh, "lmUdh", "udh"},
    {TLongMessageMode::lmUdh16, "lmUdh16", "udh16"},
    {TLongMessageMode::lmPayload, "lmPayload", "payload"},
    {TLongMessageMode::lmSar, "lmSar", "sar"},
};

// The number of octets of one unit of the coding.
size_t UnitOctets(TTextCoding Coding) {
  return Coding == TTextCoding::tcUcs2 ? 2 : 1;
}

// The end of the part that starts at octet begin and may hold up to capacity units: never after
// the first septet of a GSM escape pair nor after the high half of a surrogate pair.
size_t PartEnd(const TEncodedText& Text, size_t Begin, size_t Capacity) {
  const std::string& O = Text.Octets;
  size_t End = Begin + Capacity * UnitOctets(Text.Coding);
  if (End >= O.size()) return O.size();
  if (Text.Coding == TTextCoding::tcGsm) {
    // Pairs are read from the start of the part, so an escape that is itself the second septet
    // of a pair is never taken for the start of one.
    size_t I = Begin;
    while (I < End) I += static_cast<uint8_t>(O[I]) == kGsmEscape ? 2 : 1;
    if (I > End) --End;
  } else if (Text.Coding == TTextCoding::tcUcs2) {
    const unsigned High = static_cast<uint8_t>(O[End - 2]);
    if (High >= 0xD8 && High <= 0xDB) End -= 2;
  }
  return End;
}

std::string UserDataHeader(TLongMessageMode Mode, uint16_t Reference, size_t Total, size_t Seq) {
  std::string H;
  if (Mode == TLongMessageMode::lmUdh16) {
    H = {0x06, static_cast<char>(kIeConcat16), 0x04, static_cast<char>(Reference >> 8),
         static_cast<char>(Reference & 0xFF)};
  } else {
    H = {0x05, static_cast<char>(kIeConcat8), 0x03, static_cast<char>(Reference & 0xFF)};
  }
  H += static_cast<char>(Total);
  H += static_cast<char>(Seq);
  return H;
}

}  // namespace

std::string_view LongMessageModeIdent(TLongMessageMode Mode) noexcept {
  for (const TModeName& N : kModeNames)
    if (N.Mode == Mode) return N.Ident;
  return kModeNames[0].Ident;
}

std::optional<TLongMessageMode> LongMessageModeFromIdent(std::string_view Ident) noexcept {
  for (const TModeName& N : kModeNames)
    if (N.Ident == Ident) return N.Mode;
  return std::nullopt;
}

std::string_view LongMessageModeWord(TLongMessageMode Mode) noexcept {
  for (const TModeName& N : kModeNames)
    if (N.Mode == Mode) return N.Word;
  return kModeNames[0].Word;
}

std::optional<TLongMessageMode> LongMessageModeFromWord(std::string_view Word) noexcept {
  for (const TModeName& N : kModeNames)
    if (N.Word == Word) return N.Mode;
  return std::nullopt;
}

size_t SinglePartCapacity(TTextCoding Coding) noexcept {
  switch (Coding) {
    case TTextCoding::tcLatin1:
      return 140;
    case TTextCoding::tcUcs2:
      return 70;
    default:
      return 160;  // septets
  }
}

size_t ConcatPartCapacity(TTextCoding Coding, TLongMessageMode Mode) noexcept {
  if (Mode == TLongMessageMode::lmSplit || Mode == TLongMessageMode::lmPayload)
    return SinglePartCapacity(Coding);
  // A header of 6 octets (7 with a 16-bit reference) takes its room from the 140 octets of a
  // short message: 7 (8) septets of the 160. SAR parts leave the same room, so that an SMSC can
  // put the header in front when it delivers them.
  const bool Wide = Mode == TLongMessageMode::lmUdh16;
  switch (Coding) {
    case TTextCoding::tcLatin1:
      return Wide ? 133 : 134;
    case TTextCoding::tcUcs2:
      return Wide ? 66 : 67;
    default:
      return Wide ? 152 : 153;
  }
}

bool SplitMessage(const TEncodedText& Text, TLongMessageMode Mode, uint16_t Reference,
                  std::vector<TMessagePart>& Parts, std::string& Error) {
  Parts.clear();
  Error.clear();
  if (Text.Units() <= SinglePartCapacity(Text.Coding)) {
    Parts.push_back(TMessagePart{.ShortMessage = Text.Octets,
                                 .Payload = {},
                                 .EsmClass = 0,
                                 .SarRef = 0,
                                 .SarTotal = 0,
                                 .SarSeq = 0,
                                 .Length = Text.Units()});
    return true;
  }
  if (Mode == TLongMessageMode::lmPayload) {
    if (Text.Octets.size() > kMaxPayloadOctets) {
      Error = "the message has " + std::to_string(Text.Octets.size()) + " octets, more than the " +
              std::to_string(kMaxPayloadOctets) + " one message_payload carries";
      return false;
    }
    Parts.push_back(TMessagePart{.ShortMessage = {},
                                 .Payload = Text.Octets,
                                 .EsmClass = 0,
                                 .SarRef = 0,
                                 .SarTotal = 0,
                                 .SarSeq = 0,
                                 .Length = Text.Units()});
    return true;
  }
  const size_t Capacity = ConcatPartCapacity(Text.Coding, Mode);
  std::vector<std::pair<size_t, size_t>> Cuts;
  for (size_t Begin = 0; Begin < Text.Octets.size();) {
    const size_t End = PartEnd(Text, Begin, Capacity);
    Cuts.emplace_back(Begin, End);
    Begin = End;
  }
  if (Mode != TLongMessageMode::lmSplit && Cuts.size() > kMaxParts) {
    Error = "the message needs " + std::to_string(Cuts.size()) + " parts, more than the " +
            std::to_string(kMaxParts) + " of a concatenated message";
    return false;
  }
  const size_t Total = Cuts.size();
  for (size_t I = 0; I < Total; ++I) {
    TMessagePart Part;
    const std::string_view Octets =
        std::string_view(Text.Octets).substr(Cuts[I].first, Cuts[I].second - Cuts[I].first);
    Part.Length = Octets.size() / UnitOctets(Text.Coding);
    if (Mode == TLongMessageMode::lmUdh || Mode == TLongMessageMode::lmUdh16) {
      Part.ShortMessage = UserDataHeader(Mode, Reference, Total, I + 1);
      Part.EsmClass = kEsmUdhi;
    } else if (Mode == TLongMessageMode::lmSar) {
      Part.SarRef = Reference;
      Part.SarTotal = static_cast<uint8_t>(Total);
      Part.SarSeq = static_cast<uint8_t>(I + 1);
    }
    Part.ShortMessage.append(Octets);
    Parts.push_back(std::move(Part));
  }
  return true;
}

bool PlanMessage(std::string_view Text, std::string_view Trailer, TTextCoding Coding,
                 TLongMessageMode Mode, uint16_t Reference, TMessagePlan& Plan,
                 std::string& Error) {
  Plan = TMessagePlan{};
  std::string Message;
  if (Mode == TLongMessageMode::lmSplit)
    Message = Text.substr(0, Coding == TTextCoding::tcBytes ? 160 : Utf8Prefix(Text, 160));
  else
    Message = Text;
  Message += Trailer;
  if (!EncodeText(Message, Coding, Plan.Text, Error)) return false;
  return SplitMessage(Plan.Text, Mode, Reference, Plan.Parts, Error);
}

bool ReadUserDataHeader(const uint8_t* UserData, size_t Count, size_t& HeaderLength,
                        TConcatInfo& Concat) {
  Concat = TConcatInfo{};
  HeaderLength = 0;
  if (Count == 0 || size_t{UserData[0]} + 1 > Count) return false;
  HeaderLength = size_t{UserData[0]} + 1;
  for (size_t I = 1; I + 2 <= HeaderLength;) {
    const uint8_t Element = UserData[I];
    const size_t Length = UserData[I + 1];
    const uint8_t* V = UserData + I + 2;
    if (I + 2 + Length > HeaderLength) break;
    TConcatInfo Found;
    if (Element == kIeConcat8 && Length == 3) {
      Found = {V[0], V[1], V[2]};
    } else if (Element == kIeConcat16 && Length == 4) {
      Found = {GetU16(V), V[2], V[3]};
    }
    // A part number of 0 or past the count ties nothing together.
    if (Found.Total != 0 && Found.Seq != 0 && Found.Seq <= Found.Total) Concat = Found;
    I += 2 + Length;
  }
  return true;
}
