// The PDU trace's clocks.
#include "smpp/PduTrace.h"

#include <chrono>

int64_t PduTraceNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t PduTraceWallNs(int64_t MonotonicNs) {
  // A function-local static is initialised once, thread-safely, on first use.
  static const int64_t Offset = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count() -
                                PduTraceNowNs();
  return MonotonicNs + Offset;
}
