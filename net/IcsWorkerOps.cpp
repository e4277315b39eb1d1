// The worker thread's socket operations: resolution, connect, listen, close, the write cycle,
// readiness handling, accept and dup. Everything here runs on the worker thread, except
// PutDataInSendBuffer and DeleteBufferList (any thread, under BufLock) and OpAccept, which Accept
// also calls on the caller's thread.
#include <sys/ioctl.h>
#include <unistd.h>

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

}  // namespace

void TWorkerThread::ResolveStep(const char* FailurePrefix) {
  ClearLastError();
  FSockAddr.sin_family = AF_INET;
  int32_t Code = 0;
  std::string Msg;
  try {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    if (!FProtoResolved) {
      Code = ResolveProtoError;
      const int32_t Num = IcsSocketResolveProto(FProtoStr);
      FProtoNum.store(Num);
      FSockType.store(Num == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM);
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      Code = ResolvePortError;
      const uint16_t P = IcsSocketResolvePort(FPortStr, FProtoStr);
      FPortNum.store(P);
      FSockAddr.sin_port = Ics_htons(P);
      FPortResolved = true;
    }
    if (!FLocalPortResolved) {
      Code = ResolvePortError;
      FLocalPortNum.store(IcsSocketResolvePort(FLocalPortStr, FProtoStr));
      FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
      Code = ResolveHostError;
      FSockAddr.sin_addr.s_addr = IcsSocketResolveHost(FAddrStr);
      FAddrResolved = true;
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

void TWorkerThread::OpConnect() {
  ResolveStep("connect failed. ");
  if (CreateAndConnect()) SetNonBlocking();
}

void TWorkerThread::FailSocket(int32_t Code, const std::string& Msg) {
  SetLastError(Code, Msg);
  const int S = FHSocket.exchange(-1);
  if (S != -1) {
    Ics_shutdown(S, SHUT_RDWR);
    Ics_closesocket(S);
  }
  ChangeState(wsClosed);
}

bool TWorkerThread::CreateAndConnect() {
  const int S = Ics_socket(AF_INET, FSockType.load(), FProtoNum.load());
  if (S == -1) {
    SetLastError(LastOSError(), "socket failed");
    ChangeState(wsClosed);
    return false;
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
          return false;
        }
      }
      ChangeState(wsConnected);
      return true;
    }

    const int32_t On = -1;
    if (Ics_setsockopt(S, SOL_SOCKET, SO_REUSEADDR, &On, sizeof(On)) != 0) {
      FailSocket(LastOSError(), "setsockopt(SO_REUSEADDR)");
      return false;
    }
    SetLingerOption();
    if (Ics_setsockopt(S, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof(On)) != 0) {
      FailSocket(LastOSError(), "setsockopt(SO_KEEPALIVE)");
      return false;
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
    return false;
  }

  ChangeState(wsConnecting);
  if (Ics_connect(S, reinterpret_cast<const sockaddr*>(&FSockAddr), sizeof(FSockAddr)) != 0) {
    FailSocket(LastOSError(), "connect failed");
    return false;
  }
  ChangeState(wsConnected);
  return true;
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
    SetLastError(LastOSError(), "ioctlsocket(FIONBIO) failed");
    FHSocket.store(-1);
    Ics_shutdown(S, SHUT_RDWR);
    Ics_closesocket(S);
    MsgQueue->WatchedSocket.store(-1);
    ChangeState(wsClosed);
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
  FLocalPortStr = std::to_string(Chosen);
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
    SetLastError(LastOSError(), "bind failed");
    FHSocket.store(-1);
    Ics_shutdown(S, SHUT_RDWR);
    Ics_closesocket(S);
    ChangeState(wsClosed);
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
    MsgQueue->Listening.store(true);
    MsgQueue->SelectRead.store(true);
    MsgQueue->WatchedSocket.store(S);
    ChangeState(wsListening);
  } else {
    SetLastError(LastOSError(), "listen failed");
    FHSocket.store(-1);
    Ics_shutdown(S, SHUT_RDWR);
    Ics_closesocket(S);
    ChangeState(wsClosed);
  }
}

void TWorkerThread::OpClose() {
  std::lock_guard<std::recursive_mutex> Guard(CloseLock());
  LogMsg("OpClose enter");
  ClearLastError();
  if (State() == wsClosed) return;
  MsgQueue->SelectRead.store(false);
  const int S = FHSocket.load();
  if (S != -1) {
    if (Ics_closesocket(S) < 0) SetLastError(LastOSError(), "closesocket failed");
    FHSocket.store(-1);
    MsgQueue->WatchedSocket.store(-1);
  }
  LogMsg("OpClose exit");
}

void TWorkerThread::OpReleaseClose() {
  // The buffer goes first: BufLock is never taken while CloseLock is held.
  DeleteBufferList();
  std::lock_guard<std::recursive_mutex> Guard(CloseLock());
  LogMsg("OpClose enter");
  MsgQueue->SelectRead.store(false);
  MsgQueue->SelectWrite.store(false);
  MsgQueue->Listening.store(false);
  MsgQueue->WatchedSocket.store(-1);
  const int S = FHSocket.exchange(-1);
  if (S != -1 && Ics_closesocket(S) < 0) SetLastError(LastOSError(), "closesocket failed");
  FCloseInvoked.store(false);
  // Every slot is empty by now, so this only records the state.
  ChangeState(wsClosed);
  LogMsg("OpClose exit");
}

void TWorkerThread::PutDataInSendBuffer(const void* Data, int32_t Length) {
  if (Length <= 0) return;
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  if (BufList.empty()) BufList.push_back(std::make_unique<TIcsBuffer>(FBufSize));
  const uint8_t* P = static_cast<const uint8_t*>(Data);
  TIcsBuffer* Chunk = BufList.back().get();
  for (;;) {
    const int32_t N = Chunk->Write(P, Length);
    if (N >= Length) break;
    P += N;
    Length -= N;
    BufList.push_back(std::make_unique<TIcsBuffer>(FBufSize));
    Chunk = BufList.back().get();
  }
}

void TWorkerThread::DeleteBufferList() {
  std::lock_guard<std::recursive_mutex> Guard(BufLock);
  BufList.clear();
}

int32_t TWorkerThread::RealSend(const uint8_t* Data, int32_t Length) {
  const size_t TextLen = ::strnlen(reinterpret_cast<const char*>(Data), Length);
  LogMsg(Name() + " send \"" + std::string(reinterpret_cast<const char*>(Data), TextLen) + "\"");
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
  // From here on a Send must wake the worker again: this cycle may already have read past its
  // bytes.
  FTryToSendPending.store(false);
  std::unique_lock<std::recursive_mutex> Guard(BufLock);
  if (FHSocket.load() == -1 || BufList.empty()) {
    LogMsg("OpWrite nothing to send");
    // Nothing will ever be written for this wake-up, so stop watching for writability: left
    // set, the always-writable socket would wake the loop again and again. A later Send sets it
    // again after it has queued its bytes (which it does under BufLock, held here).
    MsgQueue->SelectWrite.store(false);
    return;
  }
  for (;;) {
    TIcsBuffer* Chunk = BufList.front().get();
    int32_t Count = 0;
    const uint8_t* P = Chunk->Peek(Count);
    if (Count <= 0) {
      if (BufList.size() == 1) {
        FAllSent.store(true);
        break;
      }
      BufList.pop_front();
      continue;
    }
    const int32_t R = RealSend(P, Count);
    if (R == 0) break;
    if (R < 0) {
      const int32_t Err = LastError();
      if (Err == ECONNRESET || Err == ENOTSOCK || Err == ENOTCONN || Err == EINVAL ||
          Err == ECONNABORTED) {
        OpClose();
        TriggerSessionClosed(static_cast<uint16_t>(Err));
        break;
      }
      if (Err == EAGAIN || Err == EWOULDBLOCK) break;
      SetLastError(Err, "TryToSend failed");
      return;
    }
    Chunk->Remove(R);
    if (R < Count) break;
  }
  if (FAllSent.load()) {
    MsgQueue->SelectWrite.store(false);
    TriggerDataSent();
  }
  if (FCloseInvoked.load()) OpClose();
  LogMsg("OpWrite exit");
}

void TWorkerThread::OpDataAvailable() {
  LogMsg("OpDataAvailable");
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
    OpClose();
    TriggerSessionClosed(static_cast<uint16_t>(LastError()));
    ChangeState(wsClosed);
    return;
  }
  TDataAvailableSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnDataAvailable;
  }
  if (!Slot || !Slot(0)) {
    char Drop[257];
    Ics_recv(FHSocket.load(), Drop, sizeof(Drop), 0);
  }
  if (FCloseInvoked.load()) OpClose();
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
  FHSocket.store(NewHSocket);
  // A pooled worker may have served a datagram socket before: the adopted handle's own type
  // decides between send and sendto, so that a stream keeps MSG_NOSIGNAL and never raises
  // SIGPIPE on a broken connection.
  int32_t Type = 0;
  socklen_t TypeLen = sizeof(Type);
  if (::getsockopt(NewHSocket, SOL_SOCKET, SO_TYPE, &Type, &TypeLen) == 0)
    FSockType.store(Type == SOCK_DGRAM ? SOCK_DGRAM : SOCK_STREAM);
  MsgQueue->Listening.store(false);
  MsgQueue->WatchedSocket.store(NewHSocket);
  FCloseInvoked.store(false);
  DeleteBufferList();
  // An adopted connection is a success: an error left over from an earlier connection of this
  // worker must not be reported with it.
  ClearLastError();
  ChangeState(wsConnected);
  TriggerSessionConnected(static_cast<uint16_t>(LastError()));
  MsgQueue->SelectRead.store(!FDontRead.load());
}
