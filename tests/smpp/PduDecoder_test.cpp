// Tests of the PDU decoder: message ids, PDUs as other implementations build them with their
// report lines, UCS-2 text, and hostile inputs that must decode without reading outside the bytes
// given.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "PduTestUtil.h"
#include "smpp/smppclient.h"
#include "smpp/smpppdu.h"

namespace {

using namespace std::string_literals;

// Decodes from a heap buffer of exactly the bytes received, so that the sanitizer build catches
// any read past them.
TPDU Decode(const Bytes& pdu, size_t received = SIZE_MAX, size_t capacity = kPduBufferSize) {
  received = std::min(received, pdu.size());
  std::vector<uint8_t> exact(pdu.begin(), pdu.begin() + static_cast<std::ptrdiff_t>(received));
  TPDU out;
  TPduCodec::DecodePdu(exact.data(), capacity, received, out);
  return out;
}

// What a load run reads of a receipt where it lies (from a heap buffer of exactly the bytes
// received) is what the decoder gives, and is there for receipts alone.
void ExpectReceiptFieldsAgree(const Bytes& pdu, size_t received = SIZE_MAX) {
  received = std::min(received, pdu.size());
  std::vector<uint8_t> exact(pdu.begin(), pdu.begin() + static_cast<std::ptrdiff_t>(received));
  const TPDU p = Decode(pdu, received);
  TReceiptFields f;
  const bool read = DecodeReceiptFields(exact.data(), exact.size(), f);
  EXPECT_EQ(read, IsReceipt(p.deliver.esm_class));
  if (read)
    EXPECT_EQ(std::string(f.Id) + "|" + std::string(f.Stat) + "|" + std::string(f.Err),
              p.deliver.receipt_ref + "|" + p.deliver.receipt_stat + "|" + p.deliver.receipt_err);
}

const char kReceiptText[] =
    "id:1234567890 sub:001 dlvrd:001 submit date:2101011200 done date:2101011201 stat:DELIVRD "
    "err:000 text:Hello";

Bytes Deliver(uint8_t esmClass, uint8_t dataCoding, const Bytes& message, const Bytes& tlvs = {}) {
  return PduBuilder()
      .DeliverHead("447700900123", "1234")
      .DeliverTail(esmClass, dataCoding, message)
      .Raw(tlvs)
      .Finish(kDeliverSm, 9);
}

TEST(PduDecoder, MessageIdIsTheIdAsSent) {
  const std::pair<Bytes, std::string> cases[] = {
      {PduOf(kSubmitSmResp, 0, 5, Wire("'ABC-12f' 00")), "ABC-12f"},
      {PduOf(kSubmitSmResp, 0, 5, Wire("'5F3A9C01' 00")), "5F3A9C01"},
      {PduOf(kSubmitSmResp, 0, 5, Wire("'a b' 0A 1B '[2J' 7F 'c' 00")), "a b[2Jc"},
      {PduOf(kSubmitSmResp, 0, 5, Text(std::string(70, 'x'))), std::string(64, 'x')},
      {PduOf(kSubmitSmResp, 0, 5), ""},
      // submit_multi_resp: the id, then no_unsuccess and one unsuccessful destination.
      {PduOf(kSubmitMultiResp, 0, 5, Wire("'MULTI-1' 00 01 01 01 '555' 00 00 00 00 0B")),
       "MULTI-1"},
  };
  for (const auto& [pdu, id] : cases) {
    SCOPED_TRACE(id);
    const TPDU p = Decode(pdu);
    EXPECT_EQ(p.message_id, id);
    EXPECT_EQ(p.sequence_number, 5u);
  }
}

// PDUs as other SMPP implementations and SMSCs build them, byte for byte, with the receiver's
// report line for each.
TEST(PduDecoder, PdusAsOtherImplementationsBuildThem) {
  // service_type, source 447700900123 (ton 1, npi 1), destination 1234 (ton 0, npi 1).
  const std::string head = "00 01 01 '447700900123' 00 00 01 '1234' 00 ";
  // esm_class, protocol_id, priority_flag, two empty times, registered_delivery,
  // replace_if_present_flag; data_coding, sm_default_msg_id and sm_length follow in each case.
  auto deliver = [&](const std::string& esm, const std::string& rest) {
    return PduOf(kDeliverSm, 0, 7, Wire(head + esm + " 00 00 00 00 00 00 " + rest));
  };
  const std::string receipt =
      "'id:1234567 sub:001 dlvrd:001 submit date:2612071200 done date:2612071201 stat:DELIVRD "
      "err:000 text:Hello'";
  const std::string ts = "12062026 143005";
  const std::string from = "+DELIVER " + ts + ":447700900123:1234:";
  struct Case {
    const char* what;
    Bytes pdu;
    std::string line;
  };
  const Case cases[] = {
      {"UCS-2, Cyrillic, no header", deliver("00", "08 00 0C 04 1F 04 40 04 38 04 32 04 35 04 42"),
       from + "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {"UCS-2, CJK, one part of two with a user data header",
       deliver("40", "08 00 0A 05 00 03 2A 02 01 4F 60 59 7D"), from + "\xE4\xBD\xA0\xE5\xA5\xBD"},
      {"UCS-2 with the reply-path bit", deliver("80", "08 00 04 00 48 00 69"), from + "Hi"},
      {"GSM text starting with 0x00 (@)", deliver("00", "00 00 05 00 'Home'"),
       from + std::string("\0Home", 5)},
      {"GSM text starting with a line feed", deliver("00", "00 00 05 0A 'Line'"), from + "\nLine"},
      {"8-bit text with a user data header", deliver("40", "04 00 08 05 00 03 01 02 02 'ok'"),
       from + "ok"},
      {"optional parameters after the text",
       deliver("00", "00 00 05 'Hello' 02 04 00 02 00 07 02 0A 00 02 1F 90"), from + "Hello"},
      {"message_payload alone", deliver("00", "00 00 00 04 24 00 0B 'Hello world'"),
       from + "Hello world"},
      {"message_payload after other optional parameters",
       deliver("00", "00 00 00 02 04 00 02 00 01 04 24 00 05 'Hello' 04 27 00 01 02"),
       from + "Hello"},
      {"UCS-2 message_payload", deliver("00", "08 00 00 04 24 00 04 04 14 04 30"),
       from + "\xD0\x94\xD0\xB0"},
      {"data_sm, source_port before message_payload",
       PduOf(kDataSm, 0, 7,
             Wire("00 01 01 '1111' 00 01 01 '2222' 00 00 00 00 02 0A 00 02 0B B8 04 24 00 02 "
                  "'hi'")),
       "+DELIVER " + ts + "::1111:2222:hi"},
      {"receipt, standard form", deliver("04", "00 00 68 " + receipt), "+QUERY_RES 1234567:2:000"},
      {"receipt, upper-case labels",
       deliver("04",
               "00 00 62 'ID:ABC123 SUB:001 DLVRD:000 SUBMIT DATE:2612071200 "
               "DONE DATE:2612071201 STAT:UNDELIV ERR:005 TEXT:'"),
       "+QUERY_RES ABC123:5:005"},
      {"receipt, optional parameters only",
       deliver("04", "00 00 00 00 1E 00 09 '5F3A9C01' 00 04 27 00 01 02"),
       "+QUERY_RES 5F3A9C01:2:"},
      {"receipt, optional parameters win over the text",
       deliver("04",
               "00 00 1D 'id:111 stat:UNDELIV err:001 x' 00 1E 00 07 'AB-222' 00 04 27 00 01 "
               "03"),
       "+QUERY_RES AB-222:3:001"},
      {"intermediate notification with the reply-path bit",
       deliver("A0", "00 00 20 'id:9f stat:ACCEPTD err:000 text:'"), "+QUERY_RES 9f:6:000"},
      {"receipt as data_sm",
       PduOf(kDataSm, 0, 7,
             Wire("00 01 01 '1111' 00 01 01 '2222' 00 04 00 00 04 24 00 1A "
                  "'id:77 stat:DELIVRD err:000'")),
       "+QUERY_RES 77:2:000"},
      {"data_sm of another message type",
       PduOf(kDataSm, 0, 7,
             Wire("00 00 00 '1' 00 00 00 '2' 00 "
                  "08 00 00 04 24 00 01 'x'")),
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TPDU p = Decode(c.pdu);
    EXPECT_EQ(p.sequence_number, 7u);
    EXPECT_EQ(RcxDeliverLine(p, ts), c.line);
    ExpectReceiptFieldsAgree(c.pdu);
  }

  // The other fields of a standard receipt, and what a receipt without labels gives.
  TPDU p = Decode(deliver("04", "00 00 68 " + receipt));
  const TDeliver& d = p.deliver;
  EXPECT_EQ(d.receipt_id + "|" + d.receipt_sub + "|" + d.receipt_dlvrd + "|" +
                d.receipt_submit_date + "|" + d.receipt_done_date + "|" + d.receipt_stat + "|" +
                d.receipt_err + "|" + d.text,
            "1234567|001|001|2612071200|2612071201|DELIVRD|000|Hello");
  p = Decode(deliver("04", "00 00 08 'anything'"));
  EXPECT_EQ(RcxDeliverLine(p, ts), "+QUERY_RES :1:");
}

TEST(PduDecoder, HeaderOnlyCommandsFillTheHeaderAndNothingElse) {
  const TPDU p = Decode(PduBuilder().Str("junk").Finish(kGenericNack, 0x01020304, 3));
  EXPECT_EQ(p.command_length, 20u);
  EXPECT_EQ(p.command_id, kGenericNack);
  EXPECT_EQ(p.command_status, 3u);
  EXPECT_EQ(p.sequence_number, 0x01020304u);
  EXPECT_EQ(p.message_id, "");
  EXPECT_EQ(p.deliver.text, "");
  EXPECT_EQ(p.deliver.source_addr, "");
}

TEST(PduDecoder, Ucs2ToText) {
  const std::pair<const char*, std::string> cases[] = {
      {"00 48 00 E9 20 AC", "H\xC3\xA9\xE2\x82\xAC"},
      {"D8 3D DE 00", "\xF0\x9F\x98\x80"},  // a surrogate pair is one character
      {"D8 3D 00 41", "?A"},                // a lone surrogate is none
      {"00 41 00", "A"},
      {"", ""},
  };
  for (const auto& [hex, text] : cases) {
    const Bytes b = Hex(hex);
    EXPECT_EQ(Ucs2ToText(b.data(), b.size()), text) << hex;
  }
}

TEST(PduDecoder, ServiceType) {
  const TPDU p =
      Decode(PduBuilder().DeliverHead("11", "22", "CMT").DeliverTail(0, 0, Text("x")).Finish(5));
  EXPECT_EQ(p.deliver.service_type + "|" + p.deliver.source_addr + "|" +
                p.deliver.destination_addr + "|" + p.deliver.text,
            "CMT|11|22|x");
}

TEST(PduDecoder, ReceiptStateCodes) {
  const std::pair<const char*, char> cases[] = {
      {"DELIVRD", '2'}, {"EXPIRED", '3'},  {"DELETED", '4'}, {"UNDELIV", '5'},
      {"ACCEPTD", '6'}, {"UNKNOWN", '7'},  {"REJECTD", '8'}, {"delivrd", '1'},
      {"", '1'},        {"DELIVRD ", '1'}, {"DELIV", '1'},   {"ENROUTE", '1'},
  };
  for (const auto& [word, code] : cases) EXPECT_EQ(ReceiptStateCode(word), code) << word;
}

// Inputs no well-behaved SMSC sends. Each decodes from a buffer of exactly the bytes received (or
// of the capacity given), so the sanitizer build shows that nothing outside them is read.
TEST(PduDecoder, HostileInputsStayInsideTheBytesGiven) {
  auto withLength = [](Bytes b, uint32_t length) {
    PutU32(b.data(), length);
    return b;
  };
  const Bytes hello = Deliver(0, 0, Text("Hello"));
  // PDUs of 10000 bytes whose text is one message_payload filling the rest.
  auto bigPayload = [](PduBuilder b, uint32_t id, uint8_t fill, bool ucs2) {
    const size_t n = 10000 - 16 - b.Body.size() - 4;
    b.U8(0x04).U8(0x24).U8(static_cast<uint8_t>(n >> 8)).U8(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; ++i) b.U8(ucs2 && i % 2 == 0 ? 0 : fill);
    return std::make_pair(b.Finish(id), n);
  };
  const auto [bigUcs2Pdu, ucs2Bytes] = bigPayload(
      PduBuilder().DeliverHead("1", "2").DeliverTail(0x80, 8, {}), kDeliverSm, 'A', true);
  const auto [bigTextPdu, textBytes] =
      bigPayload(PduBuilder().DeliverHead("1", "2").DeliverTail(0, 0, {}), kDeliverSm, 'T', false);
  const auto [bigDataPdu, dataBytes] =
      bigPayload(PduBuilder().DeliverHead("1", "2").U8(0).U8(0).U8(0), kDataSm, 'D', false);
  Bytes cutPayload = PduBuilder().DeliverHead("1", "2").DeliverTail(0, 0, {}).Body;
  cutPayload.insert(cutPayload.end(), {0x04, 0x24, 0x00, 0x09, 'a', 'b'});
  const Bytes cutPayloadPdu = PduBuilder().Raw(cutPayload).Finish(kDeliverSm);
  const Bytes longSm = PduBuilder().DeliverHead("1", "2").DeliverTail(0, 0, Text("abc")).Body;
  Bytes smPastEnd(longSm.begin(), longSm.end());
  smPastEnd[smPastEnd.size() - 4] = 200;  // sm_length 200 for 3 bytes
  const Bytes smPastEndPdu = PduBuilder().Raw(smPastEnd).Finish(kDeliverSm);
  const Bytes udhPastEnd = Deliver(0x40, 0, Hex("09 00 03"));

  // What a decoding yields, in short: service_type|source_addr|receipt_ref|message_id|text size
  // and its first 8 bytes.
  auto summary = [](const TPDU& p) {
    const TDeliver& d = p.deliver;
    return d.service_type.substr(0, 8) + "|" + d.source_addr + "|" + d.receipt_ref + "|" +
           p.message_id + "|" + std::to_string(d.text.size()) + ":" + d.text.substr(0, 8);
  };
  const std::string ok = "||||0:";  // nothing decoded
  struct Case {
    const char* what;
    Bytes pdu;
    size_t received, capacity;
    std::string expected;
  };
  const size_t all = SIZE_MAX, cap = kPduBufferSize;
  const Case cases[] = {
      {"command_length 0", withLength(hello, 0), all, cap, ok},
      {"command_length 8", withLength(hello, 8), all, cap, ok},
      {"command_length 15", withLength(hello, 15), all, cap, ok},
      {"command_length 16", withLength(hello, 16), all, cap, ok},
      {"command_length huge", withLength(hello, 0xFFFFFFFF), all, cap, "|447700900123|||5:Hello"},
      {"command_length beyond the bytes received", hello, hello.size() - 2, cap,
       "|447700900123|||3:Hel"},
      {"capacity below the bytes received", hello, all, hello.size() - 3, "|447700900123|||2:He"},
      {"fewer bytes than a header", hello, 5, cap, ok},
      {"nothing received", hello, 0, cap, ok},
      {"no terminators", PduBuilder().Str(std::string(200, 'A')).Finish(kDeliverSm), all, cap,
       "AAAAAAAA||||0:"},
      {"receipt without a hex digit before the end", Deliver(4, 0, Text("ZZZZ:ZZZZ:ZZZZ")), all,
       cap, "|447700900123|||0:"},
      {"receipt cut inside its header", Deliver(4, 0, Text(kReceiptText)), 40, cap,
       "|447700900123|||0:"},
      {"submit_sm_resp longer than received",
       withLength(PduBuilder().CStr("abcdef").Finish(kSubmitSmResp), 9000), 20, cap, "|||abcd|0:"},
      {"10000-byte UCS-2 payload is cut to the workspace", bigUcs2Pdu, all, cap,
       "|1|||2499:AAAAAAAA"},
      {"10000-byte payload", bigTextPdu, all, cap,
       "|1|||" + std::to_string(textBytes) + ":TTTTTTTT"},
      {"10000-byte data_sm", bigDataPdu, all, cap,
       "|1|||" + std::to_string(dataBytes) + ":DDDDDDDD"},
      {"payload longer than the PDU", cutPayloadPdu, all, cap, "|1|||0:"},
      {"sm_length past the end", smPastEndPdu, all, cap, "|1|||3:abc"},
      {"user data header longer than the message", udhPastEnd, all, cap, "|447700900123|||0:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t received = std::min(c.received, c.pdu.size());
    const size_t readable = std::min(received, c.capacity);
    std::vector<uint8_t> exact(c.pdu.begin(),
                               c.pdu.begin() + static_cast<std::ptrdiff_t>(readable));
    TPDU p;
    TPduCodec::DecodePdu(exact.data(), c.capacity, received, p);
    EXPECT_EQ(summary(p), c.expected);
    EXPECT_EQ(p.command_length, readable >= 4 ? GetU32(c.pdu.data()) : 0);
  }
}

// Every prefix of real PDUs, as if the read had stopped there, decodes to prefixes of the fields.
TEST(PduDecoder, EveryTruncationDecodesInsideItsBytes) {
  const Bytes pdus[] = {
      Deliver(4, 0, Text(kReceiptText)),
      Deliver(0, 8, Hex("05 00 03 01 02 01 00 48 00 E9 00 41")),
      PduBuilder()
          .DeliverHead("11", "22", "CMT")
          .Raw(Hex("00 00 00 04 24 00 02 00 41"))
          .Finish(kDataSm),
      PduBuilder().CStr("0123456789abcdef").Finish(kSubmitSmResp),
  };
  for (const Bytes& full : pdus) {
    const TPDU whole = Decode(full);
    for (size_t n = 0; n <= full.size(); ++n) {
      SCOPED_TRACE(n);
      const TPDU p = Decode(full, n);
      EXPECT_EQ(whole.deliver.source_addr.rfind(p.deliver.source_addr, 0), 0u);
      EXPECT_EQ(whole.message_id.rfind(p.message_id, 0), 0u);
      EXPECT_LE(p.deliver.text.size(), n);
      ExpectReceiptFieldsAgree(full, n);
    }
  }
}

// The two connections decode on their own threads at the same time; each decoding has its own
// workspace, so neither sees the other's text.
TEST(PduDecoder, TwoThreadsDecodeUcs2AtOnce) {
  const Bytes a = Deliver(0x80, 8, Hex("00 41 00 42 00 43"));
  const Bytes b = Deliver(0x80, 8, Hex("00 78 00 79"));
  std::atomic<int> wrong{0};
  auto run = [&wrong](const Bytes& pdu, const char* expected) {
    for (int i = 0; i < 20000; ++i) {
      TPDU p;
      TPduCodec::DecodePdu(pdu.data(), pdu.size(), pdu.size(), p);
      if (p.deliver.text != expected) ++wrong;
    }
  };
  std::thread t1(run, std::cref(a), "ABC");
  std::thread t2(run, std::cref(b), "xy");
  t1.join();
  t2.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
