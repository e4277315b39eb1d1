// The sampler passes every connection event and bursts of PDUs at its interval, whichever threads
// call it.
#include "inspect/PduSampler.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

TPduTraceEvent Event(int64_t Ns, TPduTraceKind Kind = TPduTraceKind::tkPdu) {
  return {TPduConnection::pcTcx, TPduDirection::pdOut, Ns, nullptr, 0, Kind};
}

TEST(PduSampler, PassesBurstsAtItsIntervalAndEveryConnectionEvent) {
  std::vector<int64_t> Passed;
  TPduSampler S([&](const TPduTraceEvent& E) { Passed.push_back(E.MonotonicNs); }, 1000, 3);
  // PDUs every 100 ns: a burst of three from 0, none until 1000 after the burst's first.
  for (int64_t T = 0; T < 2500; T += 100) S(Event(T));
  // A connection event passes even between bursts.
  S(Event(2550, TPduTraceKind::tkClosed));
  EXPECT_EQ(Passed, (std::vector<int64_t>{0, 100, 200, 1000, 1100, 1200, 2000, 2100, 2200, 2550}));
  EXPECT_EQ(S.Passed(), 9u);

  // From two threads at once: still bursts of three, and nothing passed twice.
  std::atomic<int> Count{0};
  TPduSampler Shared([&](const TPduTraceEvent&) { ++Count; }, 1'000'000, 3);
  std::vector<std::thread> Threads;
  for (int I = 0; I < 2; ++I)
    Threads.emplace_back([&] {
      for (int64_t T = 0; T < 100'000; ++T) Shared(Event(T));
    });
  for (std::thread& T : Threads) T.join();
  EXPECT_EQ(Count.load(), 3);
}

}  // namespace
