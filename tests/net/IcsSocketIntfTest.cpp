// Tests of the socket call layer: the text rules of IsDottedIP and LeadingDigitsValue, host,
// port and protocol resolution with their error texts, resolution from many threads at once, and
// the wrappers' results, errors and trace lines on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/IcsLogMsg.h"
#include "net/IcsSocketIntf.h"

namespace {

uint32_t Ip(const char* Dotted) {
  return ::inet_addr(Dotted);
}

// The text after the "(tid) " prefix of the line written last by this thread.
std::string LastTraceText() {
  const std::string Line = TraceLine(TraceIndex());
  const size_t P = Line.find(") ");
  return P == std::string::npos ? Line : Line.substr(P + 2);
}

std::string ResolveError(const std::function<void()>& Call) {
  try {
    Call();
  } catch (const ESocketException& E) {
    return E.what();
  }
  return "<no exception>";
}

TEST(IsDottedIP, AcceptsOnlyFourPartsOfAtMost255) {
  struct Case {
    const char* Text;
    bool Dotted;
  };
  const Case Cases[] = {
      {"192.0.2.7", true},
      {"  192.0.2.7", true},
      {"192.0.2.7  ", true},
      {"255.255.255.255", true},
      {"0.0.0.0", true},
      {"192.0.2.256", false},
      {"192.0.2", false},
      {"192.0.2.7.9", false},
      {".192.0.2.7", false},
      {"192.0.2.7.", false},
      {"192..2.7", false},
      {"192.0.2.7x", false},
      {"192.0.2.7 x", false},
      {"localhost", false},
      {"1.2.3.99999999999999", false},
      {"99999999999999.1.2.3", false},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Text);
    EXPECT_EQ(IsDottedIP(C.Text), C.Dotted);
  }
}

TEST(LeadingDigitsValue, ReadsDigitsAfterBlanks) {
  struct Case {
    const char* Text;
    int32_t Value;
  };
  const Case Cases[] = {
      {"25", 25}, {"  25", 25}, {"25smtp", 25}, {"", 0},          {"smtp", 0},
      {"   ", 0}, {"-5", 0},    {"070", 70},    {"4294967297", 1}};  // wraps at 32 bits rather than
                                                                     // overflowing
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Text);
    EXPECT_EQ(LeadingDigitsValue(C.Text), C.Value);
  }
}

TEST(IcsSocketResolveHost, ResolvesAddressesAndNamesOrRaisesTheFixedTexts) {
  const std::string Long256 = std::string(248, 'a') + ".invalid";
  const std::string Long257 = std::string(249, 'a') + ".invalid";
  ASSERT_EQ(Long256.size(), 256u);
  struct Case {
    std::string Host;
    uint32_t Address;  // expected when Error is empty
    std::string Error;
  };
  const Case Cases[] = {
      {"192.0.2.7", Ip("192.0.2.7"), ""},
      {"  192.0.2.7  ", Ip("192.0.2.7"), ""},
      {"255.255.255.255", 0xFFFFFFFFu, ""},
      {"localhost", Ip("127.0.0.1"), ""},
      {" localhost\t", Ip("127.0.0.1"), ""},
      {"", 0, "IcsSocketResolveHost: '' Invalid Hostname."},
      {Long257, 0, "IcsSocketResolveHost: '" + Long257 + "' Invalid Hostname."},
      {Long256, 0, "IcsSocketResolveHost: Cannot convert host address '" + Long256 + "', Error #1"},
      {"no-such-host.invalid", 0,
       "IcsSocketResolveHost: Cannot convert host address 'no-such-host.invalid', Error #1"},
      {"INVALID.", 0, "IcsSocketResolveHost: Cannot convert host address 'INVALID.', Error #1"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Host.substr(0, 40));
    if (C.Error.empty()) {
      EXPECT_EQ(IcsSocketResolveHost(C.Host), C.Address);
    } else {
      EXPECT_EQ(ResolveError([&] { IcsSocketResolveHost(C.Host); }), C.Error);
    }
  }
}

TEST(IcsSocketResolveHost, OutOfRangeDottedTextIsNotTakenAsAnAddress) {
  // Not a dotted address, so it goes to the name look-up, which cannot find it.
  const std::string Err = ResolveError([] { IcsSocketResolveHost("192.0.2.256"); });
  EXPECT_EQ(
      Err.rfind("IcsSocketResolveHost: Cannot convert host address '192.0.2.256', Error #", 0), 0u)
      << Err;
}

TEST(IcsSocketResolvePort, NumbersServicesAndErrors) {
  struct Case {
    std::string Port, Proto;
    int Expected;  // -1: an error starting with Error
    std::string Error;
  };
  const Case Cases[] = {
      {"25", "tcp", 25, ""},
      {"25abc", "", 25, ""},
      {"70000", "tcp", 4464, ""},
      {"0", "", 0, ""},
      {"smtp", "tcp", 25, ""},
      {" smtp ", " tcp ", 25, ""},
      {"domain", "", 53, ""},
      {"", "tcp", -1, "IcsSocketResolvePort: Invalid Port."},
      {std::string(32, '1'), "tcp", -1, "IcsSocketResolvePort: Invalid Port."},
      {"no-such-service", "tcp", -1,
       "IcsSocketResolvePort: Cannot convert port 'no-such-service', Error #"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Port + "/" + C.Proto);
    if (C.Expected >= 0) {
      EXPECT_EQ(IcsSocketResolvePort(C.Port, C.Proto), C.Expected);
    } else {
      const std::string Err = ResolveError([&] { IcsSocketResolvePort(C.Port, C.Proto); });
      EXPECT_EQ(Err.rfind(C.Error, 0), 0u) << Err;
    }
  }
  EXPECT_EQ(IcsSocketResolvePort(std::string(31, '1'), ""),
            LeadingDigitsValue(std::string(31, '1')) & 0xFFFF);
}

TEST(IcsSocketResolveProto, NumbersNamesAndErrors) {
  struct Case {
    std::string Proto;
    int Expected;
    std::string Error;
  };
  const Case Cases[] = {
      {"tcp", 6, ""},
      {"udp", 17, ""},
      {" 17 ", 17, ""},
      {"6", 6, ""},
      {"", -1, "IcsSocketResolveProto: Invalid Protocol."},
      {std::string(32, 't'), -1, "IcsSocketResolveProto: Invalid Protocol."},
      {" nosuchproto ", -1,
       "IcsSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Proto);
    if (C.Expected >= 0) {
      EXPECT_EQ(IcsSocketResolveProto(C.Proto), C.Expected);
    } else {
      const std::string Err = ResolveError([&] { IcsSocketResolveProto(C.Proto); });
      EXPECT_EQ(Err.rfind(C.Error, 0), 0u) << Err;
    }
  }
}

TEST(IcsSocketResolve, ManyThreadsResolveAtOnce) {
  std::vector<std::thread> Threads;
  std::atomic<int> Wrong{0};
  for (int T = 0; T < 4; ++T) {
    Threads.emplace_back([&] {
      for (int I = 0; I < 300; ++I) {
        if (IcsSocketResolveHost("localhost") != Ip("127.0.0.1")) ++Wrong;
        if (IcsSocketResolvePort("smtp", "tcp") != 25) ++Wrong;
        if (IcsSocketResolvePort("domain", "udp") != 53) ++Wrong;
        if (IcsSocketResolveProto("udp") != 17) ++Wrong;
        if (IcsSocketResolveProto("tcp") != 6) ++Wrong;
      }
    });
  }
  for (auto& T : Threads) T.join();
  EXPECT_EQ(Wrong.load(), 0);
}

TEST(SocketCalls, FailuresReportTheOSErrorAfterTracing) {
  struct Case {
    const char* Name;
    std::function<long()> Call;
    int Errno;
    std::string Trace;  // expected last trace text, empty for untraced calls
  };
  char Byte = 0;
  const std::vector<Case> Cases = {
      {"close", [] { return static_cast<long>(Ics_closesocket(-1)); }, EBADF,
       "Ics_closesocket(-1) = -1"},
      {"shutdown", [] { return static_cast<long>(Ics_shutdown(-1, SHUT_RDWR)); }, EBADF,
       "Ics_closesocket(-1) = -1"},
      {"send", [&] { return static_cast<long>(Ics_send(-1, &Byte, 1, MSG_NOSIGNAL)); }, EBADF,
       "Ics_send(-1) = -1"},
      {"recv", [&] { return static_cast<long>(Ics_recv(-1, &Byte, 1, 0)); }, EBADF,
       "Ics_recv(-1) = -1"},
      {"accept", [] { return static_cast<long>(Ics_accept(-1, nullptr, nullptr)); }, EBADF,
       "Ics_accept = -1"},
      {"socket", [] { return static_cast<long>(Ics_socket(12345, SOCK_STREAM, 0)); }, EAFNOSUPPORT,
       "Ics_socket = -1"},
      {"listen", [] { return static_cast<long>(Ics_listen(-1, 5)); }, EBADF, ""},
      {"select past the set size",
       [] {
         return static_cast<long>(Ics_select(FD_SETSIZE + 1, nullptr, nullptr, nullptr, nullptr));
       },
       EINVAL, "Ics_select = -1"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    errno = 0;
    EXPECT_EQ(C.Call(), -1);
    EXPECT_EQ(LastOSError(), C.Errno);
    if (!C.Trace.empty()) {
      EXPECT_EQ(LastTraceText(), C.Trace);
    }
  }
}

// A connected loopback pair made through the wrappers: a listener on a port the OS chooses.
TEST(SocketCalls, LoopbackConnectAcceptSendRecv) {
  const int Listener = Ics_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_GE(Listener, 0);
  EXPECT_EQ(LastTraceText(), "Ics_socket = " + std::to_string(Listener));
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = IcsSocketResolveHost("127.0.0.1");
  Addr.sin_port = Ics_htons(0);
  ASSERT_EQ(Ics_bind(Listener, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)), 0);
  ASSERT_EQ(Ics_listen(Listener, 5), 0);
  socklen_t Len = sizeof(Addr);
  ASSERT_EQ(Ics_getsockname(Listener, reinterpret_cast<sockaddr*>(&Addr), &Len), 0);
  EXPECT_EQ(Ics_inet_ntoa(Addr.sin_addr), "127.0.0.1");
  EXPECT_NE(Ics_ntohs(Addr.sin_port), 0);

  const int Client = Ics_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_GE(Client, 0);
  ASSERT_EQ(Ics_connect(Client, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)), 0);
  const int Server = Ics_accept(Listener, nullptr, nullptr);
  ASSERT_GE(Server, 0);
  EXPECT_EQ(LastTraceText(), "Ics_accept = " + std::to_string(Server));

  EXPECT_EQ(Ics_send(Client, "ping", 4, MSG_NOSIGNAL), 4);
  EXPECT_EQ(LastTraceText(), "Ics_send(" + std::to_string(Client) + ") = 4");
  char Buf[8] = {};
  EXPECT_EQ(Ics_recv(Server, Buf, sizeof(Buf), 0), 4);
  EXPECT_EQ(std::string(Buf, 4), "ping");

  // Closing the peer: the next read sees the end of the stream.
  EXPECT_EQ(Ics_shutdown(Server, SHUT_RDWR), 0);
  EXPECT_EQ(LastTraceText(), "Ics_closesocket(" + std::to_string(Server) + ") = 0");
  EXPECT_EQ(Ics_recv(Client, Buf, sizeof(Buf), 0), 0);
  for (int Fd : {Server, Client, Listener}) EXPECT_EQ(Ics_closesocket(Fd), 0);

  // The port is free again: connecting now is refused.
  const int Again = Ics_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  errno = 0;
  EXPECT_EQ(Ics_connect(Again, reinterpret_cast<sockaddr*>(&Addr), sizeof(Addr)), -1);
  EXPECT_EQ(LastOSError(), ECONNREFUSED);
  Ics_closesocket(Again);
}

}  // namespace
