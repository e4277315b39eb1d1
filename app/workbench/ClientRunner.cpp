// TClientRunner and TClientSink: the client's own thread and task queue, and the queues its
// notifications fill.
#include "app/workbench/ClientRunner.h"

#include "load/BackgroundRun.h"
#include "smpp/PduTrace.h"
#include "smpp/smppclient.h"

namespace {

// The threads of destroyed runners, still destroying their clients. Guarded by FinishedLock.
std::mutex FinishedLock;
std::vector<std::thread>& Finished() {
  static std::vector<std::thread> Threads;
  return Threads;
}

}  // namespace

void TClientSink::AddReport(TReportChannel Channel, std::string Line) {
  const int64_t Now = PduTraceNowNs();
  std::lock_guard<std::mutex> Guard(FReportLock);
  FReports.push_back({Now, Channel, std::move(Line)});
}

void TClientSink::TakeReports(std::vector<TReportEvent>& Out) {
  Out.clear();
  std::lock_guard<std::mutex> Guard(FReportLock);
  Out.swap(FReports);
}

TClientRunner::TClientRunner(std::shared_ptr<TClientSink> Sink) {
  FThread = std::thread(&TClientRunner::Run, FQueue, std::move(Sink));
}

TClientRunner::~TClientRunner() {
  {
    std::lock_guard<std::mutex> Guard(FQueue->Lock);
    FQueue->Stop = true;
  }
  FQueue->Changed.notify_all();
  std::lock_guard<std::mutex> Guard(FinishedLock);
  Finished().push_back(std::move(FThread));
}

void TClientRunner::Post(TTask Task) {
  ++FQueue->Busy;
  {
    std::lock_guard<std::mutex> Guard(FQueue->Lock);
    FQueue->Tasks.push_back(std::move(Task));
  }
  FQueue->Changed.notify_all();
}

void TClientRunner::JoinFinished() {
  std::vector<std::thread> Threads;
  {
    std::lock_guard<std::mutex> Guard(FinishedLock);
    Threads.swap(Finished());
  }
  for (std::thread& T : Threads) T.join();
  // And the load runs' threads, closing their binds.
  load::TBackgroundRun::JoinFinished();
}

void TClientRunner::Run(std::shared_ptr<TQueue> Queue, std::shared_ptr<TClientSink> Sink) {
  auto Client = std::make_unique<TSmppClient>();
  // The handlers read the text during the notification, as the client asks, and only queue it.
  Client->SetRcxOnData(
      [Sink](TSmppClient* S) { Sink->AddReport(TReportChannel::rcRcx, S->Rcx().rcxData()); });
  Client->SetTcxOnData(
      [Sink](TSmppClient* S) { Sink->AddReport(TReportChannel::rcTcx, S->Tcx().tcxData()); });
  Client->SetPduTrace([Sink](const TPduTraceEvent& E) { Sink->Ring.Push(E); });
  // The runner itself may be gone by now: only the shared queue is used.
  for (;;) {
    TTask Task;
    {
      std::unique_lock<std::mutex> Lock(Queue->Lock);
      Queue->Changed.wait(Lock, [&] { return Queue->Stop || !Queue->Tasks.empty(); });
      if (Queue->Tasks.empty()) break;
      Task = std::move(Queue->Tasks.front());
      Queue->Tasks.pop_front();
    }
    Task(*Client);
    --Queue->Busy;
  }
  Client.reset();
}
