// The latency histogram: bucket index and value, percentiles.
#include "load/Histogram.h"

#include <algorithm>
#include <bit>

namespace load {

size_t THistogram::Index(uint64_t V) {
  constexpr uint64_t Exact = uint64_t{2} << kSubBits;
  if (V < Exact) return static_cast<size_t>(V);
  const int Shift = std::bit_width(V) - 1 - kSubBits;
  return static_cast<size_t>(Shift + 1) << kSubBits | ((V >> Shift) - (uint64_t{1} << kSubBits));
}

uint64_t THistogram::ValueAt(size_t I) {
  constexpr size_t Exact = size_t{2} << kSubBits;
  if (I < Exact) return I;
  const size_t Shift = (I >> kSubBits) - 1;
  return ((I & ((size_t{1} << kSubBits) - 1)) + (size_t{1} << kSubBits)) << Shift;
}

void THistogram::Record(TMicros Value) {
  const uint64_t V = Value < 0 ? 0 : static_cast<uint64_t>(Value);
  const size_t I = Index(V);
  if (I >= FBuckets.size()) FBuckets.resize(I + 1, 0);
  ++FBuckets[I];
  ++FCount;
  FMax = std::max<TMicros>(FMax, static_cast<TMicros>(V));
}

TMicros THistogram::Percentile(int PerMille) const {
  if (FCount == 0) return 0;
  // Nearest rank, in integers: ceil(PerMille * Count / 1000).
  const int64_t Scaled = static_cast<int64_t>(std::clamp(PerMille, 0, 1000)) * FCount;
  const long Rank = std::clamp<long>(static_cast<long>((Scaled + 999) / 1000), 1, FCount);
  long Seen = 0;
  for (size_t I = 0; I < FBuckets.size(); ++I) {
    Seen += FBuckets[I];
    if (Seen >= Rank) return std::min<TMicros>(FMax, static_cast<TMicros>(ValueAt(I)));
  }
  return FMax;
}

}  // namespace load
