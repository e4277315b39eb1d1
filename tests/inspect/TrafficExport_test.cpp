// The table's export: CSV and JSON texts for hostile cells, write failures with their reason, and
// a request's row linked to its response's.
#include "inspect/TrafficExport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "smpp/smpppdu.h"
#include "tests/smpp/PduTestUtil.h"

namespace {

TEST(TrafficExport, EscapesCsvAndJsonText) {
  const struct {
    std::string Text, Csv, Json;
  } Cases[] = {
      {"plain", "plain", R"("plain")"},
      {"a,b", R"("a,b")", R"("a,b")"},
      {R"(say "hi")", R"("say ""hi""")", R"("say \"hi\"")"},
      {"a\r\nb", "\"a\r\nb\"", R"("a\r\nb")"},
      {"t\tb\\", "t\tb\\", R"("t\tb\\")"},
      {"\x01\x7f", "\x01\x7f", R"("\u0001\u007f")"},
      {"\xc3\xa9\xc2\x85\xe2\x80\xa8", "\xc3\xa9\xc2\x85\xe2\x80\xa8",
       "\"\xc3\xa9\\u0085\\u2028\""},
      // Not UTF-8: a stray byte, an overlong form, a surrogate, a sequence cut short.
      {"\xff\xc0\x80\xed\xa0\x80z\xe2\x82", "\xff\xc0\x80\xed\xa0\x80z\xe2\x82",
       "\"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFDz\uFFFD\uFFFD\""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Csv);
    EXPECT_EQ(CsvField(C.Text), C.Csv);
    EXPECT_EQ(JsonString(C.Text), C.Json);
    const std::string Parsed = nlohmann::json::parse(C.Json).get<std::string>();  // valid JSON
    if (C.Text[0] != '\xff') {
      EXPECT_EQ(Parsed, C.Text);
    }
  }
  // A whole row: every cell by name, the bytes in hex, one line; CSV's row in quotes where needed.
  TPduTraceRecord R;
  R.Bytes = PduOf(kSubmitSmResp, 0, 7, Bytes{'a', ',', '"', '\n', 0xff, 0});
  R.OriginalLength = R.Bytes.size();
  TTrafficStore Store;
  Store.Append(R);
  const nlohmann::json J =
      nlohmann::json::parse(TableLine(Store.Row(0), TTrafficFormat::tfJsonLines));
  EXPECT_EQ(J["message_id"], "a,\"\n\uFFFD");
  EXPECT_EQ(J["bytes"].get<std::string>().substr(32), "612c220aff00");
  const std::string Csv = TableLine(Store.Row(0), TTrafficFormat::tfCsv);
  EXPECT_NE(Csv.find(",in,submit_sm_resp,7,ESME_ROK,\"a,\"\"\n\uFFFD\","), std::string::npos)
      << Csv;
}

TEST(TrafficExport, WriteFailuresSayWhy) {
  const struct {
    std::string Path, Error;
  } Cases[] = {
      {"/dev/full", "cannot write /dev/full: No space left on device"},
      {"/nonexistent/t.csv", "cannot write /nonexistent/t.csv: No such file or directory"},
  };
  TTrafficStore Store;
  TPduTraceRecord R;
  R.Bytes = PduOf(kEnquireLink, 0, 1);
  for (int I = 0; I < 3; ++I) Store.Append(R);
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Path);
    EXPECT_EQ(WriteTable(C.Path, Store, {0, 1, 2}, TTrafficFormat::tfCsv), C.Error);
    EXPECT_EQ(WriteTextFile(C.Path, "a line\n"), C.Error);
  }
}

TEST(TrafficExport, FindsTheRequestAndItsResponse) {
  using enum TPduConnection;
  constexpr auto In = TPduDirection::pdIn, Out = TPduDirection::pdOut;
  constexpr auto Opened = TPduTraceKind::tkOpened, Closed = TPduTraceKind::tkClosed;
  const struct {
    TPduConnection Connection;
    TPduDirection Direction;
    uint32_t Id, Sequence;  // Id 0: the boundary Kind
    TPduTraceKind Kind;
    int Partner;  // -1: none
    const char* Line;
  } Rows[] = {
      {pcTcx, Out, 0, 0, Opened, -1, ""},
      {pcTcx, Out, kSubmitSm, 1, {}, 5, "Response: submit_sm_resp, ESME_ROK, 4.0 ms later"},
      {pcRcx, In, kDeliverSm, 1, {}, 6, "Response: deliver_sm_resp, ESME_ROK, 4.0 ms later"},
      {pcTcx, Out, kSubmitSm, 2, {}, 4, "Response: submit_sm_resp, ESME_ROK, 1.0 ms later"},
      {pcTcx, In, kSubmitSmResp, 2, {}, 3, "Request: submit_sm, 1.0 ms earlier"},
      {pcTcx, In, kSubmitSmResp, 1, {}, 1, "Request: submit_sm, 4.0 ms earlier"},
      {pcRcx, Out, kDeliverSmResp, 1, {}, 2, "Request: deliver_sm, 4.0 ms earlier"},
      {pcTcx, Out, kEnquireLink, 3, {}, 8, "Response: generic_nack, ESME_ROK, 1.0 ms later"},
      {pcTcx, In, kGenericNack, 3, {}, 7, "Request: enquire_link, 1.0 ms earlier"},
      // The same number both ways on one connection: each answer goes the other way.
      {pcTrx, Out, kSubmitSm, 5, {}, 12, "Response: submit_sm_resp, ESME_ROK, 3.0 ms later"},
      {pcTrx, In, kDeliverSm, 5, {}, 11, "Response: deliver_sm_resp, ESME_ROK, 1.0 ms later"},
      {pcTrx, Out, kDeliverSmResp, 5, {}, 10, "Request: deliver_sm, 1.0 ms earlier"},
      {pcTrx, In, kSubmitSmResp, 5, {}, 9, "Request: submit_sm, 3.0 ms earlier"},
      // Numbers start anew with a new connection.
      {pcTcx, Out, kSubmitSm, 4, {}, -1, "No response in the table"},
      {pcTcx, Out, 0, 0, Closed, -1, ""},
      {pcTcx, Out, 0, 0, Opened, -1, ""},
      {pcTcx, In, kSubmitSmResp, 4, {}, -1, "Its request is not in the table"},
      // A number used again: the older request's answer is lost.
      {pcTcx, Out, kQuerySm, 6, {}, -1, "No response in the table"},
      {pcTcx, Out, kQuerySm, 6, {}, 19, "Response: query_sm_resp, ESME_ROK, 1.0 ms later"},
      {pcTcx, In, kQuerySmResp, 6, {}, 18, "Request: query_sm, 1.0 ms earlier"},
      {pcTcx, In, kOutbind, 7, {}, -1, ""},
  };
  TTrafficStore Store;
  for (size_t I = 0; I < std::size(Rows); ++I) {
    TPduTraceRecord R;
    R.Connection = Rows[I].Connection;
    R.Direction = Rows[I].Direction;
    R.Kind = Rows[I].Id ? TPduTraceKind::tkPdu : Rows[I].Kind;
    if (Rows[I].Id) R.Bytes = PduOf(Rows[I].Id, 0, Rows[I].Sequence);
    R.MonotonicNs = int64_t(I) * 1'000'000;
    Store.Append(R);
  }
  for (size_t I = 0; I < std::size(Rows); ++I) {
    SCOPED_TRACE(I);
    const std::optional<size_t> Partner = PartnerRow(Store, I);
    EXPECT_EQ(Partner ? int(*Partner) : -1, Rows[I].Partner);
    EXPECT_EQ(PartnerLine(Store, I, Partner), Rows[I].Line);
  }
}

}  // namespace
