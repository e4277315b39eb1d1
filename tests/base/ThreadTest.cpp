// Tests of the runtime's thread class: suspended start, resume, suspend, terminate, waiting and
// self-deletion.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "base/Thread.h"

namespace {

bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs = 5000) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A thread whose body is a function given by the test; the destructor ends the body before the
// function object goes away, as every derived class must.
class TTestThread : public TThread {
 public:
  explicit TTestThread(std::function<void(TTestThread&)> Body,
                       std::atomic<bool>* DestroyedFlag = nullptr)
      : FBody(std::move(Body)), FDestroyed(DestroyedFlag) {}
  ~TTestThread() override {
    if (!FreeOnTerminate()) {
      Terminate();
      WaitFor();
    }
    if (FDestroyed) FDestroyed->store(true);
  }
  using TThread::SleepFor;
  using TThread::WaitWhileSuspended;
  std::atomic<int> Runs{0};
  std::atomic<uint32_t> BodyThreadId{0};

 protected:
  void Execute() override {
    BodyThreadId = GetCurrentThreadId();
    ++Runs;
    FBody(*this);
  }

 private:
  std::function<void(TTestThread&)> FBody;
  std::atomic<bool>* FDestroyed;
};

void PollUntilTerminated(TTestThread& T) {
  while (!T.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(TThread, StartsSuspendedAndRunsBodyOnItsOwnThreadAfterResume) {
  TTestThread T(PollUntilTerminated);
  ASSERT_TRUE(WaitUntil([&] { return T.ThreadID() != 0; }));  // the OS thread is at its gate
  EXPECT_TRUE(T.Suspended());
  EXPECT_EQ(T.Runs.load(), 0);
  T.Resume();
  ASSERT_TRUE(WaitUntil([&] { return T.Runs.load() == 1; }));
  EXPECT_FALSE(T.Suspended());
  EXPECT_EQ(T.BodyThreadId.load(), T.ThreadID());
  EXPECT_NE(T.ThreadID(), GetCurrentThreadId());
  T.Resume();  // resuming a running thread changes nothing
  T.Terminate();
  T.WaitFor();
  EXPECT_TRUE(T.Finished());
  EXPECT_EQ(T.Runs.load(), 1);
}

TEST(TThread, TerminatedBeforeResumeNeverRunsBody) {
  TTestThread T(PollUntilTerminated);
  T.Terminate();
  T.WaitFor();
  EXPECT_TRUE(T.Finished());
  EXPECT_EQ(T.Runs.load(), 0);
  // Destroying threads that never ran must not hang either.
  for (int I = 0; I < 20; ++I) TTestThread Unused(PollUntilTerminated);
}

TEST(TThread, SuspendInsideBodyPausesUntilResume) {
  std::atomic<int> Ticks{0};
  TTestThread T([&](TTestThread& Self) {
    while (Self.WaitWhileSuspended()) {
      if (++Ticks == 3) Self.Suspend();  // the body finishes this pass, then pauses
    }
  });
  T.Resume();
  ASSERT_TRUE(WaitUntil([&] { return T.Suspended() && Ticks.load() == 3; }));
  // The body is parked in WaitWhileSuspended; it only goes on after Resume.
  EXPECT_EQ(Ticks.load(), 3);
  T.Resume();
  ASSERT_TRUE(WaitUntil([&] { return Ticks.load() > 3; }));
  T.Terminate();
  T.WaitFor();
}

TEST(TThread, SleepForIsCutShortByTerminateAndBySuspend) {
  struct Case {
    const char* Name;
    bool UseTerminate;
  };
  for (const Case& C : {Case{"terminate", true}, Case{"suspend", false}}) {
    SCOPED_TRACE(C.Name);
    std::atomic<int> Result{-1};
    std::atomic<bool> Sleeping{false};
    TTestThread T([&](TTestThread& Self) {
      Sleeping = true;
      Result = Self.SleepFor(60000) ? 1 : 0;
    });
    T.Resume();
    ASSERT_TRUE(WaitUntil([&] { return Sleeping.load(); }));
    if (C.UseTerminate) {
      T.Terminate();
    } else {
      T.Suspend();
    }
    // A one-minute sleep that is not cut short fails this wait.
    ASSERT_TRUE(WaitUntil([&] { return Result.load() != -1; }));
    EXPECT_EQ(Result.load(), 0);
    T.Terminate();
    T.WaitFor();
  }
}

TEST(TThread, FreeOnTerminateDeletesItselfWhetherOrNotItRan) {
  for (bool Resumed : {true, false}) {
    SCOPED_TRACE(Resumed ? "resumed" : "never resumed");
    std::atomic<bool> Destroyed{false};
    auto* T = new TTestThread(PollUntilTerminated, &Destroyed);
    T->SetFreeOnTerminate(true);
    if (Resumed) {
      T->Resume();
      ASSERT_TRUE(WaitUntil([&] { return T->Runs.load() == 1; }));
    }
    T->Terminate();  // the owner only terminates; the object frees itself
    ASSERT_TRUE(WaitUntil([&] { return Destroyed.load(); }));
  }
}

TEST(TThread, ExceptionEscapingTheBodyIsCaughtAndKept) {
  TTestThread T([](TTestThread&) { throw std::runtime_error("body failed"); });
  T.Resume();
  T.WaitFor();
  EXPECT_TRUE(T.Finished());
  EXPECT_EQ(T.FatalException(), "body failed");
}

}  // namespace
