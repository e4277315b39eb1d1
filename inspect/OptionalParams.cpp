// Optional parameters: the tag-length-value walk after the mandatory fields, every tag SMPP 3.4
// defines with its name, type and the meanings of its values, and the split of the structured
// octet strings (network_error_code, callback_num, subaddresses, its_session_info) into their
// parts.
//
// A parameter whose length does not suit its type is still a whole parameter: the walk goes on, and
// the record shows its octets with a meaning that says the length is wrong. Only a parameter that
// runs past the end breaks the walk.
#include "inspect/OptionalParams.h"

#include <iterator>

#include "inspect/FieldMeanings.h"
#include "inspect/FieldRecords.h"
#include "inspect/UserData.h"
#include "smpp/smpppdu.h"

namespace {

// How the value of a parameter is read.
//   ptInteger        an unsigned integer of one of the sizes the parameter allows
//   ptCString        a C-Octet string: the text up to its terminating zero
//   ptOctets         octets as sent
//   ptAlert          no value, or (as later versions send it) a one-octet alert level
//   ptNetworkError   network type (1 octet) and error code (2 octets)
//   ptCallbackNum    digit mode, TON, NPI and the number's digits
//   ptCallbackAtag   data coding (1 octet) and the display characters
//   ptSubaddress     subaddress type (1 octet) and the subaddress
//   ptSessionInfo    session number (1 octet), sequence number and end-of-session bit (1 octet)
enum class TParamType : uint8_t {
  ptInteger,
  ptCString,
  ptOctets,
  ptAlert,
  ptNetworkError,
  ptCallbackNum,
  ptCallbackAtag,
  ptSubaddress,
  ptSessionInfo
};

// The sizes an integer parameter may have, one bit per octet count.
constexpr uint8_t kSize1 = 1 << 1;
constexpr uint8_t kSize2 = 1 << 2;
constexpr uint8_t kSize4 = 1 << 4;

using TMeaningOf = std::string (*)(uint64_t);

struct TParamDef {
  uint16_t Tag;
  const char* Name;
  TParamType Type;
  uint8_t Sizes;  // ptInteger: the octet counts it allows
  TMeaningOf Meaning;
};

// What the values of the enumerated parameters mean. A value with no name in its table is one that
// SMPP 3.4 reserves.
const char* const kSubunits[] = {"unknown", "MS display", "mobile equipment", "smart card 1 (SIM)",
                                 "external unit 1"};
const char* const kNetworkTypes[] = {"unknown", "GSM",  "ANSI-136/TDMA", "IS-95/CDMA",    "PDC",
                                     "PHS",     "iDEN", "AMPS",          "paging network"};
const char* const kBearerTypes[] = {"unknown",     "SMS",         "circuit switched data",
                                    "packet data", "USSD",        "CDPD",
                                    "DataTAC",     "FLEX/ReFLEX", "cell broadcast"};
const char* const kPayloadTypes[] = {"WDP message", "WCMP message"};
const char* const kPrivacy[] = {"not restricted", "restricted", "confidential", "secret"};
const char* const kLanguages[] = {"unspecified", "English", "French",
                                  "Spanish",     "German",  "Portuguese"};
const char* const kDpfResults[] = {"DPF not set", "DPF set"};
const char* const kSetDpf[] = {"DPF not requested", "DPF requested"};
const char* const kMsAvailability[] = {"available", "denied", "unavailable"};
const char* const kDeliveryFailures[] = {"destination unavailable", "destination address invalid",
                                         "permanent network error", "temporary network error"};
const char* const kMoreMessages[] = {"no more messages to follow", "more messages to follow"};
const char* const kDisplayTimes[] = {"temporary", "default", "invoke"};
const char* const kMsValidity[] = {"store indefinitely", "power down",
                                   "SID based registration area", "display only"};
const char* const kItsReplyTypes[] = {"digit",    "number",         "telephone no.",
                                      "password", "character line", "menu",
                                      "date",     "time",           "continue"};
const char* const kAlertLevels[] = {"use mobile default alert", "low priority alert",
                                    "medium priority alert", "high priority alert"};
const char* const kErrorNetworkTypes[] = {nullptr,
                                          "ANSI-136 access denied reason",
                                          "IS-95 access denied reason",
                                          "GSM",
                                          "ANSI-136 cause code",
                                          "IS-95 cause code",
                                          "ANSI-41 error",
                                          "SMPP error",
                                          "message center specific"};
const char* const kDigitModes[] = {"TBCD", "ASCII"};

std::string UssdServiceOpMeaning(uint64_t Value) {
  static const char* const kOps[] = {
      "PSSD indication", "PSSR indication", "USSR request",  "USSN request", nullptr,
      nullptr,           nullptr,           nullptr,         nullptr,        nullptr,
      nullptr,           nullptr,           nullptr,         nullptr,        nullptr,
      nullptr,           "PSSD response",   "PSSR response", "USSR confirm", "USSN confirm"};
  return PickMeaning(Value, kOps, Value >= 32 ? "vendor specific" : "reserved");
}

// Bit 7: the indication is set or cleared; bits 1 and 0: which kind of message waits.
std::string MsgWaitMeaning(uint64_t Value) {
  static const char* const kKinds[] = {"voicemail", "fax", "electronic mail", "other"};
  return std::string(Value & 0x80 ? "indication active; " : "indication inactive; ") +
         kKinds[Value & 3] + " message waiting";
}

// Bits 3 and 2: presentation; bits 1 and 0: screening.
std::string PresentationMeaning(uint64_t Value) {
  static const char* const kPresentation[] = {"presentation allowed", "presentation restricted",
                                              "number not available", "reserved"};
  static const char* const kScreening[] = {
      "user provided, not screened", "user provided, verified and passed",
      "user provided, verified and failed", "network provided"};
  return std::string(kPresentation[(Value >> 2) & 3]) + "; " + kScreening[Value & 3];
}

// The meanings shared with the fields of the body, for parameters of one octet.
template <std::string (*Meaning)(uint8_t)>
std::string ByteMeaning(uint64_t Value) {
  return Meaning(static_cast<uint8_t>(Value));
}

template <const auto& Names>
std::string TableMeaning(uint64_t Value) {
  return PickMeaning(Value, Names);
}

const TParamDef kParams[] = {
    {0x0005, "dest_addr_subunit", TParamType::ptInteger, kSize1, TableMeaning<kSubunits>},
    {0x0006, "dest_network_type", TParamType::ptInteger, kSize1, TableMeaning<kNetworkTypes>},
    {0x0007, "dest_bearer_type", TParamType::ptInteger, kSize1, TableMeaning<kBearerTypes>},
    {0x0008, "dest_telematics_id", TParamType::ptInteger, kSize2, nullptr},
    {0x000D, "source_addr_subunit", TParamType::ptInteger, kSize1, TableMeaning<kSubunits>},
    {0x000E, "source_network_type", TParamType::ptInteger, kSize1, TableMeaning<kNetworkTypes>},
    {0x000F, "source_bearer_type", TParamType::ptInteger, kSize1, TableMeaning<kBearerTypes>},
    // One octet by the definition, two as several implementations send it: both are read.
    {0x0010, "source_telematics_id", TParamType::ptInteger, kSize1 | kSize2, nullptr},
    {0x0017, "qos_time_to_live", TParamType::ptInteger, kSize4, nullptr},
    {0x0019, "payload_type", TParamType::ptInteger, kSize1, TableMeaning<kPayloadTypes>},
    {0x001D, "additional_status_info_text", TParamType::ptCString, 0, nullptr},
    {0x001E, "receipted_message_id", TParamType::ptCString, 0, nullptr},
    {0x0030, "ms_msg_wait_facilities", TParamType::ptInteger, kSize1, MsgWaitMeaning},
    {0x0201, "privacy_indicator", TParamType::ptInteger, kSize1, TableMeaning<kPrivacy>},
    {0x0202, "source_subaddress", TParamType::ptSubaddress, 0, nullptr},
    {0x0203, "dest_subaddress", TParamType::ptSubaddress, 0, nullptr},
    {0x0204, "user_message_reference", TParamType::ptInteger, kSize2, nullptr},
    {0x0205, "user_response_code", TParamType::ptInteger, kSize1, nullptr},
    {0x020A, "source_port", TParamType::ptInteger, kSize2, nullptr},
    {0x020B, "destination_port", TParamType::ptInteger, kSize2, nullptr},
    {0x020C, "sar_msg_ref_num", TParamType::ptInteger, kSize2, nullptr},
    {0x020D, "language_indicator", TParamType::ptInteger, kSize1, TableMeaning<kLanguages>},
    {0x020E, "sar_total_segments", TParamType::ptInteger, kSize1, nullptr},
    {0x020F, "sar_segment_seqnum", TParamType::ptInteger, kSize1, nullptr},
    {0x0210, "sc_interface_version", TParamType::ptInteger, kSize1,
     ByteMeaning<InterfaceVersionMeaning>},
    {0x0302, "callback_num_pres_ind", TParamType::ptInteger, kSize1, PresentationMeaning},
    {0x0303, "callback_num_atag", TParamType::ptCallbackAtag, 0, nullptr},
    {0x0304, "number_of_messages", TParamType::ptInteger, kSize1, nullptr},
    {0x0381, "callback_num", TParamType::ptCallbackNum, 0, nullptr},
    {0x0420, "dpf_result", TParamType::ptInteger, kSize1, TableMeaning<kDpfResults>},
    {0x0421, "set_dpf", TParamType::ptInteger, kSize1, TableMeaning<kSetDpf>},
    {0x0422, "ms_availability_status", TParamType::ptInteger, kSize1,
     TableMeaning<kMsAvailability>},
    {0x0423, "network_error_code", TParamType::ptNetworkError, 0, nullptr},
    {0x0424, "message_payload", TParamType::ptOctets, 0, nullptr},
    {0x0425, "delivery_failure_reason", TParamType::ptInteger, kSize1,
     TableMeaning<kDeliveryFailures>},
    {0x0426, "more_messages_to_send", TParamType::ptInteger, kSize1, TableMeaning<kMoreMessages>},
    {0x0427, "message_state", TParamType::ptInteger, kSize1, ByteMeaning<MessageStateName>},
    {0x0501, "ussd_service_op", TParamType::ptInteger, kSize1, UssdServiceOpMeaning},
    {0x1201, "display_time", TParamType::ptInteger, kSize1, TableMeaning<kDisplayTimes>},
    {0x1203, "sms_signal", TParamType::ptInteger, kSize2, nullptr},
    {0x1204, "ms_validity", TParamType::ptInteger, kSize1, TableMeaning<kMsValidity>},
    {0x130C, "alert_on_message_delivery", TParamType::ptAlert, 0, nullptr},
    {0x1380, "its_reply_type", TParamType::ptInteger, kSize1, TableMeaning<kItsReplyTypes>},
    {0x1383, "its_session_info", TParamType::ptSessionInfo, 0, nullptr},
};

const TParamDef* FindParam(uint16_t Tag) {
  for (const TParamDef& Def : kParams)
    if (Def.Tag == Tag) return &Def;
  return nullptr;
}

// "1", "1 or 2": the octet counts of a size mask.
std::string SizesText(uint8_t Sizes) {
  std::string Text;
  for (unsigned N = 0; N < 8; ++N) {
    if (!(Sizes & (1u << N))) continue;
    if (!Text.empty()) Text += " or ";
    Text += std::to_string(N);
  }
  return Text;
}

// Appends the integer part of Size octets at Bytes[Offset] to Record.
void AddInteger(TPduField& Record, const char* Name, const uint8_t* Bytes, size_t Offset,
                size_t Size, std::string Meaning = {}) {
  Record.Fields.push_back(MakeIntegerRecord(Name, Offset, Size, ReadBigEndian(Bytes, Offset, Size),
                                            std::move(Meaning)));
}

// The parts of a structured octet string whose value is Bytes[Value .. Value + Length), already
// checked to be long enough for its fixed parts.
void AddParts(TParamType Type, const uint8_t* Bytes, size_t Value, size_t Length,
              TPduField& Record) {
  switch (Type) {
    case TParamType::ptNetworkError:
      AddInteger(Record, "network type", Bytes, Value, 1,
                 PickMeaning(Bytes[Value], kErrorNetworkTypes));
      AddInteger(Record, "error code", Bytes, Value + 1, 2);
      break;
    case TParamType::ptCallbackNum:
      AddInteger(Record, "digit mode indicator", Bytes, Value, 1,
                 PickMeaning(Bytes[Value], kDigitModes));
      AddInteger(Record, "addr_ton", Bytes, Value + 1, 1, TonMeaning(Bytes[Value + 1]));
      AddInteger(Record, "addr_npi", Bytes, Value + 2, 1, NpiMeaning(Bytes[Value + 2]));
      Record.Fields.push_back(
          MakeBytesRecord("number_digits", TFieldKind::fkText, Bytes, Value + 3, Length - 3));
      break;
    case TParamType::ptCallbackAtag:
      AddInteger(Record, "data_coding", Bytes, Value, 1);
      Record.Fields.push_back(MakeBytesRecord("display characters", TFieldKind::fkOctets, Bytes,
                                              Value + 1, Length - 1));
      break;
    case TParamType::ptSubaddress: {
      const uint8_t Kind = Bytes[Value];
      AddInteger(Record, "type", Bytes, Value, 1,
                 Kind == 0x80   ? "NSAP (even)"
                 : Kind == 0x88 ? "NSAP (odd)"
                 : Kind == 0xA0 ? "user specified"
                                : "reserved");
      Record.Fields.push_back(
          MakeBytesRecord("subaddress", TFieldKind::fkOctets, Bytes, Value + 1, Length - 1));
      break;
    }
    case TParamType::ptSessionInfo: {
      AddInteger(Record, "session number", Bytes, Value, 1);
      const uint8_t Octet = Bytes[Value + 1];
      Record.Fields.push_back(MakeIntegerRecord("sequence number", Value + 1, 1, Octet >> 1));
      Record.Fields.push_back(MakeIntegerRecord("end of session", Value + 1, 1, Octet & 1,
                                                Octet & 1 ? "end of session" : "session goes on"));
      break;
    }
    default:
      break;
  }
}

// The shortest value a structured octet string may have, and whether that is also its only size.
struct TPartsSize {
  size_t Min;
  bool Exact;
};

TPartsSize PartsSize(TParamType Type) {
  switch (Type) {
    case TParamType::ptNetworkError:
      return {3, true};
    case TParamType::ptCallbackNum:
      return {4, false};
    case TParamType::ptSubaddress:
      return {2, false};
    case TParamType::ptSessionInfo:
      return {2, true};
    default:
      return {1, false};
  }
}

// The record of the parameter whose tag is at Bytes[Offset] and whose Length octets of value
// follow its header; the caller has checked that they exist.
TPduField DissectParam(const uint8_t* Bytes, size_t Offset, uint16_t Tag, size_t Length) {
  const TParamDef* Def = FindParam(Tag);
  const size_t Value = Offset + 4;
  TPduField F = MakeBytesRecord(Def ? Def->Name : MakeHexName(Tag, 4), TFieldKind::fkOctets, Bytes,
                                Value, Length);
  F.Offset = static_cast<uint32_t>(Offset);
  F.Length = static_cast<uint32_t>(4 + Length);
  if (!Def) {
    F.Meaning = "unknown tag";
    return F;
  }
  switch (Def->Type) {
    case TParamType::ptInteger:
      if (Length > 8 || !(Def->Sizes & (1u << Length))) {
        F.Meaning = WrongLengthText(Length, SizesText(Def->Sizes));
        break;
      }
      F.Kind = TFieldKind::fkInteger;
      F.Text.clear();
      F.Integer = ReadBigEndian(Bytes, Value, Length);
      if (Def->Meaning) F.Meaning = Def->Meaning(F.Integer);
      break;
    case TParamType::ptAlert:
      if (Length == 0) {
        F.Meaning = "alert the user on delivery";
      } else if (Length == 1) {
        F.Kind = TFieldKind::fkInteger;
        F.Text.clear();
        F.Integer = Bytes[Value];
        F.Meaning = PickMeaning(F.Integer, kAlertLevels);
      } else {
        F.Meaning = WrongLengthText(Length, "0 or 1");
      }
      break;
    case TParamType::ptCString: {
      F.Kind = TFieldKind::fkText;
      const size_t Zero = F.Text.find('\0');
      if (Zero == std::string::npos) {
        F.Meaning = "not terminated by a zero octet";
      } else {
        // Octets after the terminator belong to no field; the length says they are there.
        if (Zero + 1 < F.Text.size()) F.Meaning = "octets follow the terminating zero";
        F.Text.resize(Zero);
      }
      break;
    }
    case TParamType::ptOctets:
      break;
    default: {
      const TPartsSize Size = PartsSize(Def->Type);
      if (Length < Size.Min || (Size.Exact && Length != Size.Min)) {
        F.Meaning =
            WrongLengthText(Length, (Size.Exact ? "" : "at least ") + std::to_string(Size.Min));
        break;
      }
      AddParts(Def->Type, Bytes, Value, Length, F);
      break;
    }
  }
  return F;
}

}  // namespace

void DissectOptionalParams(const uint8_t* Bytes, size_t Offset, size_t End,
                           std::vector<TPduField>& Out, uint8_t EsmClass, uint8_t DataCoding) {
  while (Offset < End) {
    const size_t Left = End - Offset;
    if (Left < 4) {
      Out.push_back(
          MakeErrorRecord(Offset, OctetCountText(Left) +
                                      " left where an optional parameter needs 4 for its tag and "
                                      "length"));
      return;
    }
    const uint16_t Tag = GetU16(Bytes + Offset);
    const size_t Length = GetU16(Bytes + Offset + 2);
    if (Length > Left - 4) {
      const std::string Name = OptionalParamName(Tag);
      Out.push_back(MakeErrorRecord(Offset, "optional parameter " + MakeHexName(Tag, 4) +
                                                (Name.empty() ? "" : " (" + Name + ")") + " says " +
                                                OctetCountText(Length) + ", only " +
                                                std::to_string(Left - 4) +
                                                (Left - 4 == 1 ? " remains" : " remain")));
      return;
    }
    Out.push_back(DissectParam(Bytes, Offset, Tag, Length));
    if (Tag == kTagMessagePayload)
      DissectUserData(Bytes, Offset + 4, Length, EsmClass, DataCoding, Out.back());
    Offset += 4 + Length;
  }
}

std::string OptionalParamName(uint16_t Tag) {
  const TParamDef* Def = FindParam(Tag);
  return Def ? Def->Name : std::string();
}

int32_t OptionalParamTag(std::string_view Name) {
  for (const TParamDef& Def : kParams)
    if (Name == Def.Name) return Def.Tag;
  return -1;
}
