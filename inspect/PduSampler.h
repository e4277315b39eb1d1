// TPduSampler: a trace handler that passes a sample of a busy connection's PDUs on, so a live view
// can follow a load run without a row per PDU: every event that is not a PDU (a connection opened,
// closed or failed), and of the PDUs a burst of consecutive ones every interval. A PDU outside a
// burst costs one relaxed atomic load.
//
// Threads: the handler is called on the client's sending and reading threads at once; the sample
// goes on to To under the sampler's lock (a leaf), in the order the PDUs came through it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "smpp/PduTrace.h"

class TPduSampler {
 public:
  // Passes Burst PDUs in a row, then none until IntervalNs after the burst's first.
  TPduSampler(TPduTraceHandler To, int64_t IntervalNs, int Burst);

  void operator()(const TPduTraceEvent& Event);

  // The time before which a PDU is not passed on: the gate for the client's trace
  // (TSmppClient::SetPduTrace), so that a PDU outside a burst costs not even a call.
  const std::atomic<int64_t>* Gate() const { return &FNextNs; }

  // PDUs seen and passed on so far. Any thread.
  uint64_t Passed() const { return FPassed.load(std::memory_order_relaxed); }

 private:
  const TPduTraceHandler FTo;
  const int64_t FInterval;
  const int FBurst;
  // The time the next burst may start; read without the lock, written under it.
  std::atomic<int64_t> FNextNs{INT64_MIN};
  std::mutex FLock;  // guards FLeft and FBurstStart, and orders the calls to FTo
  int FLeft = 0;     // PDUs still to pass in the burst under way
  int64_t FBurstStart = 0;
  std::atomic<uint64_t> FPassed{0};
};
