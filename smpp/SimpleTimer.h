// TSimpleTimer: the client component's clock, a thread that calls one procedure again and again
// with a fixed wait before each call, and that can be paused and restarted from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/Thread.h"

class TSimpleTimer : public TThread {
 public:
  // The procedure called at each firing, with CallbackData as its argument.
  using TTimerCallback = void (*)(void* CallbackData);

  // Stores the three values and creates the thread stopped: nothing is called until the first
  // Resume. The timer releases itself once its run loop has ended; its owner only calls
  // Terminate and must not touch the object afterwards. Any thread.
  TSimpleTimer(int32_t Interval, TTimerCallback Callback, void* CallbackData);

  // Lets the timer run; on a running timer it has no effect. The first call starts the run loop,
  // and after a Resume that starts the loop or follows a Suspend made inside Callback the next
  // call comes Interval ms later. A Resume that follows a Suspend made from another thread during
  // a wait lets the interrupted wait run out, so the next call comes at most Interval ms after
  // it. Any thread, including from inside Callback.
  void Resume();
  // Stops the timer: no call of Callback starts while it is stopped; a callback that suspends its
  // own timer runs to its end. On a stopped timer it has no effect. Any thread, including from
  // inside Callback.
  //
  // Both are cheap when the timer thread is in its wait: they only flip a flag under a lock that
  // nobody holds for long, with no system call and no wake-up of the timer thread. The read
  // handlers of the client pause and restart their keep-alive timer around every PDU.
  void Suspend();
  // True while the timer is stopped. Any thread.
  bool Suspended() const { return FPaused.load(std::memory_order_acquire); }

  // Ends the timer for good. When called from another thread than the timer's own, it waits for a
  // call of Callback that is running at that moment to return, so that once Terminate returns no
  // call is running or will start: the owner may then free whatever CallbackData points to.
  // Called from inside Callback, it returns at once and that call is the last. Any thread.
  void Terminate();

  // The wait before each call, in milliseconds. Readable from any thread; SetInterval takes
  // effect from the next wait on.
  int32_t Interval() const { return FInterval.load(std::memory_order_relaxed); }
  void SetInterval(int32_t Value) { FInterval.store(Value, std::memory_order_relaxed); }

  TTimerCallback Callback() const { return FCallback; }
  void* CallbackData() const { return FCallbackData; }

 protected:
  void Execute() override;

 private:
  // Parks the thread (the thread class's own suspension) if the timer is still stopped.
  void ParkIfPaused();

  std::atomic<int32_t> FInterval;
  const TTimerCallback FCallback;
  void* const FCallbackData;

  // FPauseLock guards the pair below: FPaused is the timer's stopped state as callers see it;
  // FParked tells that the thread is (or is about to be) held by the thread class's suspension,
  // which only Resume lifts. The thread parks itself only when it finds the timer stopped at the
  // end of a wait, so pausing and restarting during a wait costs no wake-up.
  std::mutex FPauseLock;
  std::atomic<bool> FPaused{true};
  bool FParked = true;  // created suspended

  // Held by the timer thread while it decides to call and while Callback runs; Terminate takes it
  // to wait out a running call. FEnded is written under it.
  std::mutex FCallbackLock;
  std::atomic<bool> FEnded{false};
};
