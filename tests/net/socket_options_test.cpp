// The socket options a connecting socket gets, in order, and what the close they set up looks
// like to the peer: in order with every queued byte by default, a reset when linger is on with
// 0 seconds. The options are observed by interposing setsockopt for this test
// program, forwarding every call to the C library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
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

TEST(SocketOptions, ConnectingSocketsGetTheirOptionsInOrderAndCloseAsTheyAsk) {
  const int32_t On = -1;
  const linger Orderly{0, 0};
  const linger Abortive{1, 0};
  auto StreamOptions = [&](const linger& L) {
    return std::vector<TOptionCall>{{0, SOL_SOCKET, SO_REUSEADDR, Bytes(&On, 4)},
                                    {0, SOL_SOCKET, SO_LINGER, Bytes(&L, 8)},
                                    {0, SOL_SOCKET, SO_KEEPALIVE, Bytes(&On, 4)}};
  };
  struct TCase {
    const char* Name;
    const char* Proto;
    TIcsSocketLingerOnOff Linger;
    std::vector<TOptionCall> Expected;  // Fd is filled in below
    int PeerSees;                       // 0: every byte then an orderly end; else the errno
  } Cases[] = {
      {"tcp, default", "tcp", wsLingerOff, StreamOptions(Orderly), 0},
      {"tcp, linger on 0 s", "tcp", wsLingerOn, StreamOptions(Abortive), ECONNRESET},
      {"udp", "udp", wsLingerOff, {}, 0},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
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
    S.LingerOnOff = C.Linger;
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

    // A close right after a send larger than the OS buffers: the peer starts reading only then.
    const int Peer = Server.Accept();
    ASSERT_GE(Peer, 0);
    const std::string Data(4 << 20, 'q');
    ASSERT_EQ(S.SendStr(Data), static_cast<int32_t>(Data.size()));
    TReadToEnd Got;
    std::thread Reader([&] { Got = ReadToEnd(Peer); });
    S.Close();
    Reader.join();
    EXPECT_EQ(Got.Error, C.PeerSees);
    if (C.PeerSees == 0) {
      EXPECT_TRUE(Got.Data == Data) << Got.Data.size() << " bytes";
    }
    ::close(Peer);
  }
}
