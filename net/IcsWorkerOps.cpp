// The worker thread's socket operations: resolution, connect, listen, close, the write cycle,
// readiness handling, accept and dup. Everything here runs on the worker thread, except
// PutDataInSendBuffer and DeleteBufferList (any thread, under BufLock) and OpAccept, which Accept
// also calls on the caller's thread.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "net/IcsLogMsg.h"
#include "net/IcsWorkerThread.h"

namespace {

// Raised inside the connect path when binding the local address fails; carries the OS error so
// that the failure can be recorded and reported like every other connect failure.
struct TBindFailure {
  int32_t Code;
  std::string Msg;
};

// The error code reported when a text cannot be resolved. The OS gives no error number for a
// failed look-up, and a session-connected event must never carry 0 (success) for a connection
// that was not made, so each part of the resolution has a fixed, descriptive code.
constexpr int32_t ResolveProtoError = EPROTONOSUPPORT;
constexpr int32_t ResolvePortError = EINVAL;
constexpr int32_t ResolveHostError = EHOSTUNREACH;

// Linger on with 0 seconds asks for an abortive close: the queued bytes go with the socket, a TLS
// session ends without close_notify, and unread input makes the OS reset the connection.
bool IsAbortive(TIcsSocketLingerOnOff Mode, int32_t Seconds) {
  return Mode == wsLingerOn && Seconds <= 0;
}

}  // namespace

void TWorkerThread::ResolveStep(const char* FailurePrefix) {
  ClearLastError();
  FSockAddr.sin_family = AF_INET;
  // The texts are copied under SettingsLock and resolved without it: a name look-up may take
  // seconds, and a setter or a getter on the application's thread must not wait for it. A result
  // is kept as resolved only if its text has not changed meanwhile.
  TIcsSetting UsedProto, UsedPort, UsedLocalPort, UsedAddr;
  {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    UsedProto = FProto;
    UsedPort = FPort;
    UsedLocalPort = FLocalPort;
    UsedAddr = FAddr;
  }
  auto MarkResolved = [this](const TIcsSetting& Used, TIcsSetting& Setting) {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    if (Setting.Text == Used.Text) Setting.Resolved = true;
  };
  if (TestHooks.DuringResolve) TestHooks.DuringResolve();
  int32_t Code = 0;
  std::string Msg;
  try {
    if (!UsedProto.Resolved) {
      Code = ResolveProtoError;
      const int32_t Num = IcsSocketResolveProto(UsedProto.Text);
      FProtoNum.store(Num);
      FSockType.store(Num == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM);
      MarkResolved(UsedProto, FProto);
    }
    if (!UsedPort.Resolved) {
      Code = ResolvePortError;
      const uint16_t P = IcsSocketResolvePort(UsedPort.Text, UsedProto.Text);
      FPortNum.store(P);
      FSockAddr.sin_port = Ics_htons(P);
      MarkResolved(UsedPort, FPort);
    }
    if (!UsedLocalPort.Resolved) {
      Code = ResolvePortError;
      FLocalPortNum.store(IcsSocketResolvePort(UsedLocalPort.Text, UsedProto.Text));
      MarkResolved(UsedLocalPort, FLocalPort);
    }
    if (!UsedAddr.Resolved) {
      Code = ResolveHostError;
      FSockAddr.sin_addr.s_addr = IcsSocketResolveHost(UsedAddr.Text);
      MarkResolved(UsedAddr, FAddr);
    }
    return;
  } catch (const ESocketException& E) {
    Msg = std::string(FailurePrefix) + "ESocketException: " + E.what();
  } catch (const std::exception& E) {
    Msg = std::string(FailurePrefix) + "Exception: " + E.what();
  }
  SetLastError(Code, Msg);
  ChangeState(wsClosed);
  throw std::runtime_error(Msg);
}

TWorkerThread::TConnectOutcome TWorkerThread::OpConnect() {
  ResolveStep("connect failed. ");
  return CreateAndConnect();
}

void TWorkerThread::FinishConnect() {
  // An exception from the handler is its own affair: the session has been reported connected
  // once, and the socket is watched all the same.
  try {
    TriggerSessionConnected(static_cast<uint16_t>(LastError()));
  } catch (const std::exception& E) {
    LogMsg(Name() + " exception in session connected: " + E.what());
  } catch (...) {
    LogMsg(Name() + " exception in session connected");
  }
  WatchInput(FHSocket.load());
}

void TWorkerThread::EnterConnected() {
  FConnectPhase = TConnectPhase::cpConnected;
  ChangeState(wsConnected);
}

void TWorkerThread::CompleteConnect() {
  FConnectPhase = TConnectPhase::cpIdle;
  WatchWrite(false);
  const int S = FHSocket.load();
  int32_t Err = 0;
  socklen_t Len = sizeof(Err);
  if (::getsockopt(S, SOL_SOCKET, SO_ERROR, &Err, &Len) != 0) Err = LastOSError();
  if (Err != 0) {
    FailSocket(Err, "connect failed");
    UnwatchSocket();
  } else if (TlsWanted()) {
    // The session is connected once the TLS handshake has ended.
    if (StartTls() == TConnectOutcome::coWaiting) return;
  } else {
    EnterConnected();
  }
  FinishConnect();
}

void TWorkerThread::AbortConnect() {
  LogMsg("connect aborted by close");
  FConnectPhase = TConnectPhase::cpIdle;
  // FinishConnect below watches for input again (on no socket); until then nothing is watched.
  ClearDeadline();
  StopWatching();
  FailSocket(ECONNABORTED, "connect failed");
  FinishConnect();
}

void TWorkerThread::FailSocket(int32_t Code, const std::string& Msg) {
  DropTls(false);
  SetLastError(Code, Msg);
  CloseHandle();
  ChangeState(wsClosed);
}

void TWorkerThread::CloseHandle() {
  const int S = FHSocket.exchange(-1);
  if (S == -1) return;
  Ics_shutdown(S, SHUT_RDWR);
  Ics_closesocket(S);
}

TWorkerThread::TConnectOutcome TWorkerThread::CreateAndConnect() {
  const int S = Ics_socket(AF_INET, FSockType.load(), FProtoNum.load());
  if (S == -1) {
    SetLastError(LastOSError(), "socket failed");
    ChangeState(wsClosed);
    return TConnectOutcome::coKnown;
  }
  FHSocket.store(S);
  ChangeState(wsOpened);

  try {
    if (FSockType.load() == SOCK_DGRAM) {
      BindSocket();
      if (FSockAddr.sin_addr.s_addr == INADDR_BROADCAST) {
        const int32_t On = 1;
        if (Ics_setsockopt(S, SOL_SOCKET, SO_BROADCAST, &On, sizeof(On)) != 0) {
          FailSocket(LastOSError(), "setsockopt(SO_BROADCAST)");
          return TConnectOutcome::coKnown;
        }
      }
      if (!SetNonBlocking()) return TConnectOutcome::coKnown;
      EnterConnected();
      return TConnectOutcome::coKnown;
    }

    const int32_t On = -1;
    if (Ics_setsockopt(S, SOL_SOCKET, SO_REUSEADDR, &On, sizeof(On)) != 0) {
      FailSocket(LastOSError(), "setsockopt(SO_REUSEADDR)");
      return TConnectOutcome::coKnown;
    }
    SetLingerOption();
    if (Ics_setsockopt(S, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof(On)) != 0) {
      FailSocket(LastOSError(), "setsockopt(SO_KEEPALIVE)");
      return TConnectOutcome::coKnown;
    }
    bool NeedBind;
    {
      std::lock_guard<std::mutex> Guard(SettingsLock);
      NeedBind = FLocalPortNum.load() != 0 || FLocalAddrStr != "0.0.0.0";
    }
    if (NeedBind) BindSocket();
  } catch (const TBindFailure& F) {
    // A socket that cannot take its local address is not left open half made: the attempt
    // fails like any other, with the OS error in the session-connected event.
    FailSocket(F.Code, F.Msg);
    return TConnectOutcome::coKnown;
  }

  // The connect runs without blocking the worker: its outcome arrives as writability in the
  // worker's own wait, where a close request or the release of the worker can end it at once.
  if (!SetNonBlocking()) return TConnectOutcome::coKnown;
  ChangeState(wsConnecting);
  if (Ics_connect(S, reinterpret_cast<const sockaddr*>(&FSockAddr), sizeof(FSockAddr)) == 0) {
    if (TlsWanted()) return StartTls();
    EnterConnected();
    return TConnectOutcome::coKnown;
  }
  const int32_t Err = LastOSError();
  if (Err != EINPROGRESS) {
    FailSocket(Err, "connect failed");
    return TConnectOutcome::coKnown;
  }
  FConnectPhase = TConnectPhase::cpTcpConnect;
  WatchConnect(S);
  return TConnectOutcome::coWaiting;
}

void TWorkerThread::SetLingerOption() {
  const TIcsSocketLingerOnOff Mode = FLingerOnOff.load();
  const int S = FHSocket.load();
  if (Mode == wsLingerNoSet || S == -1) return;
  struct linger L;
  L.l_onoff = Mode == wsLingerOn ? 1 : 0;
  L.l_linger = FLingerTimeout.load();
  Ics_setsockopt(S, SOL_SOCKET, SO_LINGER, &L, sizeof(L));
}

bool TWorkerThread::SetNonBlocking() {
  int32_t On = -1;
  const int S = FHSocket.load();
  if (Ics_ioctl(S, FIONBIO, &On) == -1) {
    const int32_t Err = LastOSError();
    UnwatchSocket();
    FailSocket(Err, "ioctlsocket(FIONBIO) failed");
    return false;
  }
  return true;
}

void TWorkerThread::BindSocket() {
  sockaddr_in Local{};
  Local.sin_family = AF_INET;
  Local.sin_port = Ics_htons(static_cast<uint16_t>(FLocalPortNum.load()));
  std::string LocalAddr;
  {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    LocalAddr = FLocalAddrStr;
  }
  try {
    Local.sin_addr.s_addr = IcsSocketResolveHost(LocalAddr);
  } catch (const std::exception& E) {
    throw TBindFailure{ResolveHostError, std::string("bind failed, ") + E.what()};
  }
  const int S = FHSocket.load();
  if (Ics_bind(S, reinterpret_cast<const sockaddr*>(&Local), sizeof(Local)) != 0) {
    const int32_t Err = LastOSError();
    throw TBindFailure{Err, "bind failed, error #" + std::to_string(Err)};
  }
  socklen_t Len = sizeof(Local);
  if (Ics_getsockname(S, reinterpret_cast<sockaddr*>(&Local), &Len) != 0) {
    const int32_t Err = LastOSError();
    throw TBindFailure{Err, "getsockname failed, error #" + std::to_string(Err)};
  }
  const uint16_t Chosen = Ics_ntohs(Local.sin_port);
  FLocalPortNum.store(Chosen);
  std::lock_guard<std::mutex> Guard(SettingsLock);
  FLocalPort.Text = std::to_string(Chosen);
}

void TWorkerThread::OpListen() {
  ResolveStep("listen failed. ");
  const int S = Ics_socket(AF_INET, FSockType.load(), FProtoNum.load());
  if (S == -1) {
    SetLastError(LastOSError(), "socket failed");
    ChangeState(wsClosed);
    TriggerSessionClosed(static_cast<uint16_t>(LastError()));
    return;
  }
  FHSocket.store(S);
  if (Ics_bind(S, reinterpret_cast<const sockaddr*>(&FSockAddr), sizeof(FSockAddr)) == 0) {
    ChangeState(wsBound);
  } else {
    const int32_t Err = LastOSError();
    FailSocket(Err, "bind failed");
    TriggerSessionClosed(static_cast<uint16_t>(LastError()));
    return;
  }
  SetNonBlocking();
  if (FHSocket.load() == -1) return;

  if (FSockType.load() == SOCK_DGRAM) {
    ChangeState(wsListening);
    ChangeState(wsConnected);
    return;
  }
  if (Ics_listen(S, 5) == 0) {
    WatchListener(S);
    ChangeState(wsListening);
  } else {
    const int32_t Err = LastOSError();
    FailSocket(Err, "listen failed");
  }
}

void TWorkerThread::OpClose() {
  std::lock_guard<std::recursive_mutex> Guard(CloseLock());
  LogMsg("OpClose enter");
  ClearLastError();
  if (State() == wsClosed) return;
  WatchRead(false);
  if (OrderlyClose() && TestHooks.AfterCloseSocket) TestHooks.AfterCloseSocket();
  LogMsg("OpClose exit");
}

bool TWorkerThread::OrderlyClose() {
  const bool Abortive = IsAbortive(FLingerOnOff.load(), FLingerTimeout.load());
  DropTls(!Abortive);
  // The handle is forgotten before the descriptor is closed: from the OS close on, its number may
  // be given to a new descriptor elsewhere in the process, and a Receive, RcvdCount or
  // GetPeerAddr on another thread must then find -1, not that descriptor.
  const int S = FHSocket.exchange(-1);
  if (S == -1) return false;
  UnwatchSocket();
  if (!Abortive) DropPendingInput(S);
  if (Ics_closesocket(S) < 0) SetLastError(LastOSError(), "closesocket failed");
  return true;
}

void TWorkerThread::DropPendingInput(int S) {
  // Closing a TCP socket with unread input makes the OS reset the connection, and the reset may
  // overtake bytes of ours still on their way. What the application did not read is dropped
  // here instead (a bounded amount: a peer that keeps sending gets its reset).
  char Drop[4096];
  for (int I = 0; I < 64; ++I)
    if (::recv(S, Drop, sizeof(Drop), MSG_DONTWAIT) <= 0) break;
}

void TWorkerThread::DrainBeforeClose() {
  const int S = FHSocket.load();
  if (S == -1 || FSockType.load() != SOCK_STREAM) return;
  const TIcsSocketLingerOnOff Mode = FLingerOnOff.load();
  const int32_t Seconds = FLingerTimeout.load();
  if (IsAbortive(Mode, Seconds)) return;
  const auto Limit = Mode == wsLingerOn ? std::chrono::milliseconds(int64_t(Seconds) * 1000)
                                        : std::chrono::milliseconds(IcsCloseDrainMs);
  const auto End = std::chrono::steady_clock::now() + Limit;
  std::unique_lock<std::recursive_mutex> Guard(BufLock);
  for (;;) {
    bool Blocked = false;
    for (;;) {
      const uint8_t* P;
      int32_t Count;
      TIcsBuffer* Chunk = FirstUnsent(P, Count);
      if (!Chunk) break;
      const ssize_t R = SendNow(S, P, Count);
      if (R > 0) {
        Chunk->Remove(static_cast<int32_t>(R));
        continue;
      }
      const int32_t Err = LastOSError();
      if (R < 0 && (Err == EAGAIN || Err == EWOULDBLOCK || Err == EINTR)) {
        Blocked = true;
        break;
      }
      return;  // the connection is gone: nothing more can be written
    }
    if (!Blocked) return;  // everything queued is with the OS now
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        End - std::chrono::steady_clock::now());
    if (Left.count() <= 0) {
      LogMsg(Name() + " close: queued bytes not written in time");
      return;
    }
    // BufLock is let go while waiting, so that a Send on another thread does not wait as well.
    Guard.unlock();
    pollfd P{S, POLLOUT, 0};
    Ics_poll(&P, 1, static_cast<int>(std::min<int64_t>(Left.count(), 100)));
    Guard.lock();
  }
}

void TWorkerThread::EndSession(int32_t Code) {
  if (State() == wsClosed) return;
  OpClose();
  // The connection is gone. A connect still waiting for its outcome keeps its phase: that
  // outcome is reported on its own (a close request aborts it).
  if (FConnectPhase == TConnectPhase::cpConnected) FConnectPhase = TConnectPhase::cpIdle;
  // Without an error of its own the session ends with the close's code: 0 unless the OS close
  // failed.
  if (Code == 0) Code = LastError();
  // The state follows the event whatever the handler does: each session is reported closed
  // exactly once, and a second close request finds wsClosed.
  try {
    TriggerSessionClosed(static_cast<uint16_t>(Code));
  } catch (const std::exception& E) {
    LogMsg(Name() + " exception in session closed: " + E.what());
  } catch (...) {
    LogMsg(Name() + " exception in session closed");
  }
  ChangeState(wsClosed);
}

void TWorkerThread::OpReleaseClose() {
  if (FConnectPhase == TConnectPhase::cpTlsHandshake) {
    ClearDeadline();
    DropTls(false);
  }
  FConnectPhase = TConnectPhase::cpIdle;
  // The bytes sent before the release still go out, as for a Close; BufLock is never taken while
  // CloseLock is held, so the buffer comes first.
  if (State() == wsConnected) DrainBeforeClose();
  DeleteBufferList();
  std::lock_guard<std::recursive_mutex> Guard(CloseLock());
  LogMsg("OpReleaseClose enter");
  StopWatching();
  OrderlyClose();
  FCloseInvoked.store(false);
  // Every slot is empty by now, so this only records the state.
  ChangeState(wsClosed);
  LogMsg("OpReleaseClose exit");
}

void TWorkerThread::PutDataInSendBuffer(const void* Data, int32_t Length) {
  if (Length <= 0) return;
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  if (FBufList.empty()) FBufList.push_back(std::make_unique<TIcsBuffer>(FBufSize));
  const uint8_t* P = static_cast<const uint8_t*>(Data);
  TIcsBuffer* Chunk = FBufList.back().get();
  for (;;) {
    const int32_t N = Chunk->Write(P, Length);
    if (N >= Length) break;
    P += N;
    Length -= N;
    FBufList.push_back(std::make_unique<TIcsBuffer>(FBufSize));
    Chunk = FBufList.back().get();
  }
}

inline TIcsBuffer* TWorkerThread::FirstUnsent(const uint8_t*& Data, int32_t& Count) {
  while (!FBufList.empty()) {
    TIcsBuffer* Chunk = FBufList.front().get();
    Data = Chunk->Peek(Count);
    if (Count > 0) return Chunk;
    // The last chunk stays, emptied, for the next Send to fill.
    if (FBufList.size() == 1) break;
    FBufList.pop_front();
  }
  return nullptr;
}

void TWorkerThread::RemoveSent(TIcsBuffer* First, int32_t Count) {
  // First is the front chunk; the ones behind it are read from their start. A chunk emptied
  // before the last goes, as FirstUnsent would drop it.
  Count -= First->Remove(Count);
  while (Count > 0 && FBufList.size() > 1) {
    if (FBufList.front().get() == First) FBufList.pop_front();
    TIcsBuffer* Next = FBufList.front().get();
    Count -= Next->Remove(Count);
    First = Next;
  }
}

void TWorkerThread::DeleteBufferList() {
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  FBufList.clear();
  ++FBufEpoch;
}

int32_t TWorkerThread::RealSend(const uint8_t* Data, int32_t Length) {
  const size_t TextLen = ::strnlen(reinterpret_cast<const char*>(Data), Length);
  LogMsg(Name(), " send \"", std::string_view(reinterpret_cast<const char*>(Data), TextLen), "\"");
  if (FTlsOn.load()) return TlsSend(Data, Length);
  const int S = FHSocket.load();
  ssize_t R;
  if (FSockType.load() == SOCK_DGRAM)
    R = Ics_sendto(S, Data, Length, FSendFlags, reinterpret_cast<const sockaddr*>(&FSockAddr),
                   sizeof(FSockAddr));
  else
    R = Ics_send(S, Data, Length, FSendFlags | MSG_NOSIGNAL);
  if (R > 0) {
    TriggerSendData(static_cast<int32_t>(R));
    return static_cast<int32_t>(R);
  }
  const int32_t Err = LastOSError();
  SetLastError(Err, "send or sendto failed");
  if (Err == EPIPE) {
    FCloseInvoked.store(true);
    FLastError.store(ECONNRESET);
    return 0;
  }
  return static_cast<int32_t>(R);
}

void TWorkerThread::OpWrite() {
  LogMsg("OpWrite");
  // A connect or TLS handshake in progress uses write readiness for its outcome. The wake-up is
  // used up all the same: left marked as pending, it would keep every later Send from posting
  // one, and bytes sent once the session is up would wait for some other event.
  if (ConnectWaiting()) {
    std::lock_guard<std::recursive_mutex> Guard(BufLock);
    FTryToSendPending.store(false);
    return;
  }
  bool Sent = false;
  int32_t FailCode = 0;
  {
    // The cycle copies from the buffer, the wake-up flag and the watch flag under BufLock (see
    // Send), and sends without it, so that a Send on another thread never waits for the network;
    // the callbacks it leads to run after it has been let go.
    std::unique_lock<std::recursive_mutex> Guard(BufLock);
    if (FHSocket.load() == -1 || FBufList.empty()) {
      FTryToSendPending.store(false);
      LogMsg("OpWrite nothing to send");
      // Nothing will ever be written for this wake-up, so stop watching for writability: left
      // set, the always-writable socket would wake the loop again and again.
      WatchWrite(false);
      return;
    }
    for (;;) {
      const uint8_t* P;
      int32_t Count;
      TIcsBuffer* Chunk = FirstUnsent(P, Count);
      if (!Chunk) {
        FAllSent.store(true);
        break;
      }
      // Sent from a copy, so that the chunk may go (a new connection empties the buffer) while
      // the send runs without BufLock.
      FSendCopy.assign(P, P + Count);
      // With SendGather, a plain stream socket takes the chunks queued behind the first in the
      // same call, up to kMaxSendGather bytes: one call per chunk of 1514 bytes costs a load of
      // small PDUs a system call for every twenty of them. A datagram is one chunk as queued,
      // and a TLS write that must be retried has to be offered the same bytes again, so both go
      // chunk by chunk.
      if (FSendGather.load() && !FTlsOn.load() && FSockType.load() != SOCK_DGRAM) {
        for (auto It = std::next(FBufList.begin());
             It != FBufList.end() && FSendCopy.size() < kMaxSendGather; ++It) {
          int32_t More = 0;
          if (const uint8_t* Q = (*It)->Peek(More)) FSendCopy.insert(FSendCopy.end(), Q, Q + More);
        }
      }
      const int32_t Offered = static_cast<int32_t>(FSendCopy.size());
      const uint64_t Epoch = FBufEpoch;
      Guard.unlock();
      const int32_t R = RealSend(FSendCopy.data(), Offered);
      Guard.lock();
      // A new connection emptied the buffer meanwhile: what was sent belonged to the old one.
      if (Epoch != FBufEpoch) break;
      if (R > 0) RemoveSent(Chunk, R);
      if (R == 0) break;
      if (R < 0) {
        const int32_t Err = LastError();
        if (Err == ECONNRESET || Err == ENOTSOCK || Err == ENOTCONN || Err == EINVAL ||
            Err == ECONNABORTED) {
          FailCode = Err;
          break;
        }
        if (Err == EAGAIN || Err == EWOULDBLOCK) break;
        SetLastError(Err, "TryToSend failed");
        FTryToSendPending.store(false);
        return;
      }
      if (R < Offered) break;
    }
    // The cycle stops here: a Send from now on wakes it again. The rest goes out when the socket
    // is writable again.
    FTryToSendPending.store(false);
    WatchWrite(!FAllSent.load() && FailCode == 0);
    Sent = FAllSent.load() && FailCode == 0;
  }
  if (FailCode != 0) {
    // The connection is gone: the socket is closed, the session reported closed with the OS
    // error, and Send refuses from now on.
    EndSession(FailCode);
    return;
  }
  if (Sent) TriggerDataSent();
  // A send that met a closed pipe (EPIPE, reported as ECONNRESET), or a receive inside a handler
  // that saw the end of the stream: the session ends here.
  if (FCloseInvoked.load()) EndSession(LastError());
  LogMsg("OpWrite exit");
}

void TWorkerThread::OpDataAvailable() {
  LogMsg("OpDataAvailable");
  if (FTlsOn.load()) {
    TlsDataAvailable();
    return;
  }
  const int S = FHSocket.load();
  int32_t Count = 0;
  if (Ics_ioctl(S, FIONREAD, &Count) == -1) return;
  if (Count == 0) {
    char Byte;
    // MSG_DONTWAIT: an adopted handle may be in blocking mode, and the peek must never block the
    // worker. A peek that finds nothing yet (EAGAIN, EINTR) is not an end of stream.
    const ssize_t R = Ics_recv(S, &Byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (R > 0) return;
    if (R < 0) {
      const int32_t Err = LastOSError();
      if (Err == EAGAIN || Err == EWOULDBLOCK || Err == EINTR) return;
    }
    LogMsg("ClosedByRemote");
    FCloseInvoked.store(true);
    EndSession(0);
    return;
  }
  TDataAvailableSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnDataAvailable;
  }
  // The handler's RcvdCount answers with this count until its first Receive, however it ends.
  struct TCountScope {
    int32_t& Count;
    ~TCountScope() { Count = -1; }
  } Scope{FHandlerRcvdCount};
  FHandlerRcvdCount = Count;
  const bool Handled = Slot && Slot(0);
  FHandlerRcvdCount = -1;
  if (!Handled) {
    char Drop[257];
    Ics_recv(FHSocket.load(), Drop, sizeof(Drop), 0);
  }
  // A receive inside the handler saw the end of the stream.
  if (FCloseInvoked.load()) EndSession(0);
}

void TWorkerThread::OpAccept() {
  ClearLastError();
  sockaddr_in Addr{};
  socklen_t Len = sizeof(Addr);
  const int H = Ics_accept(FHSocket.load(), reinterpret_cast<sockaddr*>(&Addr), &Len);
  if (H == -1) SetLastError(LastOSError(), "accept failed");
  FAcceptedSocket.store(H);
}

void TWorkerThread::OpDup(int NewHSocket) {
  LogMsg("OpDup(" + std::to_string(NewHSocket) + ") FHSocket = " + std::to_string(FHSocket.load()));
  // The waiting Dup is released however this ends, even when a handler throws.
  struct TDupDoneNote {
    TWorkerThread* Self;
    ~TDupDoneNote() {
      if (std::atomic<bool>* Flag = Self->FDupDone.load()) Flag->store(true);
    }
  } Note{this};
  // An adopted handle runs no TLS of ours.
  DropTls(false);
  FHSocket.store(NewHSocket);
  // A pooled worker may have served a datagram socket before: the adopted handle's own type
  // decides between send and sendto, so that a stream keeps MSG_NOSIGNAL and never raises
  // SIGPIPE on a broken connection.
  int32_t Type = 0;
  socklen_t TypeLen = sizeof(Type);
  if (::getsockopt(NewHSocket, SOL_SOCKET, SO_TYPE, &Type, &TypeLen) == 0)
    FSockType.store(Type == SOCK_DGRAM ? SOCK_DGRAM : SOCK_STREAM);
  WatchAdopted(NewHSocket);
  FCloseInvoked.store(false);
  DeleteBufferList();
  // An adopted connection is a success: an error left over from an earlier connection of this
  // worker must not be reported with it.
  ClearLastError();
  // A connect still waiting for its outcome on this very handle keeps its phase: that outcome is
  // reported on its own.
  if (!ConnectWaiting()) FConnectPhase = TConnectPhase::cpConnected;
  ChangeState(wsConnected);
  TriggerSessionConnected(static_cast<uint16_t>(LastError()));
  WatchRead(!FDontRead.load());
}
