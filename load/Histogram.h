// Latency histograms of fixed precision, whose memory does not grow with the samples, and their
// buckets as written to a summary and read back.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "load/LoadClock.h"

namespace load {

// Latencies in microseconds, kept as a log-linear histogram: with SubBits n, exact below
// 2^(n+1) us, then 2^n buckets per power of two (within 0.1% for n = 10, within 3% for n = 5).
// Two histograms of one scheme add bucket by bucket, so the percentiles of runs added are those of
// one histogram of all their samples. Not thread-safe: the caller serialises.
class THistogram {
 public:
  using TBucket = std::pair<TMicros, long>;  // the lowest value of a bucket in us, its count
  static constexpr int kMinSubBits = 1, kMaxSubBits = 14;

  // SubBits outside kMinSubBits..kMaxSubBits is taken as the nearest of them. The default is not
  // explicit, so that structs holding histograms can be initialised with {}.
  THistogram() : THistogram(10) {}
  explicit THistogram(int SubBits);

  // A negative value counts as 0. Cheap, and inline: it runs twice per message of a load run.
  void Record(TMicros Value) {
    const uint64_t V = Value < 0 ? 0 : static_cast<uint64_t>(Value);
    const size_t I = Index(V);
    if (I >= FBuckets.size()) [[unlikely]]
      FBuckets.resize(I + 1, 0);
    ++FBuckets[I];
    ++FCount;
    if (Value > FMax) FMax = Value;
  }
  long Count() const { return FCount; }
  TMicros Max() const { return FMax; }
  int SubBits() const { return FSubBits; }
  // The nearest-rank percentile PerMille / 10 (500 for p50, 999 for p99.9): the value of rank
  // ceil(PerMille * Count / 1000), to the histogram's precision; 0 when empty. The rank is
  // computed in integers, so p99.9 of 1000 samples is the 999th.
  TMicros Percentile(int PerMille) const;

  // The name of the bucket scheme, "log-linear-us-10" for SubBits 10: histograms of one name
  // add up, others do not.
  std::string Scheme() const;
  // SubBits of a scheme name, or nothing when Scheme names none.
  static std::optional<int> SchemeSubBits(std::string_view Scheme);
  // Adds Other's samples; false, and nothing added, when its scheme is another.
  bool Add(const THistogram& Other);
  // The non-empty buckets, lowest value first.
  std::vector<TBucket> Buckets() const;
  // The histogram of scheme Scheme holding Buckets (as Buckets gives them: lowest values of that
  // scheme, strictly increasing, counts above 0) whose largest sample was Max, which lies in the
  // last bucket; without Max, the last bucket's lowest value stands for it. Percentiles equal
  // those of the histogram the buckets came from. Nothing, and the reason in Error, when a
  // value is no bucket of the scheme or the buckets and Max disagree.
  static std::optional<THistogram> FromBuckets(std::string_view Scheme,
                                               const std::vector<TBucket>& Buckets,
                                               std::optional<TMicros> Max, std::string& Error);

 private:
  // Exact below 2^(SubBits+1); above, 2^SubBits buckets per power of two.
  size_t Index(uint64_t V) const {
    if (V < (uint64_t{2} << FSubBits)) return static_cast<size_t>(V);
    const int Shift = std::bit_width(V) - 1 - FSubBits;
    return static_cast<size_t>(Shift + 1) << FSubBits | ((V >> Shift) - (uint64_t{1} << FSubBits));
  }
  uint64_t ValueAt(size_t I) const;
  int FSubBits;
  std::vector<long> FBuckets;
  long FCount = 0;
  TMicros FMax = 0;
};

}  // namespace load
