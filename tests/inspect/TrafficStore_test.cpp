// TTrafficStore: the newest rows kept and the others counted, and the columns read from each row.
#include "inspect/TrafficStore.h"

#include <gtest/gtest.h>

#include <tuple>

#include "smpp/smpppdu.h"
#include "tests/smpp/PduTestUtil.h"

namespace {

TPduTraceRecord Record(TPduTraceKind Kind, Bytes Pdu = {}) {
  TPduTraceRecord R;
  R.Kind = Kind;
  R.OriginalLength = Pdu.size();
  R.Bytes = std::move(Pdu);
  return R;
}

TEST(TrafficStore, KeepsTheNewestRowsAndCountsTheRest) {
  const struct {
    size_t Capacity, Appended, Size;
  } Cases[] = {{3, 2, 2}, {3, 3, 3}, {3, 10, 3}, {1, 4, 1}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Appended);
    TTrafficStore S(C.Capacity);
    size_t Left = 0;
    for (size_t I = 0; I < C.Appended; ++I) {
      TPduTraceRecord R = Record(TPduTraceKind::tkPdu, PduOf(kEnquireLink, 0, uint32_t(I)));
      R.MonotonicNs = int64_t(I);
      Left += S.Append(R);
    }
    EXPECT_EQ(S.Size(), C.Size);
    EXPECT_EQ(S.Dropped(), C.Appended - C.Size);
    EXPECT_EQ(Left, C.Appended - C.Size);
    EXPECT_EQ(S.Row(S.Size() - 1).MonotonicNs, int64_t(C.Appended - 1));
    EXPECT_EQ(TrafficColumns(S.Row(0)).Sequence, std::to_string(C.Appended - C.Size));
  }
  TTrafficStore S(2);
  S.Append(Record(TPduTraceKind::tkClosed));
  S.Clear();
  EXPECT_EQ(S.Size(), 0u);
}

TEST(TrafficStore, ComputesTheColumnsOfARow) {
  TPduTraceRecord Opened = Record(TPduTraceKind::tkOpened);
  Opened.Endpoints = {0x7f000001, 40000, 0x7f000001, 2775};
  TPduTraceRecord Cut = Record(TPduTraceKind::tkPdu, PduOf(kEnquireLink, 0, 9));
  Cut.OriginalLength = 100;
  const struct {
    const char* Name;
    TPduTraceRecord Record;
    TTrafficColumns Expected;
  } Cases[] = {
      {"submit_sm_resp",
       Record(TPduTraceKind::tkPdu, PduOf(kSubmitSmResp, 0, 7, Bytes{'a', 'b', '1', 0})),
       {"submit_sm_resp", "7", "ESME_ROK", "ab1", "submit_sm_resp seq=7 ESME_ROK id=ab1"}},
      {"a request with a status",
       Record(TPduTraceKind::tkPdu, PduOf(kEnquireLink, 0x58, 2)),
       {"enquire_link", "2", "ESME_RTHROTTLED", "", "enquire_link seq=2 ESME_RTHROTTLED"}},
      {"unknown command",
       Record(TPduTraceKind::tkPdu, PduOf(0x00000777, 0, 3)),
       {"0x00000777", "3", "", "", ""}},
      {"short", Record(TPduTraceKind::tkPdu, Bytes{0, 0}), {"(2 bytes)", "", "", "", ""}},
      {"opened", Opened, {"connected", "", "", "", "127.0.0.1:40000 -> 127.0.0.1:2775"}},
      {"closed", Record(TPduTraceKind::tkClosed), {"closed", "", "", "", ""}},
      {"failed",
       Record(TPduTraceKind::tkFailed, Text("host not found")),
       {"connect failed", "", "", "", "host not found"}},
      {"cut", Cut, {"enquire_link", "9", "", "", "enquire_link seq=9 [cut short]"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TTrafficStore S;
    S.Append(C.Record);
    const TTrafficColumns Got = TrafficColumns(S.Row(0));
    EXPECT_EQ(Got.Command, C.Expected.Command);
    EXPECT_EQ(Got.Sequence, C.Expected.Sequence);
    EXPECT_EQ(Got.Status, C.Expected.Status);
    EXPECT_EQ(Got.MessageId, C.Expected.MessageId);
    // The summary is PduSummary's, tested there; only its start and the store's own notes here.
    if (!C.Expected.Summary.empty()) {
      EXPECT_EQ(Got.Summary.substr(0, C.Expected.Summary.size()), C.Expected.Summary);
    }
    // The header's columns alone, as a command or status filter reads them: the same three.
    const TTrafficColumns Header = TrafficHeaderColumns(S.Row(0));
    EXPECT_EQ(std::tie(Header.Command, Header.Sequence, Header.Status),
              std::tie(Got.Command, Got.Sequence, Got.Status));
    EXPECT_EQ(Header.MessageId + Header.Summary, "");
  }
}

}  // namespace
