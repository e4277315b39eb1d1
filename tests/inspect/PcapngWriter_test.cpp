// The pcapng writer: a session of two connections and a reconnect, read back block by block and by
// the tools testers open captures with (tshark and tcpdump, which scripts/bootstrap installs).
#include "inspect/PcapngWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/smpp/PduTestUtil.h"

namespace {

constexpr uint16_t kSmscPort = 2775;
constexpr uint32_t kLoopback = 0x7F000001;

// A data_sm of exactly Size octets, its text in message_payload.
Bytes DataSm(size_t Size, uint32_t Sequence) {
  PduBuilder B;
  B.DeliverHead("4900", "4911").U8(0).U8(0).U8(0);
  const size_t Payload = Size - 16 - B.Body.size() - 4;
  B.U8(0x04).U8(0x24).U8(static_cast<uint8_t>(Payload >> 8)).U8(static_cast<uint8_t>(Payload));
  return B.Raw(Bytes(Payload, 'x')).Finish(0x103, Sequence);
}

constexpr size_t kBurst = 17;

// Writes a transmitter and a receiver session, the transmitter closed and bound again from a new
// port; returns the command ids in the order written.
std::vector<uint32_t> WriteSession(TPcapngWriter& W) {
  const Bytes Bind = Wire("'client' 00 'secret' 00 00 34 00 00 00");
  const Bytes Submit =
      Wire("00 00 00 '4900' 00 01 01 '4911' 00 00 00 00 00 00 00 00 00 00 02 'hi'");
  struct TStep {
    int Connection;  // 0, 1: transmitter, receiver; 2: the transmitter after the reconnect
    bool Outgoing;
    Bytes Pdu;
  };
  const TStep Steps[] = {
      {0, true, PduOf(0x02, 0, 1, Bind)},   {0, false, PduOf(0x80000002, 0, 1, Wire("'smsc' 00"))},
      {1, true, PduOf(0x01, 0, 2, Bind)},   {1, false, PduOf(0x80000001, 0, 2, Wire("'smsc' 00"))},
      {0, true, PduOf(0x04, 0, 3, Submit)}, {0, false, PduOf(0x80000004, 0, 3, Wire("'id1' 00"))},
      {0, true, DataSm(4000, 4)},           {0, false, PduOf(0x80000103, 0, 4, Wire("'id2' 00"))},
      {2, true, PduOf(0x02, 0, 5, Bind)},   {2, false, PduOf(0x80000002, 0, 5, Wire("'smsc' 00"))},
  };
  std::vector<uint32_t> Ids;
  for (const uint16_t Port : {40001, 40002, 40003})
    W.AddConnection({kLoopback, Port, kLoopback, kSmscPort});
  int64_t Time = 1'700'000'000'000'000;
  for (const TStep& S : Steps) {
    if (S.Connection == 2 && Ids.size() == 8) W.CloseConnection(0, Time);
    W.WritePdu(S.Connection, S.Outgoing, Time += 1500, S.Pdu.data(), S.Pdu.size());
    Ids.push_back(GetU32(S.Pdu.data() + 4));
  }
  // A burst the receiver takes in without answering yet, more than one window's worth.
  for (uint32_t Sequence = 1; Sequence <= kBurst; ++Sequence) {
    const Bytes Pdu = DataSm(4000, Sequence);
    W.WritePdu(1, false, Time += 100, Pdu.data(), Pdu.size());
    Ids.push_back(0x103);
  }
  return Ids;
}

// Handshakes of three connections, one closing exchange, the segments of ten PDUs (the data_sm
// takes three) and of the burst, and the receiver's acknowledgement within the burst.
constexpr size_t kPackets = 3 * 3 + 3 + 10 + 2 + kBurst * 3 + 1;

// The session in a temporary file, removed again when the test ends.
struct TCaptureFile {
  TCaptureFile() {
    char Name[] = "/tmp/pcapng_testXXXXXX";
    close(mkstemp(Name));
    Path = Name;
    TPcapngWriter W(Path);
    Ids = WriteSession(W);
    W.Close();
  }
  ~TCaptureFile() {
    if (!getenv("KEEP")) std::remove(Path.c_str());
  }
  std::string Path;
  std::vector<uint32_t> Ids;
};

// A tool's standard output, one string per line; the test fails when the tool is missing or fails.
std::vector<std::string> ToolLines(const std::string& Tool, const std::string& Arguments) {
  if (std::system(("command -v " + Tool + " >/dev/null").c_str()) != 0) {
    ADD_FAILURE() << Tool << " is not installed; scripts/bootstrap installs it";
    return {};
  }
  std::vector<std::string> Lines;
  FILE* Out = popen((Tool + " " + Arguments + " 2>/dev/null").c_str(), "r");
  char Line[4096];
  while (std::fgets(Line, sizeof Line, Out)) Lines.emplace_back(Line, std::strcspn(Line, "\n"));
  EXPECT_EQ(pclose(Out), 0) << Tool << " " << Arguments;
  return Lines;
}

TEST(PcapngWriter, FramesEverySegmentInABlock) {
  std::ostringstream Out;
  TPcapngWriter W(Out);
  WriteSession(W);
  W.Close();
  const std::string S = Out.str();
  const auto U32 = [&](size_t At) {
    uint32_t V;
    std::memcpy(&V, S.data() + At, 4);
    return V;
  };
  std::vector<uint32_t> Types;
  for (size_t At = 0; At + 12 <= S.size();) {
    const uint32_t Total = U32(At + 4);
    ASSERT_TRUE(Total % 4 == 0 && Total >= 12 && At + Total <= S.size()) << "block at " << At;
    EXPECT_EQ(U32(At + Total - 4), Total) << "block at " << At;
    Types.push_back(U32(At));
    At += Total;
  }
  std::vector<uint32_t> Expected = {0x0A0D0D0A, 1};
  Expected.resize(2 + kPackets, 6);
  EXPECT_EQ(Types, Expected);
}

TEST(PcapngWriter, TsharkShowsEveryPduAsSmppWithoutComplaint) {
  const TCaptureFile F;
  // One line per frame: its SMPP command ids, whether it is malformed and the severities of its
  // expert messages, the checksums checked (Wireshark does not by default). The handshake and the
  // closing exchange are remarked on as chats and notes; warnings and errors would be faults.
  const std::vector<std::string> Lines =
      ToolLines("tshark", "-r " + F.Path +
                              " -o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE"
                              " -d tcp.port==" +
                              std::to_string(kSmscPort) +
                              ",smpp -T fields -E separator=';'"
                              " -e smpp.command_id -e _ws.malformed -e _ws.expert.severity");
  ASSERT_EQ(Lines.size(), kPackets);
  constexpr unsigned long kWarning = 0x00600000;
  std::vector<uint32_t> Ids;
  for (const std::string& L : Lines) {
    std::istringstream In(L);
    std::string Id, Malformed, Severity;
    std::getline(std::getline(std::getline(In, Id, ';'), Malformed, ';'), Severity);
    if (!Id.empty()) Ids.push_back(static_cast<uint32_t>(std::stoul(Id, nullptr, 16)));
    EXPECT_EQ(Malformed, "") << L;
    for (std::istringstream List(Severity); std::getline(List, Severity, ',');)
      EXPECT_LT(std::stoul(Severity), kWarning) << L;
  }
  EXPECT_EQ(Ids, F.Ids);
}

TEST(PcapngWriter, TcpdumpReadsEveryPacket) {
  const TCaptureFile F;
  EXPECT_EQ(ToolLines("tcpdump", "-nr " + F.Path).size(), kPackets);
}

TEST(PcapngWriter, FilesThatCannotBeWrittenThrowTheReason) {
  const struct {
    const char* Path;
    const char* Reason;
  } Cases[] = {{"/nonexistent/trace.pcapng", "No such file or directory"},
               {"/dev/full", "No space left on device"}};
  for (const auto& C : Cases) {
    try {
      TPcapngWriter W(C.Path);
      WriteSession(W);
      W.Close();
      ADD_FAILURE() << C.Path << " was written";
    } catch (const std::runtime_error& E) {
      EXPECT_EQ(
          std::string(E.what()).find(std::string(C.Path) + ": " + C.Reason) != std::string::npos,
          true)
          << E.what();
    }
  }
}

}  // namespace
