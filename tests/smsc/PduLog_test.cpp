// Tests of the PDU log's lines, made from the raw bytes: one line per PDU whatever the bytes
// say, and a file that holds every line once the log is closed.
#include "smsc/PduLog.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "SmscTestUtil.h"

namespace {

using namespace smsctest;

TEST(PduLog, OneLinePerPieceFromTheRawBytes) {
  const struct {
    const char* Name;
    std::string Bytes;
    bool In;
    const char* Expected;
  } Cases[] = {
      {"one PDU", Pdu(0x00000015, 7), true,
       "123 4 in 0x00000015 0x00000000 7 00000010000000150000000000000007\n"},
      {"two PDUs of one write", Pdu(0x80000004, 1, Z("ab"), 0x45) + Pdu(0x80000015, 4294967295u),
       false,
       "123 4 out 0x80000004 0x00000045 1 000000138000000400000045000000016162 00\n"
       "123 4 out 0x80000015 0x00000000 4294967295 00000010800000150000000 0ffffffff\n"},
      {"a length past the bytes: cut to them",
       std::string("\0\0\0\x28", 4) + Pdu(0x4, 2, "x").substr(4), true,
       "123 4 in 0x00000004 0x00000000 2 00000028000000040000000000000002 78\n"},
      {"a length below a header: the rest is one piece",
       std::string("\0\0\0\x05\0\0\0\x04xxxxxxxxx", 17), true,
       "123 4 in 0x00000004 0x78787878 2021161080 0000000500000004787878787878787878\n"},
      {"less than a header: the missing fields are 0", std::string("\0\0\0\x20\0\0", 6), true,
       "123 4 in 0x00000000 0x00000000 0 000000200000\n"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::string Out;
    smsc::AppendLogLines(Out, 123, 4, C.In, reinterpret_cast<const uint8_t*>(C.Bytes.data()),
                         C.Bytes.size());
    std::string Expected = C.Expected;
    Expected.erase(std::remove(Expected.begin(), Expected.end(), ' '), Expected.end());
    std::string Got = Out;
    Got.erase(std::remove(Got.begin(), Got.end(), ' '), Got.end());
    EXPECT_EQ(Got, Expected);
    EXPECT_EQ(std::count(Out.begin(), Out.end(), ' '),
              6 * std::count(Out.begin(), Out.end(), '\n'));
  }
}

TEST(PduLog, TheFileHoldsEveryLineOnceClosed) {
  char Dir[] = "/tmp/pdulog_test_XXXXXX";
  ASSERT_NE(mkdtemp(Dir), nullptr);
  const std::string Path = std::string(Dir) + "/log";
  const std::string One = SubmitPdu(1, 1, std::string(200, 'x'));
  {
    smsc::TPduLog Log;
    std::string Error;
    ASSERT_TRUE(Log.Open(Path, Error)) << Error;
    // More than a chunk's worth, so that chunks are handed over and reused.
    for (uint32_t I = 0; I < 40000; ++I)
      Log.Write(I, 1 + I % 3, I % 2 == 0, reinterpret_cast<const uint8_t*>(One.data()), One.size());
    Log.Close();
    Log.Write(0, 1, true, reinterpret_cast<const uint8_t*>(One.data()), One.size());  // dropped
  }
  std::ifstream In(Path);
  std::string Line;
  uint32_t N = 0;
  while (std::getline(In, Line)) {
    std::istringstream S(Line);
    uint64_t Ns = 0;
    uint32_t Conn = 0;
    S >> Ns >> Conn;
    ASSERT_EQ(Ns, N) << "the lines keep the order of the writes";
    ASSERT_EQ(Conn, 1 + N % 3);
    ++N;
  }
  EXPECT_EQ(N, 40000u);
  std::remove(Path.c_str());
  rmdir(Dir);
  smsc::TPduLog Bad;
  std::string Error;
  EXPECT_FALSE(Bad.Open("/nonexistent/folder/log", Error));
  EXPECT_NE(Error.find("/nonexistent/folder/log: "), std::string::npos);
}

}  // namespace
