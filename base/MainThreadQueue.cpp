// The main-thread call queue: a process-wide FIFO of calls, kept in an object that is created on
// first use and never destroyed, so threads still posting while the program ends find it intact.
#include "base/MainThreadQueue.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <deque>
#include <memory>
#include <mutex>

namespace {

struct TMainThreadQueueState {
  std::mutex Lock;                                // guards Calls and Wakeup
  std::deque<TMainThreadCall> Calls;              // Lock
  std::shared_ptr<std::function<void()>> Wakeup;  // Lock; copied out before it is called
};

TMainThreadQueueState& State() {
  // Deliberately leaked: it must outlive every thread, including ones that post during static
  // destruction at program end.
  static TMainThreadQueueState* const Instance = new TMainThreadQueueState;
  return *Instance;
}

}  // namespace

bool IsMainThread() {
  // On Linux the initial thread's id equals the process id.
  thread_local const bool Main = ::syscall(SYS_gettid) == ::getpid();
  return Main;
}

void QueueMainThreadCall(TMainThreadCall Call) {
  if (!Call) return;
  auto& S = State();
  std::shared_ptr<std::function<void()>> Wakeup;
  {
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Calls.push_back(std::move(Call));
    Wakeup = S.Wakeup;
  }
  if (Wakeup && *Wakeup) (*Wakeup)();
}

size_t ProcessMainThreadCalls() {
  auto& S = State();
  size_t Limit;
  {
    std::lock_guard<std::mutex> Guard(S.Lock);
    Limit = S.Calls.size();
  }
  size_t Ran = 0;
  while (Ran < Limit) {
    TMainThreadCall Call;
    {
      std::lock_guard<std::mutex> Guard(S.Lock);
      if (S.Calls.empty()) break;
      Call = std::move(S.Calls.front());
      S.Calls.pop_front();
    }
    ++Ran;
    // Run outside the lock: a call may queue further calls (they wait for the next drain).
    Call();
  }
  return Ran;
}

size_t PendingMainThreadCalls() {
  auto& S = State();
  std::lock_guard<std::mutex> Guard(S.Lock);
  return S.Calls.size();
}

void SetMainThreadWakeup(std::function<void()> Wakeup) {
  auto& S = State();
  std::lock_guard<std::mutex> Guard(S.Lock);
  S.Wakeup = Wakeup ? std::make_shared<std::function<void()>>(std::move(Wakeup)) : nullptr;
}
