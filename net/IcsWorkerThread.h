// TWorkerThread: the thread that does the socket work of one socket component. It owns the OS
// socket, a message queue with its wake-up pipe and the list of send chunks. The component calls
// its requests on its own thread; a request checks its preconditions, changes a few fields and
// posts a message. The worker's message loop performs the blocking work (socket creation, connect,
// bind, listen, close, send) and the readiness work its queue reports, and reports each outcome
// through the callback slots the component filled. Callbacks therefore run on the worker thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "base/Thread.h"
#include "net/IcsMessages.h"
#include "net/IcsSockBuf.h"
#include "net/IcsSocketIntf.h"
#include "net/IcsTls.h"

// The states of a socket. The ordinal values are fixed: they travel in events and state checks
// compare them.
enum TIcsSocketState : uint8_t {
  wsInvalidState = 0,
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsConnected = 4,
  wsListening = 5,
  wsClosed = 6
};

// Linger mode applied to stream sockets before connect.
enum TIcsSocketLingerOnOff : uint8_t { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };

// The readable name of a state ("wsConnected"), for trace lines and test messages.
const char* IcsSocketStateName(TIcsSocketState State);

// An address, protocol or port setting of a socket: its text, whether a value has been assigned,
// and whether the text has been resolved since it was stored. Its owner guards it.
struct TIcsSetting {
  std::string Text;
  bool Assigned = false;
  bool Resolved = false;

  // True when Value is the assigned text already, which a setter leaves as it is.
  bool Holds(const std::string& Value) const { return Assigned && Text == Value; }
  // The rule of the setters. A value the setting holds changes nothing; otherwise the trimmed
  // value is stored: a non-empty one is assigned and not yet resolved, an empty one clears the
  // assigned flag and leaves the text empty, or EmptyText when one is given.
  void Store(const std::string& Value, const char* EmptyText = nullptr);
};

// The process-wide close lock, shared by all workers. It is held for the whole of a socket close,
// and every worker takes and releases it before handling a message, so that no worker handles a
// message while any worker is closing a socket. Recursive. It is created on first use and never
// destroyed, so it outlives every worker whatever order the program ends in.
// Lock order: a worker's BufLock is never held while taking CloseLock (a write failure closes the
// socket after the write cycle has let go of the buffer); a queue's lock is never held while
// taking either.
std::recursive_mutex& CloseLock();

// The `WParam` of a WM_ICS_CLOSE that hands the worker back to the pool: the socket is closed
// whatever the state (after the queued bytes are written, see IcsCloseDrainMs), the send buffer
// emptied, and no callback fires.
constexpr int32_t IcsReleaseCloseParam = 1;

// How long an orderly close (linger off or not set) keeps writing the bytes still queued in the
// send buffer to a peer that reads slowly, before it closes anyway. With linger on, LingerTimeout
// seconds bound it instead, and a LingerTimeout of 0 closes abortively without writing them.
constexpr int32_t IcsCloseDrainMs = 5000;

class TWorkerThread : public TThread {
 public:
  // Callback slots. Each may be empty, in which case it is skipped.
  using TErrorSlot = std::function<void(TWorkerThread* Sender)>;
  using TCodeSlot = std::function<void(uint16_t ErrorCode)>;
  using TChangeStateSlot = std::function<void(TIcsSocketState OldState, TIcsSocketState NewState)>;
  using TDataAvailableSlot = std::function<bool(uint16_t ErrorCode)>;
  using TSendDataSlot = std::function<void(int32_t Count)>;

  // Creates the wake-up pipe, the queue (named "MsgQueue" until SetName), the send buffer list
  // and the defaults. Throws std::runtime_error("pipe() failed") when no pipe can be made. The
  // thread starts suspended (every TThread does); the pool resumes it and waits for `Started`.
  TWorkerThread();
  // Traces Name + ".Destroy", sets Destroying, empties every slot, ends the loop and waits for
  // it, then releases the queue, the chunks and the pipe, and shuts down and closes the OS socket
  // if one is still held. Must not run on the worker thread itself. Any other thread.
  ~TWorkerThread() override;

  // ---- Requests. They run on the calling thread ("caller"); the component calls them on its
  // own thread, or from inside a callback, that is on the worker thread.

  // Name := Value; the queue's name := Value + "MsgQueue". Any thread.
  void SetName(const std::string& Value);
  std::string Name() const;

  // Address, protocol, port and local-port texts. A value equal to the assigned text changes
  // nothing; otherwise the trimmed value is stored, an empty result clears the assigned flag and
  // a non-empty one sets it and clears the resolved flag (an empty local port stores "0").
  // Caller's thread, while the worker handles no connect or listen.
  void SetAddr(const std::string& Value);
  void SetProto(const std::string& Value);
  void SetPort(const std::string& Value);
  void SetLocalPort(const std::string& Value);
  std::string Addr() const;
  std::string Proto() const;
  std::string Port() const;
  std::string LocalPort() const;
  bool AddrAssigned() const;
  bool AddrResolved() const;
  bool ProtoAssigned() const;
  bool ProtoResolved() const;
  bool PortAssigned() const;
  bool PortResolved() const;

  // DontRead := Value, then posts WM_ICS_DONT_READ_FLAG (1 or 0) so the worker stops or resumes
  // watching for incoming data. Any thread.
  void SetDontRead(bool Value);
  bool DontRead() const { return FDontRead.load(); }

  // Checks (reported through RaiseException), empties the send buffer, moves to wsConnecting
  // (change-state callback on the caller's thread) and posts WM_ICS_CONNECT. Refused with
  // "Connect: Socket already in use" unless the state is wsClosed and no connect, listen, dup or
  // close request is still waiting to be handled. Caller's thread.
  //
  // The worker connects without blocking: it waits for the outcome in its own loop, so a close
  // request (or the release of the worker) ends a connect that hangs at once; the attempt then
  // ends like a failed one, with ECONNABORTED and "connect failed".
  virtual void Connect();
  // Checks port, protocol and address, empties the send buffer and posts WM_ICS_LISTEN. The state
  // is not changed here. Caller's thread.
  virtual void Listen();
  // Posts WM_ICS_CLOSE unless the state is already wsClosed. On the worker thread it returns at
  // once (the close follows the current message); on the main thread it runs the main thread's
  // queued calls while it waits for the close to be handled; on any other thread it waits.
  virtual void Close();
  // Accepts one pending connection on the listening socket: the new handle, or -1 with LastError
  // and "accept failed". Caller's thread (normally inside the session-available callback).
  virtual int Accept();
  // Adopts an already connected handle on the worker thread (WM_ICS_DUP), closing the current
  // socket first if it is open. 0 and -1 are refused through RaiseException with "Dup(<h>)".
  // Caller's thread.
  virtual void Dup(int NewHSocket);
  // One recv with flags 0; the OS result unchanged (-1 on failure, LastError untouched).
  // Caller's thread.
  virtual int32_t Receive(void* Buffer, int32_t BufferSize);
  // All bytes pending now, or an empty text. Caller's thread.
  virtual std::string ReceiveStr();
  // Copies the bytes into the send buffer and wakes the write cycle with WM_ICS_TRY_TO_SEND (also
  // for 0 bytes), unless a wake-up is already queued or its cycle still runs (that cycle sends
  // them). The result is Length, or 0 when Length is 0 or less. Never waits for the network (only
  // for BufLock, which no callback holds and the write cycle lets go while it sends). Any thread.
  virtual int32_t Send(const void* Data, int32_t Length);
  // Bytes readable now, -1 if the query fails; an end of stream seen here sets CloseInvoked.
  // Inside the data handler, before its first Receive, it answers with the count the loop has
  // just asked the OS for, without asking again. Caller's thread.
  int32_t GetRcvdCount();
  // Peer and local addresses and ports as text (see the failure texts in LastErrorMsg).
  // Caller's thread.
  virtual std::string GetPeerAddr();
  virtual std::string GetPeerPort();
  virtual std::string GetSockAddr();
  virtual std::string GetSockPort();
  // Posts to the queue; false when there is none. Any thread.
  virtual bool PostMessage(uint32_t Msg, int32_t WParam, int32_t LParam);

  // ---- Reads, any thread.
  TIcsSocketState State() const { return FState.load(); }
  int32_t LastError() const { return FLastError.load(); }
  std::string LastErrorMsg() const;
  bool Started() const { return FStarted.load(); }
  bool Exited() const { return FExited.load(); }
  bool AllSent() const { return FAllSent.load(); }
  bool CloseInvoked() const { return FCloseInvoked.load(); }
  bool Destroying() const { return FDestroying.load(); }
  int HSocket() const { return FHSocket.load(); }
  // The OS thread id of the loop, 0 before it starts.
  uint32_t LoopThreadId() const { return FLoopThreadId.load(); }
  // Size of each new send chunk (1514).
  int32_t BufSize() const { return FBufSize; }
  // Number of chunks in the send buffer, and the bytes not yet written. Any thread.
  int32_t BufferChunkCount() const;
  int32_t BufferedBytes() const;
  // Results of the last resolution and bind; meaningful after a connect or listen has been
  // handled. Any thread once the caller has seen the resulting state change.
  int32_t ProtoNumber() const { return FProtoNum.load(); }
  int32_t PortNumber() const { return FPortNum.load(); }
  int32_t LocalPortNumber() const { return FLocalPortNum.load(); }
  int32_t SockType() const { return FSockType.load(); }

  // Linger mode applied to stream sockets, and the bound of an orderly close (defaults:
  // wsLingerOff, 0 seconds: a close writes the queued bytes first and ends the connection in
  // order). The component hands its own values over with each Connect, Listen and Dup.
  TIcsSocketLingerOnOff LingerOnOff() const { return FLingerOnOff.load(); }
  void SetLingerOnOff(TIcsSocketLingerOnOff Value) { FLingerOnOff.store(Value); }
  // TIcsCustomSocket::SendGather, handed over by the socket.
  bool SendGather() const { return FSendGather.load(); }
  void SetSendGather(bool Value) { FSendGather.store(Value); }
  int32_t LingerTimeout() const { return FLingerTimeout.load(); }
  void SetLingerTimeout(int32_t Value) { FLingerTimeout.store(Value); }

  // TLS for the next connect (off by default): with UseTLS on, a stream connect runs the TLS
  // handshake in the worker's own loop after the TCP connect, the state stays wsConnecting until
  // it ends, and the session-connected callback comes after it (with EPROTO, ETIMEDOUT or the OS
  // error, and LastErrorMsg "TLS handshake failed: " + the reason, when it fails). Send, Receive,
  // GetRcvdCount and the end-of-stream detection then work on the decrypted stream, and a close
  // sends close_notify. The component hands its values over with each Connect. Any thread.
  void SetTlsSettings(const TIcsTlsSettings& Value);
  TIcsTlsSettings TlsSettings() const;
  // True while the connection runs TLS (from the start of the handshake to the close). Any
  // thread.
  bool TlsActive() const { return FTlsOn.load(); }

  // The component's DupDone flag, set by the worker when a dup has been handled. Any thread.
  void SetDupDonePtr(std::atomic<bool>* Flag) { FDupDone.store(Flag); }

  // ---- Callback slots, filled by the component. Any thread; a slot emptied while its callback
  // is running on the worker takes effect at the next call.
  void SetOnError(TErrorSlot Slot);
  void SetOnSessionConnected(TCodeSlot Slot);
  void SetOnSessionClosed(TCodeSlot Slot);
  void SetOnSessionAvailable(TCodeSlot Slot);
  void SetOnChangeState(TChangeStateSlot Slot);
  void SetOnDataAvailable(TDataAvailableSlot Slot);
  void SetOnDataSent(TCodeSlot Slot);
  void SetOnSendData(TSendDataSlot Slot);
  // Empties all eight slots and forgets the DupDone flag.
  void ClearCallbacks();

  // Makes the worker forget its socket before it goes back to the pool: empties every slot,
  // forgets DupDone, and closes the OS socket (whatever the state), empties the send buffer and
  // moves to wsClosed without any callback. From a thread other than the worker it waits until
  // the worker has handled the close (so no callback of the old owner is still running when it
  // returns), running the main thread's queued calls meanwhile when called on the main thread.
  // On the worker thread itself (a socket destroyed inside its own handler) it only marks the
  // worker: the close follows once the handler has returned, and only then does the worker go
  // back to the pool (see ReleaseAfterHandler). Any thread.
  void Detach();

  // True on the worker's own thread while a release is waiting for the current handler to end.
  bool ReleasePending() const { return FReleasePending.load(); }

  // Test hooks: each, when set, is called at one point of a race window so that a test can widen
  // the window. Empty in normal use. Set them while the worker is idle or attached to the test's
  // own socket, before the calls they watch.
  struct TTestHooks {
    std::function<void()> SendBeforeBufferLock;  // Send, before it takes BufLock (caller)
    std::function<void()> AfterCloseSocket;      // OpClose, right after the OS close (worker)
    std::function<void()> DuringResolve;         // the resolution step, before the look-ups
  } TestHooks;

 protected:
  // The thread body: the message loop. An exception that escapes a handler is traced and
  // dropped; Exited is always set when the loop ends.
  void Execute() override;

  // The queue's handler; runs on the worker thread. Result always 0.
  virtual uint32_t WndProc(uint32_t Msg, int32_t WParam, int32_t LParam);

  // Trigger operations: each calls its slot if filled (worker thread, except where a request
  // raises an error or changes the state on the caller's thread).
  virtual void TriggerSessionConnected(uint16_t ErrorCode);
  virtual void TriggerSessionClosed(uint16_t ErrorCode);
  virtual void TriggerSessionAvailable(uint16_t ErrorCode);
  virtual void TriggerChangeState(TIcsSocketState OldState, TIcsSocketState NewState);
  virtual void TriggerError();
  virtual void TriggerDataSent();
  virtual void TriggerSendData(int32_t Count);

  // State := NewState with the change-state callback, unless it is already NewState. Runs on the
  // thread making the change.
  void ChangeState(TIcsSocketState NewState);
  // Fires the error callback when filled, otherwise throws ESocketException(Msg).
  void RaiseException(const std::string& Msg);

 private:
  // Where the worker's connection stands. It decides what readiness, a close request and the
  // handshake's time limit mean (see the table at the top of IcsWorkerThread.cpp).
  enum class TConnectPhase : uint8_t {
    cpIdle,          // no connection of a connect or a dup: closed, or listening
    cpTcpConnect,    // the TCP connect waits for writability to bring its outcome
    cpTlsHandshake,  // the TLS handshake after it waits for the socket or its time limit
    cpConnected      // a connect or a dup made the connection, and it is open
  };
  // What a step of a connect attempt leaves: its outcome known (the state is then wsConnected or
  // wsClosed, and FinishConnect ends the attempt), or waiting for the socket.
  enum class TConnectOutcome : uint8_t { coKnown, coWaiting };

  void SetLastError(int32_t Code, const std::string& Msg);
  void ClearLastError();
  void ResolveStep(const char* FailurePrefix);
  // A connect waits for its outcome: the TCP connect or the TLS handshake runs.
  bool ConnectWaiting() const {
    return FConnectPhase == TConnectPhase::cpTcpConnect ||
           FConnectPhase == TConnectPhase::cpTlsHandshake;
  }
  // The connect attempt has made its connection: the phase, then the state.
  void EnterConnected();
  // Resolves, creates the socket and starts the connect.
  TConnectOutcome OpConnect();
  TConnectOutcome CreateAndConnect();
  // The end of a connect attempt: session connected with LastError, then watching for input.
  void FinishConnect();
  // A connect in progress has become writable (or failed): takes its outcome from the socket.
  void CompleteConnect();
  // A close request ends a connect in progress: it fails with ECONNABORTED.
  void AbortConnect();
  // TLS (IcsWorkerTls.cpp). TlsWanted: the settings ask for TLS on this stream connect.
  // StartTls and StepHandshake start and continue the handshake. FailHandshake ends the attempt
  // with Code and "TLS handshake failed: " + Reason. DropTls forgets the session, sending
  // close_notify first when CloseNotify is set.
  bool TlsWanted() const;
  TConnectOutcome StartTls();
  TConnectOutcome StepHandshake();
  void FailHandshake(int32_t Code, const std::string& Reason);
  void DropTls(bool CloseNotify);
  int32_t TlsSend(const uint8_t* Data, int32_t Length);
  void TlsDataAvailable();
  // Writes bytes at once without waiting, through TLS when it is on: the count, or -1 with errno.
  ssize_t SendNow(int S, const uint8_t* Data, int32_t Length);
  // Ends the session once: closes the socket, fires session closed with Code and moves to
  // wsClosed. Does nothing when the state is already wsClosed.
  void EndSession(int32_t Code);
  // Writes the queued bytes before an orderly close, waiting for the socket to take them at most
  // as long as the linger settings allow (see IcsCloseDrainMs). Worker thread, no lock held.
  void DrainBeforeClose();
  // Reads and drops input still pending, so that closing does not reset the connection.
  void DropPendingInput(int S);
  // After the handler that released this worker on its own thread has returned: closes, empties
  // and hands the worker to the pool.
  void ReleaseAfterHandler();
  // A socket given up after a failure: TLS dropped without close_notify, LastError := Code and
  // Msg, the handle closed (CloseHandle) and the state wsClosed.
  void FailSocket(int32_t Code, const std::string& Msg);
  // Forgets the handle, then shuts the OS socket down and closes it, without lingering.
  void CloseHandle();
  void SetLingerOption();
  bool SetNonBlocking();
  void BindSocket();
  void OpListen();
  // The close of a session (EndSession) and the release of the worker: each watches less, then
  // both close the socket through OrderlyClose, under CloseLock.
  void OpClose();
  void OpReleaseClose();
  // Closes the socket as the linger settings ask: in order (TLS ends with close_notify, and the
  // input still pending is dropped first), or abortively with linger on and 0 seconds. The handle
  // is forgotten before the descriptor is closed. True when there was a handle to close.
  // CloseLock held.
  bool OrderlyClose();
  void OpWrite();
  int32_t RealSend(const uint8_t* Data, int32_t Length);
  void OpDataAvailable();
  void OpDup(int NewHSocket);
  void OpAccept();
  void PutDataInSendBuffer(const void* Data, int32_t Length);
  void DeleteBufferList();
  // The oldest chunk with bytes not yet sent, and those bytes (Data, Count > 0); the emptied
  // chunks before it go, except the last chunk, which stays. Null when everything queued has
  // been sent. The write cycle and the drain before a close walk the buffer with it (inline, and
  // defined in IcsWorkerOps.cpp beside them: it runs once per chunk sent). BufLock held.
  inline TIcsBuffer* FirstUnsent(const uint8_t*& Data, int32_t& Count);
  // Takes Count bytes that one send took out of the buffer: from First (the chunk FirstUnsent
  // gave) and on through the chunks behind it. BufLock held.
  void RemoveSent(TIcsBuffer* First, int32_t Count);
  // The most bytes one send of the write cycle offers a plain stream socket.
  static constexpr size_t kMaxSendGather = 64 * 1024;

  // What the loop's wait watches, each named for why (the fields are the queue's). The wait reads
  // them only between two messages, so within a handler only the last value counts, except for
  // the write watch: Send turns it on from other threads, so each change of it keeps its place
  // among the locks and callbacks around it. Inline: Send and the write cycle use them.
  // The connection S for input, at the end of a connect attempt (S is -1 after a failure).
  void WatchInput(int S) {
    FMsgQueue->SelectRead.store(true);
    FMsgQueue->Listening.store(false);
    FMsgQueue->WatchedSocket.store(S);
  }
  // The connect in progress on S: writability brings its outcome.
  void WatchConnect(int S) {
    FMsgQueue->SelectRead.store(false);
    FMsgQueue->Listening.store(false);
    FMsgQueue->SelectWrite.store(true);
    FMsgQueue->WatchedSocket.store(S);
  }
  // The listening socket S: readability means a connection is waiting.
  void WatchListener(int S) {
    FMsgQueue->Listening.store(true);
    FMsgQueue->SelectRead.store(true);
    FMsgQueue->WatchedSocket.store(S);
  }
  // The adopted connection S; whether its input is watched is decided after the connected event.
  void WatchAdopted(int S) {
    FMsgQueue->Listening.store(false);
    FMsgQueue->WatchedSocket.store(S);
  }
  // The TLS handshake on S, which fails once the steady clock reaches Deadline (IcsSteadyMs).
  void WatchHandshake(int S, int64_t Deadline) {
    FMsgQueue->Listening.store(false);
    FMsgQueue->WatchedSocket.store(S);
    FMsgQueue->DeadlineMs.store(Deadline);
  }
  // The handshake waits for the peer's message, or for room to send its own.
  void WatchHandshakeRead() {
    FMsgQueue->SelectWrite.store(false);
    FMsgQueue->SelectRead.store(true);
  }
  void WatchHandshakeWrite() {
    FMsgQueue->SelectRead.store(false);
    FMsgQueue->SelectWrite.store(true);
  }
  // Input and writability, each on its own.
  void WatchRead(bool On) { FMsgQueue->SelectRead.store(On); }
  void WatchWrite(bool On) { FMsgQueue->SelectWrite.store(On); }
  // No socket is watched; the flags stay as they are.
  void UnwatchSocket() { FMsgQueue->WatchedSocket.store(-1); }
  // The handshake's time limit is gone.
  void ClearDeadline() { FMsgQueue->DeadlineMs.store(0); }
  // Nothing is watched: no socket, no input, no writability, no listener.
  void StopWatching() {
    FMsgQueue->SelectRead.store(false);
    FMsgQueue->SelectWrite.store(false);
    FMsgQueue->Listening.store(false);
    FMsgQueue->WatchedSocket.store(-1);
  }
  // Posts WM_ICS_CLOSE with WParam and, off the worker thread, waits until it has been handled.
  void PostCloseAndWait(int32_t WParam);
  void NoteCloseHandled();

  // Name of the worker (and, with "MsgQueue", of its queue). Guarded by NameLock.
  mutable std::mutex NameLock;
  std::string FName;

  // Address, protocol, port and local-port texts with their flags, and the resolution results
  // that go with them. Guarded by SettingsLock: the setters run on the caller's thread, the
  // resolution step on the worker.
  mutable std::mutex SettingsLock;
  TIcsSetting FAddr;
  TIcsSetting FProto{"tcp", true};
  TIcsSetting FPort;
  TIcsSetting FLocalPort{"0"};
  std::string FLocalAddrStr = "0.0.0.0";
  // Worker thread only (written by the resolution step, read by connect, bind and send).
  sockaddr_in FSockAddr{};

  // Resolution results, written by the worker, readable anywhere.
  std::atomic<int32_t> FProtoNum{6};
  std::atomic<int32_t> FPortNum{0};
  std::atomic<int32_t> FLocalPortNum{0};
  std::atomic<int32_t> FSockType{SOCK_STREAM};

  std::atomic<TIcsSocketLingerOnOff> FLingerOnOff{wsLingerOff};
  std::atomic<bool> FSendGather{false};
  std::atomic<int32_t> FLingerTimeout{0};

  // The queue; created by the constructor, released by the destructor after the loop ended.
  std::unique_ptr<TIcsMsgQueue> FMsgQueue;
  int FPipeRead = -1;   // wake-up pipe, owned by the worker, closed by the destructor
  int FPipeWrite = -1;  // wake-up pipe, owned by the worker, closed by the destructor

  std::atomic<bool> FStarted{false};  // the loop runs; the pool waits for it
  std::atomic<bool> FExited{false};   // the loop has ended
  std::atomic<TIcsSocketState> FState{wsInvalidState};
  std::atomic<uint32_t> FLoopThreadId{0};
  // The bytes readable that the loop found just before calling the data handler; -1 outside the
  // handler and after its first Receive. Saves the handler's RcvdCount a system call per read.
  // Loop thread only (read only after checking that the caller is the loop thread).
  int32_t FHandlerRcvdCount = -1;

  // Bytes waiting to be sent, oldest chunk first, with AllSent and the decision to wake the write
  // cycle. Guarded by BufLock (recursive: PutDataInSendBuffer nests inside Send). No callback runs
  // while it is held. Lock order: BufLock, then the queue's lock (Send posts its wake-up under
  // it).
  mutable std::recursive_mutex BufLock;
  std::deque<std::unique_ptr<TIcsBuffer>> FBufList;
  const int32_t FBufSize = IcsDefaultBufSize;
  // Counts the times the send buffer was emptied by DeleteBufferList. Guarded by BufLock. The
  // write cycle sends without BufLock and removes what was sent only if the buffer is still the
  // one it copied from.
  uint64_t FBufEpoch = 0;
  // The bytes of one send of the write cycle, copied from the first chunk (and those behind it).
  // Worker thread only.
  std::vector<uint8_t> FSendCopy;
  // The phase of the connection, and the time limit of its TLS handshake. Worker thread only.
  TConnectPhase FConnectPhase = TConnectPhase::cpIdle;
  int32_t FHandshakeTimeoutMs = 0;
  // The TLS settings of the next connect. Guarded by SettingsLock.
  TIcsTlsSettings FTlsSettings;
  // The TLS session of the connection, if it runs TLS. Guarded by TlsLock, a leaf lock: nothing
  // else is taken while it is held, and no callback runs under it (it is taken inside BufLock by
  // the write cycle, inside CloseLock by the close, and alone by Receive and GetRcvdCount).
  // FTlsOn mirrors "FTls is set", so that plain sockets never take the lock.
  mutable std::mutex TlsLock;
  std::unique_ptr<TIcsTlsSession> FTls;
  std::atomic<bool> FTlsOn{false};
  // Connect, listen, dup and close requests posted and not yet handled: a Connect is refused while
  // one is waiting. Incremented by the requests on the caller's thread, decremented by the worker.
  std::atomic<int32_t> FRequestsPending{0};
  // Set by Detach on the worker's own thread; the loop hands the worker back to the pool once the
  // current handler has returned.
  std::atomic<bool> FReleasePending{false};

  // The OS socket: written on the worker thread, read by the requests that run on the caller's
  // thread (receive, counts, addresses), hence atomic. Its owner is this worker.
  std::atomic<int> FHSocket{-1};
  std::atomic<int> FAcceptedSocket{0};

  std::atomic<bool> FDontRead{false};
  std::atomic<int32_t> FLastError{0};
  // LastErrorMsg is read and written whole under LastErrorLock.
  mutable std::mutex LastErrorLock;
  std::string FLastErrorMsg;
  std::atomic<bool> FCloseInvoked{false};
  // The last write cycle emptied the send buffer. Written under BufLock (atomic so that AllSent()
  // may read it anywhere).
  std::atomic<bool> FAllSent{false};
  // A WM_ICS_TRY_TO_SEND is queued or its write cycle is running; set by Send and cleared by the
  // cycle when it stops (the buffer empty, or the socket full), both under BufLock, so that a Send
  // either sees the wake-up pending (and the cycle will send its bytes) or posts a new one.
  std::atomic<bool> FTryToSendPending{false};
  const int32_t FSendFlags = 0;
  std::atomic<std::atomic<bool>*> FDupDone{nullptr};
  std::atomic<bool> FDestroying{false};

  // Callback slots. Guarded by SlotLock, which is held only to copy a slot, never while it runs.
  mutable std::mutex SlotLock;
  TErrorSlot FOnError;
  TCodeSlot FOnSessionConnected;
  TCodeSlot FOnSessionClosed;
  TCodeSlot FOnSessionAvailable;
  TChangeStateSlot FOnChangeState;
  TDataAvailableSlot FOnDataAvailable;
  TCodeSlot FOnDataSent;
  TSendDataSlot FOnSendData;

  // Close requests posted and handled; a waiting Close compares them. CloseWaitLock and
  // CloseWaitCv let the waiter sleep until the worker notes a handled close.
  std::atomic<uint64_t> FClosesPosted{0};
  std::atomic<uint64_t> FClosesHandled{0};
  std::mutex CloseWaitLock;
  std::condition_variable CloseWaitCv;
};
