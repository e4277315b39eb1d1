// The socket component over TLS against a loopback peer made here with OpenSSL's server side:
// the handshake's place in the event order, the decrypted stream both ways (records of one byte,
// records bigger than a read, bytes left inside OpenSSL), close_notify both ways, refused
// handshakes with their reasons, and a Close that ends a stalled handshake at once.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/IcsSocket.h"
#include "tests/TlsTestPki.h"
#include "tests/net/SocketTestSupport.h"

using namespace sockettest;

namespace {

// The server side of one TLS connection on an accepted (blocking) descriptor.
struct TTlsServer {
  SSL_CTX* Ctx = nullptr;
  SSL* Ssl = nullptr;
  int Fd = -1;
  TTlsServer(int AFd, const std::string& Cert, const std::string& Key) : Fd(AFd) {
    Ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(Ctx, Cert.c_str());
    SSL_CTX_use_PrivateKey_file(Ctx, Key.c_str(), SSL_FILETYPE_PEM);
    Ssl = SSL_new(Ctx);
    SSL_set_fd(Ssl, Fd);
  }
  ~TTlsServer() {
    SSL_free(Ssl);
    SSL_CTX_free(Ctx);
    if (Fd >= 0) ::close(Fd);
  }
  bool Accept() { return SSL_accept(Ssl) == 1; }
  bool Write(const std::string& Data) {
    return SSL_write(Ssl, Data.data(), static_cast<int>(Data.size())) ==
           static_cast<int>(Data.size());
  }
  // Reads until N bytes came or the stream ended.
  std::string Read(size_t N) {
    std::string Out;
    char Buf[16384];
    while (Out.size() < N) {
      const int R = SSL_read(Ssl, Buf, static_cast<int>(std::min(sizeof Buf, N - Out.size())));
      if (R <= 0) break;
      Out.append(Buf, R);
    }
    return Out;
  }
  // True when the next read finds the peer's close_notify.
  bool ReadsCloseNotify() {
    char B;
    const int R = SSL_read(Ssl, &B, 1);
    return R == 0 && SSL_get_error(Ssl, R) == SSL_ERROR_ZERO_RETURN;
  }
};

void SetReceiveTimeout(int Fd, int Seconds) {
  timeval T{Seconds, 0};
  ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &T, sizeof T);
}

// A TLS socket aimed at 127.0.0.1:Port that records its events and gathers what it receives,
// reading at most 1000 bytes per event (so that decrypted bytes stay behind inside OpenSSL).
struct TTlsClient {
  TEventLog Log;
  std::mutex Lock;  // guards Received
  std::string Received;
  TIcsSocket Socket;
  explicit TTlsClient(uint16_t Port) {
    Socket.SetProto("tcp");
    Socket.SetAddr("127.0.0.1");
    Socket.SetPort(std::to_string(Port));
    Socket.UseTLS = true;
    Socket.TLSCAFile = tlstest::Pki().CAFile;
    Socket.OnChangeState = [this](TComponent*, TIcsSocketState O, TIcsSocketState N) {
      Log.Add(std::string(IcsSocketStateName(O)) + "->" + IcsSocketStateName(N));
    };
    Socket.OnSessionConnected = [this](TComponent*, uint16_t Code) {
      Log.Add("connected " + std::to_string(Code));
    };
    Socket.OnSessionClosed = [this](TComponent*, uint16_t Code) {
      Log.Add("closed " + std::to_string(Code));
    };
    Socket.OnDataAvailable = [this](TComponent*, uint16_t) {
      char Buf[1000];
      const int32_t N = std::min<int32_t>(Socket.RcvdCount(), sizeof Buf);
      if (N <= 0) return;
      const int32_t R = Socket.Receive(Buf, N);
      if (R <= 0) return;
      std::lock_guard<std::mutex> Guard(Lock);
      Received.append(Buf, R);
    };
  }
  size_t ReceivedSize() {
    std::lock_guard<std::mutex> Guard(Lock);
    return Received.size();
  }
};

std::string Pattern(size_t N) {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I) S[I] = static_cast<char>('a' + I * 7 % 26);
  return S;
}

}  // namespace

TEST(SocketTls, HandshakeThenDecryptedStreamBothWaysAndCloseNotify) {
  const auto& Pki = tlstest::Pki();
  ASSERT_TRUE(Pki.Ok) << Pki.Error;
  TPlainListener Listener;
  TTlsClient C(Listener.Port);

  for (const bool PeerCloses : {false, true}) {
    SCOPED_TRACE(PeerCloses ? "the peer closes" : "the client closes");
    C.Log.Clear();
    {
      std::lock_guard<std::mutex> Guard(C.Lock);
      C.Received.clear();
    }
    C.Socket.Connect();
    const int Fd = Listener.Accept();
    ASSERT_GE(Fd, 0);
    SetReceiveTimeout(Fd, 20);
    TTlsServer Server(Fd, Pki.CertFile, Pki.KeyFile);
    ASSERT_TRUE(Server.Accept());
    ASSERT_TRUE(C.Log.WaitFor("connected 0"));
    // The session is connected only once the handshake has ended, and the state says so first.
    EXPECT_EQ(C.Log.Snapshot(),
              (std::vector<std::string>{"wsClosed->wsConnecting", "wsConnecting->wsOpened",
                                        "wsOpened->wsConnecting", "wsConnecting->wsConnected",
                                        "connected 0"}));
    EXPECT_TRUE(C.Socket.WorkerThread()->TlsActive());

    // Three records of one byte, then records of 16 KiB that the handler takes 1000 bytes at a
    // time: the rest waits inside OpenSSL, not in the socket, and must still come.
    const std::string Big = Pattern(50000);
    ASSERT_TRUE(Server.Write("a") && Server.Write("b") && Server.Write("c"));
    ASSERT_TRUE(Server.Write(Big.substr(0, 16384)) && Server.Write(Big.substr(16384)));
    ASSERT_TRUE(WaitUntil([&] { return C.ReceivedSize() >= 3 + Big.size(); }));
    {
      std::lock_guard<std::mutex> Guard(C.Lock);
      EXPECT_TRUE(C.Received == "abc" + Big) << C.Received.size();
    }

    const std::string Out = Pattern(100000);
    ASSERT_EQ(C.Socket.Send(Out.data(), static_cast<int32_t>(Out.size())), 100000);
    EXPECT_TRUE(Server.Read(Out.size()) == Out);

    if (PeerCloses) {
      ASSERT_EQ(SSL_shutdown(Server.Ssl), 0);  // our close_notify sent, theirs not yet read
      ASSERT_TRUE(C.Log.WaitFor("closed 0"));
      EXPECT_TRUE(Server.ReadsCloseNotify());
    } else {
      C.Socket.Close();
      EXPECT_TRUE(Server.ReadsCloseNotify());
    }
    ASSERT_TRUE(WaitUntil([&] { return C.Socket.State() == wsClosed; }));
    EXPECT_EQ(C.Log.Count("closed 0"), 1u);
    EXPECT_FALSE(C.Socket.WorkerThread()->TlsActive());
  }
}

TEST(SocketTls, RefusedHandshakesReportTheirReason) {
  const auto& Pki = tlstest::Pki();
  ASSERT_TRUE(Pki.Ok) << Pki.Error;
  enum TPeer { pTls, pRogueTls, pPlainAnswer, pStall };
  struct TCase {
    const char* Name;
    TPeer Peer;
    std::string ServerName;
    bool Verify;
    int Code;             // expected session-connected code (0: success)
    const char* Message;  // expected start of LastErrorMsg
  } Cases[] = {
      {"untrusted certificate", pRogueTls, "", true, EPROTO,
       "TLS handshake failed: certificate verify failed ("},
      {"wrong host name", pTls, "wrong.example", true, EPROTO,
       "TLS handshake failed: certificate verify failed (hostname mismatch)"},
      {"host name that matches", pTls, "localhost", true, 0, ""},
      {"no verification", pRogueTls, "wrong.example", false, 0, ""},
      {"plain-TCP peer", pPlainAnswer, "", true, EPROTO, "TLS handshake failed: "},
      {"stalled peer", pStall, "", true, ETIMEDOUT,
       "TLS handshake failed: no answer within 300 ms"},
  };
  for (const TCase& K : Cases) {
    SCOPED_TRACE(K.Name);
    TPlainListener Listener;
    TTlsClient C(Listener.Port);
    C.Socket.TLSServerName = K.ServerName;
    C.Socket.TLSVerifyPeer = K.Verify;
    C.Socket.TLSHandshakeTimeout = 300;
    C.Socket.Connect();
    const int Fd = Listener.Accept();
    ASSERT_GE(Fd, 0);
    SetReceiveTimeout(Fd, 20);
    std::unique_ptr<TTlsServer> Server;
    if (K.Peer == pTls || K.Peer == pRogueTls) {
      const bool Rogue = K.Peer == pRogueTls;
      Server = std::make_unique<TTlsServer>(Fd, Rogue ? Pki.RogueCert : Pki.CertFile,
                                            Rogue ? Pki.RogueKey : Pki.KeyFile);
      Server->Accept();
    } else if (K.Peer == pPlainAnswer) {
      // An SMSC without TLS answers the hello with a generic_nack and closes.
      const char Nack[16] = {0, 0, 0, 16, char(0x80), 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0};
      ASSERT_EQ(::send(Fd, Nack, sizeof Nack, MSG_NOSIGNAL), 16);
      ::close(Fd);
    }
    ASSERT_TRUE(C.Log.WaitFor("connected " + std::to_string(K.Code)))
        << C.Socket.WorkerThread()->LastErrorMsg();
    if (K.Code == 0) {
      EXPECT_EQ(C.Socket.State(), wsConnected);
    } else {
      EXPECT_EQ(C.Socket.State(), wsClosed);
      EXPECT_EQ(C.Socket.LastError(), K.Code);
      EXPECT_EQ(C.Socket.LastErrorMsg().rfind(K.Message, 0), 0u) << C.Socket.LastErrorMsg();
      EXPECT_GT(C.Socket.LastErrorMsg().size(), std::string("TLS handshake failed: ").size());
    }
    if (K.Peer == pStall) ::close(Fd);
  }
}

TEST(SocketTls, CloseAndDestructionEndAStalledHandshakeAtOnce) {
  ASSERT_TRUE(tlstest::Pki().Ok) << tlstest::Pki().Error;
  TPlainListener Listener;
  for (const bool Destroy : {false, true}) {
    SCOPED_TRACE(Destroy ? "destruction" : "Close");
    auto C = std::make_unique<TTlsClient>(Listener.Port);
    C->Socket.Connect();
    const int Fd = Listener.Accept();  // accepted, and never answered
    ASSERT_GE(Fd, 0);
    ASSERT_TRUE(WaitUntil([&] { return C->Socket.WorkerThread()->TlsActive(); }));
    const auto Start = std::chrono::steady_clock::now();
    if (Destroy) {
      C.reset();
    } else {
      C->Socket.Close();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(1));
    if (!Destroy) {
      EXPECT_TRUE(C->Log.WaitFor("connected " + std::to_string(ECONNABORTED)));
      EXPECT_EQ(C->Socket.State(), wsClosed);
    }
    ::close(Fd);
  }
}

TEST(SocketTls, ASendThatReachesTheWorkerDuringTheHandshakeLeavesLaterSendsTheirWakeUp) {
  const auto& Pki = tlstest::Pki();
  ASSERT_TRUE(Pki.Ok) << Pki.Error;
  TPlainListener Listener;
  TTlsClient C(Listener.Port);
  C.Socket.Connect();
  const int Fd = Listener.Accept();
  ASSERT_GE(Fd, 0);
  SetReceiveTimeout(Fd, 5);
  TWorkerThread* W = C.Socket.WorkerThread();
  ASSERT_TRUE(WaitUntil([&] { return W->TlsActive(); }));
  // The socket refuses to send while it connects, but a Send that passed that check just before
  // the connection was lost and made again reaches the worker during the handshake.
  const std::string Cycle = "(" + std::to_string(W->LoopThreadId()) + ") OpWrite";
  const int64_t Mark = TraceLineCount();
  ASSERT_EQ(W->Send("x", 1), 1);
  ASSERT_TRUE(WaitUntil([&] { return CountTraceSince(Mark, Cycle) > 0; }));
  TTlsServer Server(Fd, Pki.CertFile, Pki.KeyFile);
  SSL_set_num_tickets(Server.Ssl, 0);  // nothing comes after the handshake to wake the worker
  ASSERT_TRUE(Server.Accept());
  ASSERT_TRUE(C.Log.WaitFor("connected 0"));
  // The next Send wakes the worker, which writes both bytes in order.
  ASSERT_EQ(C.Socket.SendStr("y"), 1);
  EXPECT_EQ(Server.Read(2), "xy");
}
