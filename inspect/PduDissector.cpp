// The dissector: walks one PDU field by field along the layout its command has in SMPP 3.4, giving
// each field a record with its name, place, value and meaning. The layouts are tables of fields,
// so that a command's fields read in one place and the walk is the same for every command.
//
// Where the bytes end: the PDU is Bytes[0 .. min(Size, command_length)). Octets after
// command_length belong to whatever follows the PDU (the next one on a stream): they are not read,
// and the command_length record says how many there are. Octets missing before command_length
// (a PDU cut short) or fields that do not fit in it give the error record, after every field read
// before it. The walk stops at the first error, so the error record is always the last field.
// A command_length below 16 still shows the header fields that lie within it (and command_length
// itself, which must be read to be judged).
#include "inspect/PduDissector.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "inspect/FieldMeanings.h"
#include "inspect/OptionalParams.h"
#include "inspect/UserData.h"
#include "smpp/smpppdu.h"

namespace {

using TMeaning = std::string (*)(uint8_t);

// How a mandatory field is read.
enum class TStep : uint8_t {
  stInteger,        // one octet; its meaning from the definition's Meaning, if any
  stEsmClass,       // one octet, kept for the short message's user data
  stDataCoding,     // one octet, kept likewise
  stStatus,         // four octets, a command_status value (error_status_code)
  stText,           // a C-Octet string of at most Max octets with its terminator
  stTime,           // a time: empty (one octet) or 17 octets with the terminator
  stMessage,        // sm_length, then short_message of that many octets
  stDestAddresses,  // number_of_dests, then one dest_address group per destination
  stUnsuccessSmes,  // no_unsuccess, then one unsuccess_sme group per destination refused
};
using enum TStep;

// The names are views, so that a record takes its name without a search for the end.
struct TFieldDef {
  std::string_view Name;
  TStep Step;
  uint8_t Max = 0;
  TMeaning Meaning = nullptr;
};
using TFields = std::span<const TFieldDef>;

// Runs of fields that several commands share, named for what they hold.
constexpr TFieldDef kServiceType[] = {{"service_type", stText, 6}};
constexpr TFieldDef kMessageId[] = {{"message_id", stText, 65}};
constexpr TFieldDef kSource[] = {{"source_addr_ton", stInteger, 0, TonMeaning},
                                 {"source_addr_npi", stInteger, 0, NpiMeaning},
                                 {"source_addr", stText, 21}};
constexpr TFieldDef kDest[] = {{"dest_addr_ton", stInteger, 0, TonMeaning},
                               {"dest_addr_npi", stInteger, 0, NpiMeaning},
                               {"destination_addr", stText, 21}};
// data_sm and alert_notification take addresses of up to 65 octets.
constexpr TFieldDef kSource65[] = {{"source_addr_ton", stInteger, 0, TonMeaning},
                                   {"source_addr_npi", stInteger, 0, NpiMeaning},
                                   {"source_addr", stText, 65}};
constexpr TFieldDef kDest65[] = {{"dest_addr_ton", stInteger, 0, TonMeaning},
                                 {"dest_addr_npi", stInteger, 0, NpiMeaning},
                                 {"destination_addr", stText, 65}};
constexpr TFieldDef kEsmeAddr[] = {{"esme_addr_ton", stInteger, 0, TonMeaning},
                                   {"esme_addr_npi", stInteger, 0, NpiMeaning},
                                   {"esme_addr", stText, 65}};
constexpr TFieldDef kSystemId[] = {{"system_id", stText, 16}};
constexpr TFieldDef kPassword[] = {{"password", stText, 9}};
constexpr TFieldDef kBindTail[] = {{"system_type", stText, 13},
                                   {"interface_version", stInteger, 0, InterfaceVersionMeaning},
                                   {"addr_ton", stInteger, 0, TonMeaning},
                                   {"addr_npi", stInteger, 0, NpiMeaning},
                                   {"address_range", stText, 41}};
constexpr TFieldDef kDestAddresses[] = {{"number_of_dests", stDestAddresses}};
// submit_sm, deliver_sm and submit_multi from esm_class on.
constexpr TFieldDef kSubmitTail[] = {
    {"esm_class", stEsmClass},
    {"protocol_id", stInteger},
    {"priority_flag", stInteger, 0, PriorityFlagMeaning},
    {"schedule_delivery_time", stTime},
    {"validity_period", stTime},
    {"registered_delivery", stInteger, 0, RegisteredDeliveryMeaning},
    {"replace_if_present_flag", stInteger, 0, ReplaceIfPresentMeaning},
    {"data_coding", stDataCoding},
    {"sm_default_msg_id", stInteger},
    {"sm_length", stMessage}};
constexpr TFieldDef kDataSmTail[] = {
    {"esm_class", stEsmClass},
    {"registered_delivery", stInteger, 0, RegisteredDeliveryMeaning},
    {"data_coding", stDataCoding}};
constexpr TFieldDef kQuerySmRespTail[] = {{"final_date", stTime},
                                          {"message_state", stInteger, 0, MessageStateName},
                                          {"error_code", stInteger}};
constexpr TFieldDef kReplaceSmTail[] = {
    {"schedule_delivery_time", stTime},
    {"validity_period", stTime},
    {"registered_delivery", stInteger, 0, RegisteredDeliveryMeaning},
    {"sm_default_msg_id", stInteger},
    {"sm_length", stMessage}};
constexpr TFieldDef kUnsuccessSmes[] = {{"no_unsuccess", stUnsuccessSmes}};
// What one destination of each kind holds.
constexpr TFieldDef kDistributionList[] = {{"dl_name", stText, 21}};
constexpr TFieldDef kUnsuccessSme[] = {{"dest_addr_ton", stInteger, 0, TonMeaning},
                                       {"dest_addr_npi", stInteger, 0, NpiMeaning},
                                       {"destination_addr", stText, 21},
                                       {"error_status_code", stStatus}};

// A command's body: its mandatory fields in runs, and whether optional parameters may follow.
struct TLayout {
  uint32_t CommandId;
  TFields Runs[4];
  bool OptionalParams = false;
};

constexpr TLayout kLayouts[] = {
    {kBindTransmitter, {kSystemId, kPassword, kBindTail}},
    {kBindReceiver, {kSystemId, kPassword, kBindTail}},
    {kBindTransceiver, {kSystemId, kPassword, kBindTail}},
    {kBindTransmitterResp, {kSystemId}, true},
    {kBindReceiverResp, {kSystemId}, true},
    {kBindTransceiverResp, {kSystemId}, true},
    {kOutbind, {kSystemId, kPassword}},
    {kSubmitSm, {kServiceType, kSource, kDest, kSubmitTail}, true},
    {kDeliverSm, {kServiceType, kSource, kDest, kSubmitTail}, true},
    {kSubmitMulti, {kServiceType, kSource, kDestAddresses, kSubmitTail}, true},
    {kDataSm, {kServiceType, kSource65, kDest65, kDataSmTail}, true},
    {kSubmitSmResp, {kMessageId}},
    {kDeliverSmResp, {kMessageId}},
    {kDataSmResp, {kMessageId}, true},
    {kSubmitMultiResp, {kMessageId, kUnsuccessSmes}},
    {kQuerySm, {kMessageId, kSource}},
    {kQuerySmResp, {kMessageId, kQuerySmRespTail}},
    {kCancelSm, {kServiceType, kMessageId, kSource, kDest}},
    {kReplaceSm, {kMessageId, kSource, kReplaceSmTail}},
    {kAlertNotification, {kSource65, kEsmeAddr}, true},
    {kUnbind, {}},
    {kUnbindResp, {}},
    {kEnquireLink, {}},
    {kEnquireLinkResp, {}},
    {kGenericNack, {}},
    {kCancelSmResp, {}},
    {kReplaceSmResp, {}},
};

const TLayout* FindLayout(uint32_t CommandId) {
  for (const TLayout& Layout : kLayouts)
    if (Layout.CommandId == CommandId) return &Layout;
  return nullptr;
}

// The largest short_message SMPP 3.4 allows; longer user data goes in message_payload.
constexpr size_t kMaxShortMessage = 254;
constexpr uint32_t kResponseBit = 0x80000000u;

// One walk over one PDU. Records go to the root's fields or to a group's; the error record waits
// in FError until the walk ends, so that it lands after everything read.
class TDissector {
 public:
  TDissector(const uint8_t* Bytes, size_t Size, TPduField& Root) noexcept
      : FBytes(Bytes), FSize(Size), FRoot(Root) {}

  void Run() {
    FRoot.Name = "unknown command";
    FRoot.Fields.reserve(32);
    if (FSize < 4) {
      FEnd = FSize;
      Fail(0, "the PDU ends at octet " + std::to_string(FSize) + ", within command_length");
    } else {
      FCommandLength = GetU32(FBytes);
      if (ReadHeader()) ReadBody();
    }
    FRoot.Length = static_cast<uint32_t>(FEnd);
    if (FBroken) FRoot.Fields.push_back(std::move(FError));
  }

 private:
  // The four header fields; false when the body cannot follow.
  bool ReadHeader() {
    // A command_length below the header's size still lets the fields within it be shown.
    const bool Short = FCommandLength < kPduHeaderLength;
    FEnd = std::min<size_t>(FSize, Short ? std::max<uint32_t>(FCommandLength, 4) : FCommandLength);
    TPduField* Length = Integer(FRoot.Fields, "command_length", 4);
    if (FSize > FCommandLength && !Short)
      Length->Meaning =
          std::to_string(FSize - FCommandLength) + " octets after the PDU not dissected";
    // The header's records are looked at by index: the vector may grow while they are read.
    static constexpr std::string_view kNames[] = {"command_id", "command_status",
                                                  "sequence_number"};
    for (std::string_view Name : kNames)
      if ((Short && FEnd - FPos < 4) || !Integer(FRoot.Fields, Name, 4)) break;
    if (FRoot.Fields.size() > 1) {
      TPduField& Id = FRoot.Fields[1];
      FCommandId = static_cast<uint32_t>(Id.Integer);
      Id.Meaning = CommandName(FCommandId);
      if (!Id.Meaning.empty()) {
        FRoot.Name = Id.Meaning;
      } else {
        const uint32_t Base = FCommandId & ~kResponseBit;
        Id.Meaning = Base >= 0x10200 && Base <= 0x102FF ? "vendor specific" : "reserved";
      }
    }
    if (FRoot.Fields.size() > 2) {
      TPduField& Status = FRoot.Fields[2];
      FCommandStatus = static_cast<uint32_t>(Status.Integer);
      Status.Meaning = CommandStatusName(FCommandStatus);
    }
    if (FBroken) return false;
    if (Short) {
      Fail(0, "command_length " + std::to_string(FCommandLength) +
                  " is less than 16, the length of the header");
      return false;
    }
    // A response refusing its request may come without a body.
    FNoBody = (FCommandId & kResponseBit) && FCommandStatus != 0 && FEnd == kPduHeaderLength &&
              FCommandLength == kPduHeaderLength;
    return true;
  }

  void ReadBody() {
    const TLayout* Layout = FindLayout(FCommandId);
    if (Layout && !FNoBody)
      for (TFields Run : Layout->Runs)
        if (!Walk(Run, FRoot.Fields)) return;
    if (Layout && Layout->OptionalParams) {
      ReadOptionalParams();
    } else if (Layout && FPos < FEnd) {
      Fail(FPos, std::to_string(FEnd - FPos) + " octets after the last field of " + FRoot.Name);
    } else if (FEnd < FCommandLength) {
      FPos = FEnd;
      Fail(FEnd, Ends());
    }
  }

  // Hands the optional parameters on. Of a PDU cut short, only the parameters that are whole are
  // handed on, and the cut is reported here, where command_length is known.
  void ReadOptionalParams() {
    size_t End = FEnd;
    const bool Cut = FEnd < FCommandLength;
    if (Cut) {
      End = FPos;
      while (FEnd - End >= 4 && FEnd - End - 4 >= GetU16(FBytes + End + 2))
        End += 4 + GetU16(FBytes + End + 2);
    }
    DissectOptionalParams(FBytes, FPos, End, FRoot.Fields, FEsmClass, FDataCoding);
    if (!Cut || (!FRoot.Fields.empty() && FRoot.Fields.back().Kind == TFieldKind::fkError)) return;
    FPos = End;
    Fail(End, Ends(End < FEnd ? "an optional parameter" : ""));
  }

  bool Walk(TFields Defs, std::vector<TPduField>& Out) {
    for (const TFieldDef& Def : Defs)
      if (!Field(Def, Out)) return false;
    return true;
  }

  bool Field(const TFieldDef& Def, std::vector<TPduField>& Out) {
    switch (Def.Step) {
      case stText:
        return Text(Def.Name, Def.Max, false, Out);
      case stTime:
        return Text(Def.Name, 17, true, Out);
      case stMessage:
        return Message(Out);
      case stDestAddresses:
      case stUnsuccessSmes:
        return Groups(Def, Out);
      default:
        break;
    }
    TPduField* F = Integer(Out, Def.Name, Def.Step == stStatus ? 4 : 1);
    if (!F) return false;
    const auto Value = static_cast<uint8_t>(F->Integer);
    if (Def.Step == stStatus) {
      F->Meaning = CommandStatusName(static_cast<uint32_t>(F->Integer));
    } else if (Def.Step == stEsmClass) {
      FEsmClass = Value;
      F->Meaning = EsmClassMeaning(Value);
    } else if (Def.Step == stDataCoding) {
      FDataCoding = Value;
      F->Meaning = DataCodingMeaning(Value);
    } else if (Def.Meaning) {
      F->Meaning = Def.Meaning(Value);
    }
    return true;
  }

  // A record for the Length octets at FPos, which the caller has checked to lie within FEnd.
  TPduField& Add(std::vector<TPduField>& Out, std::string_view Name, size_t Length,
                 TFieldKind Kind) {
    TPduField& F = Out.emplace_back();
    F.Name = Name;
    F.Offset = static_cast<uint32_t>(FPos);
    F.Length = static_cast<uint32_t>(Length);
    F.Kind = Kind;
    FPos += Length;
    return F;
  }

  TPduField* Integer(std::vector<TPduField>& Out, std::string_view Name, size_t Octets) {
    if (!Need(Octets, Name)) return nullptr;
    TPduField& F = Add(Out, Name, Octets, TFieldKind::fkInteger);
    F.Integer = Octets == 1 ? FBytes[F.Offset] : GetU32(FBytes + F.Offset);
    return &F;
  }

  // A C-Octet string; a time is one of 1 or 17 octets, anything else of at most Max.
  bool Text(std::string_view Name, size_t Max, bool Time, std::vector<TPduField>& Out) {
    const auto* Start = reinterpret_cast<const char*>(FBytes + FPos);
    const auto* Zero = static_cast<const char*>(std::memchr(Start, 0, FEnd - FPos));
    if (!Zero) {
      // Of a PDU cut short, the terminator may lie in the octets missing.
      Fail(FPos, FEnd < FCommandLength || FPos == FEnd ? Ends(Name)
                                                       : std::string(Name) + " has no terminator");
      return false;
    }
    TPduField& F = Add(Out, Name, static_cast<size_t>(Zero - Start) + 1, TFieldKind::fkText);
    F.Text.assign(Start, Zero);
    if (Time) F.Meaning = TimeMeaning(F.Text);
    if (Time ? F.Length == 1 || F.Length == 17 : F.Length <= Max) return true;
    Fail(F.Offset, std::string(Name) + " is " + std::to_string(F.Length) + " octets, " +
                       (Time ? std::string("1 or 17") : "at most " + std::to_string(Max)) +
                       " allowed");
    return false;
  }

  // sm_length and short_message, whose user data is dissected with the esm_class and data_coding
  // read before it.
  bool Message(std::vector<TPduField>& Out) {
    const TPduField* SmLength = Integer(Out, "sm_length", 1);
    if (!SmLength) return false;
    const size_t N = SmLength->Integer;
    if (N > FCommandLength - FPos) {
      Fail(FPos, "sm_length " + std::to_string(N) + " runs past the end of the PDU: " +
                     std::to_string(FCommandLength - FPos) + " octets left");
      return false;
    }
    if (!Need(N, "short_message")) return false;
    TPduField& M = Add(Out, "short_message", N, TFieldKind::fkOctets);
    M.Text.assign(reinterpret_cast<const char*>(FBytes + M.Offset), N);
    DissectUserData(FBytes, M.Offset, N, FEsmClass, FDataCoding, M);
    if (N <= kMaxShortMessage) return true;
    Fail(M.Offset, "short_message is " + std::to_string(N) + " octets, at most " +
                       std::to_string(kMaxShortMessage) + " allowed");
    return false;
  }

  // A count, then that many groups: the destinations of a submit_multi or those its response
  // reports refused.
  bool Groups(const TFieldDef& Def, std::vector<TPduField>& Out) {
    const TPduField* Count = Integer(Out, Def.Name, 1);
    if (!Count) return false;
    const bool Dests = Def.Step == stDestAddresses;
    const size_t N = Count->Integer;  // read before the groups move Out's records
    for (size_t I = 0; I < N; ++I) {
      TPduField Group;
      Group.Name = Dests ? "dest_address" : "unsuccess_sme";
      Group.Offset = static_cast<uint32_t>(FPos);
      const bool Ok = Dests ? DestAddress(Group.Fields) : Walk(kUnsuccessSme, Group.Fields);
      Group.Length = static_cast<uint32_t>(FPos - Group.Offset);
      if (!Group.Fields.empty()) Out.push_back(std::move(Group));
      if (!Ok) return false;
    }
    return true;
  }

  bool DestAddress(std::vector<TPduField>& Out) {
    static constexpr TFieldDef kFlag = {"dest_flag", stInteger, 0, DestFlagMeaning};
    if (!Field(kFlag, Out)) return false;
    const uint64_t Flag = Out.back().Integer;
    if (Flag == 1) return Walk(kDest, Out);
    if (Flag == 2) return Walk(kDistributionList, Out);
    Fail(Out.back().Offset, "dest_flag " + std::to_string(Flag) +
                                " is neither 1 (SME address) nor 2 (distribution list)");
    return false;
  }

  // True when N octets lie at FPos; otherwise the error says where the PDU ends.
  bool Need(size_t N, std::string_view Name) {
    if (FEnd - FPos >= N) return true;
    Fail(FPos, Ends(Name));
    return false;
  }

  // Where the PDU ends, seen from FPos, for the field Name (empty: at the end of the last field).
  std::string Ends(std::string_view Name = {}) const {
    std::string Where;
    if (!Name.empty()) Where.append(FPos < FEnd ? " within " : " before ").append(Name);
    if (FEnd < FCommandLength)
      return "the PDU ends at octet " + std::to_string(FEnd) + (Name.empty() ? "" : ",") + Where +
             ": command_length says " + std::to_string(FCommandLength);
    return "command_length " + std::to_string(FCommandLength) + " ends the PDU" + Where;
  }

  void Fail(size_t Offset, std::string Meaning) {
    FBroken = true;
    FError.Name = "error";
    FError.Offset = static_cast<uint32_t>(Offset);
    FError.Kind = TFieldKind::fkError;
    FError.Meaning = std::move(Meaning);
  }

  const uint8_t* FBytes;
  size_t FSize;
  TPduField& FRoot;
  size_t FEnd = 0;  // the end of what may be read: Size or command_length, whichever is smaller
  size_t FPos = 0;
  uint32_t FCommandLength = 0;
  uint32_t FCommandId = 0;
  uint32_t FCommandStatus = 0;
  bool FNoBody = false;
  uint8_t FEsmClass = 0;
  uint8_t FDataCoding = 0;
  bool FBroken = false;
  TPduField FError;
};

}  // namespace

TPduField DissectPdu(const uint8_t* Bytes, size_t Size) {
  TPduField Root;
  TDissector(Bytes, Size, Root).Run();
  return Root;
}
