// smppcli's load bookkeeping alone: pairing of responses and receipts, the rate limiter's pacing
// and back-off on a simulated clock, percentiles, and the JSON text.
#include "tools/LoadRun.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace load;

namespace {

// One step of a matcher script: submit, respond or receipt, at time At.
struct Step {
  char What;  // 's' submitted, 'r' responded, 'd' delivery receipt
  uint32_t Sequence;
  std::string Id;
  uint32_t Status;
  TMicros At;
};

TEST(LoadMatcher, PairsByOwnSequenceAndMessageIdOnly) {
  struct Case {
    const char* Name;
    long ReceiptsPerSubmit;
    std::vector<Step> Steps;
    long Answered, Receipts, UnmatchedResponses, UnmatchedReceipts, InFlight, Due;
    TMicros ReceiptLatencyMax;
  };
  const Case Cases[] = {
      {"same text",
       1,
       {{'s', 1, "", 0, 0}, {'r', 1, "0000000a1f", 0, 10}, {'d', 0, "0000000a1f", 0, 30}},
       1,
       1,
       0,
       0,
       0,
       0,
       30},
      {"response hex, receipt decimal",
       1,
       {{'s', 1, "", 0, 0}, {'r', 1, "0000000a1f", 0, 10}, {'d', 0, "2591", 0, 40}},
       1,
       1,
       0,
       0,
       0,
       0,
       40},
      {"response decimal, receipt hex",
       1,
       {{'s', 1, "", 0, 0}, {'r', 1, "2591", 0, 10}, {'d', 0, "A1F", 0, 50}},
       1,
       1,
       0,
       0,
       0,
       0,
       50},
      {"receipt before its response",
       1,
       {{'s', 7, "", 0, 0}, {'d', 0, "abc", 0, 5}, {'r', 7, "abc", 0, 9}},
       1,
       1,
       0,
       0,
       0,
       0,
       5},
      {"response before its submit was recorded",
       0,
       {{'r', 3, "x", 0, 5}, {'s', 3, "", 0, 4}},
       1,
       0,
       0,
       0,
       0,
       0,
       0},
      {"stray response, stray and duplicate receipts",
       1,
       {{'s', 1, "", 0, 0},
        {'r', 9, "zz", 0, 1},
        {'r', 1, "id1", 0, 2},
        {'d', 0, "id1", 0, 3},
        {'d', 0, "id1", 0, 4},
        {'d', 0, "other", 0, 5}},
       1,
       1,
       1,
       2,
       0,
       0,
       3},
      {"rejected submit expects no receipt",
       1,
       {{'s', 1, "", 0, 0}, {'r', 1, "", 0x58, 2}, {'s', 2, "", 0, 3}},
       1,
       0,
       0,
       0,
       1,
       0,
       0},
      {"receipts not awaited: counted, none held",
       0,
       {{'s', 1, "", 0, 0}, {'r', 1, "a", 0, 1}, {'d', 0, "a", 0, 2}, {'d', 0, "b", 0, 3}},
       1,
       2,
       0,
       0,
       0,
       0,
       0},
      {"submit_multi: one receipt per destination",
       2,
       {{'s', 1, "", 0, 0}, {'r', 1, "m", 0, 1}, {'d', 0, "m", 0, 2}},
       1,
       1,
       0,
       0,
       0,
       1,
       2},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    TMatcher M(C.ReceiptsPerSubmit);
    for (const Step& S : C.Steps) {
      if (S.What == 's') M.Submitted(S.Sequence, S.At);
      if (S.What == 'r') M.Responded(S.Sequence, S.Status, S.Id, S.At);
      if (S.What == 'd') M.Receipt(S.Id, S.At);
    }
    EXPECT_EQ(M.Answered(), C.Answered);
    EXPECT_EQ(M.Receipts(), C.Receipts);
    EXPECT_EQ(M.UnmatchedResponses(), C.UnmatchedResponses);
    EXPECT_EQ(M.UnmatchedReceipts(), C.UnmatchedReceipts);
    EXPECT_EQ(M.InFlight(), C.InFlight);
    EXPECT_EQ(M.ReceiptsDue(), C.Due);
    EXPECT_EQ(M.ReceiptLatency().Max(), C.ReceiptLatencyMax);
  }
}

TEST(LoadMatcher, CountsStatusesAndKeepsNoIdsOnceMatched) {
  TMatcher M(1);
  for (uint32_t I = 1; I <= 100000; ++I) {
    M.Submitted(I, I);
    const uint32_t Status = I % 10 == 0 ? 0x58 : I % 25 == 0 ? 0x14 : 0;
    char Id[16];
    std::snprintf(Id, sizeof Id, "%010x", I);
    M.Responded(I, Status, Id, I + 100);
    M.Receipt(std::to_string(I), I + 300);  // decimal receipt of a hexadecimal id
  }
  EXPECT_EQ(M.Statuses().at(0x58), 10000);
  EXPECT_EQ(M.Statuses().at(0x14), 2000);
  EXPECT_EQ(M.Statuses().at(0), 88000);
  EXPECT_EQ(M.Receipts(), 88000);
  // The receipts of rejected submits are unmatched; nothing else is left.
  EXPECT_EQ(M.UnmatchedReceipts(), 12000);
  EXPECT_EQ(M.ReceiptsDue(), 0);
  EXPECT_EQ(M.ResponseLatency().Percentile(50), 100);
  EXPECT_EQ(M.ReceiptLatency().Percentile(99.9), 300);
}

TEST(LoadHistogram, PercentilesWithinATenthOfAPercent) {
  THistogram H;
  for (TMicros V = 1; V <= 1000000; ++V) H.Record(V);
  const struct {
    double P;
    TMicros Want;
  } Cases[] = {{50, 500000}, {90, 900000}, {99, 990000}, {99.9, 999000}, {100, 1000000}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.P);
    EXPECT_NEAR(static_cast<double>(H.Percentile(C.P)), static_cast<double>(C.Want), C.Want * 1e-3);
  }
  EXPECT_EQ(H.Max(), 1000000);
  THistogram Small;
  for (TMicros V : {3, 1, 2, 1500}) Small.Record(V);
  EXPECT_EQ(Small.Percentile(50), 2);  // exact below 2048
  EXPECT_EQ(Small.Percentile(99.9), 1500);
}

// The submits that go in each whole second when Take is asked as often as it allows, the sender
// waking Late microseconds after each wait.
std::vector<long> PerSecond(TRateLimiter& L, TMicros From, TMicros To,
                            const std::vector<TMicros>& ThrottleAt = {},
                            TMicros (*Late)(TMicros) = nullptr) {
  std::vector<long> Seconds((To - From) / 1000000, 0);
  size_t NextThrottle = 0;
  for (TMicros T = From; T < To;) {
    if (NextThrottle < ThrottleAt.size() && T >= ThrottleAt[NextThrottle])
      L.Throttled(T, 1000), ++NextThrottle;
    const TMicros Wait = L.Take(T);
    if (Wait == 0)
      ++Seconds[(T - From) / 1000000];
    else
      T += Wait + (Late ? Late(T) : 0);
  }
  return Seconds;
}

TEST(LoadRateLimiter, PacesEvenlyAndBacksOffOnThrottling) {
  // On time, and woken 30 ms late every 0.2 s: no second over 1010, and the late sender catches
  // up what it missed.
  TMicros (*const Lateness[])(TMicros) = {
      nullptr, [](TMicros T) -> TMicros { return T % 200000 < 1000 ? 30000 : 0; }};
  for (auto Late : Lateness) {
    SCOPED_TRACE(Late ? "late" : "on time");
    TRateLimiter Steady(1000);
    long Total = 0;
    for (long N : PerSecond(Steady, 0, 10000000, {}, Late)) {
      EXPECT_GE(N, 980);
      EXPECT_LE(N, 1010);
      Total += N;
    }
    EXPECT_NEAR(Total, 10000, 20);
  }
  // Within one tenth of a second never more than a hundredth of a second's worth beyond the rate.
  TRateLimiter Smooth(1000);
  long InFirstTenth = 0;
  for (TMicros T = 0; T < 100000;) {
    const TMicros Wait = Smooth.Take(T);
    Wait == 0 ? ++InFirstTenth : T += Wait;
  }
  EXPECT_LE(InFirstTenth, 111);

  // Throttled at 1 s: the next second runs at about half, and within two more it is back.
  TRateLimiter Backed(1000);
  const std::vector<long> N = PerSecond(Backed, 0, 5000000, {1000000, 1000001, 1100000});
  EXPECT_EQ(Backed.BackOffs(), 1);  // answers in one burst halve once
  EXPECT_LT(N[1], 800);
  EXPECT_GT(N[1], 500);
  EXPECT_GE(N[4], 990);

  // Unlimited until throttled, then half the rate seen, then unlimited again.
  TRateLimiter Free(0);
  EXPECT_EQ(Free.Take(0), 0);
  Free.Throttled(0, 4000);
  EXPECT_EQ(Free.Rate(), 2000);
  Free.Take(3000000);
  EXPECT_EQ(Free.Rate(), 0);
}

TEST(LoadJson, WritesOneObjectWithEscapedText) {
  THistogram H;
  H.Record(7);
  TJson J;
  J.Text("host", "a\"b\\c\n")
      .Integer("sent", 3)
      .Number("rate", 1.5)
      .Bool("ok", false)
      .Object("latency", LatencyJson(H));
  EXPECT_EQ(J.Str(),
            "{\"host\":\"a\\\"b\\\\c\\u000a\",\"sent\":3,\"rate\":1.5,\"ok\":false,\"latency\":"
            "{\"count\":1,\"p50_us\":7,\"p90_us\":7,\"p99_us\":7,\"p99_9_us\":7,\"max_us\":7}}");
  std::string Id;
  EXPECT_TRUE(ReceiptLineId("+QUERY_RES 0a:2:000", Id));
  EXPECT_EQ(Id, "0a");
  EXPECT_FALSE(ReceiptLineId("+QUERY_RES x", Id));
  EXPECT_FALSE(ReceiptLineId("+IN_QUEUE ID=1", Id));
}

}  // namespace
