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

  // Resume (inherited) lets the timer run: the next call comes Interval ms after it. Suspend
  // (inherited) stops it: no call starts while it is stopped; a callback that suspends its own
  // timer runs to its end. Both may be called from any thread, including from inside Callback.

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
  std::atomic<int32_t> FInterval;
  const TTimerCallback FCallback;
  void* const FCallbackData;
  // Held by the timer thread while it decides to call and while Callback runs; Terminate takes it
  // to wait out a running call. FEnded is written under it.
  std::mutex FCallbackLock;
  std::atomic<bool> FEnded{false};
};
