// The client component over TLS against the local SMSC started with --tls (the npm package smpp
// on Node's tls module): both binds, send and receipt, MO, enquire_link, the framing torture cases
// (one byte per TLS record, many PDUs in one record) and unbind; then the refusals, each with its
// report line, a retry, and a client that goes away at once.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "tests/ClientReports.h"
#include "tests/TlsTestPki.h"
#include "tests/interop/CliRun.h"
#include "tests/interop/SmscProcess.h"
#include "tests/net/SocketTestSupport.h"

using namespace std::chrono_literals;
using smpptest::SmscProcess;

namespace {

std::vector<std::string> TlsSmscArgs(bool Rogue = false) {
  const auto& Pki = tlstest::Pki();
  return {"--tls", "--cert", Rogue ? Pki.RogueCert : Pki.CertFile, "--key",
          Rogue ? Pki.RogueKey : Pki.KeyFile};
}

void AimAt(TSmppClient& Client, uint16_t Port) {
  Client.ClientInfo().SetHost("127.0.0.1");
  Client.ClientInfo().SetPort(Port);
  Client.ClientInfo().SetUserID("tester");
  Client.ClientInfo().SetPassword("pw");
  Client.ClientInfo().SetUseTLS(true);
  Client.ClientInfo().SetTLSCAFile(tlstest::Pki().CAFile);
}

// deliver_sm, sequence number 123, from 1111 to 2222, text "hi".
const char* const kDeliverHi =
    "0000002b00000005000000000000007b"
    "000000313131310000003232323200000000000000000000026869";

}  // namespace

TEST(ClientOverTls, BindsSendsReceivesAndUnbinds) {
  ASSERT_TRUE(tlstest::Pki().Ok) << tlstest::Pki().Error;
  SmscProcess Smsc(TlsSmscArgs());
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  auto Client = std::make_unique<TSmppClient>(nullptr);
  ClientReports Reports(*Client);
  UseShortTimers(*Client);
  AimAt(*Client, Smsc.port());
  Client->Connect();
  ASSERT_TRUE(Reports.waitFor(On::Rcx, "bind Rcx OK")) << Reports.dump() << Smsc.joinedLines();
  ASSERT_TRUE(Reports.waitFor(On::Tcx, "bind Tcx OK")) << Reports.dump();
  EXPECT_EQ(Client->Rcx().Socket()->WorkerThread()->TlsActive(), true);

  // A submit, its queue id and its receipt.
  ASSERT_GT(Client->Send("1234", "5551234", "", "over tls"), 0);
  const auto Queued = Reports.waitFor(On::Tcx, "+IN_QUEUE ID=");
  ASSERT_TRUE(Queued) << Reports.dump();
  EXPECT_TRUE(Reports.waitFor(On::Rcx, "+QUERY_RES " + Queued->substr(13) + ":2:000"))
      << Reports.dump();

  // MO messages: one whose every byte came in a TLS record of its own, then 50 in one record.
  size_t From = Reports.mark();
  Smsc.send(std::string("trickle ") + kDeliverHi);
  ASSERT_TRUE(Reports.waitFor(On::Rcx, "+DELIVER ", From)) << Reports.dump();
  EXPECT_NE(Reports.waitFor(On::Rcx, "+DELIVER ", From)->find(":1111:2222:hi"), std::string::npos);
  EXPECT_TRUE(Smsc.waitFor("deliver_sm_resp", {"seq=123", "status=0"})) << Smsc.joinedLines();
  From = Reports.mark();
  Smsc.send("burst 50 1111 2222");
  EXPECT_TRUE(Reports.waitCount(On::Rcx, "+DELIVER ", 51)) << Reports.dump();
  EXPECT_TRUE(Reports.waitFor(On::Rcx, "+DELIVER ", From)) << Reports.dump();

  // Keep-alive both ways: the client's enquire_link reaches the SMSC and is answered.
  EXPECT_TRUE(Smsc.waitFor("enquire_link ", {}, 0, 10s)) << Smsc.joinedLines();

  Client->Disconnect();
  EXPECT_TRUE(Reports.waitFor(On::Rcx, "rcx disconnected"));
  EXPECT_TRUE(Smsc.waitFor("unbind ", {}, 0, 10s)) << Smsc.joinedLines();
  EXPECT_TRUE(sockettest::WaitUntil([&] {
    return Client->Rcx().Socket()->State() == wsClosed &&
           Client->Tcx().Socket()->State() == wsClosed;
  }));
  EXPECT_FALSE(Smsc.waitFor("tls_error", {}, 0, 0ms)) << Smsc.joinedLines();
}

TEST(ClientOverTls, RefusalsAreReportedRetriedAndNeverHang) {
  ASSERT_TRUE(tlstest::Pki().Ok) << tlstest::Pki().Error;
  enum TPeer { pTlsSmsc, pRogueTlsSmsc, pPlainSmsc, pStall };
  struct TCase {
    const char* Name;
    TPeer Peer;
    bool ClientTls;
    std::string ServerName;
    std::string Line;  // start of the expected receiver line
  } Cases[] = {
      {"untrusted certificate", pRogueTlsSmsc, true, "",
       "Rcx TLS handshake failed: certificate verify failed ("},
      {"wrong host name", pTlsSmsc, true, "wrong.example",
       "Rcx TLS handshake failed: certificate verify failed (hostname mismatch)"},
      {"plain-TCP SMSC answered with TLS", pPlainSmsc, true, "", "Rcx TLS handshake failed: "},
      {"TLS SMSC answered with plain TCP", pTlsSmsc, false, "",
       "Rcx closed by the SMSC before the bind answer (does the SMSC want TLS?)"},
      {"peer stalls in the handshake", pStall, true, "",
       "Rcx TLS handshake failed: no answer within 300 ms"},
  };
  for (const TCase& K : Cases) {
    SCOPED_TRACE(K.Name);
    std::unique_ptr<SmscProcess> Smsc;
    std::unique_ptr<sockettest::TPlainListener> Stall;
    uint16_t Port;
    if (K.Peer == pStall) {
      // Connections complete in the listener's backlog and are never answered.
      Stall = std::make_unique<sockettest::TPlainListener>();
      Port = Stall->Port;
    } else {
      Smsc = std::make_unique<SmscProcess>(
          K.Peer == pPlainSmsc ? std::vector<std::string>{} : TlsSmscArgs(K.Peer == pRogueTlsSmsc));
      ASSERT_TRUE(Smsc->start()) << Smsc->error();
      Port = Smsc->port();
    }
    auto Client = std::make_unique<TSmppClient>(nullptr);
    ClientReports Reports(*Client);
    UseShortTimers(*Client);
    AimAt(*Client, Port);
    Client->ClientInfo().SetUseTLS(K.ClientTls);
    Client->ClientInfo().SetTLSServerName(K.ServerName);
    Client->TLSHandshakeTimeoutMs = 300;
    Client->Connect();
    if (K.ClientTls) {
      // The reason, then the retry line, and again on the next attempt.
      ASSERT_TRUE(Reports.waitCount(On::Rcx, K.Line, 2)) << Reports.dump();
      ASSERT_TRUE(Reports.waitCount(On::Tcx, "T" + K.Line.substr(1), 2)) << Reports.dump();
      EXPECT_GT(Reports.waitFor(On::Rcx, K.Line)->size(),
                std::string("Rcx TLS handshake failed: ").size());
      EXPECT_TRUE(Reports.waitCount(On::Rcx, "Rcx try Connect in 5 sec", 2)) << Reports.dump();
      EXPECT_TRUE(Reports.waitCount(On::Tcx, "Tcx try Connect in 5 sec", 2)) << Reports.dump();
      EXPECT_EQ(Reports.count(On::Rcx, "bind Rcx OK"), 0u);
    } else {
      // Our bind is not TLS: the SMSC drops the connection without a word, which is reported
      // after the connection's own line and made again; it never binds, and the SMSC says why.
      ASSERT_TRUE(Reports.waitCount(On::Rcx, K.Line, 2, 20s)) << Reports.dump();
      ASSERT_TRUE(Reports.waitCount(On::Tcx, "T" + K.Line.substr(1), 2, 20s)) << Reports.dump();
      for (const On Conn : {On::Rcx, On::Tcx}) {
        const std::string Name = Conn == On::Rcx ? "Rcx" : "Tcx";
        size_t Connected = 0, Closed = 0;
        ASSERT_TRUE(Reports.waitFor(Conn, Name + " Connected.", 0, 0ms, &Connected));
        ASSERT_TRUE(Reports.waitFor(Conn, Name + " closed by", 0, 0ms, &Closed));
        EXPECT_LT(Connected, Closed) << Reports.dump();
      }
      EXPECT_TRUE(Smsc->waitFor("tls_error", {}, 0, 10s)) << Smsc->joinedLines();
      EXPECT_EQ(Reports.count(On::Rcx, "bind Rcx OK"), 0u);
    }
    const auto Start = std::chrono::steady_clock::now();
    Client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 1s);
  }
}

TEST(ClientOverTls, SmppcliTlsOptions) {
  const auto& Pki = tlstest::Pki();
  ASSERT_TRUE(Pki.Ok) << Pki.Error;
  SmscProcess Good(TlsSmscArgs()), Rogue(TlsSmscArgs(true));
  ASSERT_TRUE(Good.start()) << Good.error();
  ASSERT_TRUE(Rogue.start()) << Rogue.error();
  const std::string GoodPort = std::to_string(Good.port());
  const std::string RoguePort = std::to_string(Rogue.port());
  struct TCase {
    std::vector<std::string> Args;
    int Status;
    std::vector<std::string> Says;
  } Cases[] = {
      {{"--port", GoodPort, "--tls", "--tls-ca", Pki.CAFile}, 0, {"+QUERY_RES "}},
      {{"--port", GoodPort, "--tls"}, 1, {"TLS handshake failed: certificate verify failed"}},
      {{"--port", GoodPort}, 1, {"closed by the SMSC before the bind answer (does the SMSC want"}},
      {{"--port", RoguePort, "--tls", "--tls-ca", Pki.CAFile},
       1,
       {"TLS handshake failed: certificate verify failed"}},
      {{"--port", RoguePort, "--tls", "--tls-insecure"},
       0,
       {"WARNING: --tls-insecure", "+QUERY_RES "}},
      {{"--port", GoodPort, "--tls-insecure"}, 2, {"--tls-ca and --tls-insecure need --tls"}},
      {{"--port", GoodPort, "--tls", "--tls-ca", "/nonexistent.pem"}, 2, {"cannot read"}},
  };
  for (const TCase& K : Cases) {
    std::vector<std::string> Args = K.Args;
    Args.insert(Args.end(), {"--wait", "10"});
    const smpptest::CliRun R = smpptest::RunCli(Args);
    SCOPED_TRACE(R.out);
    EXPECT_EQ(R.status, K.Status);
    for (const std::string& S : K.Says) EXPECT_NE(R.out.find(S), std::string::npos) << S;
  }
}
