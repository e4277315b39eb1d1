// Byte-exact tests of every PDU the encoder builds, of sequence numbering, and of the capacity
// rule.
#include <gtest/gtest.h>

#include <functional>

#include "PduTestUtil.h"
#include "smpp/smpppdu.h"

namespace {

class PduEncoder : public ::testing::Test {
 protected:
  PduEncoder() {
    info.SetUserID("user");
    info.SetPassword("pw");
    info.SetSystemType("tcp");
    info.Set_submit_source_addr_ton(0x105);  // only the low 8 bits go out
    info.Set_submit_source_addr_npi(1);
    info.Set_submit_dest_addr_ton(2);
    info.Set_submit_dest_addr_npi(3);
  }

  // Encodes into a 10000-byte buffer and gives the bytes of the PDU.
  Bytes Encode(TPDU& pdu, int dataCoding = 0) {
    Bytes buf(kPduBufferSize);
    size_t length = 12345;
    codec.EncodePdu(buf.data(), buf.size(), length, pdu, dataCoding);
    buf.resize(length);
    return buf;
  }
  Bytes Encode(uint32_t commandId) {
    TPDU pdu;
    pdu.command_id = commandId;
    return Encode(pdu);
  }
  static TPDU Submit(uint32_t commandId, std::string_view source, std::string_view destination,
                     std::string_view text, std::string_view validity = "") {
    TPDU pdu;
    pdu.command_id = commandId;
    pdu.submit.source_addr = source;
    pdu.submit.destination_addr = std::string(destination);
    pdu.submit.short_message = text;
    pdu.submit.validity_period = validity;
    return pdu;
  }

  TSMPPClientInfo info;
  TSequenceCounter counter;
  TPduCodec codec{info, counter};
};

TEST_F(PduEncoder, EnquireLinkOfANewClientIsTheFirstNumberedHeader) {
  EXPECT_EQ(ToHex(Encode(kEnquireLink)), "00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 01");
}

TEST_F(PduEncoder, BindTransmitterCutsSystemIdToFifteen) {
  info.SetUserID("ABCDEFGHIJKLMNOPQRST");
  info.SetPassword("pwd");
  info.SetSystemType("");
  TPDU pdu;
  pdu.command_id = kBindTransmitter;
  const Bytes b = Encode(pdu);
  EXPECT_EQ(ToHex(b),
            "00 00 00 29 00 00 00 02 00 00 00 00 00 00 00 01 "
            "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 00 "
            "70 77 64 00 00 34 00 00 00");
  EXPECT_EQ(pdu.sequence_number, 1u);
}

TEST_F(PduEncoder, BindReceiverCutsPasswordToFifteenAndSystemTypeToTwelve) {
  info.SetUserID("u");
  info.SetPassword("0123456789abcdefXY");
  info.SetSystemType("SYSTEMTYPE1234");
  EXPECT_EQ(ToHex(Encode(kBindReceiver)), ToHex(PduBuilder()
                                                    .CStr("u")
                                                    .CStr("0123456789abcde")
                                                    .CStr("SYSTEMTYPE12")
                                                    .U8(0x34)
                                                    .U8(0)
                                                    .U8(0)
                                                    .U8(0)
                                                    .Finish(kBindReceiver, 1)));
}

TEST_F(PduEncoder, SubmitSmWithoutValidity) {
  TPDU pdu = Submit(kSubmitSm, "1234", "447700900123", "Hello");
  EXPECT_EQ(ToHex(Encode(pdu)),
            "00 00 00 36 00 00 00 04 00 00 00 00 00 00 00 01 "
            "00 05 01 31 32 33 34 00 02 03 34 34 37 37 30 30 39 30 30 31 32 33 00 "
            "00 00 00 00 00 11 00 00 00 05 48 65 6C 6C 6F");
}

TEST_F(PduEncoder, SubmitSmValidityIsFifteenCharactersAndR) {
  struct Case {
    const char* validity;
    const char* onWire;
  };
  const Case cases[] = {
      {"000001000000000R", "000001000000000R"},
      {"0000010000000001", "000001000000000R"},
      {"00000100000000012345", "000001000000000R"},
      {"0000010", "0000010R"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.validity);
    TPDU pdu = Submit(kSubmitSm, "1", "2", "x", c.validity);
    const Bytes expected = PduBuilder()
                               .U8(0)
                               .U8(5)
                               .U8(1)
                               .CStr("1")
                               .U8(2)
                               .U8(3)
                               .CStr("2")
                               .U8(0)
                               .U8(0)
                               .U8(0)
                               .U8(0)
                               .CStr(c.onWire)
                               .U8(0x11)
                               .U8(0)
                               .U8(0)
                               .U8(0)
                               .U8(1)
                               .Str("x")
                               .Finish(kSubmitSm, counter.Value() + 1);
    EXPECT_EQ(ToHex(Encode(pdu)), ToHex(expected));
  }
}

// The bytes after sm_default_msg_id: sm_length and the short message.
Bytes MessageOf(const Bytes& pdu) {
  // Layout with source "1", destination "2" and empty validity: sm_length is body byte 18.
  return Bytes(pdu.begin() + 16 + 18, pdu.end());
}

TEST_F(PduEncoder, SubmitSmDataCodings) {
  const std::string letters160(160, 'a');
  std::string emojiAtCut(126, 'b');
  emojiAtCut += "\xF0\x9F\x98\x80";  // one character, two code units: units 127 and 128
  struct Case {
    const char* what;
    std::string text;
    int dataCoding;
    std::string message;  // sm_length and short message, hex
  };
  const Case cases[] = {
      {"default alphabet", "Hi", 0, "02 48 69"},
      {"octets", "\x01\xFF", 0xF0, "02 01 FF"},
      {"other coding: single bytes", "Hi", 3, "02 48 69"},
      {"coding above 8 bits: low byte", "Hi", 0x104, "02 48 69"},
      {"UCS-2 two bytes per character", "H\xC3\xA9", 8, "04 00 48 00 E9"},
      {"UCS-2 stops at a zero", std::string("a\0b", 3), 8, "02 00 61"},
      {"UCS-2 of an invalid byte", "\xFF", 8, "02 00 3F"},
      {"UCS-2 surrogate pair", "\xF0\x9F\x98\x80", 8, "04 D8 3D DE 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TPDU pdu = Submit(kSubmitSm, "1", "2", c.text);
    const Bytes b = Encode(pdu, c.dataCoding);
    ASSERT_GT(b.size(), 34u);
    EXPECT_EQ(b[16 + 16], static_cast<uint8_t>(c.dataCoding));
    EXPECT_EQ(ToHex(MessageOf(b)), c.message);
  }

  // A UCS-2 text is cut to 127 code units so that sm_length counts the bytes written; a surrogate
  // pair at the cut is dropped whole.
  for (const auto& [text, units] : {std::pair{letters160, 127u}, std::pair{emojiAtCut, 126u}}) {
    TPDU pdu = Submit(kSubmitSm, "1", "2", text);
    const Bytes m = MessageOf(Encode(pdu, 8));
    EXPECT_EQ(m[0], 2 * units);
    EXPECT_EQ(m.size(), 1 + 2 * units);
  }
}

TEST_F(PduEncoder, StoredSubmitTextsAreCutToTheirCapacity) {
  TSubmit s;
  s.source_addr = std::string(25, 's');
  s.short_message = std::string(200, 'm');
  s.validity_period = std::string(30, 'v');
  EXPECT_EQ(s.source_addr.View(), std::string(21, 's'));
  EXPECT_EQ(s.short_message.size(), 160u);
  EXPECT_EQ(s.validity_period.size(), 21u);
}

TEST_F(PduEncoder, SubmitMultiDestinationLists) {
  struct Case {
    const char* list;
    uint8_t count;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {" 111 ,\t222 ,  333\r", 3, {"111", "222", "333"}},
      {"111,", 2, {"111"}},
      {",111", 2, {"", "111"}},
      {"111", 1, {"111"}},
      {"", 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    TPDU pdu = Submit(kSubmitMulti, "src", c.list, "Hey", "000001000000000R");
    PduBuilder expected;
    expected.U8(0).U8(5).U8(1).CStr("src").U8(c.count);
    for (const auto& e : c.entries) expected.U8(1).U8(2).U8(3).CStr(e);
    // Validity and data coding are always empty and 0 in a submit_multi.
    expected.U8(0).U8(0).U8(0).U8(0).U8(0).U8(0x11).U8(0).U8(0).U8(0).U8(3).Str("Hey");
    EXPECT_EQ(ToHex(Encode(pdu, 8)), ToHex(expected.Finish(kSubmitMulti, counter.Value() + 1)));
  }
}

TEST_F(PduEncoder, QuerySmHasFixedSource) {
  TPDU pdu;
  pdu.command_id = kQuerySm;
  pdu.message_id = "ab12";
  EXPECT_EQ(ToHex(Encode(pdu)),
            "00 00 00 1C 00 00 00 03 00 00 00 00 00 00 00 01 "
            "61 62 31 32 00 00 01 38 38 37 37 00");
}

TEST_F(PduEncoder, ResponsesRepeatTheRequestNumberAndLeaveTheCounter) {
  counter.SetValue(40);
  struct Case {
    uint32_t id;
    uint32_t status;
    const char* hex;
  };
  const Case cases[] = {
      {kDeliverSmResp, 0, "00 00 00 11 80 00 00 05 00 00 00 00 00 00 00 4D 00"},
      {kEnquireLinkResp, 0, "00 00 00 10 80 00 00 15 00 00 00 00 00 00 00 4D"},
      {kUnbindResp, 0, "00 00 00 10 80 00 00 06 00 00 00 00 00 00 00 4D"},
      {kGenericNack, 2, "00 00 00 10 80 00 00 00 00 00 00 02 00 00 00 4D"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    TPDU pdu;
    pdu.command_id = c.id;
    pdu.command_status = c.status;
    pdu.sequence_number = 77;
    EXPECT_EQ(ToHex(Encode(pdu)), c.hex);
    EXPECT_EQ(pdu.sequence_number, 77u);
    EXPECT_EQ(counter.Value(), 40u);
  }
  TPDU next;
  next.command_id = kEnquireLink;
  Encode(next);
  EXPECT_EQ(next.sequence_number, 41u);
}

TEST_F(PduEncoder, UnbindIsTheConstantAndTakesNoNumber) {
  counter.SetValue(5);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ToHex(Encode(kUnbind)), "00 00 00 10 00 00 00 06 00 00 00 00 00 00 01 D3");
    EXPECT_EQ(counter.Value(), 5u);
  }
}

TEST_F(PduEncoder, CounterWrapsFromFFFFFFFAToThree) {
  counter.SetValue(0xFFFFFFF9u);
  TPDU a, b, c;
  a.command_id = b.command_id = kEnquireLink;
  c.command_id = kSubmitSm;
  Encode(a);
  Encode(b);
  Encode(c);
  EXPECT_EQ(a.sequence_number, 0xFFFFFFFAu);
  EXPECT_EQ(b.sequence_number, 3u);
  EXPECT_EQ(c.sequence_number, 4u);
}

TEST_F(PduEncoder, CommandsWithoutALayoutAreNotBuilt) {
  for (uint32_t id : {kDataSm, kDeliverSm, kSubmitSmResp, kBindReceiverResp, 0x12345678u}) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(Encode(id).empty());
  }
  EXPECT_EQ(counter.Value(), 0u);
}

// For every layout: a capacity one byte short of the PDU builds nothing, writes nothing past the
// capacity and draws no number; the exact capacity builds the PDU.
TEST_F(PduEncoder, NeverWritesPastTheCapacity) {
  info.SetUserID(std::string(20, 'u'));
  const std::function<TPDU()> makers[] = {
      [] { return Submit(kBindReceiver, "", "", ""); },
      [] { return Submit(kBindTransmitter, "", "", ""); },
      [] { return Submit(kEnquireLink, "", "", ""); },
      [] { return Submit(kUnbind, "", "", ""); },
      [] { return Submit(kDeliverSmResp, "", "", ""); },
      [] { return Submit(kGenericNack, "", "", ""); },
      [] {
        TPDU p = Submit(kQuerySm, "", "", "");
        p.message_id = "1234";
        return p;
      },
      [] { return Submit(kSubmitSm, "12", std::string(300, '9'), std::string(160, 'x'), "v"); },
      [] { return Submit(kSubmitMulti, "12", "1, 2,3,4 ,5,", "text"); },
      [] { return Submit(kSubmitMulti, "12", std::string(12000, ','), "text"); },
  };
  for (const auto& make : makers) {
    TPDU probe = make();
    SCOPED_TRACE(probe.command_id);
    Bytes full(64000);
    size_t needed = 0;
    codec.EncodePdu(full.data(), full.size(), needed, probe, 0);
    ASSERT_GE(needed, 16u);
    full.resize(needed);

    const uint32_t before = counter.Value();
    TPDU pdu = make();
    pdu.sequence_number = 99;
    Bytes buf(needed + 8, 0xEE);
    size_t length = 1;
    codec.EncodePdu(buf.data(), needed - 1, length, pdu, 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(pdu.sequence_number, 99u);
    EXPECT_EQ(counter.Value(), before);
    for (size_t i = needed - 1; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE) << i;

    codec.EncodePdu(buf.data(), needed, length, pdu, 0);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(buf[needed], 0xEE);
    // Apart from the sequence number the PDU is the same as with room to spare.
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 12, full.begin()));
    EXPECT_TRUE(std::equal(buf.begin() + 16, buf.begin() + needed, full.begin() + 16));
  }
  size_t length = 1;
  TPDU pdu = Submit(kEnquireLink, "", "", "");
  codec.EncodePdu(nullptr, 0, length, pdu, 0);
  EXPECT_EQ(length, 0u);
}

}  // namespace
