// The worker thread's TLS steps: the handshake after the TCP connect, run inside the worker's own
// loop without blocking it, and the decrypted paths of sending, receiving, counting and the
// end-of-stream detection. Everything here runs on the worker thread, except SetTlsSettings
// (any thread) and the TLS halves of Receive and GetRcvdCount (caller's thread, normally a
// handler on the worker).
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "net/IcsLogMsg.h"
#include "net/IcsWorkerThread.h"

void TWorkerThread::SetTlsSettings(const TIcsTlsSettings& Value) {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  FTlsSettings = Value;
}

TIcsTlsSettings TWorkerThread::TlsSettings() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FTlsSettings;
}

bool TWorkerThread::TlsWanted() const {
  std::lock_guard<std::mutex> Guard(SettingsLock);
  return FTlsSettings.UseTLS && FSockType.load() == SOCK_STREAM;
}

TWorkerThread::TConnectOutcome TWorkerThread::StartTls() {
  TIcsTlsSettings Settings;
  std::string Host;
  {
    std::lock_guard<std::mutex> Guard(SettingsLock);
    Settings = FTlsSettings;
    Host = FAddr.Text;
  }
  std::string Reason;
  std::unique_ptr<TIcsTlsSession> T =
      TIcsTlsSession::Create(FHSocket.load(), Settings, Host, Reason);
  if (!T) {
    UnwatchSocket();
    FailSocket(EINVAL, "TLS handshake failed: " + Reason);
    return TConnectOutcome::coKnown;
  }
  {
    std::lock_guard<std::mutex> Guard(TlsLock);
    FTls = std::move(T);
    FTlsOn.store(true);
  }
  LogMsg(Name() + " TLS handshake");
  FConnectPhase = TConnectPhase::cpTlsHandshake;
  FHandshakeTimeoutMs = Settings.HandshakeTimeoutMs > 0 ? Settings.HandshakeTimeoutMs : 1;
  WatchHandshake(FHSocket.load(), IcsSteadyMs() + FHandshakeTimeoutMs);
  return StepHandshake();
}

TWorkerThread::TConnectOutcome TWorkerThread::StepHandshake() {
  TIcsTlsStep Step;
  std::string Reason, Version;
  int32_t Code;
  {
    std::lock_guard<std::mutex> Guard(TlsLock);
    if (!FTls) return TConnectOutcome::coKnown;
    Step = FTls->Handshake();
    Reason = FTls->Reason();
    Code = FTls->ErrorCode();
    if (Step == TIcsTlsStep::tsDone) Version = FTls->Version();
  }
  switch (Step) {
    case TIcsTlsStep::tsWantRead:
      WatchHandshakeRead();
      return TConnectOutcome::coWaiting;
    case TIcsTlsStep::tsWantWrite:
      WatchHandshakeWrite();
      return TConnectOutcome::coWaiting;
    case TIcsTlsStep::tsDone:
      ClearDeadline();
      WatchWrite(false);
      LogMsg(Name() + " TLS handshake done, " + Version);
      EnterConnected();
      return TConnectOutcome::coKnown;
    default:
      FailHandshake(Code != 0 ? Code : EPROTO, Reason);
      return TConnectOutcome::coKnown;
  }
}

void TWorkerThread::FailHandshake(int32_t Code, const std::string& Reason) {
  LogMsg(Name() + " TLS handshake failed: " + Reason);
  FConnectPhase = TConnectPhase::cpIdle;
  // The end of the attempt (FinishConnect) watches for input again; until then nothing is
  // watched.
  ClearDeadline();
  StopWatching();
  FailSocket(Code, "TLS handshake failed: " + Reason);
}

void TWorkerThread::DropTls(bool CloseNotify) {
  if (!FTlsOn.load()) return;
  std::unique_ptr<TIcsTlsSession> T;
  {
    std::lock_guard<std::mutex> Guard(TlsLock);
    T = std::move(FTls);
    FTlsOn.store(false);
    if (T && CloseNotify) T->Shutdown();
  }
}

int32_t TWorkerThread::TlsSend(const uint8_t* Data, int32_t Length) {
  int32_t R;
  int32_t Err = 0;
  std::string Reason;
  {
    std::lock_guard<std::mutex> Guard(TlsLock);
    if (!FTls) {
      R = -1;
      Err = ENOTCONN;
    } else {
      R = FTls->Write(Data, Length);
      if (R < 0) {
        Err = errno;
        Reason = FTls->Reason();
      }
    }
  }
  if (R > 0) {
    TriggerSendData(R);
    return R;
  }
  if (Err == EAGAIN || Err == EWOULDBLOCK) {
    SetLastError(Err, "send or sendto failed");
    return -1;
  }
  if (Err == EPIPE) {
    // As for a plain socket: the session ends at the end of the write cycle.
    SetLastError(ECONNRESET, "TLS write failed: " + Reason);
    FCloseInvoked.store(true);
    return 0;
  }
  // Any other failure leaves the TLS session unusable: it fails for the connection.
  if (Err != ECONNRESET && Err != ENOTSOCK && Err != ENOTCONN && Err != EINVAL) Err = ECONNABORTED;
  SetLastError(Err, "TLS write failed: " + Reason);
  return -1;
}

ssize_t TWorkerThread::SendNow(int S, const uint8_t* Data, int32_t Length) {
  if (!FTlsOn.load()) return Ics_send(S, Data, Length, FSendFlags | MSG_NOSIGNAL | MSG_DONTWAIT);
  std::lock_guard<std::mutex> Guard(TlsLock);
  if (!FTls) {
    errno = ENOTCONN;
    return -1;
  }
  return FTls->Write(Data, Length);
}

void TWorkerThread::TlsDataAvailable() {
  int32_t Count;
  int32_t Code = 0;
  std::string Reason;
  {
    std::lock_guard<std::mutex> Guard(TlsLock);
    if (!FTls) return;
    // Reads the next record from the socket if none is buffered yet: the decrypted bytes ready,
    // 0 while a record is incomplete (or held only handshake messages), -1 at the end.
    Count = FTls->Available();
    if (Count < 0 && FTls->ErrorCode() != ECONNRESET) {
      Code = FTls->ErrorCode();
      Reason = FTls->Reason();
    }
  }
  if (Count == 0) return;
  if (Count < 0) {
    LogMsg(Reason.empty() ? std::string("ClosedByRemote") : "ClosedByRemote: " + Reason);
    FCloseInvoked.store(true);
    EndSession(Code);
    return;
  }
  TDataAvailableSlot Slot;
  {
    std::lock_guard<std::mutex> Guard(SlotLock);
    Slot = FOnDataAvailable;
  }
  if (!Slot || !Slot(0)) {
    char Drop[257];
    std::lock_guard<std::mutex> Guard(TlsLock);
    if (FTls) FTls->Read(Drop, sizeof(Drop));
  }
  if (FCloseInvoked.load()) {
    EndSession(0);
    return;
  }
  // Decrypted bytes left inside OpenSSL do not make the socket readable again: they get their
  // own data-available event, as unread bytes of a plain socket do.
  bool More;
  {
    std::lock_guard<std::mutex> Guard(TlsLock);
    More = FTls && FTls->Pending() > 0;
  }
  if (More) PostMessage(WM_ICS_DATA_AVAILABLE, 0, 0);
}
