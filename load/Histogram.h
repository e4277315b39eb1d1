// Latency histograms of fixed precision, whose memory does not grow with the samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "load/LoadClock.h"

namespace load {

// Latencies in microseconds, kept as a histogram of fixed size: exact below 2048 us, then within
// a tenth of a percent. Memory does not grow with the number of samples.
class THistogram {
 public:
  void Record(TMicros Value);
  long Count() const { return FCount; }
  TMicros Max() const { return FMax; }
  // The nearest-rank percentile PerMille / 10 (500 for p50, 999 for p99.9): the value of rank
  // ceil(PerMille * Count / 1000), to the histogram's precision; 0 when empty. The rank is
  // computed in integers, so p99.9 of 1000 samples is the 999th.
  TMicros Percentile(int PerMille) const;

 private:
  static constexpr int kSubBits = 10;
  static size_t Index(uint64_t V);
  static uint64_t ValueAt(size_t I);
  std::vector<long> FBuckets;
  long FCount = 0;
  TMicros FMax = 0;
};

}  // namespace load
