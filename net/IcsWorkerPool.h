// The process-wide pool of socket worker threads. A socket takes a worker from the pool on its
// first Connect, Listen or Dup and hands it back when it is destroyed; an idle worker keeps its
// message loop running, so that the next socket gets it without any start-up cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "net/IcsWorkerThread.h"

// Makes a new worker thread of the kind a socket wants (the socket's WorkerThreadClass).
using TWorkerThreadClass = std::function<std::unique_ptr<TWorkerThread>()>;

// The factory of plain TWorkerThread objects.
TWorkerThreadClass DefaultWorkerThreadClass();

class TIcsWorkerPool {
 public:
  // The pool. Created on first use and never destroyed; at program end its idle workers are
  // destroyed (see Shutdown), so no thread outlives the program's own objects by accident and
  // no late caller meets a destroyed pool. Any thread.
  static TIcsWorkerPool& Instance();

  // Takes the oldest idle worker, or creates one with ThreadClass (suspended), names it
  // "SocketWorkerThread" + the creation counter, resumes it and waits, still holding the pool
  // lock, until its loop has started. Returns null when ThreadClass makes no thread; lets the
  // exceptions of a failed construction through. Any thread.
  TWorkerThread* AcquireThread(const TWorkerThreadClass& ThreadClass);

  // Hands a worker back: it forgets its socket and callbacks (TWorkerThread::Detach, which waits
  // for the worker off its own thread) and joins the idle queue (on its own thread: once the
  // handler running there has returned); after Shutdown it is destroyed
  // instead (or, on its own thread, left to end with the process). Throws
  // std::runtime_error("ReleaseThread: unknown thread") for a thread not in use. Any thread.
  void ReleaseThread(TWorkerThread* Thread);

  // The second half of ReleaseThread: moves a detached worker from the in-use list to the idle
  // queue (after Shutdown: destroys it, or keeps it aside when called on its own thread). Called
  // by ReleaseThread, and by a worker released inside one of its own handlers once that handler
  // has returned. Any thread.
  void FinishRelease(TWorkerThread* Thread);

  // Destroys every idle worker, one after the other. Workers still in use stay with their
  // sockets; releasing one later destroys it. Runs at program end; any thread.
  void Shutdown();

  // Counts, for diagnostics and tests. Any thread.
  int32_t CreationCount() const;
  size_t IdleCount() const;
  size_t InUseCount() const;
  // True when Thread is in the idle queue. Any thread.
  bool IsIdle(const TWorkerThread* Thread) const;

 private:
  TIcsWorkerPool() = default;

  // PoolLock guards everything below. Lock order: PoolLock is never held while waiting for a
  // worker to handle a message (only while a new worker starts its loop).
  mutable std::mutex PoolLock;
  std::deque<std::unique_ptr<TWorkerThread>> FIdle;    // oldest first
  std::vector<std::unique_ptr<TWorkerThread>> FInUse;  // attached to a socket
  // Workers released on their own thread after Shutdown: they cannot be joined there, so they
  // are kept (never destroyed) until the process ends.
  std::vector<std::unique_ptr<TWorkerThread>> FAbandoned;
  int32_t FCreationCounter = 0;
  bool FShutDown = false;
};
