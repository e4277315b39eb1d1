// The load bookkeeping alone: pairing of responses and receipts, the rate limiter's pacing
// and back-off on a simulated clock, percentiles, and the JSON text.
#include "load/Matcher.h"
#include "load/RateLimiter.h"
#include "load/ReceiptRing.h"
#include "load/Summary.h"

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace load;

namespace {

// Runs a matcher script, steps separated by spaces: "s7@0" submit 7 at 0 ("s7:A,B@0" a
// submit_multi to A and B); "r7=0a1f@10" its response with message id 0a1f ("r7=x!58@10" rejected
// with status 0x58, "r7=m^B@10" a submit_multi_resp refusing B); "d=2591@40" a receipt
// ("d=2591/UNDELIV@40" in that state, DELIVRD when none is given; "d=m~A@40" from destination A);
// "n=2591@40" an intermediate notification; "c1@0" a submit on its way out, not recorded yet
// ("c-1@0" recorded now); "x@50" the session ended. Gives the counts as one line, the verdict's
// counts at its end when any is not 0.
std::string RunScript(TMatcher& M, const std::string& Script) {
  for (size_t At = 0; At < Script.size();) {
    size_t End = Script.find(' ', At);
    if (End == std::string::npos) End = Script.size();
    const std::string Step = Script.substr(At, End - At);
    At = End + 1;
    const size_t Time = Step.find('@'), Eq = Step.find('='), Bang = Step.find('!');
    const size_t Slash = Step.find('/'), Tilde = Step.find('~'), Hat = Step.find('^');
    const size_t Colon = Step.find(':');
    const TMicros T = std::stoll(Step.substr(Time + 1));
    const std::string Id =
        Eq == std::string::npos
            ? ""
            : Step.substr(Eq + 1, std::min({Bang, Slash, Tilde, Hat, Time}) - Eq - 1);
    auto Tail = [&](size_t From) {
      return From == std::string::npos ? std::string()
                                       : Step.substr(From + 1, std::min(Slash, Time) - From - 1);
    };
    if (Step[0] == 'c') M.Claim(std::stol(Step.substr(1)));
    if (Step[0] == 'x') M.DropInFlight(0);  // the session ended
    if (Step[0] == 's') {
      const std::string Multi =
          Colon == std::string::npos ? "" : Step.substr(Colon + 1, Time - Colon - 1);
      M.Submitted(std::stoul(Step.substr(1)), T, 0, Multi.empty() ? nullptr : &Multi);
    }
    if (Step[0] == 'r')
      M.Responded(std::stoul(Step.substr(1)),
                  Bang == std::string::npos ? 0 : std::stoul(Step.substr(Bang + 1), nullptr, 16),
                  Id, T, 0, Tail(Hat));
    if (Step[0] == 'd' || Step[0] == 'n')
      M.Receipt(Id, T,
                Slash == std::string::npos ? "DELIVRD" : Step.substr(Slash + 1, Time - Slash - 1),
                "000", Tail(Tilde), Step[0] == 'n');
  }
  std::string Verdict;
  if (M.UnexpectedResponses()) Verdict += " unexpected " + std::to_string(M.UnexpectedResponses());
  if (M.DuplicateMessageIds()) Verdict += " dup-ids " + std::to_string(M.DuplicateMessageIds());
  if (M.DuplicateReceipts()) Verdict += " dup-receipts " + std::to_string(M.DuplicateReceipts());
  for (const auto& [Word, N] : M.DoubtfulReasons())
    Verdict += " doubtful " + Word + ":" + std::to_string(N);
  std::string States;
  for (const auto& [Word, N] : M.ReceiptStates()) States += " " + Word + ":" + std::to_string(N);
  return "answered " + std::to_string(M.Answered()) + " receipts " + std::to_string(M.Receipts()) +
         " unmatched " + std::to_string(M.UnmatchedResponses()) + "/" +
         std::to_string(M.UnmatchedReceipts()) + " ambiguous " +
         std::to_string(M.AmbiguousReceipts()) + " inflight " + std::to_string(M.InFlight()) +
         " due " + std::to_string(M.ReceiptsDue()) + " latency " +
         std::to_string(M.ReceiptLatency().Max()) + " ids " +
         std::string(ReceiptIdsWord(M.Convention())) + States + Verdict;
}

TEST(LoadMatcher, PairsByOwnSequenceAndMessageIdOnly) {
  const TReceiptIds A = TReceiptIds::riAuto, X = TReceiptIds::riExact, H = TReceiptIds::riHexDec,
                    D = TReceiptIds::riDecHex, Z = TReceiptIds::riExactNoZeros;
  const struct {
    const char* Name;
    TReceiptIds Ids;
    long PerSubmit;
    const char* Script;
    const char* Want;
  } Cases[] = {
      {"same text, other case", A, 1, "s1@0 r1=0000000A1F@10 d=0000000a1f@30",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 30 ids exact "
       "DELIVRD:1"},
      {"zeros dropped: doubtful under auto", A, 1, "s1@0 r1=0000000A1F@10 d=a1f@30",
       "answered 1 receipts 0 unmatched 0/1 ambiguous 0 inflight 0 due 1 latency 0 ids auto "
       "doubtful exact-nozeros:1"},
      {"exact is text: zeros count", X, 1, "s1@0 r1=10@10 d=0000000010@30",
       "answered 1 receipts 0 unmatched 0/1 ambiguous 0 inflight 0 due 1 latency 0 ids exact"},
      {"exact-nozeros asked for", Z, 1, "s1@0 r1=10@10 d=0000000010@30",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 30 ids "
       "exact-nozeros DELIVRD:1"},
      {"one receipt through hex-dec settles nothing", A, 1, "s1@0 r1=0000000a1f@10 d=2591@40",
       "answered 1 receipts 0 unmatched 0/1 ambiguous 0 inflight 0 due 1 latency 0 ids auto "
       "doubtful hex-dec:1"},
      {"the same id two ways is doubtful each way", A, 1, "s1@0 r1=0000000009@10 d=9@20",
       "answered 1 receipts 0 unmatched 0/1 ambiguous 0 inflight 0 due 1 latency 0 ids auto "
       "doubtful exact-nozeros:1 doubtful hex-dec:1"},
      {"dec-hex only when asked", A, 1, "s1@0 r1=2591@10 d=A1F@50",
       "answered 1 receipts 0 unmatched 0/1 ambiguous 0 inflight 0 due 1 latency 0 ids auto"},
      {"dec-hex asked for", D, 1, "s1@0 r1=2591@10 d=A1F@50",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 50 ids dec-hex "
       "DELIVRD:1"},
      {"exact refuses hex-dec", X, 1, "s1@0 r1=0a@10 d=10@20",
       "answered 1 receipts 0 unmatched 0/1 ambiguous 0 inflight 0 due 1 latency 0 ids exact"},
      {"hex-dec refuses the same text", H, 1, "s1@0 r1=1a@10 d=1a@20",
       "answered 1 receipts 0 unmatched 0/1 ambiguous 0 inflight 0 due 1 latency 0 ids hex-dec"},
      {"an earlier session's held receipt is not message 16's", A, 1,
       "d=000000000a@0 s16@1 r16=0000000010@10",
       "answered 1 receipts 0 unmatched 0/1 ambiguous 0 inflight 0 due 1 latency 0 ids auto"},
      {"a receipt matching two ids matches none", A, 1, "s1@0 s2@0 r1=16@5 r2=10@6 d=16@9",
       "answered 2 receipts 0 unmatched 0/1 ambiguous 1 inflight 0 due 2 latency 0 ids auto"},
      {"one held as ambiguous is counted once the other id's receipt came", A, 1,
       "s1@0 s2@0 r1=a@1 r2=10@2 d=10@3 d=a@4",
       "answered 2 receipts 2 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 4 ids exact "
       "DELIVRD:2"},
      {"an ambiguous receipt is held with the doubtful ones", A, 1,
       "s1@0 s2@0 r1=16@5 r2=10@6 d=16@9 s3@10 r3=b@11 d=11@12",
       "answered 3 receipts 0 unmatched 0/2 ambiguous 1 inflight 0 due 3 latency 0 ids auto "
       "doubtful hex-dec:1"},
      {"equal text counts, hex-dec alone is doubtful", A, 1,
       "s1@0 s2@0 r1=a@5 r2=1b@6 d=10@7 d=1b@8",
       "answered 2 receipts 1 unmatched 0/1 ambiguous 0 inflight 0 due 1 latency 8 ids exact "
       "DELIVRD:1 doubtful hex-dec:1"},
      {"a receipt overtaking its response settles nothing by chance", A, 1,
       "s1@0 s2@0 r1=a@1 d=10@2 r2=10@3 d=a@4",
       "answered 2 receipts 2 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 4 ids exact "
       "DELIVRD:2"},
      {"nor does one overtaking a submit not yet recorded", A, 1,
       "s1@0 r1=a@1 c1@2 d=10@3 c-1@2 s2@2 r2=10@4 d=a@5",
       "answered 2 receipts 2 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 5 ids exact "
       "DELIVRD:2"},
      {"receipt before its response", A, 1, "s7@0 d=abc/UNDELIV@5 r7=abc@9",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 5 ids exact "
       "UNDELIV:1"},
      {"hex-dec before its response, doubtful too", A, 1, "s1@0 r1=a@5 d=10@7 s2@8 d=27@9 r2=1b@12",
       "answered 2 receipts 0 unmatched 0/2 ambiguous 0 inflight 0 due 2 latency 0 ids auto "
       "doubtful hex-dec:2"},
      {"dec-hex asked for, a receipt before its response", D, 1, "s1@0 d=A1F@3 r1=2591@10",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 3 ids dec-hex "
       "DELIVRD:1"},
      {"response before its submit was recorded", A, 0, "r3=x@5 s3@4",
       "answered 1 receipts 0 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 0 ids auto"},
      {"stray response, stray and duplicate receipts", A, 1,
       "s1@0 r9=zz@1 r1=id1@2 d=id1@3 d=id1@4 d=other@5",
       "answered 1 receipts 1 unmatched 1/1 ambiguous 0 inflight 0 due 0 latency 3 ids exact "
       "DELIVRD:1 unexpected 1 dup-receipts 1"},
      {"rejected submit expects no receipt", A, 1, "s1@0 r1=x!58@2 s2@3",
       "answered 1 receipts 0 unmatched 0/0 ambiguous 0 inflight 1 due 0 latency 0 ids auto"},
      {"receipts not awaited: counted, none held", A, 0, "s1@0 r1=a@1 d=a@2 d=b/expired@3",
       "answered 1 receipts 2 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 0 ids auto "
       "DELIVRD:1 EXPIRED:1"},
      {"an intermediate notification leaves the receipt due", A, 1,
       "s1@0 r1=m@1 d=m/ENROUTE@2 d=m/REJECTD@3",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 3 ids exact "
       "ENROUTE:1 REJECTD:1"},
      {"submit_multi: one receipt per destination", A, 2, "s1@0 r1=m@1 d=m@2",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 1 latency 2 ids exact "
       "DELIVRD:1"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TMatcher M(C.PerSubmit, C.Ids);
    EXPECT_EQ(RunScript(M, C.Script), C.Want);
  }
  // While a submit awaits its response, receipts that match one way are votes: the eighth keeps
  // hex-dec, and the receipts held meanwhile are counted.
  std::string Script = "s99@0";
  for (int I = 0; I < 8; ++I)
    Script += " s" + std::to_string(I) + "@0 r" + std::to_string(I) + "=a" + std::to_string(I) +
              "@1 d=" + std::to_string(160 + I) + "@2";  // a0 is 160 in hexadecimal
  TMatcher Voted(1);
  EXPECT_EQ(RunScript(Voted, Script),
            "answered 8 receipts 8 unmatched 0/0 ambiguous 0 inflight 1 due 0 latency 2 ids "
            "hex-dec DELIVRD:8");
}

// What the verdict counts: responses that answer no submit on the wire, receipts told apart by
// destination, message ids given twice, duplicate receipts, intermediate notifications.
TEST(LoadMatcher, CountsWhatTheWireContradicts) {
  const struct {
    const char* Name;
    long PerSubmit;
    const char* Script;
    const char* Want;
  } Cases[] = {
      {"a response read before its submit went", 0, "r3=x@3 s3@4",
       "answered 0 receipts 0 unmatched 1/0 ambiguous 0 inflight 1 due 0 latency 0 ids auto "
       "unexpected 1"},
      {"a response for a number never sent", 0, "s1@0 r1=a@1 r5=b@2",
       "answered 1 receipts 0 unmatched 1/0 ambiguous 0 inflight 0 due 0 latency 0 ids auto "
       "unexpected 1"},
      {"a second answer", 0, "s1@0 r1=a@1 r1=a@2",
       "answered 1 receipts 0 unmatched 1/0 ambiguous 0 inflight 0 due 0 latency 0 ids auto "
       "unexpected 1"},
      {"still unexpected once its session ended", 0, "s1@0 r1=a@1 r1=a@2 r7=b@3 x@4",
       "answered 1 receipts 0 unmatched 2/0 ambiguous 0 inflight 0 due 0 latency 0 ids auto "
       "unexpected 2"},
      {"submit_multi: a receipt from each destination", 2, "s1:A,B@0 r1=m@1 d=m~B@2 d=m~A@3",
       "answered 1 receipts 2 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 3 ids exact "
       "DELIVRD:2"},
      {"submit_multi: two from A stand for none from B", 2, "s1:A,B@0 r1=m@1 d=m~A@2 d=m~A@3",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 1 latency 2 ids exact "
       "DELIVRD:1 dup-receipts 1"},
      {"submit_multi: before the response, too", 2, "s1:A,B@0 d=m~A@1 d=m~A@2 r1=m@3",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 1 latency 1 ids exact "
       "DELIVRD:1 dup-receipts 1"},
      {"submit_multi: a destination refused awaits none", 2, "s1:A,B@0 r1=m^B@1 d=m~A@2",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 2 ids exact "
       "DELIVRD:1"},
      {"a duplicate never fills in for a missing receipt", 1, "s1@0 s2@0 r1=a@1 r2=b@1 d=a@2 d=a@3",
       "answered 2 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 1 latency 2 ids exact "
       "DELIVRD:1 dup-receipts 1"},
      {"one id for two submits", 1, "s1@0 s2@0 r1=c@1 r2=c@2 d=c@3 d=c@4",
       "answered 2 receipts 2 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 4 ids exact "
       "DELIVRD:2 dup-ids 1"},
      {"one id again after its receipt came", 1, "s1@0 r1=c@1 d=c@2 s2@3 r2=c@4",
       "answered 2 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 1 latency 2 ids exact "
       "DELIVRD:1 dup-ids 1"},
      {"a notification before its response is kept", 1, "s1@0 n=m@1 r1=m@2 d=m@3",
       "answered 1 receipts 1 unmatched 0/0 ambiguous 0 inflight 0 due 0 latency 3 ids exact "
       "DELIVRD:1 ENROUTE:1"},
      {"a notification in a final state is no receipt", 1, "s1@0 r1=m@1 n=m/DELIVRD@2",
       "answered 1 receipts 0 unmatched 0/0 ambiguous 0 inflight 0 due 1 latency 0 ids exact "
       "ENROUTE:1"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TMatcher M(C.PerSubmit);
    EXPECT_EQ(RunScript(M, C.Script), C.Want);
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
  EXPECT_EQ(M.ResponseLatency().Percentile(500), 100);
  EXPECT_EQ(M.ReceiptLatency().Percentile(999), 300);
}

// The submits in flight sit in slots by sequence number: one still unanswered when its slot comes
// round again keeps its own time, its own bind and its place in the counts.
TEST(LoadMatcher, ASubmitOutlivingItsSlotIsStillPaired) {
  TMatcher M(0);
  M.SetOwners(2, 10);
  M.Submitted(1, 0, 0);
  M.Submitted(1, 7, 1);
  M.Submitted(1, 8, 1);  // the same number again: awaited once, from its latest send
  for (uint32_t I = 2; I <= 5000; ++I) {
    M.Submitted(I, 10, 0);
    if (I != 1025) M.Responded(I, 0, "", 11, 0);
  }
  M.Submitted(1025, 20, 1);
  EXPECT_EQ(M.InFlight(), 4);
  M.Responded(1, 0, "", 9000, 0);
  EXPECT_EQ(M.ResponseLatency().Max(), 9000);
  EXPECT_EQ(M.DropInFlight(1), 2);
  M.Responded(1, 0, "", 9001, 1);  // bind 2's session ended: its answer is a stray now
  M.Responded(1025, 0, "", 9002, 0);
  EXPECT_EQ(M.InFlight(), 0);
  EXPECT_EQ(M.Answered(), 5000);
  EXPECT_EQ(M.Owner(1).Dropped, 2);
}

TEST(LoadHistogram, PercentilesWithinATenthOfAPercent) {
  THistogram H;
  for (TMicros V = 1; V <= 1000000; ++V) H.Record(V);
  const struct {
    int P;
    TMicros Want;
  } Cases[] = {{500, 500000}, {900, 900000}, {990, 990000}, {999, 999000}, {1000, 1000000}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.P);
    EXPECT_NEAR(static_cast<double>(H.Percentile(C.P)), static_cast<double>(C.Want), C.Want * 1e-3);
  }
  EXPECT_EQ(H.Max(), 1000000);
  THistogram Small;
  for (TMicros V : {3, 1, 2, 1500}) Small.Record(V);
  EXPECT_EQ(Small.Percentile(500), 2);  // exact below 2048
  EXPECT_EQ(Small.Percentile(999), 1500);
  // Nearest rank in integers: p99.9 of 1..1000 is the 999th, not the 1000th.
  THistogram Thousand;
  for (TMicros V = 1; V <= 1000; ++V) Thousand.Record(V);
  EXPECT_EQ(Thousand.Percentile(999), 999);
  EXPECT_EQ(Thousand.Percentile(500), 500);
}

// The submits that go in each whole second when Take is asked as often as it allows, the sender
// waking Late microseconds after each wait.
std::vector<long> PerSecond(TRateLimiter& L, TMicros From, TMicros To,
                            const std::vector<TMicros>& ThrottleAt = {},
                            TMicros (*Late)(TMicros) = nullptr, long Most = 1) {
  std::vector<long> Seconds((To - From) / 1000000, 0);
  size_t NextThrottle = 0;
  for (TMicros T = From; T < To;) {
    if (NextThrottle < ThrottleAt.size() && T >= ThrottleAt[NextThrottle])
      L.Throttled(T, 1000), ++NextThrottle;
    long Taken = Most;
    const TMicros Wait = L.Take(T, Taken);
    if (Wait == 0)
      Seconds[(T - From) / 1000000] += Taken;
    else
      T += Wait + (Late ? Late(T) : 0);
  }
  return Seconds;
}

TEST(LoadRateLimiter, PacesEvenlyAndBacksOffOnThrottling) {
  // On time, and woken 30 ms late every 0.2 s, taking one message at a time or as many as may go:
  // no second over 1010, and the late sender catches up what it missed.
  TMicros (*const Lateness[])(TMicros) = {
      nullptr, [](TMicros T) -> TMicros { return T % 200000 < 1000 ? 30000 : 0; }};
  for (auto Late : Lateness)
    for (long Most : {1L, 64L}) {
      SCOPED_TRACE(std::string(Late ? "late" : "on time") + ", at most " + std::to_string(Most));
      TRateLimiter Steady(1000);
      long Total = 0;
      for (long N : PerSecond(Steady, 0, 10000000, {}, Late, Most)) {
        EXPECT_GE(N, 980);
        EXPECT_LE(N, 1010);
        Total += N;
      }
      EXPECT_NEAR(Total, 10000, 20);
    }
  // At 200 000 a second the sender wakes about once a millisecond, not once a message.
  TRateLimiter Fast(200000);
  long Sent = 0, Waits = 0;
  for (TMicros T = 0; T < 1000000;) {
    const TMicros Wait = Fast.Take(T);
    Wait == 0 ? ++Sent : (T += Wait, ++Waits);
  }
  EXPECT_NEAR(Sent, 200000, 2000);
  EXPECT_LE(Waits, 1100);
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

  // Messages of three parts that go together: a token per submit, so a third as many messages,
  // and the rate never backs off below one message's parts a second.
  TRateLimiter Parts(1000, 3);
  for (long N : PerSecond(Parts, 0, 5000000)) {
    EXPECT_GE(3 * N, 980);
    EXPECT_LE(3 * N, 1010);
  }
  TRateLimiter Floor(4, 3);
  for (TMicros T = 0; T < 5000000; T += 300000) Floor.Throttled(T, 4);
  EXPECT_EQ(Floor.Rate(), 3);
}

TEST(LoadJson, WritesValidJsonWhateverTheBytes) {
  THistogram H;
  H.Record(7);
  const nlohmann::ordered_json J = {{"host", "bad\xff\x01host\"\\"}, {"latency", LatencyJson(H)}};
  const std::string Text = JsonText(J);
  EXPECT_EQ(
      Text,
      "{\"host\":\"bad\xef\xbf\xbd\\u0001host\\\"\\\\\",\"latency\":{\"count\":1,\"p50_us\":7,"
      "\"p90_us\":7,\"p99_us\":7,\"p99_9_us\":7,\"max_us\":7}}");
  EXPECT_TRUE(nlohmann::json::accept(Text));
  std::string Id;
  EXPECT_TRUE(ReceiptLineId("+QUERY_RES 0a:2:000", Id));
  EXPECT_EQ(Id, "0a");
  EXPECT_FALSE(ReceiptLineId("+QUERY_RES x", Id));
  EXPECT_FALSE(ReceiptLineId("+IN_QUEUE ID=1", Id));
}

}  // namespace

// One thread pushes receipts as fast as it can while others take turns draining under a lock, as
// the binds' threads do: every receipt comes out once, whole and in order; a full ring and an id
// longer than a slot are refused, not overwritten or cut.
TEST(LoadReceiptRing, HandsOverEveryReceiptOnceInOrder) {
  TReceiptRing Ring(8);
  EXPECT_FALSE(Ring.Push(std::string(kMaxMessageIdLength + 1, 'x'), "DELIVRD", "000", 0));
  // The longest id a slot takes, and a state word cut to the characters that are counted.
  auto Push = [&](int64_t I) {
    const std::string Id = std::to_string(I);
    return Ring.Push(Id + std::string(kMaxMessageIdLength - Id.size(), '0'),
                     "STATE-OF-SIXTEEN-AND-MORE", "0", I);
  };
  int64_t Pushed = 0;
  while (Push(Pushed)) ++Pushed;
  EXPECT_EQ(Pushed, 8);
  constexpr int64_t kReceipts = 20000;
  std::mutex Lock;
  int64_t Next = 0;  // Lock
  std::vector<std::thread> Drainers;
  for (int T = 0; T < 2; ++T)
    Drainers.emplace_back([&] {
      for (;;) {
        std::this_thread::yield();
        std::lock_guard<std::mutex> G(Lock);
        Ring.Drain([&](const TRingReceipt& R) {
          const std::string Id = std::to_string(Next);
          EXPECT_EQ(R.IdView(), Id + std::string(kMaxMessageIdLength - Id.size(), '0'));
          EXPECT_EQ(R.StateView(), "STATE-OF-SIXTEEN");
          EXPECT_EQ(R.ErrorView(), "0");
          EXPECT_EQ(R.ReadNs, Next++);
        });
        if (Next == kReceipts) return;
      }
    });
  while (Pushed < kReceipts)
    if (Push(Pushed)) ++Pushed;
  for (std::thread& T : Drainers) T.join();
  EXPECT_TRUE(Ring.Empty());
}
