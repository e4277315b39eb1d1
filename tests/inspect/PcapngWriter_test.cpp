// The pcapng writer: a session of two connections and a reconnect, read back block by block and by
// the tools testers open captures with (tshark and tcpdump, which scripts/bootstrap installs).
#include "inspect/PcapngWriter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "tests/CaptureTools.h"
#include "tests/smpp/PduTestUtil.h"

namespace {

using capturetest::OutputOf;
using capturetest::TsharkSmppIds;

constexpr uint16_t kSmscPort = 2775;
constexpr size_t kBurst = 17;
// Handshakes of three connections, one closing exchange, ten PDUs of which the data_sm takes three
// segments, the burst's data_sm likewise, and the receiver's acknowledgement within the burst.
constexpr size_t kPackets = 3 * 3 + 3 + 10 + 2 + kBurst * 3 + 1;

// A data_sm of 4000 octets, its text in message_payload.
Bytes DataSm() {
  Bytes Body = Wire("00 01 01 '4900' 00 01 01 '4911' 00 00 00 00 04 24 0F 7A");
  Body.resize(4000 - 16, 'x');
  return PduOf(0x103, 0, 4, Body);
}

// A transmitter (connection 0) and a receiver (1) bound; the transmitter sends a submit_sm and a
// data_sm, is closed (an empty PDU here) and bound again from a new port (2); then a burst of
// data_sm to the receiver, more than one window's worth. Returns the command ids written.
std::vector<uint32_t> WriteSession(TPcapngWriter& W) {
  const Bytes Bind = Wire("'client' 00 'secret' 00 00 34 00 00 00"), Resp = Wire("'id' 00");
  const Bytes Submit =
      Wire("00 00 00 '4900' 00 01 01 '4911' 00 00 00 00 00 00 00 00 00 00 02 'hi'");
  std::vector<std::tuple<int, bool, Bytes>> Steps = {{0, true, PduOf(0x02, 0, 1, Bind)},
                                                     {0, false, PduOf(0x80000002, 0, 1, Resp)},
                                                     {1, true, PduOf(0x01, 0, 2, Bind)},
                                                     {1, false, PduOf(0x80000001, 0, 2, Resp)},
                                                     {0, true, PduOf(0x04, 0, 3, Submit)},
                                                     {0, false, PduOf(0x80000004, 0, 3, Resp)},
                                                     {0, true, DataSm()},
                                                     {0, false, PduOf(0x80000103, 0, 4, Resp)},
                                                     {0, true, {}},
                                                     {2, true, PduOf(0x02, 0, 5, Bind)},
                                                     {2, false, PduOf(0x80000002, 0, 5, Resp)}};
  Steps.insert(Steps.end(), kBurst, {1, false, DataSm()});
  for (const uint16_t Port : {40001, 40002, 40003})
    W.AddConnection({0x7F000001, Port, 0x7F000001, kSmscPort});
  std::vector<uint32_t> Ids;
  int64_t Time = 1'700'000'000'000'000;
  for (const auto& [Connection, Outgoing, Pdu] : Steps) {
    if (Pdu.empty()) {
      W.CloseConnection(Connection, Time += 1000);
      continue;
    }
    W.WritePdu(Connection, Outgoing, Time += 1000, Pdu.data(), Pdu.size());
    Ids.push_back(GetU32(Pdu.data() + 4));
  }
  return Ids;
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
  for (size_t At = 0, Total; At < S.size(); At += Total) {
    Total = U32(At + 4);
    ASSERT_TRUE(Total % 4 == 0 && Total >= 12 && At + Total <= S.size()) << "block at " << At;
    EXPECT_EQ(U32(At + Total - 4), Total) << "block at " << At;
    Types.push_back(U32(At));
  }
  std::vector<uint32_t> Expected = {0x0A0D0D0A, 1};
  Expected.resize(2 + kPackets, 6);
  EXPECT_EQ(Types, Expected);
}

TEST(PcapngWriter, TsharkAndTcpdumpReadEveryPduAsSmppOverTcp) {
  char Path[] = "/tmp/pcapng_testXXXXXX";
  close(mkstemp(Path));
  std::vector<uint32_t> Written;
  {
    TPcapngWriter W(Path);
    Written = WriteSession(W);
    W.Close();
  }
  EXPECT_EQ(OutputOf("tcpdump -nr " + std::string(Path)).size(), kPackets);
  size_t Frames = 0;
  const std::vector<uint32_t> Ids = TsharkSmppIds(Path, kSmscPort, Frames);
  std::remove(Path);
  EXPECT_EQ(Frames, kPackets);
  EXPECT_EQ(Ids, Written);
}

TEST(PcapngWriter, FilesThatCannotBeWrittenThrowTheReason) {
  const std::pair<std::string, std::string> Cases[] = {
      {"/nonexistent/trace.pcapng", "No such file or directory"},
      {"/dev/full", "No space left on device"}};
  for (const auto& [Path, Reason] : Cases) {
    try {
      TPcapngWriter W(Path);
      WriteSession(W);
      W.Close();
      ADD_FAILURE() << Path << " was written";
    } catch (const std::runtime_error& E) {
      EXPECT_THAT(E.what(), testing::HasSubstr(Path + ": " + Reason));
    }
  }
}

}  // namespace
