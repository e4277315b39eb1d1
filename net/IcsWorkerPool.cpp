// The worker pool: acquiring, releasing and, at program end, destroying worker threads.
#include "net/IcsWorkerPool.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "base/Thread.h"
#include "net/IcsLogMsg.h"
#include "net/IcsTls.h"

TWorkerThreadClass DefaultWorkerThreadClass() {
  return [] { return std::make_unique<TWorkerThread>(); };
}

TIcsWorkerPool& TIcsWorkerPool::Instance() {
  // Never destroyed: a socket that outlives the program's other objects may still hand its
  // worker back during static destruction.
  static TIcsWorkerPool* const Pool = new TIcsWorkerPool;
  return *Pool;
}

namespace {

// Destroys the idle workers when the program ends, so their threads are joined while the
// process is still whole.
// OpenSSL is started first: it registers its own clean-up at exit when it starts, and clean-ups
// run in reverse order, so its clean-up then follows the end of the workers, each of which gives
// back the OpenSSL state of its thread as it ends.
struct TPoolAtExit {
  TPoolAtExit() {
    IcsTlsInit();
    TIcsWorkerPool::Instance();
  }
  ~TPoolAtExit() { TIcsWorkerPool::Instance().Shutdown(); }
} PoolAtExit;

}  // namespace

TWorkerThread* TIcsWorkerPool::AcquireThread(const TWorkerThreadClass& ThreadClass) {
  std::lock_guard<std::mutex> Guard(PoolLock);
  if (!FIdle.empty()) {
    std::unique_ptr<TWorkerThread> T = std::move(FIdle.front());
    FIdle.pop_front();
    TWorkerThread* Raw = T.get();
    FInUse.push_back(std::move(T));
    return Raw;
  }
  if (!ThreadClass) return nullptr;
  std::unique_ptr<TWorkerThread> T = ThreadClass();
  if (!T) return nullptr;
  ++FCreationCounter;
  T->SetName("SocketWorkerThread" + std::to_string(FCreationCounter));
  TWorkerThread* Raw = T.get();
  FInUse.push_back(std::move(T));
  Raw->Resume();
  while (!Raw->Started()) SleepMs(0);
  return Raw;
}

void TIcsWorkerPool::ReleaseThread(TWorkerThread* Thread) {
  {
    std::lock_guard<std::mutex> Guard(PoolLock);
    const auto It = std::find_if(FInUse.begin(), FInUse.end(),
                                 [Thread](const auto& P) { return P.get() == Thread; });
    if (It == FInUse.end()) throw std::runtime_error("ReleaseThread: unknown thread");
  }
  // Outside the lock: the worker may need the pool while it finishes its current message (a
  // handler that creates a socket), and Detach waits for it.
  Thread->Detach();
  // Released inside one of its own handlers: the worker stays in use until that handler has
  // returned, and then hands itself back (FinishRelease).
  if (GetCurrentThreadId() == Thread->LoopThreadId()) return;
  FinishRelease(Thread);
}

void TIcsWorkerPool::FinishRelease(TWorkerThread* Thread) {
  std::unique_ptr<TWorkerThread> Doomed;
  {
    std::lock_guard<std::mutex> Guard(PoolLock);
    const auto It = std::find_if(FInUse.begin(), FInUse.end(),
                                 [Thread](const auto& P) { return P.get() == Thread; });
    if (It == FInUse.end()) return;
    std::unique_ptr<TWorkerThread> T = std::move(*It);
    FInUse.erase(It);
    if (!FShutDown) {
      FIdle.push_back(std::move(T));
      return;
    }
    Doomed = std::move(T);
  }
  // After Shutdown nothing is kept idle. A worker cannot be joined from its own thread, so one
  // released there is left running until the process ends.
  if (GetCurrentThreadId() == Doomed->LoopThreadId()) {
    LogMsg(Doomed->Name() + " released on its own thread after shutdown");
    std::lock_guard<std::mutex> Guard(PoolLock);
    FAbandoned.push_back(std::move(Doomed));
    return;
  }
  Doomed.reset();
}

void TIcsWorkerPool::Shutdown() {
  std::deque<std::unique_ptr<TWorkerThread>> Idle;
  {
    std::lock_guard<std::mutex> Guard(PoolLock);
    FShutDown = true;
    Idle.swap(FIdle);
  }
  // Destroyed one after the other, outside the lock: each destructor waits for its loop to end.
  while (!Idle.empty()) Idle.pop_front();
}

int32_t TIcsWorkerPool::CreationCount() const {
  std::lock_guard<std::mutex> Guard(PoolLock);
  return FCreationCounter;
}

size_t TIcsWorkerPool::IdleCount() const {
  std::lock_guard<std::mutex> Guard(PoolLock);
  return FIdle.size();
}

size_t TIcsWorkerPool::InUseCount() const {
  std::lock_guard<std::mutex> Guard(PoolLock);
  return FInUse.size();
}

bool TIcsWorkerPool::IsIdle(const TWorkerThread* Thread) const {
  std::lock_guard<std::mutex> Guard(PoolLock);
  return std::any_of(FIdle.begin(), FIdle.end(),
                     [Thread](const auto& P) { return P.get() == Thread; });
}
