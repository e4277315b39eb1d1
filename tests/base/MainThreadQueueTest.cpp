// Tests of the main-thread call queue: who is the main thread, order, draining, and posting
// from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/MainThreadQueue.h"

namespace {

// Leaves the process-wide queue empty and without a wake-up for the next test.
class MainThreadQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThreadWakeup(nullptr);
    while (ProcessMainThreadCalls() != 0) {
    }
  }
  void TearDown() override { SetUp(); }
};

TEST_F(MainThreadQueueTest, KnowsTheMainThread) {
  EXPECT_TRUE(IsMainThread());
  bool OnOther = true;
  std::thread([&] { OnOther = IsMainThread(); }).join();
  EXPECT_FALSE(OnOther);
}

TEST_F(MainThreadQueueTest, RunsCallsFromManyThreadsInEachPostersOrder) {
  constexpr int Threads = 4, PerThread = 2000;
  std::vector<std::vector<int>> Seen(Threads);  // touched only by the main thread
  std::vector<std::thread> Posters;
  for (int T = 0; T < Threads; ++T) {
    Posters.emplace_back([T, &Seen] {
      for (int I = 0; I < PerThread; ++I) {
        QueueMainThreadCall([T, I, &Seen] {
          ASSERT_TRUE(IsMainThread());
          Seen[T].push_back(I);
        });
      }
    });
  }
  for (auto& P : Posters) P.join();
  EXPECT_EQ(PendingMainThreadCalls(), static_cast<size_t>(Threads * PerThread));
  EXPECT_EQ(ProcessMainThreadCalls(), static_cast<size_t>(Threads * PerThread));
  for (int T = 0; T < Threads; ++T) {
    ASSERT_EQ(Seen[T].size(), static_cast<size_t>(PerThread));
    for (int I = 0; I < PerThread; ++I) ASSERT_EQ(Seen[T][I], I);
  }
}

TEST_F(MainThreadQueueTest, CallsQueuedDuringADrainWaitForTheNextOne) {
  int Ran = 0;
  QueueMainThreadCall([&] {
    ++Ran;
    QueueMainThreadCall([&] { ++Ran; });
  });
  EXPECT_EQ(ProcessMainThreadCalls(), 1u);
  EXPECT_EQ(Ran, 1);
  EXPECT_EQ(ProcessMainThreadCalls(), 1u);
  EXPECT_EQ(Ran, 2);
  EXPECT_EQ(ProcessMainThreadCalls(), 0u);
}

TEST_F(MainThreadQueueTest, ThrowingCallLeavesTheRestQueued) {
  std::vector<int> Order;
  QueueMainThreadCall([&] { Order.push_back(1); });
  QueueMainThreadCall([] { throw std::runtime_error("call failed"); });
  QueueMainThreadCall([&] { Order.push_back(3); });
  EXPECT_THROW(ProcessMainThreadCalls(), std::runtime_error);
  EXPECT_EQ(Order, std::vector<int>{1});
  EXPECT_EQ(PendingMainThreadCalls(), 1u);
  EXPECT_EQ(ProcessMainThreadCalls(), 1u);
  EXPECT_EQ(Order, (std::vector<int>{1, 3}));
}

TEST_F(MainThreadQueueTest, WakeupRunsOnThePostingThreadAfterEachPost) {
  std::atomic<int> Wakeups{0};
  std::atomic<bool> WakeupOnMain{true};
  SetMainThreadWakeup([&] {
    // The call is already queued when the wake-up runs.
    EXPECT_GE(PendingMainThreadCalls(), 1u);
    WakeupOnMain = IsMainThread();
    ++Wakeups;
  });
  std::thread([] {
    QueueMainThreadCall([] {});
    QueueMainThreadCall([] {});
  }).join();
  EXPECT_EQ(Wakeups.load(), 2);
  EXPECT_FALSE(WakeupOnMain.load());
  EXPECT_EQ(ProcessMainThreadCalls(), 2u);
}

}  // namespace
