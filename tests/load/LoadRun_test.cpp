// The load run against our minimal SMSC on loopback: the seconds it publishes while it goes add
// up to its totals, and a bind whose connection is lost mid-run loses no submit from the counts.
#include "load/LoadRun.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "smpp/smppclient.h"
#include "tests/interop/SmscProcess.h"

namespace {

using load::TLoadOptions;
using load::TLoadRun;
using load::TSummary;

// Runs a load with these options against the sink started with SinkArgs, reading the seconds
// from another thread while it goes (as a window's timer does). Gives the verdict.
struct SinkRun {
  std::string Verdict;
  TSummary Summary;
  std::vector<load::TSecond> Seen;  // as read while the run went
};

SinkRun RunAgainstSink(const std::vector<std::string>& SinkArgs, TLoadOptions O) {
  smpptest::SmscProcess Sink(SinkArgs);
  Sink.useSink();
  SinkRun Out;
  if (!Sink.start()) {
    ADD_FAILURE() << Sink.error();
    return Out;
  }
  O.Host = "127.0.0.1";
  O.Port = Sink.port();
  O.Source = "1234";
  O.Destination = "5551234";
  O.Text = "load";
  TLoadRun Run(O, [&] {
    auto C = std::make_unique<TSmppClient>(nullptr);
    C->ClientInfo().SetHost(O.Host);
    C->ClientInfo().SetPort(O.Port);
    // A lost connection noticed after one idle second, made again five seconds later.
    C->Tcx().Set_tcxTimerInterval(1);
    if (O.Transceiver) C->ClientInfo().Set_bind_mode(TBindMode::bmTransceiver);
    return C;
  });
  std::atomic<bool> Done{false};
  std::thread Reader([&] {
    while (!Done.load()) {
      for (load::TSecond& S : Run.Seconds(Out.Seen.size())) Out.Seen.push_back(std::move(S));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  });
  Out.Verdict = Run.Bind();
  if (Out.Verdict.empty()) Out.Verdict = Run.Run();
  Done.store(true);
  Reader.join();
  Run.Close();
  Out.Summary = Run.Summary();
  return Out;
}

// Every bind's counts, added, give the run's; none is lost between them.
void ExpectBindsAddUp(const TSummary& S) {
  load::TCounts Sum;
  for (const load::TBindSummary& B : S.Binds) {
    Sum.Messages += B.Counts.Messages, Sum.Submits += B.Counts.Submits;
    Sum.Answered += B.Counts.Answered, Sum.Receipts += B.Counts.Receipts;
    Sum.Unanswered += B.Counts.Unanswered;
    EXPECT_EQ(B.Counts.Submits, B.Counts.Answered + B.Counts.Unanswered) << "bind " << B.Index;
  }
  EXPECT_EQ(Sum.Messages, S.Counts.Messages);
  EXPECT_EQ(Sum.Submits, S.Counts.Submits);
  EXPECT_EQ(Sum.Answered, S.Counts.Answered);
  EXPECT_EQ(Sum.Receipts, S.Counts.Receipts);
  EXPECT_EQ(Sum.Unanswered, S.Counts.Unanswered);
  EXPECT_EQ(S.Counts.Submits, S.Counts.Answered + S.Counts.Unanswered);
}

// Two binds at 2000 submits a second for 2.5 s with a receipt each: the seconds come one after
// the other on the wall clock's seconds, none over the rate, and the published ones with the
// second cut short at the end add up to the totals, latencies included.
TEST(LoadRun, PublishesEachSecondAndItsFiguresAddUp) {
  TLoadOptions O;
  O.Binds = 2;
  O.Tps = 2000;
  O.Duration = 2.5;
  const SinkRun R = RunAgainstSink({"--receipts"}, O);
  EXPECT_EQ(R.Verdict, "");
  const TSummary& S = R.Summary;
  EXPECT_NEAR(S.Counts.Submits, 5000, 50);
  EXPECT_EQ(S.Counts.Receipts, S.Counts.Submits);
  ExpectBindsAddUp(S);
  // Each bind sends its half; a slow machine (a sanitizer build among the tests) may let one fall
  // a few milliseconds behind the other.
  EXPECT_LE(std::abs(S.Binds[0].Counts.Submits - S.Binds[1].Counts.Submits), 50);
  ASSERT_GE(R.Seen.size(), 2u);
  ASSERT_GE(S.Series.size(), R.Seen.size());
  long Submits = 0, Answers = 0, Receipts = 0, Timed = 0;
  for (size_t I = 0; I < S.Series.size(); ++I) {
    const load::TSecond& T = S.Series[I];
    SCOPED_TRACE(I);
    if (I > 0) {
      EXPECT_EQ(T.UnixSecond, S.Series[I - 1].UnixSecond + 1);
    }
    if (I < R.Seen.size()) {
      EXPECT_EQ(R.Seen[I].Submits, T.Submits);
    }
    EXPECT_LE(T.Submits, 2020);
    EXPECT_EQ(T.ResponseLatency.Count(), T.Answers);
    EXPECT_EQ(T.ReceiptLatency.Count(), T.Receipts);
    Submits += T.Submits, Answers += T.Answers, Receipts += T.Receipts;
    Timed += T.ResponseLatency.Count();
  }
  EXPECT_EQ(Submits, S.Counts.Submits);
  EXPECT_EQ(Answers, S.Counts.Answered);
  EXPECT_EQ(Receipts, S.Counts.Receipts);
  EXPECT_EQ(Timed, S.ResponseLatency.Count());
  EXPECT_NEAR(S.StartUnix, static_cast<double>(S.Series.front().UnixSecond), 1.0);
}

// The sink drops the transmitter that carries the 2000th submit, with the answers of that read.
// The other binds go on at their share of the rate; that bind is made again after the client's
// reconnect and takes its share again. Its submits in flight are counted unanswered, the run
// fails saying so, and every message is still sent.
TEST(LoadRun, ABindLostMidRunIsMadeAgainAndItsSubmitsCountedUnanswered) {
  TLoadOptions O;
  O.Binds = 3;
  O.Tps = 3000;
  O.Count = 18000;  // 8 s at 1000 a second a bind: the reconnect comes after about 6
  O.Window = 50;
  O.ReceiptsPerSubmit = 0;
  const SinkRun R = RunAgainstSink({"--drop-after", "2000"}, O);
  const TSummary& S = R.Summary;
  EXPECT_NE(R.Verdict.find(" submits were never answered: the session they went on ended (1 "
                           "binds made again, "),
            std::string::npos)
      << R.Verdict;
  EXPECT_EQ(S.Counts.SessionsLost, 1);
  EXPECT_GT(S.UnboundSeconds, 0);
  EXPECT_EQ(S.Counts.Messages, 18000);
  EXPECT_GE(S.Counts.Unanswered, 1);
  EXPECT_LE(S.Counts.Unanswered, O.Window);
  EXPECT_EQ(S.Counts.Reconnects, 1);
  ExpectBindsAddUp(S);
  for (const load::TBindSummary& B : S.Binds) {
    SCOPED_TRACE(B.Index);
    EXPECT_EQ(B.Counts.Unanswered > 0, B.Counts.Reconnects == 1);
    // About 670 went before the loss, about 1300 after the reconnect.
    EXPECT_GT(B.Counts.Submits, B.Counts.Reconnects ? 1000 : 7000);
  }
}

// Unpaced, each bind's thread records a read's answers together and sends the next submits in one
// go, and receipts wait in their bind's ring: many binds and transceivers, receipts sent before
// the answers of their submits, receipts for no message ahead of the rest (they stop the drains
// that take only awaited ids) and a bind lost mid-run still count every message exactly.
TEST(LoadRun, UnpacedRunsOverManyBindsCountEveryMessage) {
  const struct {
    const char* Name;
    std::vector<std::string> SinkArgs;
    long Binds, Window, Receipts;
    bool Transceiver;
    long Stray;  // receipts for no message of ours, ahead of the others
  } Cases[] = {
      {"receipts first", {"--receipts", "--receipts-first"}, 4, 300, 1, false, 0},
      {"transceivers", {"--receipts"}, 3, 1000, 1, true, 0},
      {"window 1", {"--receipts"}, 4, 1, 1, false, 0},
      {"stray receipts ahead", {"--receipts", "--stray-receipts", "50"}, 1, 1000, 1, false, 50},
      {"a bind lost", {"--drop-after", "7000"}, 4, 200, 0, false, 0},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TLoadOptions O;
    O.Binds = C.Binds;
    O.Window = C.Window;
    O.Count = C.Window == 1 ? 4000 : 40000;
    O.ReceiptsPerSubmit = C.Receipts;
    O.Transceiver = C.Transceiver;
    // Under auto: the sink's ids are hexadecimal from 1 on, mostly digits alone, and receipts
    // overtake their answers and even the recording of their submits, yet none may be taken for
    // another id by chance.
    const SinkRun R = RunAgainstSink(C.SinkArgs, O);
    const TSummary& S = R.Summary;
    ExpectBindsAddUp(S);
    EXPECT_EQ(S.Counts.Messages, O.Count);
    EXPECT_EQ(S.Counts.Submits, O.Count);
    for (const load::TBindSummary& B : S.Binds) EXPECT_GT(B.Counts.Submits, 0) << B.Index;
    if (C.Receipts == 0) {
      // In flight on the lost bind at most, and said so.
      EXPECT_GE(S.Counts.Unanswered, 1);
      EXPECT_LE(S.Counts.Unanswered, O.Window);
      EXPECT_NE(R.Verdict.find(" submits were never answered: the session they went on ended"),
                std::string::npos)
          << R.Verdict;
      continue;
    }
    EXPECT_EQ(R.Verdict, "");
    EXPECT_EQ(S.Counts.Answered, O.Count);
    EXPECT_EQ(S.Counts.Receipts, O.Count);
    EXPECT_EQ(S.Counts.UnmatchedReceipts, C.Stray);
    EXPECT_EQ(S.ReceiptIdsUsed, "exact");
    EXPECT_EQ(S.ReceiptLatency.Count(), O.Count);
  }
}

}  // namespace
