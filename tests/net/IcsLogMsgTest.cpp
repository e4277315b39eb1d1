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
  // Found by its text: another thread may have traced right after it.
  const std::string Expected = "(" + std::to_string(GetCurrentThreadId()) + ") hello trace";
  bool Found = false;
  for (int32_t Slot = 0; Slot < TraceRingSize; ++Slot) Found = Found || TraceLine(Slot) == Expected;
  EXPECT_TRUE(Found);
  EXPECT_EQ(TraceLine(-1), "");
  EXPECT_EQ(TraceLine(TraceRingSize), "");
}

TEST(LogMsg, SlotsFollowTheLineCountAndWrapAfter512) {
  struct Case {
    int Lines;  // lines written since the ring was at its last slot
    int32_t Index, WrapsAdded;
  };
  const Case Cases[] = {{1, 0, 1}, {511, 510, 1}, {512, 511, 1}, {513, 0, 2}, {1536, 511, 3}};
  // Another thread of the process may trace meanwhile (a worker left by another test); a pass
  // that met a foreign line is started again, so that every figure checked is this test's own.
  for (int Attempt = 0; Attempt < 50; ++Attempt) {
    // Bring the ring to a known point: the next line goes to slot 0.
    while (TraceIndex() != TraceRingSize - 1) LogMsg("fill");
    const int64_t Start = LinesWritten();
    const int32_t Wraps = TraceWraps();
    struct Seen {
      int32_t Index, Wraps;
      std::string Line;
    };
    std::vector<Seen> Got;
    int Written = 0;
    for (const Case& C : Cases) {
      for (; Written < C.Lines; ++Written) LogMsg("line " + std::to_string(Written + 1));
      Got.push_back(Seen{TraceIndex(), TraceWraps(), TraceLine(C.Index)});
      if (LinesWritten() != Start + Written) break;
    }
    if (LinesWritten() != Start + Written) continue;
    for (size_t I = 0; I < Got.size(); ++I) {
      const Case& C = Cases[I];
      SCOPED_TRACE(C.Lines);
      EXPECT_EQ(Got[I].Index, C.Index);
      EXPECT_EQ(Got[I].Wraps, Wraps + C.WrapsAdded);
      EXPECT_NE(Got[I].Line.find(") line " + std::to_string(C.Lines)), std::string::npos);
    }
    // By number, as index and wraps count them: the last line is there, and the first, replaced
    // since, is not.
    std::string Line;
    EXPECT_TRUE(TraceLineNumber(Start + Written, Line));
    EXPECT_NE(Line.find(") line " + std::to_string(Written)), std::string::npos) << Line;
    EXPECT_FALSE(TraceLineNumber(Start + 1, Line));
    return;
  }
  FAIL() << "other threads traced during every attempt";
}

TEST(LogMsg, ConcurrentWritersClaimDistinctSlots) {
  // Other threads of the process (workers left by other tests) may trace meanwhile, so only the
  // lines carrying this run's tag are examined, and the foreign lines are allowed for.
  const std::string Tag = "concurrent " + std::to_string(LinesWritten()) + " w";
  constexpr int Threads = 4, PerThread = 3000;
  const int64_t Before = LinesWritten();
  std::vector<std::thread> Writers;
  for (int T = 0; T < Threads; ++T) {
    Writers.emplace_back([T, &Tag] {
      for (int I = 0; I < PerThread; ++I) LogMsg(Tag + std::to_string(T) + " " + std::to_string(I));
    });
  }
  for (auto& W : Writers) W.join();
  const int64_t Foreign = LinesWritten() - Before - Threads * PerThread;
  ASSERT_GE(Foreign, 0);
  // Every slot holding a line of this run holds one whole line: "(<tid>) <tag><thread> <n>".
  int Ours = 0;
  for (int32_t Slot = 0; Slot < TraceRingSize; ++Slot) {
    const std::string Line = TraceLine(Slot);
    const size_t At = Line.find(Tag);
    if (At == std::string::npos) {
      ASSERT_EQ(Line.find("concurrent "), std::string::npos) << "torn line: " << Line;
      continue;
    }
    ++Ours;
    ASSERT_EQ(Line[0], '(') << Line;
    ASSERT_GE(At, 3u) << Line;
    ASSERT_EQ(Line.compare(At - 2, 2, ") "), 0) << Line;
    ASSERT_EQ(Line.find_first_not_of("0123456789", 1), At - 2) << Line;
    const size_t W = At + Tag.size();
    ASSERT_TRUE(Line[W] >= '0' && Line[W] <= '3') << Line;
    ASSERT_EQ(Line[W + 1], ' ') << Line;
    ASSERT_EQ(Line.find_first_not_of("0123456789", W + 2), std::string::npos) << Line;
  }
  // No two lines landed in one slot: the ring's last lines are all there.
  EXPECT_GE(Ours, TraceRingSize - Foreign);
}

}  // namespace
