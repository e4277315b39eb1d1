// TBackgroundRun: a load run on a thread of its own, for a front end that must never wait on the
// network (the workbench). The thread makes the run and its clients, binds, sends, waits for the
// answers, closes the binds and, once the owner lets go, destroys it all. The owner meanwhile
// reads the figures the run publishes (the counts, the seconds that ended, the statuses and
// receipt states) as often as it draws them, never a call per message.
//
// Threads: every call from the owner's thread. Lifetime: the owner's destructor asks the run to
// stop and returns at once; the thread ends after the binds are closed and is joined by
// JoinFinished at program exit.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "load/LoadRun.h"

namespace load {

class TBackgroundRun {
 public:
  enum class TPhase { Binding, Running, Closing, Done };

  // Starts the thread: it makes the run with Options and Make (called there, once per bind).
  TBackgroundRun(TLoadOptions Options, TLoadRun::TClientFactory Make);
  // Stops the run and hands the thread, which closes the binds, to JoinFinished.
  ~TBackgroundRun();
  TBackgroundRun(const TBackgroundRun&) = delete;
  TBackgroundRun& operator=(const TBackgroundRun&) = delete;

  // Ends the sending early (while binding, the run ends as soon as the binds are up or failed);
  // what was sent is still waited for.
  void Stop();
  TPhase Phase() const;
  // The figures so far; zero until the run is made.
  TLiveFigures Live() const;
  TLiveStates States() const;
  // The seconds that ended, from the From-th on.
  std::vector<TSecond> Seconds(size_t From = 0) const;
  // Once Phase is Done: the verdict (empty when the run passed) and the summary, without the
  // front end's options, exit status and error, which are the caller's to fill in. Both are
  // valid while this object lives.
  const std::string& Error() const;
  const TSummary& Summary() const;

  // Waits until the threads of every run destroyed so far have ended. The program's main
  // thread, before it returns.
  static void JoinFinished();

 private:
  // What the thread and the owner share; the thread holds it after the owner is gone.
  struct TShared {
    // Guards Run's creation and destruction, Released and Stopped: the owner reads through Run
    // only under it.
    mutable std::mutex Lock;
    std::condition_variable Changed;
    std::unique_ptr<TLoadRun> Run;
    bool Released = false, Stopped = false;
    std::atomic<TPhase> Phase{TPhase::Binding};
    // Written by the thread before Phase becomes Done (release), read-only after.
    std::string Error;
    TSummary Summary;
  };
  static void Work(std::shared_ptr<TShared> Shared, TLoadOptions Options,
                   TLoadRun::TClientFactory Make);

  std::shared_ptr<TShared> FShared = std::make_shared<TShared>();
  std::thread FThread;
};

}  // namespace load
