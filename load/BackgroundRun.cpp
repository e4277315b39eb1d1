// TBackgroundRun: the run's own thread, and the threads of runs whose owners are gone.
#include "load/BackgroundRun.h"

namespace load {

namespace {

// The threads of destroyed runs, still closing their binds. Guarded by FinishedLock.
std::mutex FinishedLock;
std::vector<std::thread>& Finished() {
  static std::vector<std::thread> Threads;
  return Threads;
}

}  // namespace

TBackgroundRun::TBackgroundRun(TLoadOptions Options, TLoadRun::TClientFactory Make) {
  FThread = std::thread(&TBackgroundRun::Work, FShared, std::move(Options), std::move(Make));
}

TBackgroundRun::~TBackgroundRun() {
  {
    std::lock_guard<std::mutex> G(FShared->Lock);
    FShared->Released = FShared->Stopped = true;
    if (FShared->Run) FShared->Run->Stop();
  }
  FShared->Changed.notify_all();
  std::lock_guard<std::mutex> G(FinishedLock);
  Finished().push_back(std::move(FThread));
}

void TBackgroundRun::Stop() {
  std::lock_guard<std::mutex> G(FShared->Lock);
  FShared->Stopped = true;
  if (FShared->Run) FShared->Run->Stop();
}

TBackgroundRun::TPhase TBackgroundRun::Phase() const {
  return FShared->Phase.load(std::memory_order_acquire);
}

TLiveFigures TBackgroundRun::Live() const {
  std::lock_guard<std::mutex> G(FShared->Lock);
  return FShared->Run ? FShared->Run->Live() : TLiveFigures{};
}

TLiveStates TBackgroundRun::States() const {
  std::lock_guard<std::mutex> G(FShared->Lock);
  return FShared->Run ? FShared->Run->States() : TLiveStates{};
}

std::vector<TSecond> TBackgroundRun::Seconds(size_t From) const {
  std::lock_guard<std::mutex> G(FShared->Lock);
  return FShared->Run ? FShared->Run->Seconds(From) : std::vector<TSecond>{};
}

const std::string& TBackgroundRun::Error() const {
  return FShared->Error;
}

const TSummary& TBackgroundRun::Summary() const {
  return FShared->Summary;
}

void TBackgroundRun::JoinFinished() {
  std::vector<std::thread> Threads;
  {
    std::lock_guard<std::mutex> G(FinishedLock);
    Threads.swap(Finished());
  }
  for (std::thread& T : Threads) T.join();
}

void TBackgroundRun::Work(std::shared_ptr<TShared> Shared, TLoadOptions Options,
                          TLoadRun::TClientFactory Make) {
  // The run is made outside the lock (its clients are made then) and published under it, so the
  // owner's reads never wait on that.
  auto Made = std::make_unique<TLoadRun>(std::move(Options), Make);
  TLoadRun* Run = Made.get();
  {
    std::lock_guard<std::mutex> G(Shared->Lock);
    Shared->Run = std::move(Made);
    if (Shared->Stopped) Run->Stop();
  }
  std::string Error = Run->Bind();
  // Stopped once bound: Run sends nothing, waits briefly for nothing and gives the stopped
  // verdict, so that a stopped run never reads as passed.
  if (Error.empty()) {
    Shared->Phase.store(TPhase::Running, std::memory_order_release);
    Error = Run->Run();
  }
  Shared->Phase.store(TPhase::Closing, std::memory_order_release);
  Run->Close();
  Shared->Error = Error;
  Shared->Summary = Run->Summary();
  Shared->Phase.store(TPhase::Done, std::memory_order_release);
  // The run's figures stay readable until the owner lets go; the clients are destroyed here,
  // never on the owner's thread.
  std::unique_lock<std::mutex> G(Shared->Lock);
  Shared->Changed.wait(G, [&] { return Shared->Released; });
  Made = std::move(Shared->Run);
  G.unlock();
  Made.reset();
}

}  // namespace load
