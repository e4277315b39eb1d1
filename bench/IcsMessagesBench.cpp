// Benchmarks of the lower socket layer: the cost of one trace line, and the rate at which
// messages posted on one thread come out of a worker queue on another.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "net/IcsLogMsg.h"
#include "net/IcsMessages.h"

namespace {

void BM_LogMsg(benchmark::State& State) {
  for (auto _ : State) LogMsg("Ics_send(12) = 100");
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_LogMsg)->Threads(1)->Threads(2);

// The post rate of one thread while an owner thread takes the messages out concurrently, as a
// worker's loop does (pipe write, trace line and lock hand-over included).
void BM_PostToOwnerThread(benchmark::State& State) {
  int Rd, Wr;
  if (!IcsCreateWakeupPipe(Rd, Wr)) {
    State.SkipWithError("pipe");
    return;
  }
  std::atomic<int64_t> Taken{0};
  {
    TIcsMsgQueue Queue;
    Queue.SetPipe(Rd, Wr);
    std::thread Owner([&] {
      TIcsClassMsg Rec;
      while (Queue.GetMessage(Rec)) Taken.fetch_add(1, std::memory_order_relaxed);
    });
    int64_t Posted = 0;
    for (auto _ : State) {
      Queue.PostMessage(WM_ICS_TRY_TO_SEND, 0, 0);
      ++Posted;
    }
    // Let the owner take everything before the queue goes away.
    while (Taken.load(std::memory_order_relaxed) < Posted) std::this_thread::yield();
    Queue.PostMessage(WM_QUIT, 0, 0);
    Owner.join();
    State.SetItemsProcessed(Posted);
  }
  ::close(Rd);
  ::close(Wr);
}
BENCHMARK(BM_PostToOwnerThread)->UseRealTime();

}  // namespace
