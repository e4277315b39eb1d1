// The submit rate limiter and its back-off.
#include "load/RateLimiter.h"

#include <algorithm>
#include <cmath>

namespace load {

void TRateLimiter::Recover(TMicros Now) {
  if (FBackOffs == 0 || FRate <= 0 || FRate >= FCeiling) return;
  if (Now - FLastRecover < 100000) return;
  const TMicros Steps = (Now - FLastRecover) / 100000;
  FLastRecover += Steps * 100000;
  FRate = std::min(FCeiling, FRate + static_cast<double>(Steps) * FCeiling / 20);
  // Back at the ceiling: the rate asked for, or no limit when none was asked for.
  if (FRate >= FCeiling) FRate = FTarget;
}

TMicros TRateLimiter::Take(TMicros Now, long& Messages) {
  Messages = std::max(1L, Messages);
  Recover(Now);
  if (FRate <= 0) return 0;
  const double Need = static_cast<double>(FSubmits);
  const double Capacity = std::max(Need, FRate / 10);
  if (FLast < 0)
    FTokens = Need;  // the first message goes at once
  else
    FTokens = std::min(Capacity, FTokens + static_cast<double>(Now - FLast) * FRate / 1e6);
  FLast = Now;
  // Once the bucket ran dry, the sender waits until a batch has come in: at a high rate a wait
  // for every message's token would wake it once per message, which costs more than the message.
  const double Batch = std::max(Need, std::min(Capacity, FRate * kBatchMicros / 1e6));
  if (FTokens < (FDry ? Batch : Need)) {
    FDry = true;
    return std::max<TMicros>(1, static_cast<TMicros>(std::ceil((Batch - FTokens) * 1e6 / FRate)));
  }
  FDry = false;
  // Slide the ring up to Now's slot, forgetting the slots that fall out of it.
  const TMicros Slot = Now / kSlotMicros;
  for (TMicros S = FSlot + 1; S <= Slot && S <= FSlot + kSlots; ++S) {
    FInSlots -= FSlots[S % kSlots];
    FSlots[S % kSlots] = 0;
  }
  FSlot = std::max(FSlot, Slot);
  const long Cap = std::max(FSubmits, static_cast<long>(FRate * 1.01));
  if (FInSlots + FSubmits > Cap) {
    // Wait for the oldest slot that holds a submit to leave the ring.
    for (TMicros S = FSlot - kSlots + 1; S <= FSlot; ++S)
      if (S >= 0 && FSlots[S % kSlots] > 0)
        return std::max<TMicros>(1, (S + kSlots) * kSlotMicros - Now);
    return kSlotMicros;
  }
  // As many as the tokens and the cap allow: one at least, by the checks above.
  Messages = std::min({Messages, static_cast<long>(FTokens / Need), (Cap - FInSlots) / FSubmits});
  FSlots[Slot % kSlots] += Messages * FSubmits;
  FInSlots += Messages * FSubmits;
  FTokens -= static_cast<double>(Messages) * Need;
  return 0;
}

void TRateLimiter::Throttled(TMicros Now, double SeenRate) {
  // The answers to a whole window of submits come back together: one halving for them all.
  if (FLastThrottle >= 0 && Now - FLastThrottle < 200000) return;
  Recover(Now);
  if (FTarget > 0)
    FCeiling = FTarget;
  else if (FRate <= 0)
    FCeiling = std::max(2.0, SeenRate);
  const double Base = FRate > 0 ? FRate : FCeiling;
  // Never below one message's submits a second, or such a message could never go.
  FRate = std::max(static_cast<double>(FSubmits), Base / 2);
  FTokens = std::min(FTokens, static_cast<double>(FSubmits));
  if (FLast < 0) FLast = Now;
  FLastThrottle = FLastRecover = Now;
  ++FBackOffs;
}

}  // namespace load
