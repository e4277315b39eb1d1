// TSimpleTimer: the run loop of the client's timers and the termination that waits out a
// running call.
#include "smpp/SimpleTimer.h"

TSimpleTimer::TSimpleTimer(int32_t Interval, TTimerCallback Callback, void* CallbackData)
    : FInterval(Interval), FCallback(Callback), FCallbackData(CallbackData) {
  SetFreeOnTerminate(true);
}

void TSimpleTimer::Terminate() {
  if (ThreadID() != 0 && ThreadID() == GetCurrentThreadId()) {
    // Inside our own callback: the lock is already held by this very call.
    FEnded.store(true, std::memory_order_release);
  } else {
    // Taking the lock waits for a running callback; once FEnded is set under it, the loop never
    // calls again. The lock is released before the thread is told to end, because from then on
    // the object may delete itself at any moment.
    std::lock_guard<std::mutex> Guard(FCallbackLock);
    FEnded.store(true, std::memory_order_release);
  }
  TThread::Terminate();
}

void TSimpleTimer::Execute() {
  while (!Terminated()) {
    if (!WaitWhileSuspended()) break;
    // A wait cut short by Suspend starts again from zero after the next Resume, so each call
    // comes a full Interval after the Resume that allowed it.
    if (!SleepFor(Interval())) continue;
    std::lock_guard<std::mutex> Guard(FCallbackLock);
    if (FEnded.load(std::memory_order_acquire) || Terminated()) break;
    if (Suspended()) continue;
    FCallback(FCallbackData);
  }
}
