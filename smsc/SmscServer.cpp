// The SMSC side on sockets (see SmscServer.h).
#include "smsc/SmscServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <vector>

#include "net/IcsSocketIntf.h"

namespace smsc {

TSmscServer::TSmscServer(const TSmscFaults& Faults, TPduLog* Log) : FCore(Faults), FLog(Log) {
  FCore.SetLog(Log);
}

TSmscServer::~TSmscServer() {
  Stop();
  CloseConnections();
}

bool TSmscServer::Start(int Port, int& BoundPort, std::string& Error) {
  // The listener's events are set once, before it listens, and never changed: they run on its
  // worker, which may fire them at any time until the listener is destroyed.
  FListener.OnChangeState = [this](TComponent*, TIcsSocketState, TIcsSocketState New) {
    std::lock_guard<std::mutex> G(ListenLock);
    if (New == wsListening && FListenState == 0) FListenState = 1;
    if (New == wsClosed && FListenState == 0) FListenState = 2;
    ListenChanged.notify_all();
  };
  FListener.OnError = [this](TComponent*) {
    std::lock_guard<std::mutex> G(ListenLock);
    if (FListenState == 0) FListenState = 2;
    ListenChanged.notify_all();
  };
  FListener.OnSessionAvailable = [this](TComponent*, uint16_t) { Accept(); };
  FListener.SetAddr("127.0.0.1");
  FListener.SetPort(std::to_string(Port));
  FListener.SetProto("tcp");
  try {
    FListener.Listen();
  } catch (const std::exception& E) {
    Error = E.what();
    return false;
  }
  {
    std::unique_lock<std::mutex> G(ListenLock);
    ListenChanged.wait_for(G, std::chrono::seconds(10), [&] { return FListenState != 0; });
    if (FListenState != 1) {
      Error = FListener.LastErrorMsg().empty() ? "cannot listen" : FListener.LastErrorMsg();
      return false;
    }
  }
  BoundPort = std::atoi(FListener.WorkerThread()->GetSockPort().c_str());
  FTimer = std::thread([this] { TimerLoop(); });
  return true;
}

void TSmscServer::Stop() {
  {
    std::lock_guard<std::mutex> G(ServerLock);
    FStopping = true;
    FTimerWake.notify_all();
  }
  if (FTimer.joinable()) FTimer.join();
  // An accept still running finds FStopping set; Close waits for it.
  FListener.Close();
}

void TSmscServer::CloseConnections() {
  std::unordered_map<uint32_t, std::unique_ptr<TIcsSocket>> Conns;
  {
    std::lock_guard<std::mutex> G(ServerLock);
    Conns.swap(FConns);
  }
  for (auto& [Id, S] : Conns) S->Close();
  Conns.clear();
}

// A connection is waiting: accepted and adopted by a socket of its own. Listener's worker.
void TSmscServer::Accept() {
  const int H = FListener.Accept();
  if (H < 0) return;
  const int One = 1;
  Ics_setsockopt(H, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
  auto Socket = std::make_unique<TIcsSocket>();
  TIcsSocket* S = Socket.get();
  // Answers of one read leave in one call, however many chunks they fill.
  S->SendGather = true;
  uint32_t Id = 0;
  {
    std::lock_guard<std::mutex> G(ServerLock);
    if (FStopping) {
      ::close(H);
      return;
    }
    Id = FCore.Open();
    S->OnDataAvailable = [this, Id, S](TComponent*, uint16_t) { DataAvailable(Id, *S); };
    S->OnSessionClosed = [this, Id](TComponent*, uint16_t) { Gone(Id); };
    FConns.emplace(Id, std::move(Socket));
  }
  S->Dup(H);
}

// Connection Id's worker: one read, answered at once.
void TSmscServer::DataAvailable(uint32_t Id, TIcsSocket& S) {
  const int32_t Pending = S.RcvdCount();
  if (Pending <= 0) return;
  thread_local std::vector<uint8_t> Buffer(256 * 1024);
  const int32_t Got =
      S.Receive(Buffer.data(), std::min<int32_t>(Pending, static_cast<int32_t>(Buffer.size())));
  if (Got <= 0) return;
  std::lock_guard<std::mutex> G(ServerLock);
  if (FStopping) return;
  FActions.Clear();
  FCore.Feed(Id, Buffer.data(), static_cast<size_t>(Got), MonotonicNs(), FActions);
  Perform();
  WakeTimerIfSooner();
}

// Connection Id has closed: forgotten, and its socket destroyed here on its own worker.
void TSmscServer::Gone(uint32_t Id) {
  std::unique_ptr<TIcsSocket> Dead;
  {
    std::lock_guard<std::mutex> G(ServerLock);
    FCore.Closed(Id);
    auto It = FConns.find(Id);
    if (It == FConns.end()) return;
    Dead = std::move(It->second);
    FConns.erase(It);
  }
  Dead.reset();
}

// Writes (and logs) what the core left in FActions, then closes. ServerLock held. Closes come
// only from a connection's own read, so they run on its own worker and return at once.
void TSmscServer::Perform() {
  for (size_t I = 0; I < FActions.WriteCount(); ++I) {
    const std::string& Bytes = FActions.WriteBytes(I);
    if (Bytes.empty()) continue;
    auto It = FConns.find(FActions.WriteConn(I));
    if (It == FConns.end()) continue;  // gone meanwhile: nothing is written, nothing logged
    if (FLog)
      FLog->Write(MonotonicNs(), It->first, false, reinterpret_cast<const uint8_t*>(Bytes.data()),
                  Bytes.size());
    It->second->Send(Bytes.data(), static_cast<int32_t>(Bytes.size()));
  }
  for (uint32_t Id : FActions.Closes()) {
    auto It = FConns.find(Id);
    if (It != FConns.end()) It->second->Close();
  }
}

void TSmscServer::WakeTimerIfSooner() {
  if (FCore.NextDeadline() < FTimerDue) FTimerWake.notify_all();
}

// The timer thread: runs the core's timed actions when they are due.
void TSmscServer::TimerLoop() {
  std::unique_lock<std::mutex> G(ServerLock);
  while (!FStopping) {
    FActions.Clear();
    FCore.Tick(MonotonicNs(), FActions);
    Perform();
    FTimerDue = FCore.NextDeadline();
    if (FTimerDue == INT64_MAX) {
      FTimerWake.wait(G);
    } else {
      const int64_t Wait = FTimerDue - MonotonicNs();
      if (Wait > 0) FTimerWake.wait_for(G, std::chrono::nanoseconds(Wait));
    }
  }
}

}  // namespace smsc
