// TClientRunner: the workbench's SMPP client on a thread of its own. The client is made, driven
// (Connect, Disconnect with its 2-second wait) and destroyed on that thread, one task at a time,
// so the window never waits on it. What the client reports goes into a TClientSink that the window
// drains on a timer: report lines into a queue, PDUs into a drop-oldest trace ring.
//
// Lifetime: the sink is shared by the window and the client's handlers, so a notification still
// running while the window goes finds it alive. A runner being destroyed hands its thread, which
// then destroys the client, to a list that JoinFinished waits out at program exit: closing the
// window never waits for an Unbind under way.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "inspect/ConnectionStates.h"
#include "inspect/PduTraceRing.h"

class TSmppClient;

// One report line of the client, with the notification that carried it and when (PduTraceNowNs).
struct TReportEvent {
  int64_t MonotonicNs = 0;
  TReportChannel Channel = TReportChannel::rcRcx;
  std::string Line;
};

class TClientSink {
 public:
  // Trace records the ring holds before it drops its oldest. The local SMSC writes a burst of MO
  // messages in one go, and the client reads and answers them at up to a few hundred thousand
  // PDUs a second, while on a busy machine the window's drain can come 100 ms late: room for a
  // quarter of a second of that. Only the slots and bytes a burst fills are ever touched (a drain
  // starts the ring over at its first slot), so an idle ring costs no memory.
  static constexpr size_t kRingCapacity = 65536;

  // Queues a report line. The client's notification threads, under that connection's report
  // lock; never waits for the window.
  void AddReport(TReportChannel Channel, std::string Line);
  // Takes every queued line, oldest first. The window's thread.
  void TakeReports(std::vector<TReportEvent>& Out);

  TPduTraceRing Ring{kRingCapacity, TPduTraceRing::TWhenFull::wfDropOldest};

 private:
  // Guards FReports. A leaf: taken under a connection's report lock, nothing taken under it.
  std::mutex FReportLock;
  std::vector<TReportEvent> FReports;
};

class TClientRunner {
 public:
  using TTask = std::function<void(TSmppClient&)>;

  // Starts the thread, which makes the client with its notifications and trace going to Sink.
  explicit TClientRunner(std::shared_ptr<TClientSink> Sink);
  // Queues the client's destruction after the tasks already queued and returns at once; the
  // thread is joined by JoinFinished.
  ~TClientRunner();
  TClientRunner(const TClientRunner&) = delete;
  TClientRunner& operator=(const TClientRunner&) = delete;

  // Runs Task on the client's thread after those queued before it. Any thread.
  void Post(TTask Task);
  // Tasks queued or running. Any thread.
  int Busy() const { return FQueue->Busy.load(); }

  // Waits until the threads of every runner and load run destroyed so far have ended (their
  // clients destroyed). The program's main thread, before it returns.
  static void JoinFinished();

 private:
  // The queue between the runner and its thread, shared so that the thread outlives the runner.
  struct TQueue {
    // Guards Tasks and Stop.
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<TTask> Tasks;
    bool Stop = false;
    std::atomic<int> Busy{0};
  };
  static void Run(std::shared_ptr<TQueue> Queue, std::shared_ptr<TClientSink> Sink);

  std::shared_ptr<TQueue> FQueue = std::make_shared<TQueue>();
  std::thread FThread;
};
