// Summaries of load runs: histograms that add up exactly and come back from their buckets, the
// JSON written and read back, the refusals of what is no summary, and the merge of runs.
#include "load/Summary.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

using namespace load;
using nlohmann::ordered_json;

namespace {

// A deterministic stream of numbers in [0, 1).
struct TRandom {
  uint64_t State;
  double Next() {
    State = State * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(State >> 11) / 9007199254740992.0;
  }
};

const int kPerMilles[] = {0, 1, 500, 900, 990, 999, 1000};

// Latencies recorded into two histograms and into one of all: the two added have the
// percentiles, count and max of the one, and so has each built back from its buckets.
TEST(LoadHistogram, AddedAndRebuiltEqualOneOfAllSamples) {
  const struct {
    const char* Name;
    double (*Latency)(TRandom&);
    double ToFirst;  // the share of samples recorded into the first histogram
  } Cases[] = {
      {"exact range", [](TRandom& R) { return R.Next() * 4096; }, 0.5},
      {"log-uniform 1 us to 10 s", [](TRandom& R) { return std::exp(R.Next() * 16.1); }, 0.3},
      {"bimodal with seconds-long outliers",
       [](TRandom& R) { return R.Next() < 0.9 ? 300 + R.Next() * 100 : 2e6 + R.Next() * 3e6; },
       0.7},
      {"all in the first", [](TRandom& R) { return 1000 + R.Next() * 1e5; }, 1.0},
      {"one value", [](TRandom&) { return 1234567.0; }, 0.5},
  };
  for (const auto& C : Cases) {
    for (int SubBits : {10, kSeriesSubBits}) {
      SCOPED_TRACE(std::string(C.Name) + ", sub-bits " + std::to_string(SubBits));
      THistogram First(SubBits), Second(SubBits), All(SubBits);
      TRandom R{42};
      for (int I = 0; I < 20000; ++I) {
        const TMicros V = static_cast<TMicros>(C.Latency(R));
        (R.Next() < C.ToFirst ? First : Second).Record(V);
        All.Record(V);
      }
      ASSERT_TRUE(First.Add(Second));
      std::string Error;
      const auto Rebuilt = THistogram::FromBuckets(All.Scheme(), All.Buckets(), All.Max(), Error);
      ASSERT_TRUE(Rebuilt) << Error;
      for (const THistogram* H : {&std::as_const(First), &*Rebuilt}) {
        EXPECT_EQ(H->Count(), All.Count());
        EXPECT_EQ(H->Max(), All.Max());
        EXPECT_EQ(H->Buckets(), All.Buckets());
        for (int P : kPerMilles) EXPECT_EQ(H->Percentile(P), All.Percentile(P)) << P;
      }
    }
  }
  THistogram Fine(10), Coarse(kSeriesSubBits);
  EXPECT_EQ(Coarse.Scheme(), "log-linear-us-5");
  EXPECT_FALSE(Fine.Add(Coarse));
}

TEST(LoadHistogram, RefusesBucketsOfNoScheme) {
  using B = std::vector<THistogram::TBucket>;
  const struct {
    const char* Scheme;
    B Buckets;
    std::optional<TMicros> Max;
    const char* Error;  // empty when accepted
  } Cases[] = {
      {"log-linear-us-11", {{0, 1}, {2049, 2}, {4096, 1}}, 4097, ""},
      {"log-linear-us-10", {{2048, 1}}, std::nullopt, ""},
      {"log-linear-us-10", {}, 0, ""},
      {"log-linear-us-0",
       {},
       0,
       "\"log-linear-us-0\" is no bucket scheme (log-linear-us-1 to log-linear-us-14)"},
      {"log-linear-us-10", {{2049, 1}}, 2049, "2049 us is no bucket of log-linear-us-10"},
      {"log-linear-us-10", {{7, 1}, {5, 1}}, 7, "5 us does not follow the bucket before it"},
      {"log-linear-us-10", {{7, 0}}, 7, "7 us holds 0 samples"},
      {"log-linear-us-10", {{2048, 1}}, 2050, "max 2050 us is not in the last bucket (2048 us)"},
      {"log-linear-us-10", {{5, 1}}, 4, "max 4 us is not in the last bucket (5 us)"},
      {"log-linear-us-10", {}, 3, "max 3 us is not in the last bucket (none)"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Error);
    std::string Error;
    const auto H = THistogram::FromBuckets(C.Scheme, C.Buckets, C.Max, Error);
    EXPECT_EQ(H.has_value(), !*C.Error);
    EXPECT_EQ(Error, C.Error);
    if (H) {
      EXPECT_EQ(H->Buckets(), C.Buckets);
    }
  }
}

// A run of Submits messages from Start, over whole seconds, on two binds.
TSummary RunOf(double Start, long Submits, uint64_t Seed, const std::string& Error = "") {
  TSummary S;
  S.Options = {{"host", "127.0.0.1"}, {"tps", 1000}, {"wait_for_receipts", true}};
  S.ExitStatus = Error.empty() ? 0 : 1;
  S.Error = Error;
  S.StartUnix = Start;
  S.Seconds = 2.5;
  S.CpuSeconds = 0.25;
  TCounts& C = S.Counts;
  C.Messages = C.Submits = C.Answered = C.Receipts = Submits;
  C.Accepted = Submits - 2;
  C.Rejected = C.Throttled = C.BackOffs = 2;
  S.Statuses = {{0, Submits - 2}, {0x58, 2}};
  S.ReceiptIdsUsed = "hex-dec";
  S.ReceiptStates = {{"DELIVRD", Submits - 1}, {"UNDELIV", 1}};
  S.ReceiptErrors = {{"000", Submits}};
  TRandom R{Seed};
  for (long I = 0; I < Submits; ++I) {
    const TMicros Latency = static_cast<TMicros>(std::exp(R.Next() * 12));
    S.ResponseLatency.Record(Latency);
    S.ReceiptLatency.Record(3 * Latency);
    if (I % 2 == 0 || S.Series.empty()) {
      S.Series.push_back({});
      S.Series.back().UnixSecond = static_cast<int64_t>(Start) + I / 2;
    }
    TSecond& T = S.Series.back();
    ++T.Submits, ++T.Answers, ++T.Receipts, T.InFlight = I;
    T.ResponseLatency.Record(Latency);
    T.ReceiptLatency.Record(3 * Latency);
  }
  for (long B = 0; B < 2; ++B) {
    TBindSummary Bind{B, 1, {}};
    TCounts& Of = Bind.Counts;
    Of.Messages = Of.Submits = Of.Answered = Of.Accepted = Of.Receipts =
        Submits / 2 + B * (Submits % 2);
    S.Binds.push_back(Bind);
  }
  return S;
}

TEST(LoadSummary, JsonKeepsTodaysKeysAndComesBackTheSame) {
  TSummary S = RunOf(1765180800.25, 5, 1);
  S.ReceiptStates["BAD\xff\x01"] = 1;
  S.Counts.UnexpectedResponses = 2, S.Counts.DuplicateMessageIds = 3;
  S.Counts.DuplicateReceipts = 4, S.Counts.DoubtfulReceipts = 5;
  S.DoubtfulReasons = {{"hex-dec", 4}, {"exact-nozeros", 1}};
  const ordered_json J = SummaryJson(S);
  TSummary Back;
  std::string Error;
  ASSERT_TRUE(SummaryFromJson(J, Back, Error)) << Error;
  EXPECT_EQ(SummaryJson(Back), J);
  // A summary written before the verdict's counts reads them as none.
  ordered_json Older = J;
  for (const char* Key :
       {"unexpected_responses", "duplicate_message_ids", "duplicate_receipts", "doubtful_receipts"})
    Older["counts"].erase(Key);
  Older.erase("doubtful_reasons");
  ASSERT_TRUE(SummaryFromJson(Older, Back, Error)) << Error;
  EXPECT_EQ(Back.Counts.DoubtfulReceipts, 0);
  EXPECT_TRUE(Back.DoubtfulReasons.empty());
  // Through text as well: every double comes back to the bit.
  Back = {};
  ASSERT_TRUE(SummaryFromJson(ordered_json::parse(JsonText(J)), Back, Error)) << Error;
  EXPECT_EQ(JsonText(SummaryJson(Back)), JsonText(J));

  S = RunOf(1765180800.25, 3, 1);
  S.Binds.resize(1);
  S.Series.resize(1);
  S.RunId = "0123456789abcdef0123456789abcdef";
  S.RunIds = {S.RunId};
  EXPECT_EQ(
      JsonText(SummaryJson(S)),
      R"({"options":{"host":"127.0.0.1","tps":1000,"wait_for_receipts":true},)"
      R"("run_id":"0123456789abcdef0123456789abcdef","run_ids":)"
      R"(["0123456789abcdef0123456789abcdef"],"exit_status":0,"error":"","stopped":false,)"
      R"("stopped_after_s":0.0,"counts":{"messages":3,"submits":3,"answered":3,"accepted":1,)"
      R"("rejected":2,"receipts":3,"unanswered":0,"receipts_missing":0,"unmatched_responses":0,)"
      R"("unmatched_receipts":0,"ambiguous_receipts":0,"throttled":2,"queue_full":0,)"
      R"("back_offs":2,"other_status":0,"reconnects":0,"sessions_lost":0,)"
      R"("unexpected_responses":0,"duplicate_message_ids":0,"duplicate_receipts":0,)"
      R"("doubtful_receipts":0},"unbound_s":0.0,)"
      R"("seconds":2.5,"submits_per_s":1.2,)"
      R"("answered_per_s":1.2,"cpu_us_per_message":83333.33333333333,)"
      R"("response_latency":{"count":3,"p50_us":451,"p90_us":2392,"p99_us":2392,"p99_9_us":2392,)"
      R"("max_us":2393,"scheme":"log-linear-us-10","buckets":[[160,1],[451,1],[2392,1]]},)"
      R"("receipt_latency":{"count":3,"p50_us":1353,"p90_us":7176,"p99_us":7176,"p99_9_us":7176,)"
      R"("max_us":7179,"scheme":"log-linear-us-10","buckets":[[480,1],[1353,1],[7176,1]]},)"
      R"("statuses":{"0x00000000":1,"0x00000058":2},"receipt_ids_used":"hex-dec",)"
      R"("receipt_states":{"DELIVRD":2,"UNDELIV":1},"receipt_errors":{"000":3},)"
      R"("doubtful_reasons":{},"start_unix":1765180800.25,"cpu_s":0.25,"runs":1,"binds":[{"index":0,"run":1,)"
      R"("counts":{"messages":1,"submits":1,"answered":1,"accepted":1,"rejected":0,"receipts":1,)"
      R"("unanswered":0,"receipts_missing":0,"unmatched_responses":0,"unmatched_receipts":0,)"
      R"("ambiguous_receipts":0,"throttled":0,"queue_full":0,"back_offs":0,"other_status":0,)"
      R"("reconnects":0,"sessions_lost":0,"unexpected_responses":0,"duplicate_message_ids":0,)"
      R"("duplicate_receipts":0,"doubtful_receipts":0},"unbound_s":0.0}],)"
      R"("series_scheme":"log-linear-us-5","per_second":[{"t":1765180800,)"
      R"("submits":2,"answers":2,"receipts":2,"throttled":0,"queue_full":0,"other_status":0,)"
      R"("in_flight":1,"response_p50_us":160,"response_p99_us":448,"receipt_p50_us":480,)"
      R"("receipt_p99_us":1344,"response_buckets":[[160,1],[448,1]],"receipt_buckets":[[480,1],)"
      R"([1344,1]]}]})");
}

TEST(LoadSummary, RefusesWhatIsNoSummaryNamingTheKey) {
  const ordered_json Good = SummaryJson(RunOf(1765180800, 5, 1));
  const struct {
    const char* Pointer;  // the key changed, or removed when To is discarded
    ordered_json To;
    const char* Error;
  } Cases[] = {
      {"", {1, 2}, "not a summary of smppcli"},
      {"", {{"counts", 1}}, "not a summary of smppcli"},
      {"/options", 1, "options is not an object"},
      {"/counts/submits", ordered_json(ordered_json::value_t::discarded),
       "counts.submits is missing"},
      {"/counts/submits", -1, "counts.submits is not a count"},
      {"/counts/submits", (int64_t{1} << 53) + 1, "counts.submits is not a count"},
      {"/exit_status", "1", "exit_status is not a whole number"},
      {"/seconds", "2", "seconds is not a number"},
      {"/error", nullptr, "error is not text"},
      {"/response_latency/scheme", "hdr", "response_latency.scheme \"hdr\" is no bucket scheme"},
      {"/receipt_latency/buckets/0",
       {2049, 1},
       "receipt_latency.buckets: 2049 us is no bucket of log-linear-us-10"},
      {"/receipt_latency/buckets/1", {1}, "receipt_latency.buckets[1] is not [lowest_us, count]"},
      {"/response_latency/count", 6,
       "response_latency.count 6 is not the 5 samples of its buckets"},
      {"/response_latency/max_us", 1,
       "response_latency.buckets: max 1 us is not in the last bucket (13976 us)"},
      {"/statuses/0x58", 1, "statuses.0x58 is not a command_status (0x and 8 hex digits)"},
      {"/runs", 0, "runs is not a whole number"},
      {"/binds/0/counts/reconnects", ordered_json(ordered_json::value_t::discarded),
       "binds[0].counts.reconnects is missing"},
      {"/series_scheme", "log-linear-us-99",
       "series_scheme \"log-linear-us-99\" is no bucket scheme"},
      {"/per_second/2/response_buckets", "x", "per_second[2].response_buckets is not a list"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Error);
    ordered_json J = Good;
    const ordered_json::json_pointer At(C.Pointer);
    if (At.empty())
      J = C.To;
    else if (C.To.is_discarded())
      J[At.parent_pointer()].erase(At.back());
    else
      J[At] = C.To;
    TSummary S;
    std::string Error;
    EXPECT_FALSE(SummaryFromJson(J, S, Error));
    EXPECT_EQ(Error, C.Error);
  }
}

TEST(LoadSummary, MergesRunsAsOneRunOfAll) {
  const TSummary A = RunOf(1765180800.5, 6, 1), B = RunOf(1765180801.75, 5, 2, "3 submits lost");
  TSummary M;
  std::string Error;
  ASSERT_TRUE(MergeSummaries({A, B}, M, Error)) << Error;
  EXPECT_EQ(M.StartUnix, 1765180800.5);
  EXPECT_EQ(M.Seconds, 3.75);  // to the end of B
  EXPECT_EQ(M.CpuSeconds, 0.5);
  EXPECT_EQ(M.ExitStatus, 1);
  EXPECT_EQ(M.Error, "run 2: 3 submits lost");
  EXPECT_EQ(SummaryText(M, true),
            "smppcli: merged 2 runs\n"
            "smppcli: 11 messages in 11 submits, answered 11 (rejected 4), receipts 11 in 3.750 s: "
            "3 messages/s, CPU 45454.55 us per message\n"
            "smppcli: response latency: 11, p50 451 us, p90 13976 us, p99 60192 us, p99.9 60192 "
            "us, max 60197 us\n"
            "smppcli: receipt latency: 11, p50 1353 us, p90 41920 us, p99 180480 us, p99.9 180480 "
            "us, max 180591 us\n"
            "smppcli: statuses: ok 7, throttled 0x00000058 4, queue full 0x00000014 0, others 0; "
            "backed off 4 times\n"
            "smppcli: receipt states: DELIVRD 9, UNDELIV 2; err: 000 11; ids compared hex-dec\n"
            "smppcli: bind 1 (run 1): 3 submits, answered 3, receipts 3, reconnects 0\n"
            "smppcli: bind 2 (run 1): 3 submits, answered 3, receipts 3, reconnects 0\n"
            "smppcli: bind 3 (run 2): 2 submits, answered 2, receipts 2, reconnects 0\n"
            "smppcli: bind 4 (run 2): 3 submits, answered 3, receipts 3, reconnects 0\n");
  // Percentiles from the histograms added, never an average of percentiles.
  THistogram All = A.ResponseLatency;
  All.Add(B.ResponseLatency);
  EXPECT_EQ(M.ResponseLatency.Buckets(), All.Buckets());
  EXPECT_EQ(LatencyJson(M.ResponseLatency), LatencyJson(All));
  // Seconds added by their time: A has 0..2 and B 1..3 from 1765180800, with a gap of 4 in the
  // series of C.
  TSummary C = RunOf(1765180805, 2, 3);
  C.ReceiptIdsUsed = "auto";  // no receipt told the conventions apart: agrees with any
  ASSERT_TRUE(MergeSummaries({A, B, C}, M, Error)) << Error;
  EXPECT_EQ(M.ReceiptIdsUsed, "hex-dec");
  std::string Series;
  for (const TSecond& T : M.Series)
    Series += std::to_string(T.UnixSecond % 100) + ":" + std::to_string(T.Submits) + "/" +
              std::to_string(T.InFlight) + "/" + std::to_string(T.ResponseLatency.Count()) + " ";
  EXPECT_EQ(Series, "0:2/1/2 1:4/4/4 2:4/8/4 3:1/4/1 5:2/1/2 ");
  // A merged summary merged again keeps its runs' numbers; conventions that differ are named.
  TSummary Twice;
  C.ReceiptIdsUsed = "exact";
  ASSERT_TRUE(MergeSummaries({C, M}, Twice, Error)) << Error;
  EXPECT_EQ(Twice.ReceiptIdsUsed, "exact,hex-dec");
  EXPECT_EQ(Twice.Runs, 4);
  EXPECT_EQ(Twice.Error, "runs 2-4: run 2: 3 submits lost");
  EXPECT_EQ(Twice.Binds.back().Run, 4);
  EXPECT_EQ(Twice.Binds.back().Index, 8);
}

// Each run counts once, and only as what it ended in: a run given twice (alone or inside a merged
// summary) or a summary whose counts say it failed while its status says it passed is refused,
// named. A summary written before runs had ids merges as before.
TEST(LoadSummary, RefusesToMergeOneRunTwiceOrASummaryThatContradictsItself) {
  const auto Run = [](const char* Id) {
    TSummary S = RunOf(1765180800, 4, 1);
    S.RunId = Id;
    S.RunIds = {Id};
    return S;
  };
  const TSummary A = Run("aa"), B = Run("bb"), Old = RunOf(1765180800, 4, 1);
  TSummary AB;
  std::string Error;
  ASSERT_TRUE(MergeSummaries({A, B}, AB, Error)) << Error;
  EXPECT_EQ(AB.RunIds, (std::vector<std::string>{"aa", "bb"}));
  EXPECT_EQ(AB.RunId.size(), 32u);
  EXPECT_NE(AB.RunId, NewRunId());
  const auto With = [&](auto Change) {
    TSummary S = Run("cc");
    Change(S);
    return S;
  };
  const struct {
    std::vector<TSummary> In;
    const char* Error;  // empty: merged
  } Cases[] = {
      {{A, Old, Old}, ""},
      {{A, A}, "a.json and b.json are summaries of the same run (run id aa): it would count twice"},
      {{B, AB},
       "a.json and b.json are summaries of the same run (run id bb): it would count twice"},
      {{With([](TSummary& S) {
         S.RunIds = {"cc", "cc"};
       })},
       "a.json names run cc twice"},
      {{A, With([](TSummary& S) { S.Counts.Unanswered = 3; })},
       "b.json contradicts itself: exit_status is 0, yet counts.unanswered is 3"},
      {{With([](TSummary& S) { S.Counts.OtherStatus = 1; })},
       "a.json contradicts itself: exit_status is 0, yet counts.other_status is 1"},
      {{With([](TSummary& S) { S.Counts.ReceiptsMissing = 2; })},
       "a.json contradicts itself: exit_status is 0, yet counts.receipts_missing is 2"},
      {{With([](TSummary& S) { S.Counts.SessionsLost = 1; })},
       "a.json contradicts itself: exit_status is 0, yet counts.sessions_lost is 1"},
      {{With([](TSummary& S) { S.Stopped = true; })},
       "a.json contradicts itself: exit_status is 0, yet the run was stopped"},
      {{With([](TSummary& S) { S.Error = "lost"; })},
       "a.json contradicts itself: exit_status is 0, yet error is not empty"},
      {{With([](TSummary& S) { S.ExitStatus = 1; })},
       "a.json contradicts itself: exit_status is not 0, yet error is empty"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Error);
    TSummary M;
    Error.clear();
    EXPECT_EQ(MergeSummaries(C.In, M, Error, {"a.json", "b.json", "c.json"}), !*C.Error);
    EXPECT_EQ(Error, C.Error);
  }
}

TEST(LoadSummary, RefusesToMergeDifferentBucketSchemes) {
  const TSummary A = RunOf(1765180800, 4, 1);
  TSummary Fine = A, Coarse = A;
  Fine.ReceiptLatency = THistogram(12);
  Coarse.Series.back().ResponseLatency = THistogram(4);
  const struct {
    std::vector<TSummary> In;
    const char* Error;
  } Cases[] = {
      {{}, "no summary to merge"},
      {{A, Fine},
       "b.json has receipt_latency in buckets log-linear-us-12, a.json in "
       "log-linear-us-10: summaries of different bucket schemes do not add up"},
      {{A, Coarse},
       "b.json has per_second in buckets log-linear-us-4, a.json in "
       "log-linear-us-5: summaries of different bucket schemes do not add up"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Error);
    TSummary M;
    std::string Error;
    EXPECT_FALSE(MergeSummaries(C.In, M, Error, {"a.json", "b.json"}));
    EXPECT_EQ(Error, C.Error);
  }
}

}  // namespace
