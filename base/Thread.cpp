// The runtime's thread class: the OS thread, its start gate, cooperative suspension and
// termination, and self-deletion for threads that free themselves.
#include "base/Thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <exception>

uint32_t GetCurrentThreadId() {
  // gettid is cheap but still a system call; the id never changes for a thread, so cache it.
  thread_local const uint32_t Tid = static_cast<uint32_t>(::syscall(SYS_gettid));
  return Tid;
}

void SleepMs(int32_t Milliseconds) {
  if (Milliseconds <= 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

TThread::TThread() {
  FThread = std::thread([this] { Run(); });
}

TThread::~TThread() {
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FTerminated.store(true, std::memory_order_release);
    FWake.notify_all();
  }
  if (FThread.joinable()) {
    // A thread that frees itself runs this destructor on its own thread: it cannot join itself,
    // and nothing after the destructor touches the object, so it simply lets the OS thread end.
    if (FThread.get_id() == std::this_thread::get_id()) {
      FThread.detach();
    } else {
      FThread.join();
    }
  }
}

void TThread::Resume() {
  std::lock_guard<std::mutex> Guard(FLock);
  FStarted.store(true, std::memory_order_release);
  FSuspended.store(false, std::memory_order_release);
  // Notify while holding the lock: a self-freeing thread may delete the object as soon as it can
  // take the lock, so nothing here may touch the object after the lock is released.
  FWake.notify_all();
}

void TThread::Suspend() {
  std::lock_guard<std::mutex> Guard(FLock);
  if (!FSuspended.load(std::memory_order_relaxed)) {
    FSuspended.store(true, std::memory_order_release);
    FSuspendCount.fetch_add(1, std::memory_order_relaxed);
  }
  FWake.notify_all();
}

void TThread::Terminate() {
  std::lock_guard<std::mutex> Guard(FLock);
  FTerminated.store(true, std::memory_order_release);
  FWake.notify_all();
}

void TThread::WaitFor() {
  std::unique_lock<std::mutex> Guard(FLock);
  FWake.wait(Guard, [this] { return FFinished.load(std::memory_order_relaxed); });
}

std::string TThread::FatalException() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FFatalException;
}

bool TThread::WaitWhileSuspended() {
  std::unique_lock<std::mutex> Guard(FLock);
  FWake.wait(Guard, [this] {
    return FTerminated.load(std::memory_order_relaxed) ||
           !FSuspended.load(std::memory_order_relaxed);
  });
  return !FTerminated.load(std::memory_order_relaxed);
}

bool TThread::SleepFor(int32_t Milliseconds) {
  std::unique_lock<std::mutex> Guard(FLock);
  const uint64_t SuspendsBefore = FSuspendCount.load(std::memory_order_relaxed);
  auto Interrupted = [&] {
    return FTerminated.load(std::memory_order_relaxed) ||
           FSuspended.load(std::memory_order_relaxed) ||
           FSuspendCount.load(std::memory_order_relaxed) != SuspendsBefore;
  };
  if (Interrupted()) return false;
  if (Milliseconds > 0) {
    FWake.wait_for(Guard, std::chrono::milliseconds(Milliseconds), Interrupted);
  }
  return !Interrupted();
}

void TThread::Run() {
  FThreadID.store(GetCurrentThreadId(), std::memory_order_release);
  bool RunBody;
  {
    // The start gate: the body starts with the first Resume, or never when the thread is
    // terminated first.
    std::unique_lock<std::mutex> Guard(FLock);
    FWake.wait(Guard, [this] {
      return FStarted.load(std::memory_order_relaxed) ||
             FTerminated.load(std::memory_order_relaxed);
    });
    RunBody = !FTerminated.load(std::memory_order_relaxed);
  }
  std::string Fatal;
  if (RunBody) {
    try {
      Execute();
    } catch (const std::exception& E) {
      Fatal = E.what();
      if (Fatal.empty()) Fatal = "exception";
    } catch (...) {
      Fatal = "unknown exception";
    }
  }
  if (RunBody) {
    // A body that never ran has nothing to finish; skipping the virtual call also keeps a thread
    // destroyed before its first Resume from calling into a half-destroyed object.
    try {
      DoTerminate();
    } catch (...) {
      // Termination handling must not end the process; there is nobody left to report to.
    }
  }
  const bool FreeSelf = FFreeOnTerminate.load(std::memory_order_acquire);
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FFatalException = std::move(Fatal);
    FFinished.store(true, std::memory_order_release);
    FWake.notify_all();
  }
  if (FreeSelf) delete this;
}
