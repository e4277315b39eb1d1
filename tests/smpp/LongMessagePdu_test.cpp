// Byte-exact submits of coded texts and long-message parts: esm_class, data_coding, user data as
// octets, SAR values and message_payload, in submit_sm and submit_multi.
#include <gtest/gtest.h>

#include "PduTestUtil.h"

namespace {

TEST(LongMessagePdu, SubmitsCarryTheirPartsAsBuilt) {
  struct Case {
    const char* Name;
    uint32_t CommandId;
    int DataCoding;
    uint8_t EsmClass;
    Bytes ShortMessage;
    uint16_t SarRef;
    uint8_t SarTotal, SarSeq;
    std::string Payload;
    const char* Tail;  // everything after the (last) destination address, hex
  };
  const Case cases[] = {
      {"udh part in UCS-2", kSubmitSm, 8, 0x40, Hex("05 00 03 01 02 01 00 41"), 0, 0, 0, "",
       "40 00 00 00 00 11 00 08 00 08 05 00 03 01 02 01 00 41"},
      // GSM '@' is the septet 0: octets go as they are, zero included.
      {"gsm with @", kSubmitSm, 0, 0, Hex("00 61 1B 65"), 0, 0, 0, "",
       "00 00 00 00 00 11 00 00 00 04 00 61 1B 65"},
      {"sar part", kSubmitSm, 3, 0, Hex("E9 62"), 0x1234, 2, 1, "",
       "00 00 00 00 00 11 00 03 00 02 E9 62 02 0C 00 02 12 34 02 0E 00 01 02 02 0F 00 01 01"},
      {"payload",
       kSubmitSm,
       0,
       0,
       {},
       0,
       0,
       0,
       "abc",
       "00 00 00 00 00 11 00 00 00 00 04 24 00 03 61 62 63"},
      // submit_multi carries the coding and esm_class of a coded text.
      {"multi udh", kSubmitMulti, 3, 0x40, Hex("05 00 03 09 02 02 E9"), 0, 0, 0, "",
       "40 00 00 00 00 11 00 03 00 07 05 00 03 09 02 02 E9"},
      {"multi sar", kSubmitMulti, 0, 0, Hex("61"), 7, 3, 3, "",
       "00 00 00 00 00 11 00 00 00 01 61 02 0C 00 02 00 07 02 0E 00 01 03 02 0F 00 01 03"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TSMPPClientInfo info;
    TSequenceCounter counter;
    TPduCodec codec{info, counter};
    TPDU pdu;
    pdu.command_id = c.CommandId;
    pdu.submit.source_addr = "1";
    pdu.submit.destination_addr = "22";
    pdu.submit.user_data_octets = true;
    pdu.submit.esm_class = c.EsmClass;
    pdu.submit.short_message = std::string_view(
        reinterpret_cast<const char*>(c.ShortMessage.data()), c.ShortMessage.size());
    pdu.submit.sar_msg_ref_num = c.SarRef;
    pdu.submit.sar_total_segments = c.SarTotal;
    pdu.submit.sar_segment_seqnum = c.SarSeq;
    pdu.submit.message_payload = c.Payload;
    Bytes buf(kPduBufferSize);
    size_t length = 0;
    codec.EncodePdu(buf.data(), buf.size(), length, pdu, c.DataCoding);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(GetU32(buf.data()), length);
    // Header, service_type, source ton/npi and "1"; then either ton/npi and "22", or
    // number_of_dests and one entry (flag, ton, npi, "22").
    const size_t tail = 16 + 1 + 2 + 2 + (c.CommandId == kSubmitSm ? 2 + 3 : 1 + 3 + 3);
    EXPECT_EQ(ToHex(buf.data() + tail, length - tail), c.Tail);
  }
}

TEST(LongMessagePdu, APayloadNoLengthHoldsIsNotBuilt) {
  TSMPPClientInfo info;
  TSequenceCounter counter;
  TPduCodec codec{info, counter};
  TPDU pdu;
  pdu.command_id = kSubmitSm;
  pdu.submit.user_data_octets = true;
  pdu.submit.message_payload.assign(0x10000, 'x');
  Bytes buf(0x20000);
  size_t length = 1;
  codec.EncodePdu(buf.data(), buf.size(), length, pdu, 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(counter.Next(), 1u);  // no number was drawn
}

TEST(LongMessagePdu, ReceivedPartsNameTheirMessageAndKeepTheirOctets) {
  // The SAR optional parameters: reference 0x0102, part 1 of 3.
  const Bytes sar = Hex("02 0C 00 02 01 02 02 0E 00 01 03 02 0F 00 01 01");
  struct Case {
    const char* What;
    Bytes Pdu;
    TTextCoding Alphabet;
    std::string Text;
    const char* UserData;
    uint8_t DataCoding;
    uint16_t Ref;
    uint8_t Total, Seq;
  };
  const Case cases[] = {
      {"GSM, 8-bit header, as GSM",
       PduBuilder()
           .DeliverHead("1", "2")
           .DeliverTail(0x40, 0, Hex("05 00 03 2A 03 02 00 1B 65 41"))
           .Finish(kDeliverSm),
       TTextCoding::tcGsm, "@€A", "00 1B 65 41", 0, 0x2A, 3, 2},
      {"the same as bytes",
       PduBuilder()
           .DeliverHead("1", "2")
           .DeliverTail(0x40, 0, Hex("05 00 03 2A 03 02 00 1B 65 41"))
           .Finish(kDeliverSm),
       TTextCoding::tcBytes,
       std::string("\0\x1B"
                   "eA",
                   4),
       "00 1B 65 41", 0, 0x2A, 3, 2},
      {"UCS-2, 16-bit header, an emoji",
       PduBuilder()
           .DeliverHead("1", "2")
           .DeliverTail(0x40, 8, Hex("06 08 04 12 34 02 01 D8 3D DE 00"))
           .Finish(kDeliverSm),
       TTextCoding::tcBytes, "😀", "D8 3D DE 00", 8, 0x1234, 2, 1},
      {"Latin-1 with SAR values",
       PduBuilder().DeliverHead("1", "2").DeliverTail(0, 3, Hex("E9")).Raw(sar).Finish(kDeliverSm),
       TTextCoding::tcBytes, "é", "E9", 3, 0x0102, 3, 1},
      {"data_sm with SAR values and message_payload",
       PduBuilder()
           .DeliverHead("1", "2")
           .U8(0)
           .U8(0)
           .U8(0)
           .Raw(sar)
           .Raw(Hex("04 24 00 02 68 69"))
           .Finish(kDataSm),
       TTextCoding::tcGsm, "hi", "68 69", 0, 0x0102, 3, 1},
      {"SAR values that tie nothing",
       PduBuilder()
           .DeliverHead("1", "2")
           .DeliverTail(0, 0, Text("x"))
           .Raw(Hex("02 0C 00 02 01 02 02 0E 00 01 02 02 0F 00 01 03"))
           .Finish(kDeliverSm),
       TTextCoding::tcBytes, "x", "78", 0, 0, 0, 0},
      {"a header longer than the message",
       PduBuilder().DeliverHead("1", "2").DeliverTail(0x40, 0, Hex("05 00 03")).Finish(kDeliverSm),
       TTextCoding::tcGsm, "", "", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TPDU pdu;
    TPduCodec::DecodePdu(c.Pdu.data(), c.Pdu.size(), c.Pdu.size(), pdu, c.Alphabet);
    const TDeliver& d = pdu.deliver;
    EXPECT_EQ(d.text, c.Text);
    EXPECT_EQ(ToHex(reinterpret_cast<const uint8_t*>(d.user_data.data()), d.user_data.size()),
              c.UserData);
    EXPECT_EQ(d.data_coding, c.DataCoding);
    EXPECT_EQ(d.sar_msg_ref_num, c.Ref);
    EXPECT_EQ(d.sar_total_segments, c.Total);
    EXPECT_EQ(d.sar_segment_seqnum, c.Seq);
  }
}

}  // namespace
