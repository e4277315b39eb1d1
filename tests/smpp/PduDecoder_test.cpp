// Tests of the PDU decoder: the fields of every command it reads, the positional receipt walk,
// UCS-2 text, and hostile inputs that must decode without reading outside the bytes given.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "PduTestUtil.h"
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

TEST(PduDecoder, SubmitSmRespKeepsDigitsAndLowerCaseHexOnly) {
  const TPDU a = Decode(PduBuilder().CStr("12AbC-de9Fz").Finish(kSubmitSmResp, 5));
  EXPECT_EQ(a.message_id, "12bde9");
  EXPECT_EQ(a.sequence_number, 5u);
  EXPECT_EQ(Decode(PduBuilder().Finish(kSubmitSmResp)).message_id, "");
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

TEST(PduDecoder, DeliverSmTexts) {
  const Bytes udh = Hex("05 00 03 01 02 01");
  struct Case {
    const char* what;
    Bytes pdu;
    std::string text;
  };
  const Case cases[] = {
      {"plain text", Deliver(0, 0, Text("Hello")), "Hello"},
      {"optional parameters follow the text",
       Deliver(0, 0, Text("Hello"), Hex("02 04 00 02 00 07")),
       std::string("Hello\x02\x04\x00\x02\x00\x07", 11)},
      {"data coding 8 skips six bytes, then UCS-2",
       Deliver(0, 8, PduBuilder().Raw(udh).Raw(Hex("00 48 00 E9")).Body), "H\xC3\xA9"},
      {"data coding 8, text after six bytes not UCS-2",
       Deliver(0, 8, PduBuilder().Raw(udh).Str("abc").Body), "abc"},
      {"first byte below 0x20 is UCS-2 whatever the coding", Deliver(0, 0, Hex("00 48 00 69")),
       "Hi"},
      {"odd UCS-2 byte dropped", Deliver(0, 0, Hex("00 48 00 69 00")), "Hi"},
      {"UCS-2 ends at a zero unit", Deliver(0, 0, Hex("00 48 00 00 00 69")), "H"},
      {"text starting with a byte above 0x1F is not UCS-2", Deliver(0, 0, Hex("D8 3D DE 00")),
       "\xD8\x3D\xDE\x00"s},
      {"first byte 4 skips four bytes",
       Deliver(0, 0, PduBuilder().Raw(Hex("04 01 02 03")).Str("Hey").Body), "Hey"},
      {"esm_class 0x40 has no text", Deliver(0x40, 0, Text("Hello")), ""},
      {"esm_class 0x80 from the short message whatever it holds", Deliver(0x80, 8, Text("xyz\x04")),
       "xyz\x04"},
      {"esm_class 0x80, UCS-2", Deliver(0x80, 0, Hex("00 41")), "A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TPDU p = Decode(c.pdu);
    EXPECT_EQ(p.command_id, kDeliverSm);
    EXPECT_EQ(p.sequence_number, 9u);
    EXPECT_EQ(p.deliver.service_type, "");
    EXPECT_EQ(p.deliver.source_addr, "447700900123");
    EXPECT_EQ(p.deliver.destination_addr, "1234");
    EXPECT_EQ(p.deliver.esm_class, c.pdu[16 + 3 + 13 + 2 + 5]);
    EXPECT_EQ(p.deliver.text, c.text);
    EXPECT_EQ(p.deliver.receipt_ref, "");
  }
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

TEST(PduDecoder, ServiceTypeAndDataSm) {
  TPDU p =
      Decode(PduBuilder().DeliverHead("11", "22", "CMT").DeliverTail(0, 0, Text("x")).Finish(5));
  EXPECT_EQ(p.deliver.service_type + "|" + p.deliver.source_addr + "|" +
                p.deliver.destination_addr + "|" + p.deliver.text,
            "CMT|11|22|x");
  // data_sm: the text is the first optional parameter's value and everything after it.
  p = Decode(PduBuilder()
                 .DeliverHead("11", "22")
                 .Str("\0\0\0\x04\x24\0\x05Hello\0\x0E\0\x01\x01"s)
                 .Finish(kDataSm));
  EXPECT_EQ(p.deliver.text, "Hello\0\x0E\0\x01\x01"s);
}

TEST(PduDecoder, ReceiptWalkIsPositional) {
  // A standard receipt: step 1 lands 4 bytes into the text, step 2 reads to the limit.
  const std::string receipt = kReceiptText;
  TPDU p = Decode(Deliver(4, 0, Text(receipt)));
  const TDeliver* d = &p.deliver;
  auto fields = [&d] {
    return d->receipt_ref + "|" + d->receipt_id + "|" + d->receipt_sub + "|" + d->receipt_dlvrd +
           "|" + d->receipt_submit_date + "|" + d->receipt_done_date + "|" + d->receipt_stat + "|" +
           d->receipt_err + "|" + d->text;
  };
  EXPECT_EQ(fields(), receipt.substr(4, receipt.size() - 5) + "||||||||");

  // A body shaped so that every step lands on a value: the esm_class run, 13 bytes, the hex
  // reference, then zero-terminated and space-terminated fields with label-sized gaps.
  p = Decode(PduBuilder()
                 .DeliverHead("11", "22")
                 .Str("\x20\0............XZZab12\0skip\0skip\0....ID sub:001 dlvrd:002 submit "
                      "date:2101 done date:2102 stat:DELIVRD err:000 text:Hi!"s)
                 .Finish(kDeliverSm));
  d = &p.deliver;
  EXPECT_EQ(d->esm_class, 0x20);
  EXPECT_EQ(fields(), "ab12|ID|001|002|2101|2102|DELIVRD|000|Hi!");
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
  Bytes bigUcs2 = PduBuilder().DeliverHead("1", "2").DeliverTail(0x80, 8, {}).Body;
  while (bigUcs2.size() + 16 < 10000) bigUcs2.push_back(bigUcs2.size() % 2 ? 0x00 : 0x41);
  const Bytes bigUcs2Pdu = PduBuilder().Raw(bigUcs2).Finish(kDeliverSm);
  Bytes bigText = PduBuilder().DeliverHead("1", "2").DeliverTail(0, 0, {}).Body;
  const size_t textStart = 16 + bigText.size();
  bigText.resize(10000 - 16, 'T');
  const Bytes bigTextPdu = PduBuilder().Raw(bigText).Finish(kDeliverSm);
  Bytes bigData = PduBuilder().DeliverHead("1", "2").U8(0).U8(0).U8(0).Raw(Hex("04 24 27 00")).Body;
  bigData.resize(10000 - 16, 'D');
  const Bytes bigDataPdu = PduBuilder().Raw(bigData).Finish(kDataSm);

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
      {"10000-byte UCS-2 text is cut to the workspace", bigUcs2Pdu, all, cap, "|1|||2499:AAAAAAAA"},
      {"10000-byte text", bigTextPdu, all, cap,
       "|1|||" + std::to_string(10000 - textStart) + ":TTTTTTTT"},
      {"10000-byte data_sm", bigDataPdu, all, cap, "|1|||9968:DDDDDDDD"},
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
    }
  }
}

// The two connections decode on their own threads at the same time; each decoding has its own
// workspace, so neither sees the other's text.
TEST(PduDecoder, TwoThreadsDecodeUcs2AtOnce) {
  const Bytes a = Deliver(0x80, 0, Hex("00 41 00 42 00 43"));
  const Bytes b = Deliver(0x80, 0, Hex("00 78 00 79"));
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
