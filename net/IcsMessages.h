// The socket worker's message vocabulary and queue: the message ids with their name table, and
// TIcsMsgQueue, a first-in first-out queue of messages that any thread posts into and that the
// owning worker thread takes out. The queue's wait is also how the worker learns that its socket
// is readable or writable: one poll watches the wake-up pipe and, when asked, the socket, and
// socket readiness comes out of the queue as a message like any other.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

constexpr uint32_t WM_QUIT = 18;
constexpr uint32_t WM_ICS_CONNECT = 1025;
constexpr uint32_t WM_ICS_CLOSE = 1026;
constexpr uint32_t WM_ICS_DATA_AVAILABLE = 1027;
constexpr uint32_t WM_ICS_WRITE_READY = 1028;
constexpr uint32_t WM_ICS_SOCKET_EXCEPTION = 1029;
constexpr uint32_t WM_ICS_TRY_TO_SEND = 1030;
constexpr uint32_t WM_ICS_LISTEN = 1031;
constexpr uint32_t WM_ICS_DUP = 1032;
constexpr uint32_t WM_ICS_SESSION_AVAILABLE = 1033;
constexpr uint32_t WM_ICS_DONT_READ_FLAG = 1034;
constexpr uint32_t WM_ICS_ACCEPT = 1035;
constexpr uint32_t WM_ICS_USER = 1036;
// Returned by a queue's wait when its deadline (TIcsMsgQueue::DeadlineMs) has passed. Just below
// the socket's own ids, so that it never meets an application's WM_ICS_USER + n.
constexpr uint32_t WM_ICS_DEADLINE = 1024;

// The steady clock in milliseconds, the time base of a queue's deadline.
int64_t IcsSteadyMs();

// The names of WM_ICS_CONNECT .. WM_ICS_USER in id order: entry i names id 1025 + i. A constant
// table, so it exists for the whole life of the process.
inline constexpr const char* IcsMessageNames[] = {"WM_ICS_CONNECT",
                                                  "WM_ICS_CLOSE",
                                                  "WM_ICS_DATA_AVAILABLE",
                                                  "WM_ICS_WRITE_READY",
                                                  "WM_ICS_SOCKET_EXCEPTION",
                                                  "WM_ICS_TRY_TO_SEND",
                                                  "WM_ICS_LISTEN",
                                                  "WM_ICS_DUP",
                                                  "WM_ICS_SESSION_AVAILABLE",
                                                  "WM_ICS_DONT_READ_FLAG",
                                                  "WM_ICS_ACCEPT",
                                                  "WM_ICS_USER"};

// The name of a message id for trace lines: its table name for 1025..1036, else the id in decimal.
std::string IcsMessageName(uint32_t Msg);

// One queued message.
struct TIcsClassMsg {
  uint32_t Msg = 0;
  int32_t WParam = 0;
  int32_t LParam = 0;
};

// The handler DispatchMessage calls: Msg, WParam, LParam; returns a 32-bit result.
using TIcsMsgHandler = std::function<uint32_t(uint32_t Msg, int32_t WParam, int32_t LParam)>;

// Creates a wake-up pipe for a queue, both ends non-blocking and close-on-exec. Returns false
// (both ends -1, errno set) on failure. The caller owns and closes both descriptors.
bool IcsCreateWakeupPipe(int& PipeRead, int& PipeWrite);

// The message queue of one worker thread.
//
// Threads: PostMessage may be called from any thread. GetMessage and DispatchMessage are called
// only by the owning thread, in a loop of GetMessage followed (when it returned true) by
// DispatchMessage; the handler runs on that thread without QueueLock held, and may post to its own
// queue. The destructor is called after the owner's loop has ended.
//
// Posting never blocks: the wake-up pipe is non-blocking, and a full pipe means a wake-up is
// already pending, so the byte is simply not written. Messages come out in the order the
// posters took QueueLock, and always before socket readiness, because the socket is watched
// only while the FIFO is empty.
//
// Descriptors are watched with poll, so sockets and pipes at or above FD_SETSIZE work like any
// other.
class TIcsMsgQueue {
 public:
  TIcsMsgQueue();
  // Traces Name + ".Destroy", sets ShuttingDown, posts WM_QUIT and waits (spinning, without
  // sleeping) until no GetMessage is running. Queued messages are dropped. The pipe descriptors
  // are not closed: they belong to whoever created them.
  ~TIcsMsgQueue();

  TIcsMsgQueue(const TIcsMsgQueue&) = delete;
  TIcsMsgQueue& operator=(const TIcsMsgQueue&) = delete;

  // Appends a message and writes one wake-up byte (skipped when the pipe is full, since a
  // wake-up is then pending anyway). Traces "PostMessage " + IcsMessageName(Msg). Always returns
  // true. Any thread; never blocks beyond QueueLock, which no one holds across a wait.
  bool PostMessage(uint32_t Msg, int32_t WParam, int32_t LParam);

  // Takes the oldest message into Rec and returns true, or waits until there is one or the
  // watched socket becomes ready (then Rec.Msg is WM_ICS_DATA_AVAILABLE,
  // WM_ICS_SESSION_AVAILABLE, WM_ICS_WRITE_READY or WM_ICS_SOCKET_EXCEPTION and WParam/LParam
  // are left as they were). Returns false with Msg = WM_QUIT when it takes a WM_QUIT, and false
  // with a zeroed record once the queue is shutting down. Owning thread only.
  bool GetMessage(TIcsClassMsg& Rec);

  // Traces Name + " DispatchMessage " + IcsMessageName(Rec.Msg) and calls OnMessage; returns its
  // result, or 0 when no handler is installed. Owning thread only.
  uint32_t DispatchMessage(const TIcsClassMsg& Rec);

  // The queue's name for trace lines. Any thread (guarded by NameLock).
  std::string Name() const;
  void SetName(const std::string& Value);

  // Stores the wake-up pipe (both ends are switched to non-blocking, in case the creator did not
  // use IcsCreateWakeupPipe). Call before the owner's loop starts. The queue never closes them,
  // but it writes to the write end until its destructor has run (the destructor posts WM_QUIT),
  // so the creator closes both ends only after destroying the queue.
  void SetPipe(int ARead, int AWrite);

  // The handler. Set by the owner before its loop starts and not changed while it runs.
  TIcsMsgHandler OnMessage;

  // Watch flags and state. Atomics: the owner writes them on its own thread, and a send request
  // sets SelectWrite on the caller's thread; a change made during a wait takes effect at the next
  // wait, and every request that changes what must be watched also posts a message, which ends
  // the current wait.
  std::atomic<bool> InGetMessage{false};  // a GetMessage call is running
  std::atomic<bool> SelectWrite{false};   // watch WatchedSocket for writing
  std::atomic<bool> SelectRead{false};    // watch WatchedSocket for reading
  std::atomic<bool> Listening{false};     // read readiness means a connection is pending
  std::atomic<bool> ShuttingDown{false};  // set by the destructor; GetMessage returns false
  std::atomic<int> PipeRead{-1};          // wake-up pipe, read end (owned by the creator)
  std::atomic<int> PipeWrite{-1};         // wake-up pipe, write end (owned by the creator)
  std::atomic<int> WatchedSocket{-1};     // socket the wait watches, -1 for none
  // A time (IcsSteadyMs) at which the wait ends by itself, 0 for none: once it has passed with
  // no message queued and the socket not ready, GetMessage clears it and returns
  // WM_ICS_DEADLINE. The owner sets it on its own thread (a TLS handshake's time limit).
  std::atomic<int64_t> DeadlineMs{0};
  // OS thread id of the owning thread, 0 when not declared (the default). A post made on the
  // declared owner itself writes no wake-up byte: the owner is not waiting then, and its next
  // GetMessage finds the message in the FIFO before it waits. This spares a worker that posts
  // to its own queue from inside a handler (a Send in an event) a pipe write and an empty pass.
  std::atomic<uint32_t> OwnerThreadId{0};

 private:
  // QueueLock guards FQueue. Recursive, so that a handler on the owning thread may post to its own
  // queue. Never held during the wait. Lock order: taken after any lock of the worker (its buffer
  // lock, the process-wide close lock); never the other way round.
  std::recursive_mutex QueueLock;
  std::deque<TIcsClassMsg> FQueue;  // QueueLock
  mutable std::mutex NameLock;      // guards FName
  std::string FName;
};
