// The runtime's thread class: a thread object that starts suspended, is resumed, can be
// suspended again, is told to end through a terminated flag that its body polls, and is waited
// for on destruction. Worker threads of the socket layer and the client's timers derive from it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// The calling thread's OS thread id (the kernel's tid), as trace lines and thread checks use it.
// Callable from any thread.
uint32_t GetCurrentThreadId();

// Sleeps the calling thread for the given number of milliseconds (0 only yields the processor).
// Callable from any thread.
void SleepMs(int32_t Milliseconds);

// A thread object in the manner of a toolkit thread class.
//
// The OS thread is created by the constructor, but the body (`Execute`) never starts before the
// first `Resume`: a C++ base class cannot start a virtual body before the derived object is
// complete, so every thread is created suspended. A class that wants the "start at once"
// behaviour calls `Resume()` as the last step of its own constructor.
//
// Suspension is cooperative: `Suspend` only sets a flag, which the body sees in
// `WaitWhileSuspended` and which interrupts `SleepFor`; a body that never calls either keeps
// running. Termination is cooperative as well: `Terminate` sets the terminated flag, which the
// body polls through `Terminated()`, and wakes `WaitWhileSuspended` and `SleepFor` at once.
//
// Destruction: a class whose `Execute` touches its own fields must end the body in its own
// destructor (`Terminate()` then `WaitFor()`), because by the time this base destructor runs the
// derived part is already gone. The base destructor terminates, wakes and joins the thread as a
// last resort. A thread with `FreeOnTerminate` set deletes itself on its own thread once its body
// has returned (also when it was terminated before it was ever resumed); its owner then only calls
// `Terminate` and must not touch the object afterwards.
class TThread {
 public:
  TThread();
  virtual ~TThread();

  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Lets the body run: the first call starts `Execute`, later calls end a suspension. Resuming a
  // running thread does nothing. Callable from any thread, including the thread itself.
  void Resume();

  // Asks the body to pause: `WaitWhileSuspended` then blocks and `SleepFor` returns early until
  // the next `Resume`. Suspending a suspended thread does nothing. Callable from any thread,
  // including from inside the body.
  void Suspend();

  // Sets the terminated flag and wakes the body from `WaitWhileSuspended` or `SleepFor`. A thread
  // terminated before its first `Resume` never runs `Execute`. Callable from any thread.
  void Terminate();

  // Blocks until the body has returned (at once if it never started and was terminated). Must
  // not be called on the thread itself, nor for a thread with `FreeOnTerminate` set. Callable
  // from any other thread.
  void WaitFor();

  // The flags, readable from any thread at any time.
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  bool Suspended() const { return FSuspended.load(std::memory_order_acquire); }
  bool Finished() const { return FFinished.load(std::memory_order_acquire); }

  // The OS thread id of this thread (see GetCurrentThreadId); 0 until the OS thread has begun.
  // Readable from any thread.
  uint32_t ThreadID() const { return FThreadID.load(std::memory_order_acquire); }

  // When set, the object deletes itself on its own thread after `Execute` has returned. Set it
  // before the first `Resume` (or before `Terminate` for a thread never resumed); any thread.
  void SetFreeOnTerminate(bool Value) { FFreeOnTerminate.store(Value, std::memory_order_release); }
  bool FreeOnTerminate() const { return FFreeOnTerminate.load(std::memory_order_acquire); }

  // The message of an exception that escaped `Execute` (empty if none). `Execute` should catch
  // its own exceptions; the base catches the rest so that the process does not end. Readable once
  // `Finished()` is true.
  std::string FatalException() const;

 protected:
  // The body. Runs on this object's own thread, after the first `Resume`.
  virtual void Execute() = 0;

  // Called on the thread itself after `Execute` has returned (also after an exception escaped
  // it), before the object is deleted when `FreeOnTerminate` is set. The default does nothing.
  virtual void DoTerminate() {}

  // Blocks while the thread is suspended and not terminated. Returns true when the body may go
  // on, false when the thread has been terminated. Call only from the body.
  bool WaitWhileSuspended();

  // Waits up to `Milliseconds`. Returns true when the whole interval elapsed with the thread
  // neither terminated nor suspended; returns false as soon as either happens during the wait
  // (or already holds when it is called). Call only from the body.
  bool SleepFor(int32_t Milliseconds);

 private:
  void Run();

  // FLock guards the transitions of the flags below and is the mutex FWake waits with; the flags
  // are atomics as well so that polling them needs no lock.
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::atomic<bool> FStarted{false};       // the first Resume happened (FLock)
  std::atomic<bool> FTerminated{false};    // Terminate was called (FLock)
  std::atomic<bool> FSuspended{true};      // suspended now (FLock)
  std::atomic<bool> FFinished{false};      // the body has returned (FLock)
  std::atomic<uint64_t> FSuspendCount{0};  // counts Suspend calls, so SleepFor sees one (FLock)
  std::atomic<bool> FFreeOnTerminate{false};
  std::atomic<uint32_t> FThreadID{0};
  std::string FFatalException;  // written by the thread before FFinished is set (FLock)
  std::thread FThread;          // touched only by the constructor and the destructor
};
