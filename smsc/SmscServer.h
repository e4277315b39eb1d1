// The SMSC side on sockets: a listener on 127.0.0.1 and one socket per connection (net/'s
// TIcsSocket, adopted with Dup), a thread for the core's timed actions, and the raw PDU log of what
// is read and written, around a TSmscCore. The front end of the adversary; the simulator's next.
//
// Threads: each connection's events run on its socket's worker; the listener's on its own; one
// timer thread runs the core's timed actions. ServerLock serialises every use of the core and of
// the connection table, and every write to a socket, so that the log's order is the order in
// which the bytes were handed to the sockets.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "net/IcsSocket.h"
#include "smsc/PduLog.h"
#include "smsc/SmscCore.h"

namespace smsc {

class TSmscServer {
 public:
  // Log: where the PDUs go (null for none); it must outlive the server's Stop.
  TSmscServer(const TSmscFaults& Faults, TPduLog* Log);
  ~TSmscServer();
  TSmscServer(const TSmscServer&) = delete;
  TSmscServer& operator=(const TSmscServer&) = delete;

  // Listens on 127.0.0.1:Port and starts the timer thread; false with the reason in Error.
  // Once; the thread that owns the server.
  bool Start(int Port, int& BoundPort, std::string& Error);
  // Stops the timer and the listener and answers nothing more: nothing is logged after it.
  // The owner's thread.
  void Stop();
  // Closes the connections, each writing out what is still queued for it first (for a peer that
  // does not read, at most the socket layer's drain time). The owner's thread, after Stop.
  void CloseConnections();

 private:
  void Accept();
  void DataAvailable(uint32_t Id, TIcsSocket& S);
  void Gone(uint32_t Id);
  void Perform();
  void WakeTimerIfSooner();
  void TimerLoop();

  // ServerLock guards FCore, FConns, FActions, FStopping and FTimerDue, and is held around every
  // Send to a connection. Lock order: ServerLock, then the log's own lock and the sockets' locks.
  std::mutex ServerLock;
  std::condition_variable FTimerWake;  // with ServerLock
  TSmscCore FCore;
  TPduLog* FLog;
  std::unordered_map<uint32_t, std::unique_ptr<TIcsSocket>> FConns;
  TActions FActions;
  bool FStopping = false;
  int64_t FTimerDue = INT64_MAX;
  std::thread FTimer;
  // Whether the listener listens: 0 not yet known, 1 listening, 2 failed. Guarded by ListenLock
  // (the listener's worker and the starting thread).
  std::mutex ListenLock;
  std::condition_variable ListenChanged;
  int FListenState = 0;
  // Last, so that it is destroyed first: its events use the members above.
  TIcsSocket FListener;
};

}  // namespace smsc
