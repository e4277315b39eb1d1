// TLS on a socket's stream: the settings a socket hands to its worker with each Connect, and
// TIcsTlsSession, the client side of one TLS connection over a connected, non-blocking OS socket
// (OpenSSL 3). The session never waits: every step that needs the network answers "want read"
// or "want write", and the worker retries it when its wait finds the socket ready.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// How long a TLS handshake may take before it fails, in milliseconds, unless the socket says
// otherwise.
constexpr int32_t IcsTlsHandshakeTimeoutMs = 10000;

// The TLS settings of a connection. Off by default.
struct TIcsTlsSettings {
  bool UseTLS = false;
  // Check the peer's certificate chain and its name; off accepts any certificate.
  bool VerifyPeer = true;
  // PEM file of the certificate authorities to trust; the system's store when empty.
  std::string CAFile;
  // The name sent for SNI and checked against the certificate; the connection's host when
  // empty. An IPv4 address is checked against the certificate's IP addresses (and not sent as
  // SNI, which carries host names only).
  std::string ServerName;
  int32_t HandshakeTimeoutMs = IcsTlsHandshakeTimeoutMs;
};

// Starts OpenSSL (once; any thread).
void IcsTlsInit();

// Frees what OpenSSL keeps for the calling thread (its error queue, its random generators). A
// worker thread calls it when its loop ends.
void IcsTlsThreadStop();

// The outcome of a step that may need the network.
enum class TIcsTlsStep { tsDone, tsWantRead, tsWantWrite, tsClosed, tsFailed };

// One TLS client connection. Not thread-safe: its owner serialises the calls (the worker holds
// its TlsLock around each). It never owns or closes the OS socket.
class TIcsTlsSession {
 public:
  // Builds the context and the connection for the connected socket Fd. Host is the connection's
  // host text, used when Settings.ServerName is empty. Null with Reason set when the settings
  // cannot be applied (for example a CA file that cannot be read).
  static std::unique_ptr<TIcsTlsSession> Create(int Fd, const TIcsTlsSettings& Settings,
                                                const std::string& Host, std::string& Reason);
  ~TIcsTlsSession();
  TIcsTlsSession(const TIcsTlsSession&) = delete;
  TIcsTlsSession& operator=(const TIcsTlsSession&) = delete;

  // One step of the handshake: tsDone, tsWantRead, tsWantWrite, or tsFailed/tsClosed with
  // Reason() and ErrorCode() set.
  TIcsTlsStep Handshake();
  // Reads decrypted bytes: the count; 0 at the end of the stream (close_notify, or the peer
  // closed the connection); -1 with errno EAGAIN when nothing can be read now, or -1 with
  // Reason() set after a failure.
  int32_t Read(void* Buffer, int32_t Size);
  // Makes the next record available without taking anything: the decrypted bytes ready to be
  // read (0 when none yet), or -1 at the end of the stream or after a failure (Ended() tells the
  // two apart from "none yet").
  int32_t Available();
  // Encrypts and writes up to Length bytes: the count taken (one record at most per call);
  // -1 with errno EAGAIN when the socket takes nothing now; -1 with ErrorCode() and Reason()
  // after a failure.
  int32_t Write(const void* Data, int32_t Length);
  // Decrypted bytes buffered inside OpenSSL, ready to be read without touching the socket.
  int32_t Pending() const;
  // Sends close_notify once, without waiting for the peer's. Nothing after a failure.
  void Shutdown();

  // True once the peer ended the stream or the connection failed.
  bool Ended() const { return FEnded; }
  // The reason of the last failure, in OpenSSL's words ("certificate verify failed
  // (unable to get local issuer certificate)"), and an OS-style error code for it: the OS error
  // when the socket failed, EPROTO for a TLS failure, ECONNRESET when the peer closed.
  const std::string& Reason() const { return FReason; }
  int32_t ErrorCode() const { return FErrorCode; }
  // The protocol version agreed ("TLSv1.3"), for trace lines.
  std::string Version() const;

 private:
  TIcsTlsSession() = default;
  // Classifies the result R of an SSL call; records the failure when it is one.
  TIcsTlsStep Classify(int R, const char* What);

  struct TCtxFree {
    void operator()(void* P) const;
  };
  struct TSslFree {
    void operator()(void* P) const;
  };
  std::unique_ptr<void, TCtxFree> FCtx;  // SSL_CTX
  std::unique_ptr<void, TSslFree> FSsl;  // SSL
  bool FEnded = false;
  bool FBroken = false;  // a fatal error: no close_notify may follow
  bool FShutdownSent = false;
  bool FHandshakeDone = false;
  std::string FReason;
  int32_t FErrorCode = 0;
};
