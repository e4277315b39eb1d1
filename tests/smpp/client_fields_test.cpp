// The settable bind and submit fields and extra optional parameters, byte for byte, and the
// requests beyond Send (query_sm, cancel_sm, replace_sm, raw bytes) against the raw SMSC, with the
// report lines of their answers.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/smpp/PduTestUtil.h"
#include "tests/smpp/RawSmsc.h"

namespace {

// Every field set away from its default, and two extra optional parameters.
void SetEveryField(TSMPPClientInfo& info) {
  info.SetUserID("u");
  info.SetPassword("p");
  info.Set_bind_addr_ton(1);
  info.Set_bind_addr_npi(0x109);  // only the low 8 bits go out
  info.Set_bind_address_range("^44");
  info.Set_bind_interface_version(0x33);
  info.Set_submit_source_addr_ton(1);
  info.Set_submit_source_addr_npi(1);
  info.Set_submit_dest_addr_ton(2);
  info.Set_submit_dest_addr_npi(2);
  SetSubmitFields(info);
  info.SetExtraTlvs({{0x1403, Text("ab")}, {0x0204, {0x00, 0x07}}});
}

TEST(ClientFields, EveryFieldAndTheExtraParametersGoOutAsSet) {
  TSMPPClientInfo info;
  TSequenceCounter counter;
  TPduCodec codec(info, counter);
  SetEveryField(info);
  const char* kSchedule = "'261231235959004+' 00";
  const std::string kExtras = "14 03 00 02 'ab' 02 04 00 02 00 07";
  struct Case {
    const char* name;
    uint32_t id;
    std::function<void(TPDU&)> fill;
    int coding;
    std::string body;
  };
  const Case cases[] = {
      {"bind", kBindTransmitter, [](TPDU&) {}, 0, "'u' 00 'p' 00 00 33 01 09 '^44' 00"},
      {"submit_sm", kSubmitSm, [](TPDU&) {}, 0,
       std::string("'WAP' 00 01 01 '1' 00 02 02 '2' 00 83 7F 03 ") + kSchedule +
           " 00 01 01 00 09 02 'hi' " + kExtras},
      // A coded part: the coding's UDHI bit joins the setting's, the extras follow the SAR values.
      {"submit_sm with SAR", kSubmitSm,
       [](TPDU& p) {
         p.submit.esm_class = 0x40, p.submit.user_data_octets = true;
         p.submit.sar_msg_ref_num = 0x0102, p.submit.sar_total_segments = 2;
         p.submit.sar_segment_seqnum = 1;
       },
       8,
       std::string("'WAP' 00 01 01 '1' 00 02 02 '2' 00 C3 7F 03 ") + kSchedule +
           " 00 01 01 08 09 02 'hi' 02 0C 00 02 01 02 02 0E 00 01 02 02 0F 00 01 01 " + kExtras},
      {"submit_multi", kSubmitMulti, [](TPDU& p) { p.submit.destination_addr = "2, 3"; }, 0,
       std::string("'WAP' 00 01 01 '1' 00 02 01 02 02 '2' 00 01 02 02 '3' 00 83 7F 03 ") +
           kSchedule + " 00 01 01 00 09 02 'hi' " + kExtras},
      {"query_sm", kQuerySm, [](TPDU& p) { p.request.source_given = true; }, 0,
       "'ab12' 00 01 01 '1' 00"},
      {"cancel_sm", kCancelSm, [](TPDU& p) { p.request.destination_addr = "2"; }, 0,
       "'WAP' 00 'ab12' 00 01 01 '1' 00 02 02 '2' 00"},
      {"replace_sm", kReplaceSm, [](TPDU& p) { p.request.short_message = "new"; }, 0,
       std::string("'ab12' 00 01 01 '1' 00 ") + kSchedule + " 00 01 09 03 'new'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPDU pdu;
    pdu.command_id = c.id;
    pdu.message_id = "ab12";
    pdu.submit.source_addr = "1";
    pdu.submit.destination_addr = "2";
    pdu.submit.short_message = "hi";
    pdu.request.source_addr = "1";
    c.fill(pdu);
    Bytes buf(kPduBufferSize);
    size_t length = 0;
    codec.EncodePdu(buf.data(), buf.size(), length, pdu, c.coding);
    buf.resize(length);
    EXPECT_EQ(ToHex(buf), ToHex(PduOf(c.id, 0, pdu.sequence_number, Wire(c.body))));
  }
}

TEST_F(RawSmsc, RequestsGoOutOnTheTransmitterAndTheirAnswersAreReported) {
  EXPECT_EQ(client->QuerySm("1a2b", "1"), -1);  // not connected: nothing, no line
  bindBoth();
  const Bytes raw = PduOf(kSubmitSm, 0, 0x1234, Wire("00 00 00 '1' 00 00 00 '2' 00 FF"));
  struct Case {
    const char* name;
    std::function<int32_t(TSmppClient&)> send;
    uint32_t sentId;
    // The SMSC's answer to the request of that sequence number, and the line after "seq N".
    std::function<Bytes(uint32_t)> answer;
    std::string line;
  };
  const Case cases[] = {
      {"query delivered", [](TSmppClient& c) { return c.QuerySm("1a2b", "1"); }, kQuerySm,
       [](uint32_t s) {
         return PduOf(kQuerySmResp, 0, s, Wire("'1a2b' 00 '261207120000000+' 00 02 00"));
       },
       "Tcx query_sm_resp seq # ESME_ROK id 1a2b state DELIVERED (2) final_date "
       "261207120000000+"},
      {"query rejected, body cut short", [](TSmppClient& c) { return c.QuerySm("x", "1"); },
       kQuerySm, [](uint32_t s) { return PduOf(kQuerySmResp, 0, s, Wire("'x' 00 00 08 03")); },
       "Tcx query_sm_resp seq # ESME_ROK id x state REJECTED (8) error_code 3"},
      {"query failed", [](TSmppClient& c) { return c.QuerySm("x", "1"); }, kQuerySm,
       [](uint32_t s) { return PduOf(kQuerySmResp, 0x67, s); },
       "Tcx query_sm_resp seq # ESME_RQUERYFAIL"},
      {"query throttled", [](TSmppClient& c) { return c.QuerySm("x", "1"); }, kQuerySm,
       [](uint32_t s) { return PduOf(kQuerySmResp, kThrottled, s); },
       "Tcx query_sm_resp seq # ESME_RTHROTTLED"},
      {"query not supported", [](TSmppClient& c) { return c.QuerySm("x", "1"); }, kQuerySm,
       [](uint32_t s) { return PduOf(kGenericNack, 3, s); },
       "Tcx generic_nack seq # ESME_RINVCMDID (query_sm)"},
      {"cancel", [](TSmppClient& c) { return c.CancelSm("1a2b", "1", "2"); }, kCancelSm,
       [](uint32_t s) { return PduOf(kCancelSmResp, 0x400, s); },
       "Tcx cancel_sm_resp seq # 0x00000400 (vendor specific)"},
      {"replace", [](TSmppClient& c) { return c.ReplaceSm("1a2b", "1", "new"); }, kReplaceSm,
       [](uint32_t s) { return PduOf(kReplaceSmResp, 0x13, s); },
       "Tcx replace_sm_resp seq # ESME_RREPLACEFAIL"},
      {"raw, its number patched",
       [](TSmppClient& c) { return c.SendRaw(Header(16, 0x99, 0, 0), true); }, 0x99,
       [](uint32_t s) { return PduOf(kGenericNack, 3, s); },
       "Tcx generic_nack seq # ESME_RINVCMDID (raw PDU)"},
      {"raw as given", [&](TSmppClient& c) { return c.SendRaw(raw, false); }, kSubmitSm,
       [](uint32_t s) { return PduOf(kSubmitSmResp, 0, s, Wire("'77' 00")); },
       "Tcx submit_sm_resp seq # ESME_ROK id 77 (raw PDU)"},
      {"raw, an unknown answer",
       [](TSmppClient& c) { return c.SendRaw(Header(16, 0x98, 0, 0), true); }, 0x98,
       [](uint32_t s) { return PduOf(0x80000098, 0xFF, s); },
       "Tcx command 0x80000098 seq # ESME_RUNKNOWNERR (raw PDU)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t from = reports->mark();
    const int32_t seq = c.send(*client);
    ASSERT_GT(seq, 0);
    auto sent = tcx->readUntil(c.sentId);
    ASSERT_TRUE(sent);
    EXPECT_EQ(GetU32(sent->data() + 12), uint32_t(seq));
    if (c.sentId == kSubmitSm) {
      EXPECT_EQ(ToHex(*sent), ToHex(raw));
    }
    tcx->write(c.answer(uint32_t(seq)));
    std::string line = c.line;
    line.replace(line.find('#'), 1, std::to_string(seq));
    EXPECT_EQ(reports->waitFor(On::Tcx, "Tcx ", from), line) << reports->dump();
  }
}

TEST_F(RawSmsc, RequestsThatCannotBeBuiltAreRefusedWithTheReason) {
  bindBoth();
  struct Case {
    std::function<int32_t(TSmppClient&)> send;
    const char* line;
  };
  const Case cases[] = {
      {[](TSmppClient& c) {
         return c.SendRaw(Bytes{1, 2, 3}, true);
       },
       "Tcx raw PDU refused: no sequence number to set in 3 bytes"},
      {[](TSmppClient& c) { return c.SendRaw(Bytes{}, false); }, "Tcx raw PDU refused: no bytes"},
      {[](TSmppClient& c) { return c.QuerySm(std::string(65, '1'), "1"); },
       "Tcx query_sm refused: the message id has 65 characters, at most 64"},
      {[](TSmppClient& c) { return c.CancelSm(std::string("1\0002", 3), "1", "2"); },
       "Tcx cancel_sm refused: the message id holds a NUL character"},
      {[](TSmppClient& c) { return c.ReplaceSm("1", "1", std::string(255, 'x')); },
       "Tcx replace_sm refused: the text has 255 octets, at most 254"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const size_t from = reports->mark();
    EXPECT_EQ(c.send(*client), -1);
    EXPECT_EQ(reports->waitFor(On::Tcx, "Tcx ", from), c.line);
  }
  // Nothing went out: the next PDU the SMSC reads is the query that follows.
  const int32_t seq = client->QuerySm("1", "1");
  auto next = tcx->read();
  ASSERT_TRUE(next);
  EXPECT_EQ(GetU32(next->data() + 4), kQuerySm);
  EXPECT_EQ(GetU32(next->data() + 12), uint32_t(seq));
}

}  // namespace
