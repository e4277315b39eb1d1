// End-to-end tests of the built smsc_adversary: its log against the bytes that really crossed the
// connection, every way it stops (log flushed, exit 0), its refusal of bad options, and a field
// report reproduced with smppcli against it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "../interop/CliRun.h"
#include "../interop/SmscProcess.h"
#include "SmscTestUtil.h"

namespace {

using namespace smsctest;
using namespace std::chrono_literals;

const std::string kAdversary = std::string(SMPP_BINARY_DIR) + "/tools/smsc_adversary";

// A file name under the test's temporary folder, removed at the end of the test.
struct TTempFile {
  explicit TTempFile(const char* Stem) {
    char Dir[] = "/tmp/adversary_test_XXXXXX";
    Folder = mkdtemp(Dir);
    Path = Folder + "/" + Stem;
  }
  ~TTempFile() {
    std::remove(Path.c_str());
    rmdir(Folder.c_str());
  }
  std::string Folder, Path;
};

// A blocking loopback client of the adversary.
class TRawClient {
 public:
  explicit TRawClient(uint16_t Port) {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    A.sin_port = htons(Port);
    Connected = ::connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
  }
  ~TRawClient() { ::close(Fd); }
  void Send(const std::string& Bytes) {
    Sent += Bytes;
    ASSERT_EQ(::send(Fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(Bytes.size()));
  }
  // Reads until Count whole PDUs have come (or 10 s pass) and gives them.
  std::vector<TOut> Read(size_t Count) {
    const auto End = std::chrono::steady_clock::now() + 10s;
    while (Split(Received).size() < Count && std::chrono::steady_clock::now() < End) {
      pollfd P{Fd, POLLIN, 0};
      if (::poll(&P, 1, 100) != 1) continue;
      char Buf[4096];
      const ssize_t N = ::recv(Fd, Buf, sizeof Buf, 0);
      if (N <= 0) break;
      Received.append(Buf, static_cast<size_t>(N));
      // A PDU may still be coming in pieces; Split needs whole ones.
      size_t At = 0;
      while (At + 16 <= Received.size() && At + Get32(Received, At) <= Received.size())
        At += Get32(Received, At);
      if (At != Received.size()) continue;
    }
    return Split(Received);
  }
  int Fd = -1;
  bool Connected = false;
  std::string Sent, Received;
};

struct TLogLine {
  int64_t Ns = 0;
  uint32_t Conn = 0;
  std::string Dir, Id, Status;
  uint32_t Seq = 0;
  std::string Hex;
};

std::vector<TLogLine> ReadLog(const std::string& Path) {
  std::vector<TLogLine> Lines;
  std::ifstream In(Path);
  std::string Line;
  while (std::getline(In, Line)) {
    std::istringstream S(Line);
    TLogLine L;
    S >> L.Ns >> L.Conn >> L.Dir >> L.Id >> L.Status >> L.Seq >> L.Hex;
    EXPECT_FALSE(S.fail()) << Line;
    Lines.push_back(L);
  }
  return Lines;
}

std::string Hex(const std::string& Bytes) {
  std::string H;
  char B[3];
  for (unsigned char C : Bytes) {
    std::snprintf(B, sizeof B, "%02x", C);
    H += B;
  }
  return H;
}

TEST(Adversary, LogHoldsEveryByteThatCrossedTheConnection) {
  TTempFile Log("pdus.log");
  smpptest::SmscProcess Smsc({"--log", Log.Path, "--answer-twice", "--stray-receipts", "1"});
  Smsc.useAdversary();
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  {
    TRawClient C(Smsc.port());
    ASSERT_TRUE(C.Connected);
    C.Send(BindPdu(0x00000009, 1, "acct"));
    ASSERT_EQ(C.Read(2).size(), 2u);  // bind_transceiver_resp, the stray receipt
    // Two submits and an enquire_link in one write, the last submit cut in two writes.
    const std::string Second = SubmitPdu(3, 0);
    C.Send(SubmitPdu(2) + Second.substr(0, 20));
    C.Send(Second.substr(20) + Pdu(0x00000015, 4));
    const auto Got = C.Read(2 + 2 + 1 + 2 + 1);
    ASSERT_EQ(Got.size(), 8u);
    C.Send(Pdu(0x80000005, 1, Z("")) + Pdu(0x80000005, 2, Z("")));  // deliver_sm_resp
    C.Send(Pdu(0x00000006, 5));
    C.Read(9);
    EXPECT_EQ(Smsc.stop(), 0);

    const auto Lines = ReadLog(Log.Path);
    std::string In, Out;
    int64_t Last = 0;
    for (const auto& L : Lines) {
      EXPECT_EQ(L.Conn, 1u);
      EXPECT_GE(L.Ns, Last);
      Last = L.Ns;
      // The header fields agree with the bytes.
      EXPECT_EQ(L.Id, "0x" + L.Hex.substr(8, 8));
      EXPECT_EQ(L.Status, "0x" + L.Hex.substr(16, 8));
      EXPECT_EQ(L.Seq, std::stoul(L.Hex.substr(24, 8), nullptr, 16));
      (L.Dir == "in" ? In : Out) += L.Hex;
    }
    EXPECT_EQ(In, Hex(C.Sent));
    EXPECT_EQ(Out, Hex(C.Received));
    EXPECT_EQ(Lines.size(), 7u + 9u);
  }
}

TEST(Adversary, EveryStopFlushesTheLogAndExitsCleanly) {
  const struct {
    const char* Name;
    std::vector<std::string> Extra;
    std::function<void(smpptest::SmscProcess&)> Stop;
  } Cases[] = {
      {"quit", {}, [](smpptest::SmscProcess& P) { P.send("quit"); }},
      {"SIGTERM", {}, [](smpptest::SmscProcess& P) { kill(P.pid(), SIGTERM); }},
      {"SIGINT", {}, [](smpptest::SmscProcess& P) { kill(P.pid(), SIGINT); }},
      {"max-seconds", {"--max-seconds", "0.5"}, [](smpptest::SmscProcess&) {}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TTempFile Log("stop.log");
    std::vector<std::string> Args = {"--log", Log.Path, "--receipt-delay", "60000"};
    Args.insert(Args.end(), C.Extra.begin(), C.Extra.end());
    smpptest::SmscProcess Smsc(Args);
    Smsc.useAdversary();
    ASSERT_TRUE(Smsc.start()) << Smsc.error();
    TRawClient Client(Smsc.port());
    Client.Send(BindPdu(0x00000009, 1, "acct") + SubmitPdu(2));
    ASSERT_EQ(Client.Read(2).size(), 2u);  // a receipt is still waiting when the stop comes
    C.Stop(Smsc);
    // The end of the stream: the adversary has gone.
    char Byte;
    pollfd P{Client.Fd, POLLIN, 0};
    ASSERT_EQ(::poll(&P, 1, 10000), 1);
    EXPECT_LE(::recv(Client.Fd, &Byte, 1, 0), 0);
    const int Status = Smsc.stop();
    EXPECT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0);
    EXPECT_EQ(ReadLog(Log.Path).size(), 4u);
  }
}

TEST(Adversary, RefusesBadOptionsWithStatusTwo) {
  const std::vector<std::vector<std::string>> Cases = {
      {"--port", "70000"},
      {"--max-seconds", "0"},
      {"--max-seconds", "1e12"},
      {"--phantom", "1-2000000"},
      {"--states", "NOT OK:1"},
      {"--refuse-bind", "0xZZ"},
      {"--close-after", "0"},
      {"--phantom", "5-2"},
      {"--phantom", "3"},
      {"--nack-submit-every", "3"},
      {"--reject-every", "0:0x45"},
      {"--ids", "octal"},
      {"--states", "DELIVRD"},
      {"--states", "DELIVRD:0"},
      {"--enroute-as", "final"},
      {"--multi-receipts", "all"},
      {"--bad-deliver", "short"},
      {"--mo-rate", "-1"},
      {"--no-such-option"},
      {"--log"},
      {"stray"},
  };
  for (const auto& Args : Cases) {
    std::string Cmd = kAdversary;
    for (const auto& A : Args) Cmd += " '" + A + "'";
    SCOPED_TRACE(Cmd);
    const int Status = std::system((Cmd + " </dev/null >/dev/null 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 2);
  }
  for (const char* Good : {"--help", "--version"}) {
    const int Status = std::system((kAdversary + " " + Good + " </dev/null >/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(Status), 0) << Good;
  }
}

// A field report, "every 10th submit is answered twice and every 25th rejected with 0x45",
// reproduced: smppcli's figures against the adversary's log.
TEST(Adversary, SmppcliAgainstAFieldReport) {
  TTempFile Log("field.log");
  smpptest::SmscProcess Smsc({"--log", Log.Path, "--reject-every", "25:0x45"});
  Smsc.useAdversary();
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  const auto Run = smpptest::RunCli(
      {"--port", std::to_string(Smsc.port()), "--count", "100", "--quiet", "--wait", "10"});
  EXPECT_NE(Run.out.find("answered 100 (rejected 4), receipts 96"), std::string::npos) << Run.out;
  EXPECT_EQ(Smsc.stop(), 0);
  size_t Rejected = 0, Receipts = 0, Submits = 0;
  for (const auto& L : ReadLog(Log.Path)) {
    Submits += L.Dir == "in" && L.Id == "0x00000004";
    Rejected += L.Dir == "out" && L.Id == "0x80000004" && L.Status == "0x00000045";
    Receipts += L.Dir == "out" && L.Id == "0x00000005";
  }
  EXPECT_EQ(Submits, 100u);
  EXPECT_EQ(Rejected, 4u);
  EXPECT_EQ(Receipts, 96u);
}

}  // namespace
