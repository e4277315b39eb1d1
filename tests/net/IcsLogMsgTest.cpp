// Tests of the trace ring: line format, slot arithmetic and wrapping, errno preservation and
// concurrent writers.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "base/Thread.h"
#include "net/IcsLogMsg.h"

namespace {

// Lines written since program start, as the index and wrap counter tell it.
int64_t LinesWritten() {
  return static_cast<int64_t>(TraceWraps()) * TraceRingSize + TraceIndex() + 1;
}

TEST(LogMsg, LineCarriesTheWritersThreadIdAndKeepsErrno) {
  errno = EPIPE;
  LogMsg("hello trace");
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(TraceLine(TraceIndex()), "(" + std::to_string(GetCurrentThreadId()) + ") hello trace");
  EXPECT_EQ(TraceLine(-1), "");
  EXPECT_EQ(TraceLine(TraceRingSize), "");
}

TEST(LogMsg, SlotsFollowTheLineCountAndWrapAfter512) {
  // Bring the ring to a known point: the next line goes to slot 0.
  while (TraceIndex() != TraceRingSize - 1) LogMsg("fill");
  const int32_t Wraps = TraceWraps();
  struct Case {
    int Lines;  // lines written since the ring was at its last slot
    int32_t Index, WrapsAdded;
  };
  int Written = 0;
  for (const Case& C :
       {Case{1, 0, 1}, Case{511, 510, 1}, Case{512, 511, 1}, Case{513, 0, 2}, Case{1536, 511, 3}}) {
    SCOPED_TRACE(C.Lines);
    for (; Written < C.Lines; ++Written) LogMsg("line " + std::to_string(Written + 1));
    EXPECT_EQ(TraceIndex(), C.Index);
    EXPECT_EQ(TraceWraps(), Wraps + C.WrapsAdded);
    EXPECT_NE(TraceLine(C.Index).find(") line " + std::to_string(C.Lines)), std::string::npos);
  }
}

TEST(LogMsg, ConcurrentWritersClaimDistinctSlots) {
  constexpr int Threads = 4, PerThread = 3000;
  const int64_t Before = LinesWritten();
  std::vector<std::thread> Writers;
  for (int T = 0; T < Threads; ++T) {
    Writers.emplace_back([T] {
      for (int I = 0; I < PerThread; ++I) LogMsg("w" + std::to_string(T) + " " + std::to_string(I));
    });
  }
  for (auto& W : Writers) W.join();
  EXPECT_EQ(LinesWritten() - Before, Threads * PerThread);
  // Every slot holds one whole line of one writer: "(<tid>) w<thread> <number>".
  for (int32_t Slot = 0; Slot < TraceRingSize; ++Slot) {
    const std::string Line = TraceLine(Slot);
    const size_t Close = Line.find(") w");
    ASSERT_NE(Close, std::string::npos) << Line;
    ASSERT_EQ(Line[0], '(') << Line;
    ASSERT_EQ(Line.find_first_not_of("0123456789", 1), Close) << Line;
    ASSERT_TRUE(Line[Close + 3] >= '0' && Line[Close + 3] <= '3') << Line;
    ASSERT_EQ(Line[Close + 4], ' ') << Line;
    ASSERT_EQ(Line.find_first_not_of("0123456789", Close + 5), std::string::npos) << Line;
  }
}

}  // namespace
