// Tests of the dissector: the fields of every command with their places and meanings, what our own
// encoder writes, and broken bytes, each dissected from a heap buffer of exactly the bytes given.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "inspect/FieldJson.h"
#include "inspect/FieldMeanings.h"
#include "inspect/PduDissector.h"
#include "smpp/smpppdu.h"
#include "tests/smpp/PduTestUtil.h"

namespace {

// Dissects a copy of the first Size bytes of Pdu, so that the sanitizer build catches any read
// past them.
TPduField Dissect(const Bytes& Pdu, size_t Size = SIZE_MAX) {
  const Bytes Exact(Pdu.begin(), Pdu.begin() + std::min(Size, Pdu.size()));
  return DissectPdu(Exact.data(), Exact.size());
}

std::string Flat(const TPduField& F, bool Place = false);

// Records as "name=value (meaning)", separated by blanks, from the record First on.
std::string Flat(const std::vector<TPduField>& Fields, bool Place = false, size_t First = 0) {
  std::string S;
  for (size_t I = First; I < Fields.size(); ++I)
    S += (S.empty() ? "" : " ") + Flat(Fields[I], Place);
  return S;
}

// A record and the groups inside it; what the user data holds is not this dissector's to test.
std::string Flat(const TPduField& F, bool Place) {
  std::string S = F.Name;
  if (Place || F.Kind == TFieldKind::fkError) S += "@" + std::to_string(F.Offset);
  if (Place) S += "+" + std::to_string(F.Length);
  if (F.Kind == TFieldKind::fkError) return S + ": " + F.Meaning;
  if (F.Kind == TFieldKind::fkInteger) S += "=" + std::to_string(F.Integer);
  if (F.Kind == TFieldKind::fkText || F.Kind == TFieldKind::fkOctets) S += "='" + F.Text + "'";
  if (F.Kind == TFieldKind::fkGroup) S += "{" + Flat(F.Fields, Place) + "}";
  return F.Meaning.empty() ? S : S + " (" + F.Meaning + ")";
}

// The command's name and its body's fields (the header left out).
std::string Body(const TPduField& Root) {
  return Root.Name + ":" + (Root.Fields.size() > 4 ? " " + Flat(Root.Fields, false, 4) : "");
}

const std::string kIntl = "1 (International)", kIsdn = "1 (ISDN (E163/E164))";

// The header: the command's name, and the meanings of command_length, command_id and
// command_status.
TEST(PduDissector, HeaderFields) {
  Bytes Trailing = PduOf(kEnquireLink, 0, 9);
  Trailing.insert(Trailing.end(), {1, 2, 3});
  const std::pair<Bytes, std::string> Cases[] = {
      {PduOf(kGenericNack, kThrottled, 7), "generic_nack: /generic_nack/ESME_RTHROTTLED"},
      {PduOf(kUnbindResp, 0x400, 1), "unbind_resp: /unbind_resp/vendor specific"},
      {PduOf(0x10, 9, 1), "unknown command: /reserved/reserved"},
      {PduOf(0x80010200, 0, 1), "unknown command: /vendor specific/ESME_ROK"},
      {Trailing, "enquire_link: 3 octets after the PDU not dissected/enquire_link/ESME_ROK"},
  };
  for (const auto& [Pdu, Expected] : Cases) {
    SCOPED_TRACE(Expected);
    const TPduField Root = Dissect(Pdu);
    const std::vector<TPduField>& F = Root.Fields;
    EXPECT_EQ(Root.Name + ": " + F[0].Meaning + "/" + F[1].Meaning + "/" + F[2].Meaning, Expected);
    EXPECT_EQ(Root.Length, 16u);
  }
}

// Every command's body, field by field, with the meanings of its values.
TEST(PduDissector, FieldsOfEveryCommand) {
  const std::string Submit =
      "service_type='CMT' source_addr_ton=" + kIntl + " source_addr_npi=" + kIsdn +
      " source_addr='447700900123' dest_addr_ton=0 (Unknown) dest_addr_npi=" + kIsdn +
      " destination_addr='1234' ";
  const std::string SubmitWire = "'CMT' 00 01 01 '447700900123' 00 00 01 '1234' 00 ";
  const std::pair<Bytes, std::string> Cases[] = {
      {PduOf(kBindTransmitter, 0, 1, Wire("'smppclient1' 00 'pwd' 00 'VMA' 00 34 01 01 '12*' 00")),
       "bind_transmitter: system_id='smppclient1' password='pwd' system_type='VMA' "
       "interface_version=52 (3.4) addr_ton=" +
           kIntl + " addr_npi=" + kIsdn + " address_range='12*'"},
      {PduOf(kBindReceiver, 0, 1, Wire("'a' 00 00 00 33 05 0A 00")),
       "bind_receiver: system_id='a' password='' system_type='' interface_version=51 (3.3 or "
       "earlier) addr_ton=5 (Alphanumeric) addr_npi=10 (ERMES) address_range=''"},
      {PduOf(kBindTransceiver, 0, 1, Wire("'a' 00 00 00 51 02 12 00")),
       "bind_transceiver: system_id='a' password='' system_type='' interface_version=81 (later "
       "than 3.4) addr_ton=2 (National) addr_npi=18 (WAP Client Id) address_range=''"},
      {PduOf(kBindTransmitterResp, 0, 1, Wire("'SMSC' 00")),
       "bind_transmitter_resp: system_id='SMSC'"},
      {PduOf(kBindReceiverResp, 0x0D, 1), "bind_receiver_resp:"},
      {PduOf(kBindTransceiverResp, 0, 1, Wire("'SMSC' 00")),
       "bind_transceiver_resp: system_id='SMSC'"},
      {PduOf(kOutbind, 0, 1, Wire("'SMSC' 00 'pw' 00")), "outbind: system_id='SMSC' password='pw'"},
      {PduOf(kSubmitSm, 0, 1,
             Wire(SubmitWire + "03 00 03 '260102030405608+' 00 '000001020000000R' 00 11 01 03 00 "
                               "02 'Hi'")),
       "submit_sm: " + Submit +
           "esm_class=3 (store and forward; default message type) protocol_id=0 priority_flag=3 "
           "(level 3 (highest)) schedule_delivery_time='260102030405608+' (absolute: 2026-01-02 "
           "03:04:05.6 UTC+02:00) validity_period='000001020000000R' (relative: 1 day, 2 hours) "
           "registered_delivery=17 (SMSC delivery receipt on success or failure; intermediate "
           "notification) replace_if_present_flag=1 (replace) data_coding=3 (Latin-1 "
           "(ISO-8859-1)) sm_default_msg_id=0 sm_length=2 short_message='Hi'"},
      {PduOf(kDeliverSm, 0, 1, Wire(SubmitWire + "04 00 00 00 00 00 00 00 00 04 'id:1'")),
       "deliver_sm: " + Submit +
           "esm_class=4 (default SMSC mode; delivery receipt) protocol_id=0 priority_flag=0 "
           "(level 0 (lowest)) schedule_delivery_time='' validity_period='' registered_delivery=0 "
           "(no SMSC delivery receipt) replace_if_present_flag=0 (don't replace) data_coding=0 "
           "(SMSC default alphabet) sm_default_msg_id=0 sm_length=4 short_message='id:1'"},
      {PduOf(kSubmitMulti, 0, 1,
             Wire("00 00 00 '1' 00 02 01 01 01 '4477' 00 02 'friends' 00 "
                  "C0 00 01 00 00 0C 00 08 00 00")),
       "submit_multi: service_type='' source_addr_ton=0 (Unknown) source_addr_npi=0 (Unknown) "
       "source_addr='1' number_of_dests=2 dest_address{dest_flag=1 (SME address) dest_addr_ton=" +
           kIntl + " dest_addr_npi=" + kIsdn +
           " destination_addr='4477'} dest_address{dest_flag=2 (distribution list) "
           "dl_name='friends'} esm_class=192 (default SMSC mode; default message type; UDHI; "
           "reply path) protocol_id=0 priority_flag=1 (level 1) schedule_delivery_time='' "
           "validity_period='' registered_delivery=12 (no SMSC delivery receipt; SME delivery "
           "and manual/user acknowledgement) replace_if_present_flag=0 (don't replace) "
           "data_coding=8 (UCS-2 (ISO/IEC-10646)) sm_default_msg_id=0 sm_length=0 "
           "short_message=''"},
      {PduOf(kSubmitMultiResp, 0, 1, Wire("'M1' 00 01 01 01 '4477' 00 00 00 00 58")),
       "submit_multi_resp: message_id='M1' no_unsuccess=1 unsuccess_sme{dest_addr_ton=" + kIntl +
           " dest_addr_npi=" + kIsdn +
           " destination_addr='4477' error_status_code=88 (ESME_RTHROTTLED)}"},
      {PduOf(kDataSm, 0, 1, Wire("00 03 0E 'a@b' 00 06 09 '12' 00 81 1E F1")),
       "data_sm: service_type='' source_addr_ton=3 (Network Specific) source_addr_npi=14 "
       "(Internet (IP)) source_addr='a@b' dest_addr_ton=6 (Abbreviated) dest_addr_npi=9 (Private) "
       "destination_addr='12' esm_class=129 (datagram; default message type; reply path) "
       "registered_delivery=30 (SMSC delivery receipt on failure; SME delivery and manual/user "
       "acknowledgement; intermediate notification) data_coding=241 (message class 1 (mobile "
       "equipment), SMSC default alphabet)"},
      {PduOf(kSubmitSmResp, 0, 1, Wire("'abc' 00")), "submit_sm_resp: message_id='abc'"},
      {PduOf(kSubmitSmResp, kThrottled, 1), "submit_sm_resp:"},
      {PduOf(kDeliverSmResp, 0, 1, Wire("00")), "deliver_sm_resp: message_id=''"},
      {PduOf(kDataSmResp, 0, 1, Wire("'x' 00")), "data_sm_resp: message_id='x'"},
      {PduOf(kQuerySm, 0, 1, Wire("'id' 00 04 06 '123' 00")),
       "query_sm: message_id='id' source_addr_ton=4 (Subscriber Number) source_addr_npi=6 (Land "
       "Mobile (E.212)) source_addr='123'"},
      {PduOf(kQuerySmResp, 0, 1, Wire("'id' 00 '260102030405613-' 00 05 07")),
       "query_sm_resp: message_id='id' final_date='260102030405613-' (absolute: 2026-01-02 "
       "03:04:05.6 UTC-03:15) message_state=5 (UNDELIVERABLE) error_code=7"},
      {PduOf(kCancelSm, 0, 1, Wire("00 'id' 00 03 04 '1' 00 01 01 '2' 00")),
       "cancel_sm: service_type='' message_id='id' source_addr_ton=3 (Network Specific) "
       "source_addr_npi=4 (Telex (F.69)) source_addr='1' dest_addr_ton=" +
           kIntl + " dest_addr_npi=" + kIsdn + " destination_addr='2'"},
      {PduOf(kReplaceSm, 0, 1, Wire("'id' 00 00 03 '1' 00 00 '000000000000000R' 00 02 05 02 'ok'")),
       "replace_sm: message_id='id' source_addr_ton=0 (Unknown) source_addr_npi=3 (Data (X.121)) "
       "source_addr='1' schedule_delivery_time='' validity_period='000000000000000R' (relative: "
       "now) registered_delivery=2 (SMSC delivery receipt on failure) sm_default_msg_id=5 "
       "sm_length=2 short_message='ok'"},
      {PduOf(kAlertNotification, 0, 1, Wire("01 08 '1' 00 07 0F 'x@y' 00")),
       "alert_notification: source_addr_ton=" + kIntl +
           " source_addr_npi=8 (National) source_addr='1' esme_addr_ton=7 (reserved) "
           "esme_addr_npi=15 (reserved) esme_addr='x@y'"},
      {PduOf(kUnbind, 0, 1), "unbind:"},
      {PduOf(kEnquireLinkResp, 0, 1), "enquire_link_resp:"},
      {PduOf(kCancelSmResp, 0, 1), "cancel_sm_resp:"},
      {PduOf(kReplaceSmResp, 0, 1), "replace_sm_resp:"},
  };
  for (const auto& [Pdu, Expected] : Cases) {
    SCOPED_TRACE(Expected);
    EXPECT_EQ(Body(Dissect(Pdu)), Expected);
  }
}

// Where each kind of record lies: integers, texts with their terminators, a group over its
// fields, the short message's octets.
TEST(PduDissector, OffsetsAndLengths) {
  const TPduField Root =
      Dissect(PduOf(kSubmitMulti, 0, 3,
                    Wire("00 00 00 '1' 00 01 02 'dl' 00 00 00 00 00 00 00 00 00 00 02 'hi'")));
  EXPECT_EQ(Root.Offset + Root.Length, 38u);
  EXPECT_EQ(Flat(Root.Fields, true, 3),
            "sequence_number@12+4=3 service_type@16+1='' source_addr_ton@17+1=0 (Unknown) "
            "source_addr_npi@18+1=0 (Unknown) source_addr@19+2='1' number_of_dests@21+1=1 "
            "dest_address@22+4{dest_flag@22+1=2 (distribution list) dl_name@23+3='dl'} "
            "esm_class@26+1=0 (default SMSC mode; default message type) protocol_id@27+1=0 "
            "priority_flag@28+1=0 (level 0 (lowest)) schedule_delivery_time@29+1='' "
            "validity_period@30+1='' registered_delivery@31+1=0 (no SMSC delivery receipt) "
            "replace_if_present_flag@32+1=0 (don't replace) data_coding@33+1=0 (SMSC default "
            "alphabet) sm_default_msg_id@34+1=0 sm_length@35+1=2 short_message@36+2='hi'");
}

// What our encoder writes dissects to the values it was given, with no error.
TEST(PduDissector, WhatOurEncoderWrites) {
  TSMPPClientInfo Info;
  Info.SetUserID("myuid");
  Info.SetPassword("secret");
  Info.SetSystemType("tcp");
  Info.Set_submit_source_addr_ton(5);
  Info.Set_submit_dest_addr_npi(1);
  TSequenceCounter Counter;
  const TPduCodec Codec(Info, Counter);
  struct TCase {
    uint32_t CommandId;
    uint32_t Status;
    std::string Destinations, Validity, Text, Expected;
  };
  const std::string Source =
      "service_type='' source_addr_ton=5 (Alphanumeric) source_addr_npi=0 "
      "(Unknown) source_addr='1234' ";
  const std::string Dest = "dest_addr_ton=0 (Unknown) dest_addr_npi=" + kIsdn;
  const std::string Tail =
      "esm_class=0 (default SMSC mode; default message type) protocol_id=0 priority_flag=0 "
      "(level 0 (lowest)) schedule_delivery_time='' validity_period=";
  const std::string Receipts =
      " registered_delivery=17 (SMSC delivery receipt on success or failure; intermediate "
      "notification) replace_if_present_flag=0 (don't replace) data_coding=0 (SMSC default "
      "alphabet) sm_default_msg_id=0 sm_length=5 short_message='Hello'";
  const TCase Cases[] = {
      {kBindTransmitter, 0, "", "", "",
       "bind_transmitter: system_id='myuid' password='secret' system_type='tcp' "
       "interface_version=52 (3.4) addr_ton=0 (Unknown) addr_npi=0 (Unknown) address_range=''"},
      {kSubmitSm, 0, "447700900123", "000001000000000R", "Hello",
       "submit_sm: " + Source + Dest + " destination_addr='447700900123' " + Tail +
           "'000001000000000R' (relative: 1 day)" + Receipts},
      {kSubmitMulti, 0, "111, 222", "", "Hello",
       "submit_multi: " + Source + "number_of_dests=2 dest_address{dest_flag=1 (SME address) " +
           Dest + " destination_addr='111'} dest_address{dest_flag=1 (SME address) " + Dest +
           " destination_addr='222'} " + Tail + "''" + Receipts},
      {kQuerySm, 0, "", "", "",
       "query_sm: message_id='M-1' source_addr_ton=0 (Unknown) source_addr_npi=" + kIsdn +
           " source_addr='8877'"},
      {kEnquireLink, 0, "", "", "", "enquire_link:"},
      {kDeliverSmResp, 0, "", "", "", "deliver_sm_resp: message_id=''"},
      {kDataSmResp, kQueueFull, "", "", "", "data_sm_resp: message_id=''"},
      {kGenericNack, kInvalidCommandLength, "", "", "", "generic_nack:"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Expected);
    TPDU Pdu;
    Pdu.command_id = C.CommandId;
    Pdu.command_status = C.Status;
    Pdu.message_id = "M-1";
    Pdu.submit.source_addr = "1234";
    Pdu.submit.destination_addr = C.Destinations;
    Pdu.submit.validity_period = C.Validity;
    Pdu.submit.short_message = C.Text;
    uint8_t Buffer[kPduBufferSize];
    size_t Length = 0;
    Codec.EncodePdu(Buffer, sizeof Buffer, Length, Pdu, 0);
    const TPduField Root = Dissect(Bytes(Buffer, Buffer + Length));
    EXPECT_EQ(Body(Root), C.Expected);
    EXPECT_EQ(Root.Fields[2].Integer, C.Status);
    EXPECT_EQ(Root.Fields[3].Integer, Pdu.sequence_number);
  }
}

// Broken bytes: what was read last before the error, and the error with its place.
TEST(PduDissector, BrokenBytes) {
  const Bytes Submit = PduOf(kSubmitSm, 0, 1,
                             Wire("00 01 01 '4477' 00 01 01 '12' 00 00 00 00 "
                                  "00 00 00 00 00 00 05 'Hello' 02 04 00 02 00 07"));
  auto WithLength = [](Bytes B, uint32_t Length) {
    PutU32(B.data(), Length);
    return B;
  };
  struct TCase {
    Bytes Pdu;
    size_t Size;
    std::string Expected;
  };
  const TCase Cases[] = {
      {Submit, 0, "error@0: the PDU ends at octet 0, within command_length"},
      {Submit, 10,
       "command_id=4 (submit_sm) | error@8: the PDU ends at octet 10, within command_status: "
       "command_length says 50"},
      {WithLength(Submit, 8), SIZE_MAX,
       "command_id=4 (submit_sm) | error@0: command_length 8 is less than 16, the length of the "
       "header"},
      {Submit, 21,
       "source_addr_npi=" + kIsdn +
           " | error@19: the PDU ends at octet 21, within source_addr: command_length says 50"},
      {Submit, 41,
       "sm_length=5 | error@39: the PDU ends at octet 41, within short_message: "
       "command_length says 50"},
      {Submit, 47,
       "short_message='Hello' | error@44: the PDU ends at octet 47, within an "
       "optional parameter: command_length says 50"},
      {Submit, 44,
       "short_message='Hello' | error@44: the PDU ends at octet 44: command_length says 50"},
      {PduOf(kSubmitSm, 0, 1, Wire("00 01 01 '4477'")), SIZE_MAX,
       "source_addr_npi=" + kIsdn + " | error@19: source_addr has no terminator"},
      {PduOf(kSubmitSm, 0, 1, Wire("00 01 01 '4477' 00 01")), SIZE_MAX,
       "dest_addr_ton=" + kIntl +
           " | error@25: command_length 25 ends the PDU before dest_addr_npi"},
      {PduOf(kBindTransmitter, 0, 1, Wire("'system-id-of-19-chr' 00 00 00 34 00 00 00")), SIZE_MAX,
       "system_id='system-id-of-19-chr' | error@16: system_id is 20 octets, at most 16 allowed"},
      {PduOf(kReplaceSm, 0, 1, Wire("00 00 00 00 00 '0000010000' 00")), SIZE_MAX,
       "validity_period='0000010000' (not of the form YYMMDDhhmmsstnnp) | error@21: "
       "validity_period is 11 octets, 1 or 17 allowed"},
      {PduOf(kReplaceSm, 0, 1, Wire("00 00 00 00 00 00 00 00 C8 'Hello'")), SIZE_MAX,
       "sm_length=200 | error@25: sm_length 200 runs past the end of the PDU: 5 octets left"},
      {PduOf(kSubmitMulti, 0, 1, Wire("00 00 00 00 01 03 '1' 00")), SIZE_MAX,
       "dest_address{dest_flag=3 (reserved)} | error@21: dest_flag 3 is neither 1 (SME address) "
       "nor 2 (distribution list)"},
      {PduOf(kEnquireLink, 0, 1, Wire("00 00 00 00")), SIZE_MAX,
       "sequence_number=1 | error@16: 4 octets after the last field of enquire_link"},
      {PduOf(kSubmitSmResp, 0, 1), SIZE_MAX,
       "sequence_number=1 | error@16: command_length 16 ends the PDU before message_id"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Expected);
    const TPduField Root = Dissect(C.Pdu, C.Size);
    const size_t N = Root.Fields.size();
    EXPECT_EQ((N > 1 ? Flat(Root.Fields[N - 2]) + " | " : "") + Flat(Root.Fields.back()),
              C.Expected);
  }
}

// Every prefix of a sound PDU dissects what lies in it and ends in an error record; the whole PDU
// ends in none.
TEST(PduDissector, EveryPrefixEndsInAnError) {
  const Bytes Pdus[] = {
      PduOf(kSubmitSm, 0, 1,
            Wire("'CMT' 00 01 01 '4477' 00 01 01 '12' 00 40 00 00 '000001000000000R' "
                 "00 00 00 00 00 00 06 05 00 03 01 02 01 02 04 00 02 00 07")),
      PduOf(kSubmitMulti, 0, 1,
            Wire("00 00 00 00 02 01 01 01 '1' 00 02 'dl' 00 00 00 00 00 00 "
                 "00 00 00 00 01 'x'")),
  };
  // True when every record, and every record inside a group, lies within the first Size octets.
  auto Within = [](auto& Self, const std::vector<TPduField>& Fields, size_t Size) -> bool {
    for (const TPduField& F : Fields)
      if (F.Offset + F.Length > Size || !Self(Self, F.Fields, Size)) return false;
    return true;
  };
  for (const Bytes& Pdu : Pdus) {
    for (size_t Size = 0; Size <= Pdu.size(); ++Size) {
      SCOPED_TRACE(ToHex(Pdu.data(), Size));
      const TPduField Root = Dissect(Pdu, Size);
      EXPECT_EQ(Root.Fields.back().Kind == TFieldKind::fkError, Size < Pdu.size());
      EXPECT_TRUE(Within(Within, Root.Fields, Size));
    }
  }
}
// The decoder's PDUs as other implementations build them (kept as the fuzz corpus): what a tester
// wants to see in each, found in its JSON; the two broken on purpose end in an error.
TEST(PduDissector, TheDecodersPdusAsOtherImplementationsBuildThem) {
  const struct {
    const char* File;
    std::vector<std::string> Has;
  } Cases[] = {
      {"deliver_sm_udh_ucs2", {R"j("meaning":"UCS-2 (ISO/IEC-10646)")j", R"j("part 1 of 2")j"}},
      {"deliver_sm_receipt",
       {R"j("name":"submit date","offset":)j", R"j("value":"DELIVRD","meaning":"delivered")j"}},
      {"deliver_sm_receipt_tlvs",
       {R"j("name":"receipted_message_id")j", R"j("value":3,"meaning":"EXPIRED")j"}},
      {"data_sm_receipt", {R"j("name":"source_port")j", R"j("name":"id","offset":)j"}},
      {"deliver_sm_esm80", {R"j("default SMSC mode; default message type; reply path")j"}},
      {"submit_multi_resp", {R"j("value":"555")j", R"j("meaning":"ESME_RINVDSTADR")j"}},
      {"deliver_sm_receipt_upper", {R"j("meaning":"sm_length 63 runs past the end)j"}},
      {"stream_too_long", {R"j("service_type is 41 octets, at most 6 allowed")j"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.File);
    std::ifstream In(std::string(SMPP_SOURCE_DIR) + "/fuzz/corpus/" + C.File, std::ios::binary);
    const Bytes Pdu((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(Pdu.empty());
    const std::string Json = FieldJson(Dissect(Pdu));
    for (const std::string& Has : C.Has) EXPECT_NE(Json.find(Has), std::string::npos) << Json;
  }
}

}  // namespace
