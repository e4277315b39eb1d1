// The latency histogram: bucket index and value, percentiles, its scheme and buckets.
#include "load/Histogram.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>

namespace load {

namespace {
constexpr std::string_view kSchemePrefix = "log-linear-us-";
}

THistogram::THistogram(int SubBits) : FSubBits(std::clamp(SubBits, kMinSubBits, kMaxSubBits)) {}

uint64_t THistogram::ValueAt(size_t I) const {
  const size_t Exact = size_t{2} << FSubBits;
  if (I < Exact) return I;
  const size_t Shift = (I >> FSubBits) - 1;
  return ((I & ((size_t{1} << FSubBits) - 1)) + (size_t{1} << FSubBits)) << Shift;
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

std::string THistogram::Scheme() const {
  return std::string(kSchemePrefix) + std::to_string(FSubBits);
}

std::optional<int> THistogram::SchemeSubBits(std::string_view Scheme) {
  if (Scheme.substr(0, kSchemePrefix.size()) != kSchemePrefix) return std::nullopt;
  const std::string_view Digits = Scheme.substr(kSchemePrefix.size());
  int SubBits = 0;
  const auto [End, Ec] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), SubBits);
  // One spelling per scheme: no sign, no leading zero, nothing after the digits.
  if (Ec != std::errc() || End != Digits.data() + Digits.size() || Digits[0] == '0' ||
      SubBits < kMinSubBits || SubBits > kMaxSubBits)
    return std::nullopt;
  return SubBits;
}

bool THistogram::Add(const THistogram& Other) {
  if (Other.FSubBits != FSubBits) return false;
  if (Other.FBuckets.size() > FBuckets.size()) FBuckets.resize(Other.FBuckets.size(), 0);
  for (size_t I = 0; I < Other.FBuckets.size(); ++I) FBuckets[I] += Other.FBuckets[I];
  FCount += Other.FCount;
  FMax = std::max(FMax, Other.FMax);
  return true;
}

std::vector<THistogram::TBucket> THistogram::Buckets() const {
  std::vector<TBucket> Out;
  for (size_t I = 0; I < FBuckets.size(); ++I)
    if (FBuckets[I] > 0) Out.emplace_back(static_cast<TMicros>(ValueAt(I)), FBuckets[I]);
  return Out;
}

std::optional<THistogram> THistogram::FromBuckets(std::string_view Scheme,
                                                  const std::vector<TBucket>& Buckets,
                                                  std::optional<TMicros> Max, std::string& Error) {
  const std::optional<int> SubBits = SchemeSubBits(Scheme);
  if (!SubBits) {
    Error = "\"" + std::string(Scheme) + "\" is no bucket scheme (log-linear-us-" +
            std::to_string(kMinSubBits) + " to log-linear-us-" + std::to_string(kMaxSubBits) + ")";
    return std::nullopt;
  }
  THistogram H(*SubBits);
  for (const auto& [Lowest, N] : Buckets) {
    const std::string At = std::to_string(Lowest) + " us";
    if (Lowest < 0 || static_cast<TMicros>(H.ValueAt(H.Index(Lowest))) != Lowest) {
      Error = At + " is no bucket of " + H.Scheme();
      return std::nullopt;
    }
    const size_t I = H.Index(static_cast<uint64_t>(Lowest));
    if (I < H.FBuckets.size()) {
      Error = At + " does not follow the bucket before it";
      return std::nullopt;
    }
    if (N <= 0 || N > LONG_MAX - H.FCount) {
      Error = At + " holds " + std::to_string(N) + " samples";
      return std::nullopt;
    }
    H.FBuckets.resize(I + 1, 0);
    H.FBuckets[I] = N;
    H.FCount += N;
  }
  const TMicros Last = Buckets.empty() ? 0 : Buckets.back().first;
  H.FMax = Max.value_or(Last);
  // Max lies in the last bucket (or is 0 when there is none): a max beyond it would be a sample
  // no bucket holds.
  if (H.FMax < 0 ||
      (Buckets.empty() ? H.FMax != 0
                       : H.Index(static_cast<uint64_t>(H.FMax)) + 1 != H.FBuckets.size())) {
    Error = "max " + std::to_string(H.FMax) + " us is not in the last bucket (" +
            (Buckets.empty() ? std::string("none") : std::to_string(Last) + " us") + ")";
    return std::nullopt;
  }
  return H;
}

}  // namespace load
