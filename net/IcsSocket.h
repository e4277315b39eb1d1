// The event-driven socket component: TIcsCustomSocket gives the application an IPv4 socket
// (TCP client, TCP listener or UDP endpoint) whose calls never wait on the network. Each socket
// is served by one worker thread from the process-wide pool, which owns the OS socket, performs
// the blocking calls and reports every outcome back; the component turns those reports into its
// events, keeps the last error, and routes errors to OnError or to an ESocketException.
// TIcsCustomLineSocket adds line mode; TIcsSocket is the class applications create.
//
// Threads. The operations run on the calling thread; one socket is meant to be driven by one
// caller at a time (the application's thread, a timer thread, or its own event handlers).
// Events run on the socket's worker thread, except OnChangeState(wsClosed, wsConnecting) from
// Connect and OnError for a refused setter or request, which run on the caller's thread.
// Assign the events while the socket is closed (before Connect, Listen or Dup), or from its own
// handlers. A handler may call Send, Receive, RcvdCount and Close on its own socket, and may
// destroy it.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/Component.h"
#include "net/IcsWorkerPool.h"
#include "net/IcsWorkerThread.h"

class TIcsCustomSocket;

// Event types. An empty event is skipped.
using TNotifyEvent = std::function<void(TComponent* Sender)>;
using TIcsNotifyEvent = std::function<void(TComponent* Sender, uint16_t ErrorCode)>;
using TIcsChangeState =
    std::function<void(TComponent* Sender, TIcsSocketState OldState, TIcsSocketState NewState)>;
using TBgExceptionEvent =
    std::function<void(TComponent* Sender, const std::exception& E, bool& CanClose)>;

// The Linux error number for a socket that is not connected, set by Send without a connection.
constexpr int32_t IcsNotConnectedError = 107;

class TIcsCustomSocket : public TComponent {
 public:
  // No worker, no OS socket; State is wsClosed. Any thread.
  explicit TIcsCustomSocket(TComponent* AOwner = nullptr);
  // Traces Name + ".Destroy" and hands the worker back to the pool (ReleaseWorker), which closes
  // any socket it still holds and empties its callbacks, waiting until no event of this socket
  // is running on it. May run on the socket's own worker thread (inside one of its handlers).
  ~TIcsCustomSocket() override;

  // Renaming the component renames its worker (and the worker's queue) too.
  void SetName(const std::string& Value) override;

  // ---- Properties (caller's thread unless noted).
  int32_t PortNum() const { return FPortNum; }
  // Address, port and protocol texts as stored (trimmed). Writing while the worker is not
  // closed is refused with "Cannot change Addr/Port/Proto if not closed" (through RaiseException)
  // and stores nothing.
  std::string Addr() const { return FAddr.Text; }
  void SetAddr(const std::string& Value);
  std::string Port() const { return FPort.Text; }
  virtual void SetPort(const std::string& Value);
  std::string Proto() const { return FProto.Text; }
  virtual void SetProto(const std::string& Value);
  std::string LocalPort() const { return FLocalPort; }
  void SetLocalPort(const std::string& Value);
  // Published for form compatibility; writing it has no effect.
  std::string LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& Value) { (void)Value; }
  bool AddrAssigned() const { return FAddr.Assigned; }
  bool AddrResolved() const { return FAddr.Resolved; }
  bool PortAssigned() const { return FPort.Assigned; }
  bool PortResolved() const { return FPort.Resolved; }
  bool ProtoAssigned() const { return FProto.Assigned; }
  bool ProtoResolved() const { return FProto.Resolved; }
  // Bytes readable now (0 without a worker, -1 if the query fails). Caller's thread.
  int32_t RcvdCount() { return GetRcvdCount(); }
  // The last error code and text. Any thread.
  int32_t LastError() const { return FLastError.load(); }
  std::string LastErrorMsg() const;
  // How a stream socket is closed; handed to the worker by Connect, Listen and Dup, and set on
  // the OS socket before it connects. wsLingerOff (the default) and wsLingerNoSet: a close (also
  // the one of destruction) first writes the bytes still queued, waiting at most IcsCloseDrainMs
  // for a slow peer, and then ends the connection in order. wsLingerOn: the same, bounded by
  // LingerTimeout seconds; with 0 seconds the close is abortive (queued bytes dropped, the
  // connection reset). Write them while the socket is closed.
  TIcsSocketLingerOnOff LingerOnOff = wsLingerOff;
  int32_t LingerTimeout = 0;
  // Off (the default): the write cycle hands each chunk of the send buffer (1514 bytes) to the
  // OS in a call of its own. On: a plain stream connection's write cycle hands over the chunks
  // queued behind the first in the same call, up to 64 KiB, which saves a program that queues
  // many small messages at once one system call per chunk; the bytes and their order are the
  // same, and TLS and datagram sockets still go chunk by chunk. Handed to the worker by
  // Connect, Listen and Dup; write it while the socket is closed.
  bool SendGather = false;
  // Handed to the worker by Dup: do not watch the adopted socket for incoming data.
  bool DontRead = false;
  // TLS on the connections this socket makes (published; off by default). Connect hands them
  // to the worker; write them while the socket is closed. With UseTLS on, the TLS handshake
  // follows the TCP connect inside the worker's own loop (a Close or the destruction of the
  // socket ends it at once), the state stays wsConnecting meanwhile, and OnSessionConnected
  // fires after it: 0 once it succeeded, otherwise a non-zero code (EPROTO for a TLS failure
  // such as a certificate that does not verify, ETIMEDOUT after TLSHandshakeTimeout ms, or the
  // OS error) with LastError and LastErrorMsg set ("TLS handshake failed: " + OpenSSL's reason,
  // for example "certificate verify failed (unable to get local issuer certificate)").
  // Send, Receive, RcvdCount and the end-of-stream detection then work on the decrypted stream
  // (bytes decrypted inside OpenSSL count as received and get their own OnDataAvailable), and
  // Close sends close_notify first. Listen and Dup make no TLS.
  //   TLSVerifyPeer  check the certificate chain and the server name (on by default)
  //   TLSCAFile      PEM file of the authorities to trust; the system's store when empty
  //   TLSServerName  the name for SNI and the check; Addr when empty (an IPv4 address is
  //                  checked against the certificate's IP addresses)
  bool UseTLS = false;
  bool TLSVerifyPeer = true;
  std::string TLSCAFile;
  std::string TLSServerName;
  int32_t TLSHandshakeTimeout = IcsTlsHandshakeTimeoutMs;

  // ---- Events (see the threads note above).
  TIcsNotifyEvent OnSessionConnected;
  TIcsNotifyEvent OnSessionClosed;
  TIcsNotifyEvent OnSessionAvailable;
  TNotifyEvent OnError;
  TIcsNotifyEvent OnDataSent;
  TIcsChangeState OnChangeState;
  TIcsNotifyEvent OnDataAvailable;
  TBgExceptionEvent OnBgException;  // published; the component never fires it

  // The factory the pool uses when it must create a worker for this socket.
  TWorkerThreadClass WorkerThreadClass;
  // The worker serving this socket (null until the first Connect, Listen or Dup). Borrowed from
  // the pool.
  TWorkerThread* WorkerThread() const { return FWorkerThread; }
  // True once a Dup has been handled by the worker. Any thread.
  bool DupDone() const { return FDupDone.load(); }

  // ---- Operations.
  // Starts a connection and returns before it exists: OnChangeState(wsClosed, wsConnecting) on
  // the caller's thread, then on the worker thread the state changes and OnSessionConnected with
  // 0 on success or a non-zero error code: the OS error of the failed step, or EHOSTUNREACH,
  // EINVAL or EPROTONOSUPPORT when the host, a port or the protocol cannot be resolved (the
  // worker's LastErrorMsg tells which step failed and why). A request the worker refuses
  // (socket in use, port, address or protocol missing) goes to HandleWorkerError; the socket is
  // in use unless it is wsClosed with no request of its own still waiting. A Close (or the
  // destruction of the socket) while the connect is in progress ends it at once: the attempt
  // fails with ECONNABORTED (103). Throws std::runtime_error("Unable to allocate a new worker
  // thread").
  virtual void Connect();
  // Issues the worker's close when a worker is attached and not closed; OnSessionClosed then
  // OnChangeState(.., wsClosed) follow on the worker, once per session (a close that crosses
  // the peer's close adds no second event). The bytes already sent are written out first, as
  // LingerOnOff says. On the worker thread it returns at once; elsewhere it waits until the
  // worker has handled the close (running the main thread's queued calls while it waits when
  // called on the main thread).
  virtual void Close();
  // Accepts a pending connection on a listening socket: the new handle, or -1 with LastError
  // and LastErrorMsg set ("accept failed"). -1 without a worker. Normally inside
  // OnSessionAvailable.
  virtual int Accept();
  // Adopts an already connected OS handle (for example from a listener's Accept) and waits until
  // the worker has taken it over (state wsConnected, OnSessionConnected fired). Never throws: any
  // failure is traced as "TIcsCustomSocket.Dup() Exception" and dropped.
  virtual void Dup(int NewHSocket);
  // One read from the OS socket: bytes read, 0 when the peer has closed (or without a worker),
  // -1 on error or when nothing is pending. Normally inside OnDataAvailable.
  virtual int32_t Receive(void* Buffer, int32_t BufferSize);
  // The bytes pending now, or an empty text.
  virtual std::string ReceiveStr();
  // Queues bytes for sending and returns at once: Len (0 for Len <= 0). Without a connection
  // (no worker or State not wsConnected) LastError := 107 and the result is -1. OnDataSent fires
  // on the worker once the send buffer has been written out. A write that fails for the
  // connection (reset, broken pipe) ends the session: OnSessionClosed with the OS error (EPIPE
  // is reported as ECONNRESET, 104), then wsClosed. Any thread that drives the socket.
  virtual int32_t Send(const void* Data, int32_t Len);
  // Send of Str's bytes; 0 for an empty text.
  virtual int32_t SendStr(const std::string& Str);
  // Binds and listens on Addr:Port (UDP: binds only and becomes wsConnected). Each connection
  // that arrives is announced by OnSessionAvailable on the worker thread. Throws
  // std::runtime_error("Socket is busy") when the worker is not closed.
  virtual void Listen();
  // The peer's dotted address and port while connected, otherwise "error".
  virtual std::string GetPeerAddr();
  virtual std::string GetPeerPort();
  // Posts a message to the worker's queue; false without a worker. Any thread.
  virtual bool PostMessage(uint32_t Msg, int32_t WParam, int32_t LParam);
  // The worker's state; wsClosed without a worker. Any thread.
  TIcsSocketState State() const;

  // Fires OnDataSent (worker thread).
  void TriggerDataSent(uint16_t ErrorCode);

 protected:
  // Each calls its event when assigned (worker thread, see above).
  virtual void TriggerSessionConnected(uint16_t ErrorCode);
  virtual void TriggerSessionClosed(uint16_t ErrorCode);
  virtual void TriggerSessionAvailable(uint16_t ErrorCode);
  virtual void TriggerChangeState(TIcsSocketState OldState, TIcsSocketState NewState);
  // Fires OnDataAvailable; true exactly when it is assigned (the handler then reads the bytes).
  virtual bool TriggerDataAvailable(uint16_t ErrorCode);
  // OnError when assigned, otherwise throws ESocketException(Msg).
  virtual void RaiseException(const std::string& Msg);
  virtual void TriggerError();
  virtual int32_t GetRcvdCount();
  // Takes a worker from the pool and names it after this component.
  virtual TWorkerThread* AllocateWorkerThread(const TWorkerThreadClass& ThreadClass);
  // The worker's error callback: copies its last error and raises the joined text.
  virtual void HandleWorkerError();

  // Hands the worker back to the pool, waiting until no event of this socket runs on it any
  // more. Every class derived from this one calls it first thing in its destructor: the worker
  // may be calling this object's virtual triggers until then, and the derived part must still
  // be whole while it does. Later calls do nothing. The thread that destroys the socket.
  void ReleaseWorker();

 private:
  void EnsureWorker();
  // Points the worker's connected, closed, state and data callbacks at this component.
  void WireWorkerEvents(TWorkerThread* W);
  bool RefuseWhileOpen(const char* Property);
  void HandTextsToWorker();
  void SetLastErrorPair(int32_t Code, const std::string& Msg);

  // Written only by the thread that drives the socket, and only while no event of this socket
  // can run (before the worker's slots are wired; after the worker has been detached); read by
  // the events on the worker thread (HandleWorkerError). The slot lock and the detach wait order
  // the two.
  TWorkerThread* FWorkerThread = nullptr;
  // The settings and texts below belong to the thread that drives the socket.
  TIcsSetting FAddr;
  TIcsSetting FProto;
  TIcsSetting FPort;
  int32_t FPortNum = 0;
  std::string FLocalPort;
  std::string FLocalAddr;
  // Written by the worker (HandleWorkerError) and by the caller; LastErrorMsg is read and
  // written whole under LastErrorLock.
  std::atomic<int32_t> FLastError{0};
  mutable std::mutex LastErrorLock;
  std::string FLastErrorMsg;
  // Set by the worker thread when a Dup has been handled; read afresh by the waiting Dup.
  std::atomic<bool> FDupDone{false};
};

// The largest line the line buffer holds by default (see TIcsCustomLineSocket::LineLimit).
constexpr int32_t IcsDefaultLineLimit = 64 * 1024;

// Line mode: with LineMode on, the bytes received are gathered in a line buffer and delivered one
// line at a time, each line (with its LineEnd) by its own OnDataAvailable, during which RcvdCount
// is its length and Receive/ReceiveStr return it. Several lines of one read are delivered one
// after the other; bytes after the last LineEnd wait for the next read; what is held when the
// session closes is delivered once as a final line before OnSessionClosed. A peer that sends
// LineLimit bytes without a LineEnd gets them delivered as one line, so that nothing is dropped
// and the buffer stays bounded. LineEcho sends what arrives back to the peer; LineEdit applies
// backspace (erase one byte) and tab (spaces to the next multiple of 8) before the search. With
// LineMode off the socket behaves as TIcsCustomSocket, except that RcvdCount also counts bytes
// still held from a line-mode phase.
//
// Threads. The line buffer is filled and emptied on the worker thread; Receive, ReceiveStr and
// RcvdCount read it (normally from the handlers). LineLock guards it and LineEnd, and is never
// held while an event runs. Lock order: LineLock, then the worker's BufLock (echo sends under
// it), then the queue's lock. The properties may be written from any thread; a change made
// during a delivery applies from the next read on.
class TIcsCustomLineSocket : public TIcsCustomSocket {
 public:
  explicit TIcsCustomLineSocket(TComponent* AOwner = nullptr);
  // Releases the worker first (no event runs afterwards), then the line buffer.
  ~TIcsCustomLineSocket() override;

  // ---- Properties.
  bool LineMode() const { return FLineMode.load(); }
  virtual void SetLineMode(bool Value);
  // The line terminator (default carriage return, line feed), compared byte for byte. An empty
  // value is refused through RaiseException ("LineEnd must not be empty") and the old one stays.
  std::string LineEnd() const;
  void SetLineEnd(const std::string& Value);
  bool LineEcho() const { return FLineEcho.load(); }
  void SetLineEcho(bool Value) { FLineEcho.store(Value); }
  bool LineEdit() const { return FLineEdit.load(); }
  void SetLineEdit(bool Value) { FLineEdit.store(Value); }
  // Upper bound of a line without LineEnd, in bytes (default 64 KiB). Values below 1 are refused
  // through RaiseException ("LineLimit must be at least 1").
  int32_t LineLimit() const { return FLineLimit.load(); }
  void SetLineLimit(int32_t Value);
  // Length of the line being delivered, LineEnd included; 0 outside a delivery.
  int32_t LineLength() const;
  // Bytes held in the line buffer, and the buffer's size (0 when there is none).
  int32_t LineBufferCount() const;
  int32_t LineBufferSize() const;

  // ---- Operations (line mode on: the line being delivered; off: TIcsCustomSocket's).
  // Copies up to BufferSize bytes of the line being delivered and returns how many; the line
  // stays, so a second call in the same delivery returns the same bytes. 0 outside a delivery.
  int32_t Receive(void* Buffer, int32_t BufferSize) override;
  // The line being delivered, or an empty text.
  std::string ReceiveStr() override;

 protected:
  // Line mode on: reads, edits or echoes, and delivers every complete line; always true.
  bool TriggerDataAvailable(uint16_t ErrorCode) override;
  // Delivers what is held as a final line (line mode on), releases the buffer, then fires
  // OnSessionClosed.
  void TriggerSessionClosed(uint16_t ErrorCode) override;
  // Line mode on: LineLength. Off: the OS count plus the bytes held.
  int32_t GetRcvdCount() override;
  // Applies backspace and tab editing to the Len bytes just read, which follow the
  // LineBufferCount held ones; may change the held bytes, LineBufferCount and Len (so that
  // LineBufferCount + Len is the edited length). Runs on the worker with LineLock held.
  virtual void EditLine(int32_t& Len);

 private:
  // Delivers the first Length held bytes as a line and removes them. Called with Lock (on
  // LineLock) held; lets it go while the event runs. False when the handler destroyed the
  // socket: nothing of it may be touched then.
  bool DeliverLine(std::unique_lock<std::mutex>& Lock, int32_t Length);
  void GrowLineBuffer(int32_t Size);

  mutable std::mutex LineLock;
  // LineBuffer, LineBufferSize, LineBufferCount, LineLength and LineEnd: guarded by LineLock.
  // The held bytes are always followed by one 0 byte.
  std::unique_ptr<uint8_t[]> FLineBuffer;
  int32_t FLineBufferSize = 0;
  int32_t FLineBufferCount = 0;
  int32_t FLineLength = 0;
  std::string FLineEnd = "\r\n";
  std::atomic<bool> FLineMode{false};
  std::atomic<bool> FLineEcho{false};
  std::atomic<bool> FLineEdit{false};
  std::atomic<int32_t> FLineLimit{IcsDefaultLineLimit};
  // Cleared by the destructor. A delivery holds a copy, so that it can tell after an event
  // whether the handler destroyed the socket.
  std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
};

// The socket class applications create.
class TIcsSocket : public TIcsCustomLineSocket {
 public:
  using TIcsCustomLineSocket::TIcsCustomLineSocket;
  ~TIcsSocket() override { ReleaseWorker(); }
};
