// TSimpleTimer: the run loop of the client's timers, the cheap pause and restart, and the
// termination that waits out a running call.
#include "smpp/SimpleTimer.h"

TSimpleTimer::TSimpleTimer(int32_t Interval, TTimerCallback Callback, void* CallbackData)
    : FInterval(Interval), FCallback(Callback), FCallbackData(CallbackData) {
  SetFreeOnTerminate(true);
}

void TSimpleTimer::Resume() {
  std::lock_guard<std::mutex> Guard(FPauseLock);
  FPaused.store(false, std::memory_order_release);
  if (FParked) {
    FParked = false;
    TThread::Resume();
  }
}

void TSimpleTimer::Suspend() {
  std::lock_guard<std::mutex> Guard(FPauseLock);
  FPaused.store(true, std::memory_order_release);
}

void TSimpleTimer::ParkIfPaused() {
  std::lock_guard<std::mutex> Guard(FPauseLock);
  if (FPaused.load(std::memory_order_acquire) && !FParked) {
    FParked = true;
    TThread::Suspend();
  }
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
    if (!SleepFor(Interval())) continue;
    if (Suspended()) {
      // Stopped during the wait: hold the thread until the next Resume, which starts a full
      // Interval again.
      ParkIfPaused();
      continue;
    }
    std::lock_guard<std::mutex> Guard(FCallbackLock);
    if (Terminated()) break;
    if (FEnded.load(std::memory_order_acquire)) {
      // Terminate has begun but has not yet told the thread class: the loop must not end (and
      // the object free itself) before it has, so it waits for that here.
      TThread::Suspend();
      continue;
    }
    if (Suspended()) continue;
    FCallback(FCallbackData);
    // A callback that suspended its own timer parks the thread right away.
    if (Suspended()) ParkIfPaused();
  }
}
