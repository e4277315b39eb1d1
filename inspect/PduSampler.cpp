// TPduSampler: bursts of PDUs at an interval, and every connection event.
#include "inspect/PduSampler.h"

#include <utility>

TPduSampler::TPduSampler(TPduTraceHandler To, int64_t IntervalNs, int Burst)
    : FTo(std::move(To)), FInterval(IntervalNs), FBurst(Burst < 1 ? 1 : Burst) {}

void TPduSampler::operator()(const TPduTraceEvent& Event) {
  const bool Pdu = Event.Kind == TPduTraceKind::tkPdu;
  if (Pdu && Event.MonotonicNs < FNextNs.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> G(FLock);
  if (Pdu) {
    // Another thread may have ended the burst since the load above.
    if (Event.MonotonicNs < FNextNs.load(std::memory_order_relaxed)) return;
    if (FLeft == 0) {
      FLeft = FBurst;
      FBurstStart = Event.MonotonicNs;
    }
    // The burst's last PDU closes it until the interval from its first has passed.
    if (--FLeft == 0) FNextNs.store(FBurstStart + FInterval, std::memory_order_relaxed);
    FPassed.fetch_add(1, std::memory_order_relaxed);
  }
  FTo(Event);
}
