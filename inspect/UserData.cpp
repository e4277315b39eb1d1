// User data: the information elements of a user data header, with the parts of concatenation and
// port addressing spelled out, and the labelled text fields of a delivery receipt or intermediate
// notification, each at the offset where its value lies in the PDU.
#include "inspect/UserData.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "inspect/FieldRecords.h"
#include "smpp/LongMessage.h"
#include "smpp/smpppdu.h"

namespace {

// Names of the information elements a handset or an SMSC puts in a header; a gap is a reserved
// identifier.
const char* const kElementNames[] = {
    "concatenated short messages, 8-bit reference",
    "special SMS message indication",
    nullptr,
    nullptr,
    "application port addressing, 8-bit",
    "application port addressing, 16-bit",
    "SMSC control parameters",
    "UDH source indicator",
    "concatenated short messages, 16-bit reference",
    "wireless control message protocol",
    "text formatting",
    "predefined sound",
    "user defined sound",
    "predefined animation",
    "large animation",
    "small animation",
    "large picture",
    "small picture",
    "variable picture",
    "user prompt indicator",
    "extended object",
    "reused extended object",
    "compression control",
    "object distribution indicator",
    "standard WVG object",
    "character size WVG object",
    "extended object data request command",
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "RFC 822 e-mail header",
    "hyperlink format element",
    "reply address element",
    "enhanced voice mail information",
    "national language single shift",
    "national language locking shift",
};

// The languages of the national language shift tables.
const char* const kShiftLanguages[] = {nullptr,    "Turkish", "Spanish", "Portuguese", "Bengali",
                                       "Gujarati", "Hindi",   "Kannada", "Malayalam",  "Oriya",
                                       "Punjabi",  "Tamil",   "Telugu",  "Urdu"};

constexpr uint8_t kIeSpecialMessage = 0x01;
constexpr uint8_t kIePorts8 = 0x04;
constexpr uint8_t kIePorts16 = 0x05;
constexpr uint8_t kIeSingleShift = 0x24;
constexpr uint8_t kIeLockingShift = 0x25;

// What an identifier without a name is set aside for.
std::string ElementRange(uint8_t Iei) {
  if (Iei >= 0x70 && Iei <= 0x7F) return "SIM toolkit security header";
  if (Iei >= 0x80 && Iei <= 0x9F) return "SME to SME specific use";
  if (Iei >= 0xC0 && Iei <= 0xDF) return "SC specific use";
  return "reserved";
}

// The size of the data of an element with fixed parts, or 0 for one without.
size_t FixedDataLength(uint8_t Iei) {
  switch (Iei) {
    case kIeConcat8:
      return 3;
    case kIeConcat16:
    case kIePorts16:
      return 4;
    case kIeSpecialMessage:
    case kIePorts8:
      return 2;
    case kIeSingleShift:
    case kIeLockingShift:
      return 1;
    default:
      return 0;
  }
}

void AddPart(TPduField& Element, const char* Name, const uint8_t* Bytes, size_t Offset,
             size_t Size) {
  Element.Fields.push_back(
      MakeIntegerRecord(Name, Offset, Size, ReadBigEndian(Bytes, Offset, Size)));
}

// The record of the element whose identifier is at Bytes[At], its DataLength octets of data
// already checked to lie inside the header.
TPduField DissectElement(const uint8_t* Bytes, size_t At, size_t DataLength) {
  const uint8_t Iei = Bytes[At];
  const size_t Data = At + 2;
  const bool Named = Iei < std::size(kElementNames) && kElementNames[Iei];
  TPduField E = MakeBytesRecord(
      Named ? kElementNames[Iei] : "information element " + MakeHexName(Iei, 2),
      TFieldKind::fkOctets, Bytes, Data, DataLength, Named ? "" : ElementRange(Iei));
  E.Offset = static_cast<uint32_t>(At);
  E.Length = static_cast<uint32_t>(2 + DataLength);
  const size_t Fixed = FixedDataLength(Iei);
  if (Fixed == 0) return E;
  if (DataLength != Fixed) {
    E.Meaning = WrongLengthText(DataLength, std::to_string(Fixed));
    return E;
  }
  switch (Iei) {
    case kIeConcat8:
    case kIeConcat16: {
      const size_t RefSize = Iei == kIeConcat8 ? 1 : 2;
      AddPart(E, "reference", Bytes, Data, RefSize);
      AddPart(E, "total parts", Bytes, Data + RefSize, 1);
      AddPart(E, "part number", Bytes, Data + RefSize + 1, 1);
      const unsigned Total = Bytes[Data + RefSize], Part = Bytes[Data + RefSize + 1];
      E.Meaning = "part " + std::to_string(Part) + " of " + std::to_string(Total);
      // Such a part ties nothing together: a receiver cannot place it.
      if (Part == 0 || Part > Total) E.Meaning += ", which cannot be";
      break;
    }
    case kIePorts8:
    case kIePorts16: {
      const size_t PortSize = Iei == kIePorts8 ? 1 : 2;
      AddPart(E, "destination port", Bytes, Data, PortSize);
      AddPart(E, "originator port", Bytes, Data + PortSize, PortSize);
      break;
    }
    case kIeSpecialMessage: {
      // Octet 1: bit 7 store or discard, bits 1 and 0 the kind of message; octet 2: how many.
      static const char* const kKinds[] = {"voice", "fax", "electronic mail", "other"};
      const uint8_t Indication = Bytes[Data];
      E.Meaning = std::string(kKinds[Indication & 3]) +
                  " message waiting: " + std::to_string(Bytes[Data + 1]) +
                  (Indication & 0x80 ? "; store" : "; discard");
      break;
    }
    default:
      E.Meaning = PickMeaning(Bytes[Data], kShiftLanguages);
      break;
  }
  return E;
}

// The "user_data_header" group of the header at Bytes[Offset .. End), End > Offset: its length
// octet, its elements, and an "error" record where an element or the header itself is cut.
TPduField DissectHeader(const uint8_t* Bytes, size_t Offset, size_t End) {
  const size_t Udhl = Bytes[Offset];
  const size_t HeaderEnd = Offset + 1 + Udhl;
  const size_t Avail = std::min(HeaderEnd, End);
  TPduField G;
  G.Name = "user_data_header";
  G.Offset = static_cast<uint32_t>(Offset);
  G.Length = static_cast<uint32_t>(Avail - Offset);
  G.Fields.push_back(MakeIntegerRecord("UDHL", Offset, 1, Udhl));
  size_t At = Offset + 1;
  while (At < Avail) {
    const size_t Left = Avail - At;
    if (Left < 2 || Bytes[At + 1] > Left - 2) break;
    G.Fields.push_back(DissectElement(Bytes, At, Bytes[At + 1]));
    At += 2 + Bytes[At + 1];
  }
  // A header cut by the end of the user data is the cause, whatever element it cut.
  if (Avail < HeaderEnd) {
    G.Fields.push_back(MakeErrorRecord(At, "UDHL says " + OctetCountText(Udhl) + ", only " +
                                               std::to_string(Avail - Offset - 1) +
                                               (Avail - Offset - 1 == 1 ? " follows" : " follow")));
  } else if (At < Avail) {
    const std::string Element = "information element " + MakeHexName(Bytes[At], 2);
    G.Fields.push_back(MakeErrorRecord(
        At, Avail - At < 2
                ? Element + " has no length octet before the end of the header"
                : Element + " says " + OctetCountText(Bytes[At + 1]) + ", only " +
                      std::to_string(Avail - At - 2) +
                      (Avail - At - 2 == 1 ? " remains" : " remain") + " in the header"));
  }
  return G;
}

bool StartsWithLabel(const uint8_t* Bytes, size_t At, size_t End, std::string_view Label) {
  if (End - At < Label.size() + 1 || Bytes[At + Label.size()] != ':') return false;
  for (size_t I = 0; I < Label.size(); ++I) {
    uint8_t C = Bytes[At + I];
    if (C >= 'A' && C <= 'Z') C = static_cast<uint8_t>(C - 'A' + 'a');
    if (C != static_cast<uint8_t>(Label[I])) return false;
  }
  return true;
}

std::string StatMeaning(std::string Word) {
  static const char* const kStates[][2] = {{"ENROUTE", "en route"},      {"DELIVRD", "delivered"},
                                           {"EXPIRED", "expired"},       {"DELETED", "deleted"},
                                           {"UNDELIV", "undeliverable"}, {"ACCEPTD", "accepted"},
                                           {"UNKNOWN", "unknown"},       {"REJECTD", "rejected"}};
  for (char& C : Word)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
  for (const auto& State : kStates)
    if (Word == State[0]) return State[1];
  return "not a receipt state";
}

// "2021-01-01 12:00" for YYMMDDhhmm, with ":ss" for the YYMMDDhhmmss some SMSCs send.
std::string DateMeaning(const std::string& Text) {
  const std::string Wrong = "not a date of the form YYMMDDhhmm";
  if (Text.size() != 10 && Text.size() != 12) return Wrong;
  if (!std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; }))
    return Wrong;
  const auto Two = [&](size_t I) { return (Text[I] - '0') * 10 + (Text[I + 1] - '0'); };
  const int Month = Two(2), Day = Two(4);
  if (Month < 1 || Month > 12 || Day < 1 || Day > 31 || Two(6) > 23 || Two(8) > 59 ||
      (Text.size() == 12 && Two(10) > 59))
    return Wrong;
  std::string Date = "20" + Text.substr(0, 2) + "-" + Text.substr(2, 2) + "-" + Text.substr(4, 2) +
                     " " + Text.substr(6, 2) + ":" + Text.substr(8, 2);
  if (Text.size() == 12) Date += ":" + Text.substr(10, 2);
  return Date;
}

// The receipt fields in Bytes[Start .. End): each label (any case, with its colon) starts the text
// or follows a space, and its value runs to the next space; text: runs to the end. The first
// occurrence of a label counts; the records come in the order of the text.
void DissectReceipt(const uint8_t* Bytes, size_t Start, size_t End, std::vector<TPduField>& Out) {
  static constexpr std::string_view kLabels[] = {"id",        "sub",  "dlvrd", "submit date",
                                                 "done date", "stat", "err",   "text"};
  constexpr size_t kText = std::size(kLabels) - 1;
  bool Seen[std::size(kLabels)] = {};
  size_t Pos = Start;
  while (Pos < End) {
    if (Bytes[Pos] == ' ') {
      ++Pos;
      continue;
    }
    size_t Which = 0;
    while (Which < std::size(kLabels) && !StartsWithLabel(Bytes, Pos, End, kLabels[Which])) ++Which;
    const bool Labelled = Which < std::size(kLabels);
    const size_t ValueStart = Labelled ? Pos + kLabels[Which].size() + 1 : Pos;
    size_t ValueEnd = ValueStart;
    if (Labelled && Which == kText) {
      ValueEnd = End;
    } else {
      while (ValueEnd < End && Bytes[ValueEnd] != ' ') ++ValueEnd;
    }
    if (Labelled && !Seen[Which]) {
      Seen[Which] = true;
      TPduField F = MakeBytesRecord(std::string(kLabels[Which]), TFieldKind::fkText, Bytes,
                                    ValueStart, ValueEnd - ValueStart);
      if (kLabels[Which] == "stat") F.Meaning = StatMeaning(F.Text);
      if (kLabels[Which].ends_with("date")) F.Meaning = DateMeaning(F.Text);
      Out.push_back(std::move(F));
    }
    Pos = ValueEnd;
  }
}

}  // namespace

void DissectUserData(const uint8_t* Bytes, size_t Offset, size_t Length, uint8_t EsmClass,
                     uint8_t DataCoding, TPduField& Field) {
  const size_t End = Offset + Length;
  size_t TextStart = Offset;
  if (EsmClass & kEsmUdhi) {
    if (Length == 0) {
      TPduField G;
      G.Name = "user_data_header";
      G.Offset = static_cast<uint32_t>(Offset);
      G.Fields.push_back(MakeErrorRecord(Offset, "UDHI is set but the user data is empty"));
      Field.Fields.push_back(std::move(G));
      return;
    }
    Field.Fields.push_back(DissectHeader(Bytes, Offset, End));
    // The text follows the header; a header cut short leaves none.
    TextStart = std::min(End, Offset + 1 + size_t{Bytes[Offset]});
  }
  if (IsReceipt(EsmClass) && DataCoding != kDataCodingUcs2)
    DissectReceipt(Bytes, TextStart, End, Field.Fields);
}
