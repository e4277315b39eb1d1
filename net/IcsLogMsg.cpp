// The trace ring: 512 slots, a slot index claimed atomically per line, and a wrap counter.
#include "net/IcsLogMsg.h"

#include <atomic>
#include <cerrno>
#include <mutex>

#include "base/Thread.h"

namespace {

struct TTraceSlot {
  // Two writers meet on one slot only when one of them is 512 lines behind the other; the lock
  // keeps the string whole in that case and lets readers copy a slot safely.
  std::mutex Lock;  // guards Line
  std::string Line;
};

struct TTraceLog {
  std::atomic<int32_t> Index{-1};
  std::atomic<int32_t> Wraps{0};
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
  // Claim the slot: the next index, brought back to 0 after the last slot, in one atomic step so
  // that lines written at the same moment land in different slots.
  int32_t Old = L.Index.load(std::memory_order_relaxed);
  int32_t Slot;
  do {
    Slot = Old + 1 > TraceRingSize - 1 ? 0 : Old + 1;
  } while (!L.Index.compare_exchange_weak(Old, Slot, std::memory_order_acq_rel,
                                          std::memory_order_relaxed));
  if (Slot == 0 && Old != -1) L.Wraps.fetch_add(1, std::memory_order_relaxed);

  // "(tid) ", made once per thread.
  thread_local const std::string Prefix = "(" + std::to_string(GetCurrentThreadId()) + ") ";
  {
    // The line is written into the slot's own storage, which stays allocated from one round of
    // the ring to the next: tracing allocates nothing once the ring has been round.
    std::lock_guard<std::mutex> Guard(L.Ring[Slot].Lock);
    std::string& Line = L.Ring[Slot].Line;
    Line.assign(Prefix);
    Line.append(A).append(B).append(C).append(D);
  }
  errno = SavedErrno;
}

int32_t TraceIndex() {
  return Log().Index.load(std::memory_order_acquire);
}

int32_t TraceWraps() {
  return Log().Wraps.load(std::memory_order_acquire);
}

std::string TraceLine(int32_t Slot) {
  if (Slot < 0 || Slot >= TraceRingSize) return std::string();
  TTraceSlot& S = Log().Ring[Slot];
  std::lock_guard<std::mutex> Guard(S.Lock);
  return S.Line;
}
