// TIcsTlsSession: OpenSSL's client side over a non-blocking socket, through a socket BIO of our
// own that writes with MSG_NOSIGNAL (OpenSSL's socket BIO writes with write(), which raises
// SIGPIPE on a broken connection and would end the program).
#include "net/IcsTls.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

int SockBioWrite(BIO* B, const char* Data, int Length) {
  const int Fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(B)));
  BIO_clear_retry_flags(B);
  const ssize_t R = ::send(Fd, Data, static_cast<size_t>(Length), MSG_NOSIGNAL);
  if (R < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(B);
  return static_cast<int>(R);
}

int SockBioRead(BIO* B, char* Buffer, int Size) {
  const int Fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(B)));
  BIO_clear_retry_flags(B);
  const ssize_t R = ::recv(Fd, Buffer, static_cast<size_t>(Size), 0);
  if (R < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(B);
  // A read of 0 is the end of the stream; OpenSSL asks BIO_CTRL_EOF to tell it apart.
  if (R == 0) BIO_set_flags(B, BIO_FLAGS_IN_EOF);
  return static_cast<int>(R);
}

long SockBioCtrl(BIO* B, int Cmd, long Num, void* Ptr) {
  (void)Num;
  (void)Ptr;
  switch (Cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return BIO_test_flags(B, BIO_FLAGS_IN_EOF) != 0;
    default:
      return 0;
  }
}

int SockBioCreate(BIO* B) {
  BIO_set_init(B, 1);
  return 1;
}

// The method table is made once and lives as long as the process.
BIO_METHOD* SockBioMethod() {
  static BIO_METHOD* const Method = [] {
    BIO_METHOD* M = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ics socket");
    BIO_meth_set_write(M, SockBioWrite);
    BIO_meth_set_read(M, SockBioRead);
    BIO_meth_set_ctrl(M, SockBioCtrl);
    BIO_meth_set_create(M, SockBioCreate);
    return M;
  }();
  return Method;
}

// OpenSSL's reason for the oldest error in this thread's queue, then the queue emptied.
std::string TakeErrorReason() {
  const unsigned long Code = ERR_get_error();
  ERR_clear_error();
  if (Code == 0) return std::string();
  if (const char* R = ERR_reason_error_string(Code)) return R;
  char Buf[256];
  ERR_error_string_n(Code, Buf, sizeof Buf);
  return Buf;
}

SSL* AsSsl(void* P) {
  return static_cast<SSL*>(P);
}

}  // namespace

void IcsTlsInit() {
  OPENSSL_init_ssl(0, nullptr);
}

void IcsTlsThreadStop() {
  OPENSSL_thread_stop();
}

void TIcsTlsSession::TCtxFree::operator()(void* P) const {
  SSL_CTX_free(static_cast<SSL_CTX*>(P));
}

void TIcsTlsSession::TSslFree::operator()(void* P) const {
  SSL_free(static_cast<SSL*>(P));
}

std::unique_ptr<TIcsTlsSession> TIcsTlsSession::Create(int Fd, const TIcsTlsSettings& Settings,
                                                       const std::string& Host,
                                                       std::string& Reason) {
  ERR_clear_error();
  std::unique_ptr<TIcsTlsSession> T(new TIcsTlsSession);
  SSL_CTX* Ctx = SSL_CTX_new(TLS_client_method());
  if (!Ctx) {
    Reason = "cannot make a TLS context: " + TakeErrorReason();
    return nullptr;
  }
  T->FCtx.reset(Ctx);
  SSL_CTX_set_min_proto_version(Ctx, TLS1_2_VERSION);
  // A peer that closes the connection without close_notify ends the stream like one that sends
  // it: SMSCs often just close.
  SSL_CTX_set_options(Ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  // A write may take part of the bytes (one record), and is retried from the send buffer, whose
  // unread bytes may have moved meanwhile.
  SSL_CTX_set_mode(Ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (Settings.VerifyPeer) {
    SSL_CTX_set_verify(Ctx, SSL_VERIFY_PEER, nullptr);
    const int Loaded = Settings.CAFile.empty()
                           ? SSL_CTX_set_default_verify_paths(Ctx)
                           : SSL_CTX_load_verify_locations(Ctx, Settings.CAFile.c_str(), nullptr);
    if (Loaded != 1) {
      Reason = "cannot load the CA file " + Settings.CAFile + ": " + TakeErrorReason();
      return nullptr;
    }
  } else {
    SSL_CTX_set_verify(Ctx, SSL_VERIFY_NONE, nullptr);
  }
  SSL* Ssl = SSL_new(Ctx);
  BIO* Bio = Ssl ? BIO_new(SockBioMethod()) : nullptr;
  if (!Bio) {
    if (Ssl) SSL_free(Ssl);
    Reason = "cannot make a TLS connection: " + TakeErrorReason();
    return nullptr;
  }
  T->FSsl.reset(Ssl);
  BIO_set_data(Bio, reinterpret_cast<void*>(static_cast<intptr_t>(Fd)));
  SSL_set_bio(Ssl, Bio, Bio);
  SSL_set_connect_state(Ssl);

  const std::string Name = Settings.ServerName.empty() ? Host : Settings.ServerName;
  in_addr Ip{};
  const bool IsIp = ::inet_pton(AF_INET, Name.c_str(), &Ip) == 1;
  if (!IsIp && !Name.empty()) SSL_set_tlsext_host_name(Ssl, Name.c_str());
  if (Settings.VerifyPeer && !Name.empty()) {
    const int Set = IsIp ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(Ssl), Name.c_str())
                         : SSL_set1_host(Ssl, Name.c_str());
    if (Set != 1) {
      Reason = "cannot check the server name " + Name + ": " + TakeErrorReason();
      return nullptr;
    }
  }
  return T;
}

TIcsTlsSession::~TIcsTlsSession() = default;

TIcsTlsStep TIcsTlsSession::Classify(int R, const char* What) {
  const int SavedErrno = errno;
  switch (SSL_get_error(AsSsl(FSsl.get()), R)) {
    case SSL_ERROR_WANT_READ:
      errno = EAGAIN;
      return TIcsTlsStep::tsWantRead;
    case SSL_ERROR_WANT_WRITE:
      errno = EAGAIN;
      return TIcsTlsStep::tsWantWrite;
    case SSL_ERROR_ZERO_RETURN:
      FEnded = true;
      FErrorCode = ECONNRESET;
      FReason = "connection closed by the peer";
      return TIcsTlsStep::tsClosed;
    case SSL_ERROR_SYSCALL: {
      FEnded = FBroken = true;
      std::string Text = TakeErrorReason();
      if (!Text.empty()) {
        FErrorCode = EPROTO;
        FReason = Text;
      } else if (SavedErrno != 0) {
        FErrorCode = SavedErrno;
        FReason = std::strerror(SavedErrno);
      } else {
        FErrorCode = ECONNRESET;
        FReason = "connection closed by the peer";
      }
      break;
    }
    default: {
      FEnded = FBroken = true;
      FErrorCode = EPROTO;
      FReason = TakeErrorReason();
      if (FReason.empty()) FReason = std::string(What) + " failed";
      const long Verify = SSL_get_verify_result(AsSsl(FSsl.get()));
      if (Verify != X509_V_OK)
        FReason += std::string(" (") + X509_verify_cert_error_string(Verify) + ")";
      break;
    }
  }
  errno = SavedErrno;
  return TIcsTlsStep::tsFailed;
}

TIcsTlsStep TIcsTlsSession::Handshake() {
  ERR_clear_error();
  const int R = SSL_do_handshake(AsSsl(FSsl.get()));
  if (R == 1) {
    FHandshakeDone = true;
    return TIcsTlsStep::tsDone;
  }
  return Classify(R, "handshake");
}

int32_t TIcsTlsSession::Read(void* Buffer, int32_t Size) {
  if (FEnded) return FBroken ? -1 : 0;
  if (Size <= 0) return 0;
  ERR_clear_error();
  const int R = SSL_read(AsSsl(FSsl.get()), Buffer, Size);
  if (R > 0) return R;
  switch (Classify(R, "read")) {
    case TIcsTlsStep::tsClosed:
      return 0;
    case TIcsTlsStep::tsFailed:
      errno = ECONNRESET;
      return -1;
    default:
      return -1;  // errno EAGAIN
  }
}

int32_t TIcsTlsSession::Available() {
  if (FEnded) return -1;
  if (const int32_t N = Pending(); N > 0) return N;
  ERR_clear_error();
  char Byte;
  const int R = SSL_peek(AsSsl(FSsl.get()), &Byte, 1);
  if (R > 0) return Pending() > 0 ? Pending() : R;
  const TIcsTlsStep Step = Classify(R, "read");
  return Step == TIcsTlsStep::tsClosed || Step == TIcsTlsStep::tsFailed ? -1 : 0;
}

int32_t TIcsTlsSession::Write(const void* Data, int32_t Length) {
  if (FBroken) {
    errno = ECONNRESET;
    return -1;
  }
  if (Length <= 0) return 0;
  ERR_clear_error();
  const int R = SSL_write(AsSsl(FSsl.get()), Data, Length);
  if (R > 0) return R;
  const TIcsTlsStep Step = Classify(R, "write");
  if (Step == TIcsTlsStep::tsWantRead || Step == TIcsTlsStep::tsWantWrite) return -1;  // EAGAIN
  // A close_notify received does not stop our side from writing in TLS, but a peer that sent it
  // is going away; a write that fails now fails for the connection.
  FBroken = true;
  if (FErrorCode == 0) FErrorCode = ECONNRESET;
  errno = FErrorCode;
  return -1;
}

int32_t TIcsTlsSession::Pending() const {
  return SSL_pending(AsSsl(FSsl.get()));
}

void TIcsTlsSession::Shutdown() {
  // Before the handshake has ended there is no session to close: the socket just goes.
  if (FBroken || FShutdownSent || !FHandshakeDone) return;
  FShutdownSent = true;
  ERR_clear_error();
  // One call sends our close_notify (or queues it, when the socket takes nothing now); the
  // peer's answer is not waited for.
  SSL_shutdown(AsSsl(FSsl.get()));
  ERR_clear_error();
}

std::string TIcsTlsSession::Version() const {
  return SSL_get_version(AsSsl(FSsl.get()));
}
