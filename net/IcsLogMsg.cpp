// The trace ring: 512 slots, a line number claimed atomically per line (its slot and the wrap
// counter follow from it), and each slot's line with its number.
#include "net/IcsLogMsg.h"

#include <atomic>
#include <cerrno>
#include <mutex>

#include "base/Thread.h"

namespace {

struct TTraceSlot {
  // Two writers meet on one slot only when one of them is 512 lines behind the other; the lock
  // keeps the string whole in that case and lets readers copy a slot safely.
  std::mutex Lock;     // guards Number and Line
  int64_t Number = 0;  // the line's number, counting from 1; 0 for a slot never written
  std::string Line;
};

struct TTraceLog {
  // Lines claimed since program start. Slot, index and wrap count are all derived from this one
  // counter, so that a reader never sees an index that has started over with a wrap count that
  // has not (or the other way round).
  std::atomic<int64_t> Count{0};
  TTraceSlot Ring[TraceRingSize];
};

TTraceLog& Log() {
  // Deliberately never destroyed: threads may trace while the program ends, after static
  // destruction has begun.
  static TTraceLog* const Instance = new TTraceLog;
  return *Instance;
}

}  // namespace

void LogMsg(std::string_view Text) {
  LogMsg(Text, {}, {}, {});
}

void LogMsg(std::string_view A, std::string_view B, std::string_view C, std::string_view D) {
  const int SavedErrno = errno;
  TTraceLog& L = Log();
  // One atomic step claims the line's number, and with it its slot, so that lines written at the
  // same moment land in different slots.
  const int64_t Number = L.Count.fetch_add(1, std::memory_order_acq_rel) + 1;
  TTraceSlot& Slot = L.Ring[(Number - 1) % TraceRingSize];

  // "(tid) ", made once per thread.
  thread_local const std::string Prefix = "(" + std::to_string(GetCurrentThreadId()) + ") ";
  {
    // The line is written into the slot's own storage, which stays allocated from one round of
    // the ring to the next: tracing allocates nothing once the ring has been round. A writer that
    // comes 512 lines late leaves the newer line in place.
    std::lock_guard<std::mutex> Guard(Slot.Lock);
    if (Number > Slot.Number) {
      Slot.Number = Number;
      Slot.Line.assign(Prefix).append(A).append(B).append(C).append(D);
    }
  }
  errno = SavedErrno;
}

int64_t TraceLineCount() {
  return Log().Count.load(std::memory_order_acquire);
}

int32_t TraceIndex() {
  const int64_t N = TraceLineCount();
  return N == 0 ? -1 : static_cast<int32_t>((N - 1) % TraceRingSize);
}

int32_t TraceWraps() {
  const int64_t N = TraceLineCount();
  return N == 0 ? 0 : static_cast<int32_t>((N - 1) / TraceRingSize);
}

std::string TraceLine(int32_t Slot) {
  if (Slot < 0 || Slot >= TraceRingSize) return std::string();
  TTraceSlot& S = Log().Ring[Slot];
  std::lock_guard<std::mutex> Guard(S.Lock);
  return S.Line;
}

bool TraceLineNumber(int64_t Number, std::string& Line) {
  if (Number < 1) return false;
  TTraceSlot& S = Log().Ring[(Number - 1) % TraceRingSize];
  std::lock_guard<std::mutex> Guard(S.Lock);
  if (S.Number != Number) return false;
  Line = S.Line;
  return true;
}
