// The socket options a connecting socket gets, in order, and what the abortive close they set
// up looks like to the peer. The options are observed by interposing setsockopt for this test
// program, forwarding every call to the C library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "net/IcsSocket.h"
#include "tests/net/SocketTestSupport.h"

using namespace sockettest;

namespace {

struct TOptionCall {
  int Fd;
  int Level;
  int Name;
  std::vector<char> Value;
};

std::mutex RecordLock;  // guards Recorded
std::vector<TOptionCall> Recorded;

std::vector<TOptionCall> CallsFor(int Fd) {
  std::lock_guard<std::mutex> G(RecordLock);
  std::vector<TOptionCall> Out;
  for (const auto& C : Recorded)
    if (C.Fd == Fd) Out.push_back(C);
  return Out;
}

std::vector<char> Bytes(const void* P, size_t N) {
  const char* C = static_cast<const char*>(P);
  return std::vector<char>(C, C + N);
}

}  // namespace

extern "C" int setsockopt(int Fd, int Level, int Name, const void* Value, socklen_t Len) {
  using TReal = int (*)(int, int, int, const void*, socklen_t);
  static const TReal Real = reinterpret_cast<TReal>(::dlsym(RTLD_NEXT, "setsockopt"));
  {
    std::lock_guard<std::mutex> G(RecordLock);
    Recorded.push_back(TOptionCall{Fd, Level, Name, Bytes(Value, Len)});
  }
  return Real(Fd, Level, Name, Value, Len);
}

TEST(SocketOptions, ConnectingSocketsGetTheirOptionsInOrder) {
  const int32_t On = -1;
  const linger Abortive{1, 0};
  struct TCase {
    const char* Proto;
    std::vector<TOptionCall> Expected;  // Fd is filled in below
  } Cases[] = {
      {"tcp",
       {{0, SOL_SOCKET, SO_REUSEADDR, Bytes(&On, 4)},
        {0, SOL_SOCKET, SO_LINGER, Bytes(&Abortive, 8)},
        {0, SOL_SOCKET, SO_KEEPALIVE, Bytes(&On, 4)}}},
      {"udp", {}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Proto);
    const bool Stream = std::strcmp(C.Proto, "tcp") == 0;
    {
      std::lock_guard<std::mutex> G(RecordLock);
      Recorded.clear();
    }
    TPlainListener Server;
    TEventLog Log;
    TIcsSocket S;
    S.OnSessionConnected = [&](TComponent*, uint16_t Code) {
      Log.Add("connected " + std::to_string(Code));
    };
    S.SetAddr("127.0.0.1");
    S.SetPort(Server.PortText());
    S.SetProto(C.Proto);
    S.Connect();
    ASSERT_TRUE(Log.WaitFor("connected 0"));
    const int Fd = S.WorkerThread()->HSocket();
    const auto Calls = CallsFor(Fd);
    ASSERT_EQ(Calls.size(), C.Expected.size());
    for (size_t I = 0; I < Calls.size(); ++I) {
      SCOPED_TRACE(I);
      EXPECT_EQ(Calls[I].Level, C.Expected[I].Level);
      EXPECT_EQ(Calls[I].Name, C.Expected[I].Name);
      EXPECT_EQ(Calls[I].Value, C.Expected[I].Value);
    }
    if (!Stream) {
      S.Close();
      continue;
    }
    // The OS has them too.
    int Value = 0;
    socklen_t Len = sizeof(Value);
    ASSERT_EQ(::getsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &Value, &Len), 0);
    EXPECT_NE(Value, 0);

    // Linger on with 0 seconds: closing resets the connection instead of ending it in order.
    const int Peer = Server.Accept();
    ASSERT_GE(Peer, 0);
    S.Close();
    char B;
    pollfd P{Peer, POLLIN, 0};
    ASSERT_EQ(::poll(&P, 1, 20000), 1);
    EXPECT_EQ(::recv(Peer, &B, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    ::close(Peer);
  }
}
