// TMessageJourney: messages tied to their responses and receipts from a trace, their states, the
// orphan receipts, the bound and what a view is told of changes.
#include "inspect/MessageJourney.h"

#include <gtest/gtest.h>

#include "tests/smpp/PduTestUtil.h"

namespace {

using enum TPduConnection;
constexpr int64_t kMs = 1'000'000;

TPduTraceRecord Rec(TPduDirection Direction, int64_t Ms, Bytes Pdu, TPduConnection C,
                    TPduTraceKind Kind = TPduTraceKind::tkPdu) {
  const size_t Length = Pdu.size();
  return {C, Direction, Kind, {}, Ms * kMs, Length, std::move(Pdu)};
}
TPduTraceRecord Out(int64_t Ms, Bytes Pdu, TPduConnection C = pcTcx) {
  return Rec(TPduDirection::pdOut, Ms, std::move(Pdu), C);
}
TPduTraceRecord In(int64_t Ms, Bytes Pdu, TPduConnection C = pcTcx) {
  return Rec(TPduDirection::pdIn, Ms, std::move(Pdu), C);
}
TPduTraceRecord Closed(TPduConnection C) {
  return Rec(TPduDirection::pdIn, 0, {}, C, TPduTraceKind::tkClosed);
}

Bytes Tlv(uint16_t Tag, const Bytes& Value) {
  Bytes T{uint8_t(Tag >> 8), uint8_t(Tag), 0, uint8_t(Value.size())};
  T.insert(T.end(), Value.begin(), Value.end());
  return T;
}
Bytes Submit(uint32_t Seq, Bytes Message = Text("hi"), uint8_t Esm = 0, const Bytes& Tlvs = {},
             uint8_t RegisteredDelivery = 1) {
  PduBuilder B;
  B.CStr("").U8(1).U8(1).CStr("100").U8(1).U8(1).CStr("555").U8(Esm).U8(0).U8(0).CStr("").CStr("");
  B.U8(RegisteredDelivery).U8(0).U8(0).U8(0).U8(uint8_t(Message.size())).Raw(Message).Raw(Tlvs);
  return B.Finish(kSubmitSm, Seq);
}
// A part of a concatenated message: by a user data header, or by SAR values.
Bytes Udh(uint32_t Seq, uint8_t Ref, uint8_t Total, uint8_t N) {
  return Submit(Seq, Bytes{5, 0, 3, Ref, Total, N, 'x'}, kEsmUdhi);
}
Bytes Sar(uint32_t Seq, uint8_t Ref, uint8_t Total, uint8_t N) {
  Bytes All = Tlv(kTagSarMsgRefNum, {0, Ref});
  for (const Bytes& T : {Tlv(kTagSarTotalSegments, {Total}), Tlv(kTagSarSegmentSeqnum, {N})})
    All.insert(All.end(), T.begin(), T.end());
  return Submit(Seq, Text("x"), 0, All);
}
Bytes Resp(uint32_t Seq, const std::string& Id, uint32_t Status = 0) {
  return PduBuilder().CStr(Id).Finish(kSubmitSmResp, Seq, Status);
}
Bytes Receipt(uint32_t Seq, const std::string& Id, const std::string& Stat,
              const std::string& Err = "000", uint8_t Esm = kEsmDeliveryReceipt) {
  const std::string Body = "id:" + Id + " sub:001 dlvrd:001 submit date:2601010000 done date:" +
                           "2601010000 stat:" + Stat + " err:" + Err + " text:hi";
  return PduBuilder()
      .DeliverHead("555", "100")
      .DeliverTail(Esm, 0, Text(Body))
      .Finish(kDeliverSm, Seq);
}
// A receipt that names its message by optional parameters only: receipted_message_id and
// message_state.
Bytes ReceiptTlv(uint32_t Seq, const std::string& Id, uint8_t State) {
  Bytes IdZ = Text(Id);
  IdZ.push_back(0);
  return PduBuilder()
      .DeliverHead("555", "100")
      .DeliverTail(kEsmDeliveryReceipt, 0, {})
      .Raw(Tlv(kTagReceiptedMessageId, IdZ))
      .Raw(Tlv(kTagMessageState, {State}))
      .Finish(kDeliverSm, Seq);
}

// The states of the messages joined by " / ", the orphans, and the first message's times in ms
// from its submit to its response and to its receipt ("-" for none).
std::string Outcome(const TMessageJourney& J) {
  std::string Out;
  for (size_t I = 0; I < J.Count(); ++I) Out += (I ? " / " : "") + JourneyState(J.Message(I));
  if (J.OrphanCount()) Out += " + " + std::to_string(J.OrphanCount()) + " orphan";
  for (int64_t Ns : {J.Message(0).ResponseDelayNs(), J.Message(0).ReceiptDelayNs()})
    Out += " · " + (Ns < 0 ? std::string("-") : std::to_string(Ns / kMs));
  return Out;
}

template <typename... T>
std::vector<TPduTraceRecord> Trace(T... Records) {
  return {std::move(Records)...};
}

TEST(MessageJourney, TiesEachMessageToItsAnswers) {
  const struct {
    const char* Name;
    std::string Outcome;
    std::vector<TPduTraceRecord> Trace;
  } Cases[] = {
      {"plain", "DELIVRD · 5 · 20",
       Trace(Out(0, Submit(1)), In(5, Resp(1, "A1")), In(20, Receipt(7, "a1", "DELIVRD"), pcRcx))},
      {"receipt by optional parameters, id padded", "UNDELIV · 5 · 9",
       Trace(Out(0, Submit(1)), In(5, Resp(1, "00ff")), In(9, ReceiptTlv(7, "FF", 5), pcRcx))},
      {"undelivered with err", "UNDELIV (err 005) · 5 · 9",
       Trace(Out(0, Submit(1)), In(5, Resp(1, "7")), In(9, Receipt(2, "7", "UNDELIV", "005")))},
      {"intermediate", "accepted, ENROUTE · 5 · -",
       Trace(Out(0, Submit(1)), In(5, Resp(1, "7")),
             In(9, Receipt(2, "7", "ENROUTE", "000", 0x20)))},
      {"no receipt asked", "accepted · 5 · -",
       Trace(Out(0, Submit(1, Text("hi"), 0, {}, 0)), In(5, Resp(1, "7")))},
      {"rejected", "rejected: ESME_RTHROTTLED · 3 · -",
       Trace(Out(0, Submit(1)), In(3, Resp(1, "", kThrottled)))},
      {"generic_nack", "rejected: ESME_RINVCMDID · 3 · -",
       Trace(Out(0, Submit(1)), In(3, PduOf(kGenericNack, 3, 1)))},
      {"response on another connection", "awaiting response · - · -",
       Trace(Out(0, Submit(1)), In(3, Resp(1, "7"), pcRcx))},
      {"no response", "no response · - · -",
       Trace(Out(0, Submit(1)), Closed(pcTcx), In(3, Resp(1, "7")))},
      {"3 parts by UDH", "DELIVRD · 6 · 9",
       Trace(Out(0, Udh(1, 9, 3, 1)), Out(1, Udh(2, 9, 3, 2)), Out(2, Udh(3, 9, 3, 3)),
             In(4, Resp(1, "m1")), In(6, Resp(3, "m3")), In(5, Resp(2, "m2")),
             In(8, Receipt(4, "m2", "DELIVRD")), In(9, Receipt(5, "m1", "DELIVRD")),
             In(7, Receipt(6, "m3", "DELIVRD")))},
      {"3 parts by SAR, one receipt", "accepted, 1 of 3 receipts · 6 · -",
       Trace(Out(0, Sar(1, 4, 3, 1)), Out(1, Sar(2, 4, 3, 2)), Out(2, Sar(3, 4, 3, 3)),
             In(4, Resp(1, "m1")), In(5, Resp(2, "m2")), In(6, Resp(3, "m3")),
             In(7, Receipt(4, "m2", "DELIVRD")), In(8, Receipt(5, "m2", "DELIVRD")))},
      {"a part missing, a reference reused",
       "accepted, no receipt yet (2 of 3 parts) / awaiting response (1 of 3 parts) · - · -",
       Trace(Out(0, Udh(1, 9, 3, 1)), Out(1, Udh(2, 9, 3, 2)), In(2, Resp(1, "a")),
             In(3, Resp(2, "b")), Out(4, Udh(3, 9, 3, 1)))},
      {"orphan", "accepted, no receipt yet + 1 orphan · 5 · -",
       Trace(Out(0, Submit(1)), In(5, Resp(1, "A1")), In(9, Receipt(2, "B2", "DELIVRD")))},
      {"receipt before the response", "DELIVRD · 5 · 4",
       Trace(Out(0, Submit(1)), In(4, Receipt(2, "A1", "DELIVRD"), pcRcx), In(5, Resp(1, "A1")))},
      {"id reused: the newest", "accepted, no receipt yet / DELIVRD · 1 · -",
       Trace(Out(0, Submit(1)), In(1, Resp(1, "X")), Out(2, Submit(2)), In(3, Resp(2, "X")),
             In(4, Receipt(2, "X", "DELIVRD")))},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TMessageJourney J;
    for (const TPduTraceRecord& R : C.Trace) J.OnTrace(R);
    EXPECT_EQ(Outcome(J), C.Outcome);
  }
}

TEST(MessageJourney, KeepsTheNewestAndTellsAViewWhatChanged) {
  TMessageJourney J(3);
  const auto Changes = [&](size_t Removed, size_t Added, std::vector<size_t> Changed) {
    const TJourneyChanges C = J.TakeChanges();
    EXPECT_EQ(C.Removed, Removed);
    EXPECT_EQ(C.Added, Added);
    EXPECT_EQ(C.Changed, Changed);
  };
  J.OnTrace(Out(0, Submit(1)));
  J.OnTrace(Out(0, Submit(2)));
  Changes(0, 2, {});
  J.OnTrace(In(1, Resp(2, "id2")));
  J.OnTrace(In(1, Resp(1, "id1")));
  for (uint32_t Seq : {3, 4}) J.OnTrace(Out(2, Submit(Seq)));
  Changes(1, 2, {0});
  EXPECT_EQ(J.Evicted(), 1u);
  EXPECT_EQ(J.RowOfMessageId("ID2"), 0u);
  EXPECT_EQ(J.RowOfMessageId("id1"), std::nullopt);
  const Bytes Submit1 = Submit(1), Submit4 = Submit(4), Nack4 = PduOf(kGenericNack, 1, 4);
  EXPECT_EQ(J.RowOfPdu(pcTcx, TPduDirection::pdOut, Submit1.data(), Submit1.size()), std::nullopt);
  EXPECT_EQ(J.RowOfPdu(pcTcx, TPduDirection::pdOut, Submit4.data(), Submit4.size()), 2u);
  EXPECT_EQ(J.RowOfPdu(pcTcx, TPduDirection::pdIn, Nack4.data(), Nack4.size()), 2u);
  EXPECT_EQ(J.RowOfPdu(pcRcx, TPduDirection::pdOut, Submit4.data(), Submit4.size()), std::nullopt);
  // A receipt for a message that left is an orphan; one for a held message is found by the SMSC's
  // sequence number, its own and our answer's.
  J.OnTrace(In(3, Receipt(4, "id1", "DELIVRD"), pcRcx));
  J.OnTrace(In(3, Receipt(4, "id2", "DELIVRD"), pcTrx));
  const Bytes Answer = PduOf(kDeliverSmResp, 0, 4), Enquire = PduOf(kEnquireLink, 0, 4);
  EXPECT_EQ(J.RowOfPdu(pcTrx, TPduDirection::pdOut, Answer.data(), Answer.size()), 0u);
  EXPECT_EQ(J.RowOfPdu(pcTrx, TPduDirection::pdOut, Enquire.data(), Enquire.size()), std::nullopt);
  EXPECT_EQ(J.OrphanCount(), 1u);
  EXPECT_TRUE(J.TakeChanges().OrphansChanged);
  for (uint32_t Seq = 5; Seq < 10; ++Seq) J.OnTrace(Out(4, Submit(Seq)));
  Changes(3, 3, {});
  J.Clear();
  Changes(3, 0, {});
  EXPECT_EQ(J.OrphanCount(), 0u);
}

TEST(MessageJourney, TakesPdusCutShortAnywhere) {
  const Bytes Pdus[] = {Udh(1, 9, 3, 1),        Sar(2, 4, 3, 1),
                        Resp(1, "m1"),          Receipt(4, "m1", "DELIVRD"),
                        ReceiptTlv(5, "m1", 2), PduOf(kGenericNack, 3, 2)};
  TMessageJourney J;
  for (const Bytes& Pdu : Pdus)
    for (size_t N = 0; N <= Pdu.size(); ++N)
      for (TPduDirection D : {TPduDirection::pdOut, TPduDirection::pdIn})
        J.OnTrace(Rec(D, 0, Bytes(Pdu.begin(), Pdu.begin() + N), pcTrx));
  EXPECT_GT(J.Count(), 0u);
}

}  // namespace
