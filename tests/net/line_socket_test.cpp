// Line mode against a plain loopback peer that writes the bytes in the reads each case names:
// lines split and joined across reads, editing and echo, the line limit, the final line at close,
// and the counts and refusals of the properties.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/IcsSocket.h"
#include "tests/net/SocketTestSupport.h"

using namespace sockettest;

namespace {

// A line-mode socket connected to a plain peer; every delivered line is logged as
// "<RcvdCount>:<text>", and a close as "closed".
struct TLinePeer {
  TLinePeer() {
    Socket.SetLineMode(true);
    Socket.OnSessionConnected = [this](TComponent*, uint16_t C) {
      Log.Add("connected " + std::to_string(C));
    };
    Socket.OnDataAvailable = [this](TComponent*, uint16_t) {
      const int32_t N = Socket.RcvdCount();
      const std::string Line = Socket.ReceiveStr();
      // Receive leaves the line in place: a second read in the same delivery sees it again.
      char Again[256] = {};
      const int32_t R = Socket.Receive(Again, sizeof(Again));
      const bool Same =
          R == std::min<int32_t>(N, sizeof(Again)) && std::string(Again, R) == Line.substr(0, R);
      Log.Add(std::to_string(N) + ":" + Line + (Same ? "" : " (changed)"));
      Delivered += static_cast<int>(Line.size());
    };
    Socket.OnSessionClosed = [this](TComponent*, uint16_t) { Log.Add("closed"); };
  }
  bool Connect() {
    Socket.SetAddr("127.0.0.1");
    Socket.SetPort(Server.PortText());
    Socket.SetProto("tcp");
    Socket.Connect();
    if (!Log.WaitFor("connected 0")) return false;
    Peer = Server.Accept();
    return Peer >= 0;
  }
  // Writes one read's bytes and waits until the socket has taken them all in.
  bool Write(const std::string& Bytes) {
    Written += static_cast<int>(Bytes.size());
    if (::send(Peer, Bytes.data(), Bytes.size(), 0) != static_cast<ssize_t>(Bytes.size()))
      return false;
    return WaitUntil([&] { return Delivered.load() + Socket.LineBufferCount() == Written; });
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> Out;
    for (const auto& E : Log.Snapshot())
      if (E.rfind("connected", 0) != 0) Out.push_back(E);
    return Out;
  }
  ~TLinePeer() {
    Socket.Close();
    if (Peer >= 0) ::close(Peer);
  }
  TPlainListener Server;
  TEventLog Log;
  TIcsSocket Socket;
  int Peer = -1;
  int Written = 0;
  std::atomic<int> Delivered{0};
};

}  // namespace

TEST(LineMode, LinesAreDeliveredAsTheReadsCompleteThem) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Reads;
    std::vector<std::string> Lines;  // as logged: "<RcvdCount>:<line>"
    int Held;                        // bytes left in the buffer at the end
    std::string LineEnd = "\r\n";
    int32_t Limit = IcsDefaultLineLimit;
  } Cases[] = {
      {"three reads", {"ab", "c\r\n", "de\r\nf"}, {"5:abc\r\n", "4:de\r\n"}, 1},
      {"two lines in one read", {"one\r\ntwo\r\n"}, {"5:one\r\n", "5:two\r\n"}, 0},
      {"line end split across reads", {"x\r", "\n"}, {"3:x\r\n"}, 0},
      {"line end of one byte", {"a\nb\n"}, {"2:a\n", "2:b\n"}, 0, "\n"},
      {"bare carriage return is no line end", {"a\rb\r\n"}, {"5:a\rb\r\n"}, 0},
      {"over the limit without a line end",
       {"0123456789ab\r\n"},
       {"8:01234567", "6:89ab\r\n"},
       0,
       "\r\n",
       8},
      {"over the limit across reads", {"abcde", "fghij"}, {"8:abcdefgh"}, 2, "\r\n", 8},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TLinePeer P;
    P.Socket.SetLineEnd(C.LineEnd);
    P.Socket.SetLineLimit(C.Limit);
    ASSERT_TRUE(P.Connect());
    for (const auto& R : C.Reads) ASSERT_TRUE(P.Write(R));
    EXPECT_EQ(P.Lines(), C.Lines);
    EXPECT_EQ(P.Socket.LineBufferCount(), C.Held);
    EXPECT_EQ(P.Socket.RcvdCount(), 0);  // outside a delivery
  }
}

TEST(LineMode, EditingAndEchoShapeTheLineAndWhatThePeerSees) {
  struct TCase {
    const char* Name;
    std::string Read;
    bool Echo;
    std::string Line;  // as logged
    std::string Echoed;
    bool Edit = true;
  } Cases[] = {
      {"echo without editing", "a\bc\r\n", true, "5:a\bc\r\n", "a\bc\r\n", false},
      {"backspace", "xy\bz\r\n", false, "4:xz\r\n", ""},
      {"backspace with echo", "xy\bz\r\n", true, "4:xz\r\n", "xy\b \bz\r\n"},
      {"tab at the start", "\tA\r\n", false, "11:        A\r\n", ""},
      {"tab after three", "abc\tZ\r\n", true, "11:abc     Z\r\n", "abc     Z\r\n"},
      {"backspace on an empty line", "\bq\r\n", true, "3:q\r\n", "q\r\n"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TLinePeer P;
    P.Socket.SetLineEdit(C.Edit);
    P.Socket.SetLineEcho(C.Echo);
    ASSERT_TRUE(P.Connect());
    ASSERT_EQ(::send(P.Peer, C.Read.data(), C.Read.size(), 0), static_cast<ssize_t>(C.Read.size()));
    ASSERT_TRUE(P.Log.WaitFor(C.Line));
    if (C.Echo) {
      EXPECT_EQ(ReadExactly(P.Peer, C.Echoed.size()), C.Echoed);
    }
  }
  // A backspace erases a byte that came in an earlier read.
  TLinePeer P;
  P.Socket.SetLineEdit(true);
  ASSERT_TRUE(P.Connect());
  ASSERT_TRUE(P.Write("abc"));
  ASSERT_EQ(::send(P.Peer, "\b\bX\r\n", 5, 0), 5);
  EXPECT_TRUE(P.Log.WaitFor("4:aX\r\n"));
}

TEST(LineMode, WhatIsHeldAtCloseIsDeliveredOnceAsAFinalLine) {
  TLinePeer P;
  ASSERT_TRUE(P.Connect());
  ASSERT_TRUE(P.Write("done\r\ntail"));
  ::close(P.Peer);
  P.Peer = -1;
  ASSERT_TRUE(P.Log.WaitFor("closed"));
  EXPECT_EQ(P.Lines(), (std::vector<std::string>{"6:done\r\n", "4:tail", "closed"}));
  EXPECT_EQ(P.Socket.LineBufferCount(), 0);
  EXPECT_EQ(P.Socket.LineBufferSize(), 0);
}

TEST(LineMode, HeldBytesCountWithLineModeOffAndBadValuesAreRefused) {
  TLinePeer P;
  ASSERT_TRUE(P.Connect());
  ASSERT_TRUE(P.Write("abc"));
  P.Socket.SetLineMode(false);
  // Nothing pending at the OS: the count is the bytes held from line mode; Receive reads only
  // the OS socket.
  EXPECT_EQ(P.Socket.RcvdCount(), 3);
  char B[8];
  EXPECT_EQ(P.Socket.Receive(B, sizeof(B)), -1);

  EXPECT_THROW(P.Socket.SetLineEnd(""), ESocketException);
  EXPECT_EQ(P.Socket.LineEnd(), "\r\n");
  EXPECT_THROW(P.Socket.SetLineLimit(0), ESocketException);
  EXPECT_EQ(P.Socket.LineLimit(), IcsDefaultLineLimit);
}
