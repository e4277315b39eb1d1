// The trace line's summary of a PDU: the fields a tester reads first, the status named, the text
// decoded and cut, and broken bytes said so.
#include "inspect/PduSummary.h"

#include <gtest/gtest.h>

#include "tests/smpp/PduTestUtil.h"

namespace {

TEST(PduSummary, NamesTheFieldsATesterReadsFirst) {
  const Bytes ucs2 = Wire(
      "05 00 03 07 02 01  00'H'00'e'00'l'00'l'00'o'0020 00'w'00'o'00'r'00'l'00'd'"
      "0020 00'a'00'g'00'a'00'i'00'n'0020 00'a'00'n'00'd'");
  const struct {
    const char* what;
    Bytes pdu;
    std::string summary;
  } cases[] = {
      {"bind",
       PduBuilder().CStr("smppcli").CStr("pw").CStr("").U8(0x34).U8(0).U8(0).CStr("").Finish(
           kBindTransmitter, 1),
       "bind_transmitter seq=1 system_id=smppcli"},
      {"UCS-2 text after a user data header, cut at 20 characters",
       PduBuilder().DeliverHead("555", "1234").DeliverTail(0x40, 8, ucs2).Finish(kDeliverSm, 7),
       "deliver_sm seq=7 src=555 dst=1234 dc=8 text=\"Hello world again an...\""},
      {"quotes and control characters",
       PduBuilder().DeliverHead("1", "2").DeliverTail(0, 0, Text("a\"b\x01")).Finish(kDeliverSm),
       "deliver_sm seq=1 src=1 dst=2 dc=0 text=\"a\\\"b\\x01\""},
      {"response with its status", PduBuilder().CStr("abc").Finish(kSubmitSmResp, 3, kThrottled),
       "submit_sm_resp seq=3 ESME_RTHROTTLED id=abc"},
      {"request with a status", PduOf(kGenericNack, 3, 9), "generic_nack seq=9 ESME_RINVCMDID"},
      {"submit_multi's addresses and lists",
       PduBuilder()
           .CStr("")
           .U8(1)
           .U8(1)
           .CStr("1234")
           .U8(2)
           .U8(1)
           .U8(1)
           .U8(1)
           .CStr("111")
           .U8(2)
           .CStr("list")
           .U8(0)
           .U8(0)
           .U8(0)
           .CStr("")
           .CStr("")
           .U8(0)
           .U8(0)
           .U8(0)
           .U8(0)
           .U8(2)
           .Raw(Text("hi"))
           .Finish(kSubmitMulti, 4),
       "submit_multi seq=4 src=1234 dst=111,list dc=0 text=\"hi\""},
      {"message state", PduBuilder().CStr("7").CStr("").U8(2).U8(0).Finish(kQuerySmResp, 5),
       "query_sm_resp seq=5 ESME_ROK id=7 state=DELIVERED"},
      {"broken", Header(20, kEnquireLink, 0, 2),
       "enquire_link seq=2 [malformed: the PDU ends at octet 16: command_length says 20]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(PduSummary(c.pdu.data(), c.pdu.size()), c.summary);
  }
}

TEST(PduSummary, TraceLinesTellConnectionDirectionAndBoundaries) {
  TPduTraceRecord r;
  r.Connection = TPduConnection::pcRcx;
  r.Kind = TPduTraceKind::tkOpened;
  r.Endpoints = {0x7F000001, 40000, 0x7F000001, 2775};
  EXPECT_EQ(PduTraceLine(r).substr(15), " Rcx connected 127.0.0.1:40000 -> 127.0.0.1:2775");
  r.Kind = TPduTraceKind::tkPdu;
  r.Direction = TPduDirection::pdIn;
  r.Bytes = PduOf(kEnquireLinkResp, 0, 8);
  r.OriginalLength = 70000;
  EXPECT_EQ(PduTraceLine(r).substr(15),
            " Rcx in  enquire_link_resp seq=8 ESME_ROK (70000 octets, 16 kept)");
  EXPECT_EQ(PduTraceLine(r)[2], ':');
  r.Kind = TPduTraceKind::tkFailed;
  r.Bytes = Text("connection refused");
  r.OriginalLength = r.Bytes.size();
  EXPECT_EQ(PduTraceLine(r).substr(15), " Rcx connect failed: connection refused");
  r.Bytes.clear();
  EXPECT_EQ(PduTraceLine(r).substr(15), " Rcx connect failed: connect failed");
}

}  // namespace
