// TSequenceCounter: advance-and-read as one compare-and-swap step, with the wrap rule.
#include "smpp/SequenceCounter.h"

uint32_t TSequenceCounter::Next() noexcept {
  // A plain fetch_add cannot express the wrap, so the new value is computed from the one seen and
  // installed only if no other thread moved the counter in between; otherwise the loop retries
  // with the value that thread left. Relaxed ordering suffices: the number itself is the only data.
  uint32_t Current = FValue.load(std::memory_order_relaxed);
  uint32_t Next;
  do {
    Next = Current >= kWrapAt ? kAfterWrap : Current + 1;
  } while (!FValue.compare_exchange_weak(Current, Next, std::memory_order_relaxed));
  return Next;
}
