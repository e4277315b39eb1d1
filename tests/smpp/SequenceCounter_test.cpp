// Tests of the sequence counter with two threads drawing numbers at once, across the wrap (the
// numbering itself is tested through the encoder).
#include "smpp/SequenceCounter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

// Two threads draw numbers across the wrap; every number is handed out exactly once.
TEST(SequenceCounter, TwoThreadsNeverDrawTheSameNumber) {
  constexpr uint32_t kPerThread = 100000;
  constexpr uint32_t kBeforeWrap = 50000;
  TSequenceCounter counter;
  counter.SetValue(TSequenceCounter::kWrapAt - kBeforeWrap);
  std::vector<uint32_t> a(kPerThread), b(kPerThread);
  auto draw = [&counter](std::vector<uint32_t>& out) {
    for (auto& n : out) n = counter.Next();
  };
  std::thread ta(draw, std::ref(a));
  std::thread tb(draw, std::ref(b));
  ta.join();
  tb.join();

  std::vector<uint32_t> all(a);
  all.insert(all.end(), b.begin(), b.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a number was drawn twice";
  // The numbers are 3 .. and the last kBeforeWrap before the wrap, nothing else.
  const uint32_t afterWrap = 2 * kPerThread - kBeforeWrap;
  EXPECT_EQ(all.front(), 3u);
  EXPECT_EQ(all[afterWrap - 1], TSequenceCounter::kAfterWrap + afterWrap - 1);
  EXPECT_EQ(all[afterWrap], TSequenceCounter::kWrapAt - kBeforeWrap + 1);
  EXPECT_EQ(all.back(), TSequenceCounter::kWrapAt);
  // Each thread saw its own numbers in increasing order of drawing, apart from the wrap.
  for (const auto* v : {&a, &b}) {
    int wraps = 0;
    for (size_t i = 1; i < v->size(); ++i) wraps += (*v)[i] < (*v)[i - 1];
    EXPECT_LE(wraps, 1);
  }
}

}  // namespace
