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

}  // namespace
